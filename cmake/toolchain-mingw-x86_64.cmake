# 64-bit Windows, cross-built with MinGW-w64 on Debian: the same sources as the 32-bit
# DLL, and programs that run here under wine64 (the build's CMAKE_CROSSCOMPILING_EMULATOR).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(VORBEL_MINGW_TRIPLET x86_64-w64-mingw32)
set(VORBEL_MINGW_ARCH_FLAGS "")

include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# Each program runs through a wrapper that owns the build's wine prefix and server.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine64-run.sh)

# 32-bit Windows (the DLL that hosts load), cross-built with MinGW-w64 on Debian.
# Nothing built here can run on this machine; the build's checks read the DLL instead.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(VORBEL_MINGW_TRIPLET i686-w64-mingw32)

# SSE2 arithmetic: without it the compiler computes in x87 excess precision.
set(VORBEL_MINGW_ARCH_FLAGS "-msse2 -mfpmath=sse")

include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

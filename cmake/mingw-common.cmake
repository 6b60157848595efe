# What both MinGW-w64 toolchain files share. The "-posix" compilers: the default thread
# model lacks std::mutex in GCC 12, which GoogleTest needs.
set(CMAKE_C_COMPILER ${VORBEL_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VORBEL_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${VORBEL_MINGW_TRIPLET}-windres)

set(CMAKE_C_FLAGS_INIT "${VORBEL_MINGW_ARCH_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${VORBEL_MINGW_ARCH_FLAGS}")

# Link the compiler's runtimes (libgcc, libstdc++, winpthread) into every binary, so that
# the DLL imports nothing but system DLLs and the programs run without MinGW's DLLs.
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# The shipped DLL carries no symbol tables.
set(CMAKE_MODULE_LINKER_FLAGS_RELEASE_INIT "-s")

# Libraries and headers come from the MinGW sysroot only, never from the host's /usr.
set(CMAKE_FIND_ROOT_PATH /usr/${VORBEL_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

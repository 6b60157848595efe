# 32-bit x86 Linux build on an x86_64 Debian machine (g++-multilib). The test programs
# run under qemu-i386, since the kernel here may not execute 32-bit programs directly.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)

# SSE2 arithmetic: without it -m32 computes in x87 excess precision.
set(CMAKE_C_FLAGS_INIT "-m32 -msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-m32 -msse2 -mfpmath=sse")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")

set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig")

# Look in the i386 library folders only, never in the amd64 ones.
set(CMAKE_SYSTEM_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu)
if(EXISTS /usr/lib/i386-linux-gnu/cmake/GTest/GTestConfig.cmake)
  set(GTest_DIR /usr/lib/i386-linux-gnu/cmake/GTest CACHE PATH "i386 GoogleTest")
endif()

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386)

# Dependencies of the host library and the tests in a MinGW-w64 cross build. Debian packages
# GoogleTest and CLI11 for the build machine only:
# - GoogleTest is built from Debian's source package (googletest, /usr/src/googletest) with
#   this build's compiler; it defines GTest::gtest, GTest::gtest_main and GTest::gmock.
# - CLI11 is header-only. Its headers are offered through a folder of their own, since
#   adding /usr/include would put the build machine's C library headers before MinGW's.

set(VORBEL_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources (Debian: googletest)")
if(NOT EXISTS ${VORBEL_GOOGLETEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "No GoogleTest sources in ${VORBEL_GOOGLETEST_SOURCE}: install googletest")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
# GoogleTest is built with its own warning settings, not this project's -Werror.
get_property(vorbel_saved_options DIRECTORY PROPERTY COMPILE_OPTIONS)
set_property(DIRECTORY PROPERTY COMPILE_OPTIONS -ffp-contract=off)
add_subdirectory(${VORBEL_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
set_property(DIRECTORY PROPERTY COMPILE_OPTIONS ${vorbel_saved_options})

set(vorbel_cli11_headers /usr/include/CLI)
if(NOT EXISTS ${vorbel_cli11_headers}/CLI.hpp)
  message(FATAL_ERROR "No CLI11 headers in ${vorbel_cli11_headers}: install libcli11-dev")
endif()
set(vorbel_cli11_dir ${CMAKE_BINARY_DIR}/mingw-packages/CLI11)
file(MAKE_DIRECTORY ${vorbel_cli11_dir}/include)
file(CREATE_LINK ${vorbel_cli11_headers} ${vorbel_cli11_dir}/include/CLI SYMBOLIC)
file(WRITE ${vorbel_cli11_dir}/CLI11Config.cmake
  "if(NOT TARGET CLI11::CLI11)\n"
  "  add_library(CLI11::CLI11 INTERFACE IMPORTED)\n"
  "  set_target_properties(CLI11::CLI11 PROPERTIES\n"
  "    INTERFACE_INCLUDE_DIRECTORIES \"${vorbel_cli11_dir}/include\")\n"
  "endif()\n")
set(CLI11_DIR ${vorbel_cli11_dir} CACHE PATH "CLI11 headers for the MinGW build" FORCE)

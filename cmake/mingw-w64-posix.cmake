# Cross toolchain for Windows with mingw-w64's posix thread model (the win32
# thread model of GCC 12 has no std::thread).
#
# QUILLON_ARCH picks the target: i686 for the shipped 32-bit installer,
# x86_64 for test builds on machines whose kernel runs 64-bit user code only
# (there, 32-bit Windows code cannot run under Wine at all).
set(QUILLON_ARCH "i686" CACHE STRING "Windows target architecture: i686 or x86_64")
set_property(CACHE QUILLON_ARCH PROPERTY STRINGS i686 x86_64)

set(CMAKE_SYSTEM_NAME Windows)
if(QUILLON_ARCH STREQUAL "x86_64")
  set(CMAKE_SYSTEM_PROCESSOR AMD64)
else()
  set(CMAKE_SYSTEM_PROCESSOR x86)
endif()

set(_triplet ${QUILLON_ARCH}-w64-mingw32)
set(CMAKE_C_COMPILER   ${_triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_triplet}-g++-posix)
set(CMAKE_RC_COMPILER  ${_triplet}-windres)
set(QUILLON_OBJDUMP    ${_triplet}-objdump)

# Only the mingw sysroot: host headers under /usr/include break the build.
set(CMAKE_FIND_ROOT_PATH /usr/${_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

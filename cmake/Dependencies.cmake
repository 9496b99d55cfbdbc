# Third-party code, all taken from Debian's packages at build time (see
# scripts/bootstrap). Nothing of it is kept in this tree.

# --- zlib: the mingw build from libz-mingw-w64-dev -------------------------
find_library(QUILLON_ZLIB_LIBRARY NAMES libz.a z REQUIRED)
find_path(QUILLON_ZLIB_INCLUDE zlib.h REQUIRED)
add_library(quillon_zlib INTERFACE)
target_link_libraries(quillon_zlib INTERFACE ${QUILLON_ZLIB_LIBRARY})
target_include_directories(quillon_zlib SYSTEM INTERFACE ${QUILLON_ZLIB_INCLUDE})

# --- minizip: compiled from the zlib source package ------------------------
set(QUILLON_MINIZIP_DIR "/opt/quillon-deps/zlib/contrib/minizip"
    CACHE PATH "contrib/minizip of Debian's zlib source package")
if(NOT EXISTS "${QUILLON_MINIZIP_DIR}/unzip.c")
  message(FATAL_ERROR "minizip sources not found in ${QUILLON_MINIZIP_DIR}; run scripts/bootstrap as root")
endif()
add_library(quillon_minizip STATIC
  ${QUILLON_MINIZIP_DIR}/unzip.c
  ${QUILLON_MINIZIP_DIR}/ioapi.c
  ${QUILLON_MINIZIP_DIR}/iowin32.c)
target_include_directories(quillon_minizip SYSTEM PUBLIC ${QUILLON_MINIZIP_DIR})
target_link_libraries(quillon_minizip PUBLIC quillon_zlib)
# The sources predate the compilers' newer warnings; they are not ours to fix.
target_compile_options(quillon_minizip PRIVATE -w)
# The archive is opened by us through its own Win32 file functions; no
# password support is ever needed, but crypt.h is what minizip uses to reject
# encrypted members, so it stays enabled.
target_compile_definitions(quillon_minizip PRIVATE UNICODE _UNICODE)

# --- zstd's decoder: compiled from the libzstd source package --------------
# The decoder alone applies the vendor's binary patches; nothing of the
# compressor goes into the program.
set(QUILLON_ZSTD_DIR "/opt/quillon-deps/zstd/lib"
    CACHE PATH "lib/ of Debian's libzstd source package")
if(NOT EXISTS "${QUILLON_ZSTD_DIR}/decompress/zstd_decompress.c")
  message(FATAL_ERROR "zstd sources not found in ${QUILLON_ZSTD_DIR}; run scripts/bootstrap as root")
endif()
add_library(quillon_zstd_decoder STATIC
  ${QUILLON_ZSTD_DIR}/common/entropy_common.c
  ${QUILLON_ZSTD_DIR}/common/error_private.c
  ${QUILLON_ZSTD_DIR}/common/fse_decompress.c
  ${QUILLON_ZSTD_DIR}/common/xxhash.c
  ${QUILLON_ZSTD_DIR}/common/zstd_common.c
  ${QUILLON_ZSTD_DIR}/decompress/huf_decompress.c
  ${QUILLON_ZSTD_DIR}/decompress/zstd_ddict.c
  ${QUILLON_ZSTD_DIR}/decompress/zstd_decompress.c
  ${QUILLON_ZSTD_DIR}/decompress/zstd_decompress_block.c)
target_include_directories(quillon_zstd_decoder SYSTEM PUBLIC ${QUILLON_ZSTD_DIR})
# The x86-64 assembly is not for a 32-bit program, the legacy formats and the
# tracing hooks are never wanted: a patch is a current zstd frame.
target_compile_definitions(quillon_zstd_decoder PRIVATE
  ZSTD_DISABLE_ASM ZSTD_LEGACY_SUPPORT=0 ZSTD_TRACE=0 ZSTD_STATIC_LINKING_ONLY)
target_compile_options(quillon_zstd_decoder PRIVATE -w -O2)

# --- easylogging++: one static library built from the packaged sources -----
set(QUILLON_ELPP_SOURCE_DIR "/usr/include" CACHE PATH "Folder holding easylogging++.h and .cc")
set(_elpp_dir ${CMAKE_BINARY_DIR}/third_party/easyloggingpp)
configure_file(${QUILLON_ELPP_SOURCE_DIR}/easylogging++.h  ${_elpp_dir}/easylogging++.h  COPYONLY)
configure_file(${QUILLON_ELPP_SOURCE_DIR}/easylogging++.cc ${_elpp_dir}/easylogging++.cc COPYONLY)
add_library(quillon_easylogging STATIC ${_elpp_dir}/easylogging++.cc)
target_include_directories(quillon_easylogging SYSTEM PUBLIC ${_elpp_dir})
# Every file that includes the header must see the same ELPP_* switches, or
# the library's objects disagree about their own layout; PUBLIC makes sure.
# ELPP_FEATURE_CRASH_LOG keeps the library's crash handling (a fatal line in
# the log on SIGSEGV, SIGFPE, SIGILL, SIGINT); the header then warns in every
# file that mingw has no stack traces, which -Wno-cpp silences.
target_compile_definitions(quillon_easylogging PUBLIC
  ELPP_THREAD_SAFE ELPP_NO_DEFAULT_LOG_FILE ELPP_FEATURE_CRASH_LOG)
target_compile_options(quillon_easylogging PUBLIC $<$<COMPILE_LANGUAGE:CXX>:-Wno-cpp>)
target_compile_options(quillon_easylogging PRIVATE -w)

# --- GoogleTest from Debian's googletest sources, same toolchain -----------
if(QUILLON_BUILD_TESTS)
  set(QUILLON_GTEST_DIR "/usr/src/googletest" CACHE PATH "GoogleTest sources")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(${QUILLON_GTEST_DIR} ${CMAKE_BINARY_DIR}/third_party/googletest EXCLUDE_FROM_ALL)
endif()

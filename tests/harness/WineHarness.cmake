set(QUILLON_TEST_USER "quillontest" CACHE STRING
    "Unprivileged user that runs Wine when the tests are started as root")
set(QUILLON_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
if(QUILLON_ARCH STREQUAL "x86_64")
  set(QUILLON_WINEARCH win64)
  set(QUILLON_WINELOADER /usr/lib/wine/wine64)
  set(QUILLON_WINESERVER /usr/lib/wine/wineserver64)
else()
  set(QUILLON_WINEARCH win32)
  set(QUILLON_WINELOADER /usr/lib/wine/wine)
  set(QUILLON_WINESERVER /usr/lib/wine/wineserver32)
endif()

set(QUILLON_WINE_RUN ${CMAKE_BINARY_DIR}/wine-run)
configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.in ${QUILLON_WINE_RUN} @ONLY
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                   WORLD_READ WORLD_EXECUTE)

# Scratch space for tests, writable by the test user.
set(QUILLON_TEST_SCRATCH ${CMAKE_BINARY_DIR}/scratch)

set(_prefix_script ${CMAKE_CURRENT_LIST_DIR}/wine-prefix)
add_test(NAME harness.wine_start
  COMMAND ${_prefix_script} ${QUILLON_WINE_RUN} ${QUILLON_WINEPREFIX} ${QUILLON_TEST_USER} start)
set_tests_properties(harness.wine_start PROPERTIES FIXTURES_SETUP wine)
add_test(NAME harness.wine_stop
  COMMAND ${_prefix_script} ${QUILLON_WINE_RUN} ${QUILLON_WINEPREFIX} ${QUILLON_TEST_USER} stop)
set_tests_properties(harness.wine_stop PROPERTIES FIXTURES_CLEANUP wine)

# Variables every test script gets, so that none of them hard-codes a path.
set(QUILLON_TEST_ENVIRONMENT
  QUILLON_BUILD_DIR=${CMAKE_BINARY_DIR}
  QUILLON_SOURCE_DIR=${PROJECT_SOURCE_DIR}
  QUILLON_WINE_RUN=${QUILLON_WINE_RUN}
  QUILLON_WINEPREFIX=${QUILLON_WINEPREFIX}
  QUILLON_TEST_USER=${QUILLON_TEST_USER}
  QUILLON_TEST_SCRATCH=${QUILLON_TEST_SCRATCH}
  QUILLON_UPDATE_HOST=${QUILLON_UPDATE_HOST}
  QUILLON_UPDATE_PORT=${QUILLON_UPDATE_PORT}
  PYTHONDONTWRITEBYTECODE=1
  PYTHONPATH=${CMAKE_CURRENT_LIST_DIR})

# A GoogleTest program run under Wine.
function(quillon_add_wine_test name target)
  add_test(NAME ${name} COMMAND ${QUILLON_WINE_RUN} $<TARGET_FILE:${target}> ${ARGN})
  set_tests_properties(${name} PROPERTIES
    FIXTURES_REQUIRED wine
    ENVIRONMENT "${QUILLON_TEST_ENVIRONMENT}")
endfunction()

# A Python test script that drives Windows programs from outside, where the
# outcome is only visible from there (exit codes, files, logs). Extra
# arguments name the targets the script runs, so that CTest knows the order.
function(quillon_add_script_test name script)
  set(_env ${QUILLON_TEST_ENVIRONMENT})
  foreach(target ${ARGN})
    list(APPEND _env QUILLON_EXE_${target}=$<TARGET_FILE:${target}>)
  endforeach()
  add_test(NAME ${name} COMMAND python3 ${script})
  set_tests_properties(${name} PROPERTIES
    FIXTURES_REQUIRED wine
    ENVIRONMENT "${_env}")
endfunction()

# A GoogleTest program with our defaults; gmock comes along.
function(quillon_add_test_executable target)
  add_executable(${target} ${ARGN})
  target_link_libraries(${target} PRIVATE gmock_main)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
endfunction()

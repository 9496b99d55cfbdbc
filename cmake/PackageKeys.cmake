# The public keys that packages must be signed with, compiled into the
# program. A vendor names their key's public half (PEM, ECDSA P-256), and
# during a rotation the next key's as well, so that installed copies accept
# packages signed with either:
#   -DQUILLON_PACKAGE_KEYS="current.pub.pem;next.pub.pem"
# Without it the build makes a test key pair of its own under the build
# folder (package-signing/), with which the tests publish their packages.
set(QUILLON_PACKAGE_KEYS "" CACHE STRING
    "Package-signing public keys (PEM, ECDSA P-256): the current one, then optionally the next")

if(QUILLON_PACKAGE_KEYS)
  set(_package_keys ${QUILLON_PACKAGE_KEYS})
else()
  set(_folder ${CMAKE_BINARY_DIR}/package-signing)
  if(NOT EXISTS ${_folder}/test-package.pub.pem)
    file(MAKE_DIRECTORY ${_folder})
    execute_process(
      COMMAND openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out ${_folder}/test-package.key
      COMMAND_ERROR_IS_FATAL ANY OUTPUT_QUIET ERROR_QUIET)
    execute_process(
      COMMAND openssl pkey -in ${_folder}/test-package.key -pubout -out ${_folder}/test-package.pub.pem
      COMMAND_ERROR_IS_FATAL ANY OUTPUT_QUIET ERROR_QUIET)
  endif()
  set(_package_keys ${_folder}/test-package.pub.pem)
endif()

list(LENGTH _package_keys _count)
if(_count GREATER 2)
  message(FATAL_ERROR "QUILLON_PACKAGE_KEYS holds the current key and at most one next key")
endif()
# A rebuild elsewhere must compile in the same keys to give the same bytes.
set(QUILLON_PACKAGE_KEYS_IN_USE "${_package_keys}" CACHE INTERNAL "")
execute_process(
  COMMAND python3 ${PROJECT_SOURCE_DIR}/scripts/package_keys.py
          ${CMAKE_CURRENT_BINARY_DIR}/generated/PackageKeys.h ${_package_keys}
  RESULT_VARIABLE _result)
if(NOT _result EQUAL 0)
  message(FATAL_ERROR "The package-signing keys could not be read")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${_package_keys} ${PROJECT_SOURCE_DIR}/scripts/package_keys.py)

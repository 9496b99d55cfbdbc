# Authenticode. A vendor signs with their own certificate chain (PEM, leaf
# first) and key, given when configuring: a PEM key file, or a key that never
# leaves a token, an HSM or a cloud key service, named by a pkcs11: URI and
# reached through the PKCS#11 module QUILLON_SIGN_PKCS11_MODULE. The key's
# password or the token's PIN is read from QUILLON_SIGN_PASSWORD at build time
# and never stored. Without a chain and key the build signs with a test
# certificate of its own, so that every build is checked the way a signed one
# is. With QUILLON_SIGN_TIMESTAMP_URLS the signature is timestamped by the
# first of those RFC 3161 servers that answers, and stays valid after the
# certificate expires; when none answers the build fails and leaves no
# program.
option(QUILLON_SIGN "Authenticode-sign Installer.exe after linking" ON)
set(QUILLON_SIGN_CERT "" CACHE FILEPATH "Vendor's code-signing certificate chain (PEM), leaf first")
# A string, not a file path: CMake would turn a pkcs11: URI into a path
# under the folder it was started in.
set(QUILLON_SIGN_KEY "" CACHE STRING
    "Vendor's code-signing private key: a PEM file's full path, or a pkcs11: URI with QUILLON_SIGN_PKCS11_MODULE")
set_property(CACHE QUILLON_SIGN_KEY PROPERTY TYPE STRING)
set(QUILLON_SIGN_PKCS11_MODULE "" CACHE FILEPATH
    "PKCS#11 module of the token, HSM or cloud key service holding QUILLON_SIGN_KEY")
set(QUILLON_SIGN_TIMESTAMP_URLS "" CACHE STRING
    "RFC 3161 timestamp servers (a ;-list), asked in turn until one answers; empty signs without a timestamp")

get_filename_component(_quillon_sign_exe ${CMAKE_CURRENT_LIST_DIR}/../scripts/sign-exe ABSOLUTE)

# The arguments of scripts/sign-exe from the settings, checked here so that a
# mistake stops the configuration rather than the end of a long build.
function(_quillon_sign_arguments out_options out_signer out_chain)
  set(_options)
  foreach(url IN LISTS QUILLON_SIGN_TIMESTAMP_URLS)
    list(APPEND _options --timestamp ${url})
  endforeach()
  string(FIND "${QUILLON_SIGN_KEY}" "pkcs11:" _uri_at)
  if(QUILLON_SIGN_PKCS11_MODULE)
    if(NOT _uri_at EQUAL 0)
      message(FATAL_ERROR "With QUILLON_SIGN_PKCS11_MODULE, QUILLON_SIGN_KEY is the key's pkcs11: URI")
    endif()
    if(QUILLON_SIGN_KEY MATCHES "[;?]pin-")
      message(FATAL_ERROR "QUILLON_SIGN_KEY holds the token's PIN, which would stay in the build cache: "
                          "take it out of the URI and give it in QUILLON_SIGN_PASSWORD when building")
    endif()
    if(NOT EXISTS "${QUILLON_SIGN_PKCS11_MODULE}")
      message(FATAL_ERROR "QUILLON_SIGN_PKCS11_MODULE: no such module: ${QUILLON_SIGN_PKCS11_MODULE}")
    endif()
    list(APPEND _options --pkcs11-module ${QUILLON_SIGN_PKCS11_MODULE})
  elseif(_uri_at EQUAL 0)
    message(FATAL_ERROR "A pkcs11: key needs QUILLON_SIGN_PKCS11_MODULE, the module that reaches its token")
  elseif(QUILLON_SIGN_KEY AND NOT IS_ABSOLUTE "${QUILLON_SIGN_KEY}")
    message(FATAL_ERROR "QUILLON_SIGN_KEY: give the key file's full path, not ${QUILLON_SIGN_KEY}")
  endif()
  if(QUILLON_SIGN_CERT AND QUILLON_SIGN_KEY)
    # A pkcs11: URI separates its parts with semicolons, which a command's
    # arguments would otherwise be split at.
    string(REPLACE ";" "$<SEMICOLON>" _key "${QUILLON_SIGN_KEY}")
    set(${out_signer} "${QUILLON_SIGN_CERT}" "${_key}" PARENT_SCOPE)
    set(${out_chain} "${QUILLON_SIGN_CERT}" PARENT_SCOPE)
  elseif(QUILLON_SIGN_CERT OR QUILLON_SIGN_KEY)
    message(FATAL_ERROR "QUILLON_SIGN_CERT and QUILLON_SIGN_KEY go together")
  elseif(QUILLON_SIGN_PKCS11_MODULE)
    message(FATAL_ERROR "QUILLON_SIGN_PKCS11_MODULE needs QUILLON_SIGN_CERT and a pkcs11: QUILLON_SIGN_KEY")
  else()
    set(${out_signer} --test ${CMAKE_BINARY_DIR}/signing PARENT_SCOPE)
    set(${out_chain} ${CMAKE_BINARY_DIR}/signing/test-codesign-chain.pem PARENT_SCOPE)
  endif()
  set(${out_options} "${_options}" PARENT_SCOPE)
endfunction()

# quillon_sign(TARGET FILE) signs FILE, what TARGET builds, right after it is
# built. The unsigned twin, FILE's name with .unsigned before the extension,
# is what a rebuild is compared with: a signature carries the signer's time
# and randomness, the program's own bytes do not. The chain used is copied
# beside the program as NAME.signer.pem, where the release check finds it.
function(quillon_sign target file)
  if(NOT QUILLON_SIGN)
    return()
  endif()
  _quillon_sign_arguments(_options _signer _chain)
  get_filename_component(_folder "${file}" DIRECTORY)
  get_filename_component(_name "${file}" NAME_WLE)
  get_filename_component(_extension "${file}" LAST_EXT)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy ${file} ${_folder}/${_name}.unsigned${_extension}
    COMMAND ${_quillon_sign_exe} ${_options} ${file} ${_signer}
    COMMAND ${CMAKE_COMMAND} -E copy ${_chain} ${_folder}/${_name}.signer.pem
    COMMENT "Signing ${_name}${_extension}"
    VERBATIM)
endfunction()

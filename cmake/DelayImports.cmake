# Delay imports: a program linked this way resolves each of these DLLs on the
# first call into it instead of when the process starts, so that it can
# restrict where DLLs come from before any of them is loaded.
#
# quillon_delay_imports(TARGET INPUTS <objects and archives> DLLS <names>)
# builds, for each DLL, a delay-import library of the same name (libuser32.a,
# ...) holding exactly the functions that INPUTS call in it
# (scripts/make-delay-imports.py), and puts their folder on TARGET's library
# path ahead of the toolchain's. Every -l<DLL> of TARGET, the compiler's
# implicit ones included, then takes the delay-import library; a function
# INPUTS do not call, or a data import, fails the link rather than slip back
# into the import table.
function(quillon_delay_imports target)
  cmake_parse_arguments(PARSE_ARGV 1 _arg "" "" "INPUTS;DLLS")
  set(_folder ${CMAKE_CURRENT_BINARY_DIR}/delay-imports)
  set(_script ${PROJECT_SOURCE_DIR}/scripts/make-delay-imports.py)
  set(_libraries)
  set(_dll_args)
  foreach(dll ${_arg_DLLS})
    find_library(QUILLON_IMPORT_LIBRARY_${dll} NAMES lib${dll}.a REQUIRED NO_CACHE)
    list(APPEND _dll_args --dll ${dll}=${QUILLON_IMPORT_LIBRARY_${dll}})
    list(APPEND _libraries ${_folder}/lib${dll}.a)
  endforeach()
  string(REGEX REPLACE "nm$" "" _tool_prefix ${CMAKE_NM})
  add_custom_command(OUTPUT ${_libraries}
    COMMAND python3 ${_script} --arch ${QUILLON_ARCH} --nm ${CMAKE_NM} --as ${_tool_prefix}as
            --ar ${CMAKE_AR} --out ${_folder} ${_dll_args} ${_arg_INPUTS}
    DEPENDS ${_script} ${_arg_INPUTS}
    COMMENT "Delay-import libraries for ${target}"
    COMMAND_EXPAND_LISTS
    VERBATIM)
  add_custom_target(${target}_delay_imports DEPENDS ${_libraries})
  add_dependencies(${target} ${target}_delay_imports)
  target_link_directories(${target} BEFORE PRIVATE ${_folder})
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${_libraries})
endfunction()

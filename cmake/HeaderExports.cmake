# orv_export_header_api(<target> <header> <macro>)
#
# Exports from a shared library exactly the names its header declares with
# the API macro, and nothing else: a linker version script ending in
# "local: *;" is generated from the header, so standard-library template
# instantiations and internal helpers stay hidden. The names are also written
# to <binary dir>/<target>.exports for the ABI test.
function(orv_export_header_api target header macro)
  file(READ ${header} text)
  # Comments and preprocessor lines (the macro's own #define) never declare.
  string(REGEX REPLACE "/\\*([^*]|\\*+[^*/])*\\*+/" "" text "${text}")
  string(REGEX REPLACE "//[^\n]*" "" text "${text}")
  string(REGEX REPLACE "(^|\n)[ \t]*#[^\n]*" "\n" text "${text}")
  # A declaration runs from the macro to its parameter list or its ";"; the
  # name is its last identifier.
  string(REGEX MATCHALL "${macro}[^;(]*" declarations "${text}")
  set(names)
  foreach(declaration IN LISTS declarations)
    string(REGEX MATCH "([A-Za-z_][A-Za-z0-9_]*)[ \t\n]*$" name "${declaration}")
    list(APPEND names ${CMAKE_MATCH_1})
  endforeach()
  list(REMOVE_DUPLICATES names)
  list(SORT names)
  if(NOT names)
    message(FATAL_ERROR "${header} declares nothing with ${macro}")
  endif()

  set(map "{\n  global:\n")
  foreach(name IN LISTS names)
    string(APPEND map "    ${name};\n")
  endforeach()
  string(APPEND map "  local:\n    *;\n};\n")
  set(map_file ${CMAKE_CURRENT_BINARY_DIR}/${target}.map)
  file(WRITE ${map_file} "${map}")
  string(REPLACE ";" "\n" names_text "${names}")
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/${target}.exports "${names_text}\n")

  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${header})
  target_link_options(${target} PRIVATE -Wl,--version-script=${map_file})
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${map_file})
  set_property(GLOBAL APPEND PROPERTY ORV_EXPORTING_LIBRARIES ${target})
  set_property(TARGET ${target} PROPERTY ORV_EXPORTS_FILE ${CMAKE_CURRENT_BINARY_DIR}/${target}.exports)
endfunction()

# lumedesk_resources(target STRINGS file MANIFEST file)
# Packs the string table and the files named in the manifest into one resource blob with
# rescomp and places it in the `lume_rsrc` section of whatever links the object library.
function(lumedesk_resources target)
  cmake_parse_arguments(R "" "STRINGS;MANIFEST" "" ${ARGN})
  get_filename_component(_base ${R_MANIFEST} DIRECTORY)
  file(STRINGS ${R_MANIFEST} _lines)
  set(_deps ${R_STRINGS} ${R_MANIFEST})
  foreach(_line IN LISTS _lines)
    if(_line MATCHES "^[ \t]*#" OR _line STREQUAL "")
      continue()
    endif()
    string(REGEX REPLACE "^[^ \t]+[ \t]+[^ \t]+[ \t]+" "" _file "${_line}")
    list(APPEND _deps ${_base}/${_file})
  endforeach()
  set(_blob ${CMAKE_CURRENT_BINARY_DIR}/${target}.bin)
  set(_asm ${CMAKE_CURRENT_BINARY_DIR}/${target}.S)
  add_custom_command(OUTPUT ${_blob}
    COMMAND rescomp ${R_STRINGS} ${R_MANIFEST} ${_blob}
    DEPENDS rescomp ${_deps}
    COMMENT "Packing resources for ${target}")
  file(WRITE ${_asm}
    "    .section lume_rsrc,\"a\"\n"
    "    .balign 16\n"
    "    .incbin \"${_blob}\"\n"
    "    .section .note.GNU-stack,\"\",@progbits\n")
  set_source_files_properties(${_asm} PROPERTIES OBJECT_DEPENDS ${_blob})
  add_library(${target} OBJECT ${_asm})
endfunction()

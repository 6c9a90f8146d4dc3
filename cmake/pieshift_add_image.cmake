# pieshift_add_image(): a custom target that relocates a linked static PIE with pieshift::pieshift,
# which an installed package imports and an including project's pieshift build defines.
#
#   pieshift_add_image(<name> TARGET <elf-target> ADDRESS <addr> [OUTPUT <file>]
#                      [FORMAT binary|ihex|srec|elf] [DEFINE SYM=VAL ...] [SYMFILE <file> ...]
#                      [INCLUDE_READONLY] [ENTRY_FILE <file>] [GAP_FILL <byte>] [PAD_TO <address>])
#
# OUTPUT defaults to <name>.img and ENTRY_FILE has none; both are relative to the current binary
# directory, symbol files to the current source directory. Symbol files are read before the DEFINEs,
# so a DEFINE overrides a file's value. The image is rebuilt when the executable, a symbol file or the
# tool changes. The target's properties PIESHIFT_IMAGE and PIESHIFT_ENTRY_FILE give the outputs.
include_guard(GLOBAL)

function(pieshift_add_image name)
  # Keywords that turn into one option each, KEYWORD=--option: flags, and options that take the
  # keyword's one value as it is given. A new option of that kind is one entry here. (The table lives
  # in the function: a project that includes pieshift's directory does not see its variables.)
  set(flag_keywords INCLUDE_READONLY=--include-readonly)
  set(value_keywords FORMAT=--output-format GAP_FILL=--gap-fill PAD_TO=--pad-to)

  set(flags)
  set(values TARGET ADDRESS OUTPUT ENTRY_FILE)
  foreach(pair IN LISTS flag_keywords)
    string(REGEX REPLACE "=.*" "" keyword "${pair}")
    list(APPEND flags ${keyword})
  endforeach()
  foreach(pair IN LISTS value_keywords)
    string(REGEX REPLACE "=.*" "" keyword "${pair}")
    list(APPEND values ${keyword})
  endforeach()
  cmake_parse_arguments(PARSE_ARGV 1 arg "${flags}" "${values}" "DEFINE;SYMFILE")

  set(where "pieshift_add_image(${name})")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "${where}: unknown arguments: ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(arg_KEYWORDS_MISSING_VALUES)
    message(FATAL_ERROR "${where}: no value for ${arg_KEYWORDS_MISSING_VALUES}")
  endif()
  foreach(required TARGET ADDRESS)
    if(NOT DEFINED arg_${required})
      message(FATAL_ERROR "${where}: ${required} is required")
    endif()
  endforeach()
  if(NOT TARGET ${arg_TARGET})
    message(FATAL_ERROR "${where}: TARGET ${arg_TARGET} is not a target (define it first)")
  endif()
  if(NOT TARGET pieshift::pieshift)
    message(FATAL_ERROR "${where}: no pieshift::pieshift; use find_package(pieshift) or add_subdirectory")
  endif()

  if(NOT DEFINED arg_OUTPUT)
    set(arg_OUTPUT ${name}.img)
  endif()
  cmake_path(ABSOLUTE_PATH arg_OUTPUT BASE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR} NORMALIZE)
  set(outputs ${arg_OUTPUT})
  set(options)
  foreach(pair IN LISTS flag_keywords)
    string(REGEX MATCH "^([^=]*)=(.*)$" match "${pair}")
    if(arg_${CMAKE_MATCH_1})
      list(APPEND options ${CMAKE_MATCH_2})
    endif()
  endforeach()
  foreach(pair IN LISTS value_keywords)
    string(REGEX MATCH "^([^=]*)=(.*)$" match "${pair}")
    if(DEFINED arg_${CMAKE_MATCH_1})
      list(APPEND options ${CMAKE_MATCH_2} ${arg_${CMAKE_MATCH_1}})
    endif()
  endforeach()
  if(DEFINED arg_ENTRY_FILE)
    cmake_path(ABSOLUTE_PATH arg_ENTRY_FILE BASE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR} NORMALIZE)
    list(APPEND options --output-entry ${arg_ENTRY_FILE})
    list(APPEND outputs ${arg_ENTRY_FILE})
  endif()
  set(symfiles)
  foreach(file IN LISTS arg_SYMFILE)
    cmake_path(ABSOLUTE_PATH file BASE_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR} NORMALIZE)
    list(APPEND symfiles ${file})
    list(APPEND options -f ${file})
  endforeach()
  foreach(definition IN LISTS arg_DEFINE)
    list(APPEND options -d ${definition})
  endforeach()

  # Options must come before the two operands, ADDRESS and the executable.
  add_custom_command(
    OUTPUT ${outputs}
    COMMAND pieshift::pieshift ${options} -o ${arg_OUTPUT} ${arg_ADDRESS} $<TARGET_FILE:${arg_TARGET}>
    DEPENDS ${arg_TARGET} pieshift::pieshift $<TARGET_FILE:pieshift::pieshift> ${symfiles}
    COMMENT "Relocating ${arg_TARGET} to ${arg_ADDRESS}: ${arg_OUTPUT}"
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS ${outputs})
  set_target_properties(${name} PROPERTIES PIESHIFT_IMAGE ${arg_OUTPUT})
  if(DEFINED arg_ENTRY_FILE)
    set_target_properties(${name} PROPERTIES PIESHIFT_ENTRY_FILE ${arg_ENTRY_FILE})
  endif()
endfunction()

# Warnings that fail the build, for the project's own targets.
function(dvrcore_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

# A plug-in library: "<name>.so" in `DESTINATION` (default: plugins/ beside
# dvrcore), hidden symbols except the entry points the header exports.
function(dvrcore_add_plugin target)
  cmake_parse_arguments(PLUGIN "" "OUTPUT_NAME;DESTINATION" "SOURCES;DEFINITIONS" ${ARGN})
  if(NOT PLUGIN_OUTPUT_NAME)
    set(PLUGIN_OUTPUT_NAME ${target})
  endif()
  if(NOT PLUGIN_DESTINATION)
    set(PLUGIN_DESTINATION ${DVRCORE_PLUGIN_OUTPUT_DIR})
  endif()
  add_library(${target} MODULE ${PLUGIN_SOURCES})
  target_link_libraries(${target} PRIVATE dvrcore::plugin_api Threads::Threads)
  target_compile_definitions(${target} PRIVATE ${PLUGIN_DEFINITIONS})
  set_target_properties(${target} PROPERTIES
    PREFIX ""
    SUFFIX ".so"
    OUTPUT_NAME ${PLUGIN_OUTPUT_NAME}
    LIBRARY_OUTPUT_DIRECTORY ${PLUGIN_DESTINATION}
    C_VISIBILITY_PRESET hidden
    CXX_VISIBILITY_PRESET hidden)
  dvrcore_warnings(${target})
endfunction()

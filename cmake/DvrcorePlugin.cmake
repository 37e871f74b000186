# dvrcore_add_plugin(NAME [SOURCES] source... [EXPORTS symbol...])
#
# A dvrcore plug-in library: a MODULE named exactly "NAME.so" (no "lib"
# prefix), position-independent, symbols hidden unless marked
# DVR_PLUGIN_EXPORT, at least C11 for C sources and C++20 for C++ sources,
# linked to dvrcore::plugin_api (the header) and the thread library. Only
# the entry points the core looks up are exported: a C++ plug-in's template
# instances (std::map, std::unordered_set, ...) stay inside it. EXPORTS
# names further symbols the library offers (to a test driver, say).
# Shipped with the installed package; this repository's own plug-ins use the
# same function. Where the library lands is CMAKE_LIBRARY_OUTPUT_DIRECTORY or
# the target's LIBRARY_OUTPUT_DIRECTORY, as for any library.
function(dvrcore_add_plugin name)
  cmake_parse_arguments(PARSE_ARGV 1 PLUGIN "" "" "SOURCES;EXPORTS")
  set(sources ${PLUGIN_SOURCES} ${PLUGIN_UNPARSED_ARGUMENTS})
  if(NOT sources)
    message(FATAL_ERROR "dvrcore_add_plugin(${name}): no source files given")
  endif()
  if(NOT TARGET Threads::Threads)
    find_package(Threads REQUIRED)
  endif()

  add_library(${name} MODULE ${sources})
  target_link_libraries(${name} PRIVATE dvrcore::plugin_api Threads::Threads)
  set_target_properties(${name} PROPERTIES
    PREFIX ""
    SUFFIX ".so"
    POSITION_INDEPENDENT_CODE ON
    C_VISIBILITY_PRESET hidden
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  set(exports ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/dvrcore-plugin-exports.map)
  if(PLUGIN_EXPORTS)
    file(READ ${exports} map)
    list(JOIN PLUGIN_EXPORTS "; " more)
    string(REPLACE "IOCTL;" "IOCTL; ${more};" map "${map}")
    set(exports ${CMAKE_CURRENT_BINARY_DIR}/${name}-exports.map)
    file(CONFIGURE OUTPUT ${exports} CONTENT "${map}")
  endif()
  target_link_options(${name} PRIVATE "LINKER:--version-script=${exports}")
  set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS ${exports})

  # "At least" levels: a project that asks for a newer standard keeps it.
  get_property(languages GLOBAL PROPERTY ENABLED_LANGUAGES)
  if(C IN_LIST languages)
    target_compile_features(${name} PRIVATE c_std_11)
  endif()
  if(CXX IN_LIST languages)
    target_compile_features(${name} PRIVATE cxx_std_20)
  endif()
endfunction()

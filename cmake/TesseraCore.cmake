# tessera_core_objects(NAME source... [OPTIONS flag...])
# An object library of core sources for target_link_libraries. Sources named
# *_avx2.cpp hold kernels for CPUs with AVX2, chosen at run time; this is the
# one place that gives them -mavx2 (a source property, so it is set in the
# directory of each caller). OPTIONS are extra compile flags, such as the
# fuzzers' instrumentation.
function(tessera_core_objects name)
  cmake_parse_arguments(C "" "" "OPTIONS" ${ARGN})
  set(avx2 ${C_UNPARSED_ARGUMENTS})
  list(FILTER avx2 INCLUDE REGEX "_avx2\\.cpp$")
  if(avx2)
    set_source_files_properties(${avx2} PROPERTIES COMPILE_OPTIONS -mavx2)
  endif()
  add_library(${name} OBJECT ${C_UNPARSED_ARGUMENTS})
  target_include_directories(${name} PUBLIC "${PROJECT_SOURCE_DIR}/src")
  target_compile_options(${name} PRIVATE ${C_OPTIONS})
endfunction()

# tessera_missing(PACKAGE WHAT): one line for a piece that is left out because
# what it needs is not installed. Tests, benchmarks and fuzzing never stop the
# modules and the host from building.
function(tessera_missing package what)
  message(STATUS "${what}: not built, apt-get install ${package}")
endfunction()

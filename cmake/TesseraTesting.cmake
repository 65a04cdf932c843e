# Test helpers shared by the test directories.

# GoogleTest is needed by the C++ suites only; the Python suites run without it.
find_package(GTest QUIET)
if(NOT GTest_FOUND)
  tessera_missing(libgtest-dev "the C++ unit tests (GoogleTest)")
endif()

# Environment for Python tests: the freshly built modules and the tools first
# on the path; under the sanitizers the runtime is preloaded into the
# interpreter, which was not built with it.
set(TESSERA_PYTHONPATH "${CMAKE_BINARY_DIR}/python:${CMAKE_SOURCE_DIR}/tools/python")
set(TESSERA_TEST_ENV
  "PYTHONPATH=${TESSERA_PYTHONPATH}"
  "TESSERA_BUILD_DIR=${CMAKE_BINARY_DIR}"
  "PYTHONDONTWRITEBYTECODE=1")
if(TESSERA_SANITIZE)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
    OUTPUT_VARIABLE TESSERA_LIBASAN OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(TESSERA_SANITIZER_PRELOAD "${TESSERA_LIBASAN}")
  list(APPEND TESSERA_TEST_ENV
    "TESSERA_SANITIZER_PRELOAD=${TESSERA_LIBASAN}"
    "ASAN_OPTIONS=detect_leaks=0:abort_on_error=0:halt_on_error=1"
    "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")
endif()

# tessera_python_test(NAME file.py [MAIN] [PRELOAD lib...] [LABELS ...] [TIMEOUT s])
# Runs one unittest file under each interpreter built, as NAME_pyXY; with
# MAIN only under 2.7 and the newest Python 3 (for the slow loops).
function(tessera_python_test name file)
  cmake_parse_arguments(T "MAIN" "TIMEOUT" "PRELOAD;LABELS;ENV" ${ARGN})
  set(preload ${TESSERA_SANITIZER_PRELOAD} ${T_PRELOAD})
  set(env ${TESSERA_TEST_ENV} ${T_ENV})
  if(preload)
    string(REPLACE ";" ":" preload "${preload}")
    list(APPEND env "LD_PRELOAD=${preload}")
  endif()
  get_filename_component(dir "${CMAKE_CURRENT_SOURCE_DIR}/${file}" DIRECTORY)
  get_filename_component(base "${file}" NAME)
  set(tags ${TESSERA_PYTHON_TAGS})
  if(T_MAIN)
    set(tags ${TESSERA_PYTHON_MAIN_TAGS})
  endif()
  foreach(tag ${tags})
    add_test(NAME ${name}_${tag} COMMAND "${TESSERA_PYTHON_${tag}_EXECUTABLE}"
      -m unittest discover -v -s "${dir}" -p "${base}")
    set_tests_properties(${name}_${tag} PROPERTIES
      ENVIRONMENT "${env}"
      WORKING_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}"
      LABELS "python;${tag};${T_LABELS}")
    if(T_TIMEOUT)
      set_tests_properties(${name}_${tag} PROPERTIES TIMEOUT ${T_TIMEOUT})
    endif()
  endforeach()
endfunction()

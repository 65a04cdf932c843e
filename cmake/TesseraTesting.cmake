# Test helpers shared by the test directories.

# GoogleTest is needed by the C++ suites only; the Python suites run without it.
find_package(GTest QUIET)
if(NOT GTest_FOUND)
  tessera_missing(libgtest-dev "the C++ unit tests (GoogleTest)")
endif()

# Environment for Python tests: the freshly built modules and the tools first
# on the path; under the sanitizers the runtime is preloaded into the
# interpreter, which was not built with it.
set(TESSERA_PYTHONPATH
  "${CMAKE_BINARY_DIR}/python:${CMAKE_SOURCE_DIR}/host:${CMAKE_SOURCE_DIR}/tests/support/python")
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

# The host's suites also run against the package as installed (made by
# tests/install, fixture tessera_installed): by the venv's interpreter, with
# the installed command and nothing of the tree's host/ on the path.
set(TESSERA_INSTALL_VENV "${CMAKE_BINARY_DIR}/install-venv")
set(TESSERA_INSTALLED_ENV ${TESSERA_TEST_ENV})
list(FILTER TESSERA_INSTALLED_ENV EXCLUDE REGEX "^(PYTHONPATH|TESSERA_BUILD_DIR)=")
list(APPEND TESSERA_INSTALLED_ENV
  "PYTHONPATH=${CMAKE_SOURCE_DIR}/tests/support/python"
  "TESSERA_CAPTURE_COMMAND=${TESSERA_INSTALL_VENV}/bin/tessera-capture")

# tessera_test_environment(OUT "lib;..." var=value...): TESSERA_TEST_ENV and
# the given variables, with the sanitizer runtime (when there is one) and the
# libraries preloaded.
function(tessera_test_environment out preload)
  set(preload ${TESSERA_SANITIZER_PRELOAD} ${preload})
  set(env ${TESSERA_TEST_ENV} ${ARGN})
  if(preload)
    string(REPLACE ";" ":" preload "${preload}")
    list(APPEND env "LD_PRELOAD=${preload}")
  endif()
  set(${out} "${env}" PARENT_SCOPE)
endfunction()

# tessera_python_test(NAME file.py [MAIN] [HOST [INSTALLED]] [PRELOAD lib...] [LABELS ...]
#                     [TIMEOUT s])
# Runs one unittest file under each interpreter built, as NAME_pyXY; with
# MAIN only under 2.7 and the newest Python 3 (for the slow loops); with HOST
# only under the Python 3 ones (the capture host's own suites); INSTALLED
# adds NAME_installed (label install), against the installed package.
function(tessera_python_test name file)
  cmake_parse_arguments(T "MAIN;HOST;INSTALLED" "TIMEOUT" "PRELOAD;LABELS;ENV" ${ARGN})
  tessera_test_environment(env "${T_PRELOAD}" ${T_ENV})
  get_filename_component(dir "${CMAKE_CURRENT_SOURCE_DIR}/${file}" DIRECTORY)
  get_filename_component(base "${file}" NAME)
  set(tags ${TESSERA_PYTHON_TAGS})
  if(T_MAIN)
    set(tags ${TESSERA_PYTHON_MAIN_TAGS})
  endif()
  if(T_HOST)
    list(REMOVE_ITEM tags py27)
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
  if(T_INSTALLED AND T_HOST AND TESSERA_HOST_TAG IN_LIST TESSERA_PYTHON3_TAGS)
    set(TESSERA_TEST_ENV ${TESSERA_INSTALLED_ENV})
    tessera_test_environment(env "${T_PRELOAD}" ${T_ENV})
    # The fixture's setup is skipped when no venv can be made: then so is this.
    add_test(NAME ${name}_installed
      COMMAND sh -c [=[test -x "$0" || { echo "SKIP: nothing installed at $0"; exit 77; }; exec "$0" "$@"]=]
        "${TESSERA_INSTALL_VENV}/bin/python" -m unittest discover -v -s "${dir}" -p "${base}")
    set_tests_properties(${name}_installed PROPERTIES
      ENVIRONMENT "${env}"
      WORKING_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}"
      LABELS "python;install;${T_LABELS}"
      FIXTURES_REQUIRED tessera_installed
      SKIP_RETURN_CODE 77)
    if(T_TIMEOUT)
      set_tests_properties(${name}_installed PROPERTIES TIMEOUT ${T_TIMEOUT})
    endif()
  endif()
endfunction()

# tessera_benchmark(NAME [PYTHON | EACH_PYTHON] COMMAND cmd arg... [FULL arg...]
#                   SMOKE arg... [PRELOAD lib...])
# Registers a benchmark twice: NAME (label bench), the full measurement that
# ./build.sh bench runs, with the FULL arguments added; and NAME_smoke (label
# smoke), with the SMOKE arguments instead: a small input, seconds, figures
# not worth reading, run with the suite so that a benchmark that no longer
# works fails it. With PYTHON the command is a Python script, run under
# TESSERA_HOST_PYTHON; with EACH_PYTHON the full run goes once per
# interpreter (NAME_pyXY, @TAG@ in FULL replaced by pyXY), the smoke run
# still once. Exit status 77 is a skip (something the benchmark needs, such
# as a browser, is missing).
function(tessera_benchmark name)
  cmake_parse_arguments(B "PYTHON;EACH_PYTHON" "" "COMMAND;FULL;SMOKE;PRELOAD" ${ARGN})
  tessera_test_environment(env "${B_PRELOAD}")
  set(command ${B_COMMAND})
  if(B_PYTHON OR B_EACH_PYTHON)
    set(command "${TESSERA_HOST_PYTHON}" ${B_COMMAND})
  endif()
  add_test(NAME ${name}_smoke COMMAND ${command} ${B_SMOKE})
  set_tests_properties(${name}_smoke PROPERTIES LABELS smoke TIMEOUT 120)
  set(full ${name})
  if(B_EACH_PYTHON)
    set(full)
    foreach(tag ${TESSERA_PYTHON_TAGS})
      string(REPLACE "@TAG@" ${tag} args "${B_FULL}")
      add_test(NAME ${name}_${tag}
        COMMAND "${TESSERA_PYTHON_${tag}_EXECUTABLE}" ${B_COMMAND} ${args})
      list(APPEND full ${name}_${tag})
    endforeach()
  else()
    add_test(NAME ${name} COMMAND ${command} ${B_FULL})
  endif()
  set_tests_properties(${full} PROPERTIES LABELS bench TIMEOUT 1200)
  set_tests_properties(${name}_smoke ${full} PROPERTIES ENVIRONMENT "${env}" SKIP_RETURN_CODE 77)
endfunction()

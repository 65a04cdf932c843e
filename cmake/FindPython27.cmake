# Finds a working CPython 2.7 with its development headers.
#
# Tried in order: -DPYTHON27_EXECUTABLE, $PYTHON27, every python2.7/python2/python
# on PATH, then pyenv and common prefixes. A candidate counts only if it runs
# (pyenv shims for another global version do not) and has Python.h.
#
# Sets PYTHON27_EXECUTABLE, PYTHON27_INCLUDE_DIR and Python27_FOUND.

set(_py27_candidates)
if(PYTHON27_EXECUTABLE)
  list(APPEND _py27_candidates "${PYTHON27_EXECUTABLE}")
endif()
if(DEFINED ENV{PYTHON27})
  list(APPEND _py27_candidates "$ENV{PYTHON27}")
endif()
string(REPLACE ":" ";" _py27_path "$ENV{PATH}")
foreach(_name python2.7 python2 python)
  foreach(_dir ${_py27_path})
    if(EXISTS "${_dir}/${_name}")
      list(APPEND _py27_candidates "${_dir}/${_name}")
    endif()
  endforeach()
endforeach()
file(GLOB _py27_more
  "$ENV{HOME}/.pyenv/versions/2.7*/bin/python2.7"
  "/root/.pyenv/versions/2.7*/bin/python2.7"
  "/usr/local/bin/python2.7"
  "/usr/bin/python2.7"
  "/opt/python*/bin/python2.7")
list(APPEND _py27_candidates ${_py27_more})

set(_py27_probe "import sys\nfrom distutils import sysconfig\nassert sys.version_info[:2] == (2, 7)\nsys.stdout.write(sysconfig.get_python_inc())")
unset(PYTHON27_INCLUDE_DIR)
foreach(_cand ${_py27_candidates})
  execute_process(COMMAND "${_cand}" -c "${_py27_probe}"
    RESULT_VARIABLE _rc OUTPUT_VARIABLE _inc ERROR_QUIET TIMEOUT 20)
  if(_rc EQUAL 0 AND EXISTS "${_inc}/Python.h")
    set(PYTHON27_EXECUTABLE "${_cand}" CACHE FILEPATH "Python 2.7 interpreter" FORCE)
    set(PYTHON27_INCLUDE_DIR "${_inc}")
    break()
  endif()
endforeach()

if(PYTHON27_INCLUDE_DIR)
  set(Python27_FOUND TRUE)
  message(STATUS "Python 2.7: ${PYTHON27_EXECUTABLE} (headers in ${PYTHON27_INCLUDE_DIR})")
else()
  set(Python27_FOUND FALSE)
  message(FATAL_ERROR
    "No working Python 2.7 with development headers was found.\n"
    "Install one, then run the build again:\n"
    "  Debian/Ubuntu releases that still ship it: apt-get install python2.7 python2.7-dev\n"
    "  Fedora/RHEL: dnf install python2.7 python2-devel\n"
    "  anywhere:    pyenv install 2.7.18\n"
    "or point the build at an interpreter: PYTHON27=/path/to/python2.7 ./build.sh test")
endif()

# The interpreters the modules are built for, each one with its headers.
#
# Given: $PYTHON or -DTESSERA_PYTHON, one or more interpreters separated by
# spaces, colons or semicolons; each must run and have Python.h, and be 2.7 or
# 3.8 and later. Otherwise found: Python 2.7 and the newest Python 3 among
# PATH, pyenv and the usual prefixes, plus the oldest Python 3 (3.8 or later)
# with -DTESSERA_PYTHON_OLDEST=ON (what CI runs). A candidate counts only if
# it runs (pyenv shims for another global version do not) and has Python.h.
#
# Sets:
#   TESSERA_PYTHON_TAGS       one tag per interpreter: py27, py38, py313, ...
#   TESSERA_PYTHON_MAIN_TAGS  2.7 and the newest Python 3 among them
#   TESSERA_PYTHON3_TAGS      the Python 3 ones, which the capture host runs on
#   TESSERA_PYTHON_<tag>_EXECUTABLE, _INCLUDE_DIR, _SUFFIX (.so, or EXT_SUFFIX)
#   TESSERA_HOST_PYTHON       (cache) the interpreter ./build.sh capture runs:
#                             the newest Python 3, else 2.7
#   TESSERA_HOST_TAG          its tag, the one cmake --install installs for

option(TESSERA_PYTHON_OLDEST "Also build for the oldest Python 3 (3.8 or later) found" OFF)
set(TESSERA_PYTHON "" CACHE STRING "Interpreters to build the modules for (default: found)")

# Prints "major.minor;include dir;extension suffix" under 2.7 and 3 alike.
set(_tp_probe_script [=[
import sys, sysconfig
sys.stdout.write('%d.%d;%s;%s' % (sys.version_info[0], sys.version_info[1],
                 sysconfig.get_paths()['include'],
                 sysconfig.get_config_var('EXT_SUFFIX') or '.so'))
]=])

# _tp_probe(candidate OUT): OUT is "tag;version;include;suffix", or empty when
# the candidate does not run or has no headers.
function(_tp_probe candidate out)
  set(${out} "" PARENT_SCOPE)
  execute_process(COMMAND "${candidate}" -c "${_tp_probe_script}"
    RESULT_VARIABLE rc OUTPUT_VARIABLE info ERROR_QUIET TIMEOUT 20)
  if(NOT rc EQUAL 0)
    return()
  endif()
  list(LENGTH info n)
  if(NOT n EQUAL 3)
    return()
  endif()
  list(GET info 0 version)
  list(GET info 1 include)
  if(NOT EXISTS "${include}/Python.h")
    return()
  endif()
  string(REPLACE "." "" tag "py${version}")
  set(${out} "${tag};${info}" PARENT_SCOPE)
endfunction()

# Whether a version is one the modules support: 2.7, or 3.8 and later.
function(_tp_supported version out)
  set(ok FALSE)
  if(version VERSION_EQUAL 2.7 OR (version VERSION_GREATER_EQUAL 3.8 AND version VERSION_LESS 4))
    set(ok TRUE)
  endif()
  set(${out} ${ok} PARENT_SCOPE)
endfunction()

set(_tp_found)  # the tags added so far
function(_tp_add candidate record)
  list(GET record 0 tag)
  if(DEFINED TESSERA_PYTHON_${tag}_EXECUTABLE)
    return()  # the first interpreter of a version wins
  endif()
  list(GET record 1 version)
  list(GET record 2 include)
  list(GET record 3 suffix)
  set(TESSERA_PYTHON_${tag}_EXECUTABLE "${candidate}" PARENT_SCOPE)
  set(TESSERA_PYTHON_${tag}_VERSION "${version}" PARENT_SCOPE)
  set(TESSERA_PYTHON_${tag}_INCLUDE_DIR "${include}" PARENT_SCOPE)
  set(TESSERA_PYTHON_${tag}_SUFFIX "${suffix}" PARENT_SCOPE)
  set(_tp_found ${_tp_found} ${tag} PARENT_SCOPE)
endfunction()

set(_tp_given "${TESSERA_PYTHON}")
if(DEFINED ENV{PYTHON} AND NOT "$ENV{PYTHON}" STREQUAL "")
  set(_tp_given "$ENV{PYTHON}")
endif()

if(_tp_given)
  string(REGEX REPLACE "[ :;]+" ";" _tp_given "${_tp_given}")
  foreach(_cand ${_tp_given})
    _tp_probe("${_cand}" _rec)
    if(NOT _rec)
      message(FATAL_ERROR "Python '${_cand}' does not run or has no development headers "
        "(Python.h); install its -dev package (e.g. apt-get install python3-dev).")
    endif()
    list(GET _rec 1 _ver)
    _tp_supported(${_ver} _ok)
    if(NOT _ok)
      message(FATAL_ERROR "Python '${_cand}' is ${_ver}: the modules need 2.7 or 3.8 and later.")
    endif()
    _tp_add("${_cand}" "${_rec}")
  endforeach()
else()
  string(REPLACE ":" ";" _tp_path "$ENV{PATH}")
  set(_tp_candidates)
  foreach(_dir ${_tp_path})
    file(GLOB _here "${_dir}/python2.7" "${_dir}/python2" "${_dir}/python3" "${_dir}/python3.[0-9]*"
      "${_dir}/python")
    list(APPEND _tp_candidates ${_here})
  endforeach()
  file(GLOB _more
    "$ENV{HOME}/.pyenv/versions/*/bin/python[23]*"
    "/root/.pyenv/versions/*/bin/python[23]*"
    "/usr/local/bin/python[23]*"
    "/usr/bin/python[23]*")
  list(APPEND _tp_candidates ${_more})
  # pyenv's shims run whatever version is selected where they are called.
  list(FILTER _tp_candidates EXCLUDE REGEX "-config$|/shims/")
  list(REMOVE_DUPLICATES _tp_candidates)
  foreach(_cand ${_tp_candidates})
    _tp_probe("${_cand}" _rec)
    if(_rec)
      list(GET _rec 1 _ver)
      _tp_supported(${_ver} _ok)
      if(_ok)
        _tp_add("${_cand}" "${_rec}")
      endif()
    endif()
  endforeach()
  # Of the Python 3 versions found, keep the newest (and the oldest for CI).
  set(_tp_three)
  foreach(_tag ${_tp_found})
    if(_tag MATCHES "^py3")
      list(APPEND _tp_three ${_tag})
    endif()
  endforeach()
  set(_tp_keep)
  if(DEFINED TESSERA_PYTHON_py27_EXECUTABLE)
    list(APPEND _tp_keep py27)
  endif()
  if(_tp_three)
    set(_newest "")
    set(_oldest "")
    foreach(_tag ${_tp_three})
      set(_v ${TESSERA_PYTHON_${_tag}_VERSION})
      if(NOT _newest OR _v VERSION_GREATER TESSERA_PYTHON_${_newest}_VERSION)
        set(_newest ${_tag})
      endif()
      if(NOT _oldest OR _v VERSION_LESS TESSERA_PYTHON_${_oldest}_VERSION)
        set(_oldest ${_tag})
      endif()
    endforeach()
    if(TESSERA_PYTHON_OLDEST AND NOT _oldest STREQUAL _newest)
      list(APPEND _tp_keep ${_oldest})
    endif()
    list(APPEND _tp_keep ${_newest})
  endif()
  set(_tp_found ${_tp_keep})
endif()

if(NOT _tp_found)
  message(FATAL_ERROR
    "No working Python with development headers was found (2.7, or 3.8 and later).\n"
    "Install one, then run the build again:\n"
    "  Debian/Ubuntu: apt-get install python3 python3-dev\n"
    "  Fedora/RHEL:   dnf install python3 python3-devel\n"
    "  anywhere:      pyenv install 3.12\n"
    "or point the build at interpreters: PYTHON='/path/to/python3 /path/to/python2.7' ./build.sh")
endif()

set(TESSERA_PYTHON_TAGS ${_tp_found})
set(TESSERA_PYTHON3_TAGS ${_tp_found})
list(REMOVE_ITEM TESSERA_PYTHON3_TAGS py27)
set(TESSERA_PYTHON_MAIN_TAGS)
set(_newest "")
foreach(_tag ${TESSERA_PYTHON_TAGS})
  message(STATUS "Python ${TESSERA_PYTHON_${_tag}_VERSION}: ${TESSERA_PYTHON_${_tag}_EXECUTABLE}"
    " (modules *${TESSERA_PYTHON_${_tag}_SUFFIX}, tests *_${_tag})")
  if(_tag STREQUAL "py27")
    list(APPEND TESSERA_PYTHON_MAIN_TAGS py27)
  elseif(NOT _newest OR TESSERA_PYTHON_${_tag}_VERSION VERSION_GREATER TESSERA_PYTHON_${_newest}_VERSION)
    set(_newest ${_tag})
  endif()
endforeach()
set(_host py27)
if(_newest)
  list(APPEND TESSERA_PYTHON_MAIN_TAGS ${_newest})
  set(_host ${_newest})
endif()
if(NOT _host IN_LIST TESSERA_PYTHON_TAGS)
  list(GET TESSERA_PYTHON_TAGS 0 _host)
endif()
set(TESSERA_HOST_TAG ${_host})
set(TESSERA_HOST_PYTHON "${TESSERA_PYTHON_${_host}_EXECUTABLE}" CACHE FILEPATH
  "The interpreter ./build.sh capture runs" FORCE)

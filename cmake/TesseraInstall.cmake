# What `cmake --install build --prefix P` puts in place, the same as
# `pip install .` for the interpreter the host runs on (the newest Python 3
# built; PYTHON=... picks it): the modules and the package tessera_capture in
# TESSERA_INSTALL_PYTHONDIR (a relative one is under the prefix), the host's
# libraries in the package's lib/, and the command P/bin/tessera-capture.

if(NOT TESSERA_HOST_TAG IN_LIST TESSERA_PYTHON3_TAGS)
  message(STATUS "cmake --install: not set up, the capture host needs Python 3.8 or later")
  return()
endif()
set(TESSERA_INSTALL_PYTHONDIR "lib/python${TESSERA_PYTHON_${TESSERA_HOST_TAG}_VERSION}/site-packages"
  CACHE STRING "Where cmake --install puts the modules and the capture host (relative: under the prefix)")
set(TESSERA_INSTALL_INTERPRETER "${TESSERA_PYTHON_${TESSERA_HOST_TAG}_EXECUTABLE}")

install(TARGETS tessera_${TESSERA_HOST_TAG} sluice64_${TESSERA_HOST_TAG}
  LIBRARY DESTINATION "${TESSERA_INSTALL_PYTHONDIR}")
install(DIRECTORY "${PROJECT_SOURCE_DIR}/host/tessera_capture"
  DESTINATION "${TESSERA_INSTALL_PYTHONDIR}"
  PATTERN __pycache__ EXCLUDE
  PATTERN "*.pyc" EXCLUDE)
install(TARGETS tilestream frameconvert
  LIBRARY DESTINATION "${TESSERA_INSTALL_PYTHONDIR}/tessera_capture/lib")
configure_file("${PROJECT_SOURCE_DIR}/cmake/tessera-capture.in"
  "${CMAKE_BINARY_DIR}/tessera-capture" @ONLY)
install(PROGRAMS "${CMAKE_BINARY_DIR}/tessera-capture" DESTINATION bin)

// PLACEHOLDER: replaced by the real implementation
#include <Python.h>
#include "common/basic.h"
namespace {
PyMethodDef methods[] = {{nullptr, nullptr, 0, nullptr}};
}
PyMODINIT_FUNC TESSERA_EXPORT initsluice64() {
    Py_InitModule4("sluice64", methods, nullptr, nullptr, PYTHON_API_VERSION);
}

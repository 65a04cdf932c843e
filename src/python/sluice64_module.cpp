// The Python skin of the bulk reader: handles, exceptions and the interpreter
// lock around the ring's usbdevfs calls.
#include <Python.h>

#include <errno.h>

#include "common/basic.h"
#include "core/sluice/bulk_ring.h"

namespace {

// The address marks a CObject as one of this module's handles: only handles
// made here carry it, so a pointer wrapped by other code is never followed.
const char kHandleTag = 0;

void *releaseInterpreter() {
    return PyEval_SaveThread();
}

void reacquireInterpreter(void *saved) {
    PyEval_RestoreThread(static_cast<PyThreadState *>(saved));
}

PyObject *raiseFailure(int err) {
    if (err == kReaderDetached) {
        PyErr_SetNone(PyExc_EOFError);
        return nullptr;
    }
    if (err == kReaderNoMemory) return PyErr_NoMemory();
    errno = err;
    return PyErr_SetFromErrno(PyExc_IOError);
}

BulkReader *readerOf(PyObject *args) {
    PyObject *handle;
    if (!PyArg_ParseTuple(args, "O", &handle)) return nullptr;
    if (Py_TYPE(handle) != &PyCObject_Type || PyCObject_GetDesc(handle) != &kHandleTag) {
        PyErr_SetNone(PyExc_TypeError);
        return nullptr;
    }
    return static_cast<BulkReader *>(PyCObject_AsVoidPtr(handle));
}

// Runs when the handle object goes; a reader still attached is detached
// first, so that the kernel holds none of its requests when it is freed.
void freeReader(void *reader, void *) {
    freeBulkReader(static_cast<BulkReader *>(reader));
}

PyDoc_STRVAR(attach_doc, "Setup file-descriptor for usage");

PyObject *do_attach(PyObject *, PyObject *args) {
    int fd, ep;
    if (!PyArg_ParseTuple(args, "ii", &fd, &ep)) return nullptr;
    my_assert(ep & 0x80);
    BulkReader *reader;
    if (int err = attachReader(fd, ep, &reader)) return raiseFailure(err);
    PyObject *handle =
        PyCObject_FromVoidPtrAndDesc(reader, const_cast<char *>(&kHandleTag), freeReader);
    if (!handle) freeBulkReader(reader);
    return handle;
}

PyDoc_STRVAR(detach_doc, "Cleanup an instance");

PyObject *do_detach(PyObject *, PyObject *args) {
    BulkReader *reader = readerOf(args);
    if (!reader) return nullptr;
    detachReader(reader);
    Py_RETURN_NONE;
}

PyDoc_STRVAR(readVideo_doc, "Bulk read; returns a readonly buffer");

PyObject *do_readVideo(PyObject *, PyObject *args) {
    BulkReader *reader = readerOf(args);
    if (!reader) return nullptr;
    BulkUrb *which;
    if (int err = waitTransfer(reader, &which)) return raiseFailure(err);
    // Only a request of this reader's own slots is read through: one of
    // another reader on the same descriptor points into a record that may be
    // gone. Either way the reaped request is not the slot's own.
    BulkBuffer *b =
        isOwnRequest(reader, which) ? static_cast<BulkBuffer *>(which->usercontext) : nullptr;
    if (!b || &b->urb != which) __my_assert("&b->urb == which", __FILE__, __func__, __LINE__);
    int length;
    if (int err = takeTransfer(reader, b, &length)) return raiseFailure(err);
    return PyBuffer_FromMemory(b->data, length);
}

PyMethodDef methods[] = {
    {"attach", do_attach, METH_VARARGS, attach_doc},
    {"detach", do_detach, METH_VARARGS, detach_doc},
    {"readVideo", do_readVideo, METH_VARARGS, readVideo_doc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMODINIT_FUNC TESSERA_EXPORT initsluice64() {
    bulkLockHooks = {releaseInterpreter, reacquireInterpreter};
    Py_InitModule4("sluice64", methods, nullptr, nullptr, PYTHON_API_VERSION);
}

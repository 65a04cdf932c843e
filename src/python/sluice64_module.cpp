// The Python skin of the bulk reader: handles, exceptions and the interpreter
// lock around the ring's usbdevfs calls.
#include "python/py_compat.h"

#include <errno.h>

#include "common/basic.h"
#include "core/sluice/bulk_ring.h"

namespace {

// The address marks a handle as one of this module's: only handles made here
// carry it, so a pointer wrapped by other code is never followed.
const char kHandleTag[] = "sluice64 reader";

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

// A handle points at the owner of its reader's record. The record goes when
// the owner goes: after the handle and every buffer lent from its slots.
MemoryOwner *ownerOf(PyObject *args) {
    PyObject *handle;
    if (!PyArg_ParseTuple(args, "O", &handle)) return nullptr;
    return static_cast<MemoryOwner *>(handlePointer(handle, kHandleTag));
}

BulkReader *readerOf(MemoryOwner *owner) {
    return static_cast<BulkReader *>(owner->block);
}

void freeReader(void *reader) {
    freeBulkReader(static_cast<BulkReader *>(reader));
}

// Runs when the handle object goes: the reader is detached at once, so that
// the kernel holds none of its requests, while buffers still lent keep the
// record.
void dropHandle(void *owner) {
    detachReader(readerOf(static_cast<MemoryOwner *>(owner)));
    Py_DECREF(static_cast<PyObject *>(owner));
}

PyDoc_STRVAR(attach_doc, "Setup file-descriptor for usage");

PyObject *do_attach(PyObject *, PyObject *args) {
    int fd, ep;
    if (!PyArg_ParseTuple(args, "ii", &fd, &ep)) return nullptr;
    my_assert(ep & 0x80);
    BulkReader *reader;
    if (int err = attachReader(fd, ep, &reader)) return raiseFailure(err);
    MemoryOwner *owner = newMemoryOwner(reader, sizeof *reader, freeReader);
    if (!owner) return nullptr;
    PyObject *handle = newHandle<dropHandle>(owner, kHandleTag);
    if (!handle) Py_DECREF(owner);
    return handle;
}

PyDoc_STRVAR(detach_doc, "Cleanup an instance");

PyObject *do_detach(PyObject *, PyObject *args) {
    MemoryOwner *owner = ownerOf(args);
    if (!owner) return nullptr;
    detachReader(readerOf(owner));
    Py_RETURN_NONE;
}

PyDoc_STRVAR(readVideo_doc, "Bulk read; returns a readonly buffer");

// The buffer is the slot's own memory, no copy: its bytes change once a later
// read hands the slot out again.
PyObject *do_readVideo(PyObject *, PyObject *args) {
    MemoryOwner *owner = ownerOf(args);
    if (!owner) return nullptr;
    const byte_t *data;
    int length;
    if (int err = readTransfer(readerOf(owner), &data, &length)) return raiseFailure(err);
    return lendView(owner, data, length);
}

PyMethodDef methods[] = {
    {"attach", do_attach, METH_VARARGS, attach_doc},
    {"detach", do_detach, METH_VARARGS, detach_doc},
    {"readVideo", do_readVideo, METH_VARARGS, readVideo_doc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

MODULE_INIT(sluice64) {
    bulkLockHooks = {releaseInterpreter, reacquireInterpreter};
    if (!readyMemoryOwner("sluice64.transfers")) return nullptr;
    return createModule("sluice64", methods);
}

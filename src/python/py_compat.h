// What differs between CPython 2.7 and CPython 3 for the two skins: module
// initialisation, data arguments, paths, handles and the views lent over
// module memory. Every version test of the skins is here; the handlers use
// these names and carry none.
#pragma once

// Lengths of "#" formats as Py_ssize_t: required by Python 3.10 and later.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <limits.h>
#include <stddef.h>

#include "common/basic.h"

// Data in. Python 3: any bytes-like object through the buffer protocol (a
// str is refused). Python 2.7: what "s#" takes, as always: str, unicode in
// the default encoding, and read-only buffer objects. A path: on Python 3 a
// str in the file-system encoding or bytes; on 2.7 as data.
//   DataArg data;
//   PyArg_ParseTuple(args, DATA_ARG "|i", DATA_ARGS(data), &pos)
// The argument is released when `data` goes out of scope, on every path.
struct DataArgBase {
    DataArgBase() = default;
    DataArgBase(const DataArgBase &) = delete;
    DataArgBase &operator=(const DataArgBase &) = delete;
};

// The length of a parsed argument as the core takes it; false, with
// ValueError "args are out of range" set, when it is beyond a C int.
template <class Arg>
bool argLength(const Arg &arg, int *len) {
    if (arg.size() > INT_MAX) {
        PyErr_SetString(PyExc_ValueError, "args are out of range");
        return false;
    }
    *len = int(arg.size());
    return true;
}

#if PY_MAJOR_VERSION >= 3
#define DATA_ARG "y*"
#define DATA_ARGS(arg) &(arg).view

struct DataArg : DataArgBase {
    Py_buffer view{};
    ~DataArg() { PyBuffer_Release(&view); }
    const char *chars() const { return static_cast<const char *>(view.buf); }
    const byte_t *bytes() const { return static_cast<const byte_t *>(view.buf); }
    Py_ssize_t size() const { return view.len; }
};

// A str in the file-system encoding, or bytes, as given: the name is cut at
// its first NUL by the core, as on 2.7.
inline int convertPath(PyObject *arg, void *encoded) {
    PyObject *bytes;
    if (PyUnicode_Check(arg)) {
        bytes = PyUnicode_EncodeFSDefault(arg);
        if (!bytes) return 0;
    } else if (PyBytes_Check(arg)) {
        bytes = arg;
        Py_INCREF(bytes);
    } else {
        PyErr_Format(PyExc_TypeError, "path must be str or bytes, not %.200s",
                     Py_TYPE(arg)->tp_name);
        return 0;
    }
    *static_cast<PyObject **>(encoded) = bytes;
    return 1;
}

#define PATH_ARG "O&"
#define PATH_ARGS(arg) convertPath, &(arg).encoded

struct PathArg : DataArgBase {
    PyObject *encoded = nullptr;  // bytes
    ~PathArg() { Py_XDECREF(encoded); }
    const char *chars() const { return PyBytes_AS_STRING(encoded); }
    Py_ssize_t size() const { return PyBytes_GET_SIZE(encoded); }
};

// A path made by the module, as str.
inline PyObject *pathResult(const char *path, Py_ssize_t len) {
    return PyUnicode_DecodeFSDefaultAndSize(path, len);
}
#else
#define DATA_ARG "s#"
#define DATA_ARGS(arg) &(arg).buf, &(arg).len

struct DataArg : DataArgBase {
    const char *buf = nullptr;  // borrowed from the argument, which the call holds
    Py_ssize_t len = 0;
    const char *chars() const { return buf; }
    const byte_t *bytes() const { return reinterpret_cast<const byte_t *>(buf); }
    Py_ssize_t size() const { return len; }
};

#define PATH_ARG DATA_ARG
#define PATH_ARGS DATA_ARGS
using PathArg = DataArg;

inline PyObject *pathResult(const char *path, Py_ssize_t len) {
    return PyString_FromStringAndSize(path, len);
}
#endif

// Module definition: the skin writes
//   MODULE_INIT(name) { ...; return createModule("name", methods); }
// and the init function is initname (2.7) or PyInit_name (3), returning the
// module or nullptr on Python 3.
#if PY_MAJOR_VERSION >= 3
#define MODULE_INIT(name)                                 \
    static PyObject *make_##name();                       \
    extern "C" TESSERA_EXPORT PyObject *PyInit_##name() { \
        return make_##name();                             \
    }                                                     \
    static PyObject *make_##name()

inline PyObject *createModule(const char *name, PyMethodDef *methods) {
    // One module per shared object, so one definition per process image.
    static PyModuleDef definition = {
        PyModuleDef_HEAD_INIT, name, nullptr, -1, methods, nullptr, nullptr, nullptr, nullptr};
    return PyModule_Create(&definition);
}
#else
#define MODULE_INIT(name)                        \
    static PyObject *make_##name();              \
    PyMODINIT_FUNC TESSERA_EXPORT init##name() { \
        make_##name();                           \
    }                                            \
    static PyObject *make_##name()

inline PyObject *createModule(const char *name, PyMethodDef *methods) {
    return Py_InitModule4(name, methods, nullptr, nullptr, PYTHON_API_VERSION);
}
#endif

// Handles: an opaque object wrapping a pointer, accepted back only when it
// was made here with the same `tag`, compared by address, so that an object
// made elsewhere, even with an equal name, is refused. `destroy` runs when
// the handle goes.
using HandleDestructor = void (*)(void *pointer);

#if PY_MAJOR_VERSION >= 3
template <HandleDestructor destroy>
void destroyCapsule(PyObject *capsule) {
    destroy(PyCapsule_GetPointer(capsule, PyCapsule_GetName(capsule)));
}

template <HandleDestructor destroy>
PyObject *newHandle(void *pointer, const char *tag) {
    return PyCapsule_New(pointer, tag, destroyCapsule<destroy>);
}

// The pointer of a handle made with `tag`; otherwise nullptr with TypeError
// set (no message).
inline void *handlePointer(PyObject *handle, const char *tag) {
    if (!PyCapsule_CheckExact(handle) || PyCapsule_GetName(handle) != tag) {
        PyErr_SetNone(PyExc_TypeError);
        return nullptr;
    }
    return PyCapsule_GetPointer(handle, tag);
}
#else
template <HandleDestructor destroy>
void destroyCObject(void *pointer, void *) {
    destroy(pointer);
}

template <HandleDestructor destroy>
PyObject *newHandle(void *pointer, const char *tag) {
    return PyCObject_FromVoidPtrAndDesc(pointer, const_cast<char *>(tag), destroyCObject<destroy>);
}

inline void *handlePointer(PyObject *handle, const char *tag) {
    if (Py_TYPE(handle) != &PyCObject_Type || PyCObject_GetDesc(handle) != tag) {
        PyErr_SetNone(PyExc_TypeError);
        return nullptr;
    }
    return PyCObject_AsVoidPtr(handle);
}
#endif

// An object that owns a block of memory, released with `release` when its
// last reference goes, and lends read-only views of parts of it: a buffer
// object (2.7) or a memoryview of format 'B' (3) over the block itself, each
// holding a reference to the owner, so that no view outlives the memory.
struct MemoryOwner {
    PyObject ob_base;  // what PyObject_HEAD declares, in both versions
    void *block;
    Py_ssize_t size;
    void (*release)(void *block);
    // The part the view being made covers (Python 3: the view asks for it).
    const void *lent;
    Py_ssize_t lentLength;
};

inline void deallocMemoryOwner(PyObject *self) {
    auto *owner = reinterpret_cast<MemoryOwner *>(self);
    PyTypeObject *type = Py_TYPE(self);
    owner->release(owner->block);
    type->tp_free(self);
#if PY_MAJOR_VERSION >= 3
    Py_DECREF(type);  // instances of a heap type hold a reference to it
#endif
}

#if PY_MAJOR_VERSION >= 3
inline int lendMemory(PyObject *self, Py_buffer *view, int flags) {
    auto *owner = reinterpret_cast<MemoryOwner *>(self);
    if (!owner->lent) {
        // Only lendView makes views: any other would see whatever part was lent last.
        PyErr_SetNone(PyExc_BufferError);
        view->obj = nullptr;
        return -1;
    }
    return PyBuffer_FillInfo(view, self, const_cast<void *>(owner->lent), owner->lentLength, 1,
                             flags);
}

inline PyTypeObject *memoryOwnerType;

// Makes the owner type; once, in the module's initialisation.
inline bool readyMemoryOwner(const char *name) {
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void *>(deallocMemoryOwner)},
        {0, nullptr},
    };
    static PyType_Spec spec = {name, sizeof(MemoryOwner), 0, Py_TPFLAGS_DEFAULT, slots};
    memoryOwnerType = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&spec));
    if (!memoryOwnerType) return false;
    // Set here: a type spec carries buffer slots only from 3.9 on.
    memoryOwnerType->tp_as_buffer->bf_getbuffer = lendMemory;
    return true;
}

inline PyObject *lendView(MemoryOwner *owner, const void *data, Py_ssize_t length) {
    owner->lent = data;
    owner->lentLength = length;
    PyObject *view = PyMemoryView_FromObject(reinterpret_cast<PyObject *>(owner));
    owner->lent = nullptr;
    return view;
}
#else
inline Py_ssize_t ownerSegments(PyObject *self, Py_ssize_t *size) {
    if (size) *size = reinterpret_cast<MemoryOwner *>(self)->size;
    return 1;
}

inline Py_ssize_t ownerMemory(PyObject *self, Py_ssize_t segment, void **memory) {
    if (segment != 0) {
        PyErr_SetString(PyExc_SystemError, "accessing non-existent segment");
        return -1;
    }
    auto *owner = reinterpret_cast<MemoryOwner *>(self);
    *memory = owner->block;
    return owner->size;
}

inline Py_ssize_t ownerCharMemory(PyObject *self, Py_ssize_t segment, char **memory) {
    return ownerMemory(self, segment, reinterpret_cast<void **>(memory));
}

inline PyBufferProcs memoryOwnerBuffer;
inline PyTypeObject memoryOwnerTypeObject;
inline PyTypeObject *memoryOwnerType = &memoryOwnerTypeObject;

inline bool readyMemoryOwner(const char *name) {
    PyTypeObject *type = memoryOwnerType;
    Py_REFCNT(type) = 1;
    type->tp_name = name;
    type->tp_basicsize = sizeof(MemoryOwner);
    type->tp_dealloc = deallocMemoryOwner;
    type->tp_flags = Py_TPFLAGS_DEFAULT;
    memoryOwnerBuffer.bf_getreadbuffer = ownerMemory;
    memoryOwnerBuffer.bf_getsegcount = ownerSegments;
    memoryOwnerBuffer.bf_getcharbuffer = ownerCharMemory;
    type->tp_as_buffer = &memoryOwnerBuffer;
    return PyType_Ready(type) == 0;
}

inline PyObject *lendView(MemoryOwner *owner, const void *data, Py_ssize_t length) {
    return PyBuffer_FromObject(
        reinterpret_cast<PyObject *>(owner),
        static_cast<const char *>(data) - static_cast<const char *>(owner->block), length);
}
#endif

// A new owner of `block` (`size` bytes); on failure nullptr with the
// exception set, and `block` is released.
inline MemoryOwner *newMemoryOwner(void *block, Py_ssize_t size, void (*release)(void *)) {
    MemoryOwner *owner = PyObject_New(MemoryOwner, memoryOwnerType);
    if (!owner) {
        release(block);
        return nullptr;
    }
    owner->block = block;
    owner->size = size;
    owner->release = release;
    owner->lent = nullptr;
    owner->lentLength = 0;
    return owner;
}

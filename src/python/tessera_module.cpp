// The Python skin of the frame-store module: each handler parses its
// arguments, calls the core and builds the result.
#include "python/py_compat.h"

#include <string>

#include "core/tessera/change_runs.h"
#include "core/tessera/frame_analysis.h"
#include "core/tessera/frame_store.h"
#include "core/tessera/recording_files.h"
#include "core/tessera/region_export.h"
#include "core/tessera/stream_intake.h"
#include "core/tessera/tile_decoder.h"

namespace {

const char kArgsOutOfRange[] = "args are out of range";

PyObject *argsOutOfRange() {
    PyErr_SetString(PyExc_ValueError, kArgsOutOfRange);
    return nullptr;
}

PyObject *storeResult(StoreStatus status) {
    switch (status) {
        case StoreStatus::ok:
            Py_RETURN_NONE;
        case StoreStatus::badSize:
            // Failure without an exception: the interpreter reports SystemError.
            return nullptr;
        case StoreStatus::beyondAllocation:
            return argsOutOfRange();
        case StoreStatus::noMemory:
            return PyErr_NoMemory();
    }
    return nullptr;
}

PyObject *do_createBuffer(PyObject *, PyObject *args) {
    int w, h;
    if (!PyArg_ParseTuple(args, "ii", &w, &h)) return nullptr;
    return storeResult(createBuffer(w, h));
}

PyObject *do_videoSink(PyObject *, PyObject *args) {
    DataArg data;
    int datalen;
    int pos = 0;
    if (!PyArg_ParseTuple(args, DATA_ARG "|i", DATA_ARGS(data), &pos) || !argLength(data, &datalen))
        return nullptr;
    SinkResult result;
    switch (videoSink(data.bytes(), datalen, pos, &result)) {
        case IntakeStatus::ok:
            return Py_BuildValue("ii", result.ret, result.hasfirst);
        case IntakeStatus::argsOutOfRange:
            return argsOutOfRange();
        case IntakeStatus::leftoverInconsistent:
            PyErr_SetString(PyExc_ValueError, "leftoverDataNeeded<leftoverDataSize");
            return nullptr;
    }
    return nullptr;
}

PyObject *do_record(PyObject *, PyObject *) {
    return Py_BuildValue("ii", leftoverDataNeeded, leftoverDataSize);
}

PyObject *do_setChangedArray(PyObject *, PyObject *) {
    setChangedArray();
    Py_RETURN_NONE;
}

PyObject *do_clearbuffer(PyObject *, PyObject *args) {
    int w, h;
    if (!PyArg_ParseTuple(args, "ii", &w, &h)) return nullptr;
    return storeResult(clearbuffer(w, h));
}

PyObject *do_playvideo(PyObject *, PyObject *args) {
    DataArg chunk;
    int chunklen;
    int offset = 0;
    if (!PyArg_ParseTuple(args, DATA_ARG "|i", DATA_ARGS(chunk), &offset) ||
        !argLength(chunk, &chunklen))
        return nullptr;
    ChunkSize size;
    if (playvideo(chunk.bytes(), chunklen, offset, &size) != IntakeStatus::ok)
        return argsOutOfRange();
    return Py_BuildValue("ii", size.w, size.h);
}

PyObject *do_findrechead(PyObject *, PyObject *args) {
    DataArg record;
    int len;
    if (!PyArg_ParseTuple(args, DATA_ARG, DATA_ARGS(record)) || !argLength(record, &len))
        return nullptr;
    HeadRecord head;
    switch (findrechead(record.bytes(), len, &head)) {
        case RecordingStatus::ok:
            return Py_BuildValue("iii", int(head.headfile), int(head.filesnum), int(head.quotient));
        case RecordingStatus::argsOutOfRange:
            return argsOutOfRange();
        case RecordingStatus::zeroDivisor:
            PyErr_SetString(PyExc_ZeroDivisionError, "head record divisor is 0");
            return nullptr;
    }
    return nullptr;
}

PyObject *do_removefiles(PyObject *, PyObject *args) {
    PathArg dirname;
    int prehead, curhead, macflag;
    if (!PyArg_ParseTuple(args, PATH_ARG "iii", PATH_ARGS(dirname), &prehead, &curhead, &macflag))
        return nullptr;
    int dirlen;
    if (!argLength(dirname, &dirlen)) return nullptr;
    std::string lastPath;
    int count;
    if (removefiles(dirname.chars(), dirlen, prehead, curhead, macflag, &lastPath, &count) !=
        RecordingStatus::ok)
        return argsOutOfRange();
    return Py_BuildValue("Ni", pathResult(lastPath.data(), Py_ssize_t(lastPath.size())), count);
}

PyObject *do_toRGBString(PyObject *, PyObject *args) {
    int tx, ty, w = 1, h = 1;
    float scale = 1.0f;
    if (!PyArg_ParseTuple(args, "ii|iif", &tx, &ty, &w, &h, &scale)) return nullptr;
    ExportPlan plan;
    switch (planExport(tx, ty, w, h, scale, &plan)) {
        case ExportStatus::ok:
            break;
        case ExportStatus::topLeftOutOfRange:
            PyErr_SetString(PyExc_ValueError, "top-left x,y out of range");
            return nullptr;
        case ExportStatus::widthOutOfRange:
            PyErr_SetString(PyExc_ValueError, "width out of range");
            return nullptr;
        case ExportStatus::heightOutOfRange:
            PyErr_SetString(PyExc_ValueError, "height out of range");
            return nullptr;
        case ExportStatus::scaleOutOfRange:
            PyErr_SetString(PyExc_ValueError, "scale out of range");
            return nullptr;
        case ExportStatus::noMemory:
            return nullptr;
    }
    // The pixels go straight into the result string: no copy out of a scratch buffer.
    PyObject *pixels = PyBytes_FromStringAndSize(nullptr, Py_ssize_t(plan.nw) * plan.nh * 4);
    if (!pixels) return nullptr;
    if (runExport(plan, reinterpret_cast<byte_t *>(PyBytes_AS_STRING(pixels))) !=
        ExportStatus::ok) {
        Py_DECREF(pixels);
        return nullptr;  // scratch allocation failed: SystemError, as the system reports it
    }
    return Py_BuildValue("N(ii)", pixels, plan.nw, plan.nh);
}

bool appendRun(void *list, int start, int len) {
    PyObject *run = Py_BuildValue("ii", start, len);
    if (!run) return false;
    const int rc = PyList_Append(static_cast<PyObject *>(list), run);
    Py_DECREF(run);
    return rc == 0;
}

PyObject *do_getChanges(PyObject *, PyObject *args) {
    int ty, tw;
    if (!PyArg_ParseTuple(args, "ii", &ty, &tw)) return nullptr;
    PyObject *runs = PyList_New(0);
    if (!runs) return nullptr;
    switch (getChanges(ty, tw, appendRun, runs)) {
        case RunsStatus::ok:
            return runs;
        case RunsStatus::argsOutOfRange:
            Py_DECREF(runs);
            return argsOutOfRange();
        case RunsStatus::sinkFailed:
            break;
    }
    Py_DECREF(runs);
    return nullptr;
}

PyObject *do_toGreyscale(PyObject *, PyObject *args) {
    int set = 1;
    if (!PyArg_ParseTuple(args, "|i", &set)) return nullptr;
    toGreyscale(set);
    Py_RETURN_NONE;
}

PyObject *do_getStats(PyObject *, PyObject *) {
    uint32_t padding, bogus;
    takeStats(&padding, &bogus);
    return Py_BuildValue("ii", int(padding), int(bogus));
}

PyObject *do_getBlackEdges(PyObject *, PyObject *args) {
    int w, h;
    if (!PyArg_ParseTuple(args, "ii", &w, &h)) return nullptr;
    BlackEdges edges;
    if (getBlackEdges(w, h, &edges) != EdgesStatus::ok) return argsOutOfRange();
    return Py_BuildValue("iiii", edges.left, edges.right, edges.top, edges.bottom);
}

PyMethodDef methods[] = {
    {"createBuffer", do_createBuffer, METH_VARARGS, "Creates framebuffer memory"},
    {"videoSink", do_videoSink, METH_VARARGS, "Process video data"},
    {"record", do_record, METH_NOARGS, "Recording"},
    {"setChangedArray", do_setChangedArray, METH_NOARGS, "Set changedarray to 1"},
    {"clearbuffer", do_clearbuffer, METH_VARARGS, "Reset framebuffer to 0"},
    {"playvideo", do_playvideo, METH_VARARGS, "Playback video"},
    {"findrechead", do_findrechead, METH_VARARGS, "Find recording head file"},
    {"removefiles", do_removefiles, METH_VARARGS, "Remove old raw data files"},
    {"toRGBString", do_toRGBString, METH_VARARGS, "Read tiles in a row with resizing"},
    {"getChanges", do_getChanges, METH_VARARGS, "Return how many tiles have changed in a row"},
    {"toGreyscale", do_toGreyscale, METH_VARARGS, "Turns image to greyscale"},
    {"getStats", do_getStats, METH_VARARGS, "Return some statistics"},
    {"getBlackEdges", do_getBlackEdges, METH_VARARGS,
     "# of black pixels on four sizes; needs (w,h) of active area."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

MODULE_INIT(tessera) {
    return createModule("tessera", methods);
}

"""Frame conversion for the V4L2 output sink, through libframeconvert.so.

Frames are the capture's 32-bit pixels (bytes R, G, B, X), rows `stride`
bytes apart. They are converted to YUYV (4:2:2, BT.601 limited range) or
RGB3 (packed R, G, B). Sources and destinations are any contiguous buffers:
bytes, bytearray, memoryview, mmap; a writable one is read in place, a
read-only one other than bytes is copied once.

"""
import ctypes

from ..native import load_library

# The V4L2 pixel-format codes, which the library takes as they are.
FORMATS = {'YUYV': 0x56595559, 'RGB3': 0x33424752}


_lib = load_library('frameconvert')
_lib.fcConvert.restype = ctypes.c_int
_lib.fcConvert.argtypes = [ctypes.c_uint32, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int,
                           ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int,
                           ctypes.c_int]
_lib.fcFrameBytes.restype = ctypes.c_int64
_lib.fcFrameBytes.argtypes = [ctypes.c_uint32, ctypes.c_int, ctypes.c_int,
                              ctypes.POINTER(ctypes.c_int)]
_lib.fcKernelName.restype = ctypes.c_char_p
_lib.fcKernelName.argtypes = []

# The instruction set of the rows in use, 'sse2' or 'avx2'.
KERNEL = _lib.fcKernelName().decode()


def _code(fmt):
    if fmt not in FORMATS:
        raise ValueError('unknown format %r; known: %s' % (fmt, ', '.join(sorted(FORMATS))))
    return FORMATS[fmt]


def frame_bytes(fmt, width, height):
    """(size, stride) of a packed width x height frame in `fmt`."""
    stride = ctypes.c_int()
    size = _lib.fcFrameBytes(_code(fmt), width, height, ctypes.byref(stride))
    if size < 0:
        raise ValueError('frame size out of range: %dx%d' % (width, height))
    return size, stride.value


class _Buffer:
    """A buffer's bytes for the length of a call: `pointer` and `size`."""

    def __init__(self, obj, writable):
        self._view = None
        self._array = None
        if isinstance(obj, bytes) and not writable:
            self.pointer, self.size = obj, len(obj)
            return
        view = memoryview(obj)
        if not view.c_contiguous:
            view.release()
            raise ValueError('buffer is not contiguous')
        view = view.cast('B')
        if view.readonly:
            if writable:
                view.release()
                raise TypeError('output buffer is read-only')
            self.pointer, self.size = view.tobytes(), view.nbytes
            view.release()
            return
        self._view = view
        self._array = (ctypes.c_char * view.nbytes).from_buffer(view)
        self.pointer, self.size = self._array, view.nbytes

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        # The array holds an export of the view, which must go first.
        self._array = self.pointer = None
        if self._view is not None:
            self._view.release()


def convert_into(fmt, pixels, stride, width, height, out, out_stride):
    """Converts a width x height frame of `pixels` (rows `stride` bytes apart)
    into the writable buffer `out`, rows `out_stride` bytes apart."""
    code = _code(fmt)
    with _Buffer(pixels, False) as src, _Buffer(out, True) as dst:
        if _lib.fcConvert(code, src.pointer, src.size, stride, dst.pointer, dst.size, out_stride,
                          width, height) != 0:
            raise ValueError('bad frame: %dx%d, stride %d in %d bytes to stride %d in %d bytes'
                             % (width, height, stride, src.size, out_stride, dst.size))


def convert(fmt, pixels, stride, width, height):
    """The frame converted to `fmt`, rows packed, as bytes."""
    size, out_stride = frame_bytes(fmt, width, height)
    out = bytearray(size)
    convert_into(fmt, pixels, stride, width, height, out, out_stride)
    return bytes(out)

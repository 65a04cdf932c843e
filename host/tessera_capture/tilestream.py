"""ctypes wrapper of the tile-stream encoder (libtilestream.so), which the
synthetic grabber runs; the modules' Python 2.7 suites use it too."""
import ctypes

from .native import load_library

TRANSFER_BYTES = 16384


_lib = load_library('tilestream')
_lib.tsEncoderNew.restype = ctypes.c_void_p
_lib.tsEncoderNew.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_int]
_lib.tsEncoderFree.argtypes = [ctypes.c_void_p]
_lib.tsEncoderPutFrame.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p]
_lib.tsEncoderPending.restype = ctypes.c_size_t
_lib.tsEncoderPending.argtypes = [ctypes.c_void_p]
_lib.tsEncoderTakeTransfer.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int]
_lib.tsTestPattern.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int, ctypes.c_int]
_lib.tsExpandFrame.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_void_p]


def test_pattern(w, h, frame_number):
    """The animated test pattern as a ctypes array of w*h RGB565 words."""
    frame = (ctypes.c_uint16 * (w * h))()
    _lib.tsTestPattern(frame, w, h, frame_number)
    return frame


def expand(rgb565):
    """The pixels the decoder writes for these RGB565 words, as a byte string."""
    n = len(rgb565)
    out = ctypes.create_string_buffer(n * 4)
    _lib.tsExpandFrame(rgb565, n, out)
    return out.raw


def frame_from_words(words):
    """A ctypes RGB565 frame from any sequence of ints."""
    return (ctypes.c_uint16 * len(words))(*words)


class Encoder(object):
    """Frames in, bulk transfers out, as a grabber sends them."""

    def __init__(self, w, h, transfer_bytes=TRANSFER_BYTES):
        self.w, self.h = w, h
        self.tiles_wide, self.tiles_high = (w + 15) // 16, (h + 15) // 16
        self.transfer_bytes = transfer_bytes
        self._enc = _lib.tsEncoderNew(w, h, transfer_bytes)
        if not self._enc:
            raise ValueError('bad encoder geometry %dx%d/%d' % (w, h, transfer_bytes))
        self._out = ctypes.create_string_buffer(transfer_bytes)

    def __del__(self):
        if getattr(self, '_enc', None):
            _lib.tsEncoderFree(self._enc)
            self._enc = None

    def put_frame(self, rgb565, tile_mask=None):
        """Queues a frame; tile_mask (bytes or bytearray, one byte per tile) picks the tiles."""
        if len(rgb565) != self.w * self.h:
            raise ValueError('frame has %d words, expected %d' % (len(rgb565), self.w * self.h))
        mask = None
        if tile_mask is not None:
            if len(tile_mask) != self.tiles_wide * self.tiles_high:
                raise ValueError('tile mask has the wrong size')
            mask = ctypes.create_string_buffer(bytes(tile_mask), len(tile_mask))
        _lib.tsEncoderPutFrame(self._enc, rgb565, mask)

    def pending(self):
        return _lib.tsEncoderPending(self._enc)

    def take(self):
        """The next transfer as bytes (empty when nothing is queued)."""
        n = _lib.tsEncoderTakeTransfer(self._enc, self._out, self.transfer_bytes)
        return self._out.raw[:n]

    def transfers(self):
        """Every queued transfer, in order."""
        out = []
        while self.pending():
            out.append(self.take())
        return out

"""The stream path of the tessera module as a host program drives it: the
method table, sizing the store, feeding live buffers and recorded chunks cut
anywhere, asking which tiles changed, and the exact errors of each call."""
import binascii
import ctypes
import gc
import itertools
import mmap
import os
import random
import struct
import sys
import unittest

from byteview import byte_view as read_only
import tessera
from tessera_capture import tilestream

ARGS_OUT_OF_RANGE = 'args are out of range'
UNDER_SANITIZER = bool(os.environ.get('TESSERA_SANITIZER_PRELOAD'))

METHODS = [
    ('createBuffer', 1, 'Creates framebuffer memory'),
    ('videoSink', 1, 'Process video data'),
    ('record', 4, 'Recording'),
    ('setChangedArray', 4, 'Set changedarray to 1'),
    ('clearbuffer', 1, 'Reset framebuffer to 0'),
    ('playvideo', 1, 'Playback video'),
    ('findrechead', 1, 'Find recording head file'),
    ('removefiles', 1, 'Remove old raw data files'),
    ('toRGBString', 1, 'Read tiles in a row with resizing'),
    ('getChanges', 1, 'Return how many tiles have changed in a row'),
    ('toGreyscale', 1, 'Turns image to greyscale'),
    ('getStats', 1, 'Return some statistics'),
    ('getBlackEdges', 1, '# of black pixels on four sizes; needs (w,h) of active area.'),
]


def fill(colour, tx, ty, first=False):
    return struct.pack('<HH', colour, tx | ty << 7 | 0x4000 | (0x8000 if first else 0))


def pixel_packet(tx, ty, words, first=False):
    return struct.pack('<HH256H', 0, tx | ty << 7 | (0x8000 if first else 0), *words)


def chunk(needed, held, w, h, stream=b''):
    return struct.pack('<iiii', needed, held, w, h) + stream


def fresh(w, h):
    """A new, empty store; the decoder's held packet and counters cleared."""
    tessera.createBuffer(w, h)
    tessera.playvideo(chunk(0, 0, w, h))
    tessera.getStats()
    tessera.videoSink(b'')


def store_pixels(w, h):
    """The store's w x h pixels as a string, exported as whole tiles and cropped."""
    tiles_w, tiles_h = (w + 15) // 16, (h + 15) // 16
    if not tiles_w or not tiles_h:
        return b''
    data, (nw, nh) = tessera.toRGBString(0, 0, tiles_w, tiles_h)
    assert (nw, nh) == (tiles_w * 16, tiles_h * 16)
    return b''.join(data[y * nw * 4:(y * nw + w) * 4] for y in range(h))


def all_marks(w, h):
    """Every tile's mark as a list of runs, consuming them."""
    tiles = ((w + 15) // 16) * ((h + 15) // 16)
    return tessera.getChanges(0, tiles) if tiles else []


def random_frame(w, h, rng):
    """w x h random RGB565 words: every tile a pixel packet."""
    raw = binascii.unhexlify('%0*x' % (w * h * 4, rng.getrandbits(w * h * 16)))
    return (ctypes.c_uint16 * (w * h)).from_buffer_copy(raw)


def encoded(frames, w, h, transfer=tilestream.TRANSFER_BYTES):
    enc = tilestream.Encoder(w, h, transfer)
    for frame in frames:
        enc.put_frame(frame)
    return enc.transfers()


def foreign_buffer(data):
    """A read-only buffer over memory that Python does not own, like the
    buffers the bulk reader hands out; returned with the memory's owner."""
    memory = ctypes.create_string_buffer(data, len(data))
    if sys.version_info[0] >= 3:
        from_memory = ctypes.pythonapi.PyMemoryView_FromMemory
        from_memory.argtypes = [ctypes.c_void_p, ctypes.c_ssize_t, ctypes.c_int]
        flags = (0x100,)  # PyBUF_READ
    else:
        from_memory = ctypes.pythonapi.PyBuffer_FromMemory
        from_memory.argtypes = [ctypes.c_void_p, ctypes.c_ssize_t]
        flags = ()
    from_memory.restype = ctypes.py_object
    return from_memory(ctypes.addressof(memory), len(data), *flags), memory


class PyMethodDef(ctypes.Structure):
    _fields_ = [('ml_name', ctypes.c_char_p), ('ml_meth', ctypes.c_void_p),
                ('ml_flags', ctypes.c_int), ('ml_doc', ctypes.c_char_p)]


class PyCFunctionObject(ctypes.Structure):
    _fields_ = [('ob_refcnt', ctypes.c_ssize_t), ('ob_type', ctypes.c_void_p),
                ('m_ml', ctypes.POINTER(PyMethodDef)), ('m_self', ctypes.c_void_p),
                ('m_module', ctypes.c_void_p)]


def method_def_address(function):
    return ctypes.addressof(PyCFunctionObject.from_address(id(function)).m_ml.contents)


class ModuleSurface(unittest.TestCase):

    def test_method_table_order_flags_and_doc_strings(self):
        public = sorted(name for name in dir(tessera) if not name.startswith('__'))
        self.assertEqual(public, sorted(name for name, _, _ in METHODS))
        self.assertIsNone(tessera.__doc__)
        # The functions point into the table itself: their entries' addresses
        # give the order, and the entry after the last must be all null.
        base = method_def_address(tessera.createBuffer)
        size = ctypes.sizeof(PyMethodDef)
        for index, (name, flags, doc) in enumerate(METHODS):
            function = getattr(tessera, name)
            self.assertEqual(method_def_address(function), base + index * size, name)
            entry = PyMethodDef.from_address(base + index * size)
            self.assertEqual((entry.ml_name, entry.ml_flags, entry.ml_doc),
                             (name.encode('ascii'), flags, doc.encode('ascii')))
            self.assertEqual(function.__doc__, doc)
        end = PyMethodDef.from_address(base + len(METHODS) * size)
        self.assertEqual((end.ml_name, end.ml_meth, end.ml_flags, end.ml_doc), (None, None, 0, None))

    def test_methods_without_arguments_refuse_them(self):
        tessera.createBuffer(32, 32)
        tessera.getStats()
        self.assertRaises(TypeError, tessera.record, 1)
        self.assertRaises(TypeError, tessera.setChangedArray, None)
        self.assertEqual(tessera.getStats(1, 'ignored'), (0, 0))

    def test_sizing_clearing_and_marking(self):
        self.assertIsNone(tessera.createBuffer(17, 17))
        self.assertEqual(tessera.getChanges(1, 2), [])
        self.assertIsNone(tessera.setChangedArray())
        self.assertEqual(tessera.getChanges(0, 2), [(0, 2)])
        self.assertEqual(tessera.getChanges(1, 2), [(0, 2)])
        self.assertIsNone(tessera.createBuffer(1920, 1600))
        self.assertIsNone(tessera.setChangedArray())
        for ty in range(100):
            self.assertEqual(tessera.getChanges(ty, 120), [(0, 120)])
        for ty, tw in [(100, 120), (-1, 120), (0, -1)]:
            with self.assertRaises(ValueError) as caught:
                tessera.getChanges(ty, tw)
            self.assertEqual(str(caught.exception), ARGS_OUT_OF_RANGE)
        self.assertIsNone(tessera.setChangedArray())
        self.assertEqual(tessera.getChanges(99, 1 << 30), [(0, 120)], 'clipped to the array')
        self.assertEqual(tessera.getChanges(0, 1 << 30), [(0, 99 * 120)])
        self.assertIsNone(tessera.clearbuffer(1920, 1600))
        self.assertIsNone(tessera.createBuffer(0, 0))
        self.assertIsNone(tessera.clearbuffer(0, 0))

    def test_bad_sizes_fail_with_system_error_and_change_nothing(self):
        fresh(64, 64)
        tessera.videoSink(fill(0xF800, 3, 3))
        for w, h in [(1921, 16), (-1, 16), (16, 1601), (16, -1)]:
            self.assertRaises(SystemError, tessera.createBuffer, w, h)
            self.assertRaises(SystemError, tessera.clearbuffer, w, h)
        self.assertEqual(tessera.getChanges(3, 4), [(3, 1)])
        self.assertRaises(TypeError, tessera.createBuffer, 'a', 1)
        self.assertRaises(TypeError, tessera.clearbuffer, 1)

    def test_clearbuffer_stays_within_the_allocation(self):
        fresh(64, 64)
        tessera.setChangedArray()
        with self.assertRaises(ValueError) as caught:
            tessera.clearbuffer(65, 64)
        self.assertEqual(str(caught.exception), ARGS_OUT_OF_RANGE)
        self.assertEqual(tessera.getChanges(0, 4), [(0, 4)], 'a refused call clears nothing')
        self.assertIsNone(tessera.clearbuffer(32, 16))
        self.assertEqual(tessera.getChanges(0, 16), [])
        tessera.videoSink(fill(0x001F, 1, 0))
        self.assertEqual(store_pixels(32, 16)[16 * 4:17 * 4], b'\x00\x00\xf8\xff')


class Intake(unittest.TestCase):

    def test_strings_and_read_only_buffers_are_read_alike(self):
        rng = random.Random(1)
        stream = b''.join(encoded([random_frame(100, 50, rng)], 100, 50))
        foreign, memory = foreign_buffer(stream)
        sources = [stream, read_only(stream), read_only(b'xx' + stream, 2), foreign]
        if sys.version_info[0] >= 3:
            # Any bytes-like object is data; a str never is.
            mapped = mmap.mmap(-1, len(stream))
            mapped.write(stream)
            sources += [bytearray(stream), memoryview(bytearray(stream)), mapped]
            self.assertRaises(TypeError, tessera.videoSink, '\x00' * 8)
        else:
            self.assertRaises(TypeError, tessera.videoSink, bytearray(8))
        results = []
        for data in sources:
            fresh(100, 50)
            self.assertEqual(tessera.videoSink(data), (0, 1))
            results.append(store_pixels(100, 50))
        self.assertEqual(len(set(results)), 1)
        self.assertRaises(TypeError, tessera.videoSink, 5)

    def test_cut_packet_is_held_and_completed(self):
        fresh(64, 64)
        packet = pixel_packet(3, 2, range(256), first=True)
        stream = packet + fill(0xF800, 0, 0) * 100
        self.assertEqual(tessera.videoSink(stream[:100]), (0, 0))
        self.assertEqual(tessera.record(), (516, 100))
        self.assertEqual(tessera.videoSink(stream[100:300]), (1, 0))
        self.assertEqual(tessera.record(), (516, 300))
        self.assertEqual(tessera.videoSink(stream, 300), (0, 1))
        self.assertEqual(tessera.record(), (0, 0))
        self.assertEqual(all_marks(64, 64), [(0, 1), (11, 1)])

    def test_positions_and_error_texts(self):
        fresh(64, 64)
        for call in (tessera.videoSink, tessera.playvideo):
            for args in ((b'x' * 20, 21), (b'x' * 20, -1)):
                with self.assertRaises(ValueError) as caught:
                    call(*args)
                self.assertEqual(str(caught.exception), ARGS_OUT_OF_RANGE)
        self.assertEqual(tessera.videoSink(b'abcd' * 4, 16), (0, 0))
        self.assertEqual(tessera.videoSink(fill(0, 0, 0) + b'ab'), (1, 0))
        self.assertEqual(tessera.getStats(), (0, 0))

    def test_counters_and_first_tile_flag(self):
        fresh(32, 32)
        stream = fill(0x0000, 5, 0, first=True) + fill(0x1234, 1, 1) + b'\xff' * 4
        stream += b'\x00' * (512 - len(stream)) + fill(0, 0, 0, first=True) + b'\xff' * 4
        self.assertEqual(tessera.videoSink(stream), (0, 1))
        self.assertEqual(tessera.videoSink(b''), (0, 0))
        self.assertEqual(tessera.getStats(), (2, 1))
        self.assertEqual(tessera.getStats(), (0, 0))

    def test_playvideo(self):
        fresh(64, 64)
        tessera.videoSink(pixel_packet(0, 0, [0] * 256)[:100])
        self.assertEqual(tessera.playvideo(chunk(0, 0, 1920, 1080, fill(0xF800, 1, 1))),
                         (1920, 1080))
        self.assertEqual(tessera.record(), (0, 0))
        self.assertEqual(tessera.playvideo(chunk(0, 0, 7, 9), 5), (7, 9))
        self.assertEqual(all_marks(64, 64), [(5, 1)])
        for bad in (chunk(0, 0, 1, 1)[:15], chunk(517, 0, 1, 1), chunk(-1, 0, 1, 1),
                    chunk(516, 517, 1, 1), chunk(516, -2, 1, 1), chunk(0, 3, 1, 1)):
            with self.assertRaises(ValueError) as caught:
                tessera.playvideo(bad)
            self.assertEqual(str(caught.exception), ARGS_OUT_OF_RANGE)
        self.assertEqual(tessera.videoSink(fill(0xF800, 2, 2)), (0, 0), 'nothing was loaded')


class Splits(unittest.TestCase):
    """The same stream fed in pieces gives the same store, whatever the cuts."""

    W, H = 600, 440  # the encoder's frames are larger: the outer tiles are out of range

    def stream(self):
        frames = [tilestream.test_pattern(640, 480, n) for n in range(3)]
        stream = b''.join(encoded(frames, 640, 480))
        # End inside a packet, so that the held state is part of the outcome.
        return stream[:len(stream) - 512 * 7 - 100]

    def feed(self, stream, cuts):
        fresh(self.W, self.H)
        first = 0
        for start, end in zip([0] + cuts, cuts + [len(stream)]):
            first |= tessera.videoSink(read_only(stream, start, end - start))[1]
        return (store_pixels(self.W, self.H), all_marks(self.W, self.H), tessera.record(),
                tessera.getStats(), first)

    def cuts(self, rng, size, unit):
        cuts, at = [], 0
        while True:
            at += unit * rng.randint(1, 8192 // unit)
            if at >= size:
                return cuts
            cuts.append(at)

    def test_cuts_on_512_byte_boundaries_change_nothing(self):
        stream = self.stream()
        whole = self.feed(stream, [])
        self.assertNotEqual(whole[2], (0, 0))
        self.assertGreater(whole[3][1], 0, 'some packets were out of range')
        rng = random.Random(2)
        for _ in range(15):
            self.assertEqual(self.feed(stream, self.cuts(rng, len(stream), 512)), whole)

    def test_arbitrary_cuts_are_safe(self):
        stream = self.stream()
        rng = random.Random(3)
        for _ in range(15):
            pixels, marks, (needed, held), stats, first = self.feed(
                stream, self.cuts(rng, len(stream), 1))
            self.assertTrue(needed in (0, 516) and 0 <= held <= needed)


class Recording(unittest.TestCase):

    def test_replayed_chunks_repaint_the_live_picture(self):
        w, h = 320, 200
        rng = random.Random(4)
        frames = [tilestream.test_pattern(w, h, n) for n in range(4)] + [random_frame(w, h, rng)]
        fresh(w, h)
        chunks = []
        for transfer in encoded(frames, w, h):
            chunks.append(chunk(*tessera.record() + (w, h)) + transfer)
            tessera.videoSink(transfer)
        live = store_pixels(w, h)
        self.assertEqual(live, tilestream.expand(frames[-1]))

        fresh(w, h)
        for c in chunks:
            self.assertEqual(tessera.playvideo(c), (w, h))
        self.assertEqual(store_pixels(w, h), live)


class FrameSizes(unittest.TestCase):
    """Every tile sent, edge tiles included: the part inside the frame is
    painted and nothing leaks into the next row or out of the store."""

    def test_odd_sizes(self):
        rng = random.Random(5)
        for w, h in [(1, 1), (17, 17), (1366, 768), (1920, 1600)]:
            for frame in (random_frame(w, h, rng), tilestream.test_pattern(w, h, 3)):
                fresh(w, h)
                for transfer in encoded([frame], w, h):
                    tessera.videoSink(transfer)
                self.assertEqual(store_pixels(w, h), tilestream.expand(frame), (w, h))
                tiles = ((w + 15) // 16) * ((h + 15) // 16)
                self.assertEqual(all_marks(w, h), [(0, tiles)])
                self.assertEqual(tessera.getStats()[1], 0)

    def test_empty_store(self):
        fresh(0, 0)
        self.assertEqual(tessera.videoSink(fill(0, 0, 0) + pixel_packet(0, 0, [1] * 256)), (0, 0))
        self.assertEqual(tessera.getStats(), (0, 2))
        self.assertRaises(ValueError, tessera.getChanges, 0, 0)
        self.assertIsNone(tessera.setChangedArray())


def resident_bytes():
    with open('/proc/self/statm') as statm:
        return int(statm.read().split()[1]) * os.sysconf('SC_PAGE_SIZE')


class References(unittest.TestCase):
    """Thousands of calls of each method leave no objects, references or
    memory behind."""

    ROUNDS = 20000

    def calls(self):
        stream = fill(0xF800, 0, 0) + pixel_packet(1, 1, range(256), first=True)
        held = stream[:300]
        foreign, memory = foreign_buffer(stream)
        recorded = chunk(0, 0, 64, 64, stream)

        def failing(call, *args):
            try:
                call(*args)
            except (ValueError, SystemError, TypeError):
                return None
            raise AssertionError('no error from %s%r' % (call.__name__, args))

        return [
            lambda: tessera.createBuffer(64, 64),
            lambda: tessera.clearbuffer(48, 48),
            lambda: tessera.setChangedArray(),
            lambda: tessera.videoSink(stream),
            lambda: tessera.videoSink(held),
            lambda: tessera.videoSink(read_only(stream), 4),
            lambda: tessera.videoSink(foreign),
            lambda: tessera.record(),
            lambda: tessera.playvideo(recorded, 3),
            lambda: tessera.getChanges(1, 4),
            lambda: tessera.getStats(),
            lambda: failing(tessera.videoSink, stream, 9999),
            lambda: failing(tessera.playvideo, recorded[:10]),
            lambda: failing(tessera.getChanges, 99, 1),
            lambda: failing(tessera.createBuffer, -1, 1),
            lambda: failing(tessera.clearbuffer, 640, 480),
            lambda: failing(tessera.record, 1),
        ], (stream, held, foreign, recorded, memory)

    def test_results_hold_one_reference_and_inputs_none(self):
        tessera.createBuffer(64, 64)
        calls, inputs = self.calls()  # the inputs own the foreign buffer's memory
        for call in calls:
            tessera.setChangedArray()
            result = call()
            if result is not None:
                # This variable and the call's argument; for a list's runs, the list.
                self.assertEqual(sys.getrefcount(result), 2)
                if isinstance(result, list):
                    self.assertTrue(result)
                    for i in range(len(result)):
                        self.assertEqual(sys.getrefcount(result[i]), 2)

    def test_many_calls_leave_nothing_behind(self):
        calls, inputs = self.calls()
        for call in calls:
            call()  # warm-up: first-time allocations
        gc.collect()
        objects = len(gc.get_objects())
        rss = resident_bytes()
        input_refs = [sys.getrefcount(x) for x in inputs]
        none_refs = sys.getrefcount(None)
        for _ in itertools.repeat(None, self.ROUNDS):
            tessera.setChangedArray()
            for call in calls:
                call()
        gc.collect()
        self.assertLessEqual(len(gc.get_objects()), objects + 10)
        self.assertEqual([sys.getrefcount(x) for x in inputs], input_refs)
        self.assertLess(abs(sys.getrefcount(None) - none_refs), 50)
        if not UNDER_SANITIZER:  # its quarantine keeps freed blocks resident
            self.assertLess(resident_bytes() - rss, 4 << 20)


if __name__ == '__main__':
    unittest.main()

"""Every method of tessera and sluice64, called 100000 times in a row with valid
and with invalid arguments, must leave the process as it found it: no growth of
the C heap, of the resident set or of the objects the collector tracks, and the
reference counts of the arguments, of the handle and of None back where they
were. In the sanitizer build LeakSanitizer is asked at the end for blocks that
the modules allocated and lost.

sluice64 reads from the usbdevfs stand-in, preloaded."""
import ctypes
import errno
import gc
import itertools
import os
import re
import shutil
import struct
import sys
import tempfile
import unittest

import sluice64
import tessera
import usbfs_standin

N = 100000
WARM_UP = 2000
# Growth allowed over N calls: far below what one lost object a call amounts to
# (a small object is 16 to 64 bytes, so 1.6 MB or more), above the allocators'
# noise.
HEAP_SLACK = 64 << 10
RSS_SLACK = 768 << 10
TRACKED_SLACK = 16

_libc = ctypes.CDLL(None, use_errno=True)


class _Mallinfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        'arena', 'ordblks', 'smblks', 'hblks', 'hblkhd', 'usmblks', 'fsmblks', 'uordblks',
        'fordblks', 'keepcost')]


def _heap_counter():
    """Bytes allocated with malloc and not freed: from the sanitizer's allocator
    when it is in the process, else from the C library's."""
    try:
        count = _libc.__sanitizer_get_current_allocated_bytes
    except AttributeError:
        info = _libc.mallinfo2
        info.restype = _Mallinfo2

        def count():
            m = info()
            return m.uordblks + m.hblkhd
        return count
    count.restype = ctypes.c_size_t
    return count


heap_bytes = _heap_counter()
SANITIZED = hasattr(_libc, '__lsan_do_recoverable_leak_check')
PAGE = os.sysconf('SC_PAGE_SIZE')


def rss_bytes():
    with open('/proc/self/statm') as f:
        return int(f.read().split()[1]) * PAGE


def run(call, args, n, raises):
    if raises is None:
        for _ in itertools.repeat(None, n):
            call(*args)
        return
    for _ in itertools.repeat(None, n):
        try:
            call(*args)
        except raises:
            pass
        else:
            raise AssertionError('%s%r did not raise %s' % (call.__name__, args, raises.__name__))


class LeakCase(unittest.TestCase):
    # Objects that no loop must keep or lose a reference to, beyond the arguments.
    watched = ()

    def setUp(self):
        gc.collect()
        gc.disable()

    def tearDown(self):
        gc.enable()

    def loop(self, call, *args, **kw):
        """`call(*args)` N times (n=...) after a warm-up; with raises=E every call must raise E."""
        raises = kw.pop('raises', None)
        n = kw.pop('n', N)
        run(call, args, WARM_UP, raises)
        watched = list(args) + list(self.watched) + [None, True, False, call]
        gc.collect()
        refs = [sys.getrefcount(o) for o in watched]
        heap, rss, tracked = heap_bytes(), rss_bytes(), gc.get_count()[0]
        run(call, args, n, raises)
        # gc is off: the generation-0 count is the net number of container
        # objects made since the collection above.
        tracked = gc.get_count()[0] - tracked
        heap, rss = heap_bytes() - heap, rss_bytes() - rss
        gc.collect()
        after = [sys.getrefcount(o) for o in watched]
        what = '%s%s%s' % (call.__name__, short(args),
                           ' raising %s' % raises.__name__ if raises else '')
        self.assertLessEqual(tracked, TRACKED_SLACK, '%s: %d more objects' % (what, tracked))
        self.assertLessEqual(heap, HEAP_SLACK, '%s: the heap grew by %d bytes' % (what, heap))
        # The sanitizer's allocator moves the resident set by megabytes as it
        # goes; there its own count of live bytes stands in (above), and the
        # plain build runs this same check.
        if not SANITIZED:
            self.assertLessEqual(rss, RSS_SLACK,
                                 '%s: the resident set grew by %d bytes' % (what, rss))
        for i, obj in enumerate(watched):
            # None, numbers and functions are shared with the interpreter's
            # own code, which moves their counts a little: a loose bound.
            shared = obj is None or isinstance(obj, (int, float)) or callable(obj)
            slack = 64 if shared else 0
            self.assertLessEqual(abs(after[i] - refs[i]), slack,
                                 '%s: reference count of %s went from %d to %d' % (
                                     what, short(obj), refs[i], after[i]))


def short(obj):
    text = repr(obj)
    return text if len(text) < 80 else text[:76] + '...'


def fill(tx, ty, colour=0xF800):
    return struct.pack('<HH', colour, 0x4000 | ty << 7 | tx)


def pixels(tx, ty):
    return struct.pack('<HH', 0, ty << 7 | tx) + struct.pack('<256H', *range(256))


class TesseraLeaks(LeakCase):
    def setUp(self):
        LeakCase.setUp(self)
        tessera.createBuffer(64, 48)
        self.stream = fill(0, 0) + pixels(1, 1) + fill(3, 2) + b'\xff\xff\xff\xff' + b'\0' * 100
        self.cut = fill(2, 2) + pixels(0, 1)[:300]

    def test_store(self):
        self.loop(tessera.createBuffer, 64, 48)
        self.loop(tessera.clearbuffer, 32, 16)
        self.loop(tessera.clearbuffer, 64, 48)
        self.loop(tessera.setChangedArray)
        self.loop(tessera.createBuffer, -1, 16, raises=SystemError)
        self.loop(tessera.createBuffer, 16, 1601, raises=SystemError)
        self.loop(tessera.createBuffer, 'a', 1, raises=TypeError)
        self.loop(tessera.createBuffer, raises=TypeError)
        self.loop(tessera.clearbuffer, 1921, 1, raises=SystemError)
        self.loop(tessera.clearbuffer, 640, 480, raises=ValueError)
        self.loop(tessera.clearbuffer, None, 1, raises=TypeError)
        self.loop(tessera.setChangedArray, 1, raises=TypeError)

    def test_intake(self):
        chunk = struct.pack('<4i', 0, 0, 64, 48) + self.stream
        held_chunk = struct.pack('<4i', 516, 300, 64, 48) + b'\0' * 216 + self.stream
        self.loop(tessera.videoSink, self.stream)
        self.loop(tessera.videoSink, self.stream, 4)
        if sys.version_info[0] >= 3:
            self.loop(tessera.videoSink, memoryview(self.cut))
            self.loop(tessera.videoSink, bytearray(self.cut))
            self.loop(tessera.videoSink, 'text', raises=TypeError)
        else:
            self.loop(tessera.videoSink, buffer(self.cut))  # noqa: F821
        self.loop(tessera.videoSink, b'')
        self.loop(tessera.record)
        self.loop(tessera.playvideo, chunk)
        self.loop(tessera.playvideo, held_chunk, 5)
        self.loop(tessera.getStats)
        self.loop(tessera.getStats, 1, 'ignored')
        self.loop(tessera.videoSink, self.stream, -1, raises=ValueError)
        self.loop(tessera.videoSink, self.stream, len(self.stream) + 1, raises=ValueError)
        self.loop(tessera.videoSink, None, raises=TypeError)
        self.loop(tessera.videoSink, raises=TypeError)
        self.loop(tessera.record, 1, raises=TypeError)
        self.loop(tessera.playvideo, b'short', raises=ValueError)
        self.loop(tessera.playvideo, chunk, -1, raises=ValueError)
        self.loop(tessera.playvideo, struct.pack('<4i', 517, 0, 1, 1), raises=ValueError)
        self.loop(tessera.playvideo, 42, raises=TypeError)

    def test_changes_and_export(self):
        def mark_and_take(ty, tw):
            tessera.setChangedArray()
            return tessera.getChanges(ty, tw)
        mark_and_take.__name__ = 'getChanges'
        tessera.videoSink(fill(1, 1) + fill(3, 1))
        self.loop(mark_and_take, 1, 4)
        self.loop(mark_and_take, 0, 12)
        self.loop(tessera.getChanges, 2, 4)
        self.loop(tessera.getChanges, 0, 0)
        self.loop(tessera.toRGBString, 0, 0)
        self.loop(tessera.toRGBString, 1, 1, 3, 2, 0.5)
        self.loop(tessera.toRGBString, 0, 0, 4, 3, 0.3)
        self.loop(tessera.toRGBString, 2, 1, 4, 3, 2.0)
        self.loop(tessera.getChanges, -1, 1, raises=ValueError)
        self.loop(tessera.getChanges, 3, 1, raises=ValueError)
        self.loop(tessera.getChanges, 0, -1, raises=ValueError)
        self.loop(tessera.getChanges, 0, raises=TypeError)
        self.loop(tessera.toRGBString, -1, 0, raises=ValueError)
        self.loop(tessera.toRGBString, 0, 0, 0, raises=ValueError)
        self.loop(tessera.toRGBString, 0, 0, 1, 4, raises=ValueError)
        self.loop(tessera.toRGBString, 0, 0, 1, 1, 0.0, raises=ValueError)
        self.loop(tessera.toRGBString, 0, 0, 1, 1, float('nan'), raises=ValueError)
        self.loop(tessera.toRGBString, 'x', 0, raises=TypeError)

    def test_analysis(self):
        # Just above the smallest area getBlackEdges takes: every call goes over the picture.
        tessera.createBuffer(80, 80)
        tessera.videoSink(fill(1, 1, 0xFFFF) + fill(3, 2, 0x1234))
        self.loop(tessera.getBlackEdges, 80, 80)
        self.loop(tessera.getBlackEdges, 75, 75)
        self.loop(tessera.toGreyscale)
        self.loop(tessera.toGreyscale, 0)
        self.loop(tessera.getBlackEdges, 10, 10, raises=ValueError)
        self.loop(tessera.getBlackEdges, 81, 80, raises=ValueError)
        self.loop(tessera.getBlackEdges, raises=TypeError)
        self.loop(tessera.toGreyscale, 'x', raises=TypeError)

    def test_recording_files(self):
        tmp = tempfile.mkdtemp(prefix='tessera-leak-')
        try:
            self.loop(tessera.findrechead, struct.pack('<3I', 7, 100, 25))
            self.loop(tessera.findrechead, struct.pack('<4I', 0, 0xFFFFFFFE, 2, 9))
            self.loop(tessera.removefiles, tmp, 3, 5, 1)
            self.loop(tessera.removefiles, tmp, 5, 3, 0)
            self.loop(tessera.removefiles, tmp.encode(), 3, 5, 1)
            self.loop(tessera.findrechead, b'short', raises=ValueError)
            self.loop(tessera.findrechead, struct.pack('<3I', 1, 2, 0), raises=ZeroDivisionError)
            self.loop(tessera.findrechead, 5, raises=TypeError)
            self.loop(tessera.removefiles, tmp, -1, 5, 1, raises=ValueError)
            self.loop(tessera.removefiles, 'x' * 200, 1, 2, 1, raises=ValueError)
            self.loop(tessera.removefiles, tmp, raises=TypeError)
        finally:
            shutil.rmtree(tmp)


class SluiceLeaks(LeakCase):
    def setUp(self):
        LeakCase.setUp(self)
        self.device = usbfs_standin.Device()
        # The device's record of calls would grow with every ioctl.
        self.device.record(False)
        self.fd = self.device.fd

    def tearDown(self):
        self.device.close()
        LeakCase.tearDown(self)

    def test_attach_and_detach(self):
        attach, detach, fd = sluice64.attach, sluice64.detach, self.fd

        def attach_detach():
            handle = attach(fd, 0x81)
            detach(handle)
            detach(handle)
        attach_detach.__name__ = 'attach'

        def attach_drop():
            attach(fd, 0x181)
        attach_drop.__name__ = 'attach'
        self.loop(attach_detach)
        # Each lost record would be 16 transfers large: a tenth of the loop shows it.
        self.loop(attach_drop, n=N // 10)
        self.assertEqual(self.device.held(), 0)
        self.loop(sluice64.attach, 'x', 0x81, raises=TypeError)
        self.loop(sluice64.attach, raises=TypeError)
        self.loop(sluice64.detach, None, raises=TypeError)
        self.loop(sluice64.detach, 42, raises=TypeError)
        self.loop(sluice64.detach, raises=TypeError)
        # A failed submission writes its perror line each time.
        saved = os.dup(2)
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, 2)
        try:
            self.loop(sluice64.attach, -1, 0x81, raises=IOError)
        finally:
            os.dup2(saved, 2)
            os.close(saved)
            os.close(null)

    def test_read(self):
        handle = sluice64.attach(self.fd, 0x81)
        self.watched = (handle,)
        device, read = self.device, sluice64.readVideo
        # Padding markers: whole transfers that the decoder goes over quickly.
        run = b'\xff' * (16384 * 64)

        def read_and_decode(h, reads=[0]):
            if reads[0] % 64 == 0:
                device.feed(run)
            reads[0] += 1
            tessera.videoSink(read(h))
        read_and_decode.__name__ = 'readVideo'
        tessera.createBuffer(32, 32)
        self.loop(read_and_decode, handle)
        # A handle-like object made elsewhere: a capsule (3), a CObject (2.7).
        if sys.version_info[0] >= 3:
            make, args = ctypes.pythonapi.PyCapsule_New, (16, ctypes.c_char_p(b'x'), None)
        else:
            make, args = ctypes.pythonapi.PyCObject_FromVoidPtr, (16, None)
        make.restype, make.argtypes = ctypes.py_object, [ctypes.c_void_p] * len(args)
        foreign = make(*args)
        self.loop(read, None, raises=TypeError)
        self.loop(read, foreign, raises=TypeError)
        self.loop(read, raises=TypeError)
        sluice64.detach(handle)
        self.loop(read, handle, raises=EOFError)
        del handle
        self.watched = ()
        self.assertEqual(self.device.held(), 0)

    def test_failed_transfers(self):
        device, attach, read = self.device, sluice64.attach, sluice64.readVideo

        # Every transfer of a ring fails in turn; then none is left to wait for.
        def ring_of_failures(fd):
            handle = attach(fd, 0x81)
            for _ in range(16):
                device.fail_next(-errno.EPIPE)
                try:
                    read(handle)
                except IOError:
                    pass
            for _ in range(4):
                try:
                    read(handle)
                except IOError:
                    pass
        ring_of_failures.__name__ = 'readVideo'
        # 20 reads a ring: N reads in all.
        self.loop(ring_of_failures, self.fd, n=N // 20)
        self.assertEqual(device.held(), 0)


@unittest.skipUnless(SANITIZED, 'LeakSanitizer is in the sanitizer build only')
class ZLeakSanitizer(unittest.TestCase):
    """Runs last (the loader sorts the classes by name)."""

    def test_nothing_the_modules_allocated_is_lost(self):
        gc.collect()
        # getattr: in a class body the name would be mangled.
        check = getattr(_libc, '__lsan_do_recoverable_leak_check')
        report = tempfile.TemporaryFile('w+')
        saved = os.dup(2)
        os.dup2(report.fileno(), 2)
        try:
            check()
        finally:
            os.dup2(saved, 2)
            os.close(saved)
        report.seek(0)
        # The interpreter itself keeps blocks that LeakSanitizer cannot see
        # referenced (they are pointed to from its own memory pools): only a
        # block allocated in one of the modules counts.
        ours = [block for block in re.split(r'\n(?=(?:Direct|Indirect) leak)', report.read())
                if re.search(r'(tessera|sluice64)[\w.-]*\.so|\bsrc/(core|python|common)/', block)]
        self.assertEqual(ours, [], '\n'.join(ours))


if __name__ == '__main__':
    unittest.main()

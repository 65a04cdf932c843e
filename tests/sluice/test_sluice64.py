"""sluice64 as a host uses it, against the usbdevfs stand-in (preloaded)."""
import ctypes
import errno
import fcntl
import gc
import os
import re
import signal
import struct
import subprocess
import sys
import threading
import unittest

import sluice64
import usbfs_standin

USBDEVFS_CLEAR_HALT = 0x80045515  # _IOR('U', 21, unsigned int)

PY3 = sys.version_info[0] >= 3


class _PyBuffer(ctypes.Structure):
    _fields_ = [('buf', ctypes.c_void_p), ('obj', ctypes.c_void_p), ('len', ctypes.c_ssize_t),
                ('itemsize', ctypes.c_ssize_t), ('readonly', ctypes.c_int),
                ('ndim', ctypes.c_int), ('format', ctypes.c_char_p)] + [
                    (name, ctypes.c_void_p) for name in
                    ('shape', 'strides', 'suboffsets', 'internal')]


def address_of(buf):
    """Where a buffer object (2.7) or memoryview (3) reads from."""
    api = ctypes.pythonapi
    if PY3:
        view = _PyBuffer()
        api.PyObject_GetBuffer.argtypes = [ctypes.py_object, ctypes.POINTER(_PyBuffer), ctypes.c_int]
        api.PyObject_GetBuffer(buf, ctypes.byref(view), 0)
        api.PyBuffer_Release(ctypes.byref(view))
        return view.buf
    ptr, size = ctypes.c_void_p(), ctypes.c_ssize_t()
    api.PyObject_AsReadBuffer.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.c_void_p),
                                          ctypes.POINTER(ctypes.c_ssize_t)]
    api.PyObject_AsReadBuffer(buf, ctypes.byref(ptr), ctypes.byref(size))
    return ptr.value


def run_python(code, **kw):
    p = subprocess.Popen([sys.executable, '-c', code], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, **kw)
    out, err = p.communicate()
    return p.returncode, out.decode('utf-8'), err.decode('utf-8')


class ModuleTest(unittest.TestCase):
    def test_method_table(self):
        self.assertIsNone(sluice64.__doc__)
        self.assertEqual(sluice64.attach.__doc__, 'Setup file-descriptor for usage')
        self.assertEqual(sluice64.detach.__doc__, 'Cleanup an instance')
        self.assertEqual(sluice64.readVideo.__doc__, 'Bulk read; returns a readonly buffer')
        self.assertEqual(sorted(n for n in dir(sluice64) if not n.startswith('__')),
                         ['attach', 'detach', 'readVideo'])

    def test_anything_but_own_handle_is_type_error_without_message(self):
        tag = ctypes.c_char()
        # Wrapping addresses that would crash if followed; on Python 3 also a
        # capsule named like the module's handles.
        if PY3:
            make = ctypes.pythonapi.PyCapsule_New
            make.restype, make.argtypes = ctypes.py_object, [ctypes.c_void_p] * 3
            foreign = [make(16, ctypes.addressof(tag), None),
                       make(16, ctypes.cast(ctypes.c_char_p(b'sluice64 reader'), ctypes.c_void_p),
                            None)]
        else:
            make = ctypes.pythonapi.PyCObject_FromVoidPtr
            make.restype, make.argtypes = ctypes.py_object, [ctypes.c_void_p, ctypes.c_void_p]
            make_desc = ctypes.pythonapi.PyCObject_FromVoidPtrAndDesc
            make_desc.restype = ctypes.py_object
            make_desc.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p]
            foreign = [make(16, None), make_desc(16, ctypes.addressof(tag), None)]
        for call in sluice64.detach, sluice64.readVideo:
            for arg in [42, None, 'handle'] + foreign:
                with self.assertRaises(TypeError) as caught:
                    call(arg)
                self.assertEqual(caught.exception.args, ())
        with self.assertRaises(TypeError):
            sluice64.readVideo()

    def test_attach_to_descriptor_that_is_no_device(self):
        # The kernel's answer to the submission, also where epoll cannot watch
        # the file (a regular file, /dev/null).
        for opening, expected in (('-1', errno.EBADF), ('os.open("/dev/null", 0)', errno.ENOTTY),
                                  ('os.open(sys.executable, 0)', errno.ENOTTY)):
            code, out, err = run_python(
                'import os, sys, sluice64\n'
                'try:\n    sluice64.attach(%s, 0x81)\n'
                'except IOError as e:\n    print(e.errno)\n' % opening)
            self.assertEqual((code, out.strip()), (0, str(expected)), opening)
            self.assertEqual([l for l in err.splitlines() if 'SUBMITURB' in l],
                             ['SUBMITURB: ' + os.strerror(expected)])

    def test_endpoint_without_in_bit_aborts(self):
        for ep in 0x01, 0x100:
            code, out, _ = run_python('import os, sluice64\nsluice64.attach(os.open("/dev/null", 0), %d)' % ep)
            self.assertEqual(code, -signal.SIGABRT)
            self.assertTrue(re.match(
                r'^\n\rAssertion failed \(src/python/sluice64_module\.cpp:\d+\): '
                r'do_attach\(\)\n "ep & 0x80"\n\n$', out), out)


class ReaderTest(unittest.TestCase):
    def setUp(self):
        self.dev = usbfs_standin.Device()
        self.handle = sluice64.attach(self.dev.fd, 0x81)

    def tearDown(self):
        self.handle = None
        gc.collect()
        self.assertEqual(self.dev.held(), 0)
        self.assertEqual(self.dev.violations(), 0)
        self.dev.close()

    def read(self):
        return sluice64.readVideo(self.handle)

    def slots(self):
        """Slot addresses in slot order, from the submissions of attach."""
        return [c.usercontext for c in self.dev.calls('SUBMITURB')[:16]]

    def test_attach_submits_every_slot_in_order(self):
        for ep in 0x81, 0x181:
            self.dev.clear_calls()
            h = sluice64.attach(self.dev.fd, ep)
            calls = self.dev.calls()
            self.assertEqual([c.kind for c in calls], ['SUBMITURB'] * 16)
            stride = calls[1].buffer - calls[0].buffer
            self.assertGreaterEqual(stride, 16384 + 56)
            for i, c in enumerate(calls):
                self.assertEqual((c.type, c.endpoint, c.buffer_length, c.flags, c.status,
                                  c.actual_length, c.signr), (3, 0x81, 16384, 0, 0, 0, 0))
                self.assertEqual(c.buffer, calls[0].buffer + i * stride)
                self.assertEqual(c.usercontext, c.buffer)
                self.assertEqual(c.urb, c.buffer + 16384)
            sluice64.detach(h)

    def test_steady_state_is_one_submission_and_one_reap(self):
        self.dev.feed(b'f' * 16384)
        self.dev.feed(b'short')
        self.dev.feed(b'')
        slots = self.slots()
        self.dev.clear_calls()
        previous = None
        for expected in b'f' * 16384, b'short', b'':
            buf = self.read()
            self.assertEqual(bytes(buf), expected)
            calls = self.dev.calls()
            kinds = ['REAPURB'] if previous is None else ['SUBMITURB', 'REAPURB']
            self.assertEqual([c.kind for c in calls], kinds)
            if previous is not None:
                self.assertEqual(calls[0].usercontext, previous)
            previous = calls[-1].usercontext
            self.assertIn(previous, slots)
            self.assertEqual(address_of(buf), previous)  # no copy
            self.dev.clear_calls()

    def test_buffer_cannot_be_written_through(self):
        self.dev.feed(b'data')
        buf = self.read()
        with self.assertRaises(TypeError):
            buf[0] = buf[1]
        with self.assertRaises(TypeError):
            ctypes.c_char.from_buffer(buf)
        self.assertEqual(bytes(buf), b'data')
        if PY3:
            self.assertEqual((type(buf), buf.readonly, buf.format, buf.ndim, buf.shape),
                             (memoryview, True, 'B', 1, (4,)))
            self.assertRaises(BufferError, memoryview, buf.obj)
        else:
            self.assertEqual(type(buf), buffer)  # noqa: F821

    def test_buffer_outlives_its_handle(self):
        self.dev.feed(b'kept' * 4096)
        buf = self.read()
        first = buf[:]
        self.handle = None
        gc.collect()
        # Detached at once, as before; the slot's memory stays with the buffer.
        self.assertEqual(self.dev.held(), 0)
        self.assertEqual(bytes(buf), b'kept' * 4096)
        self.assertEqual(bytes(first), b'kept' * 4096)

    def test_failed_transfer_shortens_the_ring(self):
        # Every transfer has completed when the device halts for a moment:
        # only the slot given back meanwhile fails, behind those completed.
        for i in range(16):
            self.dev.feed(b't%d' % i)
        self.assertEqual(bytes(self.read()), b't0')
        self.dev.halt()
        self.assertEqual(bytes(self.read()), b't1')
        self.dev.feed(b'after')
        self.dev.halt(False)
        for i in range(2, 16):
            self.assertEqual(bytes(self.read()), b't%d' % i)
        with self.assertRaises(IOError) as caught:
            self.read()
        self.assertEqual(caught.exception.errno, errno.EPIPE)
        self.dev.clear_calls()
        self.assertEqual(bytes(self.read()), b'after')
        self.assertEqual([c.kind for c in self.dev.calls()], ['REAPURB'])
        self.assertEqual(self.dev.held(), 14)  # 16, less the failed one and the one handed out

    def test_halted_endpoint_fails_every_transfer_until_cleared(self):
        self.dev.halt()
        self.dev.feed(b'after the clear')
        for _ in range(16):
            with self.assertRaises(IOError) as caught:
                self.read()
            self.assertEqual(caught.exception.errno, errno.EPIPE)
        self.dev.clear_calls()
        for _ in range(2):
            with self.assertRaises(IOError) as caught:
                self.read()
            self.assertEqual(caught.exception.errno, errno.ENOBUFS)
        self.assertEqual(self.dev.calls(), [])  # nothing left to wait for
        # Still halted: a new reader's transfers fail at once.
        other = sluice64.attach(self.dev.fd, 0x81)
        with self.assertRaises(IOError) as caught:
            sluice64.readVideo(other)
        self.assertEqual(caught.exception.errno, errno.EPIPE)
        sluice64.detach(other)
        fcntl.ioctl(self.dev.fd, USBDEVFS_CLEAR_HALT, struct.pack('I', 0x81))
        sluice64.detach(self.handle)
        self.handle = sluice64.attach(self.dev.fd, 0x81)
        self.assertEqual(bytes(self.read()), b'after the clear')

    def test_signal_during_wait_is_retried(self):
        alarms = []
        old = signal.signal(signal.SIGALRM, lambda *a: alarms.append(1))
        try:
            self.dev.delay(0.3)
            self.dev.feed(b'late')
            signal.setitimer(signal.ITIMER_REAL, 0.02, 0.02)
            buf = self.read()
            signal.setitimer(signal.ITIMER_REAL, 0)
        finally:
            signal.signal(signal.SIGALRM, old)
        self.assertEqual(bytes(buf), b'late')
        reaps = self.dev.calls('REAPURB')
        self.assertGreater(len(reaps), 1)
        self.assertEqual(set(c.error for c in reaps[:-1]), set([errno.EINTR]))
        self.assertEqual(reaps[-1].result, 0)
        self.assertTrue(alarms)

    def test_detach_cancels_everything_and_keeps_the_last_buffer(self):
        self.dev.feed(b'kept')
        buf = self.read()
        kept = address_of(buf)
        slots = self.slots()
        self.dev.clear_calls()
        self.assertIsNone(sluice64.detach(self.handle))
        calls = self.dev.calls()
        discards = [c.usercontext for c in calls if c.kind == 'DISCARDURB']
        self.assertEqual(discards, [s for s in slots if s != kept])
        self.assertEqual([c.kind for c in calls[15:]], ['REAPURB'] * 15)
        self.assertEqual(self.dev.held(), 0)
        self.dev.clear_calls()
        self.dev.feed(b'not read')
        for _ in range(2):
            with self.assertRaises(EOFError) as caught:
                self.read()
            self.assertEqual(caught.exception.args, ())
            self.assertIsNone(sluice64.detach(self.handle))
        self.assertEqual(self.dev.calls(), [])
        self.assertEqual(bytes(buf), b'kept')

    def test_dropping_the_handle_drains_it(self):
        slots = self.slots()
        self.dev.clear_calls()
        self.handle = None
        gc.collect()
        calls = self.dev.calls()
        self.assertEqual([c.usercontext for c in calls[:16]], slots)
        self.assertEqual([c.kind for c in calls], ['DISCARDURB'] * 16 + ['REAPURB'] * 16)
        self.assertEqual(self.dev.held(), 0)
        # A detached handle is freed without a word to the device.
        self.handle = sluice64.attach(self.dev.fd, 0x81)
        sluice64.detach(self.handle)
        self.dev.clear_calls()
        self.handle = None
        gc.collect()
        self.assertEqual(self.dev.calls(), [])

    def test_other_threads_run_while_read_waits(self):
        state = {'reading': False, 'seen': 0, 'stop': False}

        def spin():
            while not state['stop']:
                if state['reading']:
                    state['seen'] += 1
        t = threading.Thread(target=spin)
        t.start()
        self.dev.delay(0.2)
        self.dev.feed(b'x')
        state['reading'] = True
        self.read()
        state['reading'] = False
        state['stop'] = True
        t.join()
        # Held, the lock would let the thread in for one switch interval at most.
        self.assertGreater(state['seen'], 1000)

    def test_concurrent_read_is_refused_and_detach_ends_the_wait(self):
        outcome = []

        def wait():
            try:
                self.read()
                outcome.append('data')
            except EOFError:
                outcome.append('eof')
        t = threading.Thread(target=wait)
        t.start()
        self.dev.wait_for_waiter()
        with self.assertRaises(IOError) as caught:
            self.read()
        self.assertEqual(caught.exception.errno, errno.EBUSY)
        sluice64.detach(self.handle)
        t.join()
        self.assertEqual(outcome, ['eof'])
        self.assertEqual(self.dev.held(), 0)

    def test_failed_attach_leaves_nothing_queued(self):
        # ENOMEM from the device is a device failure, not a failed allocation.
        for after, err in (0, errno.ENOMEM), (7, errno.EIO):
            self.dev.refuse_submit(after, err)
            with self.assertRaises(IOError) as caught:
                sluice64.attach(self.dev.fd, 0x81)
            self.assertNotIsInstance(caught.exception, MemoryError)
            self.assertEqual(caught.exception.errno, err)
            self.assertEqual(self.dev.held(), 16)  # those of setUp's handle

if __name__ == '__main__':
    unittest.main()

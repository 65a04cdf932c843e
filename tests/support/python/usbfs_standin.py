"""ctypes wrapper of the usbdevfs stand-in (tests/support/usbfs_standin).

The stand-in answers usbdevfs ioctls only when it is preloaded into the process
(LD_PRELOAD); importing this module anywhere else raises ImportError. The C
header tests/support/usbfs_standin/usbfs_standin.h describes what the device does.
"""
import collections
import ctypes
import errno
import os
import time


def _load():
    for path in os.environ.get('LD_PRELOAD', '').replace(' ', ':').split(':'):
        if os.path.basename(path) == 'libusbfs_standin.so':
            return ctypes.CDLL(path, use_errno=True)
    raise ImportError('libusbfs_standin.so is not preloaded (LD_PRELOAD)')


_lib = _load()

SUBMIT, DISCARD, REAP, REAP_NDELAY, OTHER = 1, 2, 3, 4, 5
KIND_NAMES = {SUBMIT: 'SUBMITURB', DISCARD: 'DISCARDURB', REAP: 'REAPURB',
              REAP_NDELAY: 'REAPURBNDELAY', OTHER: 'OTHER'}


class _Call(ctypes.Structure):
    _fields_ = [('sequence', ctypes.c_uint64), ('request', ctypes.c_uint32),
                ('kind', ctypes.c_int32), ('result', ctypes.c_int32), ('error', ctypes.c_int32),
                ('urb', ctypes.c_void_p), ('buffer', ctypes.c_void_p),
                ('usercontext', ctypes.c_void_p)] + [
                    (name, ctypes.c_int32) for name in (
                        'type', 'endpoint', 'status', 'flags', 'buffer_length', 'actual_length',
                        'start_frame', 'number_of_packets', 'error_count', 'signr')]


# One ioctl as the device saw it; `kind` is 'SUBMITURB', 'DISCARDURB',
# 'REAPURB', 'REAPURBNDELAY' or 'OTHER'; addresses are ints (None for null).
Call = collections.namedtuple('Call', [name for name, _ in _Call._fields_])

_int = ctypes.c_int
for _name, _args in [
        ('usbfs_standin_register', [_int]), ('usbfs_standin_unregister', [_int]),
        ('usbfs_standin_set_endpoint', [_int, _int]),
        ('usbfs_standin_feed', [_int, ctypes.c_char_p, _int]),
        ('usbfs_standin_feed_file', [_int, ctypes.c_char_p]),
        ('usbfs_standin_fail_next', [_int, _int]), ('usbfs_standin_delay', [_int, _int]),
        ('usbfs_standin_synthetic', [_int, _int, _int, _int, ctypes.c_double, _int]),
        ('usbfs_standin_stall_after', [_int, _int]), ('usbfs_standin_halt', [_int, _int]),
        ('usbfs_standin_refuse_submit', [_int, _int, _int]),
        ('usbfs_standin_unplug', [_int, _int]), ('usbfs_standin_unplug_at_end', [_int, _int]),
        ('usbfs_standin_held', [_int]), ('usbfs_standin_completed', [_int]),
        ('usbfs_standin_waiting', [_int]), ('usbfs_standin_violations', [_int]), ('usbfs_standin_record', [_int, _int]),
        ('usbfs_standin_call_count', [_int]),
        ('usbfs_standin_get_call', [_int, _int, ctypes.POINTER(_Call)]),
        ('usbfs_standin_clear_calls', [_int])]:
    getattr(_lib, _name).argtypes = _args
    getattr(_lib, _name).restype = _int


def _check(result):
    if result < 0:
        err = ctypes.get_errno()
        raise OSError(err, os.strerror(err))
    return result


class Device(object):
    """A stand-in grabber on `fd`, or on the read end of a pipe of its own.

    Closing the descriptor (close() does it for its own pipe) unregisters it.
    """

    def __init__(self, fd=None, endpoint=0x81):
        self._pipe = None
        if fd is None:
            self._pipe = os.pipe()
            fd = self._pipe[0]
        self.fd = fd
        _check(_lib.usbfs_standin_register(fd))
        if endpoint != 0x81:
            _check(_lib.usbfs_standin_set_endpoint(fd, endpoint))

    def close(self):
        if self.fd is None:
            return
        if self._pipe:
            for end in self._pipe:
                os.close(end)
        else:
            _check(_lib.usbfs_standin_unregister(self.fd))
        self.fd = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    # The stream.
    def feed(self, data):
        """One run of bytes: requests take up to their length of it, the last one short."""
        data = bytes(data)
        _check(_lib.usbfs_standin_feed(self.fd, data, len(data)))

    def feed_file(self, path):
        _check(_lib.usbfs_standin_feed_file(self.fd, path))

    def fail_next(self, status):
        """The next request to complete after what is queued gets `status`
        (e.g. -errno.EPROTO) and no data; the requests after it go on."""
        _check(_lib.usbfs_standin_fail_next(self.fd, status))

    def delay(self, seconds):
        """What follows completes no sooner than `seconds` after a request reaches it."""
        _check(_lib.usbfs_standin_delay(self.fd, int(seconds * 1e6)))

    def synthetic(self, w, h, frames=0, fps=0.0, full=False):
        _check(_lib.usbfs_standin_synthetic(self.fd, w, h, frames, fps, int(bool(full))))

    def stall_after(self, transfers):
        """The endpoint halts after `transfers` more transfers (0: at the next request)."""
        _check(_lib.usbfs_standin_stall_after(self.fd, transfers))

    def halt(self, on=True):
        """The device halts its endpoint, or (on=False) clears its halt: while
        halted, every request, queued or submitted later, fails with -EPIPE."""
        _check(_lib.usbfs_standin_halt(self.fd, int(bool(on))))

    def refuse_submit(self, after, error):
        """The submission `after` submissions from now (0: the next) fails with `error`."""
        _check(_lib.usbfs_standin_refuse_submit(self.fd, after, error))

    def unplug(self, status=-errno.ESHUTDOWN):
        _check(_lib.usbfs_standin_unplug(self.fd, status))

    def unplug_at_end(self, on=True):
        _check(_lib.usbfs_standin_unplug_at_end(self.fd, int(bool(on))))

    # What the device holds and saw.
    def held(self):
        """Requests queued, or completed and not yet reaped."""
        return _check(_lib.usbfs_standin_held(self.fd))

    def completed(self):
        return _check(_lib.usbfs_standin_completed(self.fd))

    def waiting(self):
        """Threads blocked in REAPURB on the device right now."""
        return _check(_lib.usbfs_standin_waiting(self.fd))

    def wait_for_waiter(self, timeout=30.0):
        """Until a thread blocks in REAPURB on the device."""
        deadline = time.time() + timeout
        while not self.waiting():
            if time.time() > deadline:
                raise AssertionError('nobody waits on the device')
            time.sleep(0.001)

    def violations(self):
        return _check(_lib.usbfs_standin_violations(self.fd))

    def record(self, on):
        _check(_lib.usbfs_standin_record(self.fd, int(bool(on))))

    def calls(self, kind=None):
        """The recorded calls, in order; only those of `kind` ('REAPURB'...) if given."""
        out = []
        raw = _Call()
        for i in range(_check(_lib.usbfs_standin_call_count(self.fd))):
            _check(_lib.usbfs_standin_get_call(self.fd, i, ctypes.byref(raw)))
            values = [getattr(raw, name) for name, _ in _Call._fields_]
            call = Call(*values)._replace(kind=KIND_NAMES.get(raw.kind, raw.kind))
            if kind is None or call.kind == kind:
                out.append(call)
        return out

    def clear_calls(self):
        _check(_lib.usbfs_standin_clear_calls(self.fd))

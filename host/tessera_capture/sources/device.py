"""A grabber on a USB device node, read through sluice64."""
import errno
import fcntl
import os
import select
import signal
import threading
import time

from ..errors import DeviceError
from . import usb

# How often a waiting source, or the device watchdog, looks up, in seconds.
IDLE_POLL = 0.1
# After a stop is asked for (Ctrl-C, --seconds) the run waits this long for
# the current frame to end before it ends mid-frame.
STOP_GRACE = 0.5
# A stalled endpoint is recovered this many times within this many seconds;
# one more stall within them ends the run.
STALL_LIMIT = 3
STALL_WINDOW = 10
# What a read fails with when the device has gone: requests cut off by the
# unplug (EPROTO or ESHUTDOWN, whichever side went first), the device gone,
# or every transfer of the ring failed.
GONE = (errno.EPROTO, errno.ESHUTDOWN, errno.ENODEV, errno.ENOBUFS)


class DeviceSource:
    """A grabber on a USB device node, read through sluice64.

    readVideo blocks in the kernel and restarts its wait after a signal, so a
    device that sends nothing would hold the capture for good. A watchdog
    thread ends such a wait by detaching the reader (the read then ends with
    EOFError): when a read has blocked `timeout` seconds, or STOP_GRACE past a
    stop that was asked for, through `stop_at` or by a signal (Ctrl-C) that
    the interpreter's handler cannot act on while the read blocks.

    A stalled endpoint is cleared and read again, up to STALL_LIMIT times
    within STALL_WINDOW seconds. With `reconnect`, a device that goes away is
    waited for (see usb.DeviceLocator) and read again when it is back;
    the stream then starts over, so a packet held from before is dropped."""

    STOPPED = 'stopped'
    timestamp = None
    chunk = None

    def __init__(self, path, frame_size, endpoint=None, interface=None, timeout=5.0,
                 reconnect=False, report=None):
        import sluice64
        self.sluice64 = sluice64
        self.name = path
        self.frame_size = frame_size
        self.timeout = timeout
        self.report = report or (lambda text: None)
        self.stop_at = None  # when a stop was asked for
        self.reading_since = None  # when the read in progress began
        self.gave_up = None  # why the watchdog detached: STOPPED or a DeviceError
        self.handle = None
        self.stall_times = []  # of the stalls within the last STALL_WINDOW seconds
        self.stalls = self.reconnects = 0  # recovered
        self.locator = usb.DeviceLocator(path) if reconnect else None
        self.lost_at = None  # when the device went, while it is waited for
        self.device = usb.UsbDevice(path, endpoint, interface)
        try:
            self._attach()
        except IOError as e:
            self.device.close()
            raise DeviceError('cannot start reading %s: %s' % (path, e.strerror))
        # Signals write a byte here (from the interpreter's C-level handler),
        # which wakes the watchdog even while the main thread is in the kernel.
        self.wake_read, self.wake_write = os.pipe()
        for fd in (self.wake_read, self.wake_write):
            fcntl.fcntl(fd, fcntl.F_SETFL, fcntl.fcntl(fd, fcntl.F_GETFL) | os.O_NONBLOCK)
        try:
            self.previous_wakeup = signal.set_wakeup_fd(self.wake_write)
        except ValueError:  # not the main thread, which alone takes signals
            self.previous_wakeup = None
        self.closing = False
        self.watchdog = threading.Thread(target=self._watch, name='read watchdog')
        self.watchdog.daemon = True
        self.watchdog.start()

    def _attach(self):
        self.handle = self.sluice64.attach(self.device.fd, self.device.endpoint)

    def _detach(self):
        if self.handle is not None:
            self.sluice64.detach(self.handle)
            self.handle = None  # frees the reader before its descriptor goes

    def _watch(self):
        while not self.closing:
            try:
                woken = select.select([self.wake_read], [], [], IDLE_POLL)[0]
            except select.error:
                continue  # a signal landed on this thread; its byte is in the pipe
            now = time.time()
            if woken:
                try:
                    os.read(self.wake_read, 4096)
                except OSError:
                    pass
                self.stop_at = now if self.stop_at is None else min(self.stop_at, now)
            since = self.reading_since
            if since is None or self.gave_up:
                continue
            if self.stop_at is not None and now >= max(self.stop_at, since) + STOP_GRACE:
                self.gave_up = self.STOPPED
            elif self.timeout and now - since >= self.timeout:
                self.gave_up = DeviceError('no data from the device for %.1f s (%s)' %
                                           (now - since, self.name))
            else:
                continue
            self.sluice64.detach(self.handle)

    def _given_up(self):
        if isinstance(self.gave_up, DeviceError):
            raise self.gave_up
        return None

    def read(self, idle):
        while True:
            if self.gave_up:
                return self._given_up()
            if self.handle is None and not self._wait_for_device(idle):
                return None
            self.reading_since = time.time()
            try:
                return self.sluice64.readVideo(self.handle)
            except (IOError, EOFError) as e:
                if self.gave_up:
                    return self._given_up()
                if isinstance(e, EOFError):
                    raise DeviceError('the reader of %s was detached' % self.name)
                if e.errno == errno.EPIPE:
                    self._recover_stall(e)
                elif self.locator and e.errno in GONE:
                    self._lose_device()
                else:
                    raise DeviceError(self._explain(e))
            finally:
                self.reading_since = None

    def _recover_stall(self, error):
        """Clears the halt, whether or not reading goes on: a device left
        halted fails the next run at once."""
        now = time.time()
        self.stall_times = [t for t in self.stall_times if now - t < STALL_WINDOW] + [now]
        self._detach()
        try:
            self.device.clear_halt()
            if len(self.stall_times) <= STALL_LIMIT:
                self._attach()
        except IOError as e:
            if self.locator and e.errno in GONE:
                self._lose_device()
                return
            raise DeviceError('cannot clear the stall of %s: %s' % (self._endpoint(), e.strerror))
        if self.handle is None:
            raise DeviceError('%s stalled %d times within %d s; giving up (%s)' %
                              (self._endpoint(), len(self.stall_times), STALL_WINDOW,
                               error.strerror))
        self.stalls += 1
        self.report('%s stalled (%s); halt cleared, reading again' %
                    (self._endpoint(), error.strerror))

    def _lose_device(self):
        self._detach()
        self.device.close()
        self.lost_at = time.time()
        self.report('%s went away; waiting for %s' % (self.name, self.locator.describe()))

    def _wait_for_device(self, idle):
        """Until the device is back and claimed (True), or a stop (False)."""
        endpoint, interface = self.device.endpoint, self.device.interface
        while not idle():
            path = self.locator.find()
            if path:
                try:
                    self.device = usb.UsbDevice(path, endpoint, interface)
                    self._attach()
                except (DeviceError, IOError):
                    self.device.close()  # there, but not ready yet
                else:
                    break
            time.sleep(IDLE_POLL)
        else:
            return False
        self.name = path
        self.reconnects += 1
        self.report('%s is back after %.1f s; reading again' % (path, time.time() - self.lost_at))
        self.lost_at = None
        return True

    def status(self):
        """What the status line adds for a device."""
        text = ''
        if self.stalls:
            text += '  stalls %d' % self.stalls
        if self.reconnects:
            text += '  reconnects %d' % self.reconnects
        if self.lost_at is not None:
            text += '  waiting for device'
        return text

    def _endpoint(self):
        return 'endpoint 0x%02x of %s' % (self.device.endpoint, self.name)

    def _explain(self, e):
        if e.errno == errno.EPIPE:
            return '%s stalled (%s)' % (self._endpoint(), e.strerror)
        if e.errno in (errno.ENODEV, errno.ESHUTDOWN):
            return '%s is gone: the device was disconnected (%s)' % (self.name, e.strerror)
        if e.errno == errno.ENOBUFS:
            return 'every transfer on %s has failed' % self._endpoint()
        return 'reading %s failed: %s' % (self._endpoint(), e.strerror)

    def close(self):
        if self.closing:
            return  # a second close must not close descriptor numbers reused since
        self.closing = True
        self.watchdog.join()
        if self.previous_wakeup is not None:
            signal.set_wakeup_fd(self.previous_wakeup)
        os.close(self.wake_read)
        os.close(self.wake_write)
        self._detach()
        self.device.close()



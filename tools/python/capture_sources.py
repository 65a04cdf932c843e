"""Where the capture host's tile stream comes from: the built-in synthetic
grabber, a USB device read through sluice64, or a recording.

Every source has the same small surface for the capture loop:
  frame_size    (width, height) of the frame store the stream is meant for
  stop_at       set by the loop to the time a stop was asked for
  read(idle)    the next buffer, or None when the stream has ended, or when
                the source has nothing to give and idle() says to stop waiting
  held()        the held-packet pair that the decoding of that buffer starts from
  feed(raw)     decodes the buffer into the frame store; returns the first-tile flag
  timestamp     when the buffer last read arrived, as recorded; None for a live
                source, whose buffers arrive as they are read
  close()
"""
import ctypes
import errno
import fcntl
import os
import select
import signal
import threading
import time

import tessera
import capture_recording
import capture_usb
from byteview import byte_view
from capture_usb import DeviceError

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


def _first_difference(a, b, start, length):
    """Offset from `start` of the first byte where a and b differ within
    `length` bytes; they are known to differ somewhere in that range."""
    lo, hi = 0, length  # a prefix of lo bytes is equal, one of hi bytes is not
    while hi - lo > 1:
        mid = (lo + hi) // 2
        if byte_view(a, start, mid) == byte_view(b, start, mid):
            lo = mid
        else:
            hi = mid
    return hi - 1


def _last_difference(a, b, start, length):
    lo, hi = 0, length  # a suffix of lo bytes is equal, one of hi bytes is not
    while hi - lo > 1:
        mid = (lo + hi) // 2
        if byte_view(a, start + length - mid, mid) == byte_view(b, start + length - mid, mid):
            lo = mid
        else:
            hi = mid
    return length - hi


def changed_tiles(previous, current, width, height):
    """One byte per tile, 1 where the RGB565 frames `previous` and `current`
    (byte strings) may differ. Per tile row it marks the span of columns from
    the leftmost to the rightmost differing pixel, a superset of the changed
    tiles that costs a few comparisons per changed line only."""
    tiles_wide, tiles_high = (width + 15) // 16, (height + 15) // 16
    mask = bytearray(tiles_wide * tiles_high)
    line = width * 2
    for ty in range(tiles_high):
        top, bottom = ty * 16 * line, min(height, ty * 16 + 16) * line
        if byte_view(previous, top, bottom - top) == byte_view(current, top, bottom - top):
            continue
        left, right = line, -1
        for start in range(top, bottom, line):
            if byte_view(previous, start, line) == byte_view(current, start, line):
                continue
            left = min(left, _first_difference(previous, current, start, line))
            right = max(right, _last_difference(previous, current, start, line))
        first, last = left // 32, right // 32  # 16 pixels of 2 bytes a tile
        mask[ty * tiles_wide + first:ty * tiles_wide + last + 1] = b'\1' * (last - first + 1)
    return bytes(mask)


class LiveSource(object):
    """A source of live buffers, decoded by videoSink from the module's own
    held-packet state."""

    stop_at = None
    timestamp = None
    held = staticmethod(tessera.record)

    def feed(self, raw):
        return tessera.videoSink(raw)[1]

    def close(self):
        pass


class SyntheticSource(LiveSource):
    """The built-in grabber: the encoder's animated test pattern, one frame at
    a time, cut into 16 KiB transfers with fill packets, pixel packets, padding
    and the first-tile flag. A frame's last transfer is short, as a device ends
    a transfer when its frame is out, so every frame starts a new buffer. Only
    the tiles that differ from the previous frame are sent, or every tile of
    every frame with `every_tile`."""

    name = 'synthetic grabber'

    def __init__(self, width, height, every_tile=False):
        import tilestream  # needs the built encoder library; only this source does
        self.tilestream = tilestream
        self.encoder = tilestream.Encoder(width, height)
        self.frame_size = (width, height)
        self.every_tile = every_tile
        self.number = -1  # test-pattern number of the frame being sent
        self.previous = None

    def _queue_next_frame(self):
        self.number += 1
        width, height = self.frame_size
        frame = self.tilestream.test_pattern(width, height, self.number)
        if self.every_tile:
            self.encoder.put_frame(frame)
            return
        current = ctypes.string_at(ctypes.addressof(frame), ctypes.sizeof(frame))
        mask = None if self.previous is None else changed_tiles(self.previous, current, width,
                                                                height)
        self.encoder.put_frame(frame, mask)
        self.previous = current

    def read(self, idle):
        if not self.encoder.pending():
            self._queue_next_frame()
        return self.encoder.take()


class DeviceSource(LiveSource):
    """A grabber on a USB device node, read through sluice64.

    readVideo blocks in the kernel and restarts its wait after a signal, so a
    device that sends nothing would hold the capture for good. A watchdog
    thread ends such a wait by detaching the reader (the read then ends with
    EOFError): when a read has blocked `timeout` seconds, or STOP_GRACE past a
    stop that was asked for, through `stop_at` or by a signal (Ctrl-C) that
    the interpreter's handler cannot act on while the read blocks.

    A stalled endpoint is cleared and read again, up to STALL_LIMIT times
    within STALL_WINDOW seconds. With `reconnect`, a device that goes away is
    waited for (see capture_usb.DeviceLocator) and read again when it is back;
    the stream then starts over, so a packet held from before is dropped."""

    STOPPED = 'stopped'

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
        self.locator = capture_usb.DeviceLocator(path) if reconnect else None
        self.lost_at = None  # when the device went, while it is waited for
        self.device = capture_usb.UsbDevice(path, endpoint, interface)
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
        self.previous_wakeup = signal.set_wakeup_fd(self.wake_write)
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
                    self.device = capture_usb.UsbDevice(path, endpoint, interface)
                    self._attach()
                except (DeviceError, IOError):
                    self.device.close()  # there, but not ready yet
                else:
                    break
            time.sleep(IDLE_POLL)
        else:
            return False
        # The device starts its stream over: a packet held from before would
        # be completed from unrelated bytes.
        tessera.playvideo(capture_recording.CHUNK_HEADER.pack(0, 0, *self.frame_size))
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
        signal.set_wakeup_fd(self.previous_wakeup)
        os.close(self.wake_read)
        os.close(self.wake_write)
        self._detach()
        self.device.close()


class ReplaySource(object):
    """A recording played back chunk by chunk through playvideo, in order, at
    recorded speed (the gaps between the chunks' arrival times) or as fast as
    possible. `timestamp` is the arrival time of the chunk read last, in
    seconds since the epoch; `cut` says why the recording ended early, when
    its last file is cut short."""

    stop_at = None
    timestamp = None

    def __init__(self, dirname, fast=False):
        self.name = dirname
        self.dirname = dirname
        self.fast = fast
        self.first, self.count, self.seconds = capture_recording.read_head(dirname)
        self.reader = capture_recording.RecordingReader(dirname, self.first, self.count)
        self.played = 0
        self.chunk = None
        self.timestamp = None
        self.frame_size = None
        self.clock = None  # (wall time, chunk time) of the first chunk
        self.dropped_packets = 0  # their beginning is not in the recording
        self.cut_packets = 0  # their end is not: the stream stopped (device gone)

    @property
    def cut(self):
        return self.reader.cut

    def read(self, idle):
        chunk = self.reader.next_chunk()
        if chunk is None:
            return None
        if not self.fast and not self._wait_until(chunk.time, idle):
            return None
        self.chunk = chunk
        self.timestamp = chunk.time
        self.frame_size = (chunk.width, chunk.height)
        self.played += 1
        return chunk.raw

    def _wait_until(self, chunk_time, idle):
        now = time.time()
        if self.clock is None:
            self.clock = (now, chunk_time)
        due = self.clock[0] + (chunk_time - self.clock[1])
        while now < due:
            if idle():
                return False
            time.sleep(min(IDLE_POLL, due - now))
            now = time.time()
        return True

    def held(self):
        return self.chunk.needed, self.chunk.held

    def feed(self, raw):
        chunk = self.chunk
        if tessera.record() == (chunk.needed, chunk.held):
            tessera.playvideo(chunk.data)
            return tessera.videoSink(b'')[1]  # the flag that playvideo leaves raised
        # The held packet's beginning is not in the frame store's hands (the
        # recording starts mid-packet, for instance after --keep): completing it
        # from whatever is held would paint a garbage tile. Drop the rest of that
        # packet instead and decode the buffer from the next item on; padding
        # still counts from the buffer's start. A packet the store holds that
        # the chunk does not go on with was cut off where the recorded stream
        # started over (the device went away); it goes too.
        self.dropped_packets += chunk.needed != 0
        self.cut_packets += tessera.record()[0] != 0
        tessera.playvideo(capture_recording.CHUNK_HEADER.pack(0, 0, chunk.width, chunk.height))
        return tessera.videoSink(raw, min(chunk.needed - chunk.held, len(raw)))[1]

    def close(self):
        pass

"""Guest-side helpers of the VM test: the gadget program as a USB device on the
software controller, the usbdevfs calls the cases need besides sluice64, and a
checker that rebuilds the picture from the tile stream the way a host does.

The configuration comes from guest_runner.py through the environment:
VM_FFS (functionfs mount), VM_UDC (controller name), VM_UDC_FILE (the
gadget's configfs UDC file), VM_RESULTS (results directory), TESSERA_BUILD_DIR.
"""
import array
import errno
import fcntl
import os
import select
import struct
import subprocess
import threading
import time

import tessera
from tessera_capture import tilestream

VENDOR, PRODUCT = '1209', '0001'

# usbdevfs requests on x86-64
USBDEVFS_CLAIMINTERFACE = 0x8004550f
USBDEVFS_REAPURBNDELAY = 0x4008550d


def env(name):
    return os.environ[name]


def build_path(*parts):
    return os.path.join(env('TESSERA_BUILD_DIR'), *parts)


def figure(name, value, unit):
    """Records a measured figure for the run's summary."""
    with open(os.path.join(env('VM_RESULTS'), 'figures.txt'), 'a') as f:
        f.write('figure %s %.3f %s\n' % (name, value, unit))


def reap_nowait(fd):
    """A completed request still queued on the descriptor: returns its address,
    or None when nothing is queued (EAGAIN)."""
    out = array.array('B', [0] * 8)
    try:
        fcntl.ioctl(fd, USBDEVFS_REAPURBNDELAY, out, True)
    except IOError as e:
        if e.errno == errno.EAGAIN:
            return None
        raise
    return struct.unpack('<Q', out.tostring())[0]


def sysfs(path, name):
    with open(os.path.join(path, name)) as f:
        return f.read().strip()


class Device(object):
    """One gadget program bound to the software controller, seen from the host
    side as a USB device node with one bulk IN endpoint."""

    def __init__(self, width=320, height=240, watchdog=90):
        self.width, self.height = width, height
        self.frames = {}    # frame number -> bytes, as the gadget announces them
        self.replies = []   # "ok ..." / "fail ..." lines not yet claimed
        self.events = []
        self._buf = ''  # text: the gadget writes ASCII lines
        self.path = None
        # A read that waits for data that never comes would hang the case
        # until its time limit; unplugging the device ends the wait instead.
        self.expired = False
        self.watchdog = threading.Timer(watchdog, self._expire)
        self.watchdog.daemon = True
        self.watchdog.start()
        self.proc = subprocess.Popen(
            [build_path('tests', 'support', 'usb_gadget', 'usb_gadget'), '--ffs', env('VM_FFS'),
             '--udc-file', env('VM_UDC_FILE'), '--width', str(width), '--height', str(height)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self._wait(lambda: 'ready' in self.events, 20, 'the gadget to write its descriptors')
        self.plug()

    # -- the gadget's output

    def _read_lines(self, timeout):
        fd = self.proc.stdout.fileno()
        try:
            ready = select.select([fd], [], [], timeout)[0]
        except select.error as e:
            if e.args[0] == errno.EINTR:
                return
            raise
        if not ready:
            return
        chunk = os.read(fd, 65536)
        if not chunk:
            raise AssertionError('the gadget program ended (status %s)' % self.proc.wait())
        self._buf += chunk.decode('ascii', 'replace')
        while '\n' in self._buf:
            line, self._buf = self._buf.split('\n', 1)
            words = line.split()
            if words[0] == 'frame':
                self.frames[int(words[1])] = int(words[2])
            elif words[0] in ('ok', 'fail'):
                self.replies.append(line)
            else:
                self.events.append(line)

    def _wait(self, cond, timeout, what):
        deadline = time.time() + timeout
        while not cond():
            left = deadline - time.time()
            if left <= 0:
                raise AssertionError('timed out waiting for %s' % what)
            self._read_lines(left)

    def poll(self):
        """Takes in whatever the gadget has written, without waiting."""
        self._read_lines(0)

    def has_reply(self, name):
        return any(r.split()[1] == name for r in self.replies)

    def send(self, *commands):
        """Queues commands without waiting for their replies."""
        self.proc.stdin.write(''.join(c + '\n' for c in commands).encode('ascii'))
        self.proc.stdin.flush()

    def reply(self, name, timeout=60):
        """The next reply to a command called `name`; raises on "fail"."""
        self._wait(lambda: self.has_reply(name), timeout, 'the reply to "%s"' % name)
        line = next(r for r in self.replies if r.split()[1] == name)
        self.replies.remove(line)
        if line.startswith('fail'):
            raise AssertionError('gadget: ' + line)
        return line.split()[2:]

    def command(self, cmd, timeout=60):
        self.send(cmd)
        return self.reply(cmd.split()[0], timeout)

    def frame_bytes(self, n, timeout=60):
        self._wait(lambda: n in self.frames, timeout, 'the length of frame %d' % n)
        return self.frames[n]

    # -- the host side

    def plug(self, timeout=20):
        """Binds the gadget to the controller and waits for its device node
        (a new one: the node of a device unbound a moment ago may linger)."""
        stale = set(self._nodes())
        with open(env('VM_UDC_FILE'), 'w') as f:
            f.write(env('VM_UDC') + '\n')
        deadline = time.time() + timeout
        while True:
            found = [n for n in self._nodes() if n not in stale]
            if found:
                self.path, self.endpoint = found[0]
                return
            if time.time() > deadline:
                raise AssertionError('the gadget did not appear as a USB device')
            time.sleep(0.05)

    @staticmethod
    def _nodes():
        """(node, bulk IN endpoint) of each configured device with our ids."""
        base = '/sys/bus/usb/devices'
        for name in os.listdir(base):
            d = os.path.join(base, name)
            try:
                if (sysfs(d, 'idVendor'), sysfs(d, 'idProduct')) != (VENDOR, PRODUCT):
                    continue
                node = '/dev/bus/usb/%03d/%03d' % (int(sysfs(d, 'busnum')),
                                                    int(sysfs(d, 'devnum')))
                intf = os.path.join(d, name + ':1.0')
                for ep in os.listdir(intf):
                    e = os.path.join(intf, ep)
                    if ep.startswith('ep_') and sysfs(e, 'direction') == 'in' and \
                            sysfs(e, 'type') == 'Bulk' and os.path.exists(node):
                        yield node, int(sysfs(e, 'bEndpointAddress'), 16)
            except (IOError, OSError):
                continue  # still being set up, or going away

    def open(self):
        """A usbdevfs descriptor of the device with its interface claimed."""
        fd = os.open(self.path, os.O_RDWR)
        fcntl.ioctl(fd, USBDEVFS_CLAIMINTERFACE, struct.pack('I', 0))
        return fd

    def unplug(self):
        """Unbinds the gadget from the controller, from the test's side."""
        try:
            with open(env('VM_UDC_FILE'), 'w') as f:
                f.write('\n')
        except IOError:
            pass  # not bound
        self.path = None

    def _expire(self):
        self.expired = True
        self.unplug()

    def close(self):
        self.watchdog.cancel()
        if self.proc.poll() is None:
            self.unplug()
            try:
                self.send('quit')
            except IOError:
                pass
            self.proc.wait()


class Checker(object):
    """Feeds buffers to tessera as the capture host does and compares the
    picture rebuilt from getChanges/toRGBString with each frame of the test
    pattern whose last byte ends a buffer."""

    def __init__(self, device, first_frame=0):
        self.dev = device
        self.w, self.h = device.width, device.height
        self.tw, self.th = (self.w + 15) // 16, (self.h + 15) // 16
        tessera.createBuffer(self.w, self.h)
        assert tessera.record() == (0, 0), 'a packet is held from an earlier stream'
        self.canvas = bytearray(self.w * self.h * 4)
        self.offset = 0              # stream bytes fed
        self.frame = first_frame     # the frame that the next bytes belong to
        self.frame_start = 0         # its first byte
        self.checked = []

    def feed(self, buf):
        tessera.videoSink(buf)
        self.offset += len(buf)
        # Bytes of a frame have arrived, so the gadget has announced its length.
        while self.offset > self.frame_start:
            end = self.frame_start + self.dev.frame_bytes(self.frame)
            if self.offset < end:
                break
            if self.offset == end:
                self.compare(self.frame)
            self.frame += 1
            self.frame_start = end

    def refresh(self):
        for ty in range(self.th):
            for start, n in tessera.getChanges(ty, self.tw):
                data, (nw, nh) = tessera.toRGBString(start, ty, n, 1)
                pitch = nw * 4
                for y in range(nh):
                    at = ((ty * 16 + y) * self.w + start * 16) * 4
                    self.canvas[at:at + pitch] = data[y * pitch:(y + 1) * pitch]

    def compare(self, n):
        self.refresh()
        want = tilestream.expand(tilestream.test_pattern(self.w, self.h, n))
        got = bytes(self.canvas)
        if got != want:
            at = next(i for i in range(0, len(want), 4) if got[i:i + 4] != want[i:i + 4]) // 4
            raise AssertionError('frame %d differs first at pixel (%d, %d): %r, expected %r' % (
                n, at % self.w, at // self.w, got[at * 4:at * 4 + 4], want[at * 4:at * 4 + 4]))
        self.checked.append(n)

"""Cases run inside the VM against the real kernel, one process per case (see
guest_runner.py): the device is a FunctionFS gadget on dummy_hcd, reached
through its usbdevfs node as the capture host reaches the grabber."""
import os
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
# The standard library first (each import miss is a round trip over 9p), then
# the freshly built modules and the project's Python tools.
sys.path = [p for p in sys.path[1:] if os.path.isdir(p)] + [
    HERE, os.path.join(os.environ['TESSERA_BUILD_DIR'], 'python'),
    os.path.join(os.environ['VM_SOURCE_DIR'], 'host'),
    os.path.join(os.environ['VM_SOURCE_DIR'], 'tests', 'support', 'python')]

import errno  # noqa: E402
import grp  # noqa: E402
import math  # noqa: E402
import re  # noqa: E402
import shlex  # noqa: E402
import signal  # noqa: E402
import struct  # noqa: E402
import shutil  # noqa: E402
import subprocess  # noqa: E402
import threading  # noqa: E402
import time  # noqa: E402
import unittest  # noqa: E402
import zlib  # noqa: E402

import sluice64  # noqa: E402
import tessera  # noqa: E402
from tessera_capture import tilestream  # noqa: E402

import guest_usb  # noqa: E402
from guest_usb import Checker, Device, reap_nowait  # noqa: E402

TRANSFER = 16384
UNPLUG_ERRORS = (errno.ENODEV, errno.EPROTO, errno.ESHUTDOWN)


def read_stream(dev, handle, checker, *commands):
    """Sends gadget commands that end the stream at the end of a frame, and
    feeds every buffer to the checker until that frame has been compared."""
    dev.send(*commands)
    pending = [c.split()[0] for c in commands]
    while True:
        dev.poll()
        while pending and dev.has_reply(pending[0]):
            dev.reply(pending.pop(0))
        if not pending and dev.frames and checker.frame > max(dev.frames):
            break
        checker.feed(sluice64.readVideo(handle))
    last = max(dev.frames)
    assert checker.checked and checker.checked[-1] == last, \
        'the stream ended at frame %d without it being compared' % last


def read_until_gone(handle, checker=None, limit=200):
    """readVideo until the reader has nothing left (the same error three
    calls in a row), feeding the buffers that still come to the checker:
    the errors in order, and the number of buffers."""
    errors, buffers, calls = [], 0, []
    for _ in range(limit):
        try:
            buf = sluice64.readVideo(handle)
        except IOError as e:
            errors.append(e.errno)
            calls.append(e.errno)
            if calls[-3:] in ([errno.ENODEV] * 3, [errno.ENOBUFS] * 3):
                break
            continue
        calls.append(0)
        buffers += 1
        if checker:
            checker.feed(buf)
    return errors, buffers


class DeviceCase(unittest.TestCase):
    width, height = 320, 240

    def setUp(self):
        self.dev = Device(self.width, self.height)
        self.fds = []

    def tearDown(self):
        for fd in self.fds:
            os.close(fd)
        self.dev.close()
        if self.dev.expired:
            self.fail('the watchdog unplugged the device: a read waited too long')

    def open(self):
        fd = self.dev.open()
        self.fds.append(fd)
        return fd

    def assertNothingQueued(self, fd, when):
        self.assertIsNone(reap_nowait(fd), 'a request is still queued on the descriptor ' + when)


class Exact(DeviceCase):
    width, height = 640, 480

    def test_many_frames(self):
        """Every frame rebuilt from readVideo -> videoSink -> getChanges ->
        toRGBString equals the pattern, the first whole and then only the
        tiles that changed; each frame ends its last transfer."""
        h = sluice64.attach(self.open(), self.dev.endpoint)
        checker = Checker(self.dev)
        read_stream(self.dev, h, checker, 'frames 80')
        self.assertEqual(checker.checked, list(range(80)))
        sluice64.detach(h)

    def test_transfers_of_every_length(self):
        """Each frame's last transfer cut right after its padding marker (a
        short packet of any length), a zero-length transfer, and writes
        smaller than a request that the host's requests gather: every buffer
        is exactly what the device sent, and every frame is still exact."""
        h = sluice64.attach(self.open(), self.dev.endpoint)
        checker = Checker(self.dev)
        self.dev.send('frames 40 cut')
        lengths = []
        while checker.frame < 40:
            buf = sluice64.readVideo(h)
            lengths.append(len(buf))
            checker.feed(buf)
        self.dev.reply('frames')
        expected = []
        for n in range(40):
            size = self.dev.frames[n]
            expected += [TRANSFER] * (size // TRANSFER) + [size % TRANSFER] * (size % TRANSFER > 0)
        self.assertEqual(lengths, expected)
        self.assertTrue(any(n % 512 for n in lengths), 'no short packet was sent')
        self.assertEqual(checker.checked, list(range(40)))

        self.dev.command('zlp')
        buf = sluice64.readVideo(h)
        self.assertEqual(len(buf), 0)
        checker.feed(buf)

        read_stream(self.dev, h, checker, 'send 30 4096', 'flush')
        sluice64.detach(h)


class Detach(DeviceCase):
    def test_detach_drains(self):
        """detach leaves nothing queued on the descriptor whatever state the
        16 requests are in, dropping an attached handle does the same, and a
        new reader on the same descriptor then streams exactly."""
        fd = self.open()
        h = sluice64.attach(fd, self.dev.endpoint)  # all 16 waiting for data
        start = time.time()
        sluice64.detach(h)
        self.assertLess(time.time() - start, 5)
        self.assertNothingQueued(fd, 'after detach with 16 in flight')
        self.assertRaises(EOFError, sluice64.readVideo, h)
        sluice64.detach(h)
        del h

        h = sluice64.attach(fd, self.dev.endpoint)
        self.dev.command('send 5')  # 5 completed and not reaped, 11 in flight
        sluice64.detach(h)
        self.assertNothingQueued(fd, 'after detach with completed requests')
        del h

        h = sluice64.attach(fd, self.dev.endpoint)
        self.dev.command('send 3')
        buf = sluice64.readVideo(h)  # one handed out, 2 completed, 13 in flight
        held = bytes(buf)
        sluice64.detach(h)
        self.assertNothingQueued(fd, 'after detach with one slot handed out')
        self.assertEqual(bytes(buf), held, 'detach changed the buffer handed out last')
        del buf, h

        h = sluice64.attach(fd, self.dev.endpoint)
        self.dev.command('send 2')
        del h  # never detached: the destructor drains
        self.assertNothingQueued(fd, 'after the last reference to an attached handle went')

        # The bytes drained above are lost to the stream: start it anew.
        first = int(self.dev.command('restart')[0])
        h = sluice64.attach(fd, self.dev.endpoint)
        checker = Checker(self.dev, first)
        read_stream(self.dev, h, checker, 'frames 10')
        self.assertEqual(checker.checked, list(range(first, first + 10)))
        sluice64.detach(h)
        self.assertNothingQueued(fd, 'at the end')


class Unplug(DeviceCase):
    def check_gone(self, h, errors):
        print('errors after the unplug: %s' % [errno.errorcode.get(e, e) for e in errors])
        self.assertTrue(errors, 'no error after the unplug')
        self.assertTrue(set(errors) <= set(UNPLUG_ERRORS + (errno.ENOBUFS,)),
                        'unexpected errors: %s' % errors)
        start = time.time()
        self.assertRaises(IOError, sluice64.readVideo, h)
        sluice64.detach(h)
        self.assertLess(time.time() - start, 5, 'detach after the unplug was slow')
        self.assertRaises(EOFError, sluice64.readVideo, h)

    def test_completed_transfers_outlive_unplug(self):
        """Transfers that completed before the device went are still
        delivered, in order and exact, ahead of the errors of those that
        were in flight."""
        h = sluice64.attach(self.open(), self.dev.endpoint)
        checker = Checker(self.dev)
        # The pause lets the controller finish the last request: the device's
        # zero-length packet "completes" as soon as it is in its FIFO.
        self.dev.send('frames 3', 'pause 500', 'unplug')
        self.dev.reply('unplug')
        errors, buffers = read_until_gone(h, checker)
        self.assertEqual(checker.checked, [0, 1, 2])
        self.check_gone(h, errors)
        # Each request ends once: with its data, or with the error of a
        # transfer cut off (a failed resubmission is ENODEV instead).
        cut_off = [e for e in errors if e in (errno.EPROTO, errno.ESHUTDOWN)]
        self.assertEqual(len(cut_off), 16 - buffers)

    def test_unplug_mid_stream(self):
        """The device unbinds itself while the host reads: what arrives is the
        stream in order (every frame that arrived whole is exact), the rest
        ends in clean IOErrors, detach returns promptly, and after the device
        comes back a new reader on a new descriptor streams exactly."""
        fd = self.open()
        h = sluice64.attach(fd, self.dev.endpoint)
        checker = Checker(self.dev)
        self.dev.send('frames 30', 'unplug')
        errors, _ = read_until_gone(h, checker)
        self.dev.reply('frames')
        self.dev.reply('unplug')
        self.check_gone(h, errors)
        self.assertEqual(checker.checked, list(range(len(checker.checked))))
        self.assertGreater(len(checker.checked), 20)
        del h

        # The process goes on: the device comes back under a new node.
        first = int(self.dev.command('restart')[0])
        self.dev.plug()
        h = sluice64.attach(self.open(), self.dev.endpoint)
        checker = Checker(self.dev, first)
        read_stream(self.dev, h, checker, 'frames 5')
        sluice64.detach(h)

    def test_unplug_while_waiting(self):
        """A readVideo blocked on an idle device returns an IOError when the
        device goes."""
        h = sluice64.attach(self.open(), self.dev.endpoint)
        self.dev.send('pause 300', 'unplug')
        errors, buffers = read_until_gone(h)
        self.assertEqual(buffers, 0)
        self.check_gone(h, errors)

    def test_device_program_dies(self):
        """The gadget program killed mid-stream takes the device with it:
        clean IOErrors, no hang."""
        h = sluice64.attach(self.open(), self.dev.endpoint)
        self.dev.send('send 100000')
        for _ in range(20):
            sluice64.readVideo(h)
        self.dev.proc.kill()
        errors, buffers = read_until_gone(h)
        self.assertLessEqual(buffers, 16)
        self.check_gone(h, errors)


class Stall(DeviceCase):
    def test_stall(self):
        """A transfer ended by a stall raises IOError 32; the 15 transfers
        left keep the stream going, exactly."""
        h = sluice64.attach(self.open(), self.dev.endpoint)
        checker = Checker(self.dev)
        self.dev.command('send 16')  # every request completed, none queued
        checker.feed(sluice64.readVideo(h))
        self.dev.command('stall')
        # Gives slot 0 back into the halted endpoint and returns slot 1.
        checker.feed(sluice64.readVideo(h))
        time.sleep(1)  # the controller fails slot 0 at its next frame, 125 us away
        self.dev.command('clear')
        for _ in range(14):
            checker.feed(sluice64.readVideo(h))
        with self.assertRaises(IOError) as cm:
            sluice64.readVideo(h)
        self.assertEqual(cm.exception.errno, errno.EPIPE)
        read_stream(self.dev, h, checker, 'send 60', 'flush')
        sluice64.detach(h)

    def test_stall_with_every_request_queued(self):
        """A halted endpoint fails every request queued on it, not just one:
        16 IOErrors 32, then the empty ring says so instead of waiting for
        ever."""
        h = sluice64.attach(self.open(), self.dev.endpoint)
        self.dev.command('stall')
        errors, buffers = read_until_gone(h)
        self.assertEqual(buffers, 0)
        self.assertEqual(errors, [errno.EPIPE] * 16 + [errno.ENOBUFS] * 3)
        sluice64.detach(h)


class Waiting(DeviceCase):
    def test_other_thread_runs(self):
        """readVideo lets go of the interpreter while it waits: the device is
        told to send only by another Python thread, after it has counted."""
        h = sluice64.attach(self.open(), self.dev.endpoint)
        counted = []

        def other():
            n = 0
            for n in range(200000):
                pass
            counted.append(n)
            self.dev.send('send 1')

        t = threading.Thread(target=other)
        t.start()
        buf = sluice64.readVideo(h)
        t.join()
        self.assertEqual(len(buf), TRANSFER)
        self.assertEqual(counted, [199999])
        sluice64.detach(h)

    def test_detach_from_other_thread(self):
        """A detach made by another thread while readVideo waits on an idle
        device ends the wait with EOFError, and leaves nothing queued."""
        fd = self.open()
        h = sluice64.attach(fd, self.dev.endpoint)
        t = threading.Timer(0.5, sluice64.detach, (h,))
        t.start()
        self.assertRaises(EOFError, sluice64.readVideo, h)
        t.join()
        self.assertNothingQueued(fd, 'after the detach')

    def test_signals_during_wait(self):
        """Signals arriving during the wait do not end it: readVideo returns
        the transfer, and the Python handlers run afterwards."""
        h = sluice64.attach(self.open(), self.dev.endpoint)
        caught = []
        old = signal.signal(signal.SIGALRM, lambda *a: caught.append(1))
        signal.setitimer(signal.ITIMER_REAL, 0.02, 0.02)
        try:
            self.dev.send('pause 500', 'send 1')
            buf = sluice64.readVideo(h)
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, old)
        self.assertEqual(len(buf), TRANSFER)
        self.assertTrue(caught, 'no signal arrived during the wait')
        sluice64.detach(h)


class Throughput(DeviceCase):
    width, height = 640, 480
    total = 16 << 20
    write = 1 << 18  # the gadget's write size; larger writes cost it fewer system calls
    rounds = 3

    def raw(self):
        p = subprocess.Popen([guest_usb.build_path('tests', 'support', 'usb_gadget', 'bulk_reader'),
                              self.dev.path, str(self.dev.endpoint), str(self.total)],
                             stdout=subprocess.PIPE)
        self.dev.send('stream %d %d' % (self.total, self.write))
        out = p.communicate()[0].split()
        self.assertEqual(p.returncode, 0)
        return int(out[2]) / float(out[3])

    def python(self, capture):
        fd = self.dev.open()
        try:
            h = sluice64.attach(fd, self.dev.endpoint)
            tessera.createBuffer(self.width, self.height)
            self.dev.send('stream %d %d' % (self.total, self.write))
            got = timed = 0
            first = time.time()
            while got < self.total:
                buf = sluice64.readVideo(h)
                if got == 0:
                    first = time.time()
                else:
                    timed += len(buf)
                got += len(buf)
                if capture and tessera.videoSink(buf)[1]:
                    # A frame began: fetch what changed, as a capture host does.
                    for ty in range(self.height // 16):
                        for start, n in tessera.getChanges(ty, self.width // 16):
                            tessera.toRGBString(start, ty, n, 1)
            seconds = time.time() - first
            sluice64.detach(h)
        finally:
            os.close(fd)
        return timed / seconds

    def test_throughput(self):
        """The Python loops against a plain C reader in the same VM, on the
        same pre-encoded stream, best of alternating rounds. Reported, not
        asserted: under emulation the figures follow the host's load."""
        readers = [('raw_reader', self.raw), ('readvideo_loop', lambda: self.python(False)),
                   ('capture_loop', lambda: self.python(True))]
        best = {}
        for _ in range(self.rounds):
            for name, reader in readers:
                rate = reader() / 1e6
                self.dev.reply('stream')
                best[name] = max(best.get(name, 0), rate)
        raw = best['raw_reader']
        for name, _ in readers:
            guest_usb.figure(name, best[name], 'MB/s')
            guest_usb.figure(name + '_vs_raw', 100 * best[name] / raw, '%')
        print('raw C reader %.1f MB/s, readVideo loop %.1f MB/s (%.0f%%), capture loop '
              '%.1f MB/s (%.0f%%)' % (raw, best['readvideo_loop'],
                                      100 * best['readvideo_loop'] / raw, best['capture_loop'],
                                      100 * best['capture_loop'] / raw))


def read_png_rgb(path):
    """The pixel rows of an 8-bit RGB PNG whose rows are unfiltered, as the
    capture host writes it: ((width, height), bytes)."""
    data = open(path, 'rb').read()
    pos, idat, size = 8, [], None
    while pos < len(data):
        length, kind = struct.unpack('>I4s', data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b'IHDR':
            size = struct.unpack('>II', body[:8])
            assert body[8:10] == b'\x08\x02', 'not 8-bit RGB'
        elif kind == b'IDAT':
            idat.append(body)
        pos += 12 + length
    raw = zlib.decompress(b''.join(idat))
    line = size[0] * 3 + 1
    assert all(raw[r * line:r * line + 1] == b'\x00' for r in range(size[1])), 'filtered rows'
    return size, b''.join(raw[r * line + 1:(r + 1) * line] for r in range(size[1]))


GRABBER_IDS = '1209:0001'
USER = 1000
UDEVD = ('/usr/lib/systemd/systemd-udevd', '/lib/systemd/systemd-udevd')


def as_user(args, group):
    """`args` as USER with `group` as its only supplementary group. The
    interpreters may live in root's home (mode 0700), which would stop the
    user before the device does: in a mount namespace of the command's own,
    every such directory on the interpreter's path becomes an empty one that
    anyone may pass, holding only that path."""
    script = ['set -e']
    path = os.path.realpath(sys.executable)
    while True:
        parent = os.path.dirname(path)
        if parent == path:
            break
        if not os.stat(parent).st_mode & 0o001:
            child = os.path.join(parent, os.path.basename(path))
            script = script[:1] + [
                'hold=$(mktemp -d)', 'mount --bind %s "$hold"' % shlex.quote(child),
                'mount -t tmpfs -o mode=0755 tmpfs %s' % shlex.quote(parent),
                'mkdir %s' % shlex.quote(child),
                'mount --bind "$hold" %s' % shlex.quote(child)] + script[1:]
        path = parent
    script.append('exec setpriv --reuid=%d --regid=%d --groups=%d -- "$@"' % (USER, USER, group))
    return ['unshare', '--mount', 'sh', '-c', '\n'.join(script), 'sh'] + list(args)


class CaptureHost(DeviceCase):
    def setUp(self):
        if sys.version_info < (3, 8):
            self.skipTest('the capture host needs Python 3.8 or later')
        DeviceCase.setUp(self)

    def host(self, args, user_group=None, env=None):
        """(status, stdout, stderr) of the capture host, as USER in
        `user_group` when that is given."""
        script = os.path.join(os.environ['VM_SOURCE_DIR'], 'tools', 'python', 'capture.py')
        cmd = [sys.executable, '-S', script] + list(args)
        p = subprocess.Popen(cmd if user_group is None else as_user(cmd, user_group),
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             universal_newlines=True, env=env)
        out, err = p.communicate(timeout=120)
        print('$ %s\n%s%s' % (' '.join(args), out, err))
        return p.returncode, out, err

    def listed(self, out):
        """The gadget's row of a listing: (bus, port, node, whether it opens)."""
        rows = [re.match(r' +(\d{3}) +(\S+) +%s +tessera +tile stream grabber +(\S+) +(.*)$' %
                         GRABBER_IDS, line) for line in out.splitlines()]
        rows = [m.groups() for m in rows if m]
        self.assertEqual(len(rows), 1, 'the gadget is not listed once:\n' + out)
        return rows[0]

    def test_gadget_in_the_listing(self):
        """--list shows the gadget at its bus and port, with its ids, strings
        and node, and that root may open it."""
        status, out, _ = self.host(['--list'])
        self.assertEqual(status, 0)
        self.assertTrue(out.startswith('USB devices with a bulk IN endpoint:\n'), out)
        bus, port, node, access = self.listed(out)
        self.assertEqual((node, access), (self.dev.path, 'yes'))
        entry = os.path.join('/sys/bus/usb/devices', port)
        self.assertEqual(node, '/dev/bus/usb/%03d/%03d' % tuple(
            int(guest_usb.sysfs(entry, name)) for name in ('busnum', 'devnum')))
        self.assertEqual(bus, node.split('/')[-2])

    def test_user_captures_through_the_udev_rule(self):
        """The guest's own udevd, as a machine starts it, leaves the gadget to
        root: a user is refused, and told the command that prints a rule. That
        rule, put where the host says and applied with the commands it gives,
        lets the same user capture from it."""
        udevd = [p for p in UDEVD if os.access(p, os.X_OK)]
        if not udevd or not shutil.which('udevadm'):
            self.skipTest('the guest has no udev (Debian package udev)')
        status, rule, how = self.host(['--udev-rule', GRABBER_IDS])
        self.assertEqual(status, 0)
        plugdev = grp.getgrnam('plugdev').gr_gid
        home = tempfile.mkdtemp(dir=os.environ['TMPDIR'])
        os.chown(home, USER, USER)
        env = dict(os.environ, HOME=home, TMPDIR=home)
        png = os.path.join(home, 'user.png')
        rules_file = re.search(r'put this rule into (\S+), e\.g\.', how).group(1)
        commands = [line.strip().replace('sudo ', '') for line in how.splitlines()
                    if line.startswith('  sudo ')]
        self.assertEqual(len(commands), 1, how)
        # The cases run chrooted into the host's root, which udev's tools
        # would take for a chroot of an installation and leave alone.
        udev = dict(os.environ, SYSTEMD_IGNORE_CHROOT='1')
        # That root is read-only: an empty rules directory over its own.
        subprocess.check_call(['mount', '-t', 'tmpfs', 'tmpfs', os.path.dirname(rules_file)])
        try:
            subprocess.check_call([udevd[0], '--daemon'], env=udev)
            deadline = time.time() + 20
            while subprocess.call(['udevadm', 'control', '--ping'], env=udev) != 0:
                self.assertLess(time.time(), deadline, 'udevd does not answer')
                time.sleep(0.2)
            subprocess.check_call(['udevadm', 'trigger', '--action=add', '--subsystem-match=usb'],
                                  env=udev)
            subprocess.check_call(['udevadm', 'settle', '--timeout=60'], env=udev)

            status, out, _ = self.host(['--list'], plugdev, env)
            self.assertEqual(status, 0)
            access = self.listed(out)[3]
            self.assertTrue(access.startswith('no permission (owner root, group root, mode 0'),
                            access)
            self.assertTrue(access.endswith(
                ': tessera-capture --udev-rule %s prints a rule' % GRABBER_IDS), access)
            status, _, err = self.host(['--device', self.dev.path, '--frames', '1'], plugdev,
                                       env)
            self.assertEqual(status, 1)
            self.assertIn('cannot open %s: Permission denied (run tessera-capture --udev-rule '
                          '%s for a rule that lets you in)' % (self.dev.path, GRABBER_IDS), err)

            with open(rules_file, 'w') as f:
                f.write(rule)
            subprocess.check_call(['sh', '-c', commands[0]], env=udev)
            subprocess.check_call(['udevadm', 'settle', '--timeout=60'], env=udev)
            node = os.stat(self.dev.path)
            print('%s: owner %d, group %d, mode %04o' % (self.dev.path, node.st_uid,
                                                         node.st_gid, node.st_mode & 0o7777))
            self.assertEqual((node.st_gid, node.st_mode & 0o7777), (plugdev, 0o660))

            self.dev.send('frames 25')
            status, out, err = self.host(
                ['--device', self.dev.path, '--size', '%dx%d' % (self.width, self.height),
                 '--frames', '20', '--snapshot', png, '--timeout', '30'], plugdev, env)
            self.assertEqual(status, 0)
            self.assertIn(' 20 frames in ', err)
            want = tilestream.expand(tilestream.test_pattern(self.width, self.height, 19))
            self.assertTrue(read_png_rgb(png)[1] == b''.join(
                want[i:i + 3] for i in range(0, len(want), 4)), 'the snapshot is not frame 19')
        finally:
            subprocess.call(['udevadm', 'control', '--exit'], env=udev)
            subprocess.call(['umount', os.path.dirname(rules_file)])

    def test_capture_host_on_device(self):
        """The reference capture host, given the gadget's node with --device,
        stops after 20 frames and its snapshot is frame 19 of the pattern."""
        script = os.path.join(os.environ['VM_SOURCE_DIR'], 'tools', 'python', 'capture.py')
        if not os.path.exists(script):
            self.skipTest('tools/python/capture.py does not exist yet')
        png = os.path.join(os.environ['TMPDIR'], 'capture.png')
        self.dev.send('frames 25')
        p = subprocess.Popen([sys.executable, '-S', script, '--device', self.dev.path,
                              '--size', '%dx%d' % (self.width, self.height), '--frames', '20',
                              '--snapshot', png, '--timeout', '30'],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             universal_newlines=True)
        out = p.communicate()[0]
        print(out)
        self.assertEqual(p.returncode, 0)
        self.assertIn(' 20 frames in ', out)
        size, rgb = read_png_rgb(png)
        self.assertEqual(size, (self.width, self.height))
        want = tilestream.expand(tilestream.test_pattern(self.width, self.height, 19))
        self.assertTrue(rgb == b''.join(want[i:i + 3] for i in range(0, len(want), 4)),
                        'the snapshot is not frame 19')

    def test_capture_host_survives_unplugs_and_stalls(self):
        """A --record --reconnect run through 5 unplugs and 2 stalls: it goes
        on after each, counts the gadget's frames exactly, its recording
        replays to the last frame, and its descriptors and memory stay flat."""
        script = os.path.join(os.environ['VM_SOURCE_DIR'], 'tools', 'python', 'capture.py')
        # Each interpreter's run of the cases shares TMPDIR: a directory of its own.
        tmp = tempfile.mkdtemp(dir=os.environ['TMPDIR'])
        png, replayed, rec = [os.path.join(tmp, n) for n in ('live.png', 'replay.png', 'rec')]
        p = subprocess.Popen([sys.executable, '-S', script, '--device', self.dev.path,
                              '--size', '%dx%d' % (self.width, self.height), '--reconnect',
                              '--record', rec, '--snapshot', png, '--timeout', '0'],
                             stderr=subprocess.PIPE, universal_newlines=True)
        lines = []
        reader = threading.Thread(target=lambda: lines.extend(iter(p.stderr.readline, '')))
        reader.daemon = True
        reader.start()

        def wait_for(text, count=1):
            deadline = time.time() + 60
            while sum(text in l for l in lines) < count:
                self.assertLess(time.time(), deadline, 'no %r from the host: %s' % (text, lines))
                time.sleep(0.05)

        def sample():
            # The fewest over a moment: a chunk file or a sysfs file may be open.
            seen = []
            for _ in range(5):
                with open('/proc/%d/status' % p.pid) as f:
                    rss = [int(l.split()[1]) for l in f if l.startswith('VmRSS:')][0]
                seen.append((len(os.listdir('/proc/%d/fd' % p.pid)), rss))
                time.sleep(0.05)
            return min(seen)

        def timed(command):
            began = time.time()
            self.dev.command(command)
            return 1000 * (time.time() - began)

        wait_for('reading %s' % self.dev.path)
        stalls, replugs, samples = [], [], []
        for cycle in range(5):
            self.dev.command('frames 6')
            if cycle in (1, 3):
                # dummy_hcd refuses to halt an IN endpoint (EAGAIN) while the
                # gadget's last request is still on it.
                for attempt in range(50):
                    try:
                        self.dev.command('stall')
                        break
                    except AssertionError:
                        time.sleep(0.1)
                else:
                    self.fail('the gadget could not halt its endpoint')
                stalls.append(timed('frames 1'))  # taken once the halt is cleared
                wait_for('halt cleared', len(stalls))
            self.dev.command('pause 500')  # the last short write reaches the host
            self.dev.unplug()
            wait_for('went away', cycle + 1)
            self.dev.command('restart')
            self.dev.plug()
            replugs.append(timed('frames 1'))
            wait_for('is back after', cycle + 1)
            samples.append(sample())
        self.dev.command('frames 3')
        self.dev.command('pause 500')
        p.send_signal(signal.SIGINT)
        p.wait()
        reader.join()
        out = ''.join(lines)
        print(out)
        self.assertEqual(p.returncode, 0)
        sent = len(self.dev.frames)
        self.assertIn(' %d frames in ' % sent, out)
        self.assertIn('stalls 2, reconnects 5', out)
        print('stall to data %s ms, replug to data %s ms, (descriptors, RSS kB) %s' %
              (['%.0f' % t for t in stalls], ['%.0f' % t for t in replugs], samples))
        guest_usb.figure('stall_to_data_max', max(stalls), 'ms')
        guest_usb.figure('replug_to_data_max', max(replugs), 'ms')
        # No reader was kept for the kernel: every detach drained its ring.
        self.assertNotIn("keeping a reader's", out)
        # From the second cycle on, when the first stall's code has run once.
        # The recorder may hold one more file at the moment of a sample, and
        # its buffers and the allocator move the figure by a few hundred kB;
        # what a descriptor or a ring (263 kB) lost every cycle adds is more.
        self.assertLessEqual(samples[-1][0] - samples[1][0], 1, 'descriptors grew')
        self.assertLess(samples[-1][1] - samples[1][1], 1024, 'memory grew (kB)')

        want = tilestream.expand(tilestream.test_pattern(self.width, self.height, sent - 1))
        want = b''.join(want[i:i + 3] for i in range(0, len(want), 4))
        self.assertTrue(read_png_rgb(png)[1] == want, 'the live snapshot is not the last frame')
        status = subprocess.call([sys.executable, '-S', script, '--replay', rec, '--fast',
                                  '--snapshot', replayed])
        self.assertEqual(status, 0)
        self.assertTrue(read_png_rgb(replayed)[1] == want, 'the replay is not the last frame')



def psnr(a, b):
    """Peak signal-to-noise ratio of two byte strings of one length, in dB."""
    error = sum((x - y) * (x - y) for x, y in zip(bytearray(a), bytearray(b)))
    return 99.0 if not error else 10 * math.log10(255.0 * 255.0 * len(a) / error)


class Camera(DeviceCase):
    """The capture host as a camera: --v4l2 to the v4l2loopback device the
    init loaded, read by a V4L2 capture in C through mmap buffers."""

    fps = 30
    node = '/dev/video9'

    def capture(self, fmt, tmp, reader_first, unplug):
        """One capture with the camera; the picture read last against the
        capture's own snapshot of the frame it handed to the camera. With
        `unplug` the readers read while a --reconnect capture waits for the
        device."""
        script = os.path.join(os.environ['VM_SOURCE_DIR'], 'tools', 'python', 'capture.py')
        shots = os.path.join(tmp, fmt, 'frame.png')
        os.mkdir(os.path.dirname(shots))
        raw = os.path.join(tmp, fmt + '.raw')
        self.dev.command('restart')
        reader = [guest_usb.build_path('tests', 'support', 'camera_reader', 'camera_reader'),
                  self.node, str(2 * self.fps), raw]
        early = subprocess.Popen(reader, stdout=subprocess.PIPE) if reader_first else None
        p = subprocess.Popen([sys.executable, '-S', script, '--device', self.dev.path,
                              '--size', '%dx%d' % (self.width, self.height), '--timeout', '0',
                              '--v4l2', self.node, '--v4l2-format', fmt, '--fps', str(self.fps),
                              '--snapshot', shots, '--every', '1'] +
                             ['--reconnect'] * unplug,
                             stderr=subprocess.PIPE, universal_newlines=True)
        lines = []
        watcher = threading.Thread(target=lambda: lines.extend(iter(p.stderr.readline, '')))
        watcher.daemon = True
        watcher.start()
        self.dev.command('frames 8')
        self.dev.command('pause 500')  # the last short write reaches the host
        if unplug:
            self.dev.unplug()
            deadline = time.time() + 30
            while not any('went away' in line for line in lines):
                self.assertLess(time.time(), deadline, 'the capture did not see the unplug')
                time.sleep(0.05)
        if early:
            self.assertEqual(early.wait(60), 0)  # its frames came from the first picture on
        out = subprocess.check_output(reader, universal_newlines=True, timeout=60).split()
        # A reader that comes after another went: ffmpeg's own.
        late = subprocess.check_output(['ffmpeg', '-v', 'error', '-f', 'v4l2', '-i', self.node,
                                        '-frames:v', '10', '-f', 'rawvideo', '-pix_fmt', 'rgb24',
                                        '-'], timeout=60)
        # The frame the camera was given last, as the capture itself saw it.
        last = sorted(n for n in os.listdir(os.path.dirname(shots)) if n.startswith('frame-'))[-1]
        p.send_signal(signal.SIGINT)
        try:
            p.wait(60)
        finally:
            print(''.join(lines))
        self.assertEqual(p.returncode, 0)
        self.assertIn('camera %s: %dx%d %s' % (self.node, self.width, self.height, fmt),
                      ''.join(lines))
        self.assertEqual(out[:5], ['format', fmt, str(self.width), str(self.height),
                                   str(self.width * (2 if fmt == 'YUYV' else 3))])
        rate = (int(out[6]) - 1) / float(out[7])
        size, want = read_png_rgb(os.path.join(os.path.dirname(shots), last))
        self.assertEqual(size, (self.width, self.height))
        with open(raw, 'rb') as f:
            got = f.read()
        if fmt == 'YUYV':
            # The bytes read are our conversion of the picture, exactly...
            from tessera_capture.sinks import frame_convert
            rgbx = b''.join(want[i:i + 3] + b'\0' for i in range(0, len(want), 3))
            self.assertTrue(got == frame_convert.convert(fmt, rgbx, size[0] * 4, *size),
                            'the YUYV picture is not the conversion of the snapshot')
            # ... and back in RGB they agree with ffmpeg's own 4:2:2 of it.
            ffmpeg = ['ffmpeg', '-v', 'error']
            raw_in = ['-f', 'rawvideo', '-video_size', '%dx%d' % size, '-pix_fmt']
            rgb_out = ['-f', 'rawvideo', '-pix_fmt', 'rgb24', '-']
            got = subprocess.check_output(ffmpeg + raw_in + ['yuyv422', '-i', raw] + rgb_out)
            self.assertTrue(late[-len(got):] == got, 'ffmpeg read another picture')
            png = os.path.join(os.path.dirname(shots), last)
            theirs = subprocess.check_output(ffmpeg + ['-i', png, '-f', 'rawvideo', '-pix_fmt',
                                                       'yuyv422', '-'])
            theirs = subprocess.Popen(ffmpeg + raw_in + ['yuyv422', '-i', '-'] + rgb_out,
                                      stdin=subprocess.PIPE,
                                      stdout=subprocess.PIPE).communicate(theirs)[0]
            quality, loss = psnr(got, theirs), psnr(got, want)
            print('%s: %.1f frames/s, %.2f dB against ffmpeg\'s YUYV of %s, %.2f dB against '
                  'the picture itself (4:2:2 of a pattern sharp in colour)' %
                  (fmt, rate, quality, last, loss))
            guest_usb.figure('camera_yuyv_psnr_vs_ffmpeg', quality, 'dB')
            guest_usb.figure('camera_yuyv_psnr_vs_rgb', loss, 'dB')
            self.assertGreaterEqual(quality, 40.0)
        else:
            print('%s: %.1f frames/s against %s' % (fmt, rate, last))
            self.assertTrue(got == want, 'the RGB3 picture is not the snapshot')
            self.assertTrue(late[-len(want):] == want, 'ffmpeg read another picture')
        guest_usb.figure('camera_%s_fps' % fmt.lower(), rate, 'frames/s')
        # Under emulation a busy host costs the guest some ticks: 23 to 30 frames/s seen.
        self.assertGreater(rate, 0.6 * self.fps)
        self.assertLess(rate, 1.25 * self.fps)

    def setUp(self):
        if sys.version_info < (3, 8):
            self.skipTest('the capture host needs Python 3.8')
        if not os.path.exists(self.node):
            self.skipTest('no %s: the v4l2loopback module was not built or loaded' % self.node)
        DeviceCase.setUp(self)
        self.tmp = tempfile.mkdtemp(dir=os.environ['TMPDIR'])

    def test_yuyv(self):
        """The bytes read are the conversion of the capture's snapshot, and
        back in RGB within 40 dB of ffmpeg's own YUYV of it, at --fps."""
        self.capture('YUYV', self.tmp, False, False)

    def test_listed(self):
        """--list names the loopback device that --v4l2 can write to."""
        script = os.path.join(os.environ['VM_SOURCE_DIR'], 'tools', 'python', 'capture.py')
        out = subprocess.check_output([sys.executable, '-S', script, '--list'],
                                      universal_newlines=True, timeout=120)
        section = out.split('V4L2 loopback devices (--v4l2):\n', 1)
        self.assertEqual(len(section), 2, out)
        self.assertTrue(any(line.split()[:1] == [self.node] and line.endswith(' yes')
                            for line in section[1].splitlines()), out)

    def test_rgb3_second_capture(self):
        """After test_yuyv, a second capture on the same module load: RGB3
        byte for byte, with a reader there before the first frame, read on
        at --fps while --reconnect waits for the unplugged device."""
        self.capture('RGB3', self.tmp, True, True)

if __name__ == '__main__':
    unittest.main(argv=sys.argv[:1] + sys.argv[1:], verbosity=2)

"""sluice64 handles that outlive their descriptor or their process."""
import os
import subprocess
import sys
import threading
import unittest

PRELUDE = '''
import gc, os, sys, threading, time
import sluice64, usbfs_standin
'''


def run_python(code, deadline=30):
    """Runs `code` in a fresh interpreter; a run that hangs is killed."""
    p = subprocess.Popen([sys.executable, '-c', PRELUDE + code], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE)
    timer = threading.Timer(deadline, p.kill)
    timer.start()
    out, err = p.communicate()
    timer.cancel()
    return p.returncode, out.decode('utf-8'), err.decode('utf-8')


class ReopenedDescriptorTest(unittest.TestCase):
    # A host that closes the device and opens it again gets the same
    # descriptor number for a new file; the old handle must then leave that
    # file alone instead of reaping the new reader's transfers.
    SCRIPT = '''
old = usbfs_standin.Device()
first = old.fd
h_old = sluice64.attach(old.fd, 0x81)
old.feed(b'a' * 10)
assert bytes(sluice64.readVideo(h_old)) == b'a' * 10
old.close()  # the kernel drops the old file's requests with it
new = usbfs_standin.Device()
assert new.fd == first, (new.fd, first)
h_new = sluice64.attach(new.fd, 0x81)
new.record(True)
calls = len(new.calls())
%s
assert len(new.calls()) == calls, 'the old handle worked the new file'
new.feed(b'b' * 10)
assert bytes(sluice64.readVideo(h_new)) == b'b' * 10
sys.stdout.write('ok')
'''

    def check(self, release_old_handle):
        rc, out, err = run_python(self.SCRIPT % release_old_handle)
        self.assertEqual((rc, out), (0, 'ok'), err)
        # The old reader cannot drain its transfers: its record is never
        # freed, for the kernel may still complete into it.
        self.assertEqual(err.count('sluice64: keeping a reader'), 1, err)

    def test_dropping_the_old_handle(self):
        self.check('h_old = None; gc.collect()')

    def test_detaching_the_old_handle(self):
        self.check('sluice64.detach(h_old)')


class ForkedChildTest(unittest.TestCase):
    def test_child_leaves_the_parents_transfers_alone(self):
        # The child inherits a reader whose read is in progress in a thread
        # that the child does not have; its detach must neither wait for that
        # read nor cancel the parent's transfers.
        rc, out, err = run_python('''
dev = usbfs_standin.Device()
h = sluice64.attach(dev.fd, 0x81)
dev.record(True)
got = []
reader = threading.Thread(target=lambda: got.append(bytes(sluice64.readVideo(h))))
reader.start()
dev.wait_for_waiter()
calls = len(dev.calls())
pid = os.fork()
if pid == 0:
    try:
        sluice64.readVideo(h)
        os._exit(3)
    except EOFError:
        pass
    sluice64.detach(h)
    del h
    gc.collect()
    os._exit(0 if len(dev.calls()) == calls else 4)
_, status = os.waitpid(pid, 0)
assert status == 0, status
dev.feed(b'c' * 10)
reader.join()
assert got == [b'c' * 10], got
sluice64.detach(h)
sys.stdout.write('ok')
''')
        self.assertEqual((rc, out), (0, 'ok'), err)


if __name__ == '__main__':
    unittest.main()

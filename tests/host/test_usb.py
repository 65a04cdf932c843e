"""Finding and opening a grabber: VID:PID through sysfs, the bulk IN endpoint
from the descriptors, clear errors for devices that are not there or not
ours to open, the listing of devices and the udev rule that lets a user in."""
import grp
import os
import pickle
import pwd
import struct
import unittest

from tessera_capture import devices
from tessera_capture.errors import DeviceError
from tessera_capture.sources import usb as capture_usb
from host_common import TempDir, run_capture

NOBODY = 65534


def device_descriptor():
    return struct.pack('<BBHBBBBHHHBBBB', 18, 1, 0x200, 0, 0, 0, 64, 0x1234, 0x5678, 1, 0, 0, 0, 1)


def config(*parts):
    body = b''.join(parts)
    return struct.pack('<BBHBBBBB', 9, 2, 9 + len(body), 2, 1, 0, 0x80, 50) + body


def interface(number, alternate=0, endpoints=1):
    return struct.pack('<BBBBBBBBB', 9, 4, number, alternate, endpoints, 0xFF, 0, 0, 0)


def endpoint(address, attributes):
    return struct.pack('<BBBBHB', 7, 5, address, attributes, 512, 0)


class DescriptorTest(unittest.TestCase):
    def test_first_bulk_in_endpoint_of_the_default_settings(self):
        descriptors = device_descriptor() + config(
            interface(0), endpoint(0x83, 3),  # interrupt IN: not it
            interface(1), endpoint(0x02, 2), endpoint(0x81, 2),  # bulk OUT, bulk IN
            interface(1, alternate=1), endpoint(0x84, 2),  # not the default setting
            interface(2), endpoint(0x85, 2))
        descriptors += config(interface(0), endpoint(0x86, 2))  # a second configuration
        self.assertEqual(capture_usb.bulk_in_endpoints(descriptors), [(1, 0x81), (2, 0x85)])

    def test_damaged_descriptors_end_the_walk(self):
        good = device_descriptor() + config(interface(0), endpoint(0x81, 2))
        self.assertEqual(capture_usb.bulk_in_endpoints(good[:-3]), [])
        self.assertEqual(capture_usb.bulk_in_endpoints(good + b'\0\5'), [(0, 0x81)])
        self.assertEqual(capture_usb.bulk_in_endpoints(b''), [])


class FindTest(unittest.TestCase):
    def setUp(self):
        self.tmp = TempDir()

    def tearDown(self):
        self.tmp.remove()

    def device(self, name, **files):
        os.mkdir(self.tmp(name))
        for key, value in files.items():
            with open(self.tmp(name, key), 'w') as f:
                f.write(value + '\n')

    def test_vid_pid_through_sysfs(self):
        self.device('usb1', idVendor='1d6b', idProduct='0002', busnum='1', devnum='1')
        self.device('3-2', idVendor='1234', idProduct='abcd', busnum='3', devnum='17')
        self.device('1-4', idVendor='1234', idProduct='ABCD', busnum='1', devnum='5')
        self.device('1-4:1.0', bInterfaceNumber='00')  # an interface: no ids
        self.device('2-1', idVendor='1234', idProduct='abcd', busnum='2')  # going away
        self.assertEqual(capture_usb.find_devices(0x1234, 0xABCD, sysfs=self.tmp.path),
                         ['/dev/bus/usb/001/005', '/dev/bus/usb/003/017'])
        self.assertEqual(capture_usb.find_devices(0x1234, 0x1, sysfs=self.tmp.path), [])

    def test_device_found_again_at_its_port(self):
        # Plugged in again, the device has a new number; another device at
        # the same port, or the same ids at another port, are not it.
        self.device('1-4', idVendor='1234', idProduct='abcd', busnum='1', devnum='5')
        self.device('1-3', idVendor='1234', idProduct='abcd', busnum='1', devnum='9')
        dev = self.tmp('dev')
        locator = capture_usb.DeviceLocator(os.path.join(dev, '001', '005'),
                                            sysfs=self.tmp.path, dev=dev)
        self.assertEqual(locator.describe(), '1234:abcd at port 1-4')
        with open(self.tmp('1-4', 'devnum'), 'w') as f:
            f.write('6\n')
        self.assertEqual(locator.find(), os.path.join(dev, '001', '006'))
        with open(self.tmp('1-4', 'idProduct'), 'w') as f:
            f.write('abce\n')
        self.assertEqual(locator.find(), None)
        for name in os.listdir(self.tmp('1-4')):
            os.remove(self.tmp('1-4', name))
        os.rmdir(self.tmp('1-4'))
        self.assertEqual(locator.find(), None)

    def test_parse_vid_pid(self):
        self.assertEqual(capture_usb.parse_vid_pid('1234:abcd'), (0x1234, 0xABCD))
        for bad in ('1234', '1234:', 'xyz:1', '12345:1', '1:2:3'):
            self.assertRaises(ValueError, capture_usb.parse_vid_pid, bad)

    def test_missing_devices(self):
        with self.assertRaises(DeviceError) as caught:
            capture_usb.UsbDevice(self.tmp('nothing'))
        self.assertIn('cannot open', str(caught.exception))
        status, _, err = run_capture(['--device', self.tmp('nothing'), '--frames', '1'])
        self.assertEqual(status, 1)
        self.assertIn('cannot open', err)
        status, _, err = run_capture(['--find', 'ffff:fffe', '--frames', '1'])
        self.assertEqual(status, 1)
        self.assertIn('no USB device ffff:fffe', err)


def unprivileged(function):
    """function()'s result, or its exception raised here, as a user whom file
    modes bind: nobody, in a child process, when the tests run as root."""
    if os.geteuid() != 0:
        return function()
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        status = 1
        try:
            os.close(read_end)
            os.setgroups([])
            os.setgid(NOBODY)
            os.setuid(NOBODY)
            try:
                outcome = (True, function())
            except Exception as e:
                outcome = (False, e)
            with os.fdopen(write_end, 'wb') as f:
                pickle.dump(outcome, f)
            status = 0
        finally:
            os._exit(status)
    os.close(write_end)
    with os.fdopen(read_end, 'rb') as f:
        data = f.read()
    _, status = os.waitpid(pid, 0)
    if status != 0 or not data:
        raise AssertionError('the unprivileged child failed (status %d)' % status)
    ok, value = pickle.loads(data)
    if not ok:
        raise value
    return value


class FakeTree(object):
    """A sysfs device directory and a /dev/bus/usb that nobody may look into."""

    def __init__(self):
        self.tmp = TempDir()
        os.chmod(self.tmp.path, 0o755)
        self.sysfs, self.dev = self.tmp('sys'), self.tmp('dev')
        os.mkdir(self.sysfs)

    def device(self, port, ids, address, descriptors=None, node_mode=None, **strings):
        entry = os.path.join(self.sysfs, port)
        os.mkdir(entry)
        files = dict(strings, idVendor='%04x' % ids[0], idProduct='%04x' % ids[1],
                     busnum=str(address[0]), devnum=str(address[1]))
        for name, value in files.items():
            with open(os.path.join(entry, name), 'w', encoding='utf-8') as f:
                f.write(value + '\n')
        if descriptors is not None:
            with open(os.path.join(entry, 'descriptors'), 'wb') as f:
                f.write(descriptors)
        node = os.path.join(self.dev, '%03d' % address[0], '%03d' % address[1])
        if node_mode is not None:
            os.makedirs(os.path.dirname(node), exist_ok=True)
            open(node, 'w').close()
            os.chmod(node, node_mode)
        return node

    def remove(self):
        self.tmp.remove()


GRABBER = device_descriptor() + config(interface(0), endpoint(0x81, 2))
HUB = device_descriptor() + config(interface(0), endpoint(0x81, 3))


def owner_of(path):
    st = os.stat(path)
    return 'owner %s, group %s' % (pwd.getpwuid(st.st_uid)[0], grp.getgrgid(st.st_gid)[0])


class ListTest(unittest.TestCase):
    def setUp(self):
        self.tree = FakeTree()

    def tearDown(self):
        self.tree.remove()

    def listing(self):
        return unprivileged(
            lambda: devices.listing([devices.usb_section(self.tree.sysfs, self.tree.dev)]))

    def test_devices_with_a_bulk_in_endpoint_and_who_may_open_them(self):
        t = self.tree
        t.device('usb1', (0x1d6b, 2), (1, 1), HUB, 0o666, product='root hub')
        closed = t.device('1-4', (0x1209, 1), (1, 5), GRABBER, 0o444, manufacturer='tessera',
                          product='tile stream grabber')
        t.device('3-2', (0x1234, 0xabcd), (3, 17), GRABBER, manufacturer='A\x1b[2Jb')
        t.device('1-1', (0x1234, 0xabce), (1, 2), GRABBER, 0o666, product='open')
        t.device('2-1', (0x1234, 0xabcf), (2, 3), None, 0o666)  # no descriptors: not listed
        self.assertEqual(self.listing(), [
            'USB devices with a bulk IN endpoint:',
            '  BUS  PORT  VID:PID    MANUFACTURER  PRODUCT              %s  CAN OPEN' %
            'NODE'.ljust(len(t.dev) + 8),
            '  001  1-1   1234:abce  -             open                 %s/001/002  yes' % t.dev,
            '  001  1-4   1209:0001  tessera       tile stream grabber  %s/001/005  no permission'
            ' (%s, mode 0444): tessera-capture --udev-rule 1209:0001 prints a rule' %
            (t.dev, owner_of(closed)),
            '  003  3-2   1234:abcd  A\\x1b[2Jb     -                    %s/003/017  node missing' %
            t.dev])

    def test_none_attached(self):
        self.tree.device('usb1', (0x1d6b, 2), (1, 1), HUB, 0o666)
        self.assertEqual(self.listing(), ['no USB device with a bulk IN endpoint is attached'])
        # Nodes that are no V4L2 loopback device are not listed as one.
        self.assertEqual(devices.listing([devices.loopback_section(['/dev/null', '/nonexistent'])]),
                         [devices.loopback_section([]).none])
        status, out, _ = run_capture(['--list'])
        self.assertEqual(status, 0)
        self.assertTrue(out.startswith(('USB devices with a bulk IN endpoint:\n',
                                        'no USB device with a bulk IN endpoint is attached\n')),
                        out)

    def test_permission_denied_names_the_rule_command(self):
        t = self.tree
        node = t.device('1-4', (0x1209, 0xbeef), (1, 5), GRABBER, 0o444)
        elsewhere = t.tmp('grabber')
        open(elsewhere, 'w').close()
        os.chmod(elsewhere, 0o444)
        for path, ids in ((node, '1209:beef'), (elsewhere, 'VID:PID')):
            with self.assertRaises(DeviceError) as caught:
                unprivileged(lambda: capture_usb.UsbDevice(path, sysfs=t.sysfs, dev=t.dev))
            self.assertEqual(str(caught.exception), 'cannot open %s: Permission denied (run '
                             'tessera-capture --udev-rule %s for a rule that lets you in)' %
                             (path, ids))


class UdevRuleTest(unittest.TestCase):
    def test_rule_on_stdout_and_where_it_goes_on_stderr(self):
        status, out, err = run_capture(['--udev-rule', '1209:BEEF'])
        self.assertEqual(status, 0)
        self.assertEqual(out, 'SUBSYSTEM=="usb", ATTRS{idVendor}=="1209", '
                         'ATTRS{idProduct}=="beef", TAG+="uaccess", GROUP="plugdev", '
                         'MODE="0660"\n')
        self.assertIn('/etc/udev/rules.d/70-tessera-capture.rules', err)
        self.assertIn('sudo udevadm control --reload-rules && sudo udevadm trigger', err)

    def test_bad_command_lines_exit_2(self):
        for args, words in ((['--udev-rule', '1209:0001"'], 'expected VID:PID'),
                            (['--list', '--udev-rule', '1:2'], 'not allowed with'),
                            (['--udev-rule', '1:2', '--device', '/dev/null'], '--device is for')):
            status, out, err = run_capture(args)
            self.assertEqual((status, out), (2, ''), args)
            self.assertIn(words, err, args)


if __name__ == '__main__':
    unittest.main()

"""Finding and opening a grabber: VID:PID through sysfs, the bulk IN endpoint
from the descriptors, and clear errors for devices that are not there."""
import os
import struct
import unittest

from tessera_capture.errors import DeviceError
from tessera_capture.sources import usb as capture_usb
from host_common import TempDir, run_capture


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


if __name__ == '__main__':
    unittest.main()

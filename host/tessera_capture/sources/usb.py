"""Opening a grabber's USB device node for the capture host.

Finds the node of a VID:PID through sysfs, reads the device's descriptors to
pick its bulk IN endpoint, and claims the interface that holds it, detaching a
kernel driver that is bound to it (and binding that driver again on close).
"""
import errno
import fcntl
import glob
import os
import struct

SYSFS_USB_DEVICES = '/sys/bus/usb/devices'
DEV_BUS_USB = '/dev/bus/usb'


# Linux usbdevfs requests (linux/usbdevice_fs.h), as the ioctl numbers of x86-64.
def _ioc(direction, number, size):
    return (direction << 30) | (size << 16) | (ord('U') << 8) | number


_READ, _WRITE = 2, 1
USBDEVFS_GETDRIVER = _ioc(_WRITE, 8, 260)  # struct usbdevfs_getdriver
USBDEVFS_CLAIMINTERFACE = _ioc(_READ, 15, 4)  # unsigned int
USBDEVFS_RELEASEINTERFACE = _ioc(_READ, 16, 4)  # unsigned int
USBDEVFS_IOCTL = _ioc(_READ | _WRITE, 18, 16)  # struct usbdevfs_ioctl
USBDEVFS_CLEAR_HALT = _ioc(_READ, 21, 4)  # unsigned int
USBDEVFS_DISCONNECT = _ioc(0, 22, 0)
USBDEVFS_CONNECT = _ioc(0, 23, 0)

_DT_CONFIG, _DT_INTERFACE, _DT_ENDPOINT = 2, 4, 5
_BULK = 2


from ..errors import COMMAND, DeviceError


def parse_vid_pid(text):
    """'VID:PID' in hexadecimal, as lsusb shows it, to a pair of ints."""
    try:
        vid, pid = text.split(':')
        vid, pid = int(vid, 16), int(pid, 16)
    except ValueError:
        raise ValueError('expected VID:PID in hexadecimal, e.g. 1234:5678, not %r' % text)
    if not (0 <= vid <= 0xFFFF and 0 <= pid <= 0xFFFF):
        raise ValueError('VID and PID are 16-bit numbers: %r' % text)
    return vid, pid


def _read_sysfs(path):
    with open(path) as f:
        return f.read().strip()


def _sysfs_device(entry):
    """((vid, pid), (bus, devnum)) of a sysfs device entry, or None for
    interfaces and hubs without these files, or a device going away."""
    try:
        ids = tuple(int(_read_sysfs(os.path.join(entry, name)), 16)
                    for name in ('idVendor', 'idProduct'))
        address = tuple(int(_read_sysfs(os.path.join(entry, name)))
                        for name in ('busnum', 'devnum'))
    except (IOError, OSError, ValueError):
        return None
    return ids, address


def _node(dev, address):
    return os.path.join(dev, '%03d' % address[0], '%03d' % address[1])


def _devices(vid, pid, sysfs):
    """(bus and device number, port) of every attached device with these ids."""
    found = []
    for entry in glob.glob(os.path.join(sysfs, '*')):
        device = _sysfs_device(entry)
        if device and device[0] == (vid, pid):
            found.append((device[1], os.path.basename(entry)))
    return sorted(found)


def find_devices(vid, pid, sysfs=SYSFS_USB_DEVICES, dev=DEV_BUS_USB):
    """Device nodes of every attached device with this vendor and product id,
    in bus and device number order."""
    return [_node(dev, address) for address, _ in _devices(vid, pid, sysfs)]


class DeviceLocator(object):
    """Finds a device again after it went away: the same VID:PID at the same
    bus port, where the kernel gives the device a new number and node. A node
    that sysfs does not know (not under /dev/bus/usb) is looked for at the
    same path."""

    def __init__(self, path, sysfs=SYSFS_USB_DEVICES, dev=DEV_BUS_USB):
        self.path = path
        self.sysfs = sysfs
        self.dev = dev
        self.port = self.ids = None
        try:
            address = tuple(int(part) for part in os.path.relpath(path, dev).split(os.sep))
        except ValueError:
            return
        for entry in glob.glob(os.path.join(sysfs, '*')):
            device = _sysfs_device(entry)
            if device and device[1] == address:
                self.ids, self.port = device[0], os.path.basename(entry)
                return

    def describe(self):
        if self.port is None:
            return self.path
        return '%04x:%04x at port %s' % (self.ids + (self.port,))

    def find(self):
        """The node of the device if it is attached, else None."""
        if self.port is None:
            return self.path if os.path.exists(self.path) else None
        device = _sysfs_device(os.path.join(self.sysfs, self.port))
        if device is None or device[0] != self.ids:
            return None
        return _node(self.dev, device[1])


def bulk_in_endpoints(descriptors):
    """(interface, endpoint address) of every bulk IN endpoint in the first
    configuration's default alternate settings, in descriptor order."""
    found = []
    descriptors = bytearray(descriptors)  # indexes give ints under 2.7 and 3
    pos, configs, interface, alternate = 0, 0, None, None
    while pos + 2 <= len(descriptors):
        length, kind = descriptors[pos], descriptors[pos + 1]
        if length < 2 or pos + length > len(descriptors):
            break  # a damaged descriptor ends the walk
        if kind == _DT_CONFIG:
            configs += 1
            if configs > 1:
                break
        elif kind == _DT_INTERFACE and length >= 4:
            interface, alternate = descriptors[pos + 2], descriptors[pos + 3]
        elif kind == _DT_ENDPOINT and length >= 4 and interface is not None and alternate == 0:
            address, attributes = descriptors[pos + 2], descriptors[pos + 3]
            if address & 0x80 and attributes & 3 == _BULK:
                found.append((interface, address))
        pos += length
    return found


class UsbDevice(object):
    """An open device node with one claimed interface."""

    def __init__(self, path, endpoint=None, interface=None, sysfs=SYSFS_USB_DEVICES,
                 dev=DEV_BUS_USB):
        self.path = path
        self.fd = None
        self.claimed = None
        self.detached_driver = None
        try:
            self.fd = os.open(path, os.O_RDWR)
        except OSError as e:
            hint = ''
            if e.errno == errno.EACCES:
                ids = DeviceLocator(path, sysfs, dev).ids
                hint = ' (run %s --udev-rule %s for a rule that lets you in)' % (
                    COMMAND, '%04x:%04x' % ids if ids else 'VID:PID')
            raise DeviceError('cannot open %s: %s%s' % (path, e.strerror, hint))
        try:
            self.interface, self.endpoint = self._choose(endpoint, interface)
            self._claim(self.interface)
        except BaseException:
            self.close()
            raise

    def _choose(self, endpoint, interface):
        if endpoint is not None and interface is not None:
            return interface, endpoint
        try:
            descriptors = os.read(self.fd, 65536)
        except OSError as e:
            raise DeviceError('cannot read the descriptors of %s: %s' % (self.path, e.strerror))
        candidates = [(i, ep) for i, ep in bulk_in_endpoints(descriptors)
                      if (endpoint is None or ep == endpoint) and
                      (interface is None or i == interface)]
        if not candidates:
            raise DeviceError('%s has no bulk IN endpoint%s' % (
                self.path, '' if endpoint is None else ' 0x%02x' % endpoint))
        return candidates[0]

    def _usbfs_ioctl(self, code):
        fcntl.ioctl(self.fd, USBDEVFS_IOCTL, struct.pack('iiP', self.interface, code, 0))

    def _claim(self, interface):
        try:
            fcntl.ioctl(self.fd, USBDEVFS_CLAIMINTERFACE, struct.pack('I', interface))
        except IOError as e:
            if e.errno != errno.EBUSY:
                raise DeviceError('cannot claim interface %d of %s: %s' %
                                  (interface, self.path, e.strerror))
            # A kernel driver holds the interface: note its name, detach it, claim again.
            try:
                reply = fcntl.ioctl(self.fd, USBDEVFS_GETDRIVER,
                                    struct.pack('I256s', interface, b''))
                driver = struct.unpack('I256s', reply)[1].split(b'\0', 1)[0].decode('ascii', 'replace')
            except IOError:
                driver = 'a kernel driver'
            try:
                self._usbfs_ioctl(USBDEVFS_DISCONNECT)
                self.detached_driver = driver
                fcntl.ioctl(self.fd, USBDEVFS_CLAIMINTERFACE, struct.pack('I', interface))
            except IOError as e:
                raise DeviceError('cannot claim interface %d of %s from %s: %s' %
                                  (interface, self.path, driver, e.strerror))
        self.claimed = interface

    def clear_halt(self):
        """Clears a stall: the device resets its endpoint, and the kernel lets
        requests through it again."""
        fcntl.ioctl(self.fd, USBDEVFS_CLEAR_HALT, struct.pack('I', self.endpoint))

    def close(self):
        """Releases the interface, gives it back to the driver it was taken
        from, and closes the node. Errors of a device that has gone are ignored."""
        if self.fd is None:
            return
        try:
            if self.claimed is not None:
                fcntl.ioctl(self.fd, USBDEVFS_RELEASEINTERFACE, struct.pack('I', self.claimed))
            if self.detached_driver is not None:
                self._usbfs_ioctl(USBDEVFS_CONNECT)
        except IOError:
            pass
        finally:
            os.close(self.fd)
            self.fd = None

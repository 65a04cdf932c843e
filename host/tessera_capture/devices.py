"""What a user can capture from, for --list, and the udev rule of --udev-rule
that lets a user open a grabber without root.

The listing is a list of sections, each a kind of device with its own table,
so that other kinds of device join it as sections of their own.
"""
import collections
import glob
import grp
import os
import pwd
import stat

from .errors import COMMAND
from .sources.usb import DEV_BUS_USB, SYSFS_USB_DEVICES, _node, _sysfs_device, bulk_in_endpoints

UDEV_RULES_FILE = '/etc/udev/rules.d/70-tessera-capture.rules'
UDEV_GROUP = 'plugdev'

# `rows` are tuples of strings under `columns`; `none` is the line shown instead
# of an empty table.
Section = collections.namedtuple('Section', 'title columns rows none')


def _printable(text):
    """Device strings come from the device: control characters in them would
    reach the terminal, so they are shown escaped."""
    return ''.join(c if c.isprintable() else '\\x%02x' % ord(c) if ord(c) < 0x100 else
                   '\\u%04x' % ord(c) for c in text) or '-'


def _string(entry, name):
    try:
        with open(os.path.join(entry, name), encoding='utf-8', errors='replace') as f:
            return _printable(f.read().strip())
    except OSError:
        return '-'


def _name(lookup, number):
    try:
        return lookup(number)[0]
    except KeyError:
        return str(number)


def access_problem(node):
    """Why this user cannot open `node` for reading and writing, or None when
    it can."""
    try:
        st = os.stat(node)
    except FileNotFoundError:
        return 'node missing'
    except OSError as e:
        return 'cannot look at the node: %s' % e.strerror
    if os.access(node, os.R_OK | os.W_OK):
        return None
    return 'no permission (owner %s, group %s, mode %04o)' % (
        _name(pwd.getpwuid, st.st_uid), _name(grp.getgrgid, st.st_gid), stat.S_IMODE(st.st_mode))


def usb_section(sysfs=SYSFS_USB_DEVICES, dev=DEV_BUS_USB):
    """The attached USB devices with a bulk IN endpoint, in bus and device
    number order."""
    found = []
    for entry in glob.glob(os.path.join(sysfs, '*')):
        device = _sysfs_device(entry)
        if device is None:
            continue
        try:
            with open(os.path.join(entry, 'descriptors'), 'rb') as f:
                if not bulk_in_endpoints(f.read()):
                    continue
        except OSError:
            continue  # gone, or not a device we could read from anyway
        (vid, pid), address = device
        ids = '%04x:%04x' % (vid, pid)
        node = _node(dev, address)
        problem = access_problem(node)
        if problem and problem.startswith('no permission'):
            problem += ': %s --udev-rule %s prints a rule' % (COMMAND, ids)
        found.append((address, ('%03d' % address[0], os.path.basename(entry), ids,
                                _string(entry, 'manufacturer'), _string(entry, 'product'), node,
                                problem or 'yes')))
    return Section('USB devices with a bulk IN endpoint',
                   ('BUS', 'PORT', 'VID:PID', 'MANUFACTURER', 'PRODUCT', 'NODE', 'CAN OPEN'),
                   [row for _, row in sorted(found)],
                   'no USB device with a bulk IN endpoint is attached')


def loopback_section(nodes=None):
    """The v4l2loopback devices that --v4l2 can write to."""
    from .sinks.v4l2 import loopback_devices
    rows = [(node, _printable(card), access_problem(node) or 'yes')
            for node, card in loopback_devices(nodes)]
    return Section('V4L2 loopback devices (--v4l2)', ('NODE', 'CARD', 'CAN OPEN'), rows,
                   'no V4L2 loopback device (for a camera: sudo modprobe v4l2loopback '
                   'exclusive_caps=1 card_label="Tessera capture"; package v4l2loopback-dkms)')


def listing(sections):
    """The lines of --list: each section's title and aligned table, or its
    line for none."""
    lines = []
    for section in sections:
        if not section.rows:
            lines.append(section.none)
            continue
        table = [section.columns] + list(section.rows)
        widths = [max(len(row[i]) for row in table) for i in range(len(section.columns) - 1)]
        lines.append(section.title + ':')
        for row in table:
            lines.append('  ' + '  '.join([cell.ljust(w) for cell, w in zip(row, widths)] +
                                          [row[-1]]))
    return lines


def list_devices(out, sections=None):
    """Prints the listing; its exit status."""
    for line in listing([usb_section(), loopback_section()] if sections is None else sections):
        out.write(line + '\n')
    return 0


def udev_rule(vid, pid):
    """One rule line: the logged-in user's session gets the device (uaccess,
    applied by 73-seat-late.rules, so the file's number is below 73), and so
    does the group on machines nobody logs in to."""
    return ('SUBSYSTEM=="usb", ATTRS{idVendor}=="%04x", ATTRS{idProduct}=="%04x", '
            'TAG+="uaccess", GROUP="%s", MODE="0660"\n' % (vid, pid, UDEV_GROUP))


def print_udev_rule(ids, out, err):
    """The rule on `out`, where it goes and how udev takes it on `err`, so
    that `out` can be piped into the file; the exit status."""
    out.write(udev_rule(*ids))
    err.write(
        '%(cmd)s: put this rule into %(file)s, e.g.\n'
        '  %(cmd)s --udev-rule %(ids)s | sudo tee %(file)s\n'
        'then reload udev and apply it to the attached devices:\n'
        '  sudo udevadm control --reload-rules && sudo udevadm trigger\n'
        'and plug the device in again. The user logged in at the machine may then open it;\n'
        'elsewhere, members of the group %(group)s may (sudo usermod -aG %(group)s USER, then\n'
        'log in again); change GROUP="%(group)s" in the rule for another group.\n' % {
            'cmd': COMMAND, 'file': UDEV_RULES_FILE, 'ids': '%04x:%04x' % ids,
            'group': UDEV_GROUP})
    return 0

"""Runs the guest cases in a QEMU VM whose kernel has a software USB host
controller (dummy_hcd) joined to a FunctionFS gadget, so that sluice64 and the
capture path meet the real usbdevfs.

The kernel is Debian's linux-image package, fetched once with apt and cached
under the work directory; the initramfs holds busybox, the modules and guest_init.sh.
The guest mounts the host's root read-only over 9p, chroots into it and runs
guest_runner.py with this very interpreter, which writes its results to a
second, writable share.

Exit status: 0 when every case passed or was skipped, 1 on any failure, 77
(reported by CTest as skipped, with the reason on the last line) when this
machine cannot run the VM at all: no QEMU, no static busybox, or no Debian
kernel package to be had.

    run_vm.py --source-dir SRC --build-dir BUILD --work-dir BUILD/tests/vm [--cases A,B]
"""
import argparse
import glob
import os
import platform
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time
import zlib

import loopback_module

SKIP = 77
HERE = os.path.dirname(os.path.abspath(__file__))

# Modules the guest needs; their dependencies are added from each module's own
# "depends=" record. videodev (and mc) are for v4l2loopback, built apart.
ROOT_MODULES = ['virtio_pci', '9pnet_virtio', '9p', 'configfs', 'dummy_hcd', 'libcomposite',
                'usb_f_fs', 'videodev']


class Skip(Exception):
    pass


def text(data):
    """Bytes of the console as the native string type."""
    return data if str is bytes else data.decode('utf-8', 'replace')


def log(msg):
    sys.stdout.write('vm: %s\n' % msg)
    sys.stdout.flush()


def run(cmd, **kw):
    return subprocess.check_output(cmd, stderr=subprocess.STDOUT, **kw)


def which(name):
    for d in os.environ.get('PATH', '/usr/bin:/bin').split(os.pathsep):
        p = os.path.join(d, name)
        if os.access(p, os.X_OK):
            return p
    return None


# ---------------------------------------------------------------- the kernel

def norm(name):
    return name.replace('-', '_')


def module_depends(path):
    m = re.search(br'\x00depends=([^\x00]*)\x00', b'\x00' + open(path, 'rb').read())
    return [norm(d) for d in m.group(1).decode('ascii').split(',') if d] if m else []


def decompress_module(path, dest):
    data = open(path, 'rb').read()
    if path.endswith('.ko'):
        pass
    elif path.endswith('.ko.gz'):
        data = zlib.decompress(data, 16 + zlib.MAX_WBITS)
    elif path.endswith('.ko.xz'):
        data = run(['xz', '-dc', path])
    elif path.endswith('.ko.zst'):
        data = run(['zstd', '-dcq', path])
    else:
        raise RuntimeError('unknown module format: ' + path)
    with open(dest, 'wb') as f:
        f.write(data)


def extract_vmlinux(vmlinuz, dest):
    """The uncompressed kernel, which QEMU boots through its PVH entry point
    several seconds faster than the compressed image under emulation."""
    data = open(vmlinuz, 'rb').read()
    tries = [(b'\xfd7zXZ\x00', ['xz', '-dc', '--single-stream']),
             (b'\x28\xb5\x2f\xfd', ['zstd', '-dcq']),
             (b'\x1f\x8b\x08\x00', None)]
    for magic, cmd in tries:
        at = data.find(magic)
        if at < 0:
            continue
        try:
            if cmd is None:
                out = zlib.decompressobj(16 + zlib.MAX_WBITS).decompress(data[at:])
            else:
                p = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=open(os.devnull, 'w'))
                out = p.communicate(data[at:])[0]
        except (OSError, zlib.error):
            continue
        if out.startswith(b'\x7fELF'):
            with open(dest, 'wb') as f:
                f.write(out)
            return True
    return False


def kernel_package():
    """The versioned image package that Debian's linux-image-amd64 points at."""
    for attempt in range(2):
        try:
            out = run(['apt-cache', 'depends', 'linux-image-amd64']).decode('utf-8', 'replace')
            m = re.search(r'Depends:\s*(linux-image-[0-9][^\s]*-amd64)\s', out)
            if m:
                return m.group(1)
        except (OSError, subprocess.CalledProcessError):
            pass
        if attempt == 0 and os.geteuid() == 0:
            log('apt lists lack linux-image-amd64; running apt-get update')
            try:
                run(['apt-get', 'update', '-qq'])
            except (OSError, subprocess.CalledProcessError):
                break
    raise Skip('cannot resolve the Debian kernel package linux-image-amd64 (no apt lists?)')


def fetch_kernel(cache):
    """Returns the directory of a cached kernel: vmlinux or vmlinuz, modules/, load-order."""
    done = sorted(glob.glob(os.path.join(cache, '*', 'load-order')))
    # A cache from before a module joined the list is fetched again.
    if done and set(ROOT_MODULES) <= set(open(done[-1]).read().split()):
        return os.path.dirname(done[-1])
    pkg = kernel_package()
    tmp = tempfile.mkdtemp(prefix='fetch-', dir=cache)
    try:
        log('fetching %s' % pkg)
        try:
            run(['apt-get', 'download', pkg], cwd=tmp)
        except (OSError, subprocess.CalledProcessError) as e:
            raise Skip('cannot download %s: %s' % (pkg, getattr(e, 'output', e)))
        deb = glob.glob(os.path.join(tmp, '*.deb'))[0]
        root = os.path.join(tmp, 'root')
        os.mkdir(root)
        run(['dpkg-deb', '-x', deb, root])
        vmlinuz = glob.glob(os.path.join(root, 'boot', 'vmlinuz-*'))[0]
        config = open(glob.glob(os.path.join(root, 'boot', 'config-*'))[0]).read()
        mods, builtin = {}, set()
        for moddir in glob.glob(os.path.join(root, 'lib', 'modules', '*')) + \
                glob.glob(os.path.join(root, 'usr', 'lib', 'modules', '*')):
            listing = os.path.join(moddir, 'modules.builtin')
            if os.path.exists(listing):
                builtin.update(norm(os.path.basename(l.strip()).split('.ko')[0])
                               for l in open(listing))
            for dirpath, _, files in os.walk(moddir):
                for f in files:
                    m = re.match(r'(.*)\.ko(\.xz|\.zst|\.gz)?$', f)
                    if m:
                        mods[norm(m.group(1))] = os.path.join(dirpath, f)

        dest = os.path.join(cache, os.path.basename(deb)[:-4])
        shutil.rmtree(dest, ignore_errors=True)
        os.makedirs(os.path.join(dest, 'modules'))
        order, seen = [], set()

        def visit(name, chain):
            if name in seen:
                return
            if name not in mods:
                if name in builtin:
                    return
                raise RuntimeError('module %s (needed by %s) is not in %s' %
                                   (name, ' <- '.join(chain) or 'the VM', pkg))
            seen.add(name)
            staged = os.path.join(dest, 'modules', name + '.ko')
            decompress_module(mods[name], staged)
            for dep in module_depends(staged):
                visit(dep, chain + [name])
            order.append(name)

        for name in ROOT_MODULES:
            visit(name, [])
        if 'CONFIG_PVH=y' not in config or \
                not extract_vmlinux(vmlinuz, os.path.join(dest, 'vmlinux')):
            shutil.copy(vmlinuz, os.path.join(dest, 'vmlinuz'))
        with open(os.path.join(dest, 'load-order'), 'w') as f:
            f.write('\n'.join(order) + '\n')
        return dest
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


# ---------------------------------------------------------------- the initramfs

def is_static(path):
    """True for an ELF executable without a program interpreter."""
    with open(path, 'rb') as f:
        head = f.read(64)
        if head[:5] != b'\x7fELF\x02':
            return False
        phoff, = struct.unpack_from('<Q', head, 32)
        phentsize, phnum = struct.unpack_from('<HH', head, 54)
        for i in range(phnum):
            f.seek(phoff + i * phentsize)
            if struct.unpack('<I', f.read(4))[0] == 3:  # PT_INTERP
                return False
    return True


def cpio_newc(entries):
    """An uncompressed newc archive of (name, mode, data bytes) entries."""
    out = []
    for ino, (name, mode, data) in enumerate(entries + [('TRAILER!!!', 0, b'')], 1):
        fields = (ino, mode, 0, 0, 1, 0, len(data), 0, 0, 0, 0, len(name) + 1, 0)
        hdr = ('070701' + ''.join('%08X' % v for v in fields) + name + '\x00').encode('ascii')
        out.append(hdr + b'\x00' * (-len(hdr) % 4))
        out.append(data + b'\x00' * (-len(data) % 4))
    return b''.join(out)


def build_initramfs(kernel_dir, busybox, dest, extra_modules=()):
    """`extra_modules` are built apart; the init loads each with its options."""
    entries = [(d, 0o40755, b'') for d in ('bin', 'dev', 'proc', 'sys', 'host', 'results',
                                           'lib', 'lib/modules')]
    entries.append(('bin/busybox', 0o100755, open(busybox, 'rb').read()))
    entries.append(('init', 0o100755, open(os.path.join(HERE, 'guest_init.sh'), 'rb').read()))
    order = open(os.path.join(kernel_dir, 'load-order')).read()
    entries.append(('lib/modules/load-order', 0o100644, order.encode('ascii')))
    for name in order.split():
        entries.append(('lib/modules/%s.ko' % name, 0o100644,
                        open(os.path.join(kernel_dir, 'modules', name + '.ko'), 'rb').read()))
    if extra_modules:
        entries.append(('lib/modules/extra', 0o40755, b''))
    for path in extra_modules:
        entries.append(('lib/modules/extra/' + os.path.basename(path), 0o100644,
                        open(path, 'rb').read()))
    with open(dest, 'wb') as f:
        f.write(cpio_newc(entries))


# ---------------------------------------------------------------- the VM

def scratch_dir(avoid):
    """An existing, otherwise unused directory of the host root for the guest
    to mount its scratch space on, one that does not hide the project."""
    for d in ('/mnt', '/media', '/srv', '/opt'):
        if os.path.isdir(d) and not any(p == d or p.startswith(d + '/') for p in avoid):
            return d
    raise RuntimeError('no free mount point (/mnt, /media, /srv, /opt) in the host root')


class Console(threading.Thread):
    """Copies the serial console to a log file and notes the init's markers;
    keeps its last lines (bytes) for the report."""

    def __init__(self, stream, path):
        threading.Thread.__init__(self)
        self.daemon = True
        self.stream, self.path = stream, path
        self.marks = {}
        self.tail = []

    def run(self):
        with open(self.path, 'wb') as logf:
            for line in iter(self.stream.readline, b''):
                logf.write(line)
                logf.flush()
                self.tail = (self.tail + [line])[-40:]
                m = re.search(br'vm-init: (\w+)', line)
                if m and text(m.group(1)) not in self.marks:
                    self.marks[text(m.group(1))] = (time.time(), text(line.strip()))

    def last_lines(self, n=40):
        return text(b''.join(self.tail[-n:]))


def boot(args, kernel_dir, initrd, results, accel):
    kernel = os.path.join(kernel_dir, 'vmlinux')
    if not os.path.exists(kernel):
        kernel = os.path.join(kernel_dir, 'vmlinuz')
    cmd = ['qemu-system-x86_64'] + accel + [
        '-smp', '2', '-m', '1024', '-nodefaults', '-display', 'none', '-no-reboot',
        '-serial', 'stdio', '-kernel', kernel, '-initrd', initrd,
        '-append', 'console=ttyS0 panic=-1 quiet loglevel=4 mitigations=off',
        '-virtfs', 'local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap',
        '-virtfs', 'local,path=%s,mount_tag=results,security_model=none' % results]
    start = time.time()
    proc = subprocess.Popen(cmd, stdin=open(os.devnull), stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT)
    console = Console(proc.stdout, os.path.join(args.work_dir, 'console.log'))
    console.start()
    deadline = start + args.timeout * len(args.python or [None])
    while proc.poll() is None:
        now = time.time()
        if 'start' not in console.marks and now - start > args.start_timeout:
            proc.kill()
            proc.wait()
            return start, console, 'no sign of the guest within %ds' % args.start_timeout
        if now > deadline:
            proc.kill()
            proc.wait()
            return start, console, 'timed out after %ds' % args.timeout
        time.sleep(0.2)
    console.join(5)
    if 'start' not in console.marks:
        return start, console, 'QEMU ended with status %d: %s' % (
            proc.returncode, console.last_lines(3).strip())
    return start, console, None


def accelerators(work_dir):
    """KVM first where it looks usable and has not failed here before; TCG always."""
    marker = os.path.join(work_dir, 'kvm-unusable')
    tcg = ('tcg', ['-accel', 'tcg,thread=multi', '-cpu', 'max'])
    kvm_ok = os.access('/dev/kvm', os.R_OK | os.W_OK) and not (
        os.path.exists(marker) and open(marker).readline().strip() == platform.release())
    return ([('kvm', ['-accel', 'kvm', '-cpu', 'host'])] if kvm_ok else []) + [tcg], marker


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--source-dir', required=True)
    ap.add_argument('--build-dir', required=True)
    ap.add_argument('--work-dir', required=True)
    ap.add_argument('--timeout', type=int, default=480,
                    help='seconds for the VM run, per interpreter')
    ap.add_argument('--start-timeout', type=int, default=40,
                    help='seconds until the guest must have started its init')
    ap.add_argument('--cases', default='', help='comma-separated case names (default: all)')
    ap.add_argument('--python', action='append', default=[],
                    help='an interpreter to run the guest cases with, one run each '
                    '(repeatable; default: this one)')
    args = ap.parse_args()
    pythons = [os.path.realpath(p) for p in args.python or [sys.executable]]
    for d in ('source_dir', 'build_dir', 'work_dir'):
        setattr(args, d, os.path.realpath(getattr(args, d)))

    try:
        if not which('qemu-system-x86_64'):
            raise Skip('qemu-system-x86_64 is not installed (Debian package qemu-system-x86)')
        busybox = which('busybox')
        if not busybox or not is_static(busybox):
            raise Skip('no static busybox (Debian package busybox-static)')
        try:
            run(['qemu-system-x86_64', '-version'])
        except (OSError, subprocess.CalledProcessError) as e:
            raise Skip('qemu-system-x86_64 does not run here: %s' % getattr(e, 'output', e))
        cache = os.path.join(args.work_dir, 'kernel')
        if not os.path.isdir(cache):
            os.makedirs(cache)
        kernel_dir = fetch_kernel(cache)
    except Skip as e:
        print('SKIPPED: %s' % e)
        return SKIP
    log('kernel %s' % os.path.basename(kernel_dir))
    extra = []
    try:
        extra.append(loopback_module.build(kernel_dir))
    except (loopback_module.BuildError, IndexError, OSError) as e:
        # Only the camera cases need it; they skip without /dev/video9.
        log('no v4l2loopback module: %s' % e)

    initrd = os.path.join(args.work_dir, 'initramfs.cpio')
    build_initramfs(kernel_dir, busybox, initrd, extra)
    results = os.path.join(args.work_dir, 'results')
    shutil.rmtree(results, ignore_errors=True)
    os.makedirs(results)
    with open(os.path.join(results, 'job.env'), 'w') as f:
        f.write('GUEST_PYTHONS="%s"\nSOURCE_DIR=%s\nBUILD_DIR=%s\nSCRATCH=%s\nCASES=%s\n' % (
            ' '.join(pythons), args.source_dir, args.build_dir,
            scratch_dir([args.source_dir, args.build_dir]), args.cases))

    options, kvm_marker = accelerators(args.work_dir)
    for name, accel in options:
        log('booting with %s' % name)
        start, console, error = boot(args, kernel_dir, initrd, results, accel)
        if error and name == 'kvm' and 'start' not in console.marks:
            log('KVM unusable (%s); falling back to TCG' % error)
            with open(kvm_marker, 'w') as f:
                f.write('%s\n%s\n' % (platform.release(), error))
            continue
        break
    return report(start, console, error, results, pythons)


def report(start, console, error, results, pythons):
    """Prints each interpreter's results (in results/runN, N in the order of
    `pythons`); 0 when every run finished with no failed case."""
    marks = console.marks
    if 'ready' in marks:
        log('guest ready after %.1f s' % (marks['ready'][0] - start))
    if 'exit' in marks:
        log('guest cases finished after %.1f s' % (marks['exit'][0] - start))
    unfinished, failed = [], False
    for n, python in enumerate(pythons):
        run_dir = os.path.join(results, 'run%d' % n)
        summary = os.path.join(run_dir, 'summary.txt')
        lines = open(summary).read().splitlines() if os.path.exists(summary) else []
        print('===== guest cases under %s' % python)
        for line in lines:
            print(line)
        for line in lines:
            words = line.split()
            if words[0] != 'case' or words[2] in ('ok', 'skipped'):
                continue
            failed = True
            path = os.path.join(run_dir, words[1] + '.log')
            if os.path.exists(path):
                print('----- %s' % words[1])
                sys.stdout.write(open(path).read()[-6000:])
        if 'done' not in lines:
            unfinished.append(python)
    if error or unfinished or 'fail' in marks:
        print('FAILED: %s' % (error or 'the guest did not finish its cases under %s' %
                                         ', '.join(unfinished)))
        print('----- last console lines')
        sys.stdout.write(console.last_lines())
        return 1
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())

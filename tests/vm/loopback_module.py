"""Builds the v4l2loopback module for the VM's kernel, once, into the kernel's
cache directory: the source from Debian's v4l2loopback-dkms, compiled against
the linux-headers (and linux-kbuild) packages of the same version as the
kernel image, all fetched with apt-get download and unpacked with dpkg-deb.

    loopback_module.py KERNEL_DIR    (prints the module's path)

KERNEL_DIR is a directory run_vm.py cached, named after the image package
(linux-image-ABI-amd64_VERSION_amd64).
"""
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile

SOURCE_PACKAGE = 'v4l2loopback-dkms'
MODULE = 'v4l2loopback.ko'


class BuildError(Exception):
    pass


def run(cmd, **kw):
    try:
        return subprocess.check_output(cmd, stderr=subprocess.STDOUT, **kw)
    except (OSError, subprocess.CalledProcessError) as e:
        out = getattr(e, 'output', b'') or b''
        raise BuildError('%s failed: %s' % (' '.join(cmd[:3]),
                                            out.decode('utf-8', 'replace')[-2000:] or e))


def header_packages(kernel_dir):
    """The packages (name=version) whose headers built this kernel."""
    m = re.match(r'linux-image-(.+)-amd64_([^_]+)_amd64$', os.path.basename(kernel_dir))
    if not m:
        raise BuildError('cannot tell the kernel version from %s' % kernel_dir)
    abi, version = m.groups()
    series = '.'.join(abi.split('.')[:2])
    return ['linux-headers-%s-amd64=%s' % (abi, version),
            'linux-headers-%s-common=%s' % (abi, version),
            'linux-kbuild-%s=%s' % (series, version)]


def build(kernel_dir):
    """The path of the module, built when it is not there yet."""
    module = os.path.join(kernel_dir, MODULE)
    if os.path.exists(module):
        return module
    tmp = tempfile.mkdtemp(prefix='v4l2loopback-', dir=kernel_dir)
    try:
        run(['apt-get', 'download', SOURCE_PACKAGE] + header_packages(kernel_dir), cwd=tmp)
        root = os.path.join(tmp, 'root')
        for deb in glob.glob(os.path.join(tmp, '*.deb')):
            run(['dpkg-deb', '-x', deb, root])
        src = os.path.join(root, 'usr', 'src')
        headers = glob.glob(os.path.join(src, 'linux-headers-*-amd64'))[0]
        common = glob.glob(os.path.join(src, 'linux-headers-*-common'))[0]
        source = glob.glob(os.path.join(src, 'v4l2loopback-*'))[0]
        # The headers' Makefile includes the common one by its installed path.
        makefile = os.path.join(headers, 'Makefile')
        text = open(makefile).read().replace('/usr/src/' + os.path.basename(common), common)
        with open(makefile, 'w') as f:
            f.write(text)
        run(['make', '-C', headers, 'M=' + source, 'modules'])
        shutil.copy(os.path.join(source, MODULE), module + '.part')
        os.rename(module + '.part', module)
        return module
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == '__main__':
    try:
        print(build(sys.argv[1]))
    except BuildError as e:
        sys.exit('loopback_module: %s' % e)

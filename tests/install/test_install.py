"""The capture host installed the way its users install it: offline with pip
into a fresh venv of Debian's python3, from a copy of the tracked tree that is
deleted before anything runs, and with cmake --install into a prefix. The
venv stays (TESSERA_INSTALL_VENV) for the host's suites that run against it.

Exit status 77 (a skip) only when the base interpreter cannot make a venv or
build offline and the missing Debian packages cannot be installed."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BASE_PYTHON = os.environ.get('TESSERA_INSTALL_PYTHON', '/usr/bin/python3')
VENV = os.environ.get('TESSERA_INSTALL_VENV') or os.path.join(tempfile.gettempdir(), 'tessera-venv')
BUILD = os.environ.get('TESSERA_INSTALL_BUILD')  # a built tree for cmake --install
PACKAGES = ['python3-venv', 'python3-setuptools', 'python3-wheel', 'python3-dev']
LIMIT = 600

# Nothing of the tree may reach the installed program through the environment.
CLEAN_ENV = {k: v for k, v in os.environ.items()
             if k not in ('PYTHONPATH', 'PYTHONHOME', 'PYTHON', 'TESSERA_BUILD_DIR', 'LD_PRELOAD')}
CLEAN_ENV['PIP_DISABLE_PIP_VERSION_CHECK'] = '1'

PROBE = """
import ensurepip, os, setuptools, sysconfig, venv, wheel
assert os.path.exists(os.path.join(sysconfig.get_paths()['include'], 'Python.h'))
"""

API_CHECK = """
import os, sys, tessera, sluice64, tessera_capture
from tessera_capture import native
with tessera_capture.open(size=(64, 48), frames=1) as capture:
    frame = next(iter(capture.frames()))
assert len(frame.pixels) == frame.width * frame.height * 4, (frame.width, frame.height)
assert (frame.width, frame.height) == (64, 48), (frame.width, frame.height)
for path in (tessera.__file__, sluice64.__file__, tessera_capture.__file__,
             native.load_library('tilestream')._name, native.load_library('frameconvert')._name):
    assert os.path.realpath(path).startswith(os.path.realpath(sys.prefix) + os.sep), path
print(tessera_capture.__version__)
"""


def run(command, cwd, limit=LIMIT):
    """(status, stdout and stderr together) of a command in a clean environment."""
    done = subprocess.run(command, cwd=cwd, env=CLEAN_ENV, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, universal_newlines=True, timeout=limit)
    return done.returncode, done.stdout


def base_python_ready():
    return os.path.exists(BASE_PYTHON) and run([BASE_PYTHON, '-c', PROBE], '/')[0] == 0


def install_debian_packages():
    """Tries apt-get as root; whether the base interpreter is ready afterwards."""
    if os.getuid() != 0 or not shutil.which('apt-get'):
        return False
    env = dict(CLEAN_ENV, DEBIAN_FRONTEND='noninteractive')
    for command in (['apt-get', 'update', '-qq'], ['apt-get', 'install', '-y', '-qq'] + PACKAGES):
        subprocess.call(command, env=env, stdout=subprocess.DEVNULL)
    return base_python_ready()


def copy_tracked_tree(dest):
    """The files git knows of (and new ones it does not ignore), as they are now."""
    listing = subprocess.check_output(['git', '-C', ROOT, 'ls-files', '-z', '--cached', '--others',
                                       '--exclude-standard'])
    for name in sorted(set(listing.decode().split('\0')) - {''}):
        source, target = os.path.join(ROOT, name), os.path.join(dest, name)
        if os.path.lexists(source):  # not a tracked file deleted in the work tree
            os.makedirs(os.path.dirname(target), exist_ok=True)
            shutil.copy2(source, target, follow_symlinks=False)


def read_signature(path):
    with open(path, 'rb') as f:
        return f.read(8)


PNG = b'\x89PNG\r\n\x1a\n'


def setUpModule():
    global WORK
    WORK = tempfile.mkdtemp(prefix='install-test-')
    shutil.rmtree(VENV, ignore_errors=True)
    status, out = run([BASE_PYTHON, '-m', 'venv', '--system-site-packages', VENV], WORK)
    assert status == 0, 'venv: ' + out
    source = os.path.join(WORK, 'source')
    copy_tracked_tree(source)
    status, out = run([os.path.join(VENV, 'bin', 'python'), '-m', 'pip', 'install',
                       '--no-build-isolation', '--no-index', source], WORK)
    assert status == 0, 'pip install:\n' + out
    shutil.rmtree(source)


def tearDownModule():
    shutil.rmtree(WORK)


class Installed(unittest.TestCase):
    def setUp(self):
        self.cwd = tempfile.mkdtemp(dir=WORK)

    def test_command_writes_a_snapshot(self):
        status, out = run([os.path.join(VENV, 'bin', 'tessera-capture'), '--size', '128x96',
                           '--seconds', '1', '--snapshot', 'x.png'], self.cwd)
        self.assertEqual(status, 0, out)
        self.assertEqual(read_signature(os.path.join(self.cwd, 'x.png')), PNG)

    def test_command_names_itself(self):
        status, out = run([os.path.join(VENV, 'bin', 'tessera-capture'), '--help'], self.cwd)
        self.assertEqual(status, 0, out)
        self.assertTrue(out.startswith('usage: tessera-capture '), out)

    def test_api_yields_frames_from_the_venv_alone(self):
        status, out = run([os.path.join(VENV, 'bin', 'python'), '-c', API_CHECK], self.cwd)
        self.assertEqual(status, 0, out)
        self.assertRegex(out, r'^\d+\.\d+\.\d+\n$')

    @unittest.skipUnless(BUILD, 'no built tree named (TESSERA_INSTALL_BUILD)')
    def test_cmake_install_into_a_prefix(self):
        prefix = os.path.join(self.cwd, 'prefix')
        status, out = run(['cmake', '--install', BUILD, '--prefix', prefix], self.cwd)
        self.assertEqual(status, 0, out)
        status, out = run([os.path.join(prefix, 'bin', 'tessera-capture'), '--size', '128x96',
                           '--frames', '2', '--snapshot', 'y.png'], self.cwd)
        self.assertEqual(status, 0, out)
        self.assertEqual(read_signature(os.path.join(self.cwd, 'y.png')), PNG)


if __name__ == '__main__':
    if not (base_python_ready() or install_debian_packages()):
        print('SKIP: %s cannot make a venv and build offline; install %s'
              % (BASE_PYTHON, ' '.join(PACKAGES)))
        sys.exit(77)
    unittest.main(verbosity=2)

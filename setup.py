"""Builds and installs the capture host: the package tessera_capture, its
shared libraries (in tessera_capture/lib), the modules tessera and sluice64 for
the interpreter that runs this file, and the command tessera-capture.

    python3 -m pip install .
    python3 -m pip install --no-build-isolation --no-index .   # offline

The native parts come from the project's CMake build, configured for exactly
this interpreter and without the tests, which need more than a compiler."""
import os
import re
import shutil
import subprocess
import sys

from setuptools import Extension, find_packages, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))
MODULES = ['tessera', 'sluice64']
LIBRARIES = ['tilestream', 'frameconvert']


def version():
    with open(os.path.join(ROOT, 'host', 'tessera_capture', '__init__.py')) as f:
        return re.search(r"^__version__ = '([^']+)'", f.read(), re.M).group(1)


class CMakeBuild(build_ext):
    """Runs the CMake build once for all modules, then places its outputs."""

    def build_extensions(self):
        if shutil.which('cmake') is None:
            sys.exit('setup.py: cmake not found on PATH; install CMake 3.18 or later '
                     '(apt-get install cmake)')
        build = os.path.join(os.path.abspath(self.build_temp), 'cmake')
        # PYTHON in the environment would override the cache variable.
        env = dict(os.environ, PYTHON=sys.executable)
        subprocess.check_call(['cmake', '-S', ROOT, '-B', build, '-DCMAKE_BUILD_TYPE=Release',
                               '-DTESSERA_TESTS=OFF', '-DTESSERA_PYTHON=' + sys.executable], env=env)
        jobs = self.parallel or os.cpu_count() or 1
        subprocess.check_call(['cmake', '--build', build, '-j', str(jobs), '--target'] + MODULES +
                              LIBRARIES, env=env)
        for ext in self.extensions:
            self._place(os.path.join(build, 'python', self.get_ext_filename(ext.name)),
                        self.get_ext_fullpath(ext.name))
        lib = os.path.join(self.build_lib, 'tessera_capture', 'lib')
        for name in LIBRARIES:
            so = 'lib%s.so' % name
            self._place(os.path.join(build, 'lib', so), os.path.join(lib, so))

    def _place(self, built, target):
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(built, target)
        os.chmod(target, 0o755)


setup(
    name='tessera-capture',
    version=version(),
    description='Capture host for the tessera USB video grabber, with its decoding modules',
    python_requires='>=3.8',
    package_dir={'': 'host'},
    packages=find_packages('host'),
    package_data={'tessera_capture': ['view/page.html']},
    ext_modules=[Extension(name, sources=[]) for name in MODULES],
    cmdclass={'build_ext': CMakeBuild},
    entry_points={'console_scripts': ['tessera-capture = tessera_capture.cli:main']},
    # The project's own CMake build directory is build/; setuptools keeps out of it.
    options={'build': {'build_base': os.path.join('build', 'setuptools')}},
    zip_safe=False,
)

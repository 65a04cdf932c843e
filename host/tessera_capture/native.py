"""The shared libraries of the host (the tile-stream encoder, ...), reached
with ctypes. Installed, they sit in the package's own lib directory; in a
build tree, in its lib directory: $TESSERA_BUILD_DIR, else the project's
default build directory. Also read by the modules' own Python 2.7 suites."""
import ctypes
import os

_HERE = os.path.dirname(os.path.abspath(__file__))


def _places():
    yield os.path.join(_HERE, 'lib')
    if os.environ.get('TESSERA_BUILD_DIR'):
        yield os.path.join(os.environ['TESSERA_BUILD_DIR'], 'lib')
    yield os.path.join(os.path.dirname(os.path.dirname(_HERE)), 'build', 'lib')


def load_library(name):
    """The library lib<name>.so as a ctypes.CDLL; ImportError without it."""
    for place in _places():
        path = os.path.join(place, 'lib%s.so' % name)
        if os.path.exists(path):
            return ctypes.CDLL(path)
    raise ImportError('lib%s.so not found; build the project first (./build.sh build)' % name)

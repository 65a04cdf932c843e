#!/usr/bin/env python3
"""Runs the capture host (the tessera_capture package) from a source tree:
the package from host/, the modules from $TESSERA_BUILD_DIR/python, else as
installed, else from the project's own build directory. Installed, the same
program is `tessera-capture`."""
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, 'host'))
if os.environ.get('TESSERA_BUILD_DIR'):
    sys.path.insert(0, os.path.join(os.environ['TESSERA_BUILD_DIR'], 'python'))
else:
    sys.path.append(os.path.join(ROOT, 'build', 'python'))
if sys.version_info < (3, 8):
    sys.exit('capture: the capture host needs Python 3.8 or later')
try:
    import tessera  # noqa: F401
except ImportError as e:
    sys.exit('capture: the modules are not built (%s); run ./build.sh build' % e)

from tessera_capture.cli import main  # noqa: E402

if __name__ == '__main__':
    sys.exit(main(prog='capture.py'))

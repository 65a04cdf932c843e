"""Files the outputs write, checked before the capture starts."""
import os


def unwritable(path):
    """The strerror of opening `path` for writing, or None; leaves no file
    behind that was not there before."""
    existed = os.path.exists(path)
    try:
        open(path, 'ab').close()
    except (IOError, OSError) as e:
        return e.strerror
    if not existed:
        os.remove(path)
    return None



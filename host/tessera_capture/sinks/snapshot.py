"""PNG snapshots of the picture: the last frame, and every N-th frame."""
import os

from ..errors import OutputError


def write_snapshot(frame, path):
    """Writes the frame's picture, cropped as the run crops; its (width, height)."""
    try:
        frame.save_png(path)
    except (IOError, OSError) as e:
        raise OutputError('cannot write %s: %s' % (path, e.strerror))
    return frame.width, frame.height


class EverySnapshot:
    """FILE-<frame>.png after every N-th frame. Frames that ended together in
    one buffer share a picture: each of their numbers due gets it."""

    def __init__(self, path, every):
        self.root, ext = os.path.splitext(path)
        self.ext = ext or '.png'
        self.every = every

    def due(self, number, count):
        return [n for n in range(number - count + 1, number + 1) if n % self.every == 0]

    def wants_pixels(self, number, count):
        return bool(self.due(number, count))

    def add(self, frame):
        for n in self.due(frame.number, frame.count):
            write_snapshot(frame, '%s-%06d%s' % (self.root, n, self.ext))

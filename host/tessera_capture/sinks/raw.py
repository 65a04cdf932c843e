"""Every frame as it is, raw RGBA, to a file or the standard output."""
from ..errors import VideoError
from .frame_queue import FrameQueue


class RawOutput:
    """Every frame as it is, to a file or the standard output."""

    def __init__(self, path, size, wait):
        self.path = path
        if path == '-':
            self.file = None
            fd = 1
        else:
            try:
                self.file = open(path, 'wb')
            except (IOError, OSError) as e:
                raise VideoError('cannot write %s: %s' % (path, e.strerror))
            fd = self.file.fileno()
        self.queue = FrameQueue(lambda: fd, size[0] * size[1] * 4, wait, 'raw writer')
        self.captured = 0
        # The newest frame, queued when the next one comes or at the end: the
        # capture's last frame is then written even when the reader is behind.
        self.held = None

    def name(self):
        return 'stdout' if self.path == '-' else self.path

    def add(self, frame):
        """False once the writing has failed."""
        self.captured += 1
        written = self.held is None or self.queue.put((self.held,))
        self.held = frame
        return written

    def failure(self):
        return 'cannot write raw frames to %s: %s' % (self.name(), self.queue.error.strerror)

    def close(self):
        if self.held is not None:
            self.queue.wait = True  # the capture is over: the last frame must not be dropped
            self.queue.put((self.held,))
        error = self.queue.finish()
        if self.file:
            try:
                self.file.close()
            except (IOError, OSError) as e:
                self.queue.error = error = error or e
        return self.failure() if error else None

    def summary(self):
        return 'raw frames to %s: %d of %d written, %d dropped while the reader was behind' % (
            self.name(), self.queue.written, self.captured, self.queue.dropped)



"""A bounded queue of frames, written to a descriptor by a thread of its own."""
import collections
import errno
import os
import threading

from ..pipes import widen_pipe

# The queue holds at most this many frames, and no more bytes than this.
QUEUE_FRAMES = 60
QUEUE_BYTES = 128 << 20
# The writers give way to the capture loop, and so does the ffmpeg a writer
# starts, which inherits its niceness: a busy machine then drops video frames
# rather than USB data.
NICER = 10


def _give_way():
    """Lowers this thread's scheduling priority by NICER."""
    tid = threading.get_native_id()
    try:
        os.setpriority(os.PRIO_PROCESS, tid, min(19, os.getpriority(os.PRIO_PROCESS, tid) + NICER))
    except OSError:
        pass  # a sandbox that refuses it leaves the thread as it was


def write_all(fd, data):
    view = memoryview(data)
    while len(view):
        try:
            view = view[os.write(fd, view):]
        except OSError as e:
            if e.errno != errno.EINTR:
                raise


class FrameQueue:
    """Frames written to a descriptor by a thread of their own, which first
    calls `start` for the descriptor (starting ffmpeg takes a while, which
    the capture loop does not wait out).

    Each entry is a frame: the buffers written for it, in order, and a
    stamp of the caller's. With the queue full, put() drops the frame and
    counts it; with `wait`, it waits for room instead."""

    def __init__(self, start, frame_bytes, wait, name):
        self.start = start
        self.limit = max(2, min(QUEUE_FRAMES, QUEUE_BYTES // frame_bytes))
        self.wait = wait
        self.entries = collections.deque()
        self.changed = threading.Condition()
        self.closing = False
        self.error = None  # the OSError that ended the writing
        self.dropped = 0
        self.written = 0
        self.thread = threading.Thread(target=self._run, name=name)
        self.thread.daemon = True
        self.thread.start()

    def put(self, parts, stamp=None):
        """Queues a frame, the buffers `parts`; False once the writing has
        failed."""
        with self.changed:
            while self.wait and len(self.entries) >= self.limit and self.error is None:
                self.changed.wait(0.1)
            if self.error is not None:
                return False
            if len(self.entries) < self.limit:
                self.entries.append((parts, stamp))
                self.changed.notify_all()
            else:
                self.dropped += 1
        return True

    def pending(self):
        """The number of frames queued and the stamp of the oldest (None
        when there is none)."""
        with self.changed:
            return len(self.entries), self.entries[0][1] if self.entries else None

    def _run(self):
        _give_way()
        try:
            fd = self.start()
            widen_pipe(fd)
            while True:
                with self.changed:
                    while not self.entries and not self.closing:
                        self.changed.wait()
                    if not self.entries:
                        return
                    parts = self.entries.popleft()[0]
                    self.changed.notify_all()
                for part in parts:
                    write_all(fd, part)
                self.written += 1
        except (IOError, OSError) as e:
            with self.changed:
                self.error = e
                self.entries.clear()
                self.changed.notify_all()

    def finish(self):
        """Waits until everything queued is written or the writing failed;
        returns the error, if any."""
        with self.changed:
            self.closing = True
            self.changed.notify_all()
        while self.thread.is_alive():
            self.thread.join(0.1)  # a timeout keeps Ctrl-C deliverable
        return self.error



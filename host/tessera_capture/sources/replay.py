"""A recording played back chunk by chunk."""
import time

from .. import recording
from .device import IDLE_POLL


class ReplaySource:
    """A recording played back chunk by chunk through playvideo, in order, at
    recorded speed (the gaps between the chunks' arrival times) or as fast as
    possible. `timestamp` is the arrival time of the chunk read last, in
    seconds since the epoch; `cut` says why the recording ended early, when
    its last file is cut short."""

    stop_at = None
    reconnects = 0

    def __init__(self, dirname, fast=False):
        self.name = dirname
        self.dirname = dirname
        self.fast = fast
        self.first, self.count, self.seconds = recording.read_head(dirname)
        self.reader = recording.RecordingReader(dirname, self.first, self.count)
        self.played = 0
        self.chunk = None
        self.timestamp = None
        self.frame_size = None
        self.clock = None  # (wall time, chunk time) of the first chunk

    @property
    def cut(self):
        return self.reader.cut

    def read(self, idle):
        chunk = self.reader.next_chunk()
        if chunk is None:
            return None
        if not self.fast and not self._wait_until(chunk.time, idle):
            return None
        self.chunk = chunk
        self.timestamp = chunk.time
        self.frame_size = (chunk.width, chunk.height)
        self.played += 1
        return chunk.raw

    def _wait_until(self, chunk_time, idle):
        now = time.time()
        if self.clock is None:
            self.clock = (now, chunk_time)
        due = self.clock[0] + (chunk_time - self.clock[1])
        while now < due:
            if idle():
                return False
            time.sleep(min(IDLE_POLL, due - now))
            now = time.time()
        return True

    def close(self):
        pass

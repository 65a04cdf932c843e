"""The capture loop: every buffer of a source to the decoder, and every
completed frame out as an immutable Frame, counted at the first-tile flag."""
import time

from . import framing
from .decoder import tile_edge
from .errors import PROG, CaptureError
from .frame import Frame, Picture
from .profile import Profile
from .sources.device import STOP_GRACE


class Capture:
    """Reads `source` until it ends or a stop, and yields from frames() each
    completed frame. `settings` gives the scale, grey, crop, frame and time
    limits; `recorder` takes every buffer as it arrives; `view` gets the
    frame size and the status figures; `pixels` says which frames carry a
    copy of the picture, from the frame's number and how many frames it
    completes. Frames carry their changed runs only with a view, the one
    that reads them: held for a frame, they would be fresh memory for every
    frame's export. Status lines go to `out`."""

    def __init__(self, settings, source, decoder, recorder=None, view=None, pixels=None,
                 status=(), out=None):
        self.settings = settings
        self.source = source
        self.decoder = decoder
        self.recorder = recorder
        self.view = view
        self.wants_pixels = pixels or (lambda number, count: False)
        self.status_parts = [source] + list(status)  # what adds to the status line
        self.out = out
        self.fed_at = None  # when the buffer last decoded arrived
        self.edge = tile_edge(settings.scale)
        self.frame_size = None
        self.picture = None
        self.tiles = (0, 0)
        self.frames_started = 0  # first-tile flags seen
        self.counter = framing.FrameCounter()
        self.frames_done = 0  # frames known to be complete
        self.bytes = 0
        self.changed = 0
        self.padding = 0
        self.bogus = 0
        self.reconnects = 0  # of the source, seen by the loop
        self.stop_reason = None
        self.stop_asked = None
        self.started = None
        self.elapsed = 0.0
        self.interval = (0.0, 0, 0, 0)  # time, frames, bytes, tiles at the last status line
        self.profile = Profile() if settings.profile else None
        timed = self.profile.wrap if self.profile else lambda name, f: f
        self.read = timed('source', source.read)
        self.feed = timed('videoSink', decoder.feed)
        self.get_changes = timed('getChanges', decoder.changes)
        self.export = timed('toRGBString', decoder.export)
        self.place = timed('picture', lambda *a: self.picture.put(*a))
        self.write_chunk = timed('recording', recorder.write) if recorder else None

    # Stopping ------------------------------------------------------------

    def ask_stop(self, reason):
        if self.stop_reason is None:
            self.stop_reason = reason
            self.stop_asked = time.time()
            self.source.stop_at = self.stop_asked

    def must_stop(self, at_frame_end):
        """Whether the run ends now. A frame count ends it at the end of that
        frame; Ctrl-C and --seconds at the end of the current frame, or after a
        short grace when no frame ends."""
        frames = self.settings.frames
        if at_frame_end and frames and self.frames_done >= frames:
            self.ask_stop('%d frames' % frames)
            return True
        if self.stop_reason is None:
            return False
        return at_frame_end or time.time() - self.stop_asked >= STOP_GRACE

    def idle(self):
        """Called while a source waits: status lines go on; True ends the wait."""
        self.tick()
        return self.stop_reason is not None

    # The loop ------------------------------------------------------------

    def resize(self, size):
        self.decoder.resize(size)
        self.frame_size = size
        self.picture = Picture(size, self.edge)
        self.tiles = self.picture.tiles
        if self.view:
            self.view.set_size(size, self.edge)
            self.view.status(self.view_fields(0.0, 0.0))

    def export_changes(self, count=True):
        """Every changed run, from one getChanges over the whole grid (a window
        that runs on through the rows, row-major), fetched with one toRGBString
        per tile row it covers: a tile row of pixels is small enough to stay in
        the caches on its way to the picture. With --grey the store is grey
        before it is read, so the picture is grey as it arrives."""
        if self.settings.grey:
            self.decoder.grey()
        wide, high = self.tiles
        runs = []
        keep = self.view is not None
        for start, length in self.get_changes(wide * high):
            if count:
                self.changed += length
            end = start + length
            while start < end:
                ty, tx = divmod(start, wide)
                width = min(wide - tx, end - start)
                data, size = self.export(tx, ty, width, self.settings.scale)
                self.place(tx, ty, data, size)
                if keep:
                    runs.append((tx, ty, data, size))
                start += width
        return runs

    def crop_rect(self):
        """(x, y, width, height) of the picture without its black borders
        when the run crops, else all of it."""
        picture = self.picture
        x, y, width, height = 0, 0, picture.width, picture.height
        edges = self.decoder.black_edges() if self.settings.crop else None
        if edges:
            left, right, top, bottom = edges
            edge = picture.edge
            x, y = left * edge // 16, top * edge // 16
            width = max(1, picture.width - right * edge // 16 - x)
            height = max(1, picture.height - bottom * edge // 16 - y)
        return x, y, width, height

    def _frame(self, number, count, runs, with_pixels=None):
        if with_pixels is None:
            with_pixels = self.wants_pixels(number, count)
        crop = self.crop_rect() if with_pixels else (0, 0, self.picture.width,
                                                     self.picture.height)
        return Frame(number, self.fed_at, count, self.picture, runs, crop, with_pixels)

    def frames_complete(self, last):
        """The frame of the changes of frames up to `last` once they are whole:
        far fewer and larger runs than after every buffer, and a picture that
        is never half a frame when the frame begins on a buffer's start.
        Frames that ended together in one buffer come out as one; a frame
        limit is never counted past."""
        runs = self.export_changes()
        if self.settings.frames:
            last = min(last, self.settings.frames)
        count, self.frames_done = last - self.frames_done, last
        return self._frame(last, count, runs)

    def frames(self):
        """Yields every completed frame until the source ends or a stop; the
        last frame also when it is partial. A failure of the source comes
        after the frame that was in the store when it happened."""
        self.started = time.time()
        self.interval = (self.started, 0, 0, 0)
        if self.settings.seconds:
            self.source.stop_at = self.started + self.settings.seconds
        failure = None
        try:
            at_frame_end = yield from self._loop()
        except CaptureError as e:
            at_frame_end, failure = False, e
        finally:
            self.elapsed = time.time() - self.started
        if self.picture is not None:
            runs = self.export_changes()
            if not at_frame_end and self.frames_started:
                # Every first-tile flag counts; the last frame may be partial.
                count, self.frames_done = self.frames_started - self.frames_done, \
                    self.frames_started
                yield self._frame(self.frames_done, count, runs)
        if failure is not None:
            raise failure

    def _loop(self):
        """Yields frames until the source ends or a stop; returns True when it
        stopped at the end of a frame."""
        while True:
            raw = self.read(self.idle)
            if raw is None:
                self.tick()  # a stop that the source saw first
                break
            source = self.source
            if source.frame_size != self.frame_size:
                self.resize(source.frame_size)
            if source.reconnects != self.reconnects:
                self.reconnects = source.reconnects
                self.decoder.restart()
            held = self.decoder.held(source.chunk)
            if self.frames_started > 0 and framing.begins_frame(held, raw, self.tiles):
                # The frame in the store is whole; this buffer starts the next.
                yield self.frames_complete(self.frames_started)
                if self.must_stop(True):
                    return True
            first = self.feed(raw, source.chunk)
            self.fed_at = time.time() if source.timestamp is None else source.timestamp
            self.bytes += len(raw)
            if self.write_chunk:
                self.write_chunk(held, self.frame_size[0], self.frame_size[1], raw)
            self.frames_started += self.counter.count(raw, held, self.decoder.held(), self.tiles,
                                                      first)
            if self.frames_started - 1 > self.frames_done:
                # The next frame began inside this buffer, where the last ones ended.
                yield self.frames_complete(self.frames_started - 1)
                if self.must_stop(True):
                    return True
            self.tick()
            if self.must_stop(False):
                break
        return False

    def final_frame(self):
        """The picture as the run left it, with its pixels; None without one."""
        if self.picture is None:
            return None
        return self._frame(self.frames_done, 0, (), with_pixels=True)

    # Status --------------------------------------------------------------

    def collect_stats(self):
        padding, bogus = self.decoder.stats()
        self.padding += padding
        self.bogus += bogus

    def tick(self):
        now = time.time()
        seconds = self.settings.seconds
        if seconds and now - self.started >= seconds:
            self.ask_stop('%g seconds' % seconds)
        then, frames, nbytes, changed = self.interval
        if now - then < 1.0:
            return
        self.collect_stats()
        dt = now - then
        fps, mbps = (self.frames_started - frames) / dt, (self.bytes - nbytes) / dt / 1e6
        if self.out:
            self.out.write('%s: %6.1f s %7.1f frames/s %7.1f MB/s %8d tiles/s  padding %d  '
                           'bogus %d%s\n' % (PROG, now - self.started, fps, mbps,
                                             int((self.changed - changed) / dt), self.padding,
                                             self.bogus, self.extra_status()))
            self.out.flush()
        if self.view:
            self.view.status(self.view_fields(fps, mbps))
        self.interval = (now, self.frames_started, self.bytes, self.changed)
        if self.recorder:
            self.recorder.tick()

    def extra_status(self):
        """What the source (stalls, reconnects, waiting for a device), the
        outputs (frames dropped) and the view (viewers, frames skipped for
        them, and the view server's errors when there are any) add to the
        status line, each part after two spaces."""
        text = ''.join(part.status() for part in self.status_parts if hasattr(part, 'status'))
        if self.view:
            viewers, skipped, errors = self.view.counts()
            text += '  viewers %d  skipped %d' % (viewers, skipped)
            if errors:
                text += '  errors %d' % errors
        return text

    def view_fields(self, fps, mbps, ended=False):
        """The figures of the view's status line."""
        picture = self.picture
        return {'source': self.source.name, 'size': self.frame_size or (0, 0),
                'picture': (picture.width, picture.height) if picture else (0, 0),
                'grey': self.settings.grey, 'fps': fps, 'mbps': mbps,
                'recording': self.settings.record, 'frames': self.frames_done, 'ended': ended}

    def ended_fields(self):
        elapsed = max(self.elapsed, 1e-9)
        return self.view_fields(self.frames_done / elapsed, self.bytes / 1e6 / elapsed,
                                ended=True)

    def summary(self, out):
        elapsed = max(self.elapsed, 1e-9)
        self.collect_stats()
        size = '%dx%d' % self.frame_size if self.frame_size else 'no picture'
        out.write('%s: %s, %s: %d frames in %.2f s (%.1f frames/s), %.1f MB (%.1f MB/s), '
                  '%d changed tiles (%d/s), padding %d, bogus %d%s%s\n' %
                  (PROG, self.source.name, size, self.frames_done, elapsed,
                   self.frames_done / elapsed, self.bytes / 1e6, self.bytes / 1e6 / elapsed,
                   self.changed, int(self.changed / elapsed), self.padding, self.bogus,
                   ', '.join(self.extra_status().split('  ')),
                   ', stopped after ' + self.stop_reason if self.stop_reason else ''))
        if self.decoder.dropped_packets:
            out.write('%s: dropped the rest of %d packet(s) whose beginning is not in the '
                      'recording\n' % (PROG, self.decoder.dropped_packets))
        if self.decoder.cut_packets:
            out.write('%s: dropped %d packet(s) whose end is not in the recording: the '
                      'stream stopped there (device gone)\n' % (PROG, self.decoder.cut_packets))
        if getattr(self.source, 'cut', None):
            out.write('%s: %s; replay ended there after %d chunks\n' %
                      (PROG, self.source.cut, self.source.played))
        if self.profile:
            self.profile.report(self.frames_done, elapsed, out)

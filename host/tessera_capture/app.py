"""A run of the capture host as a program: settings checked before anything
starts, the resources of the run opened and closed in order, Ctrl-C and
SIGTERM, the lines a user reads, and the exit status."""
import signal

from .decoder import Decoder
from .errors import PROG, CaptureError, OutputError, RecordingError, UsageError, VideoError
from .loop import Capture
from .recording import RecordingWriter
from .sinks.files import unwritable
from .sinks.outputs import FrameOutputs
from .sinks.snapshot import EverySnapshot, write_snapshot
from .sinks.v4l2 import DEFAULT_FORMAT as DEFAULT_CAMERA_FORMAT
from .sinks.v4l2 import Camera, check_camera
from .sinks.video import DEFAULT_FPS, plan_video
from .sources import open_source
from .sources.device import DeviceSource


class Plan:
    """Settings that have passed the checks, and the video they settled."""

    def __init__(self, settings, video):
        self.settings = settings
        self.video = video


def prepare(settings):
    """Refuses (UsageError) what cannot work, before anything starts: files
    the outputs cannot write, no ffmpeg, encoder arguments ffmpeg refuses, a
    camera device that is no V4L2 output."""
    for option, path in (('--video', settings.video), ('--raw', settings.raw)):
        if path and path != '-':
            problem = unwritable(path)
            if problem:
                raise UsageError('argument %s: cannot write %s: %s' % (option, path, problem))
    if settings.v4l2:
        check_camera(settings.v4l2)
    video = None
    if settings.video:
        video = plan_video(settings.video, settings.fps, settings.codec, settings.ffmpeg)
    return Plan(settings, video)


def report_error(out, error):
    """One line for a failure that ends the run; its exit status."""
    out.write('%s: error: %s\n' % (PROG, error))
    return 1


def _banner(out, settings, source):
    if isinstance(source, DeviceSource):
        device = source.device
        out.write('%s: reading %s, interface %d, endpoint 0x%02x%s\n' %
                  (PROG, device.path, device.interface, device.endpoint,
                   ' (taken from %s)' % device.detached_driver if device.detached_driver
                   else ''))
    if settings.replay:
        out.write('%s: replaying %s: %d files from %d.out, about %d s\n' %
                  (PROG, settings.replay, source.count, source.first, source.seconds))


def _close_recording(recorder, out):
    recorder.close()
    out.write('%s: recording %s: %d chunks; %d files kept, %d.out to %d.out\n' %
              (PROG, recorder.dirname, recorder.chunks, recorder.next - recorder.first,
               recorder.first, recorder.next - 1) if recorder.next else
              '%s: recording %s: no chunks\n' % (PROG, recorder.dirname))


class _Stop:
    """SIGINT and SIGTERM: the first ends the capture at the end of its frame
    (and the program with it); a second one at once."""

    SIGNALS = {signal.SIGINT: 'Ctrl-C', signal.SIGTERM: 'SIGTERM'}

    def __init__(self):
        self.capture = None
        self.reason = None
        self.previous = {s: signal.signal(s, self._stop) for s in self.SIGNALS}

    def _stop(self, signum, frame):
        if self.reason is not None or self.capture is None:
            raise KeyboardInterrupt
        self.reason = self.SIGNALS[signum]
        self.capture.ask_stop(self.reason)

    def restore(self):
        for s, handler in self.previous.items():
            signal.signal(s, handler)


def run(plan, out):
    """The run of checked settings; its exit status: 0, 1 after a failure,
    130 when interrupted before the capture could end its frame."""
    settings = plan.settings
    capture = source = recorder = outputs = view = camera = None
    status = 0
    stop = _Stop()
    try:
        if settings.snapshot:
            problem = unwritable(settings.snapshot)
            if problem:
                raise OutputError('cannot write %s: %s' % (settings.snapshot, problem))
        if settings.record:
            recorder = RecordingWriter(settings.record, settings.keep or 0)
        if settings.view:
            from .view import View
            view = View(settings.view)
            out.write('%s: view at %s\n' % (PROG, view.url))
        source = open_source(settings, lambda text: out.write('%s: %s\n' % (PROG, text)))
        _banner(out, settings, source)
        sinks = []
        if settings.video or settings.raw:
            # A replay loses nothing by waiting for the outputs; a live source would.
            outputs = FrameOutputs(plan.video, settings.raw, out, wait=bool(settings.replay))
            sinks.append(outputs)
        if settings.every:
            sinks.append(EverySnapshot(settings.snapshot, settings.every))
        if settings.v4l2:
            camera = Camera(settings.v4l2, settings.v4l2_format or DEFAULT_CAMERA_FORMAT,
                            settings.fps or DEFAULT_FPS, out)
            sinks.append(camera)
        # The view keeps its own picture from the frames' runs.
        pixel_sinks = tuple(sinks)
        capture = Capture(settings, source, Decoder(), recorder, view,
                          lambda n, c: any(s.wants_pixels(n, c) for s in pixel_sinks),
                          [outputs] if outputs else [], out)
        if view:
            sinks.append(view)
        stop.capture = capture
        try:
            for frame in capture.frames():
                for sink in sinks:
                    sink.add(frame)
        except CaptureError as e:
            status = report_error(out, e)
        # What arrived before a failure is still shown and summed up.
        try:
            if settings.snapshot:
                frame = capture.final_frame()
                if frame is None:
                    out.write('%s: no picture arrived; no snapshot written\n' % PROG)
                    status = status or 1
                else:
                    size = write_snapshot(frame, settings.snapshot)
                    out.write('%s: snapshot %s (%dx%d)\n' % ((PROG, settings.snapshot) + size))
        finally:
            capture.summary(out)
    except CaptureError as e:
        status = report_error(out, e)
    except KeyboardInterrupt:
        out.write('%s: interrupted\n' % PROG)
        status = 130
    finally:
        if source:
            source.close()
        if recorder:
            try:
                _close_recording(recorder, out)
            except RecordingError as e:
                status = report_error(out, e)
        if camera:
            try:
                camera.close()
            except OutputError as e:
                status = report_error(out, e)
        # After the recording's head: ffmpeg may take a while to finish.
        if outputs:
            try:
                outputs.close()
            except VideoError as e:
                status = report_error(out, e)
            except KeyboardInterrupt:
                # ffmpeg reads to the end of what it was given, and ends the file there.
                out.write('%s: interrupted; the video ends early\n' % PROG)
                status = 130
        stop.restore()
    if view:
        try:
            # Only a capture that ended by itself leaves its last frame on show.
            if capture and capture.picture is not None and status != 130 and not stop.reason:
                view.status(capture.ended_fields())
                out.write('%s: capture ended; the view shows its last frame until Ctrl-C\n' %
                          PROG)
                out.flush()
                view.serve_until_interrupted()
        finally:
            view.close()
    return status

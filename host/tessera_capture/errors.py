"""What ends a capture, as exceptions whose words are the ones the command
line prints after "capture: error: "."""


class CaptureError(Exception):
    """Any failure of a capture: catch this one to catch them all."""


class DeviceError(CaptureError):
    """A USB device that cannot be found, opened, claimed or read."""


class RecordingError(CaptureError):
    """A recording that cannot be written, or read back as written."""


class OutputError(CaptureError):
    """A snapshot that cannot be written."""


class VideoError(CaptureError):
    """A video or raw output that cannot be written."""


class ViewError(CaptureError):
    """A live view that cannot listen where it was asked to."""


class UsageError(CaptureError):
    """Settings that cannot work, found before anything starts: the command
    line exits with status 2, after its usage line when `usage`."""

    def __init__(self, message, usage=True):
        CaptureError.__init__(self, message)
        self.usage = usage

# The name every message of the host starts with.
PROG = 'capture'
# The installed command, as messages that suggest a command line name it.
COMMAND = 'tessera-capture'

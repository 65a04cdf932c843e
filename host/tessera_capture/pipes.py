"""Pipes the host writes through: ffmpeg's input, raw frames, the view's feed."""
import fcntl

# fcntl's name for it arrived in Python 3.10; the value is Linux's.
F_SETPIPE_SZ = 1031
# What an unprivileged process may ask for (/proc/sys/fs/pipe-max-size).
PIPE_BYTES = 1 << 20


def widen_pipe(fd):
    """Makes the pipe hold PIPE_BYTES: a frame crosses a 64 KiB pipe in over a
    hundred turns of writer and reader, and the view's feed overflows sooner.
    Anything but a pipe, or a lower limit, keeps what it has."""
    try:
        fcntl.fcntl(fd, F_SETPIPE_SZ, PIPE_BYTES)
    except OSError:
        pass

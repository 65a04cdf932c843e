"""The capture's side of the live view: the server runs in a process of its
own (server.py) at a lower priority, so that no viewer or request costs the
capture loop more than its share of the processors. The capture copies each
frame's runs into a picture in shared memory and tells the server which
rects changed through a pipe of small messages that never blocks: when the
pipe is full the changes are lost, and the server makes every viewer start
again from the whole picture. The server writes its counts into the head of
the shared memory. When the pipe ends, because the capture closed the view
or died, the server ends too."""
import binascii
import fcntl
import json
import mmap
import os
import select
import signal
import socket
import struct
import subprocess
import sys
import time

from ..errors import ViewError
from ..frame import Picture
from ..pipes import widen_pipe
from .requests import LOOPBACK_NAMES

# Messages: a uint32 byte count of what follows, a kind, then the kind's body.
FEED = struct.Struct('<IB')
CONFIG, SIZE, CHANGES, STATUS, LOST = 1, 2, 3, 4, 5
LAYOUT = struct.Struct('<HHHII')  # SIZE: width, height, edge, stride, rows
STAMP = struct.Struct('<Id')  # CHANGES: sequence, host time; then the rects
RECT = struct.Struct('<HHHH')
SEQUENCE = struct.Struct('<I')  # LOST: the frames published, some lost
# The shared memory: viewers, frames skipped for them, server errors, then the picture.
COUNTS = struct.Struct('<QQQ')
PICTURE_AT = 64
# Connects the kernel holds while the server, below the capture's priority, waits
# its turn: a burst of a thousand, without the client's one-second retry.
LISTEN_BACKLOG = 1024
CLOSE_WAIT = 5.0  # seconds for the server to end before it is killed
HOST_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def view_address(text):
    """(host, port) of '[HOST:]PORT'; an IPv6 address goes in brackets."""
    host, _, port = text.rpartition(':')
    if host.startswith('[') and host.endswith(']'):
        host = host[1:-1]
    elif ':' in host:
        raise ValueError('an IPv6 address goes in brackets, e.g. [::1]:8080')
    try:
        number = int(port)
    except ValueError:
        raise ValueError('expected [HOST:]PORT, e.g. 8080 or 0.0.0.0:8080')
    if not 0 <= number <= 65535:
        raise ValueError('port from 0 (any free one) to 65535')
    return host or '127.0.0.1', number


def message(kind, body=b''):
    return FEED.pack(len(body) + 1, kind) + body


def _listen(host, port):
    try:
        found = socket.getaddrinfo(host, port, 0, socket.SOCK_STREAM, 0, socket.AI_PASSIVE)
    except socket.gaierror as e:
        raise ViewError('cannot listen on %s: %s' % (host, e.strerror))
    family, sockaddr = found[0][0], found[0][4]
    listener = socket.socket(family, socket.SOCK_STREAM)
    try:
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind(sockaddr)
        listener.listen(LISTEN_BACKLOG)
    except OSError as e:
        listener.close()
        raise ViewError('cannot listen on %s port %d: %s' % (host, port, e.strerror))
    return listener, sockaddr[0]


class View:
    """The view server and what the capture tells it."""

    def __init__(self, address):
        host, port = address
        listener, bound = _listen(host, port)
        port = listener.getsockname()[1]
        loopback = bound in ('127.0.0.1', '::1')
        self.token = None if loopback else binascii.hexlify(os.urandom(16)).decode('ascii')
        shown = host
        if bound in ('0.0.0.0', '::'):
            shown = socket.gethostname()
        elif ':' in host:
            shown = '[%s]' % host
        self.url = 'http://%s:%d/%s' % (shown, port, '?token=' + self.token if self.token else '')
        if loopback:
            hosts = list(LOOPBACK_NAMES)
        elif bound in ('0.0.0.0', '::'):
            hosts = None
        else:
            hosts = [shown, '[%s]' % bound if ':' in bound else bound]
        self.memory_fd = os.memfd_create('capture-view', os.MFD_CLOEXEC)
        os.ftruncate(self.memory_fd, PICTURE_AT)
        self.memory = mmap.mmap(self.memory_fd, PICTURE_AT)
        feed_read, self.feed = os.pipe()
        widen_pipe(self.feed)  # a narrower one only loses changes sooner
        env = dict(os.environ)
        env['PYTHONPATH'] = os.pathsep.join([HOST_DIR] + ([env['PYTHONPATH']]
                                                          if env.get('PYTHONPATH') else []))
        fds = (listener.fileno(), feed_read, self.memory_fd)
        try:
            self.process = subprocess.Popen(
                [sys.executable, '-m', 'tessera_capture.view.server'] + [str(fd) for fd in fds],
                pass_fds=fds, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        except OSError as e:
            os.close(self.feed)
            os.close(self.memory_fd)
            raise ViewError('cannot start the view server: %s' % e.strerror)
        finally:
            listener.close()
            os.close(feed_read)
        # The token goes through the pipe, where no other user can read it.
        os.write(self.feed, message(CONFIG, json.dumps(
            {'token': self.token, 'hosts': hosts, 'port': port}).encode('utf-8')))
        fcntl.fcntl(self.feed, fcntl.F_SETFL, fcntl.fcntl(self.feed, fcntl.F_GETFL) | os.O_NONBLOCK)
        self.picture = None
        self.sequence = 0
        self.lost = False
        self.gone = False

    # The capture's side ----------------------------------------------------

    def set_size(self, frame_size, edge):
        """A new frame size: every viewer starts again from the new picture."""
        stride, rows = Picture.layout(frame_size, edge)
        size = stride * rows
        if os.fstat(self.memory_fd).st_size < PICTURE_AT + size:
            # Never shrunk: the server may still be reading the old picture.
            os.ftruncate(self.memory_fd, PICTURE_AT + size)
        self.memory = mmap.mmap(self.memory_fd, PICTURE_AT + size)
        region = memoryview(self.memory)[PICTURE_AT:]
        region[:] = bytes(size)
        self.picture = Picture(frame_size, edge, region)
        self._feed(SIZE, LAYOUT.pack(self.picture.width, self.picture.height, edge, stride, rows))

    def add(self, frame):
        """A frame's runs into the shared picture, and their rects to the server."""
        if not frame.runs:
            return
        self.picture.apply(frame.runs)
        edge = self.picture.edge
        self.sequence += 1
        self._feed(CHANGES, STAMP.pack(self.sequence & 0xFFFFFFFF, time.time()) +
                   b''.join(RECT.pack(tx * edge, ty * edge, w, h)
                            for tx, ty, _, (w, h) in frame.runs))

    def status(self, fields):
        """The figures of the page's status line."""
        self._feed(STATUS, json.dumps(fields).encode('utf-8'))

    def counts(self):
        """(viewers, frames skipped for them, server errors)"""
        viewers, skipped, errors = COUNTS.unpack_from(self.memory, 0)
        return viewers, skipped, errors + self.gone

    def _feed(self, kind, body):
        if self.lost:
            self.lost = not self._write(message(LOST, SEQUENCE.pack(self.sequence & 0xFFFFFFFF)))
        if not self.lost:
            self.lost = not self._write(message(kind, body))

    def _write(self, data):
        """Whether the message is in the pipe: whole, or (full pipe, too big
        to go in at once, server gone) not at all."""
        if self.gone or len(data) > select.PIPE_BUF:
            return False
        try:
            os.write(self.feed, data)
            return True
        except BlockingIOError:
            return False
        except BrokenPipeError:
            self.gone = True
            return False

    def serve_until_interrupted(self):
        """Waits for Ctrl-C (SIGINT) or SIGTERM, while the viewers go on being
        served."""
        interrupted = []
        stop = lambda signum, frame: interrupted.append(signum)
        previous = [(s, signal.signal(s, stop)) for s in (signal.SIGINT, signal.SIGTERM)]
        try:
            while not interrupted:
                time.sleep(0.2)
        finally:
            for s, handler in previous:
                signal.signal(s, handler)

    def close(self):
        os.close(self.feed)
        try:
            self.process.wait(CLOSE_WAIT)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.picture = None
        os.close(self.memory_fd)


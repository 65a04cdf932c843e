"""The live view's server (capture.py --view [HOST:]PORT), a process of its
own that feed.View starts: `python -m tessera_capture.view.server LISTEN
FEED MEMORY`, the descriptors of the listening socket, the capture's pipe
and the shared memory (feed.py).

GET /        the page (page.html): a canvas of the picture's size and a
             status line; it reads /stream with fetch() and paints what
             arrives.
GET /stream  the picture, then every frame's changes (wire.py).

One thread serves every connection without blocking, so that memory is
bounded by the connections, not by threads or their arenas. A viewer starts
with the whole picture, then gets every frame's changes; each has its own
bounded backlog, and one that falls behind loses it and gets the whole
picture again when it is ready. A viewer is judged by what it takes: one
that has been given data and takes less than PROGRESS_FLOOR a second over a
PROGRESS_WINDOW is dropped. Nothing a viewer sends reaches the capture.

Bound to 127.0.0.1 or ::1 (or localhost) the pages are open to requests that
name a loopback host; bound anywhere else every request needs ?token=...,
made at random at start-up and printed as part of the URL.
"""
import collections
import ctypes
import fcntl
import json
import mmap
import os
import selectors
import signal
import socket
import struct
import sys
import termios
import time

from ..pipes import PIPE_BYTES
from . import feed, wire
from .requests import HEAD_LIMIT, Admission, Refused, head_length, plain

PAGE_FILE = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'page.html')
MAX_CONNECTIONS = 16  # viewers and requests at once; more get 503
MAX_BACKLOG = 32  # messages queued for one viewer
REQUEST_TIMEOUT = 10.0  # seconds for a whole request head to arrive
PROGRESS_WINDOW = 60.0  # seconds over which a viewer's progress is judged
PROGRESS_FLOOR = 16384  # bytes a second a viewer that has data waiting must take
SEND_PIECE = 1 << 18  # bytes handed to the kernel at once
SEND_BUFFER = 1 << 20  # bytes of a viewer's stream the kernel holds
NICENESS = 10  # below the capture's priority: a request waits, the capture does not
TICK = 1.0  # seconds between checks of the deadlines
M_ARENA_MAX, M_MMAP_THRESHOLD = -8, -3  # glibc's mallopt parameters
MMAP_THRESHOLD = 1 << 17


def _bound_memory():
    """One malloc arena, and large blocks (pictures, a frame's changes) in
    mappings of their own, given back to the kernel when they are freed: a
    fixed threshold also stops glibc from raising it after the first free."""
    try:
        libc = ctypes.CDLL(None)
        libc.mallopt(M_ARENA_MAX, 1)
        libc.mallopt(M_MMAP_THRESHOLD, MMAP_THRESHOLD)
    except (OSError, AttributeError):
        pass  # not glibc


class Message:
    """A picture or a frame's changes: rects of the shared picture, shared by
    every viewer that sends it and encoded once, when first sent. Pixels
    read later than their frame are those of a later one, whose changes
    follow: the viewer ends with the picture as it is."""

    def __init__(self, kind, sequence, stamp, picture, rects, nbytes):
        self.kind = kind
        self.sequence = sequence
        self.stamp = stamp
        self.picture = picture
        self.rects = rects
        self.nbytes = nbytes
        self.encoded = {}

    def pieces(self, deflate):
        if deflate not in self.encoded:
            picture = self.picture
            if self.kind == wire.PICTURE:
                payload = [picture.pixels]  # whole rows: no copy
            else:
                payload = [picture.cut(r) for r in self.rects]
            self.encoded[deflate] = wire.encode(self.kind, self.sequence, self.stamp,
                                                picture.size, self.rects, payload, deflate)
        return self.encoded[deflate]


class SharedPicture:
    """The capture's picture in the shared memory, as the last SIZE gave it."""

    def __init__(self, memory, width, height, edge, stride, rows):
        self.size = (width, height)
        self.edge = edge
        self.stride = stride
        self.rows = rows
        self.pixels = memoryview(memory)[feed.PICTURE_AT:feed.PICTURE_AT + stride * rows]

    def cut(self, rect):
        x, y, w, h = rect
        row = w * 4
        out = bytearray(row * h)
        part = max(0, min(w, self.stride // 4 - x)) * 4
        for r in range(max(0, min(h, self.rows - y))):
            at = (y + r) * self.stride + x * 4
            out[r * row:r * row + part] = self.pixels[at:at + part]
        return out


class Connection:
    def __init__(self, sock, now):
        self.socket = sock
        self.started = now
        self.head = bytearray()
        self.out = collections.deque()  # what is left to send: bytes-like pieces
        self.viewer = None
        self.closing = False  # ends when `out` is sent


class Viewer:
    """One /stream connection's state."""

    def __init__(self, deflate):
        self.deflate = deflate
        self.backlog = collections.deque()  # Messages, and STATUS for the latest status
        self.backlog_bytes = 0
        self.needs_picture = True
        self.shown = False  # has had a whole picture: frames it misses count as skipped
        self.skipped = 0
        self.sent = 0  # bytes handed to the kernel
        self.window = None  # (start, bytes taken then) while it has data waiting


STATUS = 'status'


class Server:
    def __init__(self, listener, feed_fd, memory_fd, config):
        self.listener = listener
        self.feed_fd = feed_fd
        self.feed_data = bytearray()
        self.memory_fd = memory_fd
        self.counts = mmap.mmap(memory_fd, feed.PICTURE_AT)
        self.admission = Admission(config['hosts'], config['port'], config['token'])
        with open(PAGE_FILE, 'rb') as f:
            page = f.read()
        self.page = (('HTTP/1.0 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n'
                      'Content-Length: %d\r\nCache-Control: no-store\r\n'
                      # The page works offline: it may load nothing but its own stream.
                      "Content-Security-Policy: default-src 'none'; script-src 'unsafe-inline'; "
                      "style-src 'unsafe-inline'; connect-src 'self'\r\n"
                      'Referrer-Policy: no-referrer\r\nConnection: close\r\n\r\n' % len(page))
                     .encode('ascii') + page)
        self.selector = selectors.DefaultSelector()
        listener.setblocking(False)
        os.set_blocking(feed_fd, False)
        self.selector.register(listener, selectors.EVENT_READ)
        self.selector.register(feed_fd, selectors.EVENT_READ)
        self.connections = {}
        self.picture = None
        self.sequence = 0
        self.fields = {}
        self.skipped = 0
        self.errors = 0
        self.last_picture = None
        self.running = True

    # The loop ---------------------------------------------------------------

    def run(self):
        next_tick = time.monotonic() + TICK
        while self.running:
            for key, events in self.selector.select(max(0.0, next_tick - time.monotonic())):
                if key.fileobj is self.listener:
                    self._accept()
                elif key.data is None:
                    self._read_feed()
                else:
                    self._serve(key.data, events)
            now = time.monotonic()
            if now >= next_tick:
                next_tick = now + TICK
                self._check(now)
        for connection in list(self.connections.values()):
            self._close(connection)

    def _publish_counts(self):
        viewers = sum(c.viewer is not None for c in self.connections.values())
        feed.COUNTS.pack_into(self.counts, 0, viewers, self.skipped, self.errors)

    def _accept(self):
        while True:
            try:
                sock, _ = self.listener.accept()
            except (BlockingIOError, InterruptedError):
                return
            except OSError:
                self.errors += 1  # out of descriptors: the kernel keeps the rest waiting
                self._publish_counts()
                return
            if len(self.connections) >= MAX_CONNECTIONS:
                self._reap()
            if len(self.connections) >= MAX_CONNECTIONS:
                try:
                    sock.setblocking(False)
                    sock.send(plain(503, 'too many viewers\n'))
                except OSError:
                    pass
                sock.close()
                continue
            sock.setblocking(False)
            connection = Connection(sock, time.monotonic())
            self.connections[sock.fileno()] = connection
            self.selector.register(sock, selectors.EVENT_READ, connection)

    def _reap(self):
        """Closes the requests whose clients have gone and not yet been
        noticed: a burst of connects that end at once must not keep the
        slots from the next one."""
        for connection in list(self.connections.values()):
            if connection.viewer is None and not connection.closing:
                try:
                    if connection.socket.recv(1, socket.MSG_PEEK):
                        continue
                except (BlockingIOError, InterruptedError):
                    continue
                except OSError:
                    pass
                self._close(connection)

    def _serve(self, connection, events):
        try:
            if events & selectors.EVENT_READ:
                self._receive(connection)
            if events & selectors.EVENT_WRITE and connection.socket.fileno() >= 0:
                self._send(connection)
        except OSError:
            self._close(connection)  # gone
        except Exception:  # noqa: B902 -- one request's fault must not end the view
            self.errors += 1
            self._close(connection)
            self._publish_counts()

    def _receive(self, connection):
        if connection.viewer is not None or connection.closing:
            # Whatever a viewer sends is read and thrown away; the end of its
            # stream means it has gone. An answered request is read to its
            # end, so that closing does not reset the answer away.
            if not connection.socket.recv(65536):
                self._close(connection)
            return
        data = connection.socket.recv(HEAD_LIMIT - len(connection.head))
        if not data:
            self._close(connection)
            return
        connection.head += data
        try:
            length = head_length(connection.head)
            if length is None:
                return
            path, fields = self.admission.admit(bytes(connection.head[:length]))
        except Refused as refusal:
            self._answer(connection, plain(refusal.code, refusal.text))
            return
        connection.head = None
        if path == '/':
            self._answer(connection, self.page)
        else:
            self._start_stream(connection, fields.get('deflate', ['0'])[0] == '1')

    def _answer(self, connection, response):
        connection.out.append(memoryview(response))
        connection.closing = True
        self._send(connection)

    def _start_stream(self, connection, deflate):
        # Compression only when the page asks for it (?deflate=1, for slow
        # links): browsers inflate a whole picture far slower than it crosses a LAN.
        connection.socket.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, SEND_BUFFER)
        connection.socket.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        connection.out.append(memoryview(
            b'HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n'
            b'Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n\r\n'))
        connection.viewer = Viewer(deflate)
        self._publish_counts()
        self._send(connection)

    def _send(self, connection):
        """Hands the kernel what it takes now; asks to hear when it takes more."""
        sock = connection.socket
        viewer = connection.viewer
        while True:
            if not connection.out and viewer is not None:
                pieces = self._next_message(viewer)
                if pieces is None:
                    break
                connection.out.extend(memoryview(p) for p in pieces)
            if not connection.out:
                break
            piece = connection.out[0]
            try:
                sent = sock.send(piece[:SEND_PIECE])
            except (BlockingIOError, InterruptedError):
                break
            if viewer is not None:
                viewer.sent += sent
            if sent == len(piece):
                connection.out.popleft()
            else:
                connection.out[0] = piece[sent:]
        if not connection.out and connection.closing:
            sock.shutdown(socket.SHUT_WR)
        waiting = bool(connection.out)
        if viewer is not None:
            if not waiting:
                viewer.window = None
            elif viewer.window is None:
                viewer.window = (time.monotonic(), self._taken(connection))
        self.selector.modify(sock, selectors.EVENT_READ | (selectors.EVENT_WRITE if waiting else 0),
                             connection)

    @staticmethod
    def _taken(connection):
        """Bytes the viewer has taken: handed to the kernel, less what waits
        there, so that the kernel's buffers do not count as progress."""
        queued = struct.unpack('i', fcntl.ioctl(connection.socket, termios.TIOCOUTQ, b'\0' * 4))[0]
        return connection.viewer.sent - queued

    def _check(self, now):
        for connection in list(self.connections.values()):
            viewer = connection.viewer
            if viewer is None:
                if not connection.closing and now - connection.started > REQUEST_TIMEOUT:
                    self._answer(connection, plain(408, 'request not complete in time\n'))
                elif connection.closing and now - connection.started > 2 * REQUEST_TIMEOUT:
                    self._close(connection)
            elif viewer.window is not None and now - viewer.window[0] >= PROGRESS_WINDOW:
                taken = self._taken(connection)
                if taken - viewer.window[1] < PROGRESS_FLOOR * PROGRESS_WINDOW:
                    self._close(connection)
                else:
                    viewer.window = (now, taken)

    def _close(self, connection):
        fd = connection.socket.fileno()
        if fd < 0:
            return
        self.selector.unregister(connection.socket)
        del self.connections[fd]
        connection.socket.close()
        connection.out.clear()
        if connection.viewer is not None:
            connection.viewer.backlog.clear()
            self._publish_counts()

    def _wake(self, viewer_connection):
        if not viewer_connection.out:
            self._serve(viewer_connection, selectors.EVENT_WRITE)

    # What the capture tells ---------------------------------------------------

    def _read_feed(self):
        try:
            data = os.read(self.feed_fd, PIPE_BYTES)
        except BlockingIOError:
            return
        if not data:
            self.running = False  # the capture has closed the view, or died
            return
        self.feed_data += data
        at = 0
        while len(self.feed_data) - at >= feed.FEED.size:
            length, kind = feed.FEED.unpack_from(self.feed_data, at)
            end = at + 4 + length
            if end > len(self.feed_data):
                break
            self._told(kind, bytes(self.feed_data[at + feed.FEED.size:end]))
            at = end
        del self.feed_data[:at]

    def _told(self, kind, body):
        viewers = [c for c in self.connections.values() if c.viewer is not None]
        if kind == feed.SIZE:
            width, height, edge, stride, rows = feed.LAYOUT.unpack(body)
            memory = mmap.mmap(self.memory_fd, feed.PICTURE_AT + stride * rows)
            self.picture = SharedPicture(memory, width, height, edge, stride, rows)
            for c in viewers:
                self._restart(c.viewer)
        elif kind == feed.CHANGES:
            self.sequence, stamp = feed.STAMP.unpack_from(body)
            rects = list(feed.RECT.iter_unpack(body[feed.STAMP.size:]))
            message = Message(wire.CHANGES, self.sequence, stamp, self.picture, rects,
                              sum(w * h * 4 for _, _, w, h in rects))
            limit = self.picture.stride * self.picture.rows
            for c in viewers:
                viewer = c.viewer
                if viewer.needs_picture:
                    self._skip(viewer, 1)
                elif (len(viewer.backlog) >= MAX_BACKLOG or
                      viewer.backlog_bytes + message.nbytes > limit):
                    # A backlog larger than the picture costs more than a new picture.
                    self._skip(viewer, 1 + sum(m is not STATUS for m in viewer.backlog))
                    self._restart(viewer)
                else:
                    viewer.backlog.append(message)
                    viewer.backlog_bytes += message.nbytes
        elif kind == feed.STATUS:
            self.fields = json.loads(body.decode('utf-8'))
            for c in viewers:
                if not c.viewer.needs_picture:
                    c.viewer.backlog.append(STATUS)
        elif kind == feed.LOST:
            self.sequence = feed.SEQUENCE.unpack(body)[0]
            for c in viewers:
                self._skip(c.viewer, 1)
                self._restart(c.viewer)
        for c in viewers:
            self._wake(c)
        self._publish_counts()

    def _skip(self, viewer, frames):
        if viewer.shown:
            viewer.skipped += frames
            self.skipped += frames

    @staticmethod
    def _restart(viewer):
        viewer.backlog.clear()
        viewer.backlog_bytes = 0
        viewer.needs_picture = True

    def _next_message(self, viewer):
        """The pieces of the viewer's next message, or None when it has none."""
        if viewer.needs_picture and self.picture is not None:
            viewer.needs_picture = False
            viewer.shown = True
            # Frames published from here on follow the picture.
            viewer.backlog.clear()
            viewer.backlog_bytes = 0
            if self.fields:
                viewer.backlog.append(STATUS)
            return self._whole_picture().pieces(viewer.deflate)
        if viewer.backlog and not viewer.needs_picture:
            item = viewer.backlog.popleft()
            if item is STATUS:
                return wire.encode(wire.STATUS, 0, time.time(), (0, 0), [],
                                   [json.dumps(dict(self.fields, skipped=viewer.skipped))
                                    .encode('utf-8')], viewer.deflate)
            viewer.backlog_bytes -= item.nbytes
            return item.pieces(viewer.deflate)
        return None

    def _whole_picture(self):
        """The picture as a message, for the viewers that start from the same frame."""
        last = self.last_picture
        if last is None or last.picture is not self.picture or last.sequence != self.sequence:
            picture = self.picture
            last = Message(wire.PICTURE, self.sequence, time.time(), picture,
                           [(0, 0, picture.stride // 4, picture.rows)], len(picture.pixels))
            self.last_picture = last
        return last


def main(argv):
    listen_fd, feed_fd, memory_fd = (int(a) for a in argv)
    os.nice(NICENESS)
    # Ctrl-C at a terminal reaches the whole group: the capture ends the view.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    _bound_memory()
    listener = socket.socket(fileno=listen_fd)
    # The first message, written before the pipe may fill: the view's checks.
    os.set_blocking(feed_fd, True)
    head = os.read(feed_fd, feed.FEED.size)
    length, kind = feed.FEED.unpack(head)
    body = b''
    while len(body) < length - 1:
        body += os.read(feed_fd, length - 1 - len(body))
    if kind != feed.CONFIG:
        sys.exit('capture: view: the capture did not start the view')
    Server(listener, feed_fd, memory_fd, json.loads(body.decode('utf-8'))).run()


if __name__ == '__main__':
    main(sys.argv[1:])

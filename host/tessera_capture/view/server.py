"""The capture host's live view: a small HTTP server that shows the picture in
a browser while it arrives (capture.py --view [HOST:]PORT).

GET /        the page (page.html): a canvas of the picture's size and
             a status line; it reads /stream with fetch() and paints what
             arrives.
GET /stream  one long response of messages. Each is a little-endian uint32
             byte count of what follows, then a 20-byte header
                 kind u8, flags u8, rect count u16, sequence u32 (frames
                 published; 0 in a status), host time f64 (seconds since the epoch when the host had
                 the changes), picture width u16, height u16,
             a table of rects (x, y, w, h as u16, in picture pixels; they may
             reach past the picture's right and bottom edges, which the canvas
             clips), and the rects' pixels one after another, w*h*4 bytes
             each, red, green, blue and a fourth byte that is not an opacity.
             Kinds: PICTURE (the whole picture, sets the canvas size), CHANGES
             (a frame's changed tile runs), STATUS (UTF-8 JSON). Flag DEFLATE:
             the pixels or JSON are zlib-compressed as one stream, which
             the page asks for with ?deflate=1.

A viewer starts with the whole picture, then gets every frame's changes. Each
viewer has its own bounded backlog; one that falls behind loses the backlog
and gets the whole picture again when it is ready, so a slow or stalled
viewer costs the capture nothing but a few list operations a frame. Nothing a
viewer sends reaches the capture.

Bound to 127.0.0.1 or ::1 (or localhost) the pages are open to requests that
name a loopback host; bound anywhere else every request needs ?token=...,
made at random at start-up and printed as part of the URL.
"""
import binascii
import collections
import ctypes
import errno
import fcntl
import hmac
import json
import os
import select
import signal
import socket
import struct
import sys
import threading
import time
import zlib

from http.server import BaseHTTPRequestHandler, HTTPServer
from io import BytesIO
from socketserver import TCPServer, ThreadingMixIn
from urllib.parse import parse_qs, urlsplit

from ..errors import ViewError
from ..frame import Picture

PAGE_FILE = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'page.html')

PICTURE, CHANGES, STATUS = 1, 2, 3
DEFLATE = 1
HEADER = struct.Struct('<IBBHIdHH')  # the byte count, then the 20-byte header
RECT = struct.Struct('<HHHH')

MAX_CONNECTIONS = 16  # viewers and requests at once; more get 503
MAX_BACKLOG = 32  # messages queued for one viewer
HEAD_LIMIT = 8192  # bytes of request line and headers
REQUEST_TIMEOUT = 10.0  # seconds for a whole request head to arrive
SEND_TIMEOUT = 60.0  # a viewer that takes nothing for this long is dropped
SMALL_MESSAGE = 65536  # messages up to this size go out in one piece
SEND_BUFFER = 1 << 20  # bytes of a viewer's stream the kernel holds
LOOPBACK_NAMES = ('127.0.0.1', '::1', 'localhost')
M_TRIM_THRESHOLD, M_MMAP_THRESHOLD = -1, -3  # glibc's mallopt parameters
TRIM_THRESHOLD, MMAP_THRESHOLD = 64 << 20, 32 << 20


def _keep_freed_memory():
    """glibc gives large blocks and the free top of its heap back to the
    kernel as soon as they are freed. A frame's runs, kept for the viewers
    and freed together, and whole pictures, are that much every frame, and
    come back as page faults that cost the capture several times its
    decoding. Blocks below MMAP_THRESHOLD come from the heap instead, and up
    to TRIM_THRESHOLD bytes of free heap stay with the process."""
    try:
        libc = ctypes.CDLL(None)
        libc.mallopt(M_MMAP_THRESHOLD, MMAP_THRESHOLD)
        libc.mallopt(M_TRIM_THRESHOLD, TRIM_THRESHOLD)
    except (OSError, AttributeError):
        pass  # not glibc


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


def _errno(e):
    return getattr(e, 'errno', None) or (e.args[0] if e.args else None)


def _retry(call, *args):
    """call(*args), again when a signal interrupts it: Python 2 does not retry."""
    while True:
        try:
            return call(*args)
        except (select.error, socket.error, OSError) as e:
            if _errno(e) != errno.EINTR:
                raise


class Message:
    """A picture or a frame's changes: rects of pixel strings, shared by every
    viewer that sends it and encoded once, on first use, by the thread of the
    first viewer that sends it."""

    def __init__(self, kind, sequence, size, rects):
        self.kind = kind
        self.sequence = sequence
        self.size = size
        self.rects = rects  # (x, y, w, h, pixels)
        self.stamp = time.time()
        self.nbytes = sum(len(r[4]) for r in rects)
        self.lock = threading.Lock()
        self.encoded = {}

    def pieces(self, deflate):
        """The message as a list of strings to send in order."""
        with self.lock:
            if deflate not in self.encoded:
                self.encoded[deflate] = encode(self.kind, self.sequence, self.stamp, self.size,
                                               [r[:4] for r in self.rects],
                                               [r[4] for r in self.rects], deflate)
            return self.encoded[deflate]


def encode(kind, sequence, stamp, size, rects, payload, deflate):
    """The pieces of one message: the header with its rect table, then the
    payload pieces, deflated as one stream when asked; small messages in one
    piece, so that each is one write."""
    if deflate:
        packer = zlib.compressobj(1)
        payload = [packer.compress(p) for p in payload] + [packer.flush()]
    table = b''.join(RECT.pack(*r) for r in rects)
    length = HEADER.size - 4 + len(table) + sum(len(p) for p in payload)
    head = HEADER.pack(length, kind, DEFLATE if deflate else 0, len(rects),
                       sequence & 0xFFFFFFFF, stamp, size[0], size[1]) + table
    pieces = [head] + [p for p in payload if len(p)]
    if length < SMALL_MESSAGE:
        return [b''.join(pieces)]
    return pieces


class Viewer:
    """One /stream connection's state; changed under the view's lock only."""

    def __init__(self, connection):
        self.connection = connection
        self.backlog = collections.deque()  # Messages, and STATUS for the latest status
        self.backlog_bytes = 0
        self.needs_picture = True
        self.shown = False  # has had a whole picture: frames it misses count as skipped
        self.skipped = 0
        self.asleep = False
        self.wake_read, self.wake_write = os.pipe()
        for fd in (self.wake_read, self.wake_write):
            fcntl.fcntl(fd, fcntl.F_SETFL, fcntl.fcntl(fd, fcntl.F_GETFL) | os.O_NONBLOCK)

    def wake(self):
        if self.asleep:
            self.asleep = False
            try:
                os.write(self.wake_write, b'.')
            except OSError:
                pass  # the pipe is full: it wakes anyway

    def close(self):
        os.close(self.wake_read)
        os.close(self.wake_write)


class View:
    """The view server and what the capture tells it. The capture thread
    calls set_picture, publish and status; each viewer has its own thread in
    the server."""

    def __init__(self, address):
        host, port = address
        try:
            found = socket.getaddrinfo(host, port, 0, socket.SOCK_STREAM, 0, socket.AI_PASSIVE)
        except socket.gaierror as e:
            raise ViewError('cannot listen on %s: %s' % (host, e.strerror))
        family, sockaddr = found[0][0], found[0][4]
        loopback = sockaddr[0] in ('127.0.0.1', '::1')
        self.token = None if loopback else binascii.hexlify(os.urandom(16)).decode('ascii')
        with open(PAGE_FILE, 'rb') as f:
            self.page = f.read()
        _keep_freed_memory()
        try:
            self.server = _Server(family, sockaddr, self)
        except (socket.error, OSError) as e:
            raise ViewError('cannot listen on %s port %d: %s' % (host, port, e.strerror))
        shown = host
        if sockaddr[0] in ('0.0.0.0', '::'):
            shown = socket.gethostname()
        elif ':' in host:
            shown = '[%s]' % host
        self.url = 'http://%s:%d/%s' % (shown, self.server.server_address[1],
                                        '?token=' + self.token if self.token else '')
        self.lock = threading.Lock()
        self.viewers = []
        self.picture = None
        self.backlog_limit = 0
        self.sequence = 0
        self.skipped = 0  # frames skipped for viewers, all of them together
        self.fields = {}
        self.last_picture = None  # (picture, sequence, Message) of the last whole picture sent
        self.thread = threading.Thread(target=self.server.serve_forever, name='view server')
        self.thread.daemon = True
        self.thread.start()

    # The capture's side ----------------------------------------------------

    def set_size(self, frame_size, edge):
        """A new frame size: every viewer starts again from a picture of the
        view's own, kept from the frames' runs."""
        picture = Picture(frame_size, edge)
        with self.lock:
            self.picture = picture
            # A backlog larger than the picture costs more than a new picture.
            self.backlog_limit = len(picture.pixels)
            for viewer in self.viewers:
                self._restart(viewer)

    def add(self, frame):
        """A frame's runs into the view's picture and every viewer's backlog."""
        if not frame.runs:
            return
        self.picture.apply(frame.runs)
        edge = self.picture.edge
        message = Message(CHANGES, self.sequence + 1,
                          (self.picture.width, self.picture.height),
                          [(tx * edge, ty * edge, w, h, data)
                           for tx, ty, data, (w, h) in frame.runs])
        with self.lock:
            self.sequence += 1
            for viewer in self.viewers:
                if viewer.needs_picture:
                    self._skip(viewer, 1)
                elif (len(viewer.backlog) >= MAX_BACKLOG or
                      viewer.backlog_bytes + message.nbytes > self.backlog_limit):
                    self._skip(viewer, 1 + sum(m is not STATUS for m in viewer.backlog))
                    self._restart(viewer)
                else:
                    viewer.backlog.append(message)
                    viewer.backlog_bytes += message.nbytes
                    viewer.wake()

    def status(self, fields):
        """The figures of the page's status line; a status message follows
        whatever each viewer has queued."""
        with self.lock:
            self.fields = fields
            for viewer in self.viewers:
                if not viewer.needs_picture:
                    viewer.backlog.append(STATUS)
                    viewer.wake()

    def counts(self):
        """(viewers, frames skipped for them)"""
        return len(self.viewers), self.skipped

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
        self.server.shutdown()
        self.server.server_close()
        with self.lock:
            for viewer in self.viewers:
                try:
                    viewer.connection.shutdown(socket.SHUT_RDWR)
                except (socket.error, OSError):
                    pass
        self.server.wait_for_handlers(1.0)

    def _skip(self, viewer, frames):
        if viewer.shown:
            viewer.skipped += frames
            self.skipped += frames

    def _restart(self, viewer):
        viewer.backlog.clear()
        viewer.backlog_bytes = 0
        viewer.needs_picture = True
        viewer.wake()

    # The viewers' side ----------------------------------------------------

    def next_message(self, viewer, deflate):
        """The pieces of the viewer's next message, or None when it has none.
        Encoding and copying happen outside the lock, which the capture takes
        once a frame."""
        with self.lock:
            if viewer.needs_picture and self.picture is not None:
                viewer.needs_picture = False
                viewer.shown = True
                # Frames published from here on follow the picture. Copied
                # after this, it may hold some of them already: they are
                # whole runs, so painting them again changes nothing.
                viewer.backlog.clear()
                viewer.backlog_bytes = 0
                if self.fields:
                    viewer.backlog.append(STATUS)
                item = (self.picture, self.sequence)
            elif viewer.backlog and not viewer.needs_picture:
                item = viewer.backlog.popleft()
                if item is STATUS:
                    item = dict(self.fields, skipped=viewer.skipped)
                else:
                    viewer.backlog_bytes -= item.nbytes
            else:
                viewer.asleep = True
                return None
        if isinstance(item, dict):
            return encode(STATUS, 0, time.time(), (0, 0), [],
                          [json.dumps(item).encode('utf-8')], deflate)
        if isinstance(item, tuple):
            item = self._whole_picture(*item)
        return item.pieces(deflate)

    def _whole_picture(self, picture, sequence):
        """The picture as a message, copied once for the viewers that start
        from the same frame (after the capture: all of them)."""
        last = self.last_picture
        if last is None or last[0] is not picture or last[1] != sequence:
            rows = len(picture.pixels) // picture.stride
            last = (picture, sequence,
                    Message(PICTURE, sequence, (picture.width, picture.height),
                            [(0, 0, picture.stride // 4, rows, picture.view.tobytes())]))
            self.last_picture = last
        return last[2]

    def add_viewer(self, viewer):
        with self.lock:
            self.viewers.append(viewer)

    def drop_viewer(self, viewer):
        with self.lock:
            self.viewers.remove(viewer)
        viewer.close()

    def refusal(self, path, host):
        """Why a request may not be answered (code, text), or None."""
        if self.token is not None:
            given = parse_qs(urlsplit(path).query).get('token', [''])[0]
            if not isinstance(given, bytes):
                given = given.encode('utf-8', 'replace')
            if not hmac.compare_digest(given, self.token.encode('ascii')):
                return 403, 'this view needs the token printed in its URL\n'
        elif host and _host_name(host) not in LOOPBACK_NAMES:
            # A page elsewhere that renames a loopback address must not read the picture.
            return 403, 'this view answers only to a loopback host name\n'
        return None


def _host_name(header):
    """The name in a Host header, without the port and brackets, lower case."""
    header = header.strip().lower()
    if header.startswith('['):
        return header[1:].partition(']')[0]
    return header.partition(':')[0]


class _Server(ThreadingMixIn, HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, family, sockaddr, view):
        self.address_family = family
        self.view = view
        self.active = 0
        self.active_lock = threading.Lock()
        self.idle = threading.Condition(self.active_lock)
        HTTPServer.__init__(self, sockaddr, _Handler)

    def server_bind(self):
        # HTTPServer's own looks the host's name up, which can wait on DNS.
        TCPServer.server_bind(self)
        self.server_name, self.server_port = self.server_address[:2]

    def process_request(self, request, client_address):
        with self.active_lock:
            busy = self.active >= MAX_CONNECTIONS
            if not busy:
                self.active += 1
        if busy:
            try:
                request.settimeout(0)
                request.send(_plain(503, 'Service Unavailable', 'too many viewers\n'))
            except (socket.error, OSError):
                pass
            self.shutdown_request(request)
            return
        ThreadingMixIn.process_request(self, request, client_address)

    def process_request_thread(self, request, client_address):
        try:
            ThreadingMixIn.process_request_thread(self, request, client_address)
        finally:
            with self.active_lock:
                self.active -= 1
                self.idle.notify_all()

    def wait_for_handlers(self, limit):
        deadline = time.time() + limit
        with self.active_lock:
            while self.active and time.time() < deadline:
                self.idle.wait(0.05)

    def handle_error(self, request, client_address):
        # A viewer that goes away is no news; anything else is told in one line.
        error = sys.exc_info()[1]
        if not isinstance(error, (socket.error, OSError, IOError)):
            sys.stderr.write('capture: view: %s: %r\n' % (type(error).__name__, error))


def _plain(code, reason, text):
    body = text.encode('utf-8')
    return (('HTTP/1.0 %d %s\r\nContent-Type: text/plain; charset=utf-8\r\n'
             'Content-Length: %d\r\nConnection: close\r\n\r\n' % (code, reason, len(body)))
            .encode('ascii') + body)


class _Handler(BaseHTTPRequestHandler):
    server_version = 'capture-view'
    # Errors in a request line too broken to name a version still get a status line.
    default_request_version = 'HTTP/1.0'
    disable_nagle_algorithm = True

    def setup(self):
        BaseHTTPRequestHandler.setup(self)
        self.head_error = None
        self.rfile = BytesIO(self._read_head())

    def _read_head(self):
        """The request line and headers, read under one deadline and size limit
        for the whole head, so that a trickle of bytes cannot hold a thread."""
        deadline = time.time() + REQUEST_TIMEOUT
        head = b''
        while b'\r\n\r\n' not in head and b'\n\n' not in head:
            if len(head) > HEAD_LIMIT:
                self.head_error = (431, 'Request Header Fields Too Large', 'request too large\n')
                break
            left = deadline - time.time()
            try:
                if left <= 0:
                    raise socket.timeout()
                self.connection.settimeout(left)
                chunk = _retry(self.connection.recv, 4096)
            except socket.timeout:
                self.head_error = (408, 'Request Timeout', 'request not complete in time\n')
                break
            if not chunk:
                break
            head += chunk
        self.connection.settimeout(REQUEST_TIMEOUT)
        return head

    def handle(self):
        if self.head_error:
            self.wfile.write(_plain(*self.head_error))
            return
        self.handle_one_request()

    def version_string(self):
        return self.server_version

    def log_message(self, format, *args):
        pass  # standard error carries the capture's own lines

    def parse_request(self):
        if not BaseHTTPRequestHandler.parse_request(self):
            return False
        refused = self.server.view.refusal(self.path, self.headers.get('Host'))
        if refused is None and self.command != 'GET':
            refused = 405, 'only GET\n'
        if refused:
            code, text = refused
            self.wfile.write(_plain(code, self.responses[code][0], text))
            return False
        return True

    def do_GET(self):
        path = urlsplit(self.path).path
        if path == '/':
            self.send_response(200)
            self.send_header('Content-Type', 'text/html; charset=utf-8')
            self.send_header('Content-Length', str(len(self.server.view.page)))
            self.send_header('Cache-Control', 'no-store')
            # The page works offline: it may load nothing but its own stream.
            self.send_header('Content-Security-Policy', "default-src 'none'; "
                             "script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
                             "connect-src 'self'")
            self.send_header('Referrer-Policy', 'no-referrer')
            self.end_headers()
            self.wfile.write(self.server.view.page)
        elif path == '/stream':
            self.stream()
        else:
            self.wfile.write(_plain(404, 'Not Found', 'no such page\n'))

    def stream(self):
        # Compression only when the page asks for it (?deflate=1, for slow
        # links): it costs the host's processor, which the capture needs, and
        # browsers inflate a whole picture far slower than it crosses a LAN.
        deflate = parse_qs(urlsplit(self.path).query).get('deflate', ['0'])[0] == '1'
        self.send_response(200)
        self.send_header('Content-Type', 'application/octet-stream')
        self.send_header('Cache-Control', 'no-store')
        self.send_header('X-Content-Type-Options', 'nosniff')
        self.end_headers()
        self.wfile.flush()
        connection = self.connection
        connection.settimeout(SEND_TIMEOUT)
        # What a slow viewer has not taken waits in its backlog, where a newer
        # picture can replace it, rather than in the kernel.
        connection.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, SEND_BUFFER)
        view = self.server.view
        viewer = Viewer(connection)
        view.add_viewer(viewer)
        try:
            while True:
                pieces = view.next_message(viewer, deflate)
                if pieces is None:
                    if not self._wait(viewer):
                        return
                    continue
                for piece in pieces:
                    connection.sendall(piece)
        except (socket.error, OSError):
            return  # gone, or taking nothing for SEND_TIMEOUT
        finally:
            view.drop_viewer(viewer)

    def _wait(self, viewer):
        """Sleeps until the viewer has a message; False when its connection
        has ended."""
        readable = _retry(select.select, [self.connection, viewer.wake_read], [], [])[0]
        if viewer.wake_read in readable:
            try:
                os.read(viewer.wake_read, 4096)
            except OSError:
                pass
        if self.connection in readable:
            # Whatever a viewer sends is read and ignored; the end of its
            # stream means it has gone.
            return bool(_retry(self.connection.recv, 4096))
        return True

"""The view's requests: a head read under one size limit, parsed by hand and
admitted or refused before anything else is done for it. Only the view's own
pages get in: an exact Host (and absolute-form target) naming this view, no
Origin or Sec-Fetch-Site but its own, and the token where there is one."""
import hmac
import re
from urllib.parse import parse_qs

HEAD_LIMIT = 8192  # bytes of request line and headers, the blank line included
LOOPBACK_NAMES = ('127.0.0.1', 'localhost', '[::1]')
REASONS = {400: 'Bad Request', 403: 'Forbidden', 404: 'Not Found',
           405: 'Method Not Allowed', 408: 'Request Timeout',
           431: 'Request Header Fields Too Large', 503: 'Service Unavailable'}
PAGES = ('/', '/stream')

_HEAD_END = re.compile(rb'\r?\n\r?\n')
_REQUEST_LINE = re.compile(r"([!#$%&'*+.^_`|~0-9A-Za-z-]+) ([\x21-\x7e]+) HTTP/1\.[01]\Z")
_HEADER = re.compile(r"([!#$%&'*+.^_`|~0-9A-Za-z-]+):[ \t]*(.*?)[ \t]*\Z")
_AUTHORITY = re.compile(r'(\[[0-9a-f:.]+\]|[a-z0-9.-]+)(?::([0-9]{1,5}))?\Z')
# A page's own requests, or one the user typed or opened from a bookmark.
_OWN_FETCHES = ('same-origin', 'none')


class Refused(Exception):
    """A request answered with `code` and a line of text, and nothing else."""

    def __init__(self, code, text):
        Exception.__init__(self, code, text)
        self.code = code
        self.text = text


def head_length(data):
    """The length of the head at the start of `data` with its blank line;
    None while it is incomplete. Refused (431) when it cannot fit."""
    found = _HEAD_END.search(data, 0, HEAD_LIMIT)
    if found:
        return found.end()
    if len(data) >= HEAD_LIMIT:
        raise Refused(431, 'request too large\n')
    return None


def plain(code, text):
    """A whole response of one line of text."""
    body = text.encode('utf-8')
    return (('HTTP/1.0 %d %s\r\nContent-Type: text/plain; charset=utf-8\r\n'
             'Content-Length: %d\r\nConnection: close\r\n\r\n' % (code, REASONS[code], len(body)))
            .encode('ascii') + body)


def authority(text):
    """(host, port) of 'host[:port]', the host lower case, an IPv6 address in
    brackets, the port 80 when none is given; None when it is not one."""
    found = _AUTHORITY.match(text.lower())
    if not found:
        return None
    port = int(found.group(2) or 80)
    return (found.group(1), port) if port <= 65535 else None


class Admission:
    """The checks of one view: `hosts` the host names it answers to (None:
    any, for a view bound to every address, which has a token), `port` its
    port, `token` the text every request must carry, or None."""

    def __init__(self, hosts, port, token):
        self.hosts = None if hosts is None else frozenset(h.lower() for h in hosts)
        self.port = port
        self.token = None if token is None else token.encode('ascii')

    def _check_authority(self, text):
        named = authority(text)
        if named is None:
            raise Refused(400, 'malformed host\n')
        if named[1] != self.port or (self.hosts is not None and named[0] not in self.hosts):
            # A page elsewhere that renames this address must not read the picture.
            raise Refused(403, 'this view answers only to its own host name\n')

    def admit(self, head):
        """(path, query as a dict of lists) of a GET of one of the view's
        pages; Refused for anything else."""
        lines = head.decode('latin-1').split('\n')
        lines = [line[:-1] if line.endswith('\r') else line for line in lines]
        request = _REQUEST_LINE.match(lines[0])
        if not request:
            raise Refused(400, 'malformed request\n')
        method, target = request.groups()
        headers = {}
        for line in lines[1:]:
            if not line:
                break
            header = _HEADER.match(line)
            if not header:
                raise Refused(400, 'malformed header\n')
            headers.setdefault(header.group(1).lower(), []).append(header.group(2))
        hosts = headers.get('host', [])
        if len(hosts) != 1:
            raise Refused(400, 'exactly one Host header, please\n')
        self._check_authority(hosts[0])
        if target.startswith('/'):
            path, _, query = target.partition('?')
        elif target[:7].lower() == 'http://':
            named, slash, rest = re.match(r'([^/?]*)([/?]?)(.*)\Z', target[7:]).groups()
            self._check_authority(named)
            path, _, query = ('/' + rest if slash == '/' else '/?' + rest).partition('?')
        else:
            raise Refused(400, 'malformed target\n')
        if '#' in target:
            raise Refused(400, 'malformed target\n')
        origins = headers.get('origin', [])
        if origins and (len(origins) > 1 or origins[0].lower() != 'http://' + hosts[0].lower()):
            raise Refused(403, 'this view answers only to its own pages\n')
        if any(site.lower() not in _OWN_FETCHES for site in headers.get('sec-fetch-site', [])):
            raise Refused(403, 'this view answers only to its own pages\n')
        fields = parse_qs(query)
        if self.token is not None:
            given = fields.get('token', [''])[0].encode('utf-8', 'replace')
            if not hmac.compare_digest(given, self.token):
                raise Refused(403, 'this view needs the token printed in its URL\n')
        if method != 'GET':
            raise Refused(405, 'only GET\n')
        if path not in PAGES:
            raise Refused(404, 'no such page\n')
        return path, fields

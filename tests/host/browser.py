"""Debian's headless Chromium driven by chromedriver through the W3C WebDriver
HTTP protocol, with urllib alone."""
import base64
import json
import os
import shutil
import socket
import subprocess
import tempfile
import time

try:
    from urllib.request import ProxyHandler, Request, build_opener
    from urllib.error import HTTPError
except ImportError:  # Python 2
    from urllib2 import HTTPError, ProxyHandler, Request, build_opener

CHROMIUM = '/usr/bin/chromium'
CHROMEDRIVER = '/usr/bin/chromedriver'
# Without the network ones Chromium reaches out at start-up; the network here is closed.
FLAGS = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
         '--disable-background-networking', '--disable-component-update', '--disable-sync',
         '--no-proxy-server', '--window-size=800,560']


def missing():
    """Why no browser can be driven here, or None."""
    for path, package in ((CHROMIUM, 'chromium'), (CHROMEDRIVER, 'chromium-driver')):
        if not os.access(path, os.X_OK):
            return '%s not found (apt-get install %s)' % (path, package)
    return None


def free_port():
    s = socket.socket()
    s.bind(('127.0.0.1', 0))
    port = s.getsockname()[1]
    s.close()
    return port


class Browser(object):
    def __init__(self):
        self.profile = tempfile.mkdtemp(prefix='capture-browser-')
        port = free_port()
        # The test's preloads (a sanitizer runtime) are not for the browser.
        env = dict((k, v) for k, v in os.environ.items()
                   if not k.startswith(('LD_PRELOAD', 'ASAN_', 'UBSAN_')))
        with open(os.devnull, 'wb') as devnull:
            self.driver = subprocess.Popen([CHROMEDRIVER, '--port=%d' % port], env=env,
                                           stdout=devnull, stderr=subprocess.STDOUT)
        self.base = 'http://127.0.0.1:%d' % port
        self.opener = build_opener(ProxyHandler({}))
        try:
            deadline = time.time() + 30
            while True:
                try:
                    if self._call('GET', '/status').get('ready'):
                        break
                except (IOError, OSError):
                    pass
                if time.time() > deadline:
                    raise AssertionError('chromedriver did not start')
                time.sleep(0.1)
            options = {'binary': CHROMIUM, 'args': FLAGS + ['--user-data-dir=' + self.profile]}
            caps = {'capabilities': {'alwaysMatch': {'goog:chromeOptions': options}}}
            self.session = '/session/' + self._call('POST', '/session', caps)['sessionId']
        except BaseException:
            self.close()
            raise

    def _call(self, method, path, body=None):
        data = None if body is None else json.dumps(body).encode('utf-8')
        request = Request(self.base + path, data, {'Content-Type': 'application/json'})
        request.get_method = lambda: method
        try:
            reply = self.opener.open(request, timeout=60).read()
        except HTTPError as e:
            raise AssertionError('WebDriver %s %s: %s' % (method, path, e.read()[:500]))
        return json.loads(reply.decode('utf-8'))['value']

    def get(self, url):
        self._call('POST', self.session + '/url', {'url': url})

    def run(self, script, *args):
        """Runs a function body in the page; what it returns."""
        return self._call('POST', self.session + '/execute/sync',
                          {'script': script, 'args': list(args)})

    def wait_for(self, script, limit=30, *args):
        deadline = time.time() + limit
        while True:
            value = self.run(script, *args)
            if value:
                return value
            if time.time() > deadline:
                raise AssertionError('the page never made true: %s; it shows: %s' % (
                    script, self.run('return document.body.innerText')))
            time.sleep(0.05)

    def screenshot(self, path):
        with open(path, 'wb') as f:
            f.write(base64.b64decode(self._call('GET', self.session + '/screenshot')))

    def close(self):
        try:
            if getattr(self, 'session', None):
                self._call('DELETE', self.session)
        finally:
            self.driver.terminate()
            self.driver.wait()
            shutil.rmtree(self.profile, ignore_errors=True)

"""The live view under attack (capture.py --view): what hostile clients on
loopback cost the capture, and what viewers that come and go leave in the
view server's memory. CTest runs it (label bench, and smoke with --smoke),
or by hand:

    TESSERA_BUILD_DIR=build python3 bench/view_attacks.py \\
        [--python PY]... [--host LABEL=DIR]... [--json OUT] [--smoke]

The capture runs as a child on a 1920x1080 synthetic grabber with a view,
under each --python (default this one), from each --host package directory
(default this tree's host/; another, e.g. an older checkout's, compares the
two in one run). Its status lines give its frames/s each second. Each attack
runs for a few seconds between quiet pauses, and its figure is the capture's
frames/s during it as a share of the quiet seconds just before and after it
(goal: at least 90%; the median of --rounds runs); beside it, the capture process's processor time a
frame during it against the quiet seconds' (1.00: the attack costs the
capture nothing; on a machine busy with other work the share of frames/s
moves with that work, this ratio much less):
  flood     connect, GET / naming another host (refused), read to the end,
            again, as fast as one client can
  upload    a /stream viewer that sends junk as fast as it can while reading
  readers   16 viewers reading flat out
  stalled   16 viewers that never read
Then memory, with --every-tile: the view server's RSS (the capture's, for a
view within the capture) before the first of 30 waves of 16 stalled viewers,
each reset after a second, and after the last (goal: within 8 MB). --smoke
runs each phase for two seconds at 320x240 with 2 waves: it shows that the
benchmark works and measures nothing.
"""
import argparse
import json
import os
import re
import socket
import struct
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
LAUNCH = ('import sys; sys.path[:0] = sys.argv[1:3]; del sys.argv[1:3]; '
          'from tessera_capture.cli import main; sys.exit(main(prog="capture"))')
SIZE, SMOKE_SIZE = '1920x1080', '320x240'
VIEWERS = 16
FPS = re.compile(r' ([\d.]+) frames/s ')


class Capture:
    """The capture as a child, and its frames/s each second as (time, fps)."""

    def __init__(self, python, host, args):
        build = os.environ.get('TESSERA_BUILD_DIR', os.path.join(ROOT, 'build'))
        self.child = subprocess.Popen(
            [python, '-c', LAUNCH, host, os.path.join(build, 'python')] + args + ['--view', '0'],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, universal_newlines=True)
        self.rates = []
        self.port = None
        started = threading.Event()

        def read():
            for line in self.child.stderr:
                found = re.search(r'view at http://[^:]+:(\d+)/', line)
                if found:
                    self.port = int(found.group(1))
                    started.set()
                found = FPS.search(line)
                if found:
                    self.rates.append((time.monotonic(), float(found.group(1))))
            started.set()
        threading.Thread(target=read, daemon=True).start()
        started.wait(60)
        if self.port is None:
            raise SystemExit('view_attacks: the capture did not start its view')

    def rate(self, start, end):
        """Mean frames/s of the status lines from start to end."""
        rates = [r for t, r in self.rates if start < t <= end]
        return sum(rates) / len(rates) if rates else float('nan')

    def cpu(self):
        """Processor seconds the capture process has used."""
        with open('/proc/%d/stat' % self.child.pid) as f:
            fields = f.read().rsplit(')', 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf('SC_CLK_TCK')

    def server_pid(self):
        """The view server: the capture's child process, or the capture."""
        with open('/proc/%d/task/%d/children' % (self.child.pid, self.child.pid)) as f:
            children = f.read().split()
        return int(children[0]) if children else self.child.pid

    def close(self):
        self.child.kill()
        self.child.wait()


def rss_mb(pid):
    with open('/proc/%d/status' % pid) as f:
        return int(re.search(r'VmRSS:\s+(\d+)', f.read()).group(1)) / 1024.0


def connect(port, target='/stream', host=None):
    s = socket.create_connection(('127.0.0.1', port), 10)
    s.sendall(b'GET %s HTTP/1.1\r\nHost: %s\r\n\r\n' %
              (target.encode(), (host or '127.0.0.1:%d' % port).encode()))
    return s


def drain(s, running, upload=None):
    s.settimeout(1)
    try:
        while running:
            if upload:
                s.sendall(upload)
            try:
                if not s.recv(1 << 20):
                    return
            except socket.timeout:
                pass
    except OSError:
        pass
    finally:
        s.close()


def flood(port, running):
    while running:
        try:
            drain(connect(port, '/', 'evil.com'), running)
        except OSError:
            pass


def attack(port, name, running):
    """The threads and sockets of one attack, started."""
    held = []
    if name == 'flood':
        work = [lambda: flood(port, running)]
    elif name == 'upload':
        work = [lambda: drain(connect(port), running, b'x' * 65536)]
    elif name == 'readers':
        work = [lambda: drain(connect(port), running) for _ in range(VIEWERS)]
    else:
        held = [connect(port) for _ in range(VIEWERS)]
        for s in held:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        work = []
    threads = [threading.Thread(target=w, daemon=True) for w in work]
    for t in threads:
        t.start()
    return threads, held


def attacks(capture, phase):
    """Each attack's frames/s as a share of the quiet phases around it, and
    its processor time a frame as a multiple of theirs."""
    shares, costs = {}, {}
    marks = []

    def pause():
        """(start, end, processor seconds) of a phase."""
        start, cpu = time.monotonic(), capture.cpu()
        time.sleep(phase)
        marks.append((start, time.monotonic(), capture.cpu() - cpu))
        return marks[-1]

    def cost(mark):
        return mark[2] / (capture.rate(mark[0], mark[1]) * (mark[1] - mark[0]))
    pause()
    for name in ('flood', 'upload', 'readers', 'stalled'):
        before = marks[-1]
        running = [True]
        threads, held = attack(capture.port, name, running)
        during = pause()
        running.clear()
        for s in held:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack('ii', 1, 0))
            s.close()
        for t in threads:
            t.join()
        after = pause()
        quiet = (capture.rate(*before[:2]) + capture.rate(*after[:2])) / 2
        shares[name] = capture.rate(*during[:2]) / quiet
        costs[name] = cost(during) / ((cost(before) + cost(after)) / 2)
    return shares, costs


def memory(capture, waves, hold):
    """(server RSS before the first wave, after the last) in MB."""
    time.sleep(2 * hold)
    pid = capture.server_pid()
    before = rss_mb(pid)
    for _ in range(waves):
        held = [connect(capture.port) for _ in range(VIEWERS)]
        for s in held:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        time.sleep(hold)
        for s in held:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack('ii', 1, 0))
            s.close()
    time.sleep(2 * hold)
    return before, rss_mb(pid)


def median(values):
    values = sorted(values)
    return values[len(values) // 2]


def main():
    p = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    p.add_argument('--python', action='append', help='an interpreter to run the capture')
    p.add_argument('--host', action='append', metavar='LABEL=DIR',
                   help='a tessera_capture package directory to run (default: this tree)')
    p.add_argument('--rounds', type=int, default=3,
                   help='runs of the attacks, of which the median counts (default 3)')
    p.add_argument('--json', metavar='OUT', help='also write the results here')
    p.add_argument('--smoke', action='store_true',
                   help='two seconds a phase at %s, 2 waves: shows that it runs' % SMOKE_SIZE)
    args = p.parse_args()
    size, phase, waves, hold = ((SMOKE_SIZE, 2.0, 2, 0.5) if args.smoke else (SIZE, 4.0, 30, 1.0))
    if args.smoke:
        args.rounds = 1
    hosts = [h.split('=', 1) for h in args.host or ['after=' + os.path.join(ROOT, 'host')]]
    results = []
    for python in args.python or [sys.executable]:
        version = subprocess.check_output([python, '-c', 'import platform; '
                                           'print(platform.python_version())'],
                                          universal_newlines=True).strip()
        for label, host in hosts:
            capture = Capture(python, host, ['--size', size])
            try:
                rounds = [attacks(capture, phase) for _ in range(args.rounds)]
            finally:
                capture.close()
            capture = Capture(python, host, ['--size', size, '--every-tile'])
            try:
                before, after = memory(capture, waves, hold)
            finally:
                capture.close()
            shares, costs = ({n: median([r[i][n] for r in rounds]) for n in rounds[0][i]}
                             for i in (0, 1))
            results.append({'python': version, 'code': label, 'shares': shares, 'costs': costs,
                            'rss_before_mb': before, 'rss_after_mb': after})
            print('Python %-7s %-7s %s | server RSS %.0f MB, after %d waves %.0f MB (%+.1f MB)' %
                  (version, label, '  '.join('%s %3.0f%% (cpu/frame %.2fx)' % (n, 100 * s, costs[n])
                                             for n, s in shares.items()),
                   before, waves, after, after - before))
            sys.stdout.flush()
    if args.json:
        with open(args.json, 'w') as f:
            json.dump(results, f, indent=1)


if __name__ == '__main__':
    main()

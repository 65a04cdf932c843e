"""Runs the guest cases inside the VM, each in a process of its own with a time
limit, so that a hang or a crash fails that case alone and the device is
reset for the next. Writes RESULTS/summary.txt: one "case NAME STATUS SECONDS"
line per case, the "figure" lines the cases recorded, and "done" at the end.
"""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
# Every miss of an import costs a round trip to the host over 9p: search the
# standard library first, and only directories that exist.
sys.path = [p for p in sys.path[1:] if os.path.isdir(p)]

import argparse  # noqa: E402
import ast  # noqa: E402
import signal  # noqa: E402
import subprocess  # noqa: E402
import time  # noqa: E402


def case_names(path):
    """Class.method of every test in a unittest file, in source order, read
    without importing it."""
    tree = ast.parse(open(path).read(), path)
    return ['%s.%s' % (c.name, f.name) for c in tree.body if isinstance(c, ast.ClassDef)
            for f in c.body if isinstance(f, ast.FunctionDef) and f.name.startswith('test')]


def main():
    ap = argparse.ArgumentParser()
    for opt in ('results', 'source-dir', 'ffs', 'udc', 'udc-file'):
        ap.add_argument('--' + opt, required=True)
    ap.add_argument('--cases', default='')
    ap.add_argument('--case-timeout', type=int, default=150)
    args = ap.parse_args()

    env = dict(os.environ, VM_RESULTS=args.results, VM_FFS=args.ffs, VM_UDC=args.udc,
               VM_UDC_FILE=args.udc_file, VM_SOURCE_DIR=args.source_dir)
    names = case_names(os.path.join(HERE, 'guest_cases.py'))
    wanted = [c for c in args.cases.split(',') if c]
    if wanted:
        names = [n for n in names if any(w in n for w in wanted)]

    summary = open(os.path.join(args.results, 'summary.txt'), 'w')
    for name in names:
        log = open(os.path.join(args.results, name + '.log'), 'w')
        start = time.time()
        proc = subprocess.Popen([sys.executable, '-S', os.path.join(HERE, 'guest_cases.py'), name],
                                stdout=log, stderr=subprocess.STDOUT, env=env,
                                preexec_fn=os.setsid)
        while proc.poll() is None and time.time() - start < args.case_timeout:
            time.sleep(0.1)
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
            status = 'FAIL(timeout %ds, hung)' % args.case_timeout
        elif proc.returncode == 0:
            skipped = any(l.startswith('OK (skipped=') for l in open(log.name))
            status = 'skipped' if skipped else 'ok'
        else:
            status = 'FAIL(status %d)' % proc.returncode
        # Whatever the case left behind, the next one starts unplugged.
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except OSError:
            pass
        try:
            with open(args.udc_file, 'w') as f:
                f.write('\n')
        except IOError:
            pass
        line = 'case %s %s %.1f' % (name, status, time.time() - start)
        summary.write(line + '\n')
        summary.flush()
        sys.stdout.write('vm-case: %s\n' % line)
        sys.stdout.flush()
    figures = os.path.join(args.results, 'figures.txt')
    if os.path.exists(figures):
        summary.write(open(figures).read())
    summary.write('done\n')
    summary.close()


if __name__ == '__main__':
    main()

"""Instructions per call of one benchmark row, by function, under callgrind.

    python bench/callgrind.py -k TEXT [--impl native|peer|compiled]
                              [--compiled-dir DIR] [-n CALLS] [--top N]
    python bench/callgrind.py --against SITE -k TEXT [-k TEXT ...] [-n CALLS]

Runs the row's operation twice under valgrind's callgrind, once 0 times and
once CALLS times after the same setup and warm-up, and prints the difference
per function divided by CALLS: what one call costs, without the start-up of
the interpreter. Instruction counts are steady on a loaded machine, where
timings are not. With --against, each named row of this build (the
modules on PYTHONPATH) and of the build installed in SITE, one after the
other: instructions per call of both, and their ratio.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile
import timeit

HERE = os.path.dirname(os.path.abspath(__file__))
SUBJECTS = ['dicts', 'positions', 'accounts', 'stats', 'sockets']


def find_row(keyword, compiled_dir):
    sys.path.insert(0, os.path.dirname(HERE))
    sys.path.insert(1, os.path.join(os.path.dirname(HERE), 'peers'))
    if compiled_dir:
        sys.path.insert(0, compiled_dir)
    from bench import harness
    for name in SUBJECTS:
        subject = harness.load('bench.subjects.' + name)
        if subject is None:
            continue
        for row in subject.ROWS:
            if keyword in row.name:
                return subject, row
    raise SystemExit('no row matches %r' % keyword)


def child(args):
    subject, row = find_row(args.keyword, args.compiled_dir)
    from bench import harness
    modname = {'native': subject.NATIVE, 'peer': subject.PEER,
               'compiled': 'cy_' + subject.PEER}[args.impl]
    if getattr(subject, 'setup', None):
        subject.setup()
    fn = row.make(harness.load(modname))
    timer = timeit.Timer(fn[0], globals=fn[1]) if isinstance(fn, tuple) else timeit.Timer(fn)
    timer.timeit(3)
    timer.timeit(args.n)


def profile(args, n, site=None):
    out = tempfile.mktemp(prefix='bench-cg-')
    cmd = ['valgrind', '--tool=callgrind', '--callgrind-out-file=' + out,
           sys.executable, os.path.abspath(__file__), '--child', '-k', args.keyword,
           '--impl', args.impl, '-n', str(n)]
    if args.compiled_dir:
        cmd += ['--compiled-dir', args.compiled_dir]
    # A fixed hash seed, so that both runs probe their dicts alike.
    # One BLAS thread: idle BLAS threads spin for a varying while.
    env = dict(os.environ, PYTHONHASHSEED='0', OPENBLAS_NUM_THREADS='1')
    if site:
        env['PYTHONPATH'] = site
    subprocess.check_call(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
    text = subprocess.check_output(['callgrind_annotate', '--auto=no', '--threshold=100', out],
                                   universal_newlines=True, stderr=subprocess.DEVNULL)
    os.unlink(out)
    counts = {}
    total = 0
    for line in text.splitlines():
        m = re.match(r'\s*([\d,]+)\s+(?:\([^)]*\)\s+)?(.*)$', line)
        if not m:
            continue
        value = int(m.group(1).replace(',', ''))
        what = m.group(2)
        if what.startswith('PROGRAM TOTALS'):
            total = value
            continue
        # Short names: the function, without the source path and library.
        what = re.sub(r'\s*\[[^\]]*\]$', '', what)
        what = what.split(':', 1)[1] if ':' in what and not what.startswith('???') else what
        what = what[4:] if what.startswith('???:') else what
        counts[what] = counts.get(what, 0) + value
    return total, counts


def per_call(args, site=None):
    total0, base = profile(args, 0, site)
    total1, run = profile(args, args.n, site)
    return (total1 - total0) / args.n, base, run


def main(argv=None):
    ap = argparse.ArgumentParser()
    ap.add_argument('-k', dest='keywords', action='append', required=True)
    ap.add_argument('--impl', default='native', choices=['native', 'peer', 'compiled'])
    ap.add_argument('--compiled-dir')
    ap.add_argument('-n', type=int, default=50000)
    ap.add_argument('--top', type=int, default=25)
    ap.add_argument('--against', metavar='SITE', help="another build's installed tree")
    ap.add_argument('--child', action='store_true')
    args = ap.parse_args(argv)
    if args.child:
        args.keyword = args.keywords[0]
        return child(args)
    if args.against:
        print('instructions per call: this build, the build in %s' % args.against)
        for keyword in args.keywords:
            args.keyword = keyword
            this = per_call(args)[0]
            other = per_call(args, os.path.abspath(args.against))[0]
            print('%-50s %10.0f %10.0f  %+.1f%%' % (keyword, this, other,
                                                    100.0 * (this - other) / other))
        return 0
    args.keyword = args.keywords[0]
    value, base, run = per_call(args)
    print('%s (%s): %.0f instructions per call' % (args.keyword, args.impl, value))
    diff = sorted(((run.get(k, 0) - base.get(k, 0)) / args.n, k) for k in set(run) | set(base))
    diff.reverse()
    for value, what in diff[:args.top]:
        if value < 1:
            break
        print('%8.0f  %s' % (value, what[:150]))
    return 0


if __name__ == '__main__':
    sys.exit(main())

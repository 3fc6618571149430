"""Runs every benchmark row on this interpreter and prints one table.

    python bench/run.py [--json FILE] [--compiled-dir DIR] [--quick] [-k TEXT]
    python bench/run.py --against SITE [--quick] [-k TEXT]

The native modules come from the installed/built `belvane` package, the
peers from peers/, the Cython-compiled peers (modules named cy_<peer>)
from --compiled-dir when given.

--against compares two builds of the native modules in one process, sample
by sample, instead of native against the peers: SITE is another build's
installed tree (for example build/before/site), whose `belvane` package is
loaded under the name `belvane_against`. Its modules find the framework
stand-ins of the first build, so both builds run on the same environment.
"""
import argparse
import json
import os
import platform
import shutil
import sys
import tempfile

# numpy's BLAS threads spin on the other core after each use and only add
# noise to the timings.
os.environ.setdefault('OPENBLAS_NUM_THREADS', '1')

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
sys.path.insert(1, os.path.join(os.path.dirname(HERE), 'peers'))

from bench import harness  # noqa: E402

SUBJECTS = ['dicts', 'positions', 'accounts', 'stats', 'sockets']


def fmt_ns(t):
    if t is None:
        return 'not available'
    if 'error' in t:
        return 'error'
    v = t['median']
    return '%.0f' % v if v >= 100 else '%.1f' % v


def ratio(a, b):
    if not a or not b or 'error' in a or 'error' in b:
        return None
    return a['median'] / b['median']


def main(argv=None):
    ap = argparse.ArgumentParser()
    ap.add_argument('--json')
    ap.add_argument('--compiled-dir')
    ap.add_argument('--quick', action='store_true', help="fewer rounds of samples")
    ap.add_argument('-k', dest='keyword', action='append',
                    help='only rows whose name contains this (repeatable: any of them)')
    ap.add_argument('--against', metavar='SITE', help="another build's installed tree")
    args = ap.parse_args(argv)
    if args.compiled_dir:
        sys.path.insert(0, args.compiled_dir)
    repeat = 5 if args.quick else 15
    if args.against:
        return run_against(args.against, args.keyword, repeat, args.json)

    results = []
    memory = []
    for subject_name in SUBJECTS:
        subject = harness.load('bench.subjects.' + subject_name)
        if subject is None:
            continue
        native = harness.load(subject.NATIVE)
        peer = harness.load(subject.PEER)
        compiled = harness.load('cy_' + subject.PEER) if args.compiled_dir else None
        if native is None or peer is None:
            print('skipping %s: module missing' % subject_name, file=sys.stderr)
            continue
        if getattr(subject, 'setup', None):
            subject.setup()
        if getattr(subject, 'instance_bytes', None) and not args.keyword:
            memory.append((subject_name, {kind: mod and subject.instance_bytes(mod) for kind, mod
                                          in [('native', native), ('peer', peer),
                                              ('compiled', compiled)]}))
        for row in subject.ROWS:
            if not selected(row, args.keyword):
                continue
            r = harness.measure(row, {'native': native, 'peer': peer, 'compiled': compiled},
                                repeat)
            results.append(r)
            print_row(r)
    doc = {
        'python': platform.python_version(),
        'implementation': platform.python_implementation(),
        'machine': platform.machine(),
        'rows': results,
        'memory': dict(memory),
    }
    if args.json:
        if os.path.dirname(args.json):
            os.makedirs(os.path.dirname(args.json), exist_ok=True)
        with open(args.json, 'w') as f:
            json.dump(doc, f, indent=1)
    print()
    print_table(doc)
    for subject_name, sizes in memory:
        print('%s: bytes per instance (tracemalloc): %s' % (subject_name, ', '.join(
            '%s %.0f' % (k, v) for k, v in sizes.items() if v is not None)))
    return 0


def selected(row, keywords):
    return not keywords or any(k in row.name for k in keywords)


def run_against(site, keyword, repeat, json_path):
    tmp = tempfile.mkdtemp(prefix='bench-against-')
    shutil.copytree(os.path.join(site, 'belvane'), os.path.join(tmp, 'belvane_against'))
    sys.path.insert(0, tmp)
    results = []
    for subject_name in SUBJECTS:
        subject = harness.load('bench.subjects.' + subject_name)
        if subject is None:
            continue
        native = harness.load(subject.NATIVE)
        other = harness.load(subject.NATIVE.replace('belvane.', 'belvane_against.', 1))
        if native is None or other is None:
            print('skipping %s: module missing' % subject_name, file=sys.stderr)
            continue
        if getattr(subject, 'setup', None):
            subject.setup()
        for row in subject.ROWS:
            if not selected(row, keyword):
                continue
            r = harness.measure(row, {'native': native, 'against': other}, repeat, floor=False)
            results.append(r)
            print_row(r)
    shutil.rmtree(tmp, ignore_errors=True)
    print()
    print('CPython %s, ns per call: this build against %s (median of interleaved samples)'
          % (platform.python_version(), site))
    head = ('operation', 'this', 'against', 'against/this')
    rows = [(r['row'], fmt_ns(r['native']), fmt_ns(r['against']),
             '-' if ratio(r['against'], r['native']) is None
             else '%.3f' % ratio(r['against'], r['native'])) for r in results]
    harness.print_columns(head, rows)
    if json_path:
        with open(json_path, 'w') as f:
            json.dump({'python': platform.python_version(), 'against': site, 'rows': results},
                      f, indent=1)
    return 0


def print_row(r):
    print('  measured %-44s native %s ns' % (r['row'], fmt_ns(r['native'])), file=sys.stderr)


def print_table(doc):
    print('CPython %s, ns per call (median of interleaved samples; min-max in the JSON)' % doc['python'])
    head = ('operation', 'native', 'peer', 'cython peer', 'floor', 'peer/nat', 'cy/nat',
            'floor/nat', 'target')
    rows = []
    for r in doc['rows']:
        def rt(x):
            v = ratio(x, r['native'])
            return '-' if v is None else '%.2fx' % v
        rows.append((r['row'], fmt_ns(r['native']), fmt_ns(r['peer']), fmt_ns(r['compiled']),
                     fmt_ns(r['floor']) if r['floor'] else '-', rt(r['peer']), rt(r['compiled']),
                     rt(r['floor']) if r['floor'] else '-',
                     '>= %.1fx' % r['target'] if r['target'] else ''))
    harness.print_columns(head, rows)


if __name__ == '__main__':
    sys.exit(main())

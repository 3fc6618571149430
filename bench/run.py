"""Runs every benchmark row on this interpreter and prints one table.

    python bench/run.py [--json FILE] [--compiled-dir DIR] [--quick] [-k TEXT]

The native modules come from the installed/built `belvane` package, the
peers from peers/, the Cython-compiled peers (modules named cy_<peer>)
from --compiled-dir when given.
"""
import argparse
import json
import os
import platform
import sys

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
    ap.add_argument('-k', dest='keyword', help='only rows whose name contains this')
    args = ap.parse_args(argv)
    if args.compiled_dir:
        sys.path.insert(0, args.compiled_dir)
    repeat = 5 if args.quick else 15

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
            if args.keyword and args.keyword not in row.name:
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
        with open(args.json, 'w') as f:
            json.dump(doc, f, indent=1)
    print()
    print_table(doc)
    for subject_name, sizes in memory:
        print('%s: bytes per instance (tracemalloc): %s' % (subject_name, ', '.join(
            '%s %.0f' % (k, v) for k, v in sizes.items() if v is not None)))
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
    widths = [max(len(str(x[i])) for x in rows + [head]) for i in range(len(head))]
    line = '  '.join(h.ljust(widths[i]) if i == 0 else h.rjust(widths[i])
                     for i, h in enumerate(head))
    print(line)
    print('-' * len(line))
    for x in rows:
        print('  '.join(str(v).ljust(widths[i]) if i == 0 else str(v).rjust(widths[i])
                        for i, v in enumerate(x)))


if __name__ == '__main__':
    sys.exit(main())

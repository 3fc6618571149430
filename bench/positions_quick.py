"""Per-call cost of the native position model next to its pure-Python peer.

Run with the built package on the path, e.g.
    PYTHONPATH=build/default/site python bench/positions_quick.py [--cython]
--cython also compiles the peer with Cython (when Cython is importable) and
times that build as a third column. Prints the median ns per call and the
peer/native ratios, then the memory taken by one FuturePosition.
"""
import argparse
import gc
import importlib.util
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import timeit
import tracemalloc

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from belvane.backtest.model import positions as native  # noqa: E402
from belvane.tframe import sysclsbase  # noqa: E402
from peers import positions as peer  # noqa: E402

TARGET = 7


def compile_peer_with_cython(workdir):
    """Builds bench/peers/positions.py as an extension module; None if Cython is missing."""
    if importlib.util.find_spec('Cython') is None:
        return None
    src = os.path.join(workdir, 'positions_cy.py')
    shutil.copy(os.path.join(HERE, 'peers', 'positions.py'), src)
    setup = os.path.join(workdir, 'setup.py')
    with open(setup, 'w') as f:
        f.write('from setuptools import setup\n'
                'from Cython.Build import cythonize\n'
                'setup(ext_modules=cythonize("positions_cy.py", quiet=True,\n'
                '      compiler_directives={"language_level": 3}))\n')
    subprocess.run([sys.executable, setup, '-q', 'build_ext', '--inplace'], cwd=workdir,
                   check=True, stdout=subprocess.DEVNULL)
    sys.path.insert(0, workdir)
    return importlib.import_module('positions_cy')


def future(mod):
    p = mod.FuturePosition()
    p.target_idx = TARGET
    p.volume_long_yd = 2
    p.holding_cost_long = 3400.0
    p.cost_long = 3300.0
    p.holding_cost_today_long_list = [(3450.0, 1)]
    p.volume_short_yd = 1
    p.holding_cost_short = 3600.0
    p.cost_short = 3650.0
    p.holding_cost_today_short_list = [(3550.0, 2)]
    return p


def stock(mod):
    p = mod.StockPosition()
    p.target_idx = TARGET
    p.volume_long_yd = 1000
    p.holding_cost_long = 10000
    p.holding_cost_today_long_list = [(5200, 500)]
    p.order_frozen_long = 200
    return p


CASES = [
    ('FuturePosition.snapshot()', 'f.snapshot()'),
    ('StockPosition.snapshot()', 's.snapshot()'),
    ('FuturePosition.volume(LONG)', 'f.volume(LONG)'),
    ('FuturePosition.market_value(LONG)', 'f.market_value(LONG)'),
    ('FuturePosition.total_volume_long', 'f.total_volume_long'),
    ('FuturePosition.position_available_today_long', 'f.position_available_today_long'),
    ('FuturePosition.position_available_long', 'f.position_available_long'),
    ('StockPosition.volume(LONG)', 's.volume(LONG)'),
    ('StockPosition.market_value(LONG)', 's.market_value(LONG)'),
    ('StockPosition.total_volume_long', 's.total_volume_long'),
]


def median_ns(stmt, ns, repeat):
    timer = timeit.Timer(stmt, globals=ns)
    number, _ = timer.autorange()
    number = max(1, number // 4)
    return statistics.median(timer.repeat(repeat=repeat, number=number)) / number * 1e9


def instance_bytes(mod, count=2000):
    gc.collect()
    tracemalloc.start()
    before = tracemalloc.take_snapshot()
    keep = [mod.FuturePosition() for _ in range(count)]
    after = tracemalloc.take_snapshot()
    tracemalloc.stop()
    diff = sum(s.size_diff for s in after.compare_to(before, 'filename'))
    # The list holding them is not part of an instance.
    diff -= sys.getsizeof(keep)
    one = keep[0]
    return diff / count, sys.getsizeof(one) + sys.getsizeof(one.__dict__)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--cython', action='store_true', help='also time the peer compiled by Cython')
    ap.add_argument('--repeat', type=int, default=7)
    args = ap.parse_args()

    sysclsbase.env = sysclsbase.SimEnvironment(prices={TARGET: 3500.0}, multiples={TARGET: 10},
                                               margin_rates={TARGET: 0.1})
    mods = [('peer', peer)]
    workdir = tempfile.mkdtemp(prefix='positions_cy_')
    try:
        if args.cython:
            cy = compile_peer_with_cython(workdir)
            if cy is None:
                print('Cython is not importable: the compiled peer is skipped.')
            else:
                mods.append(('cython', cy))
        mods.append(('native', native))

        for name, mod in mods:
            if list(future(mod).snapshot().items()) != list(future(native).snapshot().items()):
                raise SystemExit('%s and native disagree on the future snapshot' % name)

        print('Python %s, median ns per call' % sys.version.split()[0])
        head = '%-46s' % 'call' + ''.join('%10s' % n for n, _ in mods)
        head += ''.join('%14s' % ('%s/native' % n) for n, _ in mods[:-1])
        print(head)
        for label, stmt in CASES:
            row = []
            for _, mod in mods:
                ns = {'f': future(mod), 's': stock(mod), 'LONG': sysclsbase.gv.POSITIONSIDE_LONG}
                row.append(median_ns(stmt, ns, args.repeat))
            line = '%-46s' % label + ''.join('%10.0f' % v for v in row)
            line += ''.join('%14.2f' % (v / row[-1]) for v in row[:-1])
            print(line)

        print('\nFuturePosition instance, bytes (tracemalloc per instance; getsizeof of object + __dict__)')
        for name, mod in mods:
            traced, sized = instance_bytes(mod)
            print('%-8s %8.0f %8d' % (name, traced, sized))
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == '__main__':
    main()

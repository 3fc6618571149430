"""Timing rows of the native modules next to their pure-Python and
Cython-compiled peers, in one process.

A subject (bench/subjects/*.py) names its native module (NATIVE), its peer
module under bench/peers (PEER) and its ROWS. A row's `make(module)` returns
what performs the operation once on that implementation: a callable of no
arguments, or a pair (statement, namespace) for operations so small that the
cost of calling a wrapper would hide them; `floor()` returns the same for the
floor (what no implementation can avoid: the same environment calls and a
record of ready values), when the row has one.
"""
import importlib
import statistics
import timeit


class Row(object):
    def __init__(self, name, make, floor=None, target=None, number=None, per=1):
        self.name = name
        self.make = make
        self.floor = floor
        self.target = target      # wanted peer/native ratio on the default interpreter
        self.number = number      # calls per timing; chosen automatically when None
        self.per = per            # the reported cost is per `per` units (for example per target)


def load(name):
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


def time_callable(fn, number=None, repeat=7, budget=0.2):
    """Median, min and max cost of one call in nanoseconds."""
    if isinstance(fn, tuple):
        stmt, namespace = fn
        timer = timeit.Timer(stmt, globals=namespace)
    else:
        timer = timeit.Timer(fn)
    timer.timeit(1)
    if number is None:
        number = 1
        while True:
            t = timer.timeit(number)
            if t >= budget / 5 or number >= 1 << 22:
                break
            number *= 4
    times = timer.repeat(number=number, repeat=repeat)
    per_call = sorted(t / number * 1e9 for t in times)
    return {'median': statistics.median(per_call), 'min': per_call[0], 'max': per_call[-1],
            'number': number, 'repeat': repeat}


def measure(row, impls, repeat=7):
    """`impls`: {'native': module, 'peer': module, 'compiled': module or None}."""
    result = {'row': row.name, 'target': row.target, 'per': row.per}
    for kind, mod in impls.items():
        if mod is None:
            result[kind] = None
            continue
        try:
            fn = row.make(mod)
            t = time_callable(fn, row.number, repeat)
            t = {k: (v / row.per if k in ('median', 'min', 'max') else v) for k, v in t.items()}
            result[kind] = t
        except Exception as e:  # a peer that cannot run this row is reported, not fatal
            result[kind] = {'error': '%s: %s' % (type(e).__name__, e)}
    if row.floor is not None:
        t = time_callable(row.floor(), row.number, repeat)
        result['floor'] = {k: (v / row.per if k in ('median', 'min', 'max') else v)
                           for k, v in t.items()}
    else:
        result['floor'] = None
    return result

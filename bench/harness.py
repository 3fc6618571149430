"""Timing rows of the native modules next to their pure-Python and
Cython-compiled peers, in one process.

A subject (bench/subjects/*.py) names its native module (NATIVE), its peer
module under peers/ (PEER) and its ROWS. A row's `make(module)` returns
what performs the operation once on that implementation: a callable of no
arguments, a pair (statement, namespace) for operations so small that the
cost of calling a wrapper would hide them, or a PartTimer; `floor()` returns the same for the
floor (what no implementation can avoid: the same environment calls and a
record of ready values), when the row has one.

The samples of a row are taken in turn: one sample of each implementation
(and of the floor), then the next round, starting each round with the next
implementation. Load on the machine and effects of order (caches, the
allocator, other processes) then hit every column alike.
"""
import gc
import importlib
import statistics
import time
import timeit


class Row(object):
    def __init__(self, name, make, floor=None, target=None, number=None, per=1):
        self.name = name
        self.make = make
        self.floor = floor
        self.target = target      # wanted peer/native ratio on the default interpreter
        self.number = number      # calls per sample; chosen automatically when None
        self.per = per            # the reported cost is per `per` units (for example per target)


def load(name):
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


def timer_of(fn):
    # A row may bring its own timer (anything with timeit(number) returning
    # seconds), to time only part of what each call does.
    if hasattr(fn, 'timeit'):
        return fn
    if isinstance(fn, tuple):
        stmt, namespace = fn
        return timeit.Timer(stmt, globals=namespace)
    return timeit.Timer(fn)


def calls_per_sample(timer, budget):
    """The number of calls that takes about `budget` seconds (a power of 4)."""
    timer.timeit(1)
    number = 1
    while True:
        t = timer.timeit(number)
        if t >= budget / 4 or number >= 1 << 22:
            return number
        number *= 4


def measure(row, impls, repeat=7, budget=0.03, floor=True):
    """`impls`: {'native': module, 'peer': module, 'compiled': module or None}
    (or any other columns). Each result holds the median, min and max cost
    of one call (divided by the row's `per`) in nanoseconds, or an error
    text."""
    result = {'row': row.name, 'target': row.target, 'per': row.per}
    makers = [(kind, (lambda mod=mod: row.make(mod))) for kind, mod in impls.items()
              if mod is not None]
    for kind, mod in impls.items():
        if mod is None:
            result[kind] = None
    if row.floor is not None and floor:
        makers.append(('floor', row.floor))
    timers = []
    for kind, make in makers:
        try:
            timer = timer_of(make())
            timers.append((kind, timer, row.number or calls_per_sample(timer, budget)))
        except Exception as e:  # a peer that cannot run this row is reported, not fatal
            result[kind] = {'error': '%s: %s' % (type(e).__name__, e)}
    samples = {kind: [] for kind, _, _ in timers}
    for r in range(repeat):
        shift = r % len(timers) if timers else 0
        for kind, timer, number in timers[shift:] + timers[:shift]:
            if kind in result:  # failed in an earlier round
                continue
            try:
                samples[kind].append(timer.timeit(number) / number * 1e9 / row.per)
            except Exception as e:
                result[kind] = {'error': '%s: %s' % (type(e).__name__, e)}
    result.setdefault('floor', None)
    for kind, timer, number in timers:
        if result.get(kind) is not None:
            continue
        s = sorted(samples[kind])
        result[kind] = {'median': statistics.median(s), 'min': s[0], 'max': s[-1],
                        'number': number, 'repeat': repeat}
    return result


class PartTimer(object):
    """Times `op` alone: `before` and `after` run around each call, untimed
    (for example, waiting until an answer has arrived)."""

    def __init__(self, op, before=None, after=None):
        self.op, self.before, self.after = op, before, after

    def timeit(self, number):
        clock = time.perf_counter
        total = 0.0
        enabled = gc.isenabled()
        gc.disable()
        try:
            for _ in range(number):
                if self.before is not None:
                    self.before()
                t0 = clock()
                self.op()
                total += clock() - t0
                if self.after is not None:
                    self.after()
        finally:
            if enabled:
                gc.enable()
        return total


def print_columns(head, rows):
    """A plain-text table: the first column left-aligned, the rest right."""
    widths = [max(len(str(x[i])) for x in rows + [head]) for i in range(len(head))]
    line = '  '.join(h.ljust(widths[i]) if i == 0 else h.rjust(widths[i])
                     for i, h in enumerate(head))
    print(line)
    print('-' * len(line))
    for x in rows:
        print('  '.join(str(v).ljust(widths[i]) if i == 0 else str(v).rjust(widths[i])
                        for i, v in enumerate(x)))

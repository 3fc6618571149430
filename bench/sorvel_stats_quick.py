"""Per-call cost of SimpleTimer, StatusCollect and RangeRecord: native vs peer.

Run with the built package on the path, for example:
    PYTHONPATH=build/default/site .venv/default/bin/python bench/sorvel_stats_quick.py
Prints one row per operation: microseconds per call, best of several runs,
and how many times faster the native class is.
"""
import os
import platform
import random
import sys
import timeit

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from belvane.tframe.utils import sorvel  # noqa: E402
from peers import sorvel_stats as peer  # noqa: E402

REPEAT = 5


def best(fn, number):
    return min(timeit.repeat(fn, number=number, repeat=REPEAT)) / number * 1e6


def timer_start_stop(mod):
    t = mod.SimpleTimer('bench', start=False)

    def run():
        t.start()
        t.stop()
    return run, 20000


def collect_recoder_once(mod):
    mod.StatusCollect._StatusCollect__state.clear()
    c = mod.StatusCollect.instance()
    c.start_time('bench', 'load')

    def run():
        c.recoder_once('bench', 'tips ')
    return run, 20000


def ranges(n=1000, seed=7):
    rnd = random.Random(seed)
    out = [(i * 3, i * 3 + rnd.choice((0, 1, 2, 3))) for i in range(n)]
    rnd.shuffle(out)
    return out


def record_add_range(mod):
    rs = ranges()

    def run():
        r = mod.RangeRecord()
        for s, e in rs:
            r.add_range('n', s, e)
    # per call: one add_range into a list growing to 1,000 ranges
    return run, 1, len(rs)


def record_diff(mod):
    rs = ranges()

    def run():
        mod.RangeRecord.diff_record(rs, -5, 3005)
    return run, 50


def record_sub(mod):
    rs = ranges()

    def run():
        mod.RangeRecord.sub_record(rs, 500, 2500)
    return run, 50


CASES = [
    ('SimpleTimer start+stop', timer_start_stop),
    ('StatusCollect.recoder_once', collect_recoder_once),
    ('RangeRecord.add_range (1,000)', record_add_range),
    ('RangeRecord.diff_record (1,000)', record_diff),
    ('RangeRecord.sub_record (1,000)', record_sub),
]


def measure(make, mod):
    made = make(mod)
    fn, number = made[0], made[1]
    per = made[2] if len(made) > 2 else 1
    fn()  # warm up
    return best(fn, number) / per


def main():
    print('%s %s' % (platform.python_implementation(), platform.python_version()))
    print('%-34s %12s %12s %8s' % ('operation', 'native us', 'peer us', 'ratio'))
    for label, make in CASES:
        native = measure(make, sorvel)
        pure = measure(make, peer)
        print('%-34s %12.3f %12.3f %7.2fx' % (label, native, pure, pure / native))
    sorvel.StatusCollect._StatusCollect__state.clear()
    peer.StatusCollect._StatusCollect__state.clear()
    return 0


if __name__ == '__main__':
    sys.exit(main())

"""Rows for the stopwatch, the status collector and the range record."""
from bench.harness import Row

NATIVE = 'belvane.tframe.utils.sorvel'
PEER = 'sorvel_stats'


def _timer(mod):
    t = mod.SimpleTimer(start=False)

    def start_stop():
        t.start()
        t.stop()
    return start_stop


def _recoder_once(mod):
    sc = mod.StatusCollect()
    sc.start_time('bench', 'load')
    calls = [0]

    def once():
        sc.recoder_once('bench', 'step ')
        calls[0] += 1
        if calls[0] % 10000 == 0:
            sc.clear_info('bench')
    return once


def _add_range(mod):
    def build():
        r = mod.RangeRecord()
        for i in range(1000):
            r.add_range('a', 3 * i, 3 * i + 1)
    return build


RANGES = [(3 * i, 3 * i + 1) for i in range(1000)]


def _diff_record(mod):
    cls = mod.RangeRecord
    records = list(RANGES)
    return lambda: cls.diff_record(records, 100, 2900)


def _sub_record(mod):
    cls = mod.RangeRecord
    records = list(RANGES)
    return lambda: cls.sub_record(records, 100, 2900)


ROWS = [
    Row('SimpleTimer start/stop', _timer, target=1.5),
    Row('StatusCollect.recoder_once', _recoder_once, target=1.5),
    Row('RangeRecord.add_range per range, building 1,000', _add_range, per=1000, target=4.0),
    Row('RangeRecord.diff_record(1,000 ranges)', _diff_record, target=4.0),
    Row('RangeRecord.sub_record(1,000 ranges)', _sub_record, target=4.0),
]

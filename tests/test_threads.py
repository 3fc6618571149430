"""Objects of the three modules used from several threads at once, with the
interpreter switching threads as often as it can: each thread works its own
positions, accounts, range records and timers, and all of them record into
one shared StatusCollect. Nothing crashes, every result equals the one
computed alone, and no record line is lost."""
import sys
import threading
import time

import pytest

from accounts_support import cash, gv, make_account, native as accounts, report
from belvane.tframe import sysclsbase
from belvane.tframe.utils import sorvel
from outcomes import canon
from positions_support import native as positions, worked_future, worked_stock

THREADS = 6
ROUNDS = 60


@pytest.fixture
def switching(monkeypatch):
    saved = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    env = sysclsbase.SimEnvironment(prices={7: 3500.0, 8: 10.5}, multiples={7: 10},
                                    margin_rates={7: 0.1})
    monkeypatch.setattr(sysclsbase, 'env', env)
    yield
    sys.setswitchinterval(saved)


def work(acc_reports):
    """One round of everything a thread does with its own objects; the
    results, comparable with the ones of a round run alone."""
    future, stock = worked_future(positions), worked_stock(positions)
    acc = make_account(accounts)
    acc.update_info(cash(), acc_reports)
    r = sorvel.RangeRecord()
    for s, e in [(1, 3), (7, 9), (4, 6), (20, 22)]:
        r.add_range('k', s, e)
    r.sub_range('k', 2, 8)
    t = sorvel.SimpleTimer('t', unit='ms', start=False)
    t.start()
    t.stop()
    d = sorvel.OrderedDotDict([('a', 1)])
    d.b = 2
    return [list(future.snapshot().items()), list(stock.snapshot().items()),
            future.volume(gv.POSITIONSIDE_SHORT), future.market_value(gv.POSITIONSIDE_LONG),
            [list(x.items()) for x in acc.snapshot_positions()],
            [list(x.items()) for x in acc.snapshot_position([0, 1, 2], gv.POSITIONSIDE_UNKNOWN)],
            list(acc.snapshot_cash().items()), list(r.record('k')),
            sorvel.RangeRecord.diff_record([(5, 9), (1, 3)], 0, 12), str(d), t.running]


def test_threads_share_nothing_but_the_collector(switching):
    reports = [report('sz', '000001'), report('SH', '600000'), report('q', 'q')]
    expected = canon(work(reports))
    collector = sorvel.StatusCollect.instance()
    names = ['thread-%d' % i for i in range(THREADS)]
    for name in names:
        collector.start_time(name, name)
    errors, done = [], []
    deadline = time.time() + 2.0

    def run(i):
        name = names[i]
        try:
            n = 0
            for n in range(1, ROUNDS + 1):
                if canon(work(reports)) != expected:
                    errors.append((name, 'result differs in round %d' % n))
                    return
                collector.recoder_once(name, tips='round %d ' % n)
                collector.use_time(name)
                if n % 10 == 0:
                    collector.stat_info(name)
                if time.time() > deadline:
                    break
            done.append((name, n))
        except Exception as e:  # any failure of a thread is the test's
            errors.append((name, repr(e)))

    threads = [threading.Thread(target=run, args=(i,)) for i in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(10)
    assert not errors
    assert len(done) == THREADS
    for name, rounds in done:
        assert collector.recoder_count(name) == rounds
        lines = collector._recoder[name]
        assert [l.split(' ')[3] for l in lines] == [str(n) for n in range(1, rounds + 1)]
        assert all(' %s ' % name in l for l in lines)
        assert collector.stat_info(name, stop=True).count('\n') == rounds + 6
        collector._time.pop(name)
        collector._recoder.pop(name)


def test_threads_on_one_range_record_and_one_timer_do_not_crash(switching):
    # Shared objects are not synchronised, so results may mix; what must
    # hold is that every call answers and the objects stay usable.
    r = sorvel.RangeRecord()
    timer = sorvel.SimpleTimer('shared', start=False)
    acc = make_account(accounts)
    reports = [report('sz', '000001'), report('SH', '600000')]
    errors = []
    deadline = time.time() + 0.5

    def run(i):
        try:
            while time.time() < deadline:
                r.add_range('k', i, i + 3)
                r.sub_range('k', i + 1, i + 1)
                r.record('k')
                try:
                    timer.start()
                    timer.stop()
                except RuntimeError:
                    pass  # another thread holds it
                str(timer)
                acc.update_info(cash(), reports)
                acc.snapshot_positions()
        except Exception as e:  # any failure of a thread is the test's
            errors.append(repr(e))

    threads = [threading.Thread(target=run, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(10)
    assert not errors
    assert sorvel.RangeRecord.comb_record(list(r.record('k'))) == r.record('k')
    assert len(acc.snapshot_positions()) == 4

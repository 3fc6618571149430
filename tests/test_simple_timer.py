# -*- coding: utf-8 -*-
import datetime
import time

import pytest
from hypothesis import given, settings, strategies as st

from belvane.tframe.utils import sorvel

from conftest import reference_function, run_python
from hostile_support import DELETED, INT_VALUES, STR_VALUES, BadBool, Boom, hostile, put
from outcomes import canon, outcome, raised, run_both
from peers import sorvel_stats as peer
from toolkit_support import TOOLKITS, FakeClock, clocks  # noqa: F401 (fixture)


@pytest.fixture(params=['native', 'peer'])
def mod(request):
    return sorvel if request.param == 'native' else peer


@pytest.fixture
def clock(mod, monkeypatch):
    c = FakeClock()
    monkeypatch.setattr(mod, 'datetime', c)
    return c


# ---- the module and its unit table ------------------------------------------

def test_module_creates_the_classes_in_order():
    # In a fresh interpreter: other tests rebind the module's globals.
    code = ('from belvane.tframe.utils import sorvel\n'
            'print(" ".join(k for k, v in vars(sorvel).items() if isinstance(v, type) and\n'
            '               v.__module__ == "tframe.utils.sorvel"))')
    assert run_python(code).stdout.split() == [
        'DotDict', 'OrderedDotDict', 'SimpleTimer', 'OutputFileManager', 'FileStrategyLoader',
        'StatusCollect', 'SocketBase', 'RangeRecord']


def test_unit_table():
    maps = sorvel.SimpleTimer._unit_maps
    assert list(maps) == ['year', 'mon', 'day', 'hour', 'min', 'sec', 'ms']
    assert maps == peer.SimpleTimer._unit_maps
    assert all(type(v) is list and len(v) == 2 for v in maps.values())
    assert maps['year'] == ['年', 31536000000] and maps['ms'] == ['毫秒', 1]


@pytest.mark.parametrize('unit, expected', [('week', 'sec'), (None, 'sec'), ('ms', 'ms'),
                                            ('year', 'year')])
def test_unknown_unit_falls_back_to_seconds(mod, unit, expected):
    t = mod.SimpleTimer('t', unit=unit, start=False)
    assert t.unit == expected
    assert t.elapsed == 0 and type(t.elapsed) is int
    assert t.start_time is None and not t.running


# ---- examples ---------------------------------------------------------------

def test_new_stopped_timer_renders_zero_seconds(mod):
    assert str(mod.SimpleTimer('t', start=False)) == 't 0 秒'
    assert mod.SimpleTimer(start=False).chs_unit == '秒'


def test_two_runs_accumulate_and_render_truncated(mod, clock):
    t = mod.SimpleTimer('load')
    clock.advance(seconds=1.6)
    assert t.stop() == pytest.approx(1.6)
    t.start()
    clock.advance(seconds=1.6)
    assert str(t) == 'load 1 秒'  # running: only the current run
    elapsed = t.stop()
    assert elapsed == t.elapsed == pytest.approx(3.2) and type(elapsed) is float
    assert str(t) == 'load 3 秒'


def test_results_equal_the_peer_bit_for_bit(monkeypatch):
    def run(mod):
        c = FakeClock()
        monkeypatch.setattr(mod, 'datetime', c)
        out = []
        for unit in ['year', 'mon', 'day', 'hour', 'min', 'sec', 'ms']:
            t = mod.SimpleTimer('p', unit=unit)
            c.advance(days=3, seconds=7, microseconds=123457)
            out.append((t.total(), str(t)))
            c.advance(microseconds=-999999)  # runs backwards: negative days inside
            out.append(t.stop())
        return out

    assert canon(run(sorvel)) == canon(run(peer))


@pytest.mark.parametrize('unit, run, expected', [
    ('ms', dict(seconds=1), 1000.0),
    ('sec', dict(milliseconds=2500), 2.5),
    ('min', dict(seconds=90), 1.5),
    ('hour', dict(minutes=30), 0.5),
    ('day', dict(hours=36), 1.5),
    ('mon', dict(days=45), 1.5),
    ('year', dict(days=365 * 2), 2.0),
    ('day', dict(microseconds=1), 1 / 1000 / 86400000),
])
def test_total_in_each_unit(mod, clock, unit, run, expected):
    t = mod.SimpleTimer(unit=unit)
    clock.advance(**run)
    assert t.total() == expected
    assert t.elapsed == 0  # total() does not accumulate


def test_state_errors_change_nothing(mod, clock):
    t = mod.SimpleTimer()
    started = t.start_time
    with pytest.raises(RuntimeError, match='^Already started$'):
        t.start()
    assert t.start_time is started
    clock.advance(seconds=1)
    t.stop()
    for op in (t.stop, t.total, lambda: t.__exit__(None, None, None)):
        with pytest.raises(RuntimeError, match='^Not started$'):
            op()
    assert t.elapsed == 1.0 and t.start_time is None


def test_context_manager(mod, clock):
    with pytest.raises(RuntimeError, match='Already started'):
        with mod.SimpleTimer():
            pass
    t = mod.SimpleTimer(start=False)
    with pytest.raises(KeyError):
        with t as entered:
            assert entered is t and t.running
            clock.advance(seconds=2)
            raise KeyError('body')
    assert not t.running and t.elapsed == 2.0


def test_restart_folds_the_interrupted_run_into_elapsed(mod, clock):
    t = mod.SimpleTimer('a')
    clock.advance(seconds=4)
    t.stop()
    t.start()
    clock.advance(seconds=3)
    t.restart(prompt='b', unit='ms')
    assert t.elapsed == 3000.0 and t.running and t.prompt == 'b'
    assert t.start_time == clock.t
    t.stop()
    t.restart()
    assert t.elapsed == 0 and t.running


def test_reset_keeps_the_state_and_switches_units(mod, clock):
    t = mod.SimpleTimer()
    clock.advance(seconds=2)
    t.reset(unit='ms')
    assert t.running and t.total() == 2000.0 and t.chs_unit == '毫秒'
    t.stop()
    t.reset(prompt='x', unit='nope')
    assert (t.prompt, t.unit, t.elapsed, t.running) == ('x', 'sec', 0, False)


def test_real_clock(mod):
    t = mod.SimpleTimer(unit='ms')
    time.sleep(0.02)
    run = t.total()
    assert 15 <= run < 2000
    assert 15 <= t.stop() < 2000
    assert str(t).startswith(' ') and str(t).endswith(' 毫秒')


def test_prompt_must_concatenate(mod):
    t = mod.SimpleTimer(prompt=None, start=False)
    assert raised(lambda: str(t)) == raised(lambda: str(peer.SimpleTimer(prompt=None, start=False)))
    t.prompt = ['a']
    with pytest.raises(TypeError):
        str(t)


def test_value_rendering_of_odd_elapsed_values(mod):
    t = mod.SimpleTimer('p', start=False)
    for value, text in [(-2.7, 'p -2 秒'), (-0.0, 'p 0 秒'), (2 ** 70, 'p %d 秒' % 2 ** 70),
                        (1e30, 'p %d 秒' % 1e30), (True, 'p 1 秒')]:
        t.elapsed = value
        assert str(t) == text
    t.elapsed = float('nan')
    with pytest.raises(ValueError):
        str(t)
    t.elapsed = 'x'
    with pytest.raises(TypeError):
        str(t)


# ---- globals, patches and calls, as in the peer -----------------------------

def test_unit_table_read_through_the_module_global(mod, monkeypatch):
    t = mod.SimpleTimer(unit='ms', start=False)

    class Other(object):
        _unit_maps = {'ms': ('msec', 1), 'sec': ('s', 1000), 'tick': ('tk', 7)}

    monkeypatch.setattr(mod, 'SimpleTimer', Other)
    assert t.chs_unit == 'msec'
    t.reset(unit='tick')
    assert t.unit == 'tick' and t.chs_unit == 'tk'
    t.unit = 'gone'
    assert t.chs_unit == '秒'[0]


def test_clock_read_through_the_module_global(mod, monkeypatch):
    # Any clock whose difference has days/seconds/microseconds will do.
    class Diff(object):
        days, seconds, microseconds = 1, 2, 3000

    class Stamp(object):
        def __sub__(self, other):
            return Diff()

    class Clock(object):
        datetime = property(lambda self: self)

        def now(self):
            return Stamp()

    t = mod.SimpleTimer(unit='ms')
    monkeypatch.setattr(mod, 'datetime', Clock())
    assert t.total() == 86402003.0


def test_methods_reach_each_other_through_self(mod, clock):
    calls = []

    class Timer(mod.SimpleTimer):
        def total(self):
            calls.append('total')
            return 10

        def _raise_not_start(self):
            calls.append('check')

        @property
        def chs_unit(self):
            return 'U'

    t = Timer('p', start=False)
    assert t.stop() == 10 and str(t) == 'p 10 U'
    assert calls == ['check', 'total']
    t.restart()
    assert t.running and t.elapsed == 0


def test_timer_attributes_live_in_the_instance_dict(mod):
    t = mod.SimpleTimer('x', 'ms', False)
    assert list(vars(t)) == ['start_time', 'unit', 'prompt', 'elapsed']


@pytest.mark.parametrize('call', [
    lambda T: T('a', 'b', True, 4),
    lambda T: T(prompt='a', colour=1),
    lambda T: T(1, prompt='x'),
    lambda T: T(start=False).reset(1, 2, 3),
    lambda T: T(start=False).restart(unit='ms', bogus=1),
    lambda T: T(start=False).total(1),
])
def test_argument_errors_match_python(call):
    class Mirror(object):
        __init__ = reference_function('self, prompt="", unit="sec", start=True', 'SimpleTimer.__init__')
        reset = reference_function('self, prompt=None, unit=None', 'SimpleTimer.reset')
        restart = reference_function('self, prompt=None, unit=None', 'SimpleTimer.restart')
        total = reference_function('self', 'SimpleTimer.total')

    assert raised(lambda: call(sorvel.SimpleTimer)) == raised(lambda: call(Mirror))


naive = st.datetimes(min_value=datetime.datetime(1, 1, 1),
                     max_value=datetime.datetime(9999, 12, 31, 23, 59, 59, 999999))


@settings(max_examples=300, deadline=None)
@given(naive, naive, st.sampled_from(['ms', 'sec', 'day', 'year']))
def test_difference_of_any_two_datetimes_matches_the_peer(start, end, unit):
    results = []
    for m in (sorvel, peer):
        t = m.SimpleTimer(unit=unit, start=False)
        t.start_time = start
        clock = FakeClock()
        clock.t = end
        old = m.datetime
        m.datetime = clock
        try:
            results.append(repr(t.total()))
        finally:
            m.datetime = old
    assert results[0] == results[1]


def test_aware_datetimes_take_the_general_path(mod, clock):
    tz = datetime.timezone(datetime.timedelta(hours=8))
    clock.t = datetime.datetime(2024, 5, 1, 9, 30, tzinfo=tz)
    t = mod.SimpleTimer(unit='ms')
    clock.t = datetime.datetime(2024, 5, 1, 1, 30, 1, tzinfo=datetime.timezone.utc)
    assert t.total() == 1000.0
    clock.t = datetime.datetime(2024, 5, 1, 1, 30, 1)
    with pytest.raises(TypeError):
        t.total()


def test_rebinding_the_datetime_class_inside_the_module_is_seen(mod, monkeypatch):
    fixed = datetime.datetime(2030, 1, 1)

    class Fixed(datetime.datetime):
        @classmethod
        def now(cls, tz=None):
            return fixed

    t = mod.SimpleTimer(start=False)
    monkeypatch.setattr(mod.datetime, 'datetime', Fixed)
    t.start()
    assert t.start_time is fixed


def test_shadowing_and_class_patches_are_seen(mod, monkeypatch):
    t = mod.SimpleTimer(start=False)
    t._raise_not_start = lambda: None  # the instance's own attribute wins
    with pytest.raises(TypeError):
        t.stop()  # goes on to subtract from start_time None
    del t._raise_not_start
    monkeypatch.setattr(mod.SimpleTimer, '_raise_started', lambda self: None)
    t.start()
    t.start()  # no longer refused
    monkeypatch.setattr(mod.SimpleTimer, 'total', lambda self: 42)
    assert t.stop() == 42 and str(t) == ' 42 秒'


def test_running_property_replaced_or_reinitialised(mod, monkeypatch):
    t = mod.SimpleTimer(start=False)
    monkeypatch.setattr(mod.SimpleTimer, 'running', property(lambda self: True))
    with pytest.raises(RuntimeError, match='Already started'):
        t.start()
    monkeypatch.undo()
    prop = vars(mod.SimpleTimer)['running']
    getter = prop.fget
    prop.__init__(lambda self: True)
    try:
        with pytest.raises(RuntimeError, match='Already started'):
            t.start()
    finally:
        prop.__init__(getter)
    t.start()
    assert t.running


def test_table_that_is_not_a_plain_dict(mod, monkeypatch):
    seen = []

    class Table(dict):
        def __contains__(self, key):
            seen.append(key)
            return dict.__contains__(self, key)

    class Other(object):
        _unit_maps = Table(sec=['s', 1000], tick=['t', 4])

    t = mod.SimpleTimer(unit='ms', start=False)
    monkeypatch.setattr(mod, 'SimpleTimer', Other)
    t.reset(unit='tick')
    t.start_time = datetime.datetime.now() - datetime.timedelta(milliseconds=40)
    assert 9.5 < t.total() < 1000 and seen == ['tick', 'tick']


# ---- hostile inputs, native against peer ------------------------------------

TIMER_VALUES = [(i, v) for i, v in INT_VALUES] + [('str-' + i, v) for i, v in STR_VALUES] + [
    ('deleted', DELETED), ('datetime-sub', type('D', (datetime.datetime,), {})(2024, 5, 1)),
    ('aware', datetime.datetime(2024, 5, 1, tzinfo=datetime.timezone.utc)),
    ('float', 2.5), ('unit-key', 'day')]


TIMER_OPS = [
    ('str', lambda t: str(t)), ('total', lambda t: t.total()), ('stop', lambda t: t.stop()),
    ('start', lambda t: t.start()), ('reset', lambda t: t.reset()),
    ('restart', lambda t: t.restart()), ('chs_unit', lambda t: t.chs_unit),
    ('running', lambda t: t.running), ('enter', lambda t: t.__enter__()),
    ('exit', lambda t: t.__exit__(None, None, None)),
]


def timer_usable(T):
    t = T('ok', start=False)
    t.start()
    t.stop()
    return outcome(lambda: (str(t), t.running, t.chs_unit))


def timer_attr_scenario(impl, attr, h, running):
    T = impl.SimpleTimer
    out = []
    for _, op in TIMER_OPS:
        t = T('p', unit='ms', start=running)
        put(t, attr, h)
        out.append(outcome(lambda: op(t)))
        # The same object after its attributes are put right again.
        t.start_time, t.unit, t.prompt, t.elapsed = None, 'sec', 'x', 0
        out.append(outcome(lambda: (str(t), t.running)))
    out.append(timer_usable(T))
    return out


@pytest.mark.parametrize('attr', ['start_time', 'unit', 'prompt', 'elapsed'])
@pytest.mark.parametrize('running', [True, False], ids=['running', 'stopped'])
def test_timer_attributes_replaced_or_deleted(clocks, attr, running):
    for _, h in TIMER_VALUES:
        run_both(timer_attr_scenario, TOOLKITS, attr, h, running)


def timer_arg_scenario(impl, h):
    T = impl.SimpleTimer
    out = [outcome(lambda: str(T(prompt=h))), outcome(lambda: T(unit=h).unit),
           outcome(lambda: T(start=h).running), outcome(lambda: T(h, h, h).chs_unit)]
    t = T('p')
    out.append(outcome(lambda: t.reset(h, None)))
    out.append(outcome(lambda: t.reset(None, h)))
    out.append(outcome(lambda: t.restart(prompt=h)))
    out.append(outcome(lambda: t.restart(unit=h)))
    out.append(outcome(lambda: t.__exit__(h, h, h)))
    out.append(timer_usable(T))
    return out


def test_timer_arguments(clocks):
    for _, h in TIMER_VALUES:
        if h is not DELETED:
            run_both(timer_arg_scenario, TOOLKITS, h)


def timer_subclasses(impl):
    T = impl.SimpleTimer

    class RunningRaises(T):
        @property
        def running(self):
            raise Boom('running')

    class RunningWrong(T):
        running = property(lambda self: BadBool())

    class TotalRaises(T):
        def total(self):
            raise Boom('total')

    class TotalWrong(T):
        def total(self):
            return 'not a number'

    class ReentersStop(T):
        def _raise_not_start(self):
            if self.running:
                self.stop()
            return T._raise_not_start(self)

    class ReentersStart(T):
        def _raise_started(self):
            self.start()

    class ResetRecurses(T):
        def reset(self, prompt=None, unit=None):
            self.restart(prompt, unit)

    class ChsUnitWrong(T):
        chs_unit = property(lambda self: hostile('__str__', 'raise', base=object))

    class UnitMapsReplaced(T):
        _unit_maps = {'sec': 5}

    return [RunningRaises, RunningWrong, TotalRaises, TotalWrong, ReentersStop, ReentersStart,
            ResetRecurses, ChsUnitWrong, UnitMapsReplaced]


@pytest.mark.parametrize('which', range(9))
def test_timer_subclass_hooks_raise_or_reenter(clocks, which):
    def scenario(impl):
        cls = timer_subclasses(impl)[which]
        out = [outcome(lambda: cls('p', start=False))]
        for start in (False, True):
            for _, op in TIMER_OPS:
                try:
                    t = cls('p', start=False)
                    if start:
                        T = impl.SimpleTimer
                        t.start_time = T('q').start_time
                except RecursionError:
                    out.append(('recursion',))
                    continue
                except Exception as e:  # construction itself may fail
                    out.append(('init', type(e)))
                    continue
                out.append(outcome(lambda: op(t)))
        out.append(timer_usable(impl.SimpleTimer))
        return out
    run_both(scenario, TOOLKITS)


class OddTable(dict):
    """A unit table whose lookups run Python code."""

    def __contains__(self, k):
        raise Boom('contains')


@pytest.mark.parametrize('table', [
    {'sec': ['s', 1000]}, {'sec': ['s', 0]}, {'sec': ['s', 0.0]}, {'sec': ['s', 'x']},
    {'sec': ('s',)}, {'sec': 5}, {}, {'sec': ['s', 2 ** 80], 'ms': ['m', -1]},
    {'sec': ['s', float('nan')]}, OddTable(sec=['s', 1000]), [('sec', 1)], None,
], ids=repr)
def test_timer_unit_table_replaced(clocks, monkeypatch, table):
    def scenario(impl):
        out = []
        with monkeypatch.context() as m:
            m.setattr(impl.SimpleTimer, '_unit_maps', table)
            for _, op in TIMER_OPS:
                out.append(outcome(lambda: op(impl.SimpleTimer('p', start=False))))
                out.append(outcome(lambda: op(impl.SimpleTimer('p', unit='ms'))))
        out.append(timer_usable(impl.SimpleTimer))
        return out
    run_both(scenario, TOOLKITS)

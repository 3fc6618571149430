# -*- coding: utf-8 -*-
import datetime
import sys

import pytest

from belvane.tframe import sysclsbase
from belvane.tframe.utils import sorvel

from conftest import reference_function
from hostile_support import INT_VALUES, STR_VALUES, BadBool, Boom, hostile
from outcomes import canon, outcome, raised, run_both
from peers import sorvel_stats as peer
from toolkit_support import TOOLKITS, FakeClock, clocks  # noqa: F401 (fixture)

EQ = '=' * 60
STAMP_FMT = '%Y-%m-%d %H:%M:%S,%f'
NOW = datetime.datetime(2024, 5, 1, 9, 30, 0, 123456)


@pytest.fixture(params=['native', 'peer'])
def mod(request):
    m = sorvel if request.param == 'native' else peer
    m.StatusCollect._StatusCollect__state.clear()
    yield m
    m.StatusCollect._StatusCollect__state.clear()


@pytest.fixture
def clock(mod, monkeypatch):
    c = FakeClock(NOW)
    monkeypatch.setattr(mod, 'datetime', c)
    return c


def report(name, lines, mode='default', phase='default'):
    return (EQ + '\n统计名称：%s\n运行模式: %s\n运行阶段: %s\n运行详情：\n%s\n' % (
        name, mode, phase, '.\n'.join(lines)) + EQ + '\n')


# ---- examples ---------------------------------------------------------------

def test_instance_is_shared_and_in_the_namespace(mod):
    a = mod.StatusCollect.instance()
    assert a is mod.StatusCollect.instance()
    assert a.StatusCollect is a
    assert type(a) is mod.StatusCollect
    direct = mod.StatusCollect()
    assert mod.StatusCollect.instance() is a and direct.StatusCollect is a


def test_every_construction_resets_the_shared_namespace(mod):
    a = mod.StatusCollect()
    a.env = 5
    a.start_time('x', 'p')
    b = mod.StatusCollect()
    assert a.env is None and a.time_object('x') is None
    b.env = 7
    assert a.env == 7 and a.__dict__ is b.__dict__
    assert a.__dict__ is mod.StatusCollect._StatusCollect__state


def test_instance_made_by_the_module_class_not_cls(mod):
    class Sub(mod.StatusCollect):
        pass

    assert type(Sub.instance()) is mod.StatusCollect


@pytest.mark.parametrize('call, expected', [
    (lambda c: c.stop_time('nope'), 0),
    (lambda c: c.use_time('nope'), 0),
    (lambda c: c.restart_time('nope'), 0),
    (lambda c: c.recoder_once('nope', 'tips'), ''),
    (lambda c: c.stat_info('nope'), None),
    (lambda c: c.last_info('nope'), None),
    (lambda c: c.recoder_count('nope'), 0),
    (lambda c: c.time_object('nope'), None),
    (lambda c: c.clear_info('nope'), None),
])
def test_unknown_names_give_neutral_answers(mod, call, expected):
    c = mod.StatusCollect()
    result = call(c)
    assert result == expected and type(result) is type(expected)
    assert list(c._time) == [] and list(c._recoder) == []


@pytest.mark.parametrize('prompt', [5, b'p', ['p'], type('S', (str,), {})('p')])
def test_prompt_must_be_exactly_str(mod, clock, prompt):
    c = mod.StatusCollect()
    with pytest.raises(TypeError) as info:
        c.start_time('x', prompt)
    assert str(info.value) == (
        "Argument 'prompt' has incorrect type (expected str, got %s)" % type(prompt).__name__)
    assert c.time_object('x') is None
    c.start_time('y', 'kept')
    clock.advance(seconds=2)
    with pytest.raises(TypeError):
        c.start_time('y', prompt, 'ms')  # no restart either
    t = c.time_object('y')
    assert (t.prompt, t.unit, c.use_time('y')) == ('kept', 'sec', 2.0)


def test_prompt_none_accepted_but_unrenderable(mod, clock):
    c = mod.StatusCollect()
    c.start_time('x', None)
    assert c.time_object('x').prompt is None
    with pytest.raises(TypeError):
        c.recoder_once('x')
    assert c.recoder_count('x') == 0


def test_recorded_line_format(mod, clock):
    c = mod.StatusCollect()
    c.start_time('x', 'load')
    clock.advance(seconds=2.7)
    line = c.recoder_once('x', tips='step1 ')
    assert line == '2024-05-01 09:30:02,823456 step1 load 2 秒'
    assert c.recoder_once('x', tips=3) == '2024-05-01 09:30:02,823456 3load 2 秒'
    assert c.recoder_once('x') == '2024-05-01 09:30:02,823456 load 2 秒'
    assert c.recoder_count('x') == 3 and c.last_info('x') == line[:27] + 'load 2 秒'


def test_recoder_once_reset_keeps_timer_running(mod, clock):
    c = mod.StatusCollect()
    c.start_time('x', 'p', unit='ms')
    t = c.time_object('x')
    clock.advance(seconds=1)
    t.stop()
    t.start()
    c.recoder_once('x', reset=True)
    assert t.running and t.elapsed == 0


@pytest.mark.parametrize('when', [
    datetime.datetime(1000, 1, 2, 3, 4, 5, 6),
    datetime.datetime(9999, 12, 31, 23, 59, 59, 999999),
    datetime.datetime(2024, 1, 1),
    datetime.datetime(2024, 1, 1, tzinfo=datetime.timezone(datetime.timedelta(hours=8))),
    datetime.datetime(999, 1, 1),
    type('Stamp', (datetime.datetime,), {'strftime': lambda self, f: 'custom'})(2024, 1, 1),
])
def test_stamp_text_is_strftime(when, monkeypatch):
    texts = []
    for m in (sorvel, peer):
        m.StatusCollect._StatusCollect__state.clear()
        monkeypatch.setattr(m, 'datetime', FakeClock(when))
        c = m.StatusCollect()
        c.start_time('x', 'p')
        texts.append(c.recoder_once('x'))
    assert texts[0] == texts[1]
    assert texts[0] == when.strftime(STAMP_FMT) + ' p 0 秒'


def test_start_time_twice_restarts(mod, clock):
    c = mod.StatusCollect()
    c.start_time('x', 'a')
    t = c.time_object('x')
    clock.advance(seconds=5)
    c.start_time('x', 'b', unit='ms')
    assert c.time_object('x') is t
    assert (t.prompt, t.unit, t.elapsed, t.running) == ('b', 'ms', 5000.0, True)


def test_stop_use_restart(mod, clock):
    c = mod.StatusCollect()
    c.start_time('x', 'p')
    clock.advance(seconds=3)
    assert c.use_time('x') == 3.0
    assert c.stop_time('x') == 3.0 and not c.time_object('x').running
    with pytest.raises(RuntimeError, match='Not started'):
        c.use_time('x')
    assert c.restart_time('x') is None and c.time_object('x').running
    c.recoder_once('x')
    clock.advance(seconds=1)
    assert c.stop_time('x', rm=True) == 1.0
    assert c.time_object('x') is None and c.stat_info('x') is None
    assert c.recoder_count('x') == 0 and 'x' not in c._recoder


def test_report_text(mod, clock):
    c = mod.StatusCollect()
    c.start_time('x', 'p')
    c._recoder['x'].extend(['r1', 'r2'])
    assert c.stat_info('x') == report('x', ['r1', 'r2'])
    assert c.stat_info('x').startswith(EQ + '\n统计名称：x\n运行模式: default\n')
    c.start_time(('n', 1), 'p')
    assert c.stat_info(('n', 1)) == report(('n', 1), [])


def test_report_with_environment(mod, clock):
    c = mod.StatusCollect()
    c.start_time('x', 'p')
    env = sysclsbase.SimEnvironment()
    env.smm.cur_run_mode, env.smm.cur_run_mode_phase = 1, 2
    c.env = env
    c.recoder_once('x')
    assert c.stat_info('x') == report('x', [c.last_info('x')], 'realtrade', 'trading')
    c.env = object()
    with pytest.raises(AttributeError):
        c.stat_info('x')


def test_report_with_stop(mod, clock):
    c = mod.StatusCollect()
    c.start_time('x', 'p')
    assert c.stat_info('x', stop=True) == report('x', [])
    assert not c.time_object('x').running
    with pytest.raises(RuntimeError, match='Not started'):
        c.stat_info('x', stop=True)


def test_record_lines_must_be_texts(mod, clock):
    c = mod.StatusCollect()
    c.start_time('x', 'p')
    c._recoder['x'].append(5)
    with pytest.raises(TypeError):
        c.stat_info('x')


def test_clear_info_keeps_the_name(mod, clock):
    c = mod.StatusCollect()
    c.start_time('x', 'p')
    c.recoder_once('x')
    c.clear_info('x')
    assert c.last_info('x') is None and c.recoder_count('x') == 0 and 'x' in c._recoder


def test_subclass_overrides_are_reached(mod, clock):
    class Collect(mod.StatusCollect):
        def stop_time(self, name, rm=False):
            self.stopped = name

    c = Collect()
    c.start_time('x', 'p')
    c.stat_info('x', stop=True)
    assert c.stopped == 'x' and c.time_object('x').running


def test_timer_class_read_through_the_module_global(mod, clock, monkeypatch):
    made = []

    class Timer(mod.SimpleTimer):
        def __init__(self, **kw):
            made.append(sorted(kw.items()))
            super(Timer, self).__init__(**kw)

    monkeypatch.setattr(mod, 'SimpleTimer', Timer)
    mod.StatusCollect().start_time('x', 'p', 'ms')
    assert made == [[('prompt', 'p'), ('start', True), ('unit', 'ms')]]


# ---- against the peer -------------------------------------------------------

def test_results_equal_the_peer(monkeypatch):
    def run(m):
        m.StatusCollect._StatusCollect__state.clear()
        clock = FakeClock(NOW)
        monkeypatch.setattr(m, 'datetime', clock)
        c = m.StatusCollect.instance()
        out = []
        for i, unit in enumerate(['ms', 'sec', 'min', 'bogus']):
            c.start_time(i, 'p%d' % i, unit)
            clock.advance(seconds=61.5, microseconds=i)
            out += [c.recoder_once(i, tips=i), c.use_time(i), c.recoder_count(i)]
            out += [c.stop_time(i), c.stat_info(i), c.last_info(i)]
        return out

    assert canon(run(sorvel)) == canon(run(peer))


@pytest.mark.parametrize('meth, params, call', [
    ('start_time', 'self, name, prompt, unit="sec"', lambda o, m: m(o, 'x')),
    ('start_time', 'self, name, prompt, unit="sec"', lambda o, m: m(o, 'x', 'p', unit='s', rm=1)),
    ('stop_time', 'self, name, rm=False', lambda o, m: m(o, 'x', True, 3)),
    ('recoder_once', 'self, name, tips=None, reset=False', lambda o, m: m(o, tips=1)),
    ('stat_info', 'self, name, stop=False', lambda o, m: m(o, 'x', name='y')),
    ('last_info', 'self, name', lambda o, m: m(o)),
])
def test_argument_errors_match_python(meth, params, call):
    obj = sorvel.StatusCollect()
    mirror = reference_function(params, 'StatusCollect.' + meth)
    native = getattr(sorvel.StatusCollect, meth)
    got = raised(lambda: call(obj, native))
    assert got[0] is TypeError and got == raised(lambda: call(obj, mirror))
    assert raised(lambda: sorvel.StatusCollect.instance(1)) == raised(
        lambda: reference_function('cls', 'StatusCollect.instance')(sorvel.StatusCollect, 1))


# ---- leaks ------------------------------------------------------------------

def test_no_references_or_memory_leak():
    import gc
    import tracemalloc
    sorvel.StatusCollect._StatusCollect__state.clear()
    name, prompt = object(), ''.join(['lo', 'ad'])
    c = sorvel.StatusCollect()

    def cycle():
        c.start_time(name, prompt, 'ms')
        c.start_time(name, prompt)
        c.recoder_once(name, 'x', reset=True)
        c.use_time(name), c.recoder_count(name), c.last_info(name), c.time_object(name)
        c.stat_info(name)
        c.restart_time(name)
        c.stop_time(name, rm=True)
        for bad in (5, None):
            try:
                c.start_time(name, bad)
                c.recoder_once(name)
            except TypeError:
                pass
        c.stop_time(name, rm=True)
        with sorvel.SimpleTimer(prompt, start=False) as t:
            str(t)

    cycle()
    before = sys.getrefcount(name), sys.getrefcount(prompt)
    gc.collect()
    tracemalloc.start()
    try:
        for _ in range(200):
            cycle()
        gc.collect()
        first = tracemalloc.get_traced_memory()[0]
        for _ in range(2000):
            cycle()
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - first
    finally:
        tracemalloc.stop()
    assert (sys.getrefcount(name), sys.getrefcount(prompt)) == before
    assert grown < 20000
    sorvel.StatusCollect._StatusCollect__state.clear()


# ---- hostile inputs, native against peer ------------------------------------

@pytest.fixture
def shared_state():
    for impl in TOOLKITS:
        impl.StatusCollect._StatusCollect__state.clear()
    yield
    for impl in TOOLKITS:
        impl.StatusCollect._StatusCollect__state.clear()


def collect_ops(h):
    return [
        ('start_time', lambda s: s.start_time(h, 'p')),
        ('start_time unit', lambda s: s.start_time('a', 'p', unit=h)),
        ('start_time prompt', lambda s: s.start_time('a', h)),
        ('stop_time', lambda s: s.stop_time(h)), ('stop_time rm', lambda s: s.stop_time('a', rm=h)),
        ('use_time', lambda s: s.use_time(h)), ('restart_time', lambda s: s.restart_time(h)),
        ('recoder_once', lambda s: s.recoder_once(h)),
        ('recoder_once tips', lambda s: s.recoder_once('a', tips=h)),
        ('recoder_once reset', lambda s: s.recoder_once('a', reset=h)),
        ('recoder_count', lambda s: s.recoder_count(h)),
        ('time_object', lambda s: s.time_object(h) is not None),
        ('stat_info', lambda s: s.stat_info(h)), ('stat_info stop', lambda s: s.stat_info('a', stop=h)),
        ('last_info', lambda s: s.last_info(h)), ('clear_info', lambda s: s.clear_info(h)),
    ]


def collect_usable(impl):
    s = impl.StatusCollect.instance()
    s.start_time('ok', 'p')
    s.recoder_once('ok', tips='t')
    return outcome(lambda: (s.recoder_count('ok'), s.stat_info('ok').count('\n'),
                            s.stop_time('ok', rm=True)))


def collect_scenario(impl, h):
    out = []
    for _, op in collect_ops(h):
        impl.StatusCollect._StatusCollect__state.clear()
        s = impl.StatusCollect.instance()
        s.start_time('a', 'p')
        s.recoder_once('a', tips='first')
        out.append(outcome(lambda: op(s)))
        out.append(outcome(lambda: (s.recoder_count('a'), s.last_info('a'))))
    out.append(collect_usable(impl))
    return out


class CollidingName(str):
    """Hashes like 'a' but cannot be compared."""

    def __hash__(self):
        return hash('a')

    def __eq__(self, other):
        raise Boom('eq')


@pytest.mark.parametrize('pool', [INT_VALUES, STR_VALUES + [('colliding', CollidingName('b'))]],
                         ids=['int', 'str'])
def test_collect_hostile_names_and_arguments(clocks, shared_state, pool):
    for _, h in pool:
        run_both(collect_scenario, TOOLKITS, h)


def collect_replacements():
    class RaisingGet(dict):
        def get(self, *a):
            raise Boom('get')

    class HostileTimer(object):
        running = property(lambda self: BadBool())

        def total(self):
            raise Boom('total')

        def __str__(self):
            raise Boom('str')

        def restart(self, **kw):
            return 'x'

    class AppendRaises(list):
        def append(self, x):
            raise Boom('append')

    class Env(object):
        class gv(object):
            @staticmethod
            def run_mode_name(m):
                return hostile('__format__', 'raise', base=object)

            @staticmethod
            def phase_name(p):
                raise Boom('phase')
        smm = type('smm', (), {'cur_run_mode': 0, 'cur_run_mode_phase': 1})()

    def with_lines(lines):
        return lambda s: s._recoder.__setitem__('a', lines)

    return {
        '_time raising get': lambda s: setattr(s, '_time', RaisingGet(s._time)),
        '_time not a mapping': lambda s: setattr(s, '_time', 5),
        '_time deleted': lambda s: delattr(s, '_time'),
        '_recoder plain dict': lambda s: setattr(s, '_recoder', dict(s._recoder)),
        '_recoder raising get': lambda s: setattr(s, '_recoder', RaisingGet(s._recoder)),
        '_recoder deleted': lambda s: delattr(s, '_recoder'),
        'timer hostile': lambda s: s._time.__setitem__('a', HostileTimer()),
        'timer None': lambda s: s._time.__setitem__('a', None),
        'lines append raises': with_lines(AppendRaises(['l1'])),
        'lines tuple': with_lines(('l1', 'l2')),
        'lines not texts': with_lines(['l1', 5]),
        'lines hostile len': with_lines(hostile('__len__', 'wrong', ['l1'], base=list)),
        'lines hostile bool': with_lines(hostile('__bool__', 'raise', ['l1'], base=list)),
        'env hostile': lambda s: setattr(s, 'env', Env()),
        'env empty': lambda s: setattr(s, 'env', object()),
        'env deleted': lambda s: delattr(s, 'env'),
        'state cleared': lambda s: s.__dict__.clear(),
    }


@pytest.mark.parametrize('case', sorted(collect_replacements()))
def test_collect_namespace_replaced(clocks, shared_state, case):
    def scenario(impl):
        out = []
        for _, op in collect_ops('a'):
            impl.StatusCollect._StatusCollect__state.clear()
            s = impl.StatusCollect.instance()
            s.start_time('a', 'p')
            s.recoder_once('a', tips='first')
            collect_replacements()[case](s)
            out.append(outcome(lambda: op(s)))
        impl.StatusCollect._StatusCollect__state.clear()
        out.append(collect_usable(impl))
        return out
    run_both(scenario, TOOLKITS)


def test_collect_subclass_reentering(clocks, shared_state):
    def scenario(impl):
        class Nosy(impl.StatusCollect):
            def stop_time(self, name, rm=False):
                self.recoder_once(name, tips='stopping')
                return impl.StatusCollect.stop_time(self, name, rm)

        class Timer(impl.SimpleTimer):
            def __str__(self):
                sc = impl.StatusCollect.instance()
                sc.clear_info('a')
                sc._recoder['a'].append('from str')
                return impl.SimpleTimer.__str__(self)

        s = Nosy()
        impl.StatusCollect._StatusCollect__state['StatusCollect'] = s
        s.start_time('a', 'p')
        s._time['a'] = Timer('t')
        out = [outcome(lambda: s.recoder_once('a', tips='x')),
               outcome(lambda: list(s._recoder['a'])),
               outcome(lambda: s.stat_info('a', stop=True)),
               outcome(lambda: s.stat_info('a', stop=True)),
               outcome(lambda: list(s._recoder['a']))]
        out.append(collect_usable(impl))
        return out
    run_both(scenario, TOOLKITS)

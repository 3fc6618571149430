# -*- coding: utf-8 -*-
"""The toolkit's classes against their pure-Python peers under hostile
input: values whose dunders raise or answer with the wrong type, attributes
deleted or replaced, containers that change while they are walked and
subclasses whose hooks raise or re-enter. Each native call must give the
peer's result or exception, and the object must work normally afterwards."""
import datetime
import os
import socket

import pytest

from belvane.tframe.utils import sorvel
from hostile_support import DELETED, BadBool, Boom, hostile, hostile_params, put
from outcomes import canon, outcome, run_both
from peers import sorvel_dicts, sorvel_io, sorvel_stats
from toolkit_support import FakeClock, FakeTime


class Impl(object):
    def __init__(self, native):
        self.native = native
        if native:
            self.dicts = self.stats = self.io = sorvel
        else:
            self.dicts, self.stats, self.io = sorvel_dicts, sorvel_stats, sorvel_io

    def __getattr__(self, name):
        for m in (self.dicts, self.stats, self.io):
            if hasattr(m, name):
                return getattr(m, name)
        raise AttributeError(name)


NATIVE, PEER = Impl(True), Impl(False)
BOTH = (NATIVE, PEER)


@pytest.fixture
def clocks(monkeypatch):
    for module in (sorvel, sorvel_stats):
        monkeypatch.setattr(module, 'datetime', FakeClock(datetime.datetime(2024, 5, 1, 9, 30, 0, 250000),
                                                          step=datetime.timedelta(seconds=1.5)))


@pytest.fixture
def shared_state():
    for impl in BOTH:
        impl.StatusCollect._StatusCollect__state.clear()
    yield
    for impl in BOTH:
        impl.StatusCollect._StatusCollect__state.clear()


def values(base=int, value=3):
    """Hostile values of one base, and the plain odd ones."""
    return hostile_params(base, value) + [
        ('none', None), ('huge', 2 ** 100), ('neg-huge', -2 ** 100), ('nan', float('nan')),
        ('inf', float('inf')), ('-inf', float('-inf')), ('object', object()), ('list', [1, 2]),
        ('true', True), ('text', 'x'), ('bytes', b'x'), ('badbool', BadBool())]


INT_VALUES = values()
STR_VALUES = values(str, 'sec')


# ---- DotDict and OrderedDotDict ---------------------------------------------------

DICT_KINDS = ['DotDict', 'OrderedDotDict']


def dict_scenario(impl, kind, h):
    cls = getattr(impl, kind)
    out = []
    out.append(outcome(lambda: cls(h)))
    d = cls([('a', 1)])
    out.append(outcome(lambda: d.__setitem__(h, 2)))
    out.append(outcome(lambda: str(d)))
    out.append(outcome(lambda: setattr(d, 'x', h)))
    out.append(outcome(lambda: d.x))
    out.append(outcome(lambda: str(d)))
    out.append(outcome(lambda: cls.__getattr__(d, h)))
    out.append(outcome(lambda: cls.__setattr__(d, h, 1)))
    out.append(outcome(lambda: cls.__init__(d, h)))
    # Still a working mapping.
    d2 = cls([('a', 1)])
    d2.b = 'y'
    out.append(outcome(lambda: (str(d2), d2.a, d2.b)))
    return out


@pytest.mark.parametrize('kind', DICT_KINDS)
@pytest.mark.parametrize('pool', [INT_VALUES, STR_VALUES], ids=['int', 'str'])
def test_dicts_with_hostile_keys_and_values(kind, pool):
    for _, h in pool:
        run_both(dict_scenario, BOTH, kind, h)


def dict_views(kind):
    """Subclasses whose items/keys/__getitem__ misbehave in __str__."""
    def make(impl):
        base = getattr(impl, kind)
        out = {}

        class WrongItems(base):
            def items(self):
                return 5
        out['items not iterable'] = WrongItems

        class ShortPairs(base):
            def items(self):
                return [('a',), ('b', 1, 2)]
        out['short pairs'] = ShortPairs

        class RaisingIter(base):
            def items(self):
                return iter(hostile('__iter__', 'raise', base=object) for _ in range(1))
        out['raising pairs'] = RaisingIter

        class Mutating(base):
            def __getitem__(self, k):
                self.clear()
                return base.__getitem__(self, k) if k in self else 'gone'
        out['getitem clears'] = Mutating

        class LenLies(base):
            def items(self):
                return hostile('__len__', 'wrong', [('a', 1)], base=list)
        out['len lies'] = LenLies

        class ManyKeys(base):
            def keys(self):
                return ['a'] * 5
        out['more keys than items'] = ManyKeys

        class KeysRaise(base):
            def keys(self):
                raise Boom('keys')
        out['keys raise'] = KeysRaise

        class ReprDeletes(object):
            def __init__(self, d):
                self.d = d

            def __repr__(self):
                self.d.clear()
                return 'R'
        out['repr clears'] = ReprDeletes
        return out
    return make


@pytest.mark.parametrize('kind', DICT_KINDS)
@pytest.mark.parametrize('case', ['items not iterable', 'short pairs', 'raising pairs',
                                  'getitem clears', 'len lies', 'more keys than items',
                                  'keys raise', 'repr clears'])
def test_dict_str_with_misbehaving_views(kind, case):
    make = dict_views(kind)

    def scenario(impl):
        cls = make(impl)[case]
        if case == 'repr clears':
            d = getattr(impl, kind)()
            d['a'] = cls(d)
            d['b'] = 2
        else:
            d = cls([('a', 1), ('b', 2)])
        out = [outcome(lambda: str(d)), outcome(lambda: d.a), outcome(lambda: d.zz)]
        d['c'] = 3
        out.append(outcome(lambda: d.c))
        return out
    run_both(scenario, BOTH)


# ---- SimpleTimer ------------------------------------------------------------------

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


TIMER_VALUES = [(i, v) for i, v in INT_VALUES] + [('str-' + i, v) for i, v in STR_VALUES] + [
    ('deleted', DELETED), ('datetime-sub', type('D', (datetime.datetime,), {})(2024, 5, 1)),
    ('aware', datetime.datetime(2024, 5, 1, tzinfo=datetime.timezone.utc)),
    ('float', 2.5), ('unit-key', 'day')]


@pytest.mark.parametrize('attr', ['start_time', 'unit', 'prompt', 'elapsed'])
@pytest.mark.parametrize('running', [True, False], ids=['running', 'stopped'])
def test_timer_attributes_replaced_or_deleted(clocks, attr, running):
    for _, h in TIMER_VALUES:
        run_both(timer_attr_scenario, BOTH, attr, h, running)


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
            run_both(timer_arg_scenario, BOTH, h)


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
    run_both(scenario, BOTH)


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
    run_both(scenario, BOTH)


# ---- StatusCollect ----------------------------------------------------------------

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
        run_both(collect_scenario, BOTH, h)


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
    run_both(scenario, BOTH)


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
    run_both(scenario, BOTH)


# ---- RangeRecord ------------------------------------------------------------------

RANGE_CALLS = [
    ('comb', lambda R, rs, h: R.comb_record(rs)),
    ('diff', lambda R, rs, h: R.diff_record(rs, 0, 30)),
    ('sub', lambda R, rs, h: R.sub_record(rs, 4, 12)),
    ('diff s', lambda R, rs, h: R.diff_record(rs, h, 30)),
    ('diff e', lambda R, rs, h: R.diff_record(rs, 0, h)),
    ('sub s', lambda R, rs, h: R.sub_record(rs, h, 12)),
    ('sub e', lambda R, rs, h: R.sub_record(rs, 4, h)),
    ('inc', lambda R, rs, h: R.diff_record(rs, 0, 30, increment_func=h)),
    ('sub inc', lambda R, rs, h: R.sub_record(rs, 4, 12, increment_func=h)),
    ('step', lambda R, rs, h: R._do_increment_func(None, h, 1)),
    ('step fn', lambda R, rs, h: R._do_increment_func(h, 1, 1)),
]


def range_scenario(impl, h, where):
    R = impl.RangeRecord
    out = []
    for _, call in RANGE_CALLS:
        rs = [(5, 9), (1, 3), (20, 25), [11, 14]]
        if where == 'start':
            rs.append((h, 18))
        elif where == 'end':
            rs.append((15, h))
        elif where == 'range':
            rs.append(h)
        out.append(outcome(lambda: call(R, rs, h)))
        out.append(outcome(lambda: [canon(r) for r in rs]))
    r = R()
    for name, s, e in [(h, 1, 2), ('a', h, 5), ('a', 1, h), ('a', h, h)]:
        out.append(outcome(lambda: r.add_range(name, s, e)))
        out.append(outcome(lambda: r.sub_range(name, s, e)))
        out.append(outcome(lambda: r.record('a')))
    out.append(outcome(lambda: r.record(h)))
    r2 = R()
    r2.add_range('k', 1, 4)
    r2.sub_range('k', 2, 2)
    out.append(outcome(lambda: r2.record('k')))
    return out


@pytest.mark.parametrize('where', ['args', 'start', 'end', 'range'])
def test_range_record_hostile_bounds(where):
    for _, h in INT_VALUES + [('float', 2.5), ('neg', -7), ('tuple', (2, 4)), ('short', (1,))]:
        run_both(range_scenario, BOTH, h, where)


def range_mutators():
    """Increment functions and class-method overrides that change the lists
    the methods are walking."""

    def make(impl, case):
        R = impl.RangeRecord
        shared = []

        class Shared(R):
            @classmethod
            def comb_record(cls, records):
                shared[:] = R.comb_record(records)
                return shared

        def clears(v, d):
            del shared[:]
            return v + d

        def grows(v, d):
            if len(shared) < 20:
                shared.append((v + 100, v + 101))
            return v + d

        def swaps(v, d):
            shared.reverse()
            return v + d

        def replaces(v, d):
            shared[:] = [(0, 1)]
            return v + d

        cases = {'clears': clears, 'grows': grows, 'swaps': swaps, 'replaces': replaces}
        return Shared, cases[case]
    return make


@pytest.mark.parametrize('case', ['clears', 'grows', 'swaps', 'replaces'])
@pytest.mark.parametrize('method, args', [('diff_record', (0, 40)), ('sub_record', (4, 21)),
                                          ('sub_record', (0, 40)), ('diff_record', (2, 6))])
def test_range_lists_changed_while_walked(case, method, args):
    make = range_mutators()

    def scenario(impl):
        cls, inc = make(impl, case)
        rs = [(5, 9), (1, 3), (20, 25), (11, 14)]
        out = [outcome(lambda: getattr(cls, method)(rs, *args, increment_func=inc))]
        out.append(outcome(lambda: getattr(cls, method)([(1, 2)], *args)))
        return out
    run_both(scenario, BOTH)


def test_range_object_with_replaced_stores():
    def scenario(impl):
        out = []
        R = impl.RangeRecord

        class Odd(list):
            def clear(self):
                raise Boom('clear')

        setups = [
            lambda r: setattr(r, '_raw_record', {}),
            lambda r: setattr(r, '_record', {}),
            lambda r: setattr(r, '_raw_record', None),
            lambda r: delattr(r, '_record'),
            lambda r: r._record.__setitem__('a', Odd()),
            lambda r: r._record.__setitem__('a', ()),
            lambda r: r._raw_record.__setitem__('a', ((1, 2),)),
            lambda r: r._raw_record.__setitem__('a', [(9, 1)]),
            lambda r: setattr(r, 'comb_record', lambda rs: 5),
            lambda r: setattr(r, 'sub_record', lambda *a: None),
        ]
        for setup in setups:
            r = R()
            setup(r)
            out.append(outcome(lambda: r.add_range('a', 1, 3)))
            out.append(outcome(lambda: r.sub_range('a', 2, 2)))
            out.append(outcome(lambda: r.record('a')))
        return out
    run_both(scenario, BOTH)


# ---- OutputFileManager and FileStrategyLoader -------------------------------------------

@pytest.mark.parametrize('pool', [INT_VALUES, STR_VALUES], ids=['int', 'str'])
def test_output_manager_hostile_names(tmp_path, pool):
    def scenario(impl, h):
        class M(impl.OutputFileManager):
            pass
        root = str(tmp_path / ('n' if impl.native else 'p'))
        M.init(root_dir=root)
        out = []
        for call in (lambda: M.root_sub_dir(h), lambda: M.mk_root_sub_dir(h),
                     lambda: M.get_sub_dir('mat', h), lambda: M.get_sub_dir(h),
                     lambda: M.set_task_id(h), lambda: M.root_sub_dir('record'),
                     lambda: M.rm_root_sub_dir('record'), lambda: M.cls_root_sub_dir(h),
                     lambda: M.mk_dir(h), lambda: M.init(h)):
            r = outcome(call)
            out.append(r if r[0] != 'ok' or r[1][0] != 'str' else ('ok', 'path'))
        M.init(root_dir=root)
        M.set_task_id(1)
        out.append(outcome(lambda: os.path.isdir(M.mk_root_sub_dir('record'))))
        return out
    for _, h in pool:
        run_both(scenario, BOTH, h)


# Int-like paths are file descriptors to open(): not something to hand it here.
PATH_VALUES = [(i, v) for i, v in STR_VALUES if not isinstance(v, int)] + [
    ('object', object()), ('none', None), ('list', [1])]


def test_strategy_loader_hostile_paths(tmp_path):
    source = tmp_path / 's.py'
    source.write_text(u'x = 1\n')

    def scenario(impl, h):
        loader = impl.FileStrategyLoader(h)
        out = [outcome(lambda: loader.load({}))]
        loader._strategy_path = str(source)
        out.append(outcome(lambda: loader.load(h) is not None))
        del loader._strategy_path
        out.append(outcome(lambda: loader.load({})))
        return out
    for _, h in PATH_VALUES:
        run_both(scenario, BOTH, h)


# ---- SocketBase with doubles ------------------------------------------------------------

class Double(object):
    """A socket double whose reads answer from a script."""

    def __init__(self, answers):
        self.answers = list(answers)
        self.calls = []

    def _next(self):
        a = self.answers.pop(0) if self.answers else b''
        if isinstance(a, BaseException):
            raise a
        return a

    def recv(self, n):
        self.calls.append(('recv', canon(n)))
        return self._next()

    def recv_into(self, buf, n):
        self.calls.append(('recv_into', canon(n)))
        a = self._next()
        if callable(a):
            return a(buf)
        return a

    def sendall(self, data):
        self.calls.append('sendall')
        return self._next()

    def settimeout(self, t):
        self.calls.append(('settimeout', canon(t)))
        return self._next()

    def close(self):
        self.calls.append('close')
        return self._next()

    def connect(self, address):
        self.calls.append('connect')
        return self._next()

    def setsockopt(self, *a):
        self.calls.append('setsockopt')


def socket_client(impl):
    class Client(impl.SocketBase):
        socket_default_buffer = 64

        def callback_connected(self):
            self.events.append('connected')

        def callback_disconnected(self):
            self.events.append('disconnected')

        def callback_network_error(self, e):
            self.events.append(('network_error', type(e)))
    return Client


def write(data):
    def into(buf):
        buf[:len(data)] = data
        return len(data)
    return into


SOCKET_ANSWERS = [
    ('recv_into huge', [2 ** 100]), ('recv_into negative', [-1]), ('recv_into past end', [11 << 20]),
    ('recv_into float', [1.5]), ('recv_into None', [None]), ('recv_into bool', [True]),
    ('recv_into index raises', [hostile('__index__', 'raise')]),
    ('recv_into index wrong', [hostile('__index__', 'wrong')]),
    ('recv_into writes', [write(b'abc')]),
    ('recv str', ['text']), ('recv bytearray', [bytearray(b'xy')]), ('recv None', [None]),
    ('recv len raises', [hostile('__len__', 'raise', base=bytes, value=b'ab')]),
    ('recv len wrong', [hostile('__len__', 'wrong', base=bytes, value=b'ab')]),
    ('recv bool raises', [hostile('__bool__', 'raise', base=bytes, value=b'ab')]),
    ('recv add wrong', [hostile('__radd__', 'wrong', base=bytes, value=b'ab')]),
    ('recv too long', [b'x' * 64]),
    ('os error', [OSError('down')]), ('timeout', [socket.timeout('slow')]),
    ('value error', [ValueError('odd')]), ('keyboard', [KeyboardInterrupt()]),
    ('boom then ok', [Boom('x'), b'']),
]

SOCKET_CALLS = [
    ('single', lambda c: c.receive_data()), ('fixed', lambda c: c.receive_data(3, try_times=4)),
    ('fixed big', lambda c: c.receive_data(2 ** 70, try_times=2)),
    ('fixed hostile', lambda c: c.receive_data(hostile('__sub__', 'raise'), try_times=2)),
    ('fixed index', lambda c: c.receive_data(hostile('__int__', 'wrong'), try_times=2)),
    ('tries hostile', lambda c: c.receive_data(3, try_times=hostile('__gt__', 'raise'))),
    ('tries float', lambda c: c.receive_data(3, try_times=2.5)),
    ('send', lambda c: c.send_data(b'x')), ('send ignore', lambda c: c.send_data(b'x', BadBool())),
    ('set_timeout', lambda c: c.set_timeout(1)), ('disconnect', lambda c: c.disconnect()),
    ('garbage', lambda c: c._receive_garbage_data()),
    ('deal', lambda c: c._deal_error(hostile('__str__', 'raise', base=object))),
]


def socket_scenario(impl, answers, call, view):
    impl.io.time = FakeTime()
    try:
        c = socket_client(impl)('127.0.0.1', 9)
        c.events = []
        c.client = Double(answers)
        c.status = 1
        c.buffer_size = 16
        if view is not None:
            c.receive_buffer = view()
        out = [outcome(lambda: call(c)), outcome(lambda: c.data), ('calls', c.client.calls),
               ('events', c.events), ('sleeps', impl.io.time.sleeps), outcome(lambda: c.status)]
        # Usable again with a sane double.
        c.client = Double([write(b'ok')])
        c.receive_buffer = memoryview(bytearray(16))
        out.append(outcome(lambda: c.receive_data()))
        return out
    finally:
        impl.io.time = __import__('time')


VIEWS = [
    ('default', None), ('bytes', lambda: b'\0' * 16), ('short', lambda: memoryview(bytearray(2))),
    ('readonly', lambda: memoryview(b'\0' * 16)), ('ints', lambda: memoryview(bytearray(16)).cast('i')),
    ('2d', lambda: memoryview(bytearray(16)).cast('B', (4, 4))),
    ('released', lambda: released_view()), ('none', lambda: None),
]


def released_view():
    v = memoryview(bytearray(16))
    v.release()
    return v


@pytest.mark.parametrize('call', [c for _, c in SOCKET_CALLS], ids=[i for i, _ in SOCKET_CALLS])
def test_socket_reads_and_buffers(call):
    for _, answers in SOCKET_ANSWERS:
        for _, view in VIEWS:
            run_both(socket_scenario, BOTH, answers, call, view)


SOCKET_ATTRS = [
    ('status', hostile('__eq__', 'raise')), ('status', BadBool()), ('socket_status_open', None),
    ('data', DELETED), ('client', DELETED), ('client', None), ('buffer_size', -1),
    ('buffer_size', 2 ** 80), ('buffer_size', hostile('__index__', 'raise')),
    ('receive_buffer', DELETED), ('server_address', hostile('__iter__', 'raise', base=object)),
    ('timeout', hostile('__float__', 'raise', base=object)), ('_error', DELETED),
]


@pytest.mark.parametrize('attr, h', SOCKET_ATTRS, ids=['%s-%d' % (a, i) for i, (a, _) in
                                                       enumerate(SOCKET_ATTRS)])
def test_socket_attributes_replaced(attr, h):
    def scenario(impl):
        impl.io.time = FakeTime()
        try:
            out = []
            for _, call in SOCKET_CALLS + [('connect', lambda c: c.connect(1)),
                                           ('error', lambda c: c.error),
                                           ('connected', lambda c: c.connected),
                                           ('reconnect', lambda c: c.reconnect())]:
                c = socket_client(impl)('127.0.0.1', 9)
                c.events = []
                c.client = Double([write(b'ab'), b'xyz', b'', OSError('x')])
                c.status = 1
                put(c, attr, h)
                # connect() makes real sockets: keep it off the network.
                impl.io.socket = FakeSocketModule()
                try:
                    out.append(outcome(lambda: call(c)))
                finally:
                    impl.io.socket = socket
                out.append(('events', c.events))
            return out
        finally:
            impl.io.time = __import__('time')
    run_both(scenario, BOTH)


class FakeSocketModule(object):
    error = OSError
    timeout = socket.timeout
    AF_INET = socket.AF_INET
    SOCK_STREAM = socket.SOCK_STREAM
    SOL_SOCKET = socket.SOL_SOCKET
    SO_RCVBUF = socket.SO_RCVBUF

    def socket(self, *a):
        return Double([ConnectionRefusedError('no')] * 3)


def test_socket_constructor_and_retry_arguments():
    def scenario(impl, h):
        impl.io.time = FakeTime()
        impl.io.socket = FakeSocketModule()
        try:
            out = [outcome(lambda: socket_client(impl)(h, h, timeout=h).timeout)]
            c = socket_client(impl)('127.0.0.1', 9)
            c.events = []
            out.append(outcome(lambda: c.connect(retry=h)))
            out.append(outcome(lambda: type(c.error)))
            out.append(outcome(lambda: c.receive_data(h, try_times=1)))
            out.append(outcome(lambda: c.set_timeout(h)))
            out.append(('events', c.events))
            return out
        finally:
            impl.io.time = __import__('time')
            impl.io.socket = socket
    for _, h in INT_VALUES:
        run_both(scenario, BOTH, h)


# ---- import hooks -----------------------------------------------------------------

def test_import_hooks_around_the_registered_top_level_name():
    # The toolkit's finder answers for "tframe" only when asked and only if
    # the package is still loaded and no finder placed after it provides the
    # name; finders that drop the package or raise must not crash it.
    from conftest import run_python
    code = '''
import gc, sys, types
import belvane.tframe.utils.sorvel


class Later(object):
    @staticmethod
    def find_spec(name, path=None, target=None):
        if name == 'tframe' and mode == 'raise':
            raise LookupError('later finder')
        if name == 'tframe' and mode == 'provide':
            import importlib.machinery
            return importlib.machinery.ModuleSpec(name, None, is_package=True)
        return None


class Dropping(object):
    @staticmethod
    def find_spec(name, path=None, target=None):
        if name == 'tframe':
            import belvane
            sys.modules.pop('belvane.tframe', None)
            vars(belvane).pop('tframe', None)
            gc.collect()
        return None


sys.meta_path.append(Later)
for mode in ('raise', 'provide'):
    try:
        import tframe
        print(mode, type(tframe).__name__, getattr(tframe, '__file__', None))
    except Exception as e:
        print(mode, type(e).__name__, e)
    sys.modules.pop('tframe', None)
mode = None
sys.meta_path.insert(0, Dropping)
try:
    import tframe
except ImportError as e:
    print('dropped', type(e).__name__)
'''
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == ['raise LookupError later finder', 'provide module None',
                                        'dropped ModuleNotFoundError']

# -*- coding: utf-8 -*-
"""Every public operation of the three modules, on its success and error
paths and through each branch that catches an exception, as tables of
(name, call) pairs. The leak checks repeat them; the recursion-limit check
calls them near the interpreter's recursion limit.

Each table is built by a function that takes `patch` (pytest's monkeypatch,
or anything with its `setattr` and `context()`) and, where files are made,
a temporary directory."""
import datetime
import fractions
import pickle
import socket
import sys

from accounts_support import cash, gv, make_account, native as accounts, report
from belvane.tframe import sysclsbase
from belvane.tframe.utils import sorvel, utilfunc
from hostile_support import BadBool, Boom, hostile
from positions_support import RecordingEnv, native as positions, worked_future, worked_stock
from socket_support import SocketDouble, SocketModule, TimingOut, attached, recording
from toolkit_support import FakeClock, FakeTime


def stepping_clock(patch):
    patch.setattr(sorvel, 'datetime', FakeClock(step=datetime.timedelta(seconds=1.5)))


# ---- toolkit ----------------------------------------------------------------------

class Pair(object):
    """A pair whose iterator is Python code that ends with StopIteration."""

    def __init__(self, *items):
        self.items = items

    def __iter__(self):
        return PairIterator(self.items)


class PairIterator(object):
    def __init__(self, items):
        self.items = list(items)

    def __iter__(self):
        return self

    def __next__(self):
        if not self.items:
            raise StopIteration
        return self.items.pop(0)


def dict_calls():
    out = []
    for cls in (sorvel.DotDict, sorvel.OrderedDotDict):
        d = cls([('a', 1), ('b', 'x')])
        bad = cls([('bad', hostile('__repr__', 'raise', base=object))])

        class Looking(cls):
            # The class's own lookup fails first; __getattr__ then reads the key.
            def __getattribute__(self, name, base=cls):
                return base.__getattribute__(self, name)

        looking = Looking([('k', 1)])
        looping = cls()
        looping.me = looping
        n = cls.__name__

        def ops(cls=cls, d=d):
            cls([('k', object())])
            cls(None)
            d.c = [1, 2]
            str(d)
            cls.__init__(cls(), _dict={'z': 1})
            return d.c

        out += [
            (n + ' ops', ops), (n + ' hit', lambda d=d: d.a),
            (n + ' missing', lambda d=d: d.missing),
            (n + ' own lookup hit', lambda o=looking: o.k),
            (n + ' own lookup missing', lambda o=looking: o.missing),
            (n + ' bad args', lambda cls=cls, d=d: cls.__setattr__(d, 'k')),
            (n + ' bad kw', lambda cls=cls: cls(a=object())),
            (n + ' bad repr', lambda o=bad: str(o)),
            (n + ' bad init', lambda cls=cls: cls(5)),
            (n + ' pickled in itself', lambda o=looping: [
                pickle.loads(pickle.dumps(o, p)).me.me for p in range(2, pickle.HIGHEST_PROTOCOL + 1)]),
        ]

    class Pairs(sorvel.DotDict):
        # Entries as iterables that are not tuples: str() unpacks them one by one.
        def items(self):
            return [Pair('a', 1), Pair('b', 2)]

    class ShortPairs(sorvel.DotDict):
        def items(self):
            return [Pair('a')]

    return out + [('str of pairs', lambda: str(Pairs())),
                  ('str of short pairs', lambda: str(ShortPairs())),
                  ('mac address', sorvel.get_cur_mac_address)]


def endless_pickle_calls():
    """Protocols 0 and 1 recurse without end on a dictionary inside itself, in
    Python too: the host's RecursionError is the result. (From 3.12 on the
    host lets C code recurse far deeper: each call takes tens of ms there.)"""
    out = []
    for cls in (sorvel.DotDict, sorvel.OrderedDotDict):
        looping = cls()
        looping.me = looping
        out += [('%s pickled in itself, protocol %d' % (cls.__name__, p),
                 lambda o=looping, p=p: pickle.dumps(o, p)) for p in (0, 1)]
    return out


def timer_calls(patch):
    stepping_clock(patch)
    T = sorvel.SimpleTimer
    running = T('p', unit='ms')
    stopped = T('p', start=False)
    aware = T('p', start=False)
    aware.start_time = datetime.datetime(2024, 5, 1, tzinfo=datetime.timezone.utc)
    bad = T('p', start=False)
    bad.start_time = 5
    prompt_int = T(5, start=False)
    odd_unit = T('p', start=False)
    odd_unit.unit = hostile('__hash__', 'raise', 'sec', base=str)

    class Sub(T):
        running = property(lambda self: BadBool())

    def cycle():
        t = T('x', unit='day')
        t.stop()
        t.restart(prompt='y', unit='year')
        with T(start=False) as u:
            str(u)
        return str(t), t.chs_unit, t.running
    return [
        ('cycle', cycle), ('total', running.total), ('str', lambda: str(running)),
        ('reset', lambda: running.reset('q', 'min')), ('restart', running.restart),
        ('stop stopped', stopped.stop), ('total stopped', stopped.total),
        ('start running', running.start), ('enter running', running.__enter__),
        ('aware', aware.total), ('bad start', bad.total), ('bad prompt', lambda: str(prompt_int)),
        ('unhashable unit', lambda: odd_unit.chs_unit),
        ('hostile running', lambda: Sub('p', start=False).stop()),
        ('argument error', lambda: T(1, 2, 3, 4)),
    ]


def status_calls(patch):
    """Leaves the collector's shared state as it was when `patch` is undone."""
    stepping_clock(patch)
    S = sorvel.StatusCollect
    patch.setattr(S, '_StatusCollect__state', {})
    s = S.instance()
    s.start_time('a', 'p')
    s.env = sysclsbase.SimEnvironment()

    def cycle():
        s.start_time('b', 'q', unit='ms')
        s.recoder_once('b', tips=3, reset=True)
        s.recoder_once('b')
        s.stat_info('b')
        s.last_info('b')
        s.recoder_count('b')
        s.time_object('b')
        s.use_time('b')
        s.restart_time('b')
        s.clear_info('b')
        return s.stop_time('b', rm=True)

    stopped = S.instance()
    stopped.start_time('stopped', 'p')
    stopped.stop_time('stopped')
    return [
        ('cycle', cycle), ('recoder_once', lambda: (s.recoder_once('a'), s.clear_info('a'))),
        ('stat_info', lambda: s.stat_info('a')), ('missing', lambda: (
            s.stop_time('zz'), s.use_time('zz'), s.restart_time('zz'), s.recoder_once('zz'),
            s.stat_info('zz'), s.last_info('zz'), s.clear_info('zz'))),
        ('bad prompt', lambda: s.start_time('a', 5)),
        ('stopped', lambda: s.stop_time('stopped')),
        ('stat_info stop', lambda: s.stat_info('stopped', stop=True)),
        ('bad tips', lambda: s.recoder_once('a', tips=hostile('__str__', 'raise'))),
        ('bad name', lambda: s.use_time([1])),
        ('instance', S.instance),
    ]


def range_calls():
    R = sorvel.RangeRecord
    F = fractions.Fraction
    ints = [(5, 9), (1, 3), (20, 25), [11, 14], (2 ** 70, 2 ** 70 + 5)]
    floats = [(5.5, 9.0), (1.0, 3.0), (20.0, 25.5)]
    objs = [(F(5), F(9)), (F(1), F(3)), (F(20), F(25))]
    step = staticmethod(lambda v, d: v + 2 * d)

    class Sub(R):
        _do_increment_func = classmethod(lambda cls, f, v, d: v + d)

    def object_cycle():
        r = R()
        r.add_range('a', 1, 5)
        r.add_range('a', 7, 9)
        r.sub_range('a', 3, 8)
        r.add_range(('t', 1), 1.5, 2.5)
        return r.record('a'), r.record('none')

    def raising(v, d):
        raise Boom('step')
    return [
        ('object', object_cycle),
        ('ints', lambda: (R.comb_record(list(ints)), R.diff_record(list(ints), 0, 30),
                          R.sub_record(list(ints), 4, 12))),
        ('floats', lambda: (R.comb_record(list(floats)), R.diff_record(list(floats), 0.0, 30.0),
                            R.sub_record(list(floats), 4.0, 12.0))),
        ('objects', lambda: (R.diff_record(list(objs), F(0), F(30)),
                             R.sub_record(list(objs), F(4), F(12)))),
        ('stepping', lambda: (R.diff_record(list(ints), 0, 30, step.__func__),
                              R.sub_record(list(ints), 4, 12, step.__func__),
                              Sub.diff_record(list(ints), 0, 30))),
        ('iterable pairs', lambda: R.comb_record([Pair(1, 3), Pair(2, 5)])),
        ('short pair', lambda: R.comb_record([Pair(1, 3), Pair(2)])),
        ('inverted', lambda: R().add_range('a', 5, 3)),
        ('no subtraction', lambda: R.comb_record([('a', 'b'), ('c', 'd')])),
        ('step raises', lambda: R.sub_record(list(ints), 4, 12, raising)),
        ('short range', lambda: R.diff_record([(1, 2), (3,)], 0, 9)),
        ('not a list', lambda: R.comb_record(5)),
    ]


class PermissionDenied(object):
    """Stands in for shutil: every tree removal fails."""

    @staticmethod
    def rmtree(p):
        raise PermissionError('held open')


def files_calls(patch, tmp):
    class M(sorvel.OutputFileManager):
        pass
    M.init(root_dir=str(tmp / 'out'))
    M.set_task_id(7)
    source = tmp / 's.py'
    source.write_text(u'x = 1\n')

    def fallback():
        M.mk_root_sub_dir('test')
        with patch.context() as m:
            m.setattr(sorvel, 'shutil', PermissionDenied)
            return M.rm_root_sub_dir('test')

    class Private(sorvel.OutputFileManager):
        pass
    Private.set_task_id('recursion-%d' % id(Private))

    def private():
        # Under the default root the levels are made one by one; the ones
        # already there are passed over.
        Private.mk_root_sub_dir('x')
        Private.mk_root_sub_dir('x')
        return Private.rm_root_sub_dir('x')
    return [
        ('paths', lambda: (M.root_sub_dir(), M.root_sub_dir('record'), M.root_sub_dir('x'),
                           M.get_sub_dir('mat', 'a'), M.mk_root_sub_dir('x'), M.mk_dir(str(source)))),
        ('clean', lambda: M.cls_root_sub_dir('log')), ('fallback', fallback),
        ('existing', lambda: (M.mk_dir(str(tmp)), M.mk_dir(str(tmp)))),
        ('unknown name', lambda: M.get_sub_dir('x')),
        ('layout', lambda: (M.set_task_id(8), M.init(), M.set_task_id(7))),
        ('private levels', private),
    ]


def loader_calls(patch, tmp):
    source = tmp / 's.py'
    source.write_text(u'x = 1\n')
    broken = tmp / 'b.py'
    broken.write_bytes(b'\xff\xfe')
    patch.setattr(utilfunc, 'compile_strategy', lambda *a: a)
    good = sorvel.FileStrategyLoader(str(source))
    missing = sorvel.FileStrategyLoader(str(tmp / 'none.py'))
    undecodable = sorvel.FileStrategyLoader(str(broken))

    def no_compiler():
        with patch.context() as m:
            m.delattr(utilfunc, 'compile_strategy')
            return good.load({})
    return [
        ('load', lambda: good.load({})), ('missing file', lambda: missing.load({})),
        ('undecodable', lambda: undecodable.load({})),
        ('bad path', lambda: sorvel.FileStrategyLoader(None).load({})),
        ('no compiler', no_compiler),
    ]


def quiet_client(reads, double=SocketDouble):
    """A client whose double answers its reads, sendall and close from
    `reads` in turn, over and over; neither records anything (a growing
    record would read as a leak)."""
    c = attached(recording(sorvel.SocketBase, buffer=256),
                 double(reads, scripted=('sendall', 'close'), cycle=True, record=False),
                 status=0, timeout=1)
    c.events = None
    return c


def socket_calls(patch):
    patch.setattr(sorvel, 'time', FakeTime(record=False))
    ok = quiet_client([b'abc', b'de'])
    failing = quiet_client([OSError('down')])
    odd = quiet_client([ValueError('odd')])
    timing_out = quiet_client([socket.timeout('slow')], TimingOut)
    long_data = quiet_client([b'x' * 300])
    bare = sorvel.SocketBase('127.0.0.1', 9)
    bare.client = SocketDouble([b''], scripted=('sendall', 'close'), cycle=True, record=False)

    def exchange():
        ok.status = 1
        ok.send_data(b'payload')
        ok.receive_data()
        ok.receive_data(5, try_times=3)
        return ok.get_timeout(), ok.connected

    def failure():
        failing.status = 1
        failing.send_data(b'x', ignore_error=True)
        failing.receive_data()
        failing.status = 1
        return failing.disconnect()

    def timeout():
        timing_out.status = 1
        return timing_out.receive_data(4, try_times=2)

    def construct():
        recording(sorvel.SocketBase, buffer=256)('h', 1, timeout=0)
    return [
        ('exchange', exchange), ('failure', failure),
        ('error read', lambda: (failure(), failing.error)),
        ('timeout', timeout),
        ('unexpected', lambda: odd.receive_data(3)), ('beyond buffer', lambda: long_data.receive_data(300)),
        ('hooks', lambda: bare._deal_error(OSError('x'))), ('disconnect hook', bare.disconnect),
        ('set_timeout', lambda: failing.set_timeout(2)),
        ('construct', construct),
    ]


def connect_calls(patch):
    """connect, reconnect and the permission check, on sockets the module
    global makes: one that connects and one that is refused."""
    patch.setattr(sorvel, 'time', FakeTime(record=False))
    patch.setattr(sorvel, 'socket', SocketModule(record=False))
    refusing = SocketModule([ConnectionRefusedError('no')], record=False)
    linked = recording(sorvel.SocketBase, buffer=256)('127.0.0.1', 9)
    refused = recording(sorvel.SocketBase, buffer=256)('127.0.0.1', 9)
    linked.events = refused.events = None
    cache = sysclsbase.vr.g_BelvaneCache

    def refuse():
        with patch.context() as m:
            m.setattr(sorvel, 'socket', refusing)
            refused.connect(retry=3)
            return refused.error

    def forbidden():
        with patch.context() as m:
            m.setattr(cache, 'allow_comm_bv', False)
            linked.send_data(b'x')
    return [
        ('connect', lambda: (linked.connect(), linked.disconnect(), linked.reconnect(),
                             linked.connect(), linked._check_connect())),
        ('refused', refuse), ('not permitted', forbidden),
    ]


def registered_name_calls():
    """The finders that answer for the bare top-level names, asked directly
    with an import hook after them that has no find_spec."""
    finders = [f for f in sys.meta_path if type(f).__name__ == 'belvane_registered_name_finder']

    def ask():
        sys.meta_path.append(object())
        try:
            return [f.find_spec(n) for f in finders for n in ('tframe', 'backtest', 'realtrade')]
        finally:
            sys.meta_path.pop()
    return [('finder', ask)]


# ---- positions --------------------------------------------------------------------

def positions_calls(patch):
    env = RecordingEnv()
    patch.setattr(sysclsbase, 'env', env)
    future = worked_future(positions)
    stock = worked_stock(positions)
    big = worked_future(positions)
    big.volume_long_yd = 10 ** 30
    big.holding_cost_today_short_list = [(fractions.Fraction(7, 3), 2)]
    bad_fill = worked_stock(positions)
    bad_fill.holding_cost_today_long_list = [(1, 2, 3)]
    pairs = worked_future(positions)
    pairs.holding_cost_today_long_list = [Pair(3450.0, 1)]
    pairs.holding_cost_today_short_list = [Pair(3550.0)]
    bad_side = hostile('__eq__', 'raise')
    base = positions.PositionsBase()

    def trim():
        del env.calls[:]

    def reads(p):
        return (p.total_volume_long, p.total_volume_short, p.position_available_long,
                p.position_available_short, p.position_available_today_long,
                p.position_available_today_short)

    def price_raises(*a):
        raise Boom('price')

    def environment_raises():
        with patch.context() as m:
            m.setattr(env, 'market_price', price_raises)
            return future.snapshot()
    return [
        ('future', lambda: (future.snapshot(), future.volume(1), future.market_value(2),
                            reads(future), trim())),
        ('stock', lambda: (stock.snapshot(), stock.volume(1), stock.market_value(1), reads(stock),
                           trim())),
        ('generic numbers', lambda: (big.snapshot(), big.market_value(1), trim())),
        ('new objects', lambda: (positions.FuturePosition(), positions.StockPosition())),
        ('bad fill', lambda: (trim(), bad_fill.snapshot())), ('bad side', lambda: future.volume(bad_side)),
        ('iterable fills', lambda: (trim(), pairs.volume(1), pairs.snapshot())),
        ('abstract', base.snapshot), ('abstract property', lambda: base.position_available_long),
        ('argument error', lambda: future.volume()),
        ('environment raises', environment_raises),
    ]


# ---- accounts ---------------------------------------------------------------------

class NumpyWithoutNaN(object):
    """numpy as version 2 has it: `NaN` is gone, `nan` is there."""
    nan = float('nan')

    def __init__(self, real):
        self.isnan = real.isnan


def accounts_calls(patch):
    acc = make_account(accounts)
    reports = [report('sz', '000001'), report('SH', '600000'), report('q', 'q')]
    acc.update_info(cash(), reports)
    broken = make_account(accounts)
    short = report('sz', '000001')
    del short['Price']
    broken.update_info(cash(), [short])
    empty = make_account(accounts)

    def templates_without_NaN():
        with patch.context() as m:
            m.setattr(accounts, 'np', NumpyWithoutNaN(accounts.np))
            return acc.snapshot_positions()
    return [
        ('push', lambda: acc.update_info(cash(), reports)),
        ('snapshots', lambda: (acc.snapshot_positions(),
                               acc.snapshot_position([0, 1, 3, 9, -1], gv.POSITIONSIDE_UNKNOWN),
                               acc.snapshot_cash())),
        ('queries', lambda: (acc.get_cash_info('TotalAsset'), acc.get_position_info('Price', 0),
                             acc.get_position_info('Code', 2), acc._position_template)),
        ('records', lambda: (acc.make_positions(dict(reports[0])),
                             acc.make_position(reports[1], 1, gv.POSITIONSIDE_SHORT))),
        ('other account', lambda: acc.update_info(cash(account='x'), reports)),
        ('missing key', broken.snapshot_positions), ('no cash', empty.snapshot_cash),
        ('negative index', lambda: acc.get_position_info('Price', -1)),
        ('past the end', lambda: acc.get_position_info('Price', 10)),
        ('index too big', lambda: acc.get_position_info('Price', 2 ** 70)),
        ('bad index', lambda: acc.snapshot_position([hostile('__le__', 'raise')], 1)),
        ('not iterable', lambda: acc.update_info(cash(), 5)),
        ('templates without NaN', templates_without_NaN),
    ]

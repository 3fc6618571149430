# -*- coding: utf-8 -*-
"""No growth of allocated memory blocks over many calls of every public
operation of the three modules, on the success and on the error paths."""
import datetime
import fractions
import socket

import pytest

from accounts_support import cash, gv, make_account, native as accounts, report
from belvane.tframe import sysclsbase
from belvane.tframe.utils import utilfunc
from belvane.tframe.utils import sorvel
from hostile_support import BadBool, Boom, hostile
from leakcheck import assert_no_leak
from positions_support import RecordingEnv, native as positions, worked_future, worked_stock
from toolkit_support import FakeClock

ERRORS = (Exception,)


def leak_free(ops, calls=120):
    """The named operations, repeated, leave no blocks behind. A leak leaves
    at least a block per call in every round; the slack only absorbs caches
    of the interpreter (file and import machinery) that settle slowly. All
    operations run in one measured loop (each collection costs), and only a
    failing loop is measured again operation by operation, to name it."""
    def all_ops():
        for _, op in ops:
            try:
                op()
            except ERRORS:
                pass
    try:
        assert_no_leak(all_ops, calls=calls, rounds=3, slack=calls // 4)
    except AssertionError:
        for name, op in ops:
            try:
                assert_no_leak(op, raises=ERRORS, calls=calls, rounds=3, slack=calls // 4)
            except AssertionError as e:
                raise AssertionError('%s: %s' % (name, e))
        raise


@pytest.fixture
def clock(monkeypatch):
    monkeypatch.setattr(sorvel, 'datetime', FakeClock(step=datetime.timedelta(seconds=1.5)))


# ---- toolkit ----------------------------------------------------------------------

def test_simple_timer(clock):
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
    leak_free([
        ('cycle', cycle), ('total', running.total), ('str', lambda: str(running)),
        ('reset', lambda: running.reset('q', 'min')), ('restart', running.restart),
        ('stop stopped', stopped.stop), ('total stopped', stopped.total),
        ('start running', running.start), ('enter running', running.__enter__),
        ('aware', aware.total), ('bad start', bad.total), ('bad prompt', lambda: str(prompt_int)),
        ('unhashable unit', lambda: odd_unit.chs_unit),
        ('hostile running', lambda: Sub('p', start=False).stop()),
        ('argument error', lambda: T(1, 2, 3, 4)),
    ])


def test_status_collect(clock):
    S = sorvel.StatusCollect
    saved = dict(S._StatusCollect__state)
    S._StatusCollect__state.clear()
    try:
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
        leak_free([
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
        ])
    finally:
        S._StatusCollect__state.clear()
        S._StatusCollect__state.update(saved)


def test_range_record():
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
    leak_free([
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
        ('inverted', lambda: R().add_range('a', 5, 3)),
        ('no subtraction', lambda: R.comb_record([('a', 'b'), ('c', 'd')])),
        ('step raises', lambda: R.sub_record(list(ints), 4, 12, raising)),
        ('short range', lambda: R.diff_record([(1, 2), (3,)], 0, 9)),
        ('not a list', lambda: R.comb_record(5)),
    ])


def test_output_file_manager_and_loader(tmp_path, monkeypatch):
    class M(sorvel.OutputFileManager):
        pass
    M.init(root_dir=str(tmp_path / 'out'))
    M.set_task_id(7)
    source = tmp_path / 's.py'
    source.write_text(u'x = 1\n')
    broken = tmp_path / 'b.py'
    broken.write_bytes(b'\xff\xfe')
    monkeypatch.setattr(utilfunc, 'compile_strategy', lambda *a: a)
    good = sorvel.FileStrategyLoader(str(source))
    missing = sorvel.FileStrategyLoader(str(tmp_path / 'none.py'))
    undecodable = sorvel.FileStrategyLoader(str(broken))

    class Shutil(object):
        @staticmethod
        def rmtree(p):
            raise PermissionError('held open')

    def fallback():
        M.mk_root_sub_dir('test')
        with monkeypatch.context() as m:
            m.setattr(sorvel, 'shutil', Shutil)
            return M.rm_root_sub_dir('test')
    leak_free([
        ('paths', lambda: (M.root_sub_dir(), M.root_sub_dir('record'), M.root_sub_dir('x'),
                           M.get_sub_dir('mat', 'a'), M.mk_root_sub_dir('x'), M.mk_dir(str(source)))),
        ('clean', lambda: M.cls_root_sub_dir('log')), ('fallback', fallback),
        ('unknown name', lambda: M.get_sub_dir('x')),
        ('layout', lambda: (M.set_task_id(8), M.init(), M.set_task_id(7))),
    ], calls=80)
    # The import inside load() fills the import system's caches for a while.
    leak_free([
        ('load', lambda: good.load({})), ('missing file', lambda: missing.load({})),
        ('undecodable', lambda: undecodable.load({})),
        ('bad path', lambda: sorvel.FileStrategyLoader(None).load({})),
    ], calls=200)


class Double(object):
    def __init__(self, answers):
        self.answers = answers
        self.i = 0

    def _next(self):
        a = self.answers[self.i % len(self.answers)]
        self.i += 1
        if isinstance(a, BaseException):
            a.__traceback__ = None
            raise a
        return a

    def recv(self, n):
        return self._next()

    def recv_into(self, buf, n):
        a = self._next()
        buf[:len(a)] = a
        return len(a)

    def sendall(self, data):
        self._next()

    def settimeout(self, t):
        pass

    def close(self):
        self._next()


class NoSleep(object):
    # Unlike FakeTime it keeps no record: a growing record would read as a leak.
    @staticmethod
    def sleep(s):
        pass


def test_socket_base_with_doubles(monkeypatch):
    monkeypatch.setattr(sorvel, 'time', NoSleep)

    class Client(sorvel.SocketBase):
        socket_default_buffer = 256

        def callback_connected(self):
            pass

        def callback_disconnected(self):
            pass

        def callback_network_error(self, e):
            pass

    def attached(answers):
        c = Client('127.0.0.1', 9, timeout=1)
        c.client = Double(answers)
        return c

    ok = attached([b'abc', b'de'])
    failing = attached([OSError('down')])
    odd = attached([ValueError('odd')])
    long_data = attached([b'x' * 300])
    bare = sorvel.SocketBase('127.0.0.1', 9)
    bare.client = Double([b''])

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
    leak_free([
        ('exchange', exchange), ('failure', failure), ('error read', lambda: failing.error),
        ('unexpected', lambda: odd.receive_data(3)), ('beyond buffer', lambda: long_data.receive_data(300)),
        ('hooks', lambda: bare._deal_error(OSError('x'))), ('disconnect hook', bare.disconnect),
        ('set_timeout', lambda: failing.set_timeout(2)),
        ('construct', lambda: Client('h', 1, timeout=0)),
    ])

    # connect, reconnect and the permission check, on sockets the module
    # global makes: one that connects and one that is refused.
    class Connecting(Double):
        def connect(self, address):
            return self._next()

        def setsockopt(self, *a):
            pass

        def close(self):
            pass

    class Sockets(object):
        error, timeout = OSError, socket.timeout
        AF_INET, SOCK_STREAM = socket.AF_INET, socket.SOCK_STREAM
        SOL_SOCKET, SO_RCVBUF = socket.SOL_SOCKET, socket.SO_RCVBUF
        answers = [None]

        def socket(self, *a):
            return Connecting(list(self.answers))

    refusing = Sockets()
    refusing.answers = [ConnectionRefusedError('no')]
    monkeypatch.setattr(sorvel, 'socket', Sockets())
    linked = Client('127.0.0.1', 9)
    refused = Client('127.0.0.1', 9)
    cache = sysclsbase.vr.g_BelvaneCache

    def refuse():
        with monkeypatch.context() as m:
            m.setattr(sorvel, 'socket', refusing)
            refused.connect(retry=3)
            return refused.error

    def forbidden():
        with monkeypatch.context() as m:
            m.setattr(cache, 'allow_comm_bv', False)
            linked.send_data(b'x')
    leak_free([
        ('connect', lambda: (linked.connect(), linked.disconnect(), linked.reconnect(),
                             linked.connect(), linked._check_connect())),
        ('refused', refuse), ('not permitted', forbidden),
    ])


# ---- positions --------------------------------------------------------------------

def test_positions(monkeypatch):
    monkeypatch.setattr(sysclsbase, 'env', RecordingEnv())
    env = sysclsbase.env
    future = worked_future(positions)
    stock = worked_stock(positions)
    big = worked_future(positions)
    big.volume_long_yd = 10 ** 30
    big.holding_cost_today_short_list = [(fractions.Fraction(7, 3), 2)]
    bad_fill = worked_stock(positions)
    bad_fill.holding_cost_today_long_list = [(1, 2, 3)]
    bad_side = hostile('__eq__', 'raise')
    base = positions.PositionsBase()

    def trim():
        del env.calls[:]

    def reads(p):
        return (p.total_volume_long, p.total_volume_short, p.position_available_long,
                p.position_available_short, p.position_available_today_long,
                p.position_available_today_short)
    leak_free([
        ('future', lambda: (future.snapshot(), future.volume(1), future.market_value(2),
                            reads(future), trim())),
        ('stock', lambda: (stock.snapshot(), stock.volume(1), stock.market_value(1), reads(stock),
                           trim())),
        ('generic numbers', lambda: (big.snapshot(), big.market_value(1), trim())),
        ('new objects', lambda: (positions.FuturePosition(), positions.StockPosition())),
        ('bad fill', lambda: (trim(), bad_fill.snapshot())), ('bad side', lambda: future.volume(bad_side)),
        ('abstract', base.snapshot), ('abstract property', lambda: base.position_available_long),
        ('argument error', lambda: future.volume()),
    ])
    monkeypatch.setattr(env, 'market_price', lambda *a: (_ for _ in ()).throw(Boom('price')))
    leak_free([('environment raises', future.snapshot)])


# ---- accounts ---------------------------------------------------------------------

def test_accounts():
    acc = make_account(accounts)
    reports = [report('sz', '000001'), report('SH', '600000'), report('q', 'q')]
    acc.update_info(cash(), reports)
    broken = make_account(accounts)
    short = report('sz', '000001')
    del short['Price']
    broken.update_info(cash(), [short])
    empty = make_account(accounts)
    leak_free([
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
        ('bad index', lambda: acc.snapshot_position([hostile('__le__', 'raise')], 1)),
        ('not iterable', lambda: acc.update_info(cash(), 5)),
    ])

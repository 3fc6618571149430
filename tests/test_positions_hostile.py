"""Positions under odd and hostile input: figures of odd types, numbers
whose dunders raise or answer with the wrong type, deleted attributes, an
environment that answers odd figures, fails or rewrites the position while a
snapshot reads it, fill entries and containers that misbehave, hostile
module globals and subclasses that re-enter. The native call gives the
peer's outcome (same result or same exception), and the position answers
normally afterwards."""
import fractions
import sys
from decimal import Decimal

import numpy as np
import pytest

from hostile_support import BadBool, Boom, hostile, hostile_params
from outcomes import outcome
from positions_support import (CALLS, LONG, SHORT, RecordingEnv, env, native, peer,  # noqa: F401
                               sysclsbase, worked_future, worked_stock)


ATTRS = ['account_idx', 'target_idx', 'market_code', 'dt_update_time', 'change_reason',
         'dt_create_long_time', 'order_frozen_long', 'order_frozen_today_long', 'volume_long_yd',
         'holding_cost_long', 'holding_cost_today_long_list', 'available_long',
         'available_today_long', 'cost_long', 'volume_short_yd', 'holding_cost_short',
         'cost_short', 'holding_cost_today_short_list', 'available_short', 'order_frozen_short',
         'order_frozen_today_short', 'dt_create_short_time']
KINDS = ['StockPosition', 'FuturePosition']


FIGURES = dict(target_idx=7, volume_long_yd=2, holding_cost_long=3400.0, cost_long=3300.0,
               volume_short_yd=1, holding_cost_short=3600.0, cost_short=3650.0, available_long=3,
               available_today_long=1, order_frozen_long=1)


def sane(p):
    for k, v in FIGURES.items():
        setattr(p, k, v)
    p.holding_cost_today_long_list = [(3450.0, 1), (3460.5, 2)]
    p.holding_cost_today_short_list = [(3550.0, 2)]
    return p


def filled(mod, kind):
    return sane(getattr(mod, kind)())


def after(p):
    """The same position with sane figures again: a normal answer."""
    try:
        sane(p)
    except Exception as e:  # a subclass may refuse the figures
        return ('refused', type(e))
    return outcome(p.snapshot)


def compare(setup, calls=CALLS, env=None):
    """The position setup(module) makes answers each call as the peer's
    does, and normally afterwards; the environment env() (by default a
    RecordingEnv) sees the same calls."""
    results = []
    for mod in (native, peer):
        saved = sysclsbase.env
        sysclsbase.env = env() if env else RecordingEnv()
        try:
            rows = []
            for _, call in calls:
                p = setup(mod)
                rows.append(outcome(lambda: call(p)))
                rows.append(after(p))
            rows.append(getattr(sysclsbase.env, 'calls', None))
            results.append(rows)
        finally:
            sysclsbase.env = saved
    got, want = results
    if got != want:
        diff = [(i, x, y) for i, (x, y) in enumerate(zip(got, want)) if x != y]
        raise AssertionError('native and peer differ: %r' % (diff[:3],))


# ---- odd and hostile figures ------------------------------------------------

NUMBERS = hostile_params(int, 3) + hostile_params(float, 2.5) + [
    ('fraction', fractions.Fraction(7, 3)), ('huge', 10 ** 30), ('neg huge', -10 ** 30),
    ('badbool', BadBool())]


@pytest.mark.parametrize('make', [worked_stock, worked_future], ids=['stock', 'future'])
@pytest.mark.parametrize('attr', ['volume_long_yd', 'holding_cost_long', 'available_long', 'volume_short_yd',
                                  'cost_short', 'target_idx'])
@pytest.mark.parametrize('value', [None, 'x', b'1', [1], 2 ** 70, 1e308, float('nan'), float('-inf'), True,
                                   np.float64(2.5), np.int64(3), Decimal('1.5'), fractions.Fraction(1, 3)],
                         ids=repr)
def test_odd_figures(make, attr, value):
    def setup(mod):
        p = make(mod)
        setattr(p, attr, value)
        return p
    compare(setup)


@pytest.mark.parametrize('kind', KINDS)
@pytest.mark.parametrize('attr', ['volume_long_yd', 'holding_cost_long', 'cost_short',
                                  'available_long', 'volume_short_yd', 'order_frozen_long'])
def test_hostile_numbers_in_figures(kind, attr):
    for _, h in NUMBERS:
        def setup(mod):
            p = filled(mod, kind)
            setattr(p, attr, h)
            return p
        compare(setup)


@pytest.mark.parametrize('kind', KINDS)
@pytest.mark.parametrize('where', ['long price', 'long volume', 'short price', 'short volume',
                                   'whole entry'])
def test_hostile_numbers_in_fills(kind, where):
    for _, h in NUMBERS + [('text pair', 'ab'), ('set', {1, 2}), ('dict', {1: 2, 3: 4})]:
        def setup(mod):
            p = filled(mod, kind)
            side = 'long' if 'long' in where or where == 'whole entry' else 'short'
            lst = getattr(p, 'holding_cost_today_%s_list' % side)
            if where == 'whole entry':
                lst.insert(1, h)
            elif 'price' in where:
                lst.insert(1, (h, 1))
            else:
                lst.insert(1, (3500.0, h))
            return p
        compare(setup)


@pytest.mark.parametrize('kind', KINDS)
def test_deleted_attributes(kind):
    for attr in ATTRS:
        def setup(mod):
            p = filled(mod, kind)
            if attr in vars(p):
                delattr(p, attr)
            return p
        compare(setup)


# ---- the environment --------------------------------------------------------

@pytest.mark.parametrize('make', [worked_stock, worked_future], ids=['stock', 'future'])
@pytest.mark.parametrize('price, multiple, rate', [(None, 10, 0.1), ('3', 10, 0.1), (3500.0, 0, 0.1),
                                                   (3500.0, None, 0.1), (3500.0, 10, None), (2 ** 80, 3, 1),
                                                   (np.float32(1.5), 10, 0.1), (Decimal(2), 10, Decimal(1))],
                         ids=repr)
def test_odd_environment_figures(make, price, multiple, rate):
    compare(make, env=lambda: RecordingEnv(price, multiple, rate))


@pytest.mark.parametrize('failing, calls_made', [
    ('market_price', ['market_price']),
    ('get_multiple', ['market_price', 'get_multiple']),
    ('get_margin_rate', ['market_price', 'get_multiple', 'get_margin_rate']),
])
def test_environment_errors_propagate_unchanged(env, failing, calls_made):
    error = Boom('from the environment')

    def fail(*args):
        env.calls.append((failing,))
        raise error
    setattr(env, failing, fail)
    for mod in (native, peer):
        del env.calls[:]
        with pytest.raises(Boom) as info:
            worked_future(mod).snapshot()
        assert info.value is error and [c[0] for c in env.calls] == calls_made
    del env.calls[:]
    if failing == 'get_multiple':
        with pytest.raises(Boom):
            native.FuturePosition().market_value(LONG)
        assert env.calls == [('get_multiple',)]


def test_missing_environment(monkeypatch):
    compare(worked_future, CALLS[:7], env=lambda: None)
    monkeypatch.delattr(sysclsbase, 'env')
    got, want = [outcome(lambda: worked_stock(mod).volume(LONG)) for mod in (native, peer)]
    assert got == want and got[1] is AttributeError


@pytest.mark.parametrize('kind', KINDS)
@pytest.mark.parametrize('method', ['market_price', 'get_multiple', 'get_margin_rate'])
@pytest.mark.parametrize('change', ['clear lists', 'replace lists', 'append fills', 'figures',
                                    'delete figures', 'hostile figure', 'lists to None',
                                    'raise after change'])
def test_environment_rewrites_the_position_during_the_call(kind, method, change):
    holder = []

    class Env(RecordingEnv):
        pass

    def rewrite(*args):
        p = holder[-1]
        if change == 'clear lists':
            del p.holding_cost_today_long_list[:]
            del p.holding_cost_today_short_list[:]
        elif change == 'replace lists':
            p.holding_cost_today_long_list = [(1.5, 4)]
            p.holding_cost_today_short_list = ((2.5, 5),)
        elif change == 'append fills':
            p.holding_cost_today_long_list.append((9.0, 9))
            p.holding_cost_today_short_list.append([8.0, 8])
        elif change == 'figures':
            p.volume_long_yd, p.holding_cost_long, p.volume_short_yd = 10 ** 20, 1.25, -3
            p.cost_long = p.cost_short = 7
        elif change == 'delete figures':
            for k in ('volume_long_yd', 'holding_cost_short', 'available_long'):
                vars(p).pop(k, None)
        elif change == 'hostile figure':
            p.volume_long_yd = hostile('__add__', 'raise')
        elif change == 'lists to None':
            p.holding_cost_today_long_list = p.holding_cost_today_short_list = None
        elif change == 'raise after change':
            p.volume_long_yd = 99
            raise Boom(method)
        return {'market_price': 3500.0, 'get_multiple': 10, 'get_margin_rate': 0.1}[method]

    def make_env():
        e = Env()
        real = getattr(e, method)

        def wrapped(*args):
            real(*args)
            return rewrite(*args)
        setattr(e, method, wrapped)
        return e

    def setup(mod):
        p = filled(mod, kind)
        holder.append(p)
        return p
    compare(setup, env=make_env)


# ---- fill lists and sides ---------------------------------------------------

def mutating_setups():
    """Positions whose fill list changes while it is walked."""

    class ClearsList(object):
        def __init__(self, pos, pair):
            self.pos, self.pair = pos, pair

        def __iter__(self):
            lst = self.pos.holding_cost_today_long_list
            del lst[:]
            # Drop the position's own reference to the list too.
            self.pos.holding_cost_today_long_list = None
            return iter(self.pair)

    class Appends(object):
        def __init__(self, pos):
            self.pos = pos

        def __iter__(self):
            lst = self.pos.holding_cost_today_long_list
            if len(lst) < 6:
                lst.append((1.5, 1))
            return iter((2.5, 2))

    def clears(mod):
        p = worked_future(mod)
        p.holding_cost_today_long_list = [(1.0, 1)]
        p.holding_cost_today_long_list.append(ClearsList(p, (3.0, 4)))
        p.holding_cost_today_long_list.append((5.0, 6))
        return p

    def appends(mod):
        p = worked_future(mod)
        p.holding_cost_today_long_list = [Appends(p)]
        return p

    def env_rewrites(mod):
        p = worked_stock(mod)

        def price(target_idx, offset):
            p.holding_cost_today_long_list[:] = [(7, 3), (8, 2)]
            p.holding_cost_long = 3
            return 2.5
        sysclsbase.env.market_price = price
        return p

    def generator(mod):
        p = worked_future(mod)
        p.holding_cost_today_short_list = ((x, 1) for x in (1.0, 2.0))
        return p

    return [clears, appends, env_rewrites, generator]


@pytest.mark.parametrize('setup', mutating_setups(), ids=lambda f: f.__name__)
def test_fill_lists_changing_during_the_walk(setup):
    compare(setup)


@pytest.mark.parametrize('side', [hostile('__eq__', mode, base=object) for mode in ('raise', 'wrong')],
                         ids=['eq-raises', 'bool-raises'])
@pytest.mark.parametrize('make', [worked_stock, worked_future], ids=['stock', 'future'])
def test_hostile_side_values(side, make):
    compare(make, [('volume', lambda p: p.volume(side)), ('value', lambda p: p.market_value(side))])


class Mutating(object):
    """A fill entry that rewrites its position while it is unpacked."""

    def __init__(self, p, action, pair=(3480.0, 2)):
        self.p, self.action, self.pair = p, action, pair

    def __iter__(self):
        p = self.p
        if self.action == 'figures':
            p.volume_long_yd, p.holding_cost_long, p.cost_long = 50, 2.5, 3
            p.volume_short_yd = 7
        elif self.action == 'delete':
            vars(p).pop('holding_cost_long', None)
        elif self.action == 'swap lists':
            p.holding_cost_today_long_list, p.holding_cost_today_short_list = (
                p.holding_cost_today_short_list, p.holding_cost_today_long_list)
        elif self.action == 'clear own list':
            for name in ('holding_cost_today_long_list', 'holding_cost_today_short_list'):
                lst = getattr(p, name)
                if isinstance(lst, list):
                    del lst[:]
        elif self.action == 'grow own list':
            lst = p.holding_cost_today_long_list
            if len(lst) < 8:
                lst.append(Mutating(p, 'grow own list'))
        elif self.action == 'drop position list':
            p.holding_cost_today_long_list = []
            p.holding_cost_today_short_list = []
        return iter(self.pair)


@pytest.mark.parametrize('kind', KINDS)
@pytest.mark.parametrize('action', ['figures', 'delete', 'swap lists', 'clear own list',
                                    'grow own list', 'drop position list'])
@pytest.mark.parametrize('side', ['long', 'short'])
def test_fill_entries_rewrite_the_position_while_unpacked(kind, action, side):
    def setup(mod):
        p = filled(mod, kind)
        lst = getattr(p, 'holding_cost_today_%s_list' % side)
        lst.insert(1, Mutating(p, action))
        lst.append(Mutating(p, action, [1.0, 1]))
        return p
    compare(setup)


class Fills(list):
    """A fill list whose own protocol methods misbehave."""
    mode = None

    def __iter__(self):
        if self.mode == 'iter raises':
            raise Boom('iter')
        if self.mode == 'iter wrong':
            return 5
        if self.mode == 'iter clears':
            items = list.__iter__(self)
            del self[:]
            return items
        return list.__iter__(self)

    def __len__(self):
        if self.mode == 'len raises':
            raise Boom('len')
        return list.__len__(self)

    def __getitem__(self, i):
        if self.mode == 'getitem raises':
            raise Boom('getitem')
        return list.__getitem__(self, i)


def fill_container(mode):
    if mode == 'generator':
        return lambda items: (x for x in items)
    if mode == 'tuple':
        return tuple
    if mode == 'dict':
        return lambda items: dict(items)
    if mode == 'string':
        return lambda items: 'ab'

    def make(items):
        f = Fills(items)
        f.mode = mode
        return f
    return make


@pytest.mark.parametrize('kind', KINDS)
@pytest.mark.parametrize('mode', ['iter raises', 'iter wrong', 'iter clears', 'len raises',
                                  'getitem raises', 'plain', 'generator', 'tuple', 'dict', 'string'])
def test_fill_containers_that_are_not_plain_lists(kind, mode):
    def setup(mod):
        p = filled(mod, kind)
        make = fill_container(mode)
        p.holding_cost_today_long_list = make([(3450.0, 1), (3460.5, 2)])
        p.holding_cost_today_short_list = make([(3550.0, 2)])
        return p
    compare(setup)


class MeddlingSide(object):
    """A side whose comparison rewrites the position and then answers."""

    def __init__(self, holder, answer):
        self.holder, self.answer = holder, answer

    def __eq__(self, other):
        p = self.holder[-1]
        p.volume_long_yd = 40
        p.holding_cost_today_long_list = [(1.0, 1)]
        p.holding_cost_today_short_list.append((2.0, 2))
        return self.answer

    __hash__ = object.__hash__


@pytest.mark.parametrize('kind', KINDS)
@pytest.mark.parametrize('answer', [True, False, 1, BadBool(), 'yes', None],
                         ids=['true', 'false', 'one', 'badbool', 'text', 'none'])
def test_side_comparison_that_meddles(kind, answer):
    holder = []
    side = MeddlingSide(holder, answer)
    calls = [('volume', lambda p: p.volume(side)), ('value', lambda p: p.market_value(side)),
             ('volume side kw', lambda p: p.volume(side=side))]

    def setup(mod):
        p = filled(mod, kind)
        holder.append(p)
        return p
    compare(setup, calls)


# ---- module globals and subclasses ------------------------------------------

PRECISIONS = [0, -1, 1, 10 ** 30, 0.001, float('nan'), float('inf'), True, None, 'x',
              fractions.Fraction(1, 3)] + [v for _, v in hostile_params(int, 1000)]


@pytest.mark.parametrize('kind', KINDS)
def test_hostile_precision(kind, monkeypatch):
    for pm in PRECISIONS:
        for mod in (native, peer):
            monkeypatch.setattr(mod, 'PRECISION_MUL', pm)
        compare(lambda mod: filled(mod, kind), CALLS[:1])
    monkeypatch.undo()
    compare(lambda mod: filled(mod, kind))


class RecordBreaks(dict):
    def __setitem__(self, k, v):
        if k == 'price':
            raise Boom('setitem')
        dict.__setitem__(self, k, v)


def odd_globals():
    class NoEnv(object):
        pass

    class MissingNaT(object):
        pass

    return [
        ('OrderedDict', RecordBreaks), ('OrderedDict', dict), ('OrderedDict', lambda: 5),
        ('OrderedDict', None), ('cnt', NoEnv()), ('cnt', None), ('pd', MissingNaT()),
        ('gv', None), ('PRECISION_MUL', hostile('__rtruediv__', 'raise')),
    ]


@pytest.mark.parametrize('kind', KINDS)
@pytest.mark.parametrize('which', range(9))
def test_module_globals_rebound_to_odd_objects(kind, which, monkeypatch):
    name, value = odd_globals()[which]

    def setup(mod):
        monkeypatch.undo()
        p = filled(mod, kind)
        monkeypatch.setattr(mod, name, value)
        return p
    compare(setup)
    monkeypatch.undo()
    p = filled(native, kind)
    monkeypatch.setattr(native, name, value)
    monkeypatch.undo()
    saved = sysclsbase.env
    sysclsbase.env = RecordingEnv()
    try:
        assert p.snapshot()['target_idx'] == 7
    finally:
        sysclsbase.env = saved


def logging_class(base, log):
    class Logged(base):
        def __getattribute__(self, name):
            log.append(name)
            return base.__getattribute__(self, name)
    return Logged


@pytest.mark.parametrize('kind', KINDS)
def test_every_attribute_read_happens_as_in_the_peer(kind):
    # With the reads made visible, the native methods read the same
    # attributes in the same order, as often as the peer does.
    logs = []
    for mod in (native, peer):
        log = []
        cls = logging_class(getattr(mod, kind), log)
        saved = sysclsbase.env
        sysclsbase.env = RecordingEnv()
        try:
            p = filled(type('M', (), {kind: cls}), kind)
            del log[:]
            for _, call in CALLS:
                call(p)
                log.append('|')
        finally:
            sysclsbase.env = saved
        logs.append(log)
    assert logs[0] == logs[1]


def reentering(mod, kind, how):
    base = getattr(mod, kind)

    class Reenters(base):
        depth = 0

        @property
        def holding_cost_today_long_list(self):
            if how == 'snapshot':
                if Reenters.depth < 3:
                    Reenters.depth += 1
                    try:
                        self.snapshot()
                    finally:
                        Reenters.depth -= 1
            elif how == 'recursion':
                return self.snapshot()
            elif how == 'volume':
                self.volume(LONG)
            return [(1.0, 2)]

        @holding_cost_today_long_list.setter
        def holding_cost_today_long_list(self, v):
            pass

    return Reenters()


@pytest.mark.parametrize('kind', KINDS)
@pytest.mark.parametrize('how', ['snapshot', 'recursion', 'volume'])
def test_subclass_properties_that_reenter(kind, how):
    def setup(mod):
        return reentering(mod, kind, how)
    results = []
    for mod in (native, peer):
        saved = sysclsbase.env
        sysclsbase.env = RecordingEnv()
        try:
            row = []
            for _, call in CALLS:
                row.append(outcome(lambda: call(setup(mod))))
            results.append(row)
        finally:
            sysclsbase.env = saved
    assert results[0] == results[1]


# ---- leaks ------------------------------------------------------------------

def test_no_reference_leaks(env):
    price = 3500.125
    env.price = price
    fills = [(3450.0, 1), (3460.0, 2)]
    side = hostile('__eq__', 'raise', base=object)
    tracked = [price, fills, fills[0], side, env]
    before = [sys.getrefcount(o) for o in tracked]
    p = worked_future(native)
    p.holding_cost_today_long_list = fills
    s = worked_stock(native)
    s.holding_cost_today_long_list = fills
    for _ in range(200):
        p.snapshot()
        s.snapshot()
        p.volume(LONG)
        p.market_value(SHORT)
        for bad in (lambda: p.volume(side), lambda: s.market_value(side)):
            with pytest.raises(Boom):
                bad()
    p.holding_cost_today_long_list = s.holding_cost_today_long_list = [(1, 2, 3)]
    for _ in range(200):
        with pytest.raises(ValueError):
            p.snapshot()
    del p, s
    assert [sys.getrefcount(o) for o in tracked] == before

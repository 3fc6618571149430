"""Bad input and hostile objects: the native methods give the peer's outcome
(same result or same exception), never crash and leak nothing."""
import sys
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest

from hostile_support import Boom, hostile
from outcomes import outcome
from positions_support import (LONG, SHORT, RecordingEnv, env, native, peer, sysclsbase,  # noqa: F401
                               worked_future, worked_stock)


def both(setup, call):
    """The outcome of call(position) for the native and the peer position built by setup(mod)."""
    return [outcome(lambda: call(setup(mod))) for mod in (native, peer)]


ALL_CALLS = [
    lambda p: p.snapshot(), lambda p: p.volume(LONG), lambda p: p.volume(SHORT),
    lambda p: p.market_value(LONG), lambda p: p.market_value(SHORT), lambda p: p.total_volume_long,
    lambda p: p.total_volume_short, lambda p: p.position_available_long,
    lambda p: p.position_available_today_long, lambda p: p.position_available_today_short,
]


@pytest.mark.parametrize('make', [worked_stock, worked_future], ids=['stock', 'future'])
@pytest.mark.parametrize('attr', ['volume_long_yd', 'holding_cost_long', 'available_long', 'volume_short_yd',
                                  'cost_short', 'target_idx'])
@pytest.mark.parametrize('value', [None, 'x', b'1', [1], 2 ** 70, 1e308, float('nan'), float('-inf'), True,
                                   np.float64(2.5), np.int64(3), Decimal('1.5'), Fraction(1, 3)],
                         ids=repr)
def test_odd_figures_give_the_peers_outcome(env, make, attr, value):
    def setup(mod):
        p = make(mod)
        setattr(p, attr, value)
        return p
    for call in ALL_CALLS:
        got, expected = both(setup, call)
        assert got == expected


@pytest.mark.parametrize('make', [worked_stock, worked_future], ids=['stock', 'future'])
@pytest.mark.parametrize('price, multiple, rate', [(None, 10, 0.1), ('3', 10, 0.1), (3500.0, 0, 0.1),
                                                   (3500.0, None, 0.1), (3500.0, 10, None), (2 ** 80, 3, 1),
                                                   (np.float32(1.5), 10, 0.1), (Decimal(2), 10, Decimal(1))],
                         ids=repr)
def test_odd_environment_figures_give_the_peers_outcome(env, make, price, multiple, rate):
    env.price, env.multiple, env.margin_rate = price, multiple, rate
    for call in ALL_CALLS:
        got, expected = both(make, call)
        assert got == expected


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
    monkeypatch.setattr(sysclsbase, 'env', None)
    for call in ALL_CALLS[:5]:
        got, expected = both(worked_future, call)
        assert got == expected and got[0] == 'raised'
    monkeypatch.delattr(sysclsbase, 'env')
    got, expected = both(worked_stock, lambda p: p.volume(LONG))
    assert got == expected and got[1] is AttributeError


@pytest.mark.parametrize('side', [hostile('__eq__', mode, base=object) for mode in ('raise', 'wrong')],
                         ids=['eq-raises', 'bool-raises'])
@pytest.mark.parametrize('make', [worked_stock, worked_future], ids=['stock', 'future'])
def test_hostile_side_values(env, side, make):
    for call in (lambda p: p.volume(side), lambda p: p.market_value(side)):
        got, expected = both(make, call)
        assert got == expected and got[1] is Boom


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
def test_fill_lists_changing_during_the_walk(env, setup):
    for call in ALL_CALLS:
        got, expected = both(setup, call)
        assert got == expected


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

"""What the positions answer: volumes, market values and snapshot records,
with the environment calls they make."""
from collections import OrderedDict

import pandas as pd
import pytest

from outcomes import canon
from positions_support import (IMPLS, LONG, SHORT, UNKNOWN, env, native, peer,  # noqa: F401
                               worked_future, worked_stock)

NaT = pd.NaT

FUTURE_RECORD = [
    ('account_name', 'default'), ('account_idx', None), ('code', None), ('target_idx', 7),
    ('volume_long', 3), ('volume_short', 3), ('volume_today_long', 1), ('volume_today_short', 2),
    ('fpnl_long', 2500.0), ('fpnl_short', 2000.0), ('zpnl_long', 4500.0), ('zpnl_short', 2500.0),
    ('holding_cost_long', 3416.667), ('holding_cost_short', 3566.667),
    ('cost_long', 3350.0), ('cost_short', 3583.333), ('amount_long', 102500.0), ('amount_short', 107000.0),
    ('holding_value_long', 105000.0), ('holding_value_short', 105000.0),
    ('available_long', 0), ('available_short', 0), ('available_today_long', 1), ('available_today_short', 2),
    ('price', 3500.0), ('created_long', NaT), ('created_short', NaT), ('updated', NaT),
    ('order_frozen_long', 0), ('order_frozen_short', 0), ('order_frozen_today_long', 0),
    ('order_frozen_today_short', 0), ('margin_long', 10250.0), ('margin_short', 10700.0), ('change_reason', 0),
]

STOCK_RECORD = [
    ('account_name', 'default'), ('account_idx', None), ('code', None), ('target_idx', 8),
    ('volume_long', 1500), ('volume_short', 0), ('volume_today_long', 0), ('volume_today_short', 0),
    ('fpnl_long', 550.0), ('fpnl_short', 0.0), ('zpnl_long', 550.0), ('zpnl_short', 0.0),
    ('holding_cost_long', 10.133), ('holding_cost_short', 0.0), ('cost_long', 10.133), ('cost_short', 0.0),
    ('amount_long', 15200.0), ('amount_short', 0.0), ('holding_value_long', 15750.0),
    ('holding_value_short', 0.0), ('available_long', 0), ('available_short', 0), ('available_today_long', 0),
    ('available_today_short', 0), ('price', 10.5), ('created_long', NaT), ('created_short', NaT),
    ('updated', NaT), ('order_frozen_long', 200), ('order_frozen_short', 0), ('order_frozen_today_long', 0),
    ('order_frozen_today_short', 0), ('margin_long', 0.0), ('margin_short', 0.0), ('change_reason', 0),
]


# ---- examples ---------------------------------------------------------------

@IMPLS
def test_worked_future_example(env, mod):
    p = worked_future(mod)
    rec = p.snapshot()
    assert type(rec) is OrderedDict
    assert canon(list(rec.items())) == canon(FUTURE_RECORD)
    assert env.calls == [('market_price', 7, 0), ('get_multiple', 7), ('get_margin_rate', 7, 1),
                         ('get_margin_rate', 7, 1)]
    assert (p.total_volume_long, p.total_volume_short) == (3, 3)
    assert (p.position_available_today_long, p.position_available_today_short) == (1, 2)
    assert p.volume(LONG) == 3 and p.volume(SHORT) == 3
    assert repr(p.market_value(LONG)) == '105000.0'


@IMPLS
def test_worked_stock_example(env, mod):
    env.price = 10.5
    p = worked_stock(mod)
    assert canon(list(p.snapshot().items())) == canon(STOCK_RECORD)
    assert env.calls == [('market_price', 8, 0)]
    assert p.total_volume_long == 1700 and p.volume(LONG) == 1500
    assert repr(p.market_value(LONG)) == '15750.0'


@IMPLS
def test_fresh_positions(env, mod):
    s, f = mod.StockPosition(), mod.FuturePosition()
    assert s.type == 'stock' and f.type == 'future'
    for p in (s, f):
        assert [p.position_available_long, p.position_available_short, p.position_available_today_long,
                p.position_available_today_short, p.total_volume_long, p.total_volume_short] == [0] * 6
    assert f.long_holding_total == 0.0 and f.short_holding_total == 0.0
    rec = f.snapshot()
    assert len(env.calls) == 4 and env.calls[2] == env.calls[3]
    for k, v in rec.items():
        if k.startswith(('fpnl', 'zpnl', 'holding', 'cost', 'amount', 'margin')):
            assert repr(v) == '0.0', k
        elif k.startswith(('volume', 'available')):
            assert type(v) is int and v == 0, k
    assert rec['created_long'] is NaT and rec['created_short'] is NaT and rec['updated'] is NaT
    assert repr(s.snapshot()['holding_cost_long']) == '0.0'


@IMPLS
@pytest.mark.parametrize('fill, expected', [
    ((10.0625, 1), 10.063), ((-10.0625, -1), -10.062), ((2, 1), 2.0), ((0.0004999, 1), 0.0),
    ((-0.0004, -1), 0.0), ((-0.0006, -1), -0.001),
])
def test_rounding_halves_upward(env, mod, fill, expected):
    # The stock's amount is today's cost, rounded; the sign of zero survives.
    p = mod.StockPosition()
    p.holding_cost_today_long_list = [fill]
    value = p.snapshot()['amount_long']
    assert type(value) is float and repr(value) == repr(expected)


@IMPLS
def test_ints_stay_ints_and_true_division_gives_floats(env, mod):
    env.price, env.multiple = 3, 2
    f = mod.FuturePosition()
    f.volume_long_yd, f.holding_cost_long, f.cost_long = 4, 5, 6
    f.holding_cost_today_long_list = [(7, 1)]
    rec = f.snapshot()
    assert [type(rec[k]) for k in ('volume_long', 'available_today_long', 'price')] == [int, int, int]
    assert type(rec['fpnl_long']) is float and rec['holding_cost_long'] == 5.4
    assert type(f.market_value(LONG)) is float and type(f.volume(LONG)) is int
    f.holding_cost_today_long_list = [(7, 1.5)]
    rec = f.snapshot()
    assert rec['available_today_long'] == 1.5 and rec['volume_today_long'] == 1 and rec['volume_long'] == 5


@IMPLS
def test_market_value_with_decimals(env, mod):
    env.price = 3500.25
    f = mod.FuturePosition()
    f.volume_long_yd = 3
    assert f.snapshot()['holding_value_long'] == 105007.5


@IMPLS
@pytest.mark.parametrize('side, stock_volume, stock_value, future_volume, future_value', [
    (LONG, 1500, 15750.0, 3, 105000.0),
    (SHORT, 0, 0.0, 3, 105000.0),
    (UNKNOWN, 0, 0.0, 3, 105000.0),
    ('elsewhere', 0, 0.0, 3, 105000.0),
])
def test_sides(env, mod, side, stock_volume, stock_value, future_volume, future_value):
    s, f = worked_stock(mod), worked_future(mod)
    f.volume_short_yd = 1
    env.price = 10.5
    assert s.volume(side) == stock_volume and s.market_value(side) == stock_value
    assert env.calls == ([('market_price', 8, 0)] if side == LONG else [])
    env.price = 3500.0
    del env.calls[:]
    assert f.volume(side) == future_volume and f.market_value(side) == future_value
    assert env.calls == [('get_multiple', 7), ('market_price', 7, 0)]


@IMPLS
def test_unknown_side_takes_long_volume_but_short_value(env, mod):
    f = worked_future(mod)
    f.volume_short_yd = 5
    assert f.volume(UNKNOWN) == 3 and f.market_value(UNKNOWN) == 7 * 3500.0 * 10
    f.holding_cost_today_long_list = f.holding_cost_today_short_list = []
    f.volume_long_yd = f.volume_short_yd = 0
    del env.calls[:]
    assert f.market_value(LONG) == 0.0 and len(env.calls) == 2


@IMPLS
def test_frozen_volume_counts_only_in_the_stock_total(env, mod):
    s, f = worked_stock(mod), worked_future(mod)
    f.order_frozen_long = 5
    assert s.total_volume_long == 1700 and s.volume(LONG) == 1500
    assert f.total_volume_long == 3
    assert s.snapshot()['volume_long'] == 1500 and f.snapshot()['order_frozen_long'] == 5
    s.available_long, s.available_today_long = 7.9, 4
    assert s.position_available_long == 4 and s.snapshot()['available_long'] == 7


@IMPLS
def test_zero_multiplier_with_volume_divides_by_zero(env, mod):
    env.multiple = 0
    with pytest.raises(ZeroDivisionError):
        worked_future(mod).snapshot()
    f = mod.FuturePosition()
    assert f.snapshot()['holding_cost_long'] == 0.0


@IMPLS
@pytest.mark.parametrize('entry, message', [
    ((1, 2, 3), 'too many values to unpack (expected 2)'),
    ([1, 2, 3, 4], 'too many values to unpack (expected 2)'),
    ((1,), 'need more than 1 value to unpack'),
    ((), 'need more than 0 values to unpack'),
    (type('One', (), {'__iter__': lambda self: iter([5])})(), 'need more than 1 value to unpack'),
    (7, None),
])
def test_bad_fill_pairs(env, mod, entry, message):
    s, f = mod.StockPosition(), mod.FuturePosition()
    s.holding_cost_today_long_list = [(1, 1), entry]
    f.holding_cost_today_short_list = [entry]
    calls = [lambda: s.total_volume_long, lambda: s.volume(LONG), lambda: s.market_value(LONG),
             s.snapshot, lambda: f.position_available_today_short, lambda: f.total_volume_short,
             lambda: f.volume(SHORT), lambda: f.market_value(SHORT), f.snapshot]
    for call in calls:
        before = dict(vars(s)), dict(vars(f))
        with pytest.raises(TypeError if message is None else ValueError) as info:
            call()
        if message and mod is native:
            # The interpreter words the short case its own way in the peer.
            assert str(info.value) == message
        assert (vars(s), vars(f)) == before
    assert s.volume(SHORT) == 0 and f.volume(LONG) == 0

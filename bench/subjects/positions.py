"""Rows for the backtest position model."""
import gc
import sys
import tracemalloc
from collections import OrderedDict

from belvane.tframe import sysclsbase
from bench.harness import Row

NATIVE = 'belvane.backtest.model.positions'
PEER = 'positions'

ENV = sysclsbase.SimEnvironment(prices={0: 3500.0, 1: 10.5}, multiples={0: 10, 1: 1},
                                margin_rates={0: 0.1, 1: 1.0})
LONG = sysclsbase.gv.POSITIONSIDE_LONG


def setup():
    sysclsbase.env = ENV


def future(mod):
    p = mod.FuturePosition()
    p.account_idx, p.target_idx, p.market_code = 0, 0, 'SHFE.RB2405'
    p.volume_long_yd, p.holding_cost_long, p.cost_long = 2, 3400.0, 3300.0
    p.holding_cost_today_long_list = [(3450.0, 1)]
    p.volume_short_yd, p.holding_cost_short, p.cost_short = 1, 3600.0, 3650.0
    p.holding_cost_today_short_list = [(3550.0, 2)]
    return p


def stock(mod):
    p = mod.StockPosition()
    p.account_idx, p.target_idx, p.market_code = 0, 1, 'SH.600000'
    p.volume_long_yd, p.holding_cost_long, p.order_frozen_long = 1000, 10000, 200
    p.holding_cost_today_long_list = [(5200, 500)]
    return p


KEYS = ['account_name', 'account_idx', 'code', 'target_idx', 'volume_long', 'volume_short',
        'volume_today_long', 'volume_today_short', 'fpnl_long', 'fpnl_short', 'zpnl_long',
        'zpnl_short', 'holding_cost_long', 'holding_cost_short', 'cost_long', 'cost_short',
        'amount_long', 'amount_short', 'holding_value_long', 'holding_value_short',
        'available_long', 'available_short', 'available_today_long', 'available_today_short',
        'price', 'created_long', 'created_short', 'updated', 'order_frozen_long',
        'order_frozen_short', 'order_frozen_today_long', 'order_frozen_today_short',
        'margin_long', 'margin_short', 'change_reason']


def _floor(env_calls):
    """The same environment calls, then a new record of the same keys holding
    ready values: what no implementation of snapshot() can avoid."""
    values = [0.0] * len(KEYS)
    src = ['def floor():', '    env = cnt.env']
    src += ['    %s' % c for c in env_calls]
    src.append('    r = OrderedDict()')
    src += ['    r[%r] = values[%d]' % (k, i) for i, k in enumerate(KEYS)]
    src.append('    return r')
    ns = {'cnt': sysclsbase, 'OrderedDict': OrderedDict, 'values': values}
    exec('\n'.join(src), ns)
    return ns['floor']


def floor_future():
    return _floor(['env.market_price(0, 0)', 'env.get_multiple(0)', 'env.get_margin_rate(0, 1)',
                   'env.get_margin_rate(0, 1)'])


def floor_stock():
    return _floor(['env.market_price(1, 0)'])


def _calls(*calls):
    """Only the environment calls a member makes, from Python."""
    src = ['def floor():', '    env = cnt.env'] + ['    %s' % c for c in calls]
    ns = {'cnt': sysclsbase}
    exec('\n'.join(src), ns)
    return lambda: ns['floor']


def instance_bytes(mod, count=2000):
    """Memory taken by one FuturePosition, its attribute storage included."""
    gc.collect()
    tracemalloc.start()
    before = tracemalloc.take_snapshot()
    keep = [mod.FuturePosition() for _ in range(count)]
    after = tracemalloc.take_snapshot()
    tracemalloc.stop()
    grown = sum(s.size_diff for s in after.compare_to(before, 'filename'))
    return (grown - sys.getsizeof(keep)) / count


ROWS = [
    Row('FuturePosition.snapshot()', lambda m: future(m).snapshot, floor=floor_future, target=4.0),
    Row('StockPosition.snapshot()', lambda m: stock(m).snapshot, floor=floor_stock, target=4.0),
    Row('FuturePosition.volume(side)', lambda m: ('p.volume(side)', {'p': future(m), 'side': LONG}),
        target=2.5),
    Row('FuturePosition.market_value(side)',
        lambda m: ('p.market_value(side)', {'p': future(m), 'side': LONG}),
        floor=_calls('env.get_multiple(0)', 'env.market_price(0, 0)'), target=2.5),
    Row('StockPosition.volume(side)', lambda m: ('p.volume(side)', {'p': stock(m), 'side': LONG}),
        target=2.5),
    Row('StockPosition.market_value(side)',
        lambda m: ('p.market_value(side)', {'p': stock(m), 'side': LONG}),
        floor=_calls('env.market_price(1, 0)'), target=2.5),
    Row('FuturePosition.total_volume_long', lambda m: ('p.total_volume_long', {'p': future(m)}),
        target=2.5),
    Row('StockPosition.total_volume_long', lambda m: ('p.total_volume_long', {'p': stock(m)}),
        target=2.5),
    Row('FuturePosition.position_available_today_long',
        lambda m: ('p.position_available_today_long', {'p': future(m)}), target=2.5),
]

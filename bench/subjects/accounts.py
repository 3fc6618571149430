"""Rows for the live account model."""
from collections import OrderedDict

from belvane.tframe import sysclsbase
from belvane.tframe.ufuncs import todotmc
from belvane.tframe.utils.datetimefunc import mft_to_datetime
from belvane.tframe.utils.sorvel import DotDict, OrderedDotDict
from bench.harness import Row

NATIVE = 'belvane.realtrade.model.accounts'
PEER = 'accounts'

HANDLE = 'ACC-1'


def targets(n):
    return [{'Market': 'SH', 'Code': '%06d' % i} for i in range(n)]


def report(market, code, i, kind=OrderedDotDict):
    r = kind()
    r.AccountID, r.Market, r.Code = HANDLE, market, code
    for k in ('VolumeLong', 'VolumeShort', 'VolumeTodayLong', 'VolumeTodayShort', 'FpnlLong',
              'FpnlShort', 'ZpnlLong', 'ZpnlShort', 'HoldingCostLong', 'HoldingCostShort',
              'CostLong', 'CostShort', 'AmountLong', 'AmountShort', 'HoldingValueLong',
              'HoldingValueShort', 'AvailableLong', 'AvailableShort', 'AvailableTodayLong',
              'AvailableTodayShort', 'Price'):
        r[k] = i
    r.CreatedLong = 20240501093000000 + i
    r.CreatedShort = float('nan')
    r.Updated = 20240501100000000 + i
    for k in ('OrderFrozenLong', 'OrderFrozenShort', 'OrderFrozenTodayLong',
              'OrderFrozenTodayShort', 'MarginLong', 'MarginShort', 'ChangeReason'):
        r[k] = 0
    return r


CASH_KEYS = ['ValidCash', 'AvailableCash', 'MarketValue', 'Margin', 'OrderFrozen', 'TotalAsset',
             'TotalValue', 'HoldingPnl', 'RealizedPnl', 'DailyPnl', 'DailyCost', 'CumCashFlow',
             'LastAmount', 'LastRealizedPnl', 'LastCost', 'LastCashFlow', 'ChangeReason']


def cash(kind=OrderedDotDict):
    c = kind((k, 1.0) for k in CASH_KEYS)
    c.AccountID = HANDLE
    return c


def account(mod, n_targets, n_reports, kind=OrderedDotDict):
    env = sysclsbase.SimEnvironment(targets=targets(n_targets))
    acc = mod.BVRealAccount(env, 'stock', 0, 'demo', HANDLE, 'CNY')
    reports = [report('SH', '%06d' % (2 * i), i, kind) for i in range(n_reports)]
    reports.append(report('SZ', '999999', 0, kind))  # a target outside the strategy's list
    acc.update_info(cash(kind), reports)
    return acc, reports


def _snapshot_positions(n):
    def make(mod):
        acc, _ = account(mod, n, n // 2)
        return acc.snapshot_positions
    return make


def _update_info(kind):
    def make(mod):
        acc, reports = account(mod, 1000, 1000, kind)
        c = cash(kind)
        return lambda: acc.update_info(c, reports)
    return make


def _snapshot_position(mod):
    acc, _ = account(mod, 200, 100)
    idx = list(range(100))
    long_side = sysclsbase.gv.POSITIONSIDE_LONG
    return lambda: acc.snapshot_position(idx, long_side)


def _snapshot_cash(mod):
    acc, _ = account(mod, 10, 5)
    return acc.snapshot_cash


def _record_maker(keys):
    """A function building a new OrderedDict of `keys` holding ready values."""
    src = ['def make(values):', '    r = OrderedDict()']
    src += ['    r[%r] = values[%d]' % (k, i) for i, k in enumerate(keys)]
    src.append('    return r')
    ns = {'OrderedDict': OrderedDict}
    exec('\n'.join(src), ns)
    return ns['make']


CASH_RECORD_KEYS = ['currency', 'valid_cash', 'available_cash', 'market_value', 'margin',
                    'order_frozen', 'total_asset', 'total_value', 'holding_pnl', 'realized_pnl',
                    'daily_pnl', 'daily_cost', 'cum_cashflow', 'last_amount',
                    'last_realized_pnl', 'last_cost', 'last_cash_flow', 'change_reason']
ONE_SIDE_KEYS = ['account_name', 'account_idx', 'code', 'target_idx', 'side', 'volume',
                 'volume_today', 'fpnl', 'zpnl', 'holding_cost', 'cost', 'amount',
                 'holding_value', 'available', 'available_today', 'price', 'create', 'updated',
                 'order_frozen', 'order_frozen_today', 'margin', 'change_reason']


def _floor_snapshot_cash():
    """The cash record of ready values: what no snapshot_cash() can avoid."""
    make, values = _record_maker(CASH_RECORD_KEYS), [1.0] * len(CASH_RECORD_KEYS)
    return lambda: make(values)


def _floor_snapshot_position():
    """Per index, what no snapshot_position() can avoid: make_position's call
    of todotmc over the whole target list, the two time conversions of a
    target with a report, and the one-sided record of ready values."""
    make, values = _record_maker(ONE_SIDE_KEYS), [0] * len(ONE_SIDE_KEYS)
    target_list = targets(200)

    def floor():
        out = []
        for i in range(100):
            todotmc(target_list)
            if i % 2 == 0:
                mft_to_datetime([20240501093000000 + i])[0]
                mft_to_datetime([20240501100000000 + i])[0]
            out.append(make(values))
        return out
    return floor


ROWS = [
    Row('BVRealAccount.update_info(1,000 reports)', _update_info(OrderedDotDict), target=2.0),
    Row('BVRealAccount.update_info(1,000 DotDict reports)', _update_info(DotDict), target=2.0),
    Row('snapshot_positions() per target, 100 targets', _snapshot_positions(100), per=100),
    Row('snapshot_positions() per target, 1,000 targets', _snapshot_positions(1000), per=1000,
        target=2.5),
    Row('snapshot_positions() per target, 10,000 targets', _snapshot_positions(10000),
        per=10000),
    Row('snapshot_position(100 indices)', _snapshot_position, floor=_floor_snapshot_position,
        target=2.0),
    Row('snapshot_cash()', _snapshot_cash, floor=_floor_snapshot_cash, target=2.0),
]

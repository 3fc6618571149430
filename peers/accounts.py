# cython: annotation_typing=False
"""The live account model written as plain Python, for differential tests and
benchmarks against the native module. Its annotations are informational, as
the native module's are, so Cython must not take them as declarations."""
import numpy as np
from collections import OrderedDict
from belvane.tframe.ufuncs import todotmc
from belvane.tframe.sysclsbase import gv
from belvane.tframe.utils.datetimefunc import mft_to_datetime
from belvane.tframe.utils.sorvel import OrderedDotDict


def _stamp_time(stamp):
    if np.isnan(stamp):
        return np.nan
    return mft_to_datetime([stamp])[0]


def _position_order(record):
    target_idx = record['target_idx']
    if target_idx is None:
        return 999999999
    return target_idx


class BVRealAccount(object):
    def __init__(self, env_, acc_type, idx, name, handle, currency):
        self.env = env_
        self.type = acc_type
        self.handle_idx = idx
        self.name = name
        self.handle = handle
        self.currency = currency
        self._cash = {}
        self._position = {}

    def update_info(self, cash_info, position_info):
        # Mixing two accounts' data is never acceptable, with -O or without.
        if not self.handle == cash_info.AccountID:
            raise AssertionError
        # Every report is read before anything changes, so a bad one leaves
        # the account as it was.
        filed = {}
        for report in list(position_info):
            if report.AccountID != self.handle:
                continue
            filed[('%s.%s' % (report.Market, report.Code)).upper()] = report
        self._cash = cash_info
        table = self._position
        table.clear()
        table.update(filed)

    def get_cash_info(self, index_name):
        return self._cash.get(index_name)

    def get_position_info(self, index_name, target_idx):
        target_list = todotmc(self.env.vr.g_BelvaneInputInfo.RealTargetList)
        # A negative index would name another target counted from the end.
        if not 0 <= target_idx:
            raise IndexError('target index out of range')
        position = None
        if target_idx < len(target_list):
            position = self._position.get(target_list[target_idx])
        if position is None:
            position = self._position_template
            real_target_list = self.env.vr.g_BelvaneInputInfo.RealTargetList
            position['Market'] = real_target_list[target_idx]['Market']
            position['Code'] = real_target_list[target_idx]['Code']
        return position.get(index_name)

    @property
    def _position_template(self) -> 'OrderedDotDict':
        template = OrderedDotDict()
        template['AccountID'] = self.handle
        template['Market'] = ''
        template['Code'] = ''
        template['VolumeLong'] = 0
        template['VolumeShort'] = 0
        template['VolumeTodayLong'] = 0
        template['VolumeTodayShort'] = 0
        template['FpnlLong'] = 0
        template['FpnlShort'] = 0
        template['ZpnlLong'] = 0
        template['ZpnlShort'] = 0
        template['HoldingCostLong'] = 0
        template['HoldingCostShort'] = 0
        template['CostLong'] = 0
        template['CostShort'] = 0
        template['AmountLong'] = 0
        template['AmountShort'] = 0
        template['HoldingValueLong'] = 0
        template['HoldingValueShort'] = 0
        template['AvailableLong'] = 0
        template['AvailableShort'] = 0
        # numpy 2 dropped the NaN spelling.
        try:
            nan = np.NaN
        except AttributeError:
            nan = np.nan
        template['AvailableTodayLong'] = nan
        template['AvailableTodayShort'] = nan
        template['Price'] = nan
        template['CreatedLong'] = nan
        template['CreatedShort'] = nan
        template['Updated'] = nan
        template['OrderFrozenLong'] = 0
        template['OrderFrozenShort'] = 0
        template['OrderFrozenTodayLong'] = 0
        template['OrderFrozenTodayShort'] = 0
        template['MarginLong'] = 0
        template['MarginShort'] = 0
        template['ChangeReason'] = 0
        return template

    def make_positions(self, temp_position: 'dict') -> 'OrderedDict':
        code = todotmc({'Market': temp_position['Market'], 'Code': temp_position['Code']})
        updated = _stamp_time(temp_position['Updated'])
        create_long = _stamp_time(temp_position['CreatedLong'])
        create_short = _stamp_time(temp_position['CreatedShort'])
        record = OrderedDict()
        record['account_name'] = self.name
        record['account_idx'] = self.handle_idx
        record['code'] = code
        record['target_idx'] = None
        record['volume_long'] = temp_position['VolumeLong']
        record['volume_short'] = temp_position['VolumeShort']
        record['Volume_today_long'] = temp_position['VolumeTodayLong']
        record['Volume_today_short'] = temp_position['VolumeTodayShort']
        record['fpnl_long'] = temp_position['FpnlLong']
        record['fpnl_short'] = temp_position['FpnlShort']
        record['zpnl_long'] = temp_position['ZpnlLong']
        record['zpnl_short'] = temp_position['ZpnlShort']
        record['holding_cost_long'] = temp_position['HoldingCostLong']
        record['holding_cost_short'] = temp_position['HoldingCostShort']
        record['cost_long'] = temp_position['CostLong']
        record['cost_short'] = temp_position['CostShort']
        record['amount_long'] = temp_position['AmountLong']
        record['amount_short'] = temp_position['AmountShort']
        record['holding_value_long'] = temp_position['HoldingValueLong']
        record['holding_value_short'] = temp_position['HoldingValueShort']
        record['available_long'] = temp_position['AvailableLong']
        record['available_short'] = temp_position['AvailableShort']
        record['available_today_long'] = temp_position['AvailableTodayLong']
        record['available_today_short'] = temp_position['AvailableTodayShort']
        record['price'] = temp_position['Price']
        record['create_long'] = create_long
        record['create_short'] = create_short
        record['updated'] = updated
        record['order_frozen_long'] = temp_position['OrderFrozenLong']
        record['order_frozen_short'] = temp_position['OrderFrozenShort']
        record['margin_long'] = temp_position['MarginLong']
        record['margin_short'] = temp_position['MarginShort']
        record['change_reason'] = temp_position['ChangeReason']
        return record

    def snapshot_positions(self):
        target_list = todotmc(self.env.vr.g_BelvaneInputInfo.RealTargetList)
        positions = []
        table = self._position
        for report in list(table.values()):
            code = todotmc({'Market': report['Market'], 'Code': report['Code']})
            target_idx = target_list.index(code) if code in target_list else None
            record = self.make_positions(dict(report))
            record['code'] = code
            record['target_idx'] = target_idx
            positions.append(record)
        for key in list(set(target_list) - set(table.keys())):
            target_idx = target_list.index(key)
            record = self.make_positions(dict(self._position_template))
            record['code'] = key
            record['target_idx'] = target_idx
            positions.append(record)
        positions.sort(key=_position_order)
        return positions

    def snapshot_cash(self):
        record = OrderedDict()
        cash = self._cash
        record['currency'] = 'CNY'
        record['valid_cash'] = cash['ValidCash']
        record['available_cash'] = cash['AvailableCash']
        record['market_value'] = cash['MarketValue']
        record['margin'] = cash['Margin']
        record['order_frozen'] = cash['OrderFrozen']
        record['total_asset'] = cash['TotalAsset']
        record['total_value'] = cash['TotalValue']
        record['holding_pnl'] = cash['HoldingPnl']
        record['realized_pnl'] = cash['RealizedPnl']
        record['daily_pnl'] = cash['DailyPnl']
        record['daily_cost'] = cash['DailyCost']
        record['cum_cashflow'] = cash['CumCashFlow']
        record['last_amount'] = cash['LastAmount']
        record['last_realized_pnl'] = cash['LastRealizedPnl']
        record['last_cost'] = cash['LastCost']
        record['last_cash_flow'] = cash['LastCashFlow']
        record['change_reason'] = cash['ChangeReason']
        return record

    def snapshot_position(self, target_idx_s: 'list', side):
        positions = []
        no_position_flag = 0
        target_list = todotmc(self.env.vr.g_BelvaneInputInfo.RealTargetList)
        for target_idx in target_idx_s:
            if 0 <= target_idx < len(target_list):
                position = self._position.get(target_list[target_idx], no_position_flag)
            else:
                position = None
            if position is None:
                continue
            if position == no_position_flag:
                position = self._position_template
            if side == gv.POSITIONSIDE_UNKNOWN:
                positions.append(self.make_position(position, target_idx, gv.POSITIONSIDE_LONG))
                positions.append(self.make_position(position, target_idx, gv.POSITIONSIDE_SHORT))
            else:
                positions.append(self.make_position(position, target_idx, side))
        return positions

    def make_position(self, position, target_idx, side):
        record = OrderedDict()
        target_list = todotmc(self.env.vr.g_BelvaneInputInfo.RealTargetList)
        if side == gv.POSITIONSIDE_LONG:
            created = position['CreatedLong']
        else:
            created = position['CreatedShort']
        # A side without a creation time has no update time either.
        if np.isnan(created):
            updated = np.nan
        else:
            updated = _stamp_time(position['Updated'])
        if np.isnan(created):
            create = np.nan
        else:
            create = mft_to_datetime([created])[0]
        record['account_name'] = self.name
        record['account_idx'] = self.handle_idx
        record['code'] = target_list[target_idx]
        record['target_idx'] = target_idx
        record['side'] = side
        if side == gv.POSITIONSIDE_LONG:
            record['volume'] = position['VolumeLong']
            record['volume_today'] = position['VolumeTodayLong']
            record['fpnl'] = position['FpnlLong']
            record['zpnl'] = position['ZpnlLong']
            record['holding_cost'] = position['HoldingCostLong']
            record['cost'] = position['CostLong']
            record['amount'] = position['AmountLong']
            record['holding_value'] = position['HoldingValueLong']
            record['available'] = position['AvailableLong']
            record['available_today'] = position['AvailableTodayLong']
            record['price'] = position['Price']
            record['create'] = create
            record['updated'] = updated
            record['order_frozen'] = position['OrderFrozenLong']
            record['order_frozen_today'] = position['OrderFrozenTodayLong']
            record['margin'] = position['MarginLong']
        else:
            record['volume'] = position['VolumeShort']
            record['volume_today'] = position['VolumeTodayShort']
            record['fpnl'] = position['FpnlShort']
            record['zpnl'] = position['ZpnlShort']
            record['holding_cost'] = position['HoldingCostShort']
            record['cost'] = position['CostShort']
            record['amount'] = position['AmountShort']
            record['holding_value'] = position['HoldingValueShort']
            record['available'] = position['AvailableShort']
            record['available_today'] = position['AvailableTodayShort']
            record['price'] = position['Price']
            record['create'] = create
            record['updated'] = updated
            record['order_frozen'] = position['OrderFrozenShort']
            record['order_frozen_today'] = position['OrderFrozenTodayShort']
            record['margin'] = position['MarginShort']
        record['change_reason'] = position['ChangeReason']
        return record

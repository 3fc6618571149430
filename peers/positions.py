# The position model written as plain Python: the peer of the native module
# for differential tests and benchmarks (it is also compiled with Cython).
# Module globals are read at each use, as the native methods read theirs.
# One difference is the interpreter's: a fill pair with fewer than two values
# is reported here in CPython's words ("not enough values to unpack ...");
# the native module and this file compiled by Cython say "need more than ...".
import pandas as pd
import belvane.tframe.sysclsbase as cnt
from collections import OrderedDict
from belvane.tframe.sysclsbase import gv
from belvane.setting import get_setting

PRECISION_MUL = 10 ** get_setting('PRECISION_LEVEL', 3)


def _plus_today(held, fills):
    # A carried volume (read first, by the caller) plus today's fill volumes.
    today_volume = 0
    for _, volume in fills:
        today_volume += volume
    return held + today_volume


class PositionsBase(object):
    def __init__(self):
        self.account_idx = None
        self.target_idx = None
        self.market_code = None
        self.type = None
        self.dt_update_time = pd.NaT
        self.change_reason = 0

    def total_volume_long(self):
        raise NotImplementedError

    def total_volume_short(self):
        raise NotImplementedError

    @property
    def position_available_long(self):
        raise NotImplementedError

    @property
    def position_available_short(self):
        raise NotImplementedError

    @property
    def position_available_today_long(self):
        raise NotImplementedError

    @property
    def position_available_today_short(self):
        raise NotImplementedError

    def snapshot(self):
        raise NotImplementedError

    def volume(self, side):
        raise NotImplementedError

    def market_value(self, side):
        raise NotImplementedError


class StockPosition(PositionsBase):
    def __init__(self):
        super(StockPosition, self).__init__()
        self.type = gv.TARGETTYPE_STOCK
        self.dt_create_long_time = pd.NaT
        self.order_frozen_long = 0
        self.order_frozen_today_long = 0
        self.volume_long_yd = 0
        self.holding_cost_long = 0
        self.holding_cost_today_long_list = []
        self.available_long = 0
        self.available_today_long = 0

    @property
    def position_available_long(self):
        return self.available_today_long

    @property
    def position_available_short(self):
        return 0

    @property
    def position_available_today_long(self):
        return 0

    @property
    def position_available_today_short(self):
        return 0

    @property
    def total_volume_long(self):
        return (_plus_today(self.volume_long_yd, self.holding_cost_today_long_list)
                + self.order_frozen_long)

    @property
    def total_volume_short(self):
        return 0

    def snapshot(self):
        price = cnt.env.market_price(self.target_idx, 0)
        today_cost = 0
        today_volume = 0
        for cost, volume in self.holding_cost_today_long_list:
            today_cost += cost
            today_volume += volume
        record = OrderedDict()
        record['account_name'] = 'default'
        record['account_idx'] = self.account_idx
        record['code'] = self.market_code
        record['target_idx'] = self.target_idx
        record['volume_long'] = int(self.volume_long_yd + today_volume)
        record['volume_short'] = 0
        record['volume_today_long'] = 0
        record['volume_today_short'] = 0
        record['fpnl_long'] = (((price * self.volume_long_yd - self.holding_cost_long)
                                + (price * today_volume - today_cost))
                               * PRECISION_MUL + 0.5) // 1 / PRECISION_MUL
        record['fpnl_short'] = 0.0
        record['zpnl_long'] = record['fpnl_long']
        record['zpnl_short'] = 0.0
        if record['volume_long'] != 0:
            record['holding_cost_long'] = ((today_cost + self.holding_cost_long) / record['volume_long']
                                           * PRECISION_MUL + 0.5) // 1 / PRECISION_MUL
        else:
            record['holding_cost_long'] = (0.0 * PRECISION_MUL + 0.5) // 1 / PRECISION_MUL
        record['holding_cost_short'] = 0.0
        record['cost_long'] = record['holding_cost_long']
        record['cost_short'] = 0.0
        record['amount_long'] = ((today_cost + self.holding_cost_long)
                                 * PRECISION_MUL + 0.5) // 1 / PRECISION_MUL
        record['amount_short'] = 0.0
        record['holding_value_long'] = (price * record['volume_long']
                                        * PRECISION_MUL + 0.5) // 1 / PRECISION_MUL
        record['holding_value_short'] = 0.0
        record['available_long'] = int(self.available_long)
        record['available_short'] = 0
        record['available_today_long'] = 0
        record['available_today_short'] = 0
        record['price'] = price
        record['created_long'] = self.dt_create_long_time
        record['created_short'] = pd.NaT
        record['updated'] = self.dt_update_time
        record['order_frozen_long'] = self.order_frozen_long
        record['order_frozen_short'] = 0
        record['order_frozen_today_long'] = self.order_frozen_today_long
        record['order_frozen_today_short'] = 0
        record['margin_long'] = 0.0
        record['margin_short'] = 0.0
        record['change_reason'] = self.change_reason
        return record

    def volume(self, side):
        volume = 0
        if side == cnt.env.gv.POSITIONSIDE_LONG:
            volume += _plus_today(self.volume_long_yd, self.holding_cost_today_long_list)
        return volume

    def market_value(self, side):
        value = 0.0
        if side == cnt.env.gv.POSITIONSIDE_LONG:
            price = cnt.env.market_price(self.target_idx, 0)
            value += _plus_today(self.volume_long_yd, self.holding_cost_today_long_list) * price
        return value


class FuturePosition(PositionsBase):
    def __init__(self):
        super(FuturePosition, self).__init__()
        self.type = gv.TARGETTYPE_FUTURE
        self.cost_long = 0.0
        self.holding_cost_long = 0.0
        self.volume_long_yd = 0
        self.holding_cost_today_long_list = []
        self.order_frozen_long = 0
        self.order_frozen_today_long = 0
        self.available_long = 0
        self.dt_create_long_time = pd.NaT
        self.long_holding_total = 0.0
        self.cost_short = 0.0
        self.volume_short_yd = 0
        self.holding_cost_short = 0.0
        self.holding_cost_today_short_list = []
        self.order_frozen_short = 0
        self.order_frozen_today_short = 0
        self.available_short = 0
        self.dt_create_short_time = pd.NaT
        self.short_holding_total = 0.0

    @property
    def position_available_long(self):
        return self.available_long

    @property
    def position_available_short(self):
        return self.available_short

    @property
    def position_available_today_long(self):
        today_volume = 0
        for price, volume in self.holding_cost_today_long_list:
            today_volume += volume
        return today_volume

    @property
    def position_available_today_short(self):
        today_volume = 0
        for price, volume in self.holding_cost_today_short_list:
            today_volume += volume
        return today_volume

    @property
    def total_volume_long(self):
        return _plus_today(self.volume_long_yd, self.holding_cost_today_long_list)

    @property
    def total_volume_short(self):
        return _plus_today(self.volume_short_yd, self.holding_cost_today_short_list)

    def snapshot(self):
        price = cnt.env.market_price(self.target_idx, 0)
        multiple = cnt.env.get_multiple(self.target_idx)
        long_margin_rate = cnt.env.get_margin_rate(self.target_idx, 1)
        short_margin_rate = cnt.env.get_margin_rate(self.target_idx, 1)
        today_long_cost = 0.0
        today_long_volume = 0
        for fill_price, fill_volume in self.holding_cost_today_long_list:
            today_long_cost += fill_price * fill_volume * multiple
            today_long_volume += fill_volume
        today_short_cost = 0.0
        today_short_volume = 0
        for fill_price, fill_volume in self.holding_cost_today_short_list:
            today_short_cost += fill_price * fill_volume * multiple
            today_short_volume += fill_volume
        long_market_value = (self.volume_long_yd + today_long_volume) * price * multiple
        short_market_value = (self.volume_short_yd + today_short_volume) * price * multiple

        record = OrderedDict()
        record['account_name'] = 'default'
        record['account_idx'] = self.account_idx
        record['code'] = self.market_code
        record['target_idx'] = self.target_idx
        record['volume_long'] = int(self.volume_long_yd + today_long_volume)
        record['volume_short'] = int(self.volume_short_yd + today_short_volume)
        record['volume_today_long'] = int(today_long_volume)
        record['volume_today_short'] = int(today_short_volume)
        record['fpnl_long'] = ((long_market_value
                                - self.holding_cost_long * self.volume_long_yd * multiple
                                - today_long_cost)
                               * PRECISION_MUL + 0.5) // 1 / PRECISION_MUL
        record['fpnl_short'] = ((self.holding_cost_short * self.volume_short_yd * multiple
                                 + today_short_cost
                                 - short_market_value)
                                * PRECISION_MUL + 0.5) // 1 / PRECISION_MUL
        record['zpnl_long'] = ((price * (self.volume_long_yd + today_long_volume) * multiple
                                - self.cost_long * self.volume_long_yd * multiple
                                - today_long_cost)
                               * PRECISION_MUL + 0.5) // 1 / PRECISION_MUL
        record['zpnl_short'] = ((self.cost_short * self.volume_short_yd * multiple
                                 + today_short_cost
                                 - price * (self.volume_short_yd + today_short_volume) * multiple)
                                * PRECISION_MUL + 0.5) // 1 / PRECISION_MUL
        if self.volume_long_yd + today_long_volume != 0:
            record['holding_cost_long'] = (
                (self.holding_cost_long * self.volume_long_yd * multiple + today_long_cost)
                / ((self.volume_long_yd + today_long_volume) * multiple)
                * PRECISION_MUL + 0.5) // 1 / PRECISION_MUL
        else:
            record['holding_cost_long'] = (0.0 * PRECISION_MUL + 0.5) // 1 / PRECISION_MUL
        if self.volume_short_yd + today_short_volume != 0:
            record['holding_cost_short'] = (
                (self.holding_cost_short * self.volume_short_yd * multiple + today_short_cost)
                / ((self.volume_short_yd + today_short_volume) * multiple)
                * PRECISION_MUL + 0.5) // 1 / PRECISION_MUL
        else:
            record['holding_cost_short'] = (0.0 * PRECISION_MUL + 0.5) // 1 / PRECISION_MUL
        if self.volume_long_yd + today_long_volume != 0:
            record['cost_long'] = (
                (self.cost_long * self.volume_long_yd * multiple + today_long_cost)
                / ((self.volume_long_yd + today_long_volume) * multiple)
                * PRECISION_MUL + 0.5) // 1 / PRECISION_MUL
        else:
            record['cost_long'] = (0.0 * PRECISION_MUL + 0.5) // 1 / PRECISION_MUL
        if self.volume_short_yd + today_short_volume != 0:
            record['cost_short'] = (
                (self.cost_short * self.volume_short_yd * multiple + today_short_cost)
                / ((self.volume_short_yd + today_short_volume) * multiple)
                * PRECISION_MUL + 0.5) // 1 / PRECISION_MUL
        else:
            record['cost_short'] = (0.0 * PRECISION_MUL + 0.5) // 1 / PRECISION_MUL
        record['amount_long'] = ((today_long_cost
                                  + self.volume_long_yd * self.holding_cost_long * multiple)
                                 * PRECISION_MUL + 0.5) // 1 / PRECISION_MUL
        record['amount_short'] = ((today_short_cost
                                   + self.volume_short_yd * self.holding_cost_short * multiple)
                                  * PRECISION_MUL + 0.5) // 1 / PRECISION_MUL
        record['holding_value_long'] = (long_market_value * PRECISION_MUL + 0.5) // 1 / PRECISION_MUL
        record['holding_value_short'] = (short_market_value * PRECISION_MUL + 0.5) // 1 / PRECISION_MUL
        record['available_long'] = int(self.available_long)
        record['available_short'] = int(self.available_short)
        record['available_today_long'] = today_long_volume
        record['available_today_short'] = today_short_volume
        record['price'] = price
        record['created_long'] = self.dt_create_long_time
        record['created_short'] = self.dt_create_short_time
        record['updated'] = self.dt_update_time
        record['order_frozen_long'] = self.order_frozen_long
        record['order_frozen_short'] = self.order_frozen_short
        record['order_frozen_today_long'] = self.order_frozen_today_long
        record['order_frozen_today_short'] = self.order_frozen_today_short
        record['margin_long'] = ((self.holding_cost_long * self.volume_long_yd * long_margin_rate * multiple
                                  + today_long_cost * long_margin_rate)
                                 * PRECISION_MUL + 0.5) // 1 / PRECISION_MUL
        record['margin_short'] = ((self.holding_cost_short * self.volume_short_yd * short_margin_rate * multiple
                                   + today_short_cost * short_margin_rate)
                                  * PRECISION_MUL + 0.5) // 1 / PRECISION_MUL
        record['change_reason'] = self.change_reason
        return record

    def volume(self, side):
        if side == cnt.env.gv.POSITIONSIDE_SHORT:
            return _plus_today(self.volume_short_yd, self.holding_cost_today_short_list)
        return _plus_today(self.volume_long_yd, self.holding_cost_today_long_list)

    def market_value(self, side):
        value = 0.0
        multiple = cnt.env.get_multiple(self.target_idx)
        price = cnt.env.market_price(self.target_idx, 0)
        if side == cnt.env.gv.POSITIONSIDE_LONG:
            total_volume = _plus_today(self.volume_long_yd, self.holding_cost_today_long_list)
        else:
            total_volume = _plus_today(self.volume_short_yd, self.holding_cost_today_short_list)
        value += total_volume * price * multiple
        return value

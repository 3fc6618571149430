from collections import OrderedDict
from typing import Any, List, Tuple

import pandas as pd
from belvane.tframe import sysclsbase as cnt

gv: Any
PRECISION_MUL: Any

def get_setting(name: str, default: Any = ...) -> Any: ...

class PositionsBase:
    account_idx: Any
    target_idx: Any
    market_code: Any
    type: Any
    dt_update_time: Any
    change_reason: Any
    def __init__(self) -> None: ...
    def total_volume_long(self) -> Any: ...
    def total_volume_short(self) -> Any: ...
    @property
    def position_available_long(self) -> Any: ...
    @property
    def position_available_short(self) -> Any: ...
    @property
    def position_available_today_long(self) -> Any: ...
    @property
    def position_available_today_short(self) -> Any: ...
    def snapshot(self) -> 'OrderedDict[str, Any]': ...
    def volume(self, side: Any) -> Any: ...
    def market_value(self, side: Any) -> Any: ...

class StockPosition(PositionsBase):
    dt_create_long_time: Any
    order_frozen_long: Any
    order_frozen_today_long: Any
    volume_long_yd: Any
    holding_cost_long: Any
    holding_cost_today_long_list: List[Tuple[Any, Any]]
    available_long: Any
    available_today_long: Any
    def __init__(self) -> None: ...
    @property
    def total_volume_long(self) -> Any: ...  # type: ignore[override]
    @property
    def total_volume_short(self) -> int: ...  # type: ignore[override]
    def snapshot(self) -> 'OrderedDict[str, Any]': ...
    def volume(self, side: Any) -> Any: ...
    def market_value(self, side: Any) -> Any: ...

class FuturePosition(PositionsBase):
    cost_long: Any
    holding_cost_long: Any
    volume_long_yd: Any
    holding_cost_today_long_list: List[Tuple[Any, Any]]
    order_frozen_long: Any
    order_frozen_today_long: Any
    available_long: Any
    dt_create_long_time: Any
    long_holding_total: Any
    cost_short: Any
    volume_short_yd: Any
    holding_cost_short: Any
    holding_cost_today_short_list: List[Tuple[Any, Any]]
    order_frozen_short: Any
    order_frozen_today_short: Any
    available_short: Any
    dt_create_short_time: Any
    short_holding_total: Any
    def __init__(self) -> None: ...
    @property
    def total_volume_long(self) -> Any: ...  # type: ignore[override]
    @property
    def total_volume_short(self) -> Any: ...  # type: ignore[override]
    def snapshot(self) -> 'OrderedDict[str, Any]': ...
    def volume(self, side: Any) -> Any: ...
    def market_value(self, side: Any) -> Any: ...

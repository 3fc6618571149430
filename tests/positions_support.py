"""Shared pieces of the position model tests: the two implementations, a
recording environment and position factories."""
import pytest

from belvane.backtest.model import positions as native
from belvane.tframe import sysclsbase
from peers import positions as peer

gv = sysclsbase.gv
LONG = gv.POSITIONSIDE_LONG
SHORT = gv.POSITIONSIDE_SHORT
UNKNOWN = gv.POSITIONSIDE_UNKNOWN
IMPLS = pytest.mark.parametrize('mod', [native, peer], ids=['native', 'peer'])

# Every figure a position answers, by name.
CALLS = [
    ('snapshot', lambda p: p.snapshot()), ('volume long', lambda p: p.volume(LONG)),
    ('volume short', lambda p: p.volume(SHORT)), ('volume unknown', lambda p: p.volume(UNKNOWN)),
    ('value long', lambda p: p.market_value(LONG)), ('value short', lambda p: p.market_value(SHORT)),
    ('total long', lambda p: p.total_volume_long), ('total short', lambda p: p.total_volume_short),
    ('available long', lambda p: p.position_available_long),
    ('available short', lambda p: p.position_available_short),
    ('today long', lambda p: p.position_available_today_long),
    ('today short', lambda p: p.position_available_today_short),
]


class RecordingEnv(object):
    """An environment that answers fixed figures and records every call."""

    def __init__(self, price=3500.0, multiple=10, margin_rate=0.1):
        self.gv = gv
        self.price = price
        self.multiple = multiple
        self.margin_rate = margin_rate
        self.calls = []

    def market_price(self, target_idx, offset):
        self.calls.append(('market_price', target_idx, offset))
        return self.price

    def get_multiple(self, target_idx):
        self.calls.append(('get_multiple', target_idx))
        return self.multiple

    def get_margin_rate(self, target_idx, side):
        self.calls.append(('get_margin_rate', target_idx, side))
        return self.margin_rate


def on_both(kind, figures, long_fills, short_fills, price, multiple, rate, precision, probe):
    """Sets up the same position on the native module and on the peer, each
    with its own recording environment, and returns, per implementation,
    what `probe(position)` gives and the environment calls it made."""
    results = []
    saved = sysclsbase.env
    try:
        for mod in (native, peer):
            sysclsbase.env = RecordingEnv(price, multiple, rate)
            mod.PRECISION_MUL = precision
            p = getattr(mod, kind)()
            p.target_idx = 3
            for k, v in figures.items():
                setattr(p, k, v)
            p.holding_cost_today_long_list = list(long_fills)
            p.holding_cost_today_short_list = list(short_fills)
            results.append((probe(p), sysclsbase.env.calls))
    finally:
        sysclsbase.env = saved
        native.PRECISION_MUL = peer.PRECISION_MUL = 1000
    return results


@pytest.fixture
def env(monkeypatch):
    e = RecordingEnv()
    monkeypatch.setattr(sysclsbase, 'env', e)
    return e


def worked_future(mod):
    """The worked future example, on a module's class or on the given class."""
    p = getattr(mod, 'FuturePosition', mod)()
    p.target_idx = 7
    p.volume_long_yd = 2
    p.holding_cost_long = 3400.0
    p.cost_long = 3300.0
    p.holding_cost_today_long_list = [(3450.0, 1)]
    p.volume_short_yd = 1
    p.holding_cost_short = 3600.0
    p.cost_short = 3650.0
    p.holding_cost_today_short_list = [(3550.0, 2)]
    return p


def worked_stock(mod):
    p = getattr(mod, 'StockPosition', mod)()
    p.target_idx = 8
    p.volume_long_yd = 1000
    p.holding_cost_long = 10000
    p.holding_cost_today_long_list = [(5200, 500)]
    p.order_frozen_long = 200
    return p


"""The native positions against the pure-Python peer on random figures:
value for value, type for type, floats bit for bit."""
import struct

import pytest
from hypothesis import given, settings, strategies as st, HealthCheck

from outcomes import canon, outcome
from positions_support import LONG, SHORT, RecordingEnv, native, on_both, peer, sysclsbase

numbers = st.one_of(
    st.integers(-10 ** 6, 10 ** 6),
    st.integers(),
    st.floats(-1e7, 1e7),
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from([0, 0.0, -0.0, 1, -1, 0.5, -0.5, 2 ** 53, 2 ** 53 + 1, -2 ** 63, 10.0625]),
)
fills = st.lists(st.tuples(numbers, numbers), max_size=3)
FIGURES = ['volume_long_yd', 'holding_cost_long', 'available_long', 'available_today_long',
           'order_frozen_long', 'cost_long', 'volume_short_yd', 'holding_cost_short', 'cost_short',
           'available_short']


CALLS = [lambda p: p.snapshot(), lambda p: p.volume(LONG), lambda p: p.volume(SHORT),
         lambda p: p.market_value(LONG), lambda p: p.market_value(SHORT), lambda p: p.total_volume_long,
         lambda p: p.total_volume_short, lambda p: p.position_available_today_long,
         lambda p: p.position_available_long]


@settings(max_examples=300, deadline=None, suppress_health_check=list(HealthCheck))
@given(kind=st.sampled_from(['StockPosition', 'FuturePosition']),
       figures=st.fixed_dictionaries({k: numbers for k in FIGURES}),
       long_fills=fills, short_fills=fills,
       price=numbers, multiple=numbers, rate=numbers,
       precision=st.sampled_from([1000, 100, 1, 10 ** 20, 0.001]))
def test_native_matches_peer(kind, figures, long_fills, short_fills, price, multiple, rate, precision):
    results = on_both(kind, figures, long_fills, short_fills, price, multiple, rate, precision,
                      lambda p: [outcome(lambda: call(p)) for call in CALLS])
    assert results[0] == results[1]


@pytest.mark.parametrize('value', [0.1, 2.675, 1e-9, 123456.0005, -0.0005, 5e-324, 1e300, 2 ** 52 + 0.5])
@pytest.mark.parametrize('precision', [1000, 100, 7, 10 ** 20])
def test_rounding_matches_python_bit_for_bit(value, precision, monkeypatch):
    # The rounding formula evaluated by Python itself against a stock's amount.
    monkeypatch.setattr(sysclsbase, 'env', RecordingEnv())
    monkeypatch.setattr(native, 'PRECISION_MUL', precision)
    p = native.StockPosition()
    p.holding_cost_long = value
    expected = (value * precision + 0.5) // 1 / precision
    assert canon(p.snapshot()['amount_long']) == canon(expected)


NAN_A = struct.unpack('<d', b'\x01\x00\x00\x00\x00\x00\xf0\x7f')[0]  # signalling, payload 1
NAN_B = -float('nan')


@pytest.mark.parametrize('kind', ['StockPosition', 'FuturePosition'])
@pytest.mark.parametrize('where', ['volume_long_yd', 'holding_cost_long', 'cost_long', 'fill price',
                                   'fill volume'])
def test_nans_arise_where_the_peer_gets_them(kind, where):
    results = []
    saved = sysclsbase.env
    try:
        for mod in (native, peer):
            sysclsbase.env = RecordingEnv(NAN_B, NAN_B, NAN_B)
            p = getattr(mod, kind)()
            fill = [1.5, 2]
            if where.startswith('fill'):
                fill[where == 'fill volume'] = NAN_A
            else:
                setattr(p, where, NAN_A)
            p.holding_cost_today_long_list = [tuple(fill)]
            results.append([outcome(lambda: call(p)) for call in CALLS])
    finally:
        sysclsbase.env = saved
    assert results[0] == results[1]

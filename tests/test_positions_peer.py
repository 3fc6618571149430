"""The native positions against the pure-Python peer where floats decide:
rounding bit for bit, and NaNs where the peer gets them. (Random figures
of every type: test_differential_wide.py.)"""
import struct

import pytest

from outcomes import canon, outcome
from positions_support import CALLS, RecordingEnv, native, peer, sysclsbase


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
            results.append([outcome(lambda: call(p)) for _, call in CALLS])
    finally:
        sysclsbase.env = saved
    assert results[0] == results[1]

"""The native positions and range records against their pure-Python peers on
random inputs that reach the edges of the native fast paths: ints around
2**53 (exact in a double), 2**62 and 2**63 (the C ranges), floats that
overflow in a product, signed zeros, NaN and infinities, bools, fractions
and decimals. Compared by outcomes.canon."""
from hypothesis import HealthCheck, given, settings, strategies as st

from outcomes import canon, outcome
from peers import sorvel_stats
from positions_support import LONG, SHORT, UNKNOWN, on_both
from belvane.tframe.utils import sorvel

EDGES = [0, 1, -1, 2 ** 53, 2 ** 53 + 1, -2 ** 53 - 1, 2 ** 62, 2 ** 62 + 1, -2 ** 62 - 1,
         2 ** 63 - 1, 2 ** 63, -2 ** 63, -2 ** 63 - 1, 2 ** 64, 10 ** 30, 0.0, -0.0, 0.5, -0.5,
         1e308, -1e308, 5e-324, 2.0 ** 53, 2.0 ** 63, float('inf'), float('-inf'),
         float('nan'), 10.0625, -10.0625, True, False]
numbers = st.one_of(
    st.sampled_from(EDGES), st.integers(-10 ** 4, 10 ** 4), st.integers(),
    st.floats(allow_nan=True, allow_infinity=True), st.floats(-1e6, 1e6),
    st.fractions(max_denominator=50).filter(lambda f: abs(f) < 10 ** 6),
    st.decimals(allow_nan=False, allow_infinity=False, places=2, min_value=-1000,
                max_value=1000))
plain = st.one_of(st.sampled_from(EDGES), st.integers(-10 ** 4, 10 ** 4),
                  st.floats(allow_nan=True, allow_infinity=True))
fills = st.lists(st.tuples(numbers, numbers), max_size=4)
FIGURES = ['volume_long_yd', 'holding_cost_long', 'cost_long', 'available_long',
           'available_today_long', 'order_frozen_long', 'volume_short_yd', 'holding_cost_short',
           'cost_short', 'available_short']
SIDES = [LONG, SHORT, UNKNOWN, 1.0, True, 'x', None]


CALLS = [lambda p: p.snapshot(), lambda p: p.total_volume_long, lambda p: p.total_volume_short,
         lambda p: p.position_available_long, lambda p: p.position_available_short,
         lambda p: p.position_available_today_long, lambda p: p.position_available_today_short]


@settings(max_examples=250, deadline=None, suppress_health_check=list(HealthCheck))
@given(kind=st.sampled_from(['StockPosition', 'FuturePosition']),
       figures=st.fixed_dictionaries({k: st.one_of(plain, plain, numbers) for k in FIGURES}),
       long_fills=fills, short_fills=fills, price=numbers, multiple=numbers, rate=numbers,
       side=st.sampled_from(SIDES),
       precision=st.sampled_from([1000, 100, 1, 10 ** 20, 0.001, 3, 2 ** 53 + 1, -1000, 1e300]))
def test_positions_match_the_peer(kind, figures, long_fills, short_fills, price, multiple, rate,
                                  side, precision):
    def probe(p):
        row = [outcome(lambda: call(p)) for call in CALLS]
        return row + [outcome(lambda: p.volume(side)), outcome(lambda: p.market_value(side))]
    results = on_both(kind, figures, long_fills, short_fills, price, multiple, rate, precision,
                      probe)
    assert results[0] == results[1]


# ---- range records ----------------------------------------------------------

SAFE = 2 ** 62
bounds = st.one_of(
    st.integers(-20, 20), st.integers(-20, 20).map(lambda i: SAFE + i),
    st.integers(-20, 20).map(lambda i: -SAFE + i), st.integers(-20, 20).map(lambda i: 2 ** 63 + i),
    st.floats(-20, 20).map(lambda f: round(f * 2) / 2),
    st.sampled_from([-0.0, 0.0, 2.0 ** 53, 2.0 ** 53 + 2, float('inf'), float('-inf'), 1e308]),
    st.fractions(min_value=-20, max_value=20, max_denominator=4))


def ordered(pair):
    a, b = pair
    try:
        return (a, b) if a <= b else (b, a)
    except TypeError:
        return (a, b)


window = st.tuples(bounds, bounds).map(ordered)
steps = st.sampled_from([None, lambda v, d: v + 2 * d, lambda v, d: v - d])


def both_ways(method, records, *args):
    got, want = list(records), list(records)
    a = outcome(lambda: getattr(sorvel.RangeRecord, method)(got, *args))
    b = outcome(lambda: getattr(sorvel_stats.RangeRecord, method)(want, *args))
    assert a == b
    assert [id(x) for x in got] == [id(x) for x in want]


@settings(max_examples=250, deadline=None, suppress_health_check=list(HealthCheck))
@given(st.lists(window, max_size=10), window, steps)
def test_range_class_methods_match_the_peer(records, w, step):
    both_ways('comb_record', records)
    both_ways('diff_record', records, w[0], w[1], step)
    both_ways('sub_record', records, w[0], w[1], step)


@settings(max_examples=150, deadline=None, suppress_health_check=list(HealthCheck))
@given(st.lists(st.tuples(st.booleans(), st.sampled_from(['a', 'b']), window), max_size=12))
def test_range_object_sequences_match_the_peer(ops):
    mine, theirs = sorvel.RangeRecord(), sorvel_stats.RangeRecord()
    for add, name, (s, e) in ops:
        a = outcome(lambda: (mine.add_range if add else mine.sub_range)(name, s, e))
        b = outcome(lambda: (theirs.add_range if add else theirs.sub_range)(name, s, e))
        assert a == b
        for n in ('a', 'b'):
            assert canon(mine.record(n)) == canon(theirs.record(n))
            assert canon(list(mine._raw_record.get(n, []))) == \
                canon(list(theirs._raw_record.get(n, [])))

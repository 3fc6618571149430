"""A backtest as a whole process: 500 positions, stocks and futures, over 250
bars. Each bar moves every price, adds fills to some positions, reads
volume / market_value / total_volume_* of every position and takes every
position's snapshot(); the snapshots become one pandas DataFrame at the end.
Every 50 bars a day ends: today's fills join the carried volumes.

    python bench/scenarios/backtest.py {native,peer,cython} [--compiled-dir DIR]
"""
import datetime
import os
import random
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))

from bench.scenarios import common  # noqa: E402

N_TARGETS = 500
N_BARS = 250
FILLS_PER_BAR = 50
BARS_PER_DAY = 50
SEED = 20240501


def market(rng):
    """Targets (even indices stocks, odd ones futures), their first prices,
    multipliers and margin rates."""
    codes, prices, multiples, margin_rates = [], [], {}, {}
    for i in range(N_TARGETS):
        if i % 2 == 0:
            codes.append('SH.%06d' % (600000 + i))
            prices.append(round(rng.uniform(5.0, 80.0), 2))
        else:
            codes.append('SHFE.RB%04d' % (2400 + i))
            prices.append(float(round(rng.uniform(2000.0, 6000.0))))
            multiples[i] = rng.choice((5, 10, 20, 100, 300))
            margin_rates[i] = rng.choice((0.08, 0.1, 0.12, 0.15))
    return codes, prices, multiples, margin_rates


def bars(rng, first_prices, long_side, short_side):
    """Per bar: every target's price, the bar's fills as (target, side,
    price, volume) and the bar's time."""
    prices = list(first_prices)
    start = datetime.datetime(2024, 5, 6, 9, 30)
    out = []
    for bar in range(N_BARS):
        for i in range(N_TARGETS):
            moved = prices[i] * (1.0 + rng.gauss(0.0, 0.01))
            prices[i] = round(moved, 2) if i % 2 == 0 else float(round(moved))
        fills = []
        for i in sorted(rng.sample(range(N_TARGETS), FILLS_PER_BAR)):
            if i % 2 == 0:
                fills.append((i, long_side, prices[i], 100 * rng.randint(1, 10)))
            else:
                side = long_side if rng.random() < 0.6 else short_side
                fills.append((i, side, prices[i] + rng.choice((-1.0, 0.0, 1.0)),
                              rng.randint(1, 5)))
        out.append((list(prices), fills, start + datetime.timedelta(minutes=bar)))
    return out


def end_of_day(book):
    """Today's fills join the carried volumes at their average cost."""
    for i, p in enumerate(book):
        if i % 2 == 0:
            fills = p.holding_cost_today_long_list
            p.holding_cost_long += sum(cost for cost, _ in fills)
            p.volume_long_yd += sum(volume for _, volume in fills)
            p.available_long = p.available_today_long = p.volume_long_yd
            p.holding_cost_today_long_list = []
            continue
        for side in ('long', 'short'):
            fills = getattr(p, 'holding_cost_today_%s_list' % side)
            volume = sum(v for _, v in fills)
            if not volume:
                continue
            carried = getattr(p, 'volume_%s_yd' % side)
            spent = sum(price * v for price, v in fills)
            for name in ('holding_cost_' + side, 'cost_' + side):
                setattr(p, name, (getattr(p, name) * carried + spent) / (carried + volume))
            setattr(p, 'volume_%s_yd' % side, carried + volume)
            setattr(p, 'available_' + side, carried + volume)
            setattr(p, 'holding_cost_today_%s_list' % side, [])


def main(argv=None):
    args = common.parse_args(argv)
    phases = common.Phases()
    positions = common.modules(args.impl, ['positions'], args.compiled_dir)['positions']
    import pandas as pd
    from belvane.tframe import sysclsbase
    phases.lap('import')

    gv = sysclsbase.gv
    long_side, short_side = gv.POSITIONSIDE_LONG, gv.POSITIONSIDE_SHORT
    rng = random.Random(SEED)
    codes, first_prices, multiples, margin_rates = market(rng)
    plan = bars(rng, first_prices, long_side, short_side)
    env = sysclsbase.SimEnvironment(prices=dict(enumerate(first_prices)), multiples=multiples,
                                    margin_rates=margin_rates)
    sysclsbase.env = env
    book = []
    for i, code in enumerate(codes):
        p = positions.StockPosition() if i % 2 == 0 else positions.FuturePosition()
        p.account_idx, p.target_idx, p.market_code = 0, i, code
        book.append(p)
    nat = pd.NaT
    phases.lap('inputs')

    snapshots = []
    curve = []
    for bar, (prices, fills, now) in enumerate(plan):
        env.prices = dict(enumerate(prices))
        for i, side, price, volume in fills:
            p = book[i]
            if i % 2 == 0:
                p.holding_cost_today_long_list.append((price * volume, volume))
            elif side == long_side:
                p.holding_cost_today_long_list.append((price, volume))
            else:
                p.holding_cost_today_short_list.append((price, volume))
            if side == long_side and p.dt_create_long_time is nat:
                p.dt_create_long_time = now
            elif side == short_side and p.dt_create_short_time is nat:
                p.dt_create_short_time = now
            p.dt_update_time = now
            p.change_reason = 1
        long_lots = short_lots = total_lots = 0
        value = 0.0
        for p in book:
            long_lots += p.volume(long_side)
            short_lots += p.volume(short_side)
            value += p.market_value(long_side) - p.market_value(short_side)
            total_lots += p.total_volume_long + p.total_volume_short
            snapshots.append(p.snapshot())
        curve.append((bar, long_lots, short_lots, total_lots, value))
        if (bar + 1) % BARS_PER_DAY == 0:
            end_of_day(book)
    phases.lap('bars')

    frame = pd.DataFrame(snapshots)
    phases.lap('dataframe')

    hashed = pd.util.hash_pandas_object(frame, index=False).values.tobytes()
    result = common.digest(list(frame.columns), frame.shape, hashed, curve)
    phases.lap('digest')
    common.report('backtest', args.impl, result, phases, {
        'rows': frame.shape[0], 'columns': frame.shape[1],
        'last_bar': curve[-1][:4], 'last_value': round(curve[-1][4], 3)})
    return 0


if __name__ == '__main__':
    sys.exit(main())

"""A live session as a whole process: 2,000 account pushes over a strategy of
1,000 targets. Each push brings a cash report and 200 position reports
(toolkit DotDicts) into update_info, is followed by snapshot_positions() and
snapshot_cash(), and is timed by the toolkit's StatusCollect. Now and then
fills change a held volume and the account swaps some targets for others.

    python bench/scenarios/live.py {native,peer,cython} [--compiled-dir DIR]
"""
import datetime
import os
import random
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))

from bench.scenarios import common  # noqa: E402

N_TARGETS = 1000
N_PUSHES = 2000
N_REPORTS = 200
OUTSIDE = [('SZ', '300750'), ('SH', '688981')]  # held, but not among the strategy's targets
FILLS_PER_PUSH = 5
SWAP_EVERY, SWAP_COUNT = 100, 10
HANDLE = 'LIVE-001'
SEED = 20240506
NAN = float('nan')

CASH_KEYS = ['ValidCash', 'AvailableCash', 'MarketValue', 'Margin', 'OrderFrozen', 'TotalAsset',
             'TotalValue', 'HoldingPnl', 'RealizedPnl', 'DailyPnl', 'DailyCost', 'CumCashFlow',
             'LastAmount', 'LastRealizedPnl', 'LastCost', 'LastCashFlow', 'ChangeReason']


def stamps():
    """The time stamp (YYYYMMDDHHMMSSmmm) of every push, half a second apart."""
    start = datetime.datetime(2024, 5, 6, 9, 30)
    out = []
    for i in range(N_PUSHES):
        t = start + datetime.timedelta(milliseconds=500 * i)
        out.append(int(t.strftime('%Y%m%d%H%M%S')) * 1000 + t.microsecond // 1000)
    return out


def report_base(market, code, volume, price, created, short):
    """The fields of one target's position report that stay between fills."""
    r = {'AccountID': HANDLE, 'Market': market, 'Code': code}
    for side, vol in (('Long', volume), ('Short', short)):
        r['Volume' + side] = vol
        r['VolumeToday' + side] = 0
        r['Fpnl' + side] = 0.0
        r['Zpnl' + side] = 0.0
        r['HoldingCost' + side] = round(price * 0.99, 3)
        r['Cost' + side] = round(price * 0.98, 3)
        r['Amount' + side] = round(vol * price * 0.99, 2)
        r['HoldingValue' + side] = 0.0
        r['Available' + side] = vol
        r['AvailableToday' + side] = 0
    r['Price'] = price
    r['CreatedLong'] = created
    r['CreatedShort'] = created if short else NAN
    r['Updated'] = created
    for key in ('OrderFrozenLong', 'OrderFrozenShort', 'OrderFrozenTodayLong',
                'OrderFrozenTodayShort', 'MarginLong', 'MarginShort'):
        r[key] = 0
    r['ChangeReason'] = 1
    return r


def main(argv=None):
    args = common.parse_args(argv)
    phases = common.Phases()
    mods = common.modules(args.impl, ['sorvel_dicts', 'sorvel_stats', 'accounts'],
                          args.compiled_dir)
    DotDict = mods['sorvel_dicts'].DotDict
    StatusCollect = mods['sorvel_stats'].StatusCollect
    BVRealAccount = mods['accounts'].BVRealAccount
    from belvane.tframe import sysclsbase
    phases.lap('import')

    rng = random.Random(SEED)
    targets = [{'Market': 'SH' if i % 2 == 0 else 'SZ', 'Code': '%06d' % (600000 + i)}
               for i in range(N_TARGETS)]
    prices = [round(rng.uniform(5.0, 80.0), 2) for _ in range(N_TARGETS)]
    times = stamps()
    # Held targets, then per push the fills (target, volume) and every
    # SWAP_EVERY pushes the targets sold out and those bought instead.
    held = rng.sample(range(N_TARGETS), N_REPORTS - len(OUTSIDE))
    fills, swaps = [], {}
    now_held = list(held)
    for i in range(N_PUSHES):
        fills.append([(rng.randrange(len(now_held)), 100 * rng.randint(1, 5))
                      for _ in range(FILLS_PER_PUSH)])
        if i and i % SWAP_EVERY == 0:
            free = sorted(set(range(N_TARGETS)) - set(now_held))
            out = rng.sample(range(len(now_held)), SWAP_COUNT)
            new = rng.sample(free, SWAP_COUNT)
            swaps[i] = [(slot, t, 100 * rng.randint(1, 50)) for slot, t in zip(out, new)]
            for slot, t, _ in swaps[i]:
                now_held[slot] = t
    bases = {}
    for t in held:
        bases[t] = report_base(targets[t]['Market'], targets[t]['Code'],
                               100 * rng.randint(1, 50), prices[t], times[0],
                               200 if t % 10 == 0 else 0)
    outside = [report_base(m, c, 1000, 100.0, times[0], 0) for m, c in OUTSIDE]
    cash_base = {'AccountID': HANDLE}
    for k in CASH_KEYS:
        cash_base[k] = 0.0
    cash_base['ChangeReason'] = 1

    env = sysclsbase.SimEnvironment(targets=targets)
    sysclsbase.env = env
    account = BVRealAccount(env, 'stock', 0, 'live', HANDLE, 'CNY')
    stats = StatusCollect.instance()
    stats.env = env
    phases.lap('inputs')

    picked = []
    cash_total = 0.0
    for i in range(N_PUSHES):
        stats.start_time('push', 'push')
        stamp = times[i]
        for slot, t, volume in swaps.get(i, ()):
            del bases[held[slot]]
            held[slot] = t
            bases[t] = report_base(targets[t]['Market'], targets[t]['Code'], volume, prices[t],
                                   stamp, 200 if t % 10 == 0 else 0)
        for slot, volume in fills[i]:
            base = bases[held[slot]]
            base['VolumeLong'] += volume
            base['VolumeTodayLong'] += volume
            base['AvailableTodayLong'] += volume
            base['AmountLong'] += volume * base['Price']
        move = 1.0 + ((i * 7) % 11 - 5) * 0.001
        reports = []
        value = 0.0
        for t in held:
            r = DotDict(bases[t])
            price = round(prices[t] * move, 2)
            r.Price = price
            r.HoldingValueLong = r.VolumeLong * price
            r.FpnlLong = r.HoldingValueLong - r.AmountLong
            r.Updated = stamp
            value += r.HoldingValueLong
            reports.append(r)
        for base in outside:
            reports.append(DotDict(base))
        cash = DotDict(cash_base)
        cash.MarketValue = value
        cash.AvailableCash = cash.ValidCash = 1e8 - value
        cash.TotalAsset = cash.TotalValue = 1e8
        account.update_info(cash, reports)
        records = account.snapshot_positions()
        cash_record = account.snapshot_cash()
        picked.append(records[(i * 37) % len(records)])
        cash_total += cash_record['market_value']
        stats.recoder_once('push', 'push %d ' % i)
    phases.lap('pushes')

    final = account.snapshot_positions()
    report = stats.stat_info('push', stop=True)
    result = common.digest(final, picked, cash_total, account.snapshot_cash(),
                           stats.recoder_count('push'), report.count('\n'))
    phases.lap('digest')
    common.report('live', args.impl, result, phases, {
        'records': len(final), 'with_report': sum(1 for r in final if r['price'] == r['price']),
        'status_lines': stats.recoder_count('push'), 'cash_total': round(cash_total, 3)})
    return 0


if __name__ == '__main__':
    sys.exit(main())

"""Quick per-call timings of the live account model, native against its
pure-Python peer, on the running interpreter.

    PYTHONPATH=build/default/site python bench/accounts_quick.py [--quick]

Prints the median time per call of each case and the peer/native ratio.
"""
import os
import statistics
import sys
import timeit

# numpy's BLAS threads spin on other cores and only add noise here.
os.environ.setdefault('OPENBLAS_NUM_THREADS', '1')
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from belvane.realtrade.model import accounts as native  # noqa: E402
from belvane.tframe import sysclsbase  # noqa: E402
from belvane.tframe.utils.sorvel import OrderedDotDict  # noqa: E402
from peers import accounts as peer  # noqa: E402

HANDLE = 'ACC-001'
STAMP = 20240501093000123


def make_targets(n):
    return [{'Market': 'SH' if i % 2 else 'SZ', 'Code': '%06d' % i} for i in range(n)]


def make_report(target, i):
    report = OrderedDotDict()
    report['AccountID'] = HANDLE
    report['Market'] = target['Market'].lower()
    report['Code'] = target['Code']
    for key in ('VolumeLong', 'VolumeShort', 'VolumeTodayLong', 'VolumeTodayShort', 'FpnlLong',
                'FpnlShort', 'ZpnlLong', 'ZpnlShort', 'HoldingCostLong', 'HoldingCostShort',
                'CostLong', 'CostShort', 'AmountLong', 'AmountShort', 'HoldingValueLong',
                'HoldingValueShort', 'AvailableLong', 'AvailableShort', 'AvailableTodayLong',
                'AvailableTodayShort'):
        report[key] = i * 100
    report['Price'] = 10.5 + i
    report['CreatedLong'] = STAMP + i
    report['CreatedShort'] = float('nan')
    report['Updated'] = STAMP + 1000 + i
    for key in ('OrderFrozenLong', 'OrderFrozenShort', 'OrderFrozenTodayLong',
                'OrderFrozenTodayShort', 'MarginLong', 'MarginShort', 'ChangeReason'):
        report[key] = 0
    return report


def make_cash():
    cash = OrderedDotDict()
    cash['AccountID'] = HANDLE
    for i, key in enumerate(('ValidCash', 'AvailableCash', 'MarketValue', 'Margin', 'OrderFrozen',
                             'TotalAsset', 'TotalValue', 'HoldingPnl', 'RealizedPnl', 'DailyPnl',
                             'DailyCost', 'CumCashFlow', 'LastAmount', 'LastRealizedPnl',
                             'LastCost', 'LastCashFlow', 'ChangeReason')):
        cash[key] = 1000.0 * i
    return cash


def account(module, n_targets, n_reports):
    targets = make_targets(n_targets)
    env = sysclsbase.SimEnvironment(targets=targets)
    acc = module.BVRealAccount(env, 'stock', 0, 'bench', HANDLE, 'CNY')
    step = max(1, n_targets // n_reports) if n_reports else 1
    reports = [make_report(targets[i], i) for i in range(0, n_targets, step)][:n_reports]
    acc.update_info(make_cash(), reports)
    return acc, reports


def paired(fn_native, fn_peer, number, repeat):
    """Median per call of each, their samples taken in turn so that both see
    the same load on a shared machine."""
    samples = ([], [])
    for _ in range(repeat):
        for fn, out in zip((fn_native, fn_peer), samples):
            out.append(timeit.timeit(fn, number=number) / number)
    return statistics.median(samples[0]), statistics.median(samples[1])


def call_kept(fn, number):
    """Time per call when the caller frees the results after the clock stops."""
    results = []
    t0 = timeit.default_timer()
    for _ in range(number):
        results.append(fn())
    elapsed = timeit.default_timer() - t0
    del results
    return elapsed / number


def show(label, t_native, t_peer):
    ratio = t_peer / t_native if t_native else float('nan')
    print('%-44s native %10.1f us   peer %10.1f us   x%.2f'
          % (label, t_native * 1e6, t_peer * 1e6, ratio))


def main():
    quick = '--quick' in sys.argv
    repeat = 3 if quick else 9
    print('Python %s' % sys.version.split()[0])

    for n_targets, n_reports, number in ((1000, 500, 5), (1000, 0, 5), (1000, 1000, 5)):
        accs = [account(module, n_targets, n_reports)[0] for module in (native, peer)]
        t = paired(accs[0].snapshot_positions, accs[1].snapshot_positions, number, repeat)
        show('snapshot_positions %d targets, %d reports' % (n_targets, n_reports), *t)

    # Growth of the native cost per target: no step may be quadratic. The
    # second figure leaves freeing the previous result out of the timing.
    sizes = ((100, 50), (1000, 5), (10000, 1))
    accs = {n: account(native, n, n // 2)[0] for n, _ in sizes}
    per_target, kept = {n: [] for n, _ in sizes}, {n: [] for n, _ in sizes}
    for _ in range(repeat):
        for n, number in sizes:
            per_target[n].append(timeit.timeit(accs[n].snapshot_positions, number=number) / number / n)
            kept[n].append(call_kept(accs[n].snapshot_positions, number) / n)
    for label, values in (('', per_target), (', result freed outside', kept)):
        values = {n: statistics.median(v) for n, v in values.items()}
        print('native snapshot_positions per target%s: %s   (10000/100: x%.2f)' % (
            label, ', '.join('%d: %.2f us' % (n, v * 1e6) for n, v in sorted(values.items())),
            values[10000] / values[100]))

    calls = []
    for module in (native, peer):
        acc, reports = account(module, 1000, 1000)
        calls.append(lambda acc=acc, reports=reports, cash=make_cash(): acc.update_info(cash, reports))
    show('update_info 1000 reports', *paired(calls[0], calls[1], 20, repeat))

    side = sysclsbase.gv.POSITIONSIDE_LONG
    for n_targets in (10, 100):
        indices = [i % n_targets for i in range(100)]
        accs = [account(module, n_targets, n_targets // 2)[0] for module in (native, peer)]
        t = paired(lambda: accs[0].snapshot_position(indices, side),
                   lambda: accs[1].snapshot_position(indices, side), 20, repeat)
        show('snapshot_position 100 indices, %d targets' % n_targets, *t)

    accs = [account(module, 10, 5)[0] for module in (native, peer)]
    show('snapshot_cash', *paired(accs[0].snapshot_cash, accs[1].snapshot_cash, 20000, repeat))


if __name__ == '__main__':
    main()

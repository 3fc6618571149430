"""The live account: broker pushes in, the framework's snapshots out."""
import math

from belvane.realtrade.model.accounts import BVRealAccount
from belvane.tframe import sysclsbase
from belvane.tframe.utils.sorvel import OrderedDotDict

HANDLE = 'DEMO-001'
TARGETS = [('SH', '600000'), ('SZ', '000001'), ('SH', '600519'), ('CFFEX', 'IF2406')]


def cash_report(total, available):
    report = OrderedDotDict()
    report.AccountID = HANDLE
    report.ValidCash = available
    report.AvailableCash = available
    report.MarketValue = total - available
    report.Margin = 0.0
    report.OrderFrozen = 0.0
    report.TotalAsset = total
    report.TotalValue = total
    report.HoldingPnl = 1520.0
    report.RealizedPnl = 310.0
    report.DailyPnl = 1830.0
    report.DailyCost = 45.6
    report.CumCashFlow = -(total - available)
    report.LastAmount = 0.0
    report.LastRealizedPnl = 0.0
    report.LastCost = 0.0
    report.LastCashFlow = 0.0
    report.ChangeReason = 1
    return report


def position_report(market, code, volume_long, price, created, updated, volume_short=0,
                    created_short=float('nan')):
    """A broker's position report: CamelCase keys, both sides of one target."""
    report = OrderedDotDict()
    report.AccountID = HANDLE
    report.Market = market
    report.Code = code
    for side, volume in (('Long', volume_long), ('Short', volume_short)):
        report['Volume' + side] = volume
        report['VolumeToday' + side] = volume // 2
        report['Fpnl' + side] = round(volume * price * 0.01, 2)
        report['Zpnl' + side] = 0.0
        report['HoldingCost' + side] = round(volume * price * 0.99, 2)
        report['Cost' + side] = round(volume * price * 0.99, 2)
        report['Amount' + side] = volume * price
        report['HoldingValue' + side] = volume * price
        report['Available' + side] = volume - volume // 2
        report['AvailableToday' + side] = 0
    report.Price = price
    report.CreatedLong = created if volume_long else float('nan')
    report.CreatedShort = created_short
    report.Updated = updated
    for key in ('OrderFrozenLong', 'OrderFrozenShort', 'OrderFrozenTodayLong',
                'OrderFrozenTodayShort', 'MarginLong', 'MarginShort'):
        report[key] = 0
    report.ChangeReason = 1
    return report


def show(value):
    if isinstance(value, float):
        return '-' if math.isnan(value) else '{:,.2f}'.format(value)
    if hasattr(value, 'strftime'):
        return value.strftime('%H:%M:%S.') + '%03d' % (value.microsecond // 1000)
    return '-' if value is None else str(value)


def table(out, rows, columns):
    cells = [[title for title, _ in columns]] + [[show(row[key]) for _, key in columns]
                                                  for row in rows]
    widths = [max(len(r[i]) for r in cells) for i in range(len(columns))]
    for line in cells:
        out('    ' + '  '.join(c.rjust(w) if i > 1 else c.ljust(w)
                               for i, (c, w) in enumerate(zip(line, widths))).rstrip())


def run(out=print):
    out('Live account: broker pushes in, framework snapshots out')
    env = sysclsbase.SimEnvironment(targets=[{'Market': m, 'Code': c} for m, c in TARGETS])
    account = BVRealAccount(env, 'stock', 0, 'demo account', HANDLE, 'CNY')
    out('  strategy targets: ' + ', '.join('%s.%s' % t for t in TARGETS))

    pushes = [
        (cash_report(1000000.0, 874500.0), [
            position_report('sh', '600000', 1200, 10.25, 20240506093000123, 20240506093000123),
        ]),
        (cash_report(1001830.0, 512830.0), [
            position_report('sh', '600000', 1500, 10.31, 20240506093000123, 20240506093105456),
            position_report('SH', '600519', 200, 1712.0, 20240506093102001, 20240506093105456),
            # Bought by hand, outside the strategy's targets.
            position_report('SZ', '300750', 100, 188.6, 20240506093104789, 20240506093105456),
            position_report('CFFEX', 'IF2406', 0, 3621.4, 0, 20240506093105456,
                            volume_short=2, created_short=20240506093059900),
        ]),
    ]
    for n, (cash, positions) in enumerate(pushes, 1):
        account.update_info(cash, positions)
        out('  push %d: cash report and %d position report%s, filed as %s'
            % (n, len(positions), '' if len(positions) == 1 else 's',
               ', '.join(account._position)))

    out('  position snapshot (by target index; targets outside the list last):')
    table(out, account.snapshot_positions(), [
        ('idx', 'target_idx'), ('code', 'code'), ('long', 'volume_long'),
        ('short', 'volume_short'), ('price', 'price'), ('value long', 'holding_value_long'),
        ('opened long', 'create_long'), ('opened short', 'create_short'), ('updated', 'updated')])

    out('  one-sided records of IF2406 (both sides asked for):')
    gv = sysclsbase.gv
    sides = {gv.POSITIONSIDE_LONG: 'long', gv.POSITIONSIDE_SHORT: 'short'}
    records = account.snapshot_position([3], gv.POSITIONSIDE_UNKNOWN)
    for record in records:
        record['side'] = sides[record['side']]
    table(out, records, [
        ('idx', 'target_idx'), ('code', 'code'), ('side', 'side'), ('volume', 'volume'),
        ('opened', 'create'), ('updated', 'updated')])

    out('  cash snapshot:')
    record = account.snapshot_cash()
    width = max(len(k) for k in record)
    for key, value in record.items():
        out('    %s  %s' % (key.ljust(width), show(value)))

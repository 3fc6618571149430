"""A short backtest: a stock and a future position driven through a few
simulated bars, with the snapshot's main figures per bar."""
from belvane.backtest.model import positions
from belvane.tframe import sysclsbase

STOCK, FUTURE = 0, 1

# Per bar: the two prices, then the fills of that bar as (target, side, price, volume).
BARS = [
    (10.00, 3500.0, [(STOCK, 'long', 10.00, 1000), (FUTURE, 'long', 3500.0, 2)]),
    (10.25, 3512.0, [(FUTURE, 'short', 3512.0, 1)]),
    (10.50, 3498.5, [(STOCK, 'long', 10.40, 500)]),
    (10.05, 3530.0, [(FUTURE, 'long', 3528.0, 1)]),
]

COLUMNS = [('bar', '%3s'), ('target', '%-6s'), ('price', '%9.2f'), ('vol L', '%6d'), ('vol S', '%6d'),
           ('cost L', '%9.3f'), ('fpnl L', '%10.2f'), ('fpnl S', '%10.2f'), ('value L', '%11.2f'),
           ('margin', '%10.2f')]


def _row(bar, name, rec):
    values = [bar, name, rec['price'], rec['volume_long'], rec['volume_short'], rec['holding_cost_long'],
              rec['fpnl_long'], rec['fpnl_short'], rec['holding_value_long'],
              rec['margin_long'] + rec['margin_short']]
    return '  '.join(fmt % v for (_, fmt), v in zip(COLUMNS, values))


def _header():
    cells = []
    for title, fmt in COLUMNS:
        width = int(''.join(ch for ch in fmt.split('.')[0] if ch.isdigit()))
        cells.append(title.ljust(width) if '-' in fmt else title.rjust(width))
    return '  '.join(cells)


def run(out=print):
    out('Backtest: a stock and a future position over %d bars' % len(BARS))
    env = sysclsbase.SimEnvironment(multiples={FUTURE: 10}, margin_rates={FUTURE: 0.12})
    saved, sysclsbase.env = sysclsbase.env, env
    try:
        stock = positions.StockPosition()
        stock.target_idx, stock.market_code = STOCK, '600000.SH'
        future = positions.FuturePosition()
        future.target_idx, future.market_code = FUTURE, 'RB2401.SHF'
        out('  stock multiplier 1, future multiplier %d, margin rate %.2f'
            % (env.get_multiple(FUTURE), env.get_margin_rate(FUTURE, 1)))
        header = _header()
        out('  ' + header)
        out('  ' + '-' * len(header))
        for bar, (stock_price, future_price, fills) in enumerate(BARS, 1):
            env.prices = {STOCK: stock_price, FUTURE: future_price}
            for target, side, price, volume in fills:
                if target == STOCK:
                    # A stock fill is recorded by its cost amount.
                    stock.holding_cost_today_long_list.append((price * volume, volume))
                elif side == 'long':
                    future.holding_cost_today_long_list.append((price, volume))
                else:
                    future.holding_cost_today_short_list.append((price, volume))
            for name, pos in (('stock', stock), ('future', future)):
                out('  ' + _row(bar, name, pos.snapshot()))
        long_side = env.gv.POSITIONSIDE_LONG
        out('  at the close: stock %d shares worth %.2f; future %d long / %d short lots, long side worth %.2f'
            % (stock.volume(long_side), stock.market_value(long_side), future.total_volume_long,
               future.total_volume_short, future.market_value(long_side)))
    finally:
        sysclsbase.env = saved

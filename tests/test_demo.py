"""The demo runs from start to end on the stand-ins and shows the figures the
modules compute from them: the backtest table and the live account's cycle."""
from conftest import run_python


def test_demo_shows_the_backtest_and_the_live_cycle():
    proc = run_python('import runpy; runpy.run_module("belvane", run_name="__main__")')
    assert proc.returncode == 0 and 'Traceback' not in proc.stderr, proc.stderr
    lines = [l.strip() for l in proc.stdout.splitlines()]
    cells = [l.split() for l in lines]

    # The backtest: a row per bar and position, figures from the snapshots.
    bars = {(c[0], c[1]): c[2:] for c in cells if len(c) == 10 and c[0].isdigit()}
    assert sorted(bars) == [(str(b), t) for b in range(1, 5) for t in ('future', 'stock')]
    assert bars['2', 'future'] == ['3512.00', '2', '1', '3500.000', '240.00', '0.00', '70240.00',
                                   '12614.40']
    assert bars['3', 'stock'] == ['10.50', '1500', '0', '10.133', '550.00', '0.00', '15750.00',
                                  '0.00']
    assert bars['4', 'future'] == ['3530.00', '3', '1', '3509.333', '620.00', '-180.00',
                                   '105900.00', '16848.00']
    assert 'at the close: stock 1500 shares worth 15075.00; future 3 long / 1 short lots, ' \
        'long side worth 105900.00' in lines

    # The live cycle: two pushes filed, snapshots in target order (the
    # target outside the list last), one-sided records and the cash record.
    assert 'push 2: cash report and 4 position reports, filed as SH.600000, SH.600519, ' \
        'SZ.300750, CFFEX.IF2406' in lines
    positions = [c for c in cells if len(c) == 9 and '.' in c[1]]
    assert [c[:2] for c in positions] == [['0', 'SH.600000'], ['1', 'SZ.000001'],
                                          ['2', 'SH.600519'], ['3', 'CFFEX.IF2406'],
                                          ['-', 'SZ.300750']]
    assert positions[0][2:] == ['1500', '0', '10.31', '15,465.00', '09:30:00.123', '-',
                                '09:31:05.456']
    assert positions[3][2:] == ['0', '2', '3,621.40', '0.00', '-', '09:30:59.900', '09:31:05.456']
    assert ['3', 'CFFEX.IF2406', 'short', '2', '09:30:59.900', '09:31:05.456'] in cells
    assert ['market_value', '489,000.00'] in cells and ['total_asset', '1,001,830.00'] in cells

"""Whole pictures of the account: position snapshots and the cash record."""
from collections import OrderedDict

import pytest

from accounts_support import (CASH_KEYS, MODULES, MODULE_IDS, Recorder, cash, gv, is_nan,
                              make_account, report)

both = pytest.mark.parametrize('mod', MODULES, ids=MODULE_IDS)

CASH_RECORD_KEYS = [
    'currency', 'valid_cash', 'available_cash', 'market_value', 'margin', 'order_frozen',
    'total_asset', 'total_value', 'holding_pnl', 'realized_pnl', 'daily_pnl', 'daily_cost',
    'cum_cashflow', 'last_amount', 'last_realized_pnl', 'last_cost', 'last_cash_flow',
    'change_reason']


# ---- examples ---------------------------------------------------------------

@both
def test_positions_sorted_with_unknown_targets_last(mod):
    pairs = [('SH', '600000'), ('SZ', '000001'), ('sh', '600000'), ('SH', '600519')]
    acc = make_account(mod, pairs)
    acc.update_info(cash(), [report('zz', '1', VolumeLong=1), report('SH', '600519', VolumeLong=2),
                             report('yy', '2', VolumeLong=3), report('sh', '600000', VolumeLong=4)])
    records = acc.snapshot_positions()
    assert [(r['code'], r['target_idx'], r['volume_long']) for r in records] == [
        ('SH.600000', 0, 4), ('SZ.000001', 1, 0), ('SH.600519', 3, 2),
        ('ZZ.1', None, 1), ('YY.2', None, 3)]
    assert all(type(r) is OrderedDict for r in records)
    template_record = records[1]
    assert is_nan(template_record['price']) and is_nan(template_record['updated'])
    assert template_record['account_name'] == 'main'


@both
def test_positions_of_an_empty_account(mod):
    acc = make_account(mod, [('A', '1'), ('B', '2'), ('a', '1')])
    records = acc.snapshot_positions()
    assert [(r['code'], r['target_idx']) for r in records] == [('A.1', 0), ('B.2', 1)]
    assert make_account(mod, []).snapshot_positions() == []


@both
def test_positions_call_sequence(mod, monkeypatch):
    rec = Recorder(mod, monkeypatch)
    acc = make_account(mod, [('A', '1')])
    acc.update_info(cash(), [report('x', 'y')])
    acc.snapshot_positions()
    names = [e[0] for e in rec.log]
    assert names[:2] == ['todotmc', 'todotmc'] and rec.log[1][1] == {'Market': 'x', 'Code': 'y'}
    assert names.count('todotmc') == 4 and names.count('mft_to_datetime') == 3


@both
def test_positions_report_missing_a_key(mod):
    acc = make_account(mod)
    bad = report('SH', '600000')
    acc.update_info(cash(), [bad])
    del bad['Code']
    with pytest.raises(KeyError):
        acc.snapshot_positions()
    bad['Code'] = '600000'
    del bad['MarginShort']
    with pytest.raises(KeyError):
        acc.snapshot_positions()


@both
@pytest.mark.parametrize('side, sides', [
    (gv.POSITIONSIDE_UNKNOWN, [gv.POSITIONSIDE_LONG, gv.POSITIONSIDE_SHORT]),
    (gv.POSITIONSIDE_LONG, [gv.POSITIONSIDE_LONG]),
    (gv.POSITIONSIDE_SHORT, [gv.POSITIONSIDE_SHORT])])
def test_position_per_index(mod, side, sides):
    acc = make_account(mod)
    acc.update_info(cash(), [report('sz', '000001', VolumeLong=7, VolumeShort=8)])
    records = acc.snapshot_position([1, 9, -1, 0, 1], side)
    assert [(r['target_idx'], r['side']) for r in records] == \
        [(i, s) for i in (1, 0, 1) for s in sides]
    by_side = {gv.POSITIONSIDE_LONG: 7, gv.POSITIONSIDE_SHORT: 8}
    assert [r['volume'] for r in records] == [by_side[s] if i == 1 else 0
                                             for i in (1, 0, 1) for s in sides]
    template_record = records[len(sides)]
    assert template_record['code'] == 'SH.600000'
    assert is_nan(template_record['available_today']) and is_nan(template_record['create'])
    assert acc.snapshot_position([4, -1], side) == []
    assert acc.snapshot_position(iter([]), side) == []


@both
def test_position_per_index_with_report_equal_to_zero(mod):
    class Zero(dict):
        def __eq__(self, other):
            return other == 0
        __hash__ = None
    acc = make_account(mod)
    acc._position['SH.600000'] = Zero(report('SH', '600000', VolumeLong=5))
    (record,) = acc.snapshot_position([0], gv.POSITIONSIDE_LONG)
    assert record['volume'] == 0


@both
def test_cash_record(mod):
    acc = make_account(mod, currency='EUR')
    c = cash()
    acc.update_info(c, [])
    record = acc.snapshot_cash()
    assert type(record) is OrderedDict and list(record) == CASH_RECORD_KEYS
    assert record['currency'] == 'CNY'
    assert [record[k] for k in CASH_RECORD_KEYS[1:]] == [c[k] for k in CASH_KEYS]
    assert record['total_asset'] is c['TotalAsset']


@both
def test_cash_record_needs_every_key(mod):
    acc = make_account(mod)
    with pytest.raises(KeyError) as info:
        acc.snapshot_cash()
    assert info.value.args == ('ValidCash',)
    c = cash()
    del c['LastCost']
    acc.update_info(c, [])
    with pytest.raises(KeyError) as info:
        acc.snapshot_cash()
    assert info.value.args == ('LastCost',)

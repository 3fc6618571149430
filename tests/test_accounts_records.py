"""The position template and the two record builders."""
from collections import OrderedDict

import numpy
import pytest

from accounts_support import (HANDLE, MODULES, MODULE_IDS, NAN, REPORT_KEYS, STAMP, Recorder,
                              gv, is_nan, make_account, report)
from belvane.tframe.utils.datetimefunc import mft_to_datetime
from belvane.tframe.utils.sorvel import OrderedDotDict
from hostile_support import Boom

both = pytest.mark.parametrize('mod', MODULES, ids=MODULE_IDS)

BOTH_SIDES_KEYS = [
    'account_name', 'account_idx', 'code', 'target_idx', 'volume_long', 'volume_short',
    'Volume_today_long', 'Volume_today_short', 'fpnl_long', 'fpnl_short', 'zpnl_long',
    'zpnl_short', 'holding_cost_long', 'holding_cost_short', 'cost_long', 'cost_short',
    'amount_long', 'amount_short', 'holding_value_long', 'holding_value_short', 'available_long',
    'available_short', 'available_today_long', 'available_today_short', 'price', 'create_long',
    'create_short', 'updated', 'order_frozen_long', 'order_frozen_short', 'margin_long',
    'margin_short', 'change_reason']
ONE_SIDE_KEYS = [
    'account_name', 'account_idx', 'code', 'target_idx', 'side', 'volume', 'volume_today', 'fpnl',
    'zpnl', 'holding_cost', 'cost', 'amount', 'holding_value', 'available', 'available_today',
    'price', 'create', 'updated', 'order_frozen', 'order_frozen_today', 'margin', 'change_reason']
NAN_KEYS = {'AvailableTodayLong', 'AvailableTodayShort', 'Price', 'CreatedLong', 'CreatedShort',
            'Updated'}


def when(stamp):
    return mft_to_datetime([stamp])[0]


# ---- template -----------------------------------------------------------------

@both
def test_template_layout_and_defaults(mod):
    acc = make_account(mod)
    t = acc._position_template
    assert type(t) is OrderedDotDict and list(t) == REPORT_KEYS
    for key, value in t.items():
        if key == 'AccountID':
            assert value == HANDLE
        elif key in ('Market', 'Code'):
            assert value == ''
        elif key in NAN_KEYS:
            assert is_nan(value) and type(value) is float
        else:
            assert value == 0 and type(value) is int
    t['VolumeLong'] = 5
    acc.handle = 'NEW'
    fresh = acc._position_template
    assert fresh is not t and fresh['VolumeLong'] == 0 and fresh['AccountID'] == 'NEW'
    with pytest.raises(AttributeError):
        acc._position_template = {}


@both
@pytest.mark.parametrize('with_NaN', [True, False], ids=['NaN', 'no NaN'])
def test_template_reads_NaN_then_nan(mod, monkeypatch, with_NaN):
    Recorder(mod, monkeypatch, with_NaN=with_NaN)
    t = make_account(mod)._position_template
    expected = mod.np.NaN if with_NaN else mod.np.nan
    assert all(t[k] is expected for k in NAN_KEYS)


# ---- two-sided record -------------------------------------------------------------

@both
def test_both_sides_record(mod):
    acc = make_account(mod)
    r = report('sh', '600000', CreatedShort=NAN)
    record = acc.make_positions(dict(r))
    assert type(record) is OrderedDict and list(record) == BOTH_SIDES_KEYS
    assert record['account_name'] == 'main' and record['account_idx'] == 3
    assert record['code'] == 'SH.600000' and record['target_idx'] is None
    assert record['Volume_today_short'] is r['VolumeTodayShort']
    assert record['change_reason'] is r['ChangeReason'] and record['price'] is r['Price']
    assert record['create_long'] == when(STAMP) and record['updated'] == when(STAMP + 100000)
    assert is_nan(record['create_short'])
    assert 'order_frozen_today_long' not in record


@both
def test_both_sides_template_converts_nothing(mod, monkeypatch):
    rec = Recorder(mod, monkeypatch)
    acc = make_account(mod)
    record = acc.make_positions(dict(acc._position_template))
    assert record['code'] == '.'
    assert all(is_nan(record[k]) for k in ('available_today_long', 'available_today_short',
                                           'price', 'create_long', 'create_short', 'updated'))
    assert record['create_long'] is mod.np.nan
    assert [entry[0] for entry in rec.log] == ['todotmc', 'isnan', 'isnan', 'isnan']


@both
def test_both_sides_call_order(mod, monkeypatch):
    rec = Recorder(mod, monkeypatch)
    acc = make_account(mod)
    acc.make_positions(dict(report('sh', '1', Updated=NAN, CreatedLong=STAMP + 5)))
    assert rec.log == [
        ('todotmc', {'Market': 'sh', 'Code': '1'}),
        ('isnan', 'NaN'),
        ('isnan', STAMP + 5), ('mft_to_datetime', [STAMP + 5], list),
        ('isnan', STAMP + 1000), ('mft_to_datetime', [STAMP + 1000], list)]


# ---- one-sided record ---------------------------------------------------------------

@both
@pytest.mark.parametrize('side, prefix', [
    (gv.POSITIONSIDE_LONG, 'Long'), (gv.POSITIONSIDE_SHORT, 'Short'),
    (gv.POSITIONSIDE_UNKNOWN, 'Short'), ('anything', 'Short')])
def test_one_side_record(mod, side, prefix):
    acc = make_account(mod)
    r = report('sz', '000001')
    record = acc.make_position(r, 1, side)
    assert type(record) is OrderedDict and list(record) == ONE_SIDE_KEYS
    assert record['code'] == 'SZ.000001' and record['target_idx'] == 1 and record['side'] is side
    for key, source in (('volume', 'Volume'), ('volume_today', 'VolumeToday'),
                        ('order_frozen_today', 'OrderFrozenToday'), ('margin', 'Margin'),
                        ('available_today', 'AvailableToday')):
        assert record[key] is r[source + prefix]
    assert record['create'] == when(r['Created' + prefix])
    assert record['updated'] == when(STAMP + 100000)


@both
def test_one_side_without_creation_time_has_no_update_time(mod, monkeypatch):
    rec = Recorder(mod, monkeypatch)
    acc = make_account(mod)
    r = report('sz', '000001', CreatedShort=NAN)
    record = acc.make_position(r, 1, gv.POSITIONSIDE_SHORT)
    assert is_nan(record['create']) and is_nan(record['updated'])
    assert [e[0] for e in rec.log] == ['todotmc', 'isnan', 'isnan']
    del rec.log[:]
    r['Updated'] = NAN
    record = acc.make_position(r, 1, gv.POSITIONSIDE_LONG)
    assert is_nan(record['updated']) and record['create'] == when(STAMP)
    assert rec.log[1:] == [('isnan', STAMP), ('isnan', 'NaN'), ('isnan', STAMP),
                           ('mft_to_datetime', [STAMP], list)]


@both
def test_one_side_index_outside_target_list(mod):
    acc = make_account(mod)
    assert acc.make_position(report('a', 'b'), -1, gv.POSITIONSIDE_LONG)['code'] == 'CFFEX.IF2406'
    with pytest.raises(IndexError):
        acc.make_position(report('a', 'b'), 4, gv.POSITIONSIDE_LONG)


# ---- NaN rules and failures ------------------------------------------------------------

@both
@pytest.mark.parametrize('stamp, converted', [
    (STAMP, True), (float(STAMP), True), (numpy.float64(STAMP), True), (numpy.int64(STAMP), True),
    (True, True), (NAN, False), (numpy.float64('nan'), False), (float('inf'), True)])
def test_what_counts_as_nan(mod, monkeypatch, stamp, converted):
    seen = []
    monkeypatch.setattr(mod, 'mft_to_datetime', lambda values: seen.append(values) or ['t'])
    record = make_account(mod).make_positions(dict(report('a', 'b', Updated=stamp)))
    assert (record['updated'] == 't') is converted
    assert (seen[0][0] is stamp) is converted


@both
@pytest.mark.parametrize('stamp, error', [('20240501', TypeError), (2 ** 80, TypeError),
                                          (None, TypeError)])
def test_stamp_that_is_not_a_number(mod, stamp, error):
    with pytest.raises(error):
        make_account(mod).make_positions(dict(report('a', 'b', Updated=stamp)))


@both
@pytest.mark.parametrize('missing', ['Market', 'Updated', 'CreatedShort', 'VolumeLong',
                                     'ChangeReason'])
def test_missing_report_key(mod, missing):
    r = dict(report('a', 'b'))
    del r[missing]
    acc = make_account(mod)
    with pytest.raises(KeyError) as info:
        acc.make_positions(r)
    assert info.value.args == (missing,)
    if missing != 'Market':
        with pytest.raises(KeyError):
            acc.make_position(r, 0, gv.POSITIONSIDE_LONG if missing != 'CreatedShort'
                              else gv.POSITIONSIDE_SHORT)


@both
@pytest.mark.parametrize('bad', [5, None, ['Market']])
def test_report_that_is_not_a_mapping(mod, bad):
    with pytest.raises(TypeError):
        make_account(mod).make_positions(bad)


@both
def test_service_errors_propagate(mod, monkeypatch):
    def fail(*args):
        raise Boom
    acc = make_account(mod)
    monkeypatch.setattr(mod, 'mft_to_datetime', fail)
    with pytest.raises(Boom):
        acc.make_positions(dict(report('a', 'b')))
    monkeypatch.setattr(mod, 'todotmc', fail)
    for call in (acc.snapshot_positions, lambda: acc.get_position_info('Price', 0),
                 lambda: acc.snapshot_position([0], gv.POSITIONSIDE_LONG)):
        with pytest.raises(Boom):
            call()

"""The live account: module body, report intake and queries (its class
shape: test_shapes.py)."""
import pickle
import sys
import textwrap

import numpy
import pytest

from accounts_support import (HANDLE, MODULES, MODULE_IDS, cash, is_nan, make_account, make_env,
                              native, report)
from belvane.tframe.utils.sorvel import OrderedDotDict
from conftest import run_python
from outcomes import canon

both = pytest.mark.parametrize('mod', MODULES, ids=MODULE_IDS)



# ---- module body and class shape --------------------------------------------

def test_module_globals_in_order_and_registered_name():
    from collections import OrderedDict
    from belvane.tframe import sysclsbase, ufuncs
    from belvane.tframe.utils import datetimefunc
    names = [k for k in vars(native) if not k.startswith('__')]
    assert names == ['np', 'OrderedDict', 'todotmc', 'gv', 'mft_to_datetime', 'OrderedDotDict',
                     'BVRealAccount']
    assert native.np is numpy and native.OrderedDict is OrderedDict
    assert native.todotmc is ufuncs.todotmc and native.gv is sysclsbase.gv
    assert native.mft_to_datetime is datetimefunc.mft_to_datetime
    assert native.OrderedDotDict is OrderedDotDict
    assert native.__name__ == 'belvane.realtrade.model.accounts'
    assert sys.modules['realtrade.model.accounts'] is native


# ---- construction and update rules ------------------------------------------

@both
def test_construction_stores_arguments_unchanged(mod):
    env = make_env()
    acc = mod.BVRealAccount(env, 'future', 2, 'n', 'H', 'HKD')
    assert vars(acc) == {'env': env, 'type': 'future', 'handle_idx': 2, 'name': 'n', 'handle': 'H',
                         'currency': 'HKD', '_cash': {}, '_position': {}}
    assert acc.get_cash_info('TotalAsset') is None


@both
def test_update_files_reports_by_upper_case_key(mod):
    acc = make_account(mod)
    table = acc._position
    c = cash()
    first = report('sh', '600000', VolumeLong=1)
    other = report('SH', '600519', account='someone else')
    later = report('SH', '600000', VolumeLong=2)
    unknown = report('ab', 'cd1')
    acc.update_info(c, [first, other, unknown, later])
    assert acc._cash is c and acc._position is table
    assert list(table) == ['SH.600000', 'AB.CD1']
    assert table['SH.600000'] is later and table['AB.CD1'] is unknown
    assert acc.get_cash_info('TotalAsset') == c['TotalAsset']
    assert acc.get_cash_info('Missing') is None
    # A second push replaces the whole picture.
    acc.update_info(cash(), iter([report('sz', '000001')]))
    assert list(acc._position) == ['SZ.000001']


@both
def test_skipped_report_needs_only_account_id(mod):
    class Bare(object):
        AccountID = 'other'
    acc = make_account(mod)
    acc.update_info(cash(), [Bare()])
    assert acc._position == {}


@both
@pytest.mark.parametrize('market, code, key', [
    ('sh', 'ab\u00df', 'SH.ABSS'),     # str.upper's own rule beyond ASCII
    (7, 1.5, '7.1.5'),                 # any objects, as str() gives them
    ('', '', '.'),
])
def test_target_key_text(mod, market, code, key):
    acc = make_account(mod)
    r = report('x', 'y')
    r['Market'], r['Code'] = market, code
    acc.update_info(cash(), [r])
    assert list(acc._position) == [key]


@both
def test_str_subclass_market_and_code(mod):
    class Loud(str):
        def __str__(self):
            return 'loud-' + str.__str__(self)

    class Plain(str):
        pass
    acc = make_account(mod)
    acc.update_info(cash(), [report(Loud('sh'), Plain('600000'))])
    (key,) = acc._position
    assert key == 'LOUD-SH.600000' and type(key) is str


# ---- mended faults ------------------------------------------------------------

@both
@pytest.mark.parametrize('bad, error', [
    ('missing AccountID', AttributeError),
    ('missing Code', AttributeError),
    ('not iterable', TypeError),
    ('raising __iter__', ZeroDivisionError),
])
def test_bad_push_leaves_account_unchanged(mod, bad, error):
    acc = make_account(mod)
    old_cash, old = cash(), report('sh', '600000')
    acc.update_info(old_cash, [old])
    table = acc._position

    class Raising(object):
        def __iter__(self):
            1 / 0
    broken = report('sz', '000001')
    if bad == 'missing AccountID':
        del broken['AccountID']
    elif bad == 'missing Code':
        del broken['Code']
    position_info = {'not iterable': 5, 'raising __iter__': Raising()}.get(
        bad, [report('SH', '600519'), broken])
    with pytest.raises(error):
        acc.update_info(cash(), position_info)
    assert acc._cash is old_cash and acc._position is table
    assert list(table.items()) == [('SH.600000', old)]


@both
def test_cash_of_another_account_is_refused(mod):
    acc = make_account(mod)
    with pytest.raises(AssertionError) as info:
        acc.update_info(cash(account='other'), [])
    assert info.value.args == ()
    assert acc._cash == {}


@both
def test_account_check_holds_under_optimisation(mod):
    script = textwrap.dedent('''
        assert False, 'assertions are on'
        from accounts_support import MODULES, cash, make_account
        acc = make_account(MODULES[%d])
        try:
            acc.update_info(cash(account='other'), [])
        except AssertionError as e:
            print('refused', e.args, acc._cash)
    ''' % MODULES.index(mod))
    out = run_python(script, '-O')
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == 'refused () {}'


@both
@pytest.mark.parametrize('idx', [-1, -4, -100])
def test_negative_target_index_is_refused(mod, idx):
    acc = make_account(mod)
    acc.update_info(cash(), [report('CFFEX', 'IF2406', VolumeLong=9)])
    with pytest.raises(IndexError):
        acc.get_position_info('VolumeLong', idx)
    with pytest.raises(IndexError):
        acc.get_position_info('VolumeLong', 4)


# ---- single-field queries -----------------------------------------------------

@both
def test_position_info_from_report_and_template(mod):
    acc = make_account(mod)
    r = report('sz', '000001', VolumeLong=40)
    acc.update_info(cash(), [r])
    assert acc.get_position_info('VolumeLong', 1) == 40
    assert acc.get_position_info('Nothing', 1) is None
    assert acc.get_position_info('VolumeLong', 0) == 0
    assert is_nan(acc.get_position_info('Price', 0))
    assert acc.get_position_info('AccountID', 0) == HANDLE
    assert acc.get_position_info('Market', 3) == 'CFFEX'
    assert acc.get_position_info('Code', 3) == 'if2406'
    assert acc.get_position_info('Nothing', 2) is None
    assert dict(r) == dict(report('sz', '000001', VolumeLong=40))


@both
def test_position_info_reads_the_target_list_afresh(mod):
    acc = make_account(mod)
    assert acc.get_position_info('Code', 0) == '600000'
    acc.env.vr.g_BelvaneInputInfo.RealTargetList = [{'Market': 'SZ', 'Code': '300750'}]
    assert acc.get_position_info('Code', 0) == '300750'


# ---- calls, subclasses, pickling -----------------------------------------------

class BVRealAccount(object):
    def __init__(self, env_, acc_type, idx, name, handle, currency): pass

    def update_info(self, cash_info, position_info): pass

    def get_position_info(self, index_name, target_idx): pass

    def snapshot_positions(self): pass


@pytest.mark.parametrize('method, args, kwargs', [
    ('__init__', (1, 2, 3), {}),
    ('__init__', (1, 2, 3, 4, 5, 6, 7), {}),
    ('update_info', (), {'cash_info': 1}),
    ('update_info', (1, 2), {'position_info': 3}),
    ('update_info', (1, 2), {'bogus': 3}),
    ('get_position_info', (), {}),
    ('snapshot_positions', (1,), {}),
])
def test_argument_errors_read_like_python(method, args, kwargs):
    def message(cls):
        obj = object.__new__(cls)
        with pytest.raises(TypeError) as info:
            getattr(obj, method)(*args, **kwargs)
        return str(info.value)
    assert message(native.BVRealAccount) == message(BVRealAccount)


@both
def test_subclass_make_positions_is_used(mod):
    class Tagged(mod.BVRealAccount):
        def make_positions(self, temp_position):
            record = super(Tagged, self).make_positions(temp_position)
            record['tag'] = temp_position['Market'] or 'template'
            return record
    acc = Tagged(make_env(), 'stock', 0, 'n', HANDLE, 'CNY')
    acc.update_info(cash(), [report('sh', '600000')])
    assert [r['tag'] for r in acc.snapshot_positions()] == ['sh', 'template', 'template',
                                                            'template']


@both
def test_pickle_round_trip(mod):
    acc = make_account(mod, env_=None, acc_type='stock')
    acc._cash = dict(cash())
    restored = pickle.loads(pickle.dumps(acc))
    assert type(restored) is mod.BVRealAccount
    assert canon(vars(restored)) == canon(vars(acc))
    assert restored.snapshot_cash() == acc.snapshot_cash()

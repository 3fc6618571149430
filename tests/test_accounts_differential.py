"""The native account against its pure-Python peer: same results, same calls
into the framework, same failures, on random accounts and with the classes
it relies on patched. (Hostile input: test_accounts_hostile.py.)"""
import gc

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from accounts_support import (HANDLE, NAN, REPORT_KEYS, STAMP, agree, cash, gv, make_account, native,
                              report, snapshots)
from belvane.tframe.utils.sorvel import OrderedDotDict
from conftest import run_python


# ---- random accounts ------------------------------------------------------

markets = st.sampled_from(['SH', 'sh', 'SZ', 'x'])
codes = st.sampled_from(['1', '2', 'a1'])
stamps = st.one_of(st.just(NAN), st.sampled_from([STAMP, STAMP + 1000, float(STAMP)]))
values = st.one_of(st.integers(-5, 5), st.floats(allow_nan=True), st.none(), st.text(max_size=2))


@st.composite
def accounts_input(draw):
    pairs = draw(st.lists(st.tuples(markets, codes), max_size=6))
    reports = []
    for _ in range(draw(st.integers(0, 6))):
        r = report(draw(markets), draw(codes), account=draw(st.sampled_from([HANDLE, HANDLE,
                                                                               'other'])))
        for key in draw(st.lists(st.sampled_from(REPORT_KEYS[3:]), max_size=4)):
            r[key] = draw(stamps) if key in ('CreatedLong', 'CreatedShort', 'Updated') \
                else draw(values)
        reports.append(r)
    indices = draw(st.lists(st.integers(-2, 7), max_size=5))
    side = draw(st.sampled_from([gv.POSITIONSIDE_LONG, gv.POSITIONSIDE_SHORT,
                                 gv.POSITIONSIDE_UNKNOWN]))
    return pairs, reports, indices, side


@settings(max_examples=60, deadline=None, suppress_health_check=list(HealthCheck))
@given(accounts_input())
def test_random_accounts_agree(monkeypatch, data):
    pairs, reports, indices, side = data

    def scenario(mod):
        acc = make_account(mod, pairs)
        acc.update_info(cash(), reports)
        return [list(acc._position)] + snapshots(acc, indices, side)
    agree(scenario, monkeypatch)


# ---- what the shortcuts rely on, changed ----------------------------------

def patch_class(monkeypatch, attr, value):
    monkeypatch.setattr(OrderedDotDict, attr, value, raising=False)


@pytest.mark.parametrize('change', [
    'setitem', 'init', 'keys', 'getattr', 'getitem', 'instance keys', 'class attribute',
    'template property', 'template getter', 'OrderedDotDict global', 'make_positions attribute',
])
def test_changed_pieces_agree(monkeypatch, change):
    seen = []
    real_setitem = OrderedDotDict.__setitem__
    real_init = OrderedDotDict.__init__

    def scenario(mod):
        del seen[:]
        acc = make_account(mod)
        r = report('sz', '000001')
        if change == 'setitem':
            patch_class(monkeypatch, '__setitem__',
                        lambda self, k, v: seen.append(k) or real_setitem(self, k, v))
        elif change == 'init':
            patch_class(monkeypatch, '__init__', lambda self, *a: seen.append(a) or real_init(self))
        elif change == 'keys':
            patch_class(monkeypatch, 'keys', lambda self: ['Market', 'Code'])
        elif change == 'getattr':
            patch_class(monkeypatch, '__getattr__', lambda self, item: 'SH' if item != 'AccountID'
                        else HANDLE)
        elif change == 'getitem':
            patch_class(monkeypatch, '__getitem__',
                        lambda self, k: seen.append(k) or dict.__getitem__(self, k))
        elif change == 'instance keys':
            r.__dict__['keys'] = lambda: ['Market', 'Code', 'Updated', 'CreatedLong']
        elif change == 'class attribute':
            patch_class(monkeypatch, 'Market', 'CLASS')
        elif change == 'template property':
            monkeypatch.setattr(type(acc), '_position_template',
                                property(lambda self: OrderedDotDict(report('t', 't'))))
        elif change == 'template getter':
            prop = vars(type(acc))['_position_template']
            real_getter = prop.fget
            prop.__init__(lambda self: seen.append('getter') or real_getter(self))
        elif change == 'OrderedDotDict global':
            class Logged(OrderedDotDict):
                def __setitem__(self, k, v):
                    seen.append(k)
                    OrderedDotDict.__setitem__(self, k, v)
            monkeypatch.setattr(mod, 'OrderedDotDict', Logged)
        elif change == 'make_positions attribute':
            acc.make_positions = lambda d: seen.append(sorted(d)) or {'from': 'instance'}
        try:
            acc.update_info(cash(), [r])
            return [snapshots(acc), list(seen)]
        finally:
            if change == 'template getter':
                prop.__init__(real_getter)
            monkeypatch.undo()
    agree(scenario)


def test_toolkit_class_patched_before_import():
    # The shortcuts must not take a replacement seen at import for the
    # toolkit's own OrderedDotDict.__getattr__.
    script = '''
from belvane.tframe.utils.sorvel import OrderedDotDict
OrderedDotDict.__getattr__ = lambda self, item: 'X' if item == 'Market' else self[item]
from accounts_support import MODULES, cash, make_account, report
for mod in MODULES:
    acc = make_account(mod)
    acc.update_info(cash(), [report('sh', '1')])
    print(list(acc._position))
'''
    out = run_python(script)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split('\n')[:2] == ["['X.1']", "['X.1']"]


@pytest.mark.parametrize('change', ['class attribute', '__missing__', 'keys'])
def test_class_changed_after_first_use(monkeypatch, change):
    # The shortcuts remember classes found fit; a later change must count.
    def scenario(mod):
        acc = make_account(mod)
        pushed = [report('sz', '000001'), report('SH', '600000')]
        del pushed[1]['Price']
        acc.update_info(cash(), pushed)
        before = snapshots(acc)
        if change == 'class attribute':
            patch_class(monkeypatch, 'Market', 'CLASS')
        elif change == '__missing__':
            patch_class(monkeypatch, '__missing__', lambda self, key: 'missing ' + key)
        else:
            patch_class(monkeypatch, 'keys', lambda self: ['Market', 'Code'])
        try:
            c = cash()
            del c['LastCost']
            acc.update_info(c, pushed)
            return [before, list(acc._position), snapshots(acc)]
        finally:
            monkeypatch.undo()
    agree(scenario)


# ---- leaks ----------------------------------------------------------------

def test_no_reference_leaks():
    acc = make_account(native)
    reports = [report('sz', '000001'), report('q', 'q')]

    def work():
        acc.update_info(cash(), reports)
        snapshots(acc)
        acc.make_positions(dict(reports[0]))
    for _ in range(3):
        work()
    gc.collect()
    before = len(gc.get_objects())
    for _ in range(50):
        work()
    gc.collect()
    assert len(gc.get_objects()) - before < 50

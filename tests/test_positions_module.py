"""The positions module as Python code sees it: its globals, its classes and
how they behave as ordinary classes."""
import pickle
import sys
from collections import OrderedDict

import pandas as pd
import pytest

from conftest import reference_function, run_python
from outcomes import canon, raised
from positions_support import (IMPLS, LONG, SHORT, env, native, peer, sysclsbase,  # noqa: F401
                                worked_future, worked_stock)

# ---- the module, calls and subclasses ---------------------------------------

def test_module_globals_in_order():
    names = list(vars(native))
    assert names[names.index('pd'):] == ['pd', 'cnt', 'OrderedDict', 'gv', 'get_setting', 'PRECISION_MUL',
                                         'PositionsBase', 'StockPosition', 'FuturePosition']
    assert native.pd is pd and native.cnt is sysclsbase and native.gv is sysclsbase.gv
    assert native.OrderedDict is OrderedDict
    assert native.PRECISION_MUL == 1000 and type(native.PRECISION_MUL) is int
    assert native.__name__ == 'belvane.backtest.model.positions'
    assert sys.modules['backtest.model.positions'] is native


@pytest.mark.parametrize('level, expected', [('2', '100'), ('0', '1'), ('-1', '0.1'),
                                             ("'x'", 'TypeError')])
def test_precision_mul_from_the_setting_at_import(level, expected):
    code = ('try:\n from belvane.backtest.model import positions\n print(repr(positions.PRECISION_MUL))\n'
            'except Exception as e:\n print(type(e).__name__)')
    assert run_python(code, env={'BELVANE_PRECISION_LEVEL': level}).stdout.strip() == expected


def test_positions_base_is_abstract():
    b = native.PositionsBase()
    assert vars(b) == {'account_idx': None, 'target_idx': None, 'market_code': None, 'type': None,
                       'dt_update_time': pd.NaT, 'change_reason': 0}
    assert callable(b.total_volume_long)
    calls = [b.total_volume_long, b.total_volume_short, b.snapshot, lambda: b.volume(side=LONG),
             lambda: b.market_value(LONG), lambda: b.position_available_long,
             lambda: b.position_available_today_short]
    for call in calls:
        with pytest.raises(NotImplementedError) as info:
            call()
        assert info.value.args == () and type(info.value) is NotImplementedError
    with pytest.raises(AttributeError):
        b.position_available_long = 1


BAD_CALLS = [
    ('none', lambda o, m: getattr(o, m)()),
    ('too-many', lambda o, m: getattr(o, m)(1, 2)),
    ('unknown-keyword', lambda o, m: getattr(o, m)(bogus=1)),
    ('twice', lambda o, m: getattr(o, m)(1, side=1)),
    ('unbound', lambda o, m: getattr(type(o), m)()),
]


@pytest.mark.parametrize('cls_name', ['PositionsBase', 'StockPosition', 'FuturePosition'])
@pytest.mark.parametrize('method, params, call', [
    pytest.param(method, params, call, id='%s-%s' % (method, name))
    for method, params in [('volume', 'self, side'), ('market_value', 'self, side'),
                           ('snapshot', 'self')]
    for name, call in BAD_CALLS if (method, name) != ('snapshot', 'none')])  # snapshot() is valid
def test_argument_errors_read_like_python(env, cls_name, method, params, call):
    twin = type(cls_name, (), {method: reference_function(params, '%s.%s' % (cls_name, method))})
    expected = raised(lambda: call(twin(), method))
    assert expected[0] is TypeError
    assert raised(lambda: call(getattr(native, cls_name)(), method)) == expected


@pytest.mark.parametrize('make', [worked_stock, worked_future], ids=['stock', 'future'])
@pytest.mark.parametrize('protocol', range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_round_trip(env, make, protocol):
    p = make(native)
    p.extra = {'note': 1}
    q = pickle.loads(pickle.dumps(p, protocol))
    assert type(q) is type(p) and vars(q) == vars(p)
    assert canon(q.snapshot()) == canon(p.snapshot())


def test_subclass_overrides_take_effect(env):
    class Mine(native.StockPosition):
        def volume(self, side):
            return 42

        @property
        def total_volume_short(self):
            return -1

    env.price = 10.5
    p = worked_stock(Mine)
    assert p.volume(LONG) == 42 and p.total_volume_short == -1
    assert p.market_value(LONG) == 15750.0 and p.snapshot()['volume_long'] == 1500
    assert vars(p)['type'] == 'stock'


def _counting_property(counter):
    def get(self):
        counter.append(1)
        return 2
    return property(get, lambda self, v: None)


@IMPLS
@pytest.mark.parametrize('where', ['subclass', 'class patched later'])
def test_attributes_read_afresh_at_each_use(env, mod, where, monkeypatch):
    # A carried volume that counts its reads sees every use the formulas
    # make, in both implementations alike.
    reads = []
    if where == 'subclass':
        cls = type('Counting', (mod.FuturePosition,), {'volume_long_yd': _counting_property(reads)})
    else:
        cls = mod.FuturePosition
        worked_future(cls).snapshot()
        monkeypatch.setattr(cls, 'volume_long_yd', _counting_property(reads), raising=False)
    p = worked_future(cls)
    p.snapshot()
    assert len(reads) == 13
    assert p.volume(LONG) == 3 and len(reads) == 14


def _logged(name, log):
    def get(self):
        log.append(name)
        return self.__dict__[name]
    return property(get, lambda self, v: self.__dict__.__setitem__(name, v))


@IMPLS
@pytest.mark.parametrize('make', [worked_stock, worked_future], ids=['stock', 'future'])
def test_carried_volume_is_read_before_the_fills(env, mod, make):
    log = []
    names = ['volume_long_yd', 'holding_cost_today_long_list', 'volume_short_yd',
             'holding_cost_today_short_list']
    p = make(type('Logged', (getattr(mod, make(mod).__class__.__name__),),
                  {n: _logged(n, log) for n in names}))
    calls = [lambda: p.total_volume_long, lambda: p.volume(LONG), lambda: p.market_value(LONG)]
    if make is worked_future:
        calls += [lambda: p.total_volume_short, lambda: p.volume(SHORT),
                  lambda: p.market_value(SHORT)]
    for i, call in enumerate(calls):
        del log[:]
        call()
        assert log == names[:2] if i < 3 else names[2:], i
    # With the carried volume missing, a malformed fill is never reached.
    q = make(mod)
    del q.volume_long_yd
    q.holding_cost_today_long_list.append((1, 2, 3))
    for call in (lambda: q.total_volume_long, lambda: q.volume(LONG),
                 lambda: q.market_value(LONG)):
        with pytest.raises(AttributeError):
            call()


@IMPLS
def test_rebinding_globals_takes_effect_on_next_call(env, mod, monkeypatch):
    p = worked_future(mod)
    monkeypatch.setattr(mod, 'PRECISION_MUL', 100)
    assert p.snapshot()['holding_cost_long'] == 3416.67

    class Recording(OrderedDict):
        log = []

        def __setitem__(self, k, v):
            self.log.append(('set', k))
            OrderedDict.__setitem__(self, k, v)

        def __getitem__(self, k):
            self.log.append(('get', k))
            return OrderedDict.__getitem__(self, k)

    monkeypatch.setattr(mod, 'OrderedDict', Recording)
    s = worked_stock(mod).snapshot()
    assert type(s) is Recording and s['holding_cost_long'] == 10.13
    gets = [k for op, k in Recording.log if op == 'get']
    assert gets[:5] == ['fpnl_long', 'volume_long', 'volume_long', 'holding_cost_long', 'volume_long']
    sets = [k for op, k in Recording.log if op == 'set']
    assert sets == list(worked_stock(peer).snapshot())

    new_env = type(env)(price=1.0)
    monkeypatch.setattr(sysclsbase, 'env', new_env)
    assert p.market_value(LONG) == 30.0 and len(new_env.calls) == 2


def test_instance_takes_no_more_memory_than_the_peer():
    import tracemalloc

    def per_instance(cls, n=4000):
        cls()
        keep = [None] * n
        tracemalloc.start()
        base = tracemalloc.get_traced_memory()[0]
        for i in range(n):
            keep[i] = cls()
        size = tracemalloc.get_traced_memory()[0] - base
        tracemalloc.stop()
        return size / n

    # Fresh subclasses: whether instances share their dict keys depends on
    # what earlier tests did to the classes' instances, not on the module.
    mine = type('FuturePosition', (native.FuturePosition,), {})
    theirs = type('FuturePosition', (peer.FuturePosition,), {})
    assert per_instance(mine) <= per_instance(theirs) * 1.005
    p, q = mine(), theirs()
    assert sys.getsizeof(p) + sys.getsizeof(vars(p)) <= sys.getsizeof(q) + sys.getsizeof(vars(q))

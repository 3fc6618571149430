"""Remembered attribute lookups and the snapshot's fast way: after the
members have been called once and the lookups proven, or after snapshots
that computed on C values, changes to classes, instances, module globals and
the environment must show at the very next call, exactly as in the peer:
key for key, type for type, with every property read as often as in the
peer."""
import decimal

import pytest

from outcomes import outcome
from positions_support import IMPLS, LONG, SHORT, env, gv, native, peer, worked_future  # noqa: F401


# ---- lookups proven by earlier calls ----------------------------------------

def warm(p):
    for _ in range(3):
        p.volume(LONG), p.volume(SHORT), p.market_value(LONG), p.total_volume_long
        p.position_available_long, p.position_available_today_long


def change_class_constant(p, monkeypatch, env):
    monkeypatch.setattr(type(gv), 'POSITIONSIDE_SHORT', 5)
    return [p.volume(5), p.volume(SHORT)]


def shadow_class_constant(p, monkeypatch, env):
    monkeypatch.setattr(gv, 'POSITIONSIDE_SHORT', 7, raising=False)
    return [p.volume(7), p.volume(SHORT)]


def materialised_dict(p, monkeypatch, env):
    p.__dict__['volume_long_yd'] = 9
    return [p.volume(LONG), p.total_volume_long]


def deleted_attribute(p, monkeypatch, env):
    del p.volume_long_yd
    return [p.volume(LONG)]


def property_on_subclass_after(p, monkeypatch, env):
    cls = type(p)
    monkeypatch.setattr(cls, 'volume_long_yd', property(lambda self: 40), raising=False)
    return [p.volume(LONG), p.position_available_long]


def method_shadowed_by_instance(p, monkeypatch, env):
    monkeypatch.setattr(env, 'get_multiple', lambda idx: 3, raising=False)
    return [p.market_value(LONG), p.market_value(SHORT)]


def method_replaced_on_class(p, monkeypatch, env):
    monkeypatch.setattr(type(env), 'market_price', lambda self, idx, off: 100)
    return [p.market_value(LONG)]


def non_str_key_in_dict(p, monkeypatch, env):
    p.__dict__[1] = 'x'
    return [p.volume(LONG), p.position_available_long]


def float_and_bool_volumes(p, monkeypatch, env):
    p.holding_cost_today_long_list = [(1.0, 2), (1.0, True), (1.0, 2.5)]
    return [p.volume(LONG), p.position_available_today_long, p.total_volume_long]


def big_volumes(p, monkeypatch, env):
    p.volume_long_yd = 2 ** 40
    p.holding_cost_today_long_list = [(1.0, 2 ** 62), (1.0, 2 ** 62)]
    return [p.volume(LONG), p.position_available_today_long]


CHANGES = [change_class_constant, shadow_class_constant, materialised_dict, deleted_attribute,
           property_on_subclass_after, method_shadowed_by_instance, method_replaced_on_class,
           non_str_key_in_dict, float_and_bool_volumes, big_volumes]


def after_warm_calls(change, mod, monkeypatch, env):
    class Sub(mod.FuturePosition):
        pass
    p = worked_future(Sub)
    warm(p)
    return outcome(lambda: change(p, monkeypatch, env))


@pytest.mark.parametrize('change', CHANGES, ids=lambda c: c.__name__)
def test_change_seen_at_next_call(change, monkeypatch, env):
    with monkeypatch.context() as m:
        want = after_warm_calls(change, peer, m, env)
    with monkeypatch.context() as m:
        got = after_warm_calls(change, native, m, env)
    assert got == want


# ---- the snapshot's fast way left at each step ------------------------------

def counting_property(name, seen, then=None):
    def get(self):
        seen.append(name)
        if then:
            then(self)
        return self.__dict__['_' + name]

    def put(self, v):
        self.__dict__['_' + name] = v
    return property(get, put)


def late_property_changes_cost(mod, seen):
    def bump(self):
        self.holding_cost_long = 4000.0
    return {'dt_update_time': counting_property('dt_update_time', seen, bump)}


def property_on_figure(mod, seen):
    return {'cost_short': counting_property('cost_short', seen)}


CLASS_CHANGES = [late_property_changes_cost, property_on_figure]


@pytest.mark.parametrize('change', CLASS_CHANGES, ids=lambda c: c.__name__)
def test_class_change_after_fast_calls(change, env):
    def run(mod):
        seen = []
        plain = type('Plain', (mod.FuturePosition,), {})
        p = worked_future(plain)
        first = [outcome(p.snapshot) for _ in range(2)]
        for k, v in change(mod, seen).items():
            value = getattr(p, k)
            setattr(plain, k, v)
            setattr(p, k, value)
        return first, outcome(p.snapshot), outcome(p.snapshot), seen
    assert run(native) == run(peer)


def overflowing_volume(p):
    p.volume_long_yd = 2 ** 62


def huge_int_cost(p):
    p.cost_short = 10 ** 30


def nan_price_fill(p):
    p.holding_cost_today_long_list = [(float('nan'), 1)]


def inf_cost(p):
    p.holding_cost_long = float('inf')


def decimal_available(p):
    p.available_long = decimal.Decimal('2.5')


def float_volume(p):
    p.volume_short_yd = 2.5


def bool_volume(p):
    p.volume_short_yd = True


def zero_volume(p):
    p.volume_long_yd = 0
    p.holding_cost_today_long_list = []


def non_str_key(p):
    p.__dict__[1] = 'x'


def missing_attribute(p):
    del p.cost_long


INSTANCE_CHANGES = [overflowing_volume, huge_int_cost, nan_price_fill, inf_cost,
                    decimal_available, float_volume, bool_volume, zero_volume, non_str_key,
                    missing_attribute]


@pytest.mark.parametrize('change', INSTANCE_CHANGES, ids=lambda c: c.__name__)
def test_instance_change_after_fast_calls(change, env):
    def run(mod):
        p = worked_future(mod)
        first = outcome(p.snapshot)
        change(p)
        return first, outcome(p.snapshot), outcome(p.snapshot)
    assert run(native) == run(peer)


@pytest.mark.parametrize('name, value', [
    ('PRECISION_MUL', 1000.0), ('PRECISION_MUL', decimal.Decimal(100)), ('PRECISION_MUL', 0),
    ('OrderedDict', dict),
], ids=['float_mul', 'decimal_mul', 'zero_mul', 'plain_dict'])
def test_module_global_change_after_fast_calls(name, value, env, monkeypatch):
    def run(mod):
        p = worked_future(mod)
        first = outcome(p.snapshot)
        with monkeypatch.context() as m:
            m.setattr(mod, name, value)
            changed = outcome(p.snapshot)
        return first, changed, outcome(p.snapshot)
    assert run(native) == run(peer)

"""Remembered attribute lookups: after the members have been called once and
the lookups proven, changes to classes, instances and the environment must
show at the very next call, exactly as in the peer."""
import pytest

from outcomes import outcome
from positions_support import IMPLS, LONG, SHORT, env, gv, native, peer, worked_future  # noqa: F401


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

"""FuturePosition.snapshot() computes its figures on C values while nothing
can run Python code, and leaves that at the first step that could: each
change below makes it leave at a different point, after calls that took
the fast way, and the record must still be the peer's, key for key and
type for type, with every property read as often as in the peer."""
import decimal
import pytest

from outcomes import outcome
from positions_support import env, native, peer, worked_future  # noqa: F401


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

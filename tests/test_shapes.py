"""Each native class against its peer as Python code sees it: the classes a
module defines, and per class its bases, its members in definition order,
what kind of descriptor each is, their signatures, defaults, annotations,
names and docs, and the class-level data."""
import inspect

import pytest

from belvane.backtest.model import positions
from belvane.realtrade.model import accounts
from belvane.tframe.utils import sorvel
from outcomes import canon
from peers import accounts as peer_accounts, positions as peer_positions
from peers import sorvel_dicts, sorvel_io, sorvel_stats

MODULES = [(sorvel, [sorvel_dicts, sorvel_stats, sorvel_io]), (positions, [peer_positions]),
           (accounts, [peer_accounts])]
# What the class namespace holds by the interpreter's doing, not the class body's.
IMPLICIT = {'__module__', '__qualname__', '__dict__', '__weakref__', '__doc__', '__slotnames__',
            '__firstlineno__', '__static_attributes__'}


def registered_name(module):
    """The name the module is registered under, and its classes and functions carry."""
    return module.__name__.split('.', 1)[1]


def own_classes(module, home):
    return [(k, v) for k, v in vars(module).items() if isinstance(v, type) and v.__module__ == home]


def function_shape(f):
    if f is None:
        return None
    return (f.__name__, f.__qualname__, f.__doc__, str(inspect.signature(f)),
            canon(getattr(f, '__defaults__', None)), canon(getattr(f, '__kwdefaults__', None)),
            canon(f.__annotations__))


def member_shape(value):
    for kind in (classmethod, staticmethod):
        if isinstance(value, kind):
            return (kind.__name__, function_shape(value.__func__))
    if isinstance(value, property):
        return ('property', function_shape(value.fget), function_shape(value.fset),
                function_shape(value.fdel), value.__doc__)
    if callable(value) and not isinstance(value, type):
        return ('function', function_shape(value))
    return ('data', canon(value))


def class_shape(cls):
    return (type(cls), cls.__name__, cls.__qualname__, cls.__doc__,
            [b.__name__ for b in cls.__bases__],
            [(k, member_shape(v)) for k, v in vars(cls).items() if k not in IMPLICIT])


def functions_of(cls):
    for k, v in vars(cls).items():
        if isinstance(v, (classmethod, staticmethod)):
            yield v.__func__
        elif isinstance(v, property):
            for f in (v.fget, v.fset, v.fdel):
                if f is not None:
                    yield f
        elif callable(v) and not isinstance(v, type) and k not in IMPLICIT:
            yield v


PAIRS = [pytest.param(native, name, cls, id=name)
         for native, peers in MODULES for peer in peers
         for name, cls in own_classes(peer, peer.__name__)]


@pytest.mark.parametrize('native, peers', MODULES, ids=lambda m: getattr(m, '__name__', ''))
def test_each_module_defines_the_peers_classes(native, peers):
    mine = [k for k, _ in own_classes(native, registered_name(native))]
    theirs = [k for peer in peers for k, _ in own_classes(peer, peer.__name__)]
    assert sorted(mine) == sorted(theirs)


@pytest.mark.parametrize('native, name, peer_cls', PAIRS)
def test_native_class_has_the_peers_shape(native, name, peer_cls):
    cls = getattr(native, name)
    assert class_shape(cls) == class_shape(peer_cls)
    home = registered_name(native)
    assert cls.__module__ == home
    for f in functions_of(cls):
        assert f.__module__ == home, f

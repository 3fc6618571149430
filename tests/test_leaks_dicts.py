"""No reference leaks in the dictionaries and the native call machinery, on
the success and the error paths."""
import pytest

from belvane.tframe.utils import sorvel
from hostile_support import Boom, hostile
from leakcheck import assert_no_leak

DotDict = sorvel.DotDict
OrderedDotDict = sorvel.OrderedDotDict


@pytest.mark.parametrize('cls', [DotDict, OrderedDotDict])
def test_operations(cls):
    d = cls([('a', 1), ('b', 'x')])

    def ops():
        cls([('k', object())])
        cls(None)
        d.c = [1, 2]
        assert d.c == [1, 2]
        str(d)
        cls.__init__(cls(), _dict={'z': 1})
    assert_no_leak(ops, calls=500)


@pytest.mark.parametrize('cls', [DotDict, OrderedDotDict])
@pytest.mark.parametrize('op', ['missing', 'bad_args', 'bad_kw', 'bad_repr', 'bad_init'])
def test_error_paths(cls, op):
    d = cls([('bad', hostile('__repr__', 'raise', base=object))])
    calls = {
        'missing': lambda: d.missing,
        'bad_args': lambda: cls.__setattr__(d, 'k'),
        'bad_kw': lambda: cls(a=object()),
        'bad_repr': lambda: str(d),
        'bad_init': lambda: cls(5),
    }
    assert_no_leak(calls[op], raises=(AttributeError, TypeError, Boom), calls=500)


def test_mac_address():
    assert_no_leak(sorvel.get_cur_mac_address, calls=300)


def test_leak_check_catches_a_leak():
    kept = []
    with pytest.raises(AssertionError):
        assert_no_leak(lambda: kept.append(object()), calls=500)

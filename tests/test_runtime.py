"""What Python code sees of the native functions and classes."""
import inspect
import pickle
import sys
import types

import pytest

from belvane.tframe.utils import sorvel

DotDict = sorvel.DotDict
OrderedDotDict = sorvel.OrderedDotDict


def test_module_names_and_registration():
    assert sorvel.__name__ == 'belvane.tframe.utils.sorvel'
    assert sys.modules['tframe.utils.sorvel'] is sorvel
    assert sys.modules['belvane.tframe.utils.sorvel'] is sorvel
    import belvane.tframe.utils.sorvel as again
    assert again is sorvel
    assert sorvel.get_cur_mac_address.__module__ == 'tframe.utils.sorvel'
    assert sorvel.get_cur_mac_address.__qualname__ == 'get_cur_mac_address'


def test_registered_names_enter_nothing_else_and_pickles_load_in_a_fresh_process(tmp_path):
    # Importing the modules enters no bare top-level name; a user's package
    # called "backtest", put on the path later, is the one imported; pickles
    # of our classes load in a new process that imported one module first.
    from conftest import run_python
    (tmp_path / 'backtest').mkdir()
    (tmp_path / 'backtest' / '__init__.py').write_text('USER = True\n')
    dump = run_python('''
import pickle, sys
from belvane.tframe.utils.sorvel import DotDict, OrderedDotDict
from belvane.backtest.model.positions import FuturePosition
import belvane.realtrade.model.accounts
print(sorted({'tframe', 'backtest', 'realtrade'} & set(sys.modules)))
sys.path.insert(0, %r)
import backtest
print(backtest.USER, backtest.__file__.startswith(%r))
p = FuturePosition()
p.volume_long_yd = 3
print(pickle.dumps([DotDict({'a': 1}), OrderedDotDict([('b', 2), ('a', 1)])], 2).hex())
print(pickle.dumps(p, 2).hex())
''' % (str(tmp_path), str(tmp_path)))
    assert dump.returncode == 0, dump.stderr
    lines = dump.stdout.splitlines()
    assert lines[:2] == ['[]', 'True True']
    for first, data, shown in (
            ('belvane.tframe.utils.sorvel', lines[2],
             "tframe.utils.sorvel [{'a': 1}, [('b', 2), ('a', 1)]]"),
            ('belvane.backtest.model.positions', lines[3], 'FuturePosition 3')):
        load = run_python('''
import pickle
import %s
got = pickle.loads(bytes.fromhex(%r))
if isinstance(got, list):
    print(type(got[0]).__module__, [dict(got[0]), list(got[1].items())])
else:
    print(type(got).__name__, got.volume_long_yd)
''' % (first, data))
        assert load.returncode == 0, load.stderr
        assert load.stdout.strip() == shown


def test_module_globals_in_order():
    names = [n for n in vars(sorvel) if not n.startswith('__')]
    expected = ['datetime', 'os', 'shutil', 'OrderedDict', 'defaultdict', 'socket', 'time',
                'traceback', 'VersionError', 'write_syslog', 'get_cur_mac_address', 'DotDict',
                'OrderedDotDict']
    assert names[:len(expected)] == expected
    from belvane.tframe.utils.exceptions import VersionError
    from belvane.tframe.utils.logger import write_syslog
    assert sorvel.VersionError is VersionError and sorvel.write_syslog is write_syslog


def test_binding_from_class_and_instance():
    d = DotDict({'a': 1})
    bound = d.__str__
    assert isinstance(bound, types.MethodType) and bound.__self__ is d
    assert bound() == DotDict.__str__(d) == str(d)
    # Looked up on the class, a function is the function itself.
    assert DotDict.__str__ is DotDict.__dict__['__str__']
    assert DotDict.__dict__['__str__'].__get__(None, DotDict) is DotDict.__str__


def test_wrapped_by_property_classmethod_staticmethod():
    class Wrapped(DotDict):
        text = property(DotDict.__str__)
        lookup = classmethod(DotDict.__getattr__)
        mac = staticmethod(sorvel.get_cur_mac_address)

    w = Wrapped({'k': 'v'})
    assert w.text == str(DotDict({'k': 'v'}))
    assert Wrapped.lookup.__self__ is Wrapped
    assert Wrapped.lookup.__func__ is DotDict.__getattr__
    assert w.mac() == Wrapped.mac() == sorvel.get_cur_mac_address()


def test_signatures_and_annotations():
    assert str(inspect.signature(DotDict.__init__)) == '(self, _dict=None)'
    assert str(inspect.signature(DotDict({}).__setattr__)) == '(key, value)'
    assert str(inspect.signature(sorvel.get_cur_mac_address)) == '()'
    f = OrderedDotDict.__str__
    assert f.__annotations__ == {}
    f.__annotations__ = {'return': 'str'}
    try:
        assert inspect.signature(f).return_annotation == 'str'
        with pytest.raises(TypeError):
            f.__annotations__ = ['not', 'a', 'dict']
    finally:
        f.__annotations__ = {}
    assert DotDict.__init__.__defaults__ == (None,)


def test_argument_errors_match_python_functions(same_argument_errors):
    d = DotDict()
    same_argument_errors(DotDict.__init__, 'self, _dict=None', 'DotDict.__init__', [
        ((), {}), ((d, 1, 2), {}), ((d,), {'other': 1}), ((d, 1), {'_dict': 2}),
        ((), {'_dict': 1}), ((d,), {'self': d}),
    ])
    same_argument_errors(DotDict.__setattr__, 'self, key, value', 'DotDict.__setattr__', [
        ((), {}), ((d,), {}), ((d, 'k'), {}), ((d, 'k', 1, 2), {}), ((d, 'k', 1), {'x': 1}),
        ((d, 'k'), {'key': 'k'}),
    ])
    same_argument_errors(sorvel.get_cur_mac_address, '', 'get_cur_mac_address', [
        ((1,), {}), ((1, 2), {}), ((), {'x': 1}),
    ])
    # The same through a bound method, where self counts as given.
    same_argument_errors(d.__getattr__, 'self, item', 'DotDict.__getattr__', [
        ((), {}), (('a', 'b'), {}), (('a',), {'item': 'a'}), (('a',), {'self': d}),
    ], bound_to=d)
    with pytest.raises(TypeError) as e:
        OrderedDotDict(a=1)
    assert "unexpected keyword argument 'a'" in str(e.value)


def test_keywords_are_accepted_like_python():
    assert DotDict(_dict={'a': 1}) == {'a': 1}
    assert OrderedDotDict(_dict=[('a', 1)]) == {'a': 1}
    d = DotDict()
    DotDict.__setattr__(d, value=2, key='k')
    assert d == {'k': 2}
    assert DotDict.__str__(**{'self': d}) == str(d)


class Items(DotDict):
    def items(self):
        return [('shown', 1)]


class Keys(OrderedDotDict):
    def keys(self):
        return ['b']


def test_subclass_overrides_are_used_internally():
    assert str(Items({'hidden': 0})) == "DotDict{\n\t'shown':1,\n}"
    # __str__ reserves len(items()) + 2 lines and fills them from keys().
    k = Keys([('a', 1), ('b', 2)])
    assert str(k) == "OrderedDotDict{\n\t'b':2,\n\n}"


@pytest.mark.parametrize('cls', [DotDict, OrderedDotDict])
def test_pickling_round_trip(cls):
    d = cls([('a', 1), ('b', [1, 2])])
    d.c = cls({'nested': True})
    for proto in range(2, pickle.HIGHEST_PROTOCOL + 1):
        back = pickle.loads(pickle.dumps(d, proto))
        assert type(back) is cls
        assert back == d and list(back) == list(d)
        assert back.c.nested is True
        assert back.__dict__ == {}


def test_functions_pickle_by_reference():
    for proto in range(4, pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(sorvel.get_cur_mac_address, proto)) \
            is sorvel.get_cur_mac_address


def test_globals_are_read_at_each_call():
    saved = sorvel.DotDict
    try:
        del sorvel.DotDict
        with pytest.raises(NameError) as e:
            saved({'a': 1})
        assert str(e.value) == "name 'DotDict' is not defined"
    finally:
        sorvel.DotDict = saved
    assert saved({'a': 1}) == {'a': 1}


def test_imports_try_the_package_first(monkeypatch):
    fake = types.ModuleType('belvane.tframe.utils.uuid')
    import uuid as real
    fake.getnode = lambda: 0x001A2B3C4D5E
    fake.UUID = real.UUID
    monkeypatch.setitem(sys.modules, 'belvane.tframe.utils.uuid', fake)
    assert sorvel.get_cur_mac_address() == '00-1A-2B-3C-4D-5E'


def test_import_hooks_around_the_registered_top_level_name():
    # The toolkit's finder answers for "tframe" only when asked and only if
    # the package is still loaded and no finder placed after it provides the
    # name; finders that drop the package or raise must not crash it.
    from conftest import run_python
    code = '''
import gc, sys, types
import belvane.tframe.utils.sorvel


class Later(object):
    @staticmethod
    def find_spec(name, path=None, target=None):
        if name == 'tframe' and mode == 'raise':
            raise LookupError('later finder')
        if name == 'tframe' and mode == 'provide':
            import importlib.machinery
            return importlib.machinery.ModuleSpec(name, None, is_package=True)
        return None


class Dropping(object):
    @staticmethod
    def find_spec(name, path=None, target=None):
        if name == 'tframe':
            import belvane
            sys.modules.pop('belvane.tframe', None)
            vars(belvane).pop('tframe', None)
            gc.collect()
        return None


sys.meta_path.append(Later)
for mode in ('raise', 'provide'):
    try:
        import tframe
        print(mode, type(tframe).__name__, getattr(tframe, '__file__', None))
    except Exception as e:
        print(mode, type(e).__name__, e)
    sys.modules.pop('tframe', None)
mode = None
sys.meta_path.insert(0, Dropping)
try:
    import tframe
except ImportError as e:
    print('dropped', type(e).__name__)
'''
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == ['raise LookupError later finder', 'provide module None',
                                        'dropped ModuleNotFoundError']

"""FileStrategyLoader on real files, for the native class and its
plain-Python peer alike."""
import builtins
import sys

import pytest

from belvane.tframe.utils import sorvel, utilfunc
from hostile_support import STR_VALUES
from outcomes import outcome, raised, run_both
from peers import sorvel_io
from toolkit_support import TOOLKITS, impl  # noqa: F401 (fixture)


@pytest.fixture
def compiled(monkeypatch):
    calls = []

    def compile_strategy(*args, **kwargs):
        calls.append((args, kwargs))
        return calls
    monkeypatch.setattr(utilfunc, 'compile_strategy', compile_strategy)
    return calls


# ---- examples ---------------------------------------------------------------

@pytest.mark.parametrize('raw, text', [
    (b'a = 1\r\nb = 2\rc = 3\n', u'a = 1\nb = 2\nc = 3\n'),
    (b'\xef\xbb\xbfx = 1\n', u'\ufeffx = 1\n'),
    (u'name = "\u00e9\u6d4b"\n'.encode('utf-8'), u'name = "\u00e9\u6d4b"\n'),
    (b'', u''),
])
def test_text_reaches_the_compiler(impl, compiled, tmp_path, raw, text):
    path = tmp_path / 'strategy.py'
    path.write_bytes(raw)
    scope = object()
    assert impl.FileStrategyLoader(str(path)).load(scope) is compiled
    assert compiled == [((text, str(path), scope), {})]


def test_read_anew_and_path_kept_as_given(impl, compiled, tmp_path, monkeypatch):
    monkeypatch.chdir(str(tmp_path))
    loader = impl.FileStrategyLoader('strategy.py')
    assert vars(loader) == {'_strategy_path': 'strategy.py'}
    with pytest.raises(FileNotFoundError):
        loader.load({})
    assert compiled == []
    for text in (u'x = 1\n', u'x = 2\n'):
        (tmp_path / 'strategy.py').write_text(text)
        loader.load({})
        assert compiled[-1][0][:2] == (text, 'strategy.py')


def test_real_compiler(impl, tmp_path):
    path = tmp_path / 's.py'
    path.write_text(u'def handle_bar(ctx):\n    return ctx * 2\n')
    scope = impl.FileStrategyLoader(str(path)).load({})
    assert scope['handle_bar'](21) == 42


class RecordingOpen(object):
    def __init__(self):
        self.calls, self.files = [], []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        f = builtins.open(*args, **kwargs)
        self.files.append(f)
        return f


def test_open_is_a_global_and_the_file_is_closed_on_errors(impl, compiled, tmp_path, monkeypatch):
    opener = RecordingOpen()
    monkeypatch.setattr(impl, 'open', opener, raising=False)
    bad = tmp_path / 'latin1.py'
    bad.write_bytes(u'x = "\u00e9"\n'.encode('latin-1'))
    with pytest.raises(UnicodeDecodeError):
        impl.FileStrategyLoader(str(bad)).load({})
    assert opener.calls == [((str(bad),), {'encoding': 'utf-8'})]
    assert opener.files[0].closed and compiled == []


class FailingFile(object):
    def __init__(self, close_error=None):
        self.close_error = close_error
        self.closed = False

    def read(self):
        raise ValueError('read')

    def close(self):
        self.closed = True
        if self.close_error:
            raise self.close_error


@pytest.mark.parametrize('close_error', [None, KeyError('close')])
def test_close_after_a_failed_read(impl, compiled, monkeypatch, close_error):
    f = FailingFile(close_error)
    monkeypatch.setattr(impl, 'open', lambda *a, **k: f, raising=False)
    with pytest.raises(Exception) as info:
        impl.FileStrategyLoader('any').load({})
    assert f.closed
    if close_error is None:
        assert type(info.value) is ValueError
    else:
        assert info.value is close_error and type(info.value.__context__) is ValueError


def test_missing_compiler(impl, tmp_path, monkeypatch):
    (tmp_path / 's.py').write_text(u'')
    monkeypatch.delattr(utilfunc, 'compile_strategy')
    with pytest.raises(ImportError) as host:
        from belvane.tframe.utils.utilfunc import compile_strategy  # noqa: F401
    with pytest.raises(ImportError) as got:
        impl.FileStrategyLoader(str(tmp_path / 's.py')).load({})
    # The host's own words, which differ between 3.6 and 3.7+.
    assert (str(got.value), got.value.name, got.value.path) == \
        (str(host.value), host.value.name, host.value.path)


def test_compiler_errors_propagate(impl, tmp_path):
    (tmp_path / 's.py').write_text(u'def broken(:\n')
    pytest.raises(SyntaxError, impl.FileStrategyLoader(str(tmp_path / 's.py')).load, {})


# ---- leaks ------------------------------------------------------------------

def test_no_reference_left(impl, compiled, tmp_path):
    path = tmp_path / 's.py'
    path.write_text(u'x = 1\n')
    scope, name = object(), str(path)
    loader = impl.FileStrategyLoader(name)
    loader.load(scope)
    del compiled[:]
    before = sys.getrefcount(scope), sys.getrefcount(name)
    for _ in range(100):
        loader.load(scope)
        del compiled[:]
    assert (sys.getrefcount(scope), sys.getrefcount(name)) == before


# ---- calls, against the peer ------------------------------------------------

@pytest.mark.parametrize('call', [
    lambda m: m.FileStrategyLoader(),
    lambda m: m.FileStrategyLoader('a', 'b'),
    lambda m: m.FileStrategyLoader(path='a'),
    lambda m: m.FileStrategyLoader('a').load(),
    lambda m: m.FileStrategyLoader('a').load({}, scope={}),
])
def test_argument_errors_match_python(call):
    assert raised(lambda: call(sorvel)) == raised(lambda: call(sorvel_io))


# ---- hostile inputs, native against peer ------------------------------------

# Int-like paths are file descriptors to open(): not something to hand it here.
PATH_VALUES = [(i, v) for i, v in STR_VALUES if not isinstance(v, int)] + [
    ('object', object()), ('none', None), ('list', [1])]


def test_strategy_loader_hostile_paths(tmp_path):
    source = tmp_path / 's.py'
    source.write_text(u'x = 1\n')

    def scenario(impl, h):
        loader = impl.FileStrategyLoader(h)
        out = [outcome(lambda: loader.load({}))]
        loader._strategy_path = str(source)
        out.append(outcome(lambda: loader.load(h) is not None))
        del loader._strategy_path
        out.append(outcome(lambda: loader.load({})))
        return out
    for _, h in PATH_VALUES:
        run_both(scenario, TOOLKITS, h)

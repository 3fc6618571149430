"""OutputFileManager on real temporary directories, for the native class and
its plain-Python peer alike. Every test works on a subclass rooted in its own
temporary directory, so the process-wide default layout is never touched."""
import os
import shutil
import tempfile

import pytest

from belvane.tframe.utils import sorvel
from outcomes import raised
from peers import sorvel_io
from toolkit_support import impl  # noqa: F401 (fixture)


@pytest.fixture
def manager(impl, tmp_path):
    class Manager(impl.OutputFileManager):
        pass
    Manager.init(root_dir=str(tmp_path / 'out'))
    return Manager


def test_class_as_created(impl):
    cls = impl.OutputFileManager
    assert [k for k in vars(cls) if not k.startswith('__')] == [
        '_OutputFileManager__root_dir', '_OutputFileManager__root_sub',
        '_OutputFileManager__task_id', 'root_sub_dir', 'get_sub_dir', 'set_task_id',
        'rm_root_sub_dir', 'mk_dir', 'mk_root_sub_dir', 'cls_root_sub_dir', 'init']
    assert not hasattr(cls, 'tempfile')
    assert isinstance(vars(cls)['mk_dir'], staticmethod)
    assert isinstance(vars(cls)['init'], classmethod)
    default = os.path.normpath(os.path.join(tempfile.gettempdir(), 'Quenmark',
                                            sorvel.get_cur_mac_address()))
    assert cls.root_sub_dir() == default
    assert cls._OutputFileManager__root_sub == ['', 'record', 'mat', 'test', 'log']
    assert cls._OutputFileManager__task_id == ''


@pytest.mark.parametrize('sub, tail', [('', None), ('mat', 'mat'), ('test', 'test'),
                                       ('log', 'log'), ('record', 'record_')])
def test_layout(manager, tmp_path, sub, tail):
    root = str(tmp_path / 'out')
    expected = root if tail is None else os.path.join(root, tail)
    assert manager.root_sub_dir(sub) == expected
    assert manager.mk_root_sub_dir(sub) == expected and os.path.isdir(expected)


@pytest.mark.parametrize('sub', ['x', None, 3, [], 'Mat', 'record_'])
def test_unknown_names(manager, tmp_path, sub):
    before = sorted(os.listdir(str(tmp_path / 'out')))
    assert manager.root_sub_dir(sub) is None
    assert manager.mk_root_sub_dir(sub) is None
    assert sorted(os.listdir(str(tmp_path / 'out'))) == before == ['log', 'mat']


@pytest.mark.parametrize('method', ['rm_root_sub_dir', 'cls_root_sub_dir', 'get_sub_dir'])
def test_unknown_names_fail_in_the_path_functions(impl, manager, method):
    error = raised(lambda: getattr(manager, method)('x'))
    assert error[0] is TypeError
    peer = sorvel_io

    class Other(peer.OutputFileManager):
        pass
    assert raised(lambda: getattr(Other, method)('x')) == error


def test_root_is_stored_as_given_and_joined_paths_normalised(manager, tmp_path):
    raw = str(tmp_path) + '/a/../b//'
    manager.init(root_dir=raw)
    assert manager._OutputFileManager__root_dir == raw
    assert manager.root_sub_dir() == str(tmp_path / 'b')
    assert os.path.isdir(str(tmp_path / 'b' / 'log')) and os.path.isdir(str(tmp_path / 'b' / 'mat'))


def test_task_ids_and_subclass_state(impl, manager, tmp_path):
    base = impl.OutputFileManager
    base_root = base.root_sub_dir()
    manager.set_task_id(7)
    assert manager._OutputFileManager__task_id == 7
    assert manager.root_sub_dir('record') == str(tmp_path / 'out' / 'record_7')
    assert manager.get_sub_dir('record', 'x') == str(tmp_path / 'out' / 'record_7' / 'x')
    assert os.path.isdir(str(tmp_path / 'out' / 'record_7' / 'x'))
    # The base class keeps its own layout.
    assert base.root_sub_dir() == base_root and base._OutputFileManager__task_id == ''
    assert base.root_sub_dir('record').endswith('record_')

    class Deeper(manager):
        pass
    Deeper.set_task_id('t')
    assert Deeper.root_sub_dir('record').endswith('record_t')
    assert manager.root_sub_dir('record').endswith('record_7')


def test_get_sub_dir(manager, tmp_path):
    out = tmp_path / 'out'
    shutil.rmtree(str(out))
    assert manager.get_sub_dir() == str(out / 'mat') and os.path.isdir(str(out / 'mat'))
    assert manager.get_sub_dir('log', 'a') == str(out / 'log' / 'a')
    assert manager.get_sub_dir(sub_dir_name='b/../c') == str(out / 'mat' / 'c')
    assert os.path.isdir(str(out / 'log' / 'a')) and os.path.isdir(str(out / 'mat' / 'c'))


def test_mk_dir(impl, tmp_path):
    mk_dir = impl.OutputFileManager.mk_dir
    nested = tmp_path / 'a' / 'b' / 'c'
    assert mk_dir(str(nested)) is None and nested.is_dir()
    f = nested / 'f.txt'
    f.write_text(u'x')
    mk_dir(str(f))
    assert sorted(os.listdir(str(nested))) == ['f.txt'] and f.read_text() == u'x'
    # Under a regular file nothing can be made, and nothing is said.
    assert mk_dir(str(f / 'sub')) is None and not (f / 'sub').exists()
    pytest.raises(TypeError, mk_dir, None)


def fill(path):
    (path / 'nested').mkdir(parents=True)
    (path / 'nested' / 'x.txt').write_text(u'x')
    (path / 'stuck').mkdir()
    (path / 'stuck' / 'y.txt').write_text(u'y')
    (path / 'a.txt').write_text(u'a')
    (path / 'ana_belvane.log').write_text(u'log')


def test_rm_root_sub_dir(manager, tmp_path):
    log = tmp_path / 'out' / 'log'
    fill(log)
    assert manager.rm_root_sub_dir('log') == str(log) and not log.exists()
    assert manager.rm_root_sub_dir('log') == str(log)
    assert manager.cls_root_sub_dir('mat') == str(tmp_path / 'out' / 'mat')
    assert os.listdir(str(tmp_path / 'out' / 'mat')) == []
    (tmp_path / 'out' / 'mat' / 'old').write_text(u'old')
    assert manager.cls_root_sub_dir('mat') == str(tmp_path / 'out' / 'mat')
    assert os.listdir(str(tmp_path / 'out' / 'mat')) == []


class StubbornShutil(object):
    """rmtree fails with OSError for the listed paths, as for a file held
    open; everything else is really removed."""

    def __init__(self, stubborn, error=OSError):
        self.stubborn = set(stubborn)
        self.error = error
        self.calls = []

    def rmtree(self, path):
        self.calls.append(path)
        if path in self.stubborn:
            raise self.error('held open: %s' % path)
        shutil.rmtree(path)


def test_removal_fallback(impl, manager, tmp_path, monkeypatch):
    log = tmp_path / 'out' / 'log'
    fill(log)
    stub = StubbornShutil([str(log), str(log / 'stuck')])
    monkeypatch.setattr(impl, 'shutil', stub)
    assert manager.rm_root_sub_dir('log') == str(log)
    assert sorted(os.listdir(str(log))) == ['ana_belvane.log', 'stuck']
    assert sorted(stub.calls) == sorted([str(log), str(log / 'nested'), str(log / 'stuck')])


def test_removal_fallback_passes_other_errors(impl, manager, tmp_path, monkeypatch):
    fill(tmp_path / 'out' / 'log')
    monkeypatch.setattr(impl, 'shutil', StubbornShutil([str(tmp_path / 'out' / 'log')], RuntimeError))
    pytest.raises(RuntimeError, manager.rm_root_sub_dir, 'log')
    assert sorted(os.listdir(str(tmp_path / 'out' / 'log'))) == [
        'a.txt', 'ana_belvane.log', 'nested', 'stuck']


def test_listdir_failure_in_the_fallback_propagates(impl, manager, tmp_path, monkeypatch):
    log = tmp_path / 'out' / 'log'
    monkeypatch.setattr(impl, 'shutil', StubbornShutil([str(log)]))

    class Os(object):
        path = os.path

        @staticmethod
        def listdir(p):
            raise PermissionError('listdir')
    monkeypatch.setattr(impl, 'os', Os)
    with pytest.raises(PermissionError) as info:
        manager.rm_root_sub_dir('log')
    assert str(info.value.__context__) == 'held open: %s' % log


def test_hostile_names(manager):
    class Raising(object):
        def __eq__(self, other):
            raise ArithmeticError('eq')
        __hash__ = object.__hash__
    pytest.raises(ArithmeticError, manager.root_sub_dir, Raising())


@pytest.mark.parametrize('call', [
    lambda c: c.root_sub_dir('', 1),
    lambda c: c.get_sub_dir(1, 2, 3),
    lambda c: c.set_task_id(),
    lambda c: c.set_task_id(task=1),
    lambda c: c.rm_root_sub_dir(),
    lambda c: c.mk_dir(),
    lambda c: c.mk_dir('a', path='b'),
    lambda c: c.mk_root_sub_dir(),
    lambda c: c.cls_root_sub_dir(sub='x', other=1),
    lambda c: c.init(None, None),
])
def test_argument_errors_match_python(call):
    assert raised(lambda: call(sorvel.OutputFileManager)) == raised(
        lambda: call(sorvel_io.OutputFileManager))

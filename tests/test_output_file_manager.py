"""OutputFileManager on real temporary directories, for the native class and
its plain-Python peer alike. Every test works on a subclass rooted in its own
temporary directory, so the process-wide default layout is never touched."""
import errno
import importlib.util
import os
import pathlib
import shutil
import stat
import tempfile

import pytest

from belvane.tframe.utils import sorvel
from hostile_support import INT_VALUES, STR_VALUES
from outcomes import outcome, raised, run_both
from peers import sorvel_io
from toolkit_support import TOOLKITS, impl  # noqa: F401 (fixture)


@pytest.fixture
def manager(impl, tmp_path):
    class Manager(impl.OutputFileManager):
        pass
    Manager.init(root_dir=str(tmp_path / 'out'))
    return Manager


# ---- examples ---------------------------------------------------------------

def test_class_as_created(impl):
    cls = impl.OutputFileManager
    assert not hasattr(cls, 'tempfile')
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
        def __getattr__(self, name):
            return getattr(os, name)

        @staticmethod
        def listdir(p):
            raise PermissionError('listdir')
    monkeypatch.setattr(impl, 'os', Os())
    with pytest.raises(PermissionError) as info:
        manager.rm_root_sub_dir('log')
    assert str(info.value.__context__) == 'held open: %s' % log


# ---- removal through links and shared directories ---------------------------

def tree(path):
    return sorted(os.path.relpath(os.path.join(d, n), path)
                  for d, dirs, files in os.walk(path) for n in dirs + files)


def default_manager(impl, tmp_path, monkeypatch):
    """The class of a fresh copy of the module, whose default root lies in a
    temporary directory of the test's own as it would in the shared one."""
    (tmp_path / 'tmp').mkdir()
    monkeypatch.setattr(tempfile, 'tempdir', str(tmp_path / 'tmp'))
    spec = importlib.util.spec_from_file_location(impl.__name__, impl.__file__)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module.OutputFileManager


def layout(impl, tmp_path, monkeypatch, default, link):
    """A manager rooted in a directory of the test or in the default place,
    its root path, and the directory of the files at stake: behind a link
    at 'mat' or at the root itself as `link` says, else 'mat' itself."""
    if default:
        manager = default_manager(impl, tmp_path, monkeypatch)
    else:
        class manager(impl.OutputFileManager):
            _OutputFileManager__root_dir = str(tmp_path / 'out')
    root = pathlib.Path(manager.root_sub_dir())
    victim = tmp_path / 'victim'
    if link == 'mat':
        fill(victim)
        root.mkdir(parents=True)
        os.symlink(str(victim), str(root / 'mat'))
    elif link == 'root':
        fill(victim / 'mat')
        root.parent.mkdir(parents=True, exist_ok=True)
        os.symlink(str(victim), str(root))
    else:
        victim = root / 'mat'
        fill(victim)
    return manager, root, victim


@pytest.mark.skipif(os.geteuid() != 0, reason='hands entries to another user')
@pytest.mark.parametrize('default, link, handed, reason', [
    (False, 'mat', 'mat', 'Symbolic link owned by another user'),
    (False, 'mat', 'victim', 'Symbolic link to a directory owned by another user'),
    (False, 'root', 'root', 'Symbolic link owned by another user'),
    (True, 'root', 'root', 'Symbolic link owned by another user'),
    (True, None, 'Quenmark', 'Directory owned by another user'),
])
def test_nothing_removed_through_another_users_entries(impl, tmp_path, monkeypatch, default, link,
                                                       handed, reason):
    manager, root, victim = layout(impl, tmp_path, monkeypatch, default, link)
    paths = {'mat': root / 'mat', 'victim': victim, 'root': root, 'Quenmark': root.parent}
    os.lchown(str(paths[handed]), 65534, 65534)
    before = tree(str(victim))
    with pytest.raises(PermissionError) as info:
        manager.cls_root_sub_dir('mat')
    refused = paths['mat' if handed == 'victim' else handed]
    assert (info.value.errno, info.value.strerror, info.value.filename) == (
        errno.EACCES, reason, str(refused))
    assert tree(str(victim)) == before and len(before) >= 6


@pytest.mark.parametrize('default, link, euid', [
    (False, 'mat', None), (False, 'root', None), (True, None, None), (False, 'mat', 1000)])
def test_own_links_and_directories_removed_as_before(impl, tmp_path, monkeypatch, default, link,
                                                     euid):
    manager, root, victim = layout(impl, tmp_path, monkeypatch, default, link)
    if euid is not None:
        # A user other than the superuser, with a link and a directory of its own.
        if os.geteuid() != 0:
            pytest.skip('hands entries to another user')
        monkeypatch.setattr(os, 'geteuid', lambda: euid)
        os.lchown(str(root / 'mat'), euid, euid)
        os.chown(str(victim), euid, euid)
    mat = str(root / 'mat')
    assert manager.cls_root_sub_dir('mat') == mat and os.path.isdir(mat)
    if link == 'mat':
        # rmtree refuses the link: emptied through it, the log kept.
        assert os.path.islink(mat) and os.listdir(mat) == ['ana_belvane.log']
    else:
        assert os.listdir(mat) == []
    assert manager.rm_root_sub_dir('') == str(root) and not os.path.isdir(mat)


def test_private_directories_only_in_the_shared_temporary_directory(impl, tmp_path, monkeypatch):
    umask = os.umask(0o022)
    try:
        manager = default_manager(impl, tmp_path, monkeypatch)
        manager.init()
        manager.get_sub_dir('record', 'a/b')
        quenmark = str(tmp_path / 'tmp' / 'Quenmark')
        levels = [d for d, _, _ in os.walk(quenmark)]
        assert len(levels) == 7
        assert {stat.S_IMODE(os.stat(d).st_mode) for d in levels} == {0o700}
        manager.init(root_dir=str(tmp_path / 'own'))
        manager.get_sub_dir('mat', 'a')
        assert stat.S_IMODE(os.stat(str(tmp_path / 'own' / 'mat' / 'a')).st_mode) == 0o755
        assert stat.S_IMODE(os.stat(str(tmp_path / 'own')).st_mode) == 0o755
    finally:
        os.umask(umask)


# ---- calls, against the peer ------------------------------------------------

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


# ---- hostile inputs, native against peer ------------------------------------

@pytest.mark.parametrize('pool', [INT_VALUES, STR_VALUES], ids=['int', 'str'])
def test_output_manager_hostile_names(tmp_path, pool):
    def scenario(impl, h):
        class M(impl.OutputFileManager):
            pass
        root = str(tmp_path / ('n' if impl.native else 'p'))
        M.init(root_dir=root)
        out = []
        for call in (lambda: M.root_sub_dir(h), lambda: M.mk_root_sub_dir(h),
                     lambda: M.get_sub_dir('mat', h), lambda: M.get_sub_dir(h),
                     lambda: M.set_task_id(h), lambda: M.root_sub_dir('record'),
                     lambda: M.rm_root_sub_dir('record'), lambda: M.cls_root_sub_dir(h),
                     lambda: M.mk_dir(h), lambda: M.init(h)):
            r = outcome(call)
            out.append(r if r[0] != 'ok' or r[1][0] != 'str' else ('ok', 'path'))
        M.init(root_dir=root)
        M.set_task_id(1)
        out.append(outcome(lambda: os.path.isdir(M.mk_root_sub_dir('record'))))
        return out
    for _, h in pool:
        run_both(scenario, TOOLKITS, h)

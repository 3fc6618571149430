"""The modules as shipped: what they need of the system they load on, and
what their wheel holds and does to the framework it is installed beside.

The wheel tests run when BELVANE_WHEEL names the wheel whose modules the
suite imports (scripts/common.sh: test_wheel)."""
import hashlib
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import zipfile

import pytest

import belvane.backtest.model.positions as positions
import belvane.realtrade.model.accounts as accounts
import belvane.tframe.utils.sorvel as sorvel

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MODULES = [sorvel, positions, accounts]
WHEEL = os.environ.get('BELVANE_WHEEL')
needs_wheel = pytest.mark.skipif(not WHEEL, reason='BELVANE_WHEEL names no wheel')

# What the wheels promise (manylinux_2_17): the C library's own parts, and
# no symbol version past GLIBC 2.17.
C_LIBRARY = {'libc.so.6', 'libm.so.6', 'libpthread.so.0', 'libdl.so.2', 'librt.so.1',
             'ld-linux-x86-64.so.2'}


def dynamic_needs(path):
    """(shared libraries needed, {library: [symbol versions]}) by objdump -p."""
    out = subprocess.check_output(['objdump', '-p', path], universal_newlines=True)
    needed = re.findall(r'^\s+NEEDED\s+(\S+)$', out, re.M)
    versions, library = {}, None
    for line in out.partition('Version References:')[2].splitlines():
        m = re.match(r'\s+required from (\S+):$', line)
        if m:
            library = versions.setdefault(m.group(1), [])
        elif library is not None and re.match(r'\s+0x', line):
            library.append(line.split()[-1])
    return needed, versions


@pytest.mark.skipif(shutil.which('objdump') is None, reason='objdump is not installed')
@pytest.mark.parametrize('module', MODULES, ids=lambda m: m.__name__)
def test_a_module_needs_only_the_c_library_up_to_glibc_2_17(module):
    needed, versions = dynamic_needs(module.__file__)
    if any('asan' in lib for lib in needed):
        pytest.skip('sanitizer build')
    assert set(needed) <= C_LIBRARY, needed
    assert set(versions) <= C_LIBRARY, versions
    too_new = [v for vs in versions.values() for v in vs
               if not re.match(r'GLIBC_2\.(\d+)(\.\d+)?$', v) or int(v.split('.')[1]) > 17]
    # Something of the C++ runtime with its exception support was linked in
    # again (native/cxx_runtime.cpp says why that matters), or a libm/libc
    # function of a newer version is called.
    assert not too_new, versions


def wheel_payload():
    """The wheel's files outside its .dist-info, and those inside."""
    with zipfile.ZipFile(WHEEL) as zf:
        names = zf.namelist()
    info = [n for n in names if n.split('/')[0].endswith('.dist-info')]
    return [n for n in names if n not in info], info


@needs_wheel
def test_the_wheel_holds_only_the_modules_their_stubs_and_typing_markers():
    payload, _ = wheel_payload()
    suffix = sysconfig.get_config_var('EXT_SUFFIX')
    expected = []
    for directory, name in (('belvane/tframe/utils', 'sorvel'), ('belvane/backtest/model', 'positions'),
                            ('belvane/realtrade/model', 'accounts')):
        expected += [directory + '/' + name + suffix, directory + '/' + name + '.pyi',
                     directory + '/py.typed']
    assert sorted(payload) == sorted(expected)


@needs_wheel
def test_the_suite_imports_the_modules_installed_from_the_wheel():
    # The modules under test are the wheel's own files in this environment's
    # site-packages, not a build tree's.
    with zipfile.ZipFile(WHEEL) as zf:
        for module in MODULES:
            name = module.__name__.replace('.', '/') + sysconfig.get_config_var('EXT_SUFFIX')
            assert os.path.realpath(module.__file__) == os.path.realpath(
                os.path.join(sysconfig.get_paths()['platlib'], name))
            with open(module.__file__, 'rb') as fh:
                assert fh.read() == zf.read(name)


def snapshot(top):
    """Every file under top: relative path -> sha256 (a link -> its target)."""
    files = {}
    for dirpath, dirnames, filenames in os.walk(top):
        for name in filenames + [d for d in dirnames if os.path.islink(os.path.join(dirpath, d))]:
            path = os.path.join(dirpath, name)
            rel = os.path.relpath(path, top)
            if os.path.islink(path):
                files[rel] = 'link ' + os.readlink(path)
            else:
                with open(path, 'rb') as fh:
                    files[rel] = hashlib.sha256(fh.read()).hexdigest()
    return files


@needs_wheel
def test_installed_beside_the_framework_the_wheel_changes_none_of_its_files(tmp_path):
    # A new environment holding the stand-in framework as a distribution of
    # its own; this interpreter's pip (the one the suite's environment has)
    # installs and uninstalls the wheel there.
    pip = pytest.importorskip('pip', reason='this environment has no pip of its own')
    env_dir, pip_dir = tmp_path / 'env', tmp_path / 'pip'
    subprocess.check_call([sys.executable, '-m', 'venv', '--without-pip', str(env_dir)])
    shutil.copytree(os.path.dirname(pip.__file__), str(pip_dir / 'pip'))
    python = str(env_dir / 'bin' / 'python')
    run_env = dict(os.environ, PYTHONPATH=str(pip_dir), PIP_DISABLE_PIP_VERSION_CHECK='1')

    def pip_run(*args):
        proc = subprocess.run([python, '-m', 'pip'] + list(args), env=run_env,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              universal_newlines=True, timeout=300)
        assert proc.returncode == 0, proc.stdout

    standins = subprocess.check_output(
        [sys.executable, os.path.join(ROOT, 'scripts', 'pack_wheel.py'), 'standins', str(tmp_path)],
        universal_newlines=True).strip()
    pip_run('install', '--no-index', '--no-deps', standins)
    framework = snapshot(str(env_dir))
    assert any(p.endswith(os.path.join('belvane', 'tframe', 'sysclsbase.py')) for p in framework)

    pip_run('install', '--no-index', '--no-deps', WHEEL)
    installed = snapshot(str(env_dir))
    changed = sorted(p for p in framework if installed.get(p) != framework[p])
    assert changed == []
    site = subprocess.check_output([python, '-c', 'import sysconfig; print(sysconfig.get_paths()["platlib"])'],
                                   universal_newlines=True).strip()
    site = os.path.relpath(site, str(env_dir))
    payload, info = wheel_payload()
    added = sorted(p for p in installed if p not in framework)
    assert [p for p in added if '.dist-info' + os.sep not in p] == sorted(
        os.path.join(site, *n.split('/')) for n in payload)
    assert {os.path.relpath(os.path.dirname(p), site) for p in added if '.dist-info' + os.sep in p} == {
        info[0].split('/')[0]}

    pip_run('uninstall', '--yes', 'belvane-core')
    assert snapshot(str(env_dir)) == framework

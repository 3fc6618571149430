"""The built modules as files: self-contained, exporting one symbol each."""
import shutil
import subprocess

import pytest

import belvane.backtest.model.positions as positions
import belvane.realtrade.model.accounts as accounts
import belvane.tframe.utils.sorvel as sorvel


@pytest.mark.skipif(shutil.which('nm') is None, reason='nm is not installed')
@pytest.mark.parametrize('module', [sorvel, positions, accounts], ids=lambda m: m.__name__)
def test_only_the_init_function_is_exported(module):
    out = subprocess.check_output(['nm', '-D', '--defined-only', module.__file__],
                                  universal_newlines=True)
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == ['PyInit_' + module.__name__.rsplit('.', 1)[-1]]


@pytest.mark.skipif(shutil.which('ldd') is None, reason='ldd is not installed')
@pytest.mark.parametrize('module', [sorvel, positions, accounts], ids=lambda m: m.__name__)
def test_no_dependency_on_the_runtime_libraries_of_cxx(module):
    out = subprocess.check_output(['ldd', module.__file__], universal_newlines=True)
    if 'libasan' in out:
        pytest.skip('sanitizer build')
    assert 'libstdc++' not in out

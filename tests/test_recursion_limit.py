"""Every public operation of the three modules, through each branch that
catches an exception, called at each depth up to the recursion limit: the
usual outcome or the host's RecursionError, never a RecursionError turned
into another exception, never an abort. Each group runs in a child process
(recursion_probe.py), so that an abort fails the test, not the run."""
import os
import subprocess
import sys

import pytest

PROBE = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'recursion_probe.py')


@pytest.mark.parametrize('group', ['dicts', 'toolkit', 'sockets', 'positions', 'accounts'])
def test_usual_outcome_or_recursion_error(group):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.run([sys.executable, PROBE, group], env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, universal_newlines=True, timeout=600)
    lines = [l for l in proc.stdout.splitlines() if not l.lstrip().startswith('File ')]
    last = [l for l in lines if l.startswith('probing ')][-1:]
    assert proc.returncode == 0, 'exit status %d after %s:\n%s' % (
        proc.returncode, last, '\n'.join(lines[-15:]))
    faults = [l for l in lines if l.startswith('FAULT')]
    assert not faults, '\n'.join(faults[:20])
    assert lines[-1].endswith(' 0 faults'), lines[-1]

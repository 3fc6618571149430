"""The demo runs from start to end on the stand-ins."""
from conftest import run_python


def test_demo_runs():
    proc = run_python('import runpy; runpy.run_module("belvane", run_name="__main__")')
    assert proc.returncode == 0, proc.stderr
    assert 'Traceback' not in proc.stderr
    assert proc.stdout.count('\n') > 20

import os
import subprocess
import sys

import pytest

# The pure-Python peers (peers/ at the project root) are the oracle of many
# tests and of the benchmarks: `from peers import positions`.
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def run_python(code, *flags, env=None):
    """Runs `code` in a fresh interpreter with the same module path; returns
    the completed process (text output)."""
    full_env = dict(os.environ)
    full_env['PYTHONPATH'] = os.pathsep.join(p for p in sys.path if p)
    if env:
        full_env.update(env)
    return subprocess.run([sys.executable] + list(flags) + ['-c', code], env=full_env,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=120)


def reference_function(signature, qualname):
    """An ordinary Python function with the given parameter list and
    __qualname__: the host's own argument errors for that signature."""
    name = qualname.rsplit('.', 1)[-1]
    scope = {}
    exec('def %s(%s):\n    return None\n' % (name, signature), scope)
    f = scope[name]
    f.__qualname__ = qualname
    return f


def call_error(fn, args, kwargs):
    try:
        fn(*args, **kwargs)
    except TypeError as e:
        return str(e)
    return None


@pytest.fixture
def same_argument_errors():
    """Asserts that `native` rejects each call exactly as a Python function of
    `signature` would, message included (`bound_to`: compare as methods
    bound to that object). Calls are (args, kwargs) pairs that
    the reference function rejects."""
    def check(native, signature, qualname, calls, bound_to=None):
        ref = reference_function(signature, qualname)
        if bound_to is not None:
            ref = ref.__get__(bound_to)
        for args, kwargs in calls:
            expected = call_error(ref, args, kwargs)
            assert expected is not None, (args, kwargs)
            assert call_error(native, args, kwargs) == expected, (args, kwargs)
    return check

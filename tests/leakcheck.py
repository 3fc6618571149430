"""Reference-leak checks that work on release builds.

`assert_no_leak(fn)` calls `fn` in rounds after a warm-up and fails when the
interpreter's count of allocated memory blocks keeps growing: a leaked
reference per call shows as at least one block per call. Caches that fill on
first use (method caches, interned names, free lists) settle in the warm-up.
Expected exceptions are given as `raises`; any other escapes.
"""
import gc
import sys

import pytest

# Without the interpreter's own allocator (PYTHONMALLOC=malloc, as in the
# sanitizer run) there is no block count to watch.
USABLE = sys.getallocatedblocks() > 0


def blocks():
    gc.collect()
    return sys.getallocatedblocks()


def assert_no_leak(fn, raises=(), calls=2000, rounds=3, slack=None):
    """Fails when each of up to `2 * rounds` rounds of `calls` calls grows by
    more than `slack` blocks. A leak grows every round; the interpreter's own
    caches (free lists, specialised code, the collector's generations after a
    long test session) may grow in a few rounds, then settle, so the check stops
    at the first round that stays within the slack."""
    if not USABLE:
        pytest.skip('no allocated-block count with this allocator')
    def run(n):
        for _ in range(n):
            try:
                fn()
            except raises:
                pass

    run(max(calls // 4, 50))
    if slack is None:
        slack = max(calls // 20, 10)
    growth = []
    for _ in range(2 * rounds):
        before = blocks()
        run(calls)
        growth.append(blocks() - before)
        if growth[-1] <= slack:
            return growth
    raise AssertionError('allocated blocks grew by %r over %d calls per round' % (growth, calls))

"""Run as a program (`python recursion_probe.py GROUP`): calls each operation
of a group of call tables at every depth from 70 frames below the recursion
limit up to it, recursing one frame further after each call as code that
catches the operation's usual exception and goes on would. Prints one
"FAULT" line for every outcome that is neither the operation's usual one
(its result type, or its exception's type and text) nor the host's
RecursionError, and for a usual exception that carries a RecursionError in
its context: a swallowed RecursionError. CPython 3.6 and 3.7 stop checking
the depth after the first RecursionError until the stack unwinds, so there a
swallowed one ends in "Cannot recover from stack overflow" instead: the
process aborts, and the last "probing" line names the operation."""
import contextlib
import os
import pathlib
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.dirname(HERE))

import call_tables  # noqa: E402


class Patch(object):
    """The part of pytest's monkeypatch the call tables use."""

    def __init__(self):
        self.undo_list = []

    def setattr(self, obj, name, value):
        self.undo_list.append((obj, name, getattr(obj, name)))
        setattr(obj, name, value)

    def delattr(self, obj, name):
        self.undo_list.append((obj, name, getattr(obj, name)))
        delattr(obj, name)

    @contextlib.contextmanager
    def context(self):
        inner = Patch()
        try:
            yield inner
        finally:
            inner.undo()

    def undo(self):
        while self.undo_list:
            obj, name, value = self.undo_list.pop()
            setattr(obj, name, value)


def groups(patch, tmp):
    t = call_tables
    return {
        'dicts': lambda: t.dict_calls() + t.endless_pickle_calls() + t.registered_name_calls(),
        'toolkit': lambda: (t.timer_calls(patch) + t.status_calls(patch) + t.range_calls() +
                            t.files_calls(patch, tmp) + t.loader_calls(patch, tmp)),
        'sockets': lambda: t.socket_calls(patch) + t.connect_calls(patch),
        'positions': lambda: t.positions_calls(patch),
        'accounts': lambda: t.accounts_calls(patch),
    }


def depth():
    f, n = sys._getframe(1), 0
    while f is not None:
        f, n = f.f_back, n + 1
    return n


def call(op, stop=RecursionError):
    try:
        return ('ok', op())
    except stop:
        raise
    except BaseException as e:
        return ('raise', e)


def walk(level, start, op, seen):
    if level >= start:
        try:
            outcome = call(op)
        except RecursionError:
            return
        seen.append((level, outcome))
        if outcome[0] == 'raise' and swallowed(outcome[1]):
            # Going deeper would end in an abort on 3.6 and 3.7, which
            # tells no more than this outcome does.
            return
    walk(level + 1, start, op, seen)


def picture(outcome):
    kind, v = outcome
    if kind == 'ok':
        return ('ok', type(v).__name__)
    return ('raise', type(v).__name__, str(v))


def swallowed(e):
    seen = set()
    while e is not None and id(e) not in seen:
        seen.add(id(e))
        if isinstance(e, RecursionError):
            return True
        e = e.__cause__ or e.__context__
    return False


# Operations whose Python code drops a RecursionError itself: a `finally`
# whose hook raises (the base class's hooks raise NotImplementedError)
# replaces the pending exception.
REPLACED_IN_PYTHON = {'disconnect hook'}


def probe(name, op):
    print('probing', name, flush=True)
    usual = picture(call(op, stop=()))
    seen = []
    start = sys.getrecursionlimit() - depth() - 70
    try:
        walk(0, start, op, seen)
    except RecursionError:
        pass
    faults = 0
    for level, outcome in seen:
        p = picture(outcome)
        dropped = outcome[0] == 'raise' and swallowed(outcome[1])
        if p != usual or (dropped and name not in REPLACED_IN_PYTHON):
            print('FAULT %s, %d frames below the limit: %r (usually %r)' % (
                name, start + 70 - level, p, usual), flush=True)
            faults += 1
    return len(seen), faults


def main(group):
    patch = Patch()
    tmp = pathlib.Path(tempfile.mkdtemp())
    try:
        ops = groups(patch, tmp)[group]()
        calls = faults = 0
        for name, op in ops:
            c, f = probe(name, op)
            calls, faults = calls + c, faults + f
        print('%d operations, %d calls near the limit, %d faults' % (len(ops), calls, faults))
    finally:
        patch.undo()
        import shutil
        shutil.rmtree(str(tmp), ignore_errors=True)


if __name__ == '__main__':
    main(sys.argv[1])

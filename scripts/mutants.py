#!/usr/bin/env python3
"""Deliberate faults in the native sources, one at a time: each is built and
the suite is run against it (stopping at the first failure). A fault the
suite does not notice marks a gap in the tests.

    python3 scripts/mutants.py [--only ID,...] [--timeout S] [--out FILE]
    python3 scripts/mutants.py --check      # every fault still applies

The sources are changed in place and restored after each fault, also on
Ctrl-C; run it on a checkout you are not editing (a copy made with
`git archive HEAD | tar -x -C DIR` does), since the build directory
($BELVANE_BUILD_DIR, default build/) gets a tree `mutants` of its own.
A crash or a timeout of the suite counts as caught."""
import argparse
import os
import re
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# (id, file, exact old text, new text, the bug it models). Every old text
# must occur exactly once in its file. `hint`: test files whose names hold
# it run first, so that a caught fault is caught early.
MUTANTS = [
    # ---- toolkit ----------------------------------------------------------
    ('rr-touch', 'native/sorvel/range_record.cpp',
     'int c = p.cmp(before, last_end, Py_LE);',
     'int c = p.cmp(start, last_end, Py_LE);',
     'off by one: touching int ranges are not merged', 'range'),
    ('rr-nan-key', 'native/sorvel/range_record.cpp',
     '(sort_keys && lo_v != lo_v)', '(sort_keys && false)',
     'missing NaN check: NaN starts sorted in C', 'range'),
    ('rr-safe-int', 'native/sorvel/range_record.cpp',
     'return !overflow && v >= -kSafeInt && v <= kSafeInt;', 'return !overflow;',
     'missing range check: stepping a bound near the 64-bit limit overflows', 'range'),
    ('rr-diff-keep', 'native/sorvel/range_record.cpp',
     'int c = p.cmp(a, ss, Py_LE);',
     'int c = p.cmp(a, ss, Py_LT);',
     'wrong comparison: a recorded range starting at the cut start is not skipped', 'range'),
    ('timer-leap', 'native/sorvel/simple_timer.cpp',
     '(m > 2 && leap)', '(m >= 2 && leap)',
     'off by one: February of a leap year counts the leap day', 'timer'),
    ('timer-nan', 'native/sorvel/simple_timer.cpp',
     'if (!(d > -9.0e18 && d < 9.0e18)) return false;',
     'if (d <= -9.0e18 || d >= 9.0e18) return false;',
     'missing NaN check on a float time', 'timer'),
    ('status-year', 'native/sorvel/status_collect.cpp',
     'if (year >= 1000 && year <= 9999) {', 'if (year >= 1 && year <= 9999) {',
     'wrong bound: years below 1000 padded where strftime does not', 'status'),
    ('socket-tries', 'native/sorvel/socket_base.cpp',
     'PyObject_RichCompare(tries.get(), try_times, Py_LT)',
     'PyObject_RichCompare(tries.get(), try_times, Py_LE)',
     'off by one: one receive attempt too many', 'socket'),
    ('socket-done', 'native/sorvel/socket_base.cpp',
     'PyObject_RichCompare(got.get(), want.get(), Py_GE)',
     'PyObject_RichCompare(got.get(), want.get(), Py_GT)',
     'wrong comparison: an exact-length receive is not complete', 'socket'),
    ('mac-slice', 'native/sorvel/mac_address.cpp',
     'n >= 12 ? n - 12 : 0', 'n >= 12 ? n - 11 : 0',
     'off by one in the address slice', 'mac'),
    ('dotdict-str', 'native/sorvel/dot_dict.cpp',
     '"\\t%R:%R,"', '"\\t%S:%R,"',
     'str instead of repr of the keys in the text form', 'dot_dict'),
    ('ofm-root', 'native/sorvel/output_file_manager.cpp',
     'if (below && PyList_GET_SIZE(list.get()) > 1) {',
     'if (below && PyList_GET_SIZE(list.get()) > 2) {',
     'off by one: a path one level under the top is not recognised', 'output'),
    # ---- positions --------------------------------------------------------
    ('fut-short-rate', 'native/positions/future_position.cpp',
     'Num short_rate = e.env_call(n_get_margin_rate, st.int_one);',
     'Num short_rate = e.env_call(n_get_margin_rate, st.int_zero);',
     'wrong argument to the environment for the short margin rate', 'position'),
    ('fut-fpnl-sign', 'native/positions/future_position.cpp',
     'e.round(e.sub(e.add(carried, ts.cost.num()), short_value))',
     'e.round(e.sub(short_value, e.add(carried, ts.cost.num())))',
     'reversed sign of the short floating profit', 'position'),
    ('fut-volume-side', 'native/positions/future_position.cpp',
     'int is_short = side_is(fn, args[1], n_POSITIONSIDE_SHORT);',
     'int is_short = side_is(fn, args[1], n_POSITIONSIDE_LONG);',
     'wrong key: the volume of the other side', 'position'),
    ('stock-mv-type', 'native/positions/stock_position.cpp',
     'return is_long < 0 ? nullptr : bv::new_ref(st.float_zero);',
     'return is_long < 0 ? nullptr : bv::new_ref(st.int_zero);',
     'wrong type: 0 where the peer gives 0.0', 'position'),
    ('stock-frozen', 'native/positions/stock_position.cpp',
     'then(total, Op::Add, frozen.get())', 'then(total, Op::Subtract, frozen.get())',
     'reversed sign of the frozen volume', 'position'),
    ('pos-round', 'native/positions/common.hpp',
     'Num shifted = add(scaled, Num::of(st_.float_half));', 'Num shifted = scaled;',
     'wrong rounding (truncation) on the general path', 'position'),
    # ---- accounts ---------------------------------------------------------
    ('acc-nan-float', 'native/accounts/helpers.cpp',
     'return std::isnan(PyFloat_AS_DOUBLE(stamp)) ? 1 : 0;', 'return 0;',
     'missing NaN check on a float stamp', 'account'),
    ('acc-below-len', 'native/accounts/helpers.cpp',
     'return i < (long long)n;', 'return i <= (long long)n;',
     'off by one: the index one past the end is accepted', 'account'),
    ('acc-not-neg', 'native/accounts/helpers.cpp',
     'return overflow ? overflow > 0 : i >= 0;', 'return overflow ? overflow > 0 : i > 0;',
     'wrong comparison: index 0 is refused', 'account'),
    ('acc-stamp-leak', 'native/accounts/helpers.cpp',
     'PyList_SET_ITEM(one.get(), 0, bv::new_ref(stamp));',
     'Py_INCREF(stamp); PyList_SET_ITEM(one.get(), 0, bv::new_ref(stamp));',
     'reference leak of every converted stamp', 'account'),
    ('acc-template-nan', 'native/accounts/position_records.cpp',
     '{n_AvailableTodayLong, Fill::NaN},', '{n_AvailableTodayLong, Fill::Zero},',
     'wrong default in the position template', 'account'),
    ('acc-short-key', 'native/accounts/position_records.cpp',
     '{n_order_frozen_today, n_OrderFrozenTodayShort},',
     '{n_order_frozen_today, n_OrderFrozenTodayLong},',
     'wrong key: the short record reads a long figure', 'account'),
    ('acc-created-swap', 'native/accounts/position_records.cpp',
     '!set_item(r, name(fn, n_create_long), times[1].get()) ||',
     '!set_item(r, name(fn, n_create_long), times[2].get()) ||',
     'swapped arguments: the long side gets the short creation time', 'account'),
    # ---- runtime ----------------------------------------------------------
    ('rt-round', 'native/runtime/number.hpp',
     'double shifted = scaled + 0.5;', 'double shifted = scaled + 0.49999;',
     'wrong rounding of halves on the fast path', 'position'),
    ('rt-unpack-many', 'native/runtime/unpack.cpp',
     'if (n > 2) raise_too_many(2);', 'if (n > 3) raise_too_many(2);',
     'wrong comparison: three items reported as too few', 'hostile'),
    ('rt-unpack-err', 'native/runtime/unpack.cpp',
     '    if (PyErr_Occurred() && !swallow(PyExc_StopIteration)) return false;\n'
     '    a = std::move(first);',
     '    a = std::move(first);',
     'dropped error check: an iterator failing at its end is taken as exhausted', 'hostile'),
    ('rt-too-many', 'native/runtime/function.cpp',
     'if (nargs > npos && !f->has_varargs) {', 'if (nargs > npos + 1 && !f->has_varargs) {',
     'off by one: one surplus argument is accepted', 'runtime'),
    ('rt-default-leak', 'native/runtime/function.cpp',
     'owned[i] = Ref::borrow(d);', 'Py_INCREF(d); owned[i] = Ref::borrow(d);',
     'reference leak of a default value per call', 'leak'),
    ('rt-keyerror-tuple', 'native/runtime/ops.cpp',
     'if (args) PyErr_SetObject(PyExc_KeyError, args.get());',
     'if (args) PyErr_SetObject(PyExc_KeyError, key);',
     'wrong exception argument for a tuple key', 'dot_dict'),
]

# Tests about packaging only: they cannot see a fault in behaviour.
DESELECT = ['tests/test_packaging.py', 'tests/test_build.py']


def check():
    bad = []
    ids = set()
    for m in MUTANTS:
        ident, path, old = m[0], m[1], m[2]
        if ident in ids:
            bad.append('%s: duplicate id' % ident)
        ids.add(ident)
        with open(os.path.join(ROOT, path)) as f:
            n = f.read().count(old)
        if n != 1:
            bad.append('%s: the old text occurs %d times in %s' % (ident, n, path))
    return bad


class Interrupted(Exception):
    pass


def _on_signal(signum, frame):
    raise Interrupted(signum)


def run(cmd, timeout=None, **kw):
    """(return code or 'timeout', output); the whole process group goes on
    timeout or interruption."""
    p = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         universal_newlines=True, start_new_session=True, **kw)
    try:
        out, _ = p.communicate(timeout=timeout)
        return p.returncode, out
    except subprocess.TimeoutExpired:
        os.killpg(p.pid, signal.SIGKILL)
        out, _ = p.communicate()
        return 'timeout', out
    except BaseException:
        os.killpg(p.pid, signal.SIGKILL)
        p.wait()
        raise


class Tree(object):
    def __init__(self, python, build_dir):
        self.python = python
        self.dir = os.path.join(build_dir, 'mutants')
        self.site = os.path.join(self.dir, 'site')
        venv = os.environ.get('BELVANE_VENV_DIR', os.path.join(ROOT, '.venv'))
        self.tools = os.path.join(venv, 'default', 'bin')
        self.env = dict(os.environ, BELVANE_BUILD_DIR=build_dir)

    def configure(self):
        rc, out = run(['bash', '-c', 'source scripts/common.sh; build mutants "$1"', '-',
                       self.python], cwd=ROOT, env=self.env)
        if rc != 0:
            sys.exit('the unchanged sources do not build:\n' + out[-3000:])

    def rebuild(self):
        rc, out = run([os.path.join(self.tools, 'cmake'), '--build', self.dir])
        if rc == 0:
            rc, out2 = run([os.path.join(self.tools, 'cmake'), '--install', self.dir,
                            '--prefix', self.site])
            out += out2
        return rc == 0, out

    def suite(self, hint, timeout):
        tests = os.path.join(ROOT, 'tests')
        first = sorted(os.path.join(tests, f) for f in os.listdir(tests)
                       if f.startswith('test_') and f.endswith('.py') and hint and hint in f)
        cmd = [self.python, '-m', 'pytest', '-p', 'no:cacheprovider', '-q', '-x', '-rfE',
               '-o', 'faulthandler_timeout=%d' % max(timeout - 10, 10)]
        for d in DESELECT:
            cmd += ['--ignore', os.path.join(ROOT, d)]
        env = dict(self.env, PYTHONPATH=self.site)
        start = time.time()
        rc, out = run(cmd + first + [tests], timeout=timeout, cwd=ROOT, env=env)
        return rc, out, time.time() - start


FAILED = re.compile(r'^(?:FAILED|ERROR) (\S+)', re.M)
CRASH_AT = re.compile(r'File "[^"]*/(tests/[^"]+\.py)", line \d+ in (test_\w+)')


def verdict(rc, out):
    if rc == 'timeout':
        return 'caught', 'timeout'
    if rc == 0:
        return 'survived', ''
    if isinstance(rc, int) and rc < 0:
        where = CRASH_AT.findall(out)
        return 'caught', 'crash (signal %d)%s' % (
            -rc, ' in %s::%s' % where[-1] if where else '')
    if rc in (1, 2):
        m = FAILED.search(out)
        return 'caught', m.group(1) if m else out.strip().splitlines()[-1]
    return 'error', 'pytest exit %s: %s' % (rc, out.strip().splitlines()[-1:])


def main():
    ap = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    ap.add_argument('--check', action='store_true', help='only check that every fault applies')
    ap.add_argument('--only', help='comma-separated ids')
    ap.add_argument('--timeout', type=int, default=420, help='seconds per suite run')
    ap.add_argument('--python', default=sys.executable)
    ap.add_argument('--no-baseline', action='store_true',
                    help='skip the run of the suite on the unchanged sources')
    ap.add_argument('--out', help='also write the table to this file')
    args = ap.parse_args()

    bad = check()
    if bad or args.check:
        print('\n'.join(bad) or 'all %d faults apply' % len(MUTANTS))
        return 1 if bad else 0
    chosen = MUTANTS
    if args.only:
        wanted = args.only.split(',')
        chosen = [m for m in MUTANTS if m[0] in wanted]

    signal.signal(signal.SIGTERM, _on_signal)
    tree = Tree(args.python, os.environ.get('BELVANE_BUILD_DIR', os.path.join(ROOT, 'build')))
    tree.configure()
    if not args.no_baseline:
        rc, out, took = tree.suite(None, args.timeout)
        if rc != 0:
            sys.exit('the suite fails on the unchanged sources:\n' + out[-3000:])
        print('baseline: suite passes (%.0f s)' % took, flush=True)

    rows = []
    try:
        for ident, path, old, new, what, hint in chosen:
            full = os.path.join(ROOT, path)
            with open(full) as f:
                original = f.read()
            try:
                with open(full, 'w') as f:
                    f.write(original.replace(old, new, 1))
                built, log = tree.rebuild()
                if not built:
                    row = (ident, 'no build', log.strip().splitlines()[-1][:100], 0)
                else:
                    rc, out, took = tree.suite(hint, args.timeout)
                    row = (ident,) + verdict(rc, out) + (took,)
            finally:
                # A new modification time: the next build compiles it again.
                with open(full, 'w') as f:
                    f.write(original)
            rows.append(row + (what,))
            print('%-18s %-9s %4.0fs  %s' % (row[0], row[1], row[3], row[2]), flush=True)
    except (KeyboardInterrupt, Interrupted):
        print('interrupted; sources restored', file=sys.stderr)
    finally:
        tree.rebuild()

    lines = ['%-18s %-9s %s' % ('mutant', 'verdict', 'first failing test'), '-' * 60]
    lines += ['%-18s %-9s %s' % (r[0], r[1], r[2]) for r in rows]
    caught = sum(r[1] == 'caught' for r in rows)
    lines.append('%d of %d caught' % (caught, len(rows)))
    print('\n'.join(lines))
    if args.out:
        with open(args.out, 'w') as f:
            f.write('\n'.join(lines) + '\n')
    return 0


if __name__ == '__main__':
    sys.exit(main())

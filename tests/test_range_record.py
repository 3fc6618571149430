# -*- coding: utf-8 -*-
import sys

import pytest
from hypothesis import given, settings, strategies as st

from belvane.tframe.utils import sorvel
from conftest import reference_function, run_python
from hostile_support import INT_VALUES, Boom
from outcomes import canon, outcome, run_both
from peers import sorvel_stats as peer
from toolkit_support import TOOLKITS

NATIVE = sorvel.RangeRecord
PEER = peer.RangeRecord
STEP10 = staticmethod(lambda v, d: v + 10 * d)


@pytest.fixture(params=['native', 'peer'])
def R(request):
    return NATIVE if request.param == 'native' else PEER


def covered(ranges):
    return {v for s, e in ranges for v in range(s, e + 1)}


# ---- the worked examples ----------------------------------------------------

@pytest.mark.parametrize('method, args, expected', [
    ('comb_record', ([],), []),
    ('comb_record', ([(5, 7), (1, 3), (4, 4)],), [(1, 7)]),
    ('comb_record', ([(1, 10), (2, 3)],), [(1, 10)]),
    ('comb_record', ([(1, 3), (5, 6)],), [(1, 3), (5, 6)]),
    ('diff_record', ([], 3, 8), [(3, 8)]),
    ('diff_record', ([(3, 5), (8, 9)], 1, 10), [(1, 2), (6, 7), (10, 10)]),
    ('diff_record', ([(1, 10)], 3, 5), []),
    ('diff_record', ([(3, 5)], 4, 10), [(6, 10)]),
    ('diff_record', ([(30, 50)], 0, 100), [(0, 29), (51, 100)]),
    ('diff_record', ([(30, 50)], 0, 100, STEP10.__func__), [(0, 20), (60, 100)]),
    ('sub_record', ([(1, 10)], 3, 5), [(1, 2), (6, 10)]),
    ('sub_record', ([(1, 3), (5, 8)], 2, 6), [(1, 1), (7, 8)]),
    ('sub_record', ([(1, 3)], 0, 1), [(2, 3)]),
    ('sub_record', ([(1, 3), (5, 8)], 4, 4), [(1, 3), (5, 8)]),
    ('sub_record', ([], 1, 2), []),
    ('sub_record', ([(0, 100)], 30, 50, STEP10.__func__), [(0, 20), (60, 100)]),
    ('comb_record', ([(1.5, 2.0), (0.5, 1.0), (2.5, 3.0)],), [(0.5, 3.0)]),
    ('sub_record', ([(1.0, 10.0)], 3.0, 5.0), [(1.0, 2.0), (6.0, 10.0)]),
])
def test_examples(R, method, args, expected):
    result = getattr(R, method)(*args)
    assert result == expected
    assert repr(result) == repr(expected)  # ints stay ints, floats floats


def test_comb_sorts_the_callers_list_and_keeps_objects(R):
    a, b, c = (5, 7), [1, 3], (4, 4)
    records = [a, b, c]
    result = R.comb_record(records)
    assert records == [[1, 3], (4, 4), (5, 7)] and records[0] is b
    assert result == [(1, 7)] and type(result[0]) is tuple
    assert R.comb_record([b])[0] is b  # taken over unchanged
    first = (1, 2)
    assert R.comb_record([first, (1, 1), (4, 5)])[0] is first
    assert R.comb_record([]) is not R.comb_record([])


def test_sort_is_stable_on_equal_starts(R):
    x, y, z = (2, 9), (2, 3), (2, 5)
    records = [x, (1, 1), y, z]
    assert R.comb_record(records) == [(1, 9)]
    assert records[1:] == [x, y, z] and records[1] is x


def test_object_methods_keep_one_live_list(R):
    r = R()
    assert list(vars(r)) == ['_raw_record', '_record']
    r.add_range('a', 1, 3)
    r.add_range('a', 4, 6)
    live = r.record('a')
    assert live == [(1, 6)]
    r.sub_range('a', 2, 2)
    assert live == [(1, 1), (3, 6)] and r.record('a') is live
    assert r._raw_record['a'] == [(1, 1), (3, 6)]
    assert r.record('x') == [] and 'x' not in r._record and 'x' not in r._raw_record
    r.sub_range('new', 1, 2)
    assert r.record('new') == [] and 'new' in r._raw_record and 'new' in r._record


@pytest.mark.parametrize('method', ['add_range', 'sub_range'])
@pytest.mark.parametrize('s, e, text', [(5, 3, 'error, 5 > 3'), (2.5, 1, 'error, 2.5 > 1'),
                                        ('b', 'a', 'error, b > a')])
def test_inverted_range_is_refused(R, method, s, e, text):
    r = R()
    r.add_range('n', 0, 1)
    with pytest.raises(AssertionError) as info:
        getattr(r, method)('n', s, e)
    assert str(info.value) == text and info.value.args == (text,)
    assert r.record('n') == [(0, 1)] and r._raw_record['n'] == [(0, 1)]


def test_inverted_range_is_refused_with_assertions_disabled():
    code = ('from belvane.tframe.utils import sorvel\n'
            'from peers import sorvel_stats\n'
            'assert False, "asserts still on"\n'
            'for R in (sorvel.RangeRecord, sorvel_stats.RangeRecord):\n'
            '    r = R()\n'
            '    for m in (r.add_range, r.sub_range):\n'
            '        try:\n'
            '            m("n", 5, 3)\n'
            '        except AssertionError as exc:\n'
            '            print(exc)\n'
            '    print(r.record("n"))\n')
    out = run_python(code, '-O')
    assert out.returncode == 0, out.stderr
    assert out.stdout.split('\n') == ['error, 5 > 3', 'error, 5 > 3', '[]'] * 2 + ['']


def test_class_methods_take_keywords():
    assert NATIVE.diff_record(records=[], s=1, e=2, increment_func=None) == [(1, 2)]


# ---- properties -------------------------------------------------------------

int_ranges = st.lists(st.tuples(st.integers(-30, 30), st.integers(0, 12)).map(
    lambda p: (p[0], p[0] + p[1])), max_size=12)
window = st.tuples(st.integers(-40, 40), st.integers(0, 30)).map(lambda p: (p[0], p[0] + p[1]))


@settings(max_examples=300, deadline=None)
@given(int_ranges, window)
def test_set_semantics(records, w):
    s, e = w
    have = covered(records)
    merged = NATIVE.comb_record(list(records))
    assert covered(merged) == have
    for a, b in zip(merged, merged[1:]):
        assert a[0] <= a[1] and a[1] + 1 < b[0]  # sorted, disjoint, not adjacent
    sub = NATIVE.sub_record(list(records), s, e)
    assert covered(sub) == have - set(range(s, e + 1))
    assert NATIVE.comb_record(list(sub)) == sub
    diff = NATIVE.diff_record(list(records), s, e)
    assert covered(diff) == set(range(s, e + 1)) - have
    assert NATIVE.comb_record(list(diff)) == diff


@settings(max_examples=100, deadline=None)
@given(st.lists(st.tuples(st.booleans(), window), max_size=15))
def test_object_matches_set_model(ops):
    r, model, lists = NATIVE(), set(), set()
    for add, (s, e) in ops:
        (r.add_range if add else r.sub_range)('k', s, e)
        model = model | set(range(s, e + 1)) if add else model - set(range(s, e + 1))
        assert covered(r.record('k')) == model
        lists.add(id(r.record('k')))
    assert len(lists) <= 1


# ---- native versus the pure-Python peer ---------------------------------------

big = st.sampled_from([2 ** 62, -2 ** 62, 2 ** 62 + 1, 2 ** 63, -2 ** 63 - 1, 2 ** 80])
bound = st.one_of(st.integers(-20, 20), st.integers(-20, 20), big,
                  st.floats(-20, 20).map(lambda f: round(f * 2) / 2),
                  st.floats(allow_nan=True, allow_infinity=True), st.just(True))
int_bound = st.one_of(st.integers(-20, 20), big)
pair = st.one_of(st.tuples(bound, bound), st.tuples(int_bound, int_bound),
                 st.tuples(st.integers(-9, 9), st.integers(-9, 9)).map(list),
                 st.tuples(st.integers(-9, 9), st.integers(-9, 9), st.integers()))
range_lists = st.lists(pair, max_size=10)
increment = st.sampled_from([None, lambda v, d: v + 3 * d, lambda v, d: v - d])


def differential(method, records, *args):
    mine, theirs = list(records), list(records)
    got = outcome(lambda: getattr(NATIVE, method)(mine, *args))
    want = outcome(lambda: getattr(PEER, method)(theirs, *args))
    assert got == want
    assert [id(x) for x in mine] == [id(x) for x in theirs]


@settings(max_examples=300, deadline=None)
@given(range_lists)
def test_comb_matches_peer(records):
    differential('comb_record', records)


@settings(max_examples=300, deadline=None)
@given(range_lists, bound, bound, increment)
def test_diff_and_sub_match_peer(records, s, e, inc):
    differential('diff_record', records, s, e, inc)
    differential('sub_record', records, s, e, inc)


@settings(max_examples=150, deadline=None)
@given(st.lists(st.tuples(st.integers(-9, 9), st.integers(0, 5)).map(
    lambda p: (p[0], p[0] + p[1])), max_size=8), st.integers(-12, 12), st.integers(-12, 12))
def test_int_windows_match_peer(records, s, e):
    differential('diff_record', records, s, e)
    differential('sub_record', records, s, e)


float_bound = st.one_of(st.floats(-20, 20).map(lambda f: round(f * 2) / 2),
                        st.floats(allow_nan=True, allow_infinity=True),
                        st.sampled_from([0.0, -0.0, 2.0 ** 53, 2.0 ** 53 + 2]))


@settings(max_examples=200, deadline=None)
@given(st.lists(st.tuples(float_bound, float_bound), max_size=10), float_bound, float_bound)
def test_float_ranges_match_peer(records, s, e):
    differential('comb_record', records)
    differential('diff_record', records, s, e)
    differential('sub_record', records, s, e)


# ---- overrides and hostile values --------------------------------------------

def test_class_methods_reach_each_other_through_cls(R):
    calls = []

    class Sub(R):
        @classmethod
        def _do_increment_func(cls, increment_func, *args):
            calls.append(args)
            return super(Sub, cls)._do_increment_func(increment_func, *args)

        @classmethod
        def comb_record(cls, records):
            calls.append('comb')
            return super(Sub, cls).comb_record(records)

    assert Sub.diff_record([(3, 5)], 1, 10) == [(1, 2), (6, 10)]
    assert calls == ['comb', (3, -1), (5, 1)]
    del calls[:]
    assert Sub.sub_record([(1, 10)], 3, 5) == [(1, 2), (6, 10)]
    assert calls == ['comb', (3, -1), (5, 1), (1, -1), (10, 1)]


def test_rebinding_the_stepping_on_the_class_takes_effect(R, monkeypatch):
    monkeypatch.setattr(R, '_do_increment_func', classmethod(lambda cls, f, v, d: v + 100 * d))
    assert R.diff_record([(300, 500)], 0, 1000) == [(0, 200), (600, 1000)]


def test_methods_reach_each_other_through_self(R):
    class Sub(R):
        def sub_record(self, records, s, e, increment_func=None):
            return [('sub', s, e)]

        def comb_record(self, records):
            return list(reversed(records))

    r = Sub()
    r.add_range('a', 1, 2)
    r.add_range('a', 5, 6)
    assert r.record('a') == [(5, 6), (1, 2)]
    r.sub_range('a', 3, 4)
    assert r.record('a') == [('sub', 3, 4)]
    r.__dict__['_calc_record'] = lambda name: None
    r.add_range('a', 7, 8)
    assert r.record('a') == [('sub', 3, 4)]


def test_do_increment_func(R):
    assert R._do_increment_func(None, 5, 1) == 6
    assert R._do_increment_func(None, 5.5, -1) == 4.5
    assert R._do_increment_func(lambda *a: a, 1, 2, 3) == (1, 2, 3)
    with pytest.raises(IndexError, match='tuple index out of range'):
        R._do_increment_func(None, 5)


class Hostile(object):
    def __init__(self, v, fail=()):
        self.v, self.fail = v, fail

    def _check(self, op):
        if op in self.fail:
            raise Boom(op)

    def __lt__(self, o):
        self._check('lt')
        return self.v < getattr(o, 'v', o)

    def __le__(self, o):
        self._check('le')
        return self.v <= getattr(o, 'v', o)

    def __gt__(self, o):
        self._check('gt')
        return self.v > getattr(o, 'v', o)

    def __ge__(self, o):
        self._check('ge')
        return self.v >= getattr(o, 'v', o)

    def __sub__(self, o):
        self._check('sub')
        return Hostile(self.v - o, self.fail)

    def __add__(self, o):
        self._check('add')
        return Hostile(self.v + o, self.fail)

    def __repr__(self):
        return 'H(%r)' % (self.v,)


@pytest.mark.parametrize('fail', ['lt', 'le', 'gt', 'sub', 'add'])
@pytest.mark.parametrize('method, args', [
    ('comb_record', ()), ('diff_record', (0, 20)), ('sub_record', (2, 12)),
    ('diff_record', (0, 20, lambda v, d: v + d)), ('sub_record', (4, 5, lambda v, d: v + d)),
])
def test_hostile_bounds_raise_like_the_peer(fail, method, args):
    def make():
        return [(Hostile(5, fail), Hostile(9, fail)), (Hostile(1, fail), Hostile(3, fail)),
                (Hostile(11, fail), Hostile(14, fail))]

    got = outcome(lambda: getattr(NATIVE, method)(make(), *args))
    want = outcome(lambda: getattr(PEER, method)(make(), *args))
    assert got == want


@pytest.mark.parametrize('method, args', [('diff_record', (0, 20)), ('sub_record', (2, 12))])
def test_increment_function_errors_propagate(R, method, args):
    def inc(v, d):
        raise Boom(v)

    with pytest.raises(Boom):
        getattr(R, method)([(1, 3), (5, 9)], *args, increment_func=inc)


@pytest.mark.parametrize('records', [
    [(1, 2), ('a', 'b')], [(1, 2), (None, 3)], [5, (1, 2)], [(), (1, 2)], [(1,), (0, 2)],
    [(1, 2), (3,)], [(1, 2), {0: 4, 1: 6}], 7, None, [(object(), 1)], [(1, 2), (3.5, 2 ** 80)],
])
def test_bad_ranges_fail_like_the_peer(records):
    for method, args in [('comb_record', ()), ('diff_record', (0, 9)), ('sub_record', (0, 9))]:
        mine = list(records) if isinstance(records, list) else records
        theirs = list(records) if isinstance(records, list) else records
        assert outcome(lambda: getattr(NATIVE, method)(mine, *args)) == \
            outcome(lambda: getattr(PEER, method)(theirs, *args))


def test_bounds_without_subtraction_give_the_hosts_type_error(R):
    with pytest.raises(TypeError, match='unsupported operand'):
        R.comb_record([('a', 'b'), ('c', 'd')])
    assert R.comb_record([('a', 'b')]) == [('a', 'b')]


def test_list_mutated_during_the_merge():
    # The merge walks the slice it took, as Python does, whatever the bounds
    # do to the caller's list meanwhile.
    def run(R):
        records = []

        class Evil(int):
            def __le__(self, o):
                del records[:]
                records.append((0, 0))
                return int(self) <= o

        records.extend([(Evil(1), 2), (Evil(3), 4), (Evil(6), 7)])
        out = R.comb_record(records)
        return repr(out), repr(records)

    assert run(NATIVE) == run(PEER)


def test_sort_key_is_a_native_lambda():
    seen = []

    class Records(list):
        def sort(self, key=None):
            seen.append(key)
            return list.sort(self, key=key)

    assert NATIVE.comb_record(Records([(3, 4), (1, 2)])) == [(1, 4)]
    assert seen[0].__name__ == '<lambda>'
    assert seen[0].__qualname__ == 'RangeRecord.comb_record.<locals>.<lambda>'
    assert seen[0]((7, 8)) == 7


@pytest.mark.parametrize('call', [
    lambda R: R.comb_record(),
    lambda R: R.comb_record([], []),
    lambda R: R.diff_record([], 1),
    lambda R: R.sub_record([], 1, 2, None, 5),
    lambda R: R.sub_record([], 1, 2, incr=None),
    lambda R: R.diff_record([], 1, 2, s=1),
    lambda R: R().add_range('a', 1),
    lambda R: R().record(),
    lambda R: R()._do_increment_func(),
    lambda R: R(1),
])
def test_argument_errors_match_python(call):
    class Mirror(object):
        __init__ = reference_function('self', 'RangeRecord.__init__')
        add_range = reference_function('self, name, s, e', 'RangeRecord.add_range')
        record = reference_function('self, name', 'RangeRecord.record')
        _do_increment_func = classmethod(reference_function(
            'cls, increment_func, *args', 'RangeRecord._do_increment_func'))
        diff_record = classmethod(reference_function(
            'cls, records, s, e, increment_func=None', 'RangeRecord.diff_record'))
        comb_record = classmethod(reference_function('cls, records', 'RangeRecord.comb_record'))
        sub_record = classmethod(reference_function(
            'cls, records, s, e, increment_func=None', 'RangeRecord.sub_record'))

    got = outcome(lambda: call(NATIVE))
    assert got[:2] == ('raised', TypeError) and got == outcome(lambda: call(Mirror))


@pytest.mark.parametrize('make', [
    lambda: (10 ** 20, 10 ** 20 + 7, [(10 ** 20 + 1, 10 ** 20 + 2), (10 ** 20 + 3, 10 ** 20 + 5)]),
    lambda: (1000, 2000, [(1500, 1600), (1100, 1200), [1601, 1700]]),
    lambda: (1000.5, 2000.5, [(1500.5, 1600.5), (1100.5, 1200.5)]),
    lambda: (Hostile(0), Hostile(20), [(Hostile(5), Hostile(9)), (Hostile(1), Hostile(3))]),
    lambda: (Hostile(0, 'add'), Hostile(20), [(Hostile(5), Hostile(9)), (Hostile(1), Hostile(3))]),
])
def test_no_references_leak(make):
    s, e, records = make()
    watched = [s, e] + records + [b for r in records for b in r]
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(50):
        for call in (lambda: NATIVE.comb_record(records),
                     lambda: NATIVE.diff_record(records, s, e),
                     lambda: NATIVE.sub_record(records, s, e),
                     lambda: NATIVE.sub_record(records, s, e, lambda v, d: v + d)):
            try:
                call()
            except Boom:
                pass
    r = NATIVE()
    for i in range(len(records)):
        r.add_range('k', records[i][0], records[i][1])
    del r
    assert [sys.getrefcount(o) for o in watched] == before


# ---- hostile inputs, native against peer ------------------------------------

RANGE_CALLS = [
    ('comb', lambda R, rs, h: R.comb_record(rs)),
    ('diff', lambda R, rs, h: R.diff_record(rs, 0, 30)),
    ('sub', lambda R, rs, h: R.sub_record(rs, 4, 12)),
    ('diff s', lambda R, rs, h: R.diff_record(rs, h, 30)),
    ('diff e', lambda R, rs, h: R.diff_record(rs, 0, h)),
    ('sub s', lambda R, rs, h: R.sub_record(rs, h, 12)),
    ('sub e', lambda R, rs, h: R.sub_record(rs, 4, h)),
    ('inc', lambda R, rs, h: R.diff_record(rs, 0, 30, increment_func=h)),
    ('sub inc', lambda R, rs, h: R.sub_record(rs, 4, 12, increment_func=h)),
    ('step', lambda R, rs, h: R._do_increment_func(None, h, 1)),
    ('step fn', lambda R, rs, h: R._do_increment_func(h, 1, 1)),
]


def range_scenario(impl, h, where):
    R = impl.RangeRecord
    out = []
    for _, call in RANGE_CALLS:
        rs = [(5, 9), (1, 3), (20, 25), [11, 14]]
        if where == 'start':
            rs.append((h, 18))
        elif where == 'end':
            rs.append((15, h))
        elif where == 'range':
            rs.append(h)
        out.append(outcome(lambda: call(R, rs, h)))
        out.append(outcome(lambda: [canon(r) for r in rs]))
    r = R()
    for name, s, e in [(h, 1, 2), ('a', h, 5), ('a', 1, h), ('a', h, h)]:
        out.append(outcome(lambda: r.add_range(name, s, e)))
        out.append(outcome(lambda: r.sub_range(name, s, e)))
        out.append(outcome(lambda: r.record('a')))
    out.append(outcome(lambda: r.record(h)))
    r2 = R()
    r2.add_range('k', 1, 4)
    r2.sub_range('k', 2, 2)
    out.append(outcome(lambda: r2.record('k')))
    return out


@pytest.mark.parametrize('where', ['args', 'start', 'end', 'range'])
def test_range_record_hostile_bounds(where):
    for _, h in INT_VALUES + [('float', 2.5), ('neg', -7), ('tuple', (2, 4)), ('short', (1,))]:
        run_both(range_scenario, TOOLKITS, h, where)


def range_mutators():
    """Increment functions and class-method overrides that change the lists
    the methods are walking."""

    def make(impl, case):
        R = impl.RangeRecord
        shared = []

        class Shared(R):
            @classmethod
            def comb_record(cls, records):
                shared[:] = R.comb_record(records)
                return shared

        def clears(v, d):
            del shared[:]
            return v + d

        def grows(v, d):
            if len(shared) < 20:
                shared.append((v + 100, v + 101))
            return v + d

        def swaps(v, d):
            shared.reverse()
            return v + d

        def replaces(v, d):
            shared[:] = [(0, 1)]
            return v + d

        cases = {'clears': clears, 'grows': grows, 'swaps': swaps, 'replaces': replaces}
        return Shared, cases[case]
    return make


@pytest.mark.parametrize('case', ['clears', 'grows', 'swaps', 'replaces'])
@pytest.mark.parametrize('method, args', [('diff_record', (0, 40)), ('sub_record', (4, 21)),
                                          ('sub_record', (0, 40)), ('diff_record', (2, 6))])
def test_range_lists_changed_while_walked(case, method, args):
    make = range_mutators()

    def scenario(impl):
        cls, inc = make(impl, case)
        rs = [(5, 9), (1, 3), (20, 25), (11, 14)]
        out = [outcome(lambda: getattr(cls, method)(rs, *args, increment_func=inc))]
        out.append(outcome(lambda: getattr(cls, method)([(1, 2)], *args)))
        return out
    run_both(scenario, TOOLKITS)


def test_range_object_with_replaced_stores():
    def scenario(impl):
        out = []
        R = impl.RangeRecord

        class Odd(list):
            def clear(self):
                raise Boom('clear')

        setups = [
            lambda r: setattr(r, '_raw_record', {}),
            lambda r: setattr(r, '_record', {}),
            lambda r: setattr(r, '_raw_record', None),
            lambda r: delattr(r, '_record'),
            lambda r: r._record.__setitem__('a', Odd()),
            lambda r: r._record.__setitem__('a', ()),
            lambda r: r._raw_record.__setitem__('a', ((1, 2),)),
            lambda r: r._raw_record.__setitem__('a', [(9, 1)]),
            lambda r: setattr(r, 'comb_record', lambda rs: 5),
            lambda r: setattr(r, 'sub_record', lambda *a: None),
        ]
        for setup in setups:
            r = R()
            setup(r)
            out.append(outcome(lambda: r.add_range('a', 1, 3)))
            out.append(outcome(lambda: r.sub_range('a', 2, 2)))
            out.append(outcome(lambda: r.record('a')))
        return out
    run_both(scenario, TOOLKITS)

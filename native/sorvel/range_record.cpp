// RangeRecord: per-name sets of closed ranges kept merged. The class
// methods reach each other through cls and the methods through self, so a
// subclass's overrides take effect.
//
// Lists whose bounds are all exact ints (or all exact floats) are merged,
// subtracted and complemented in C on a copy of the bound values, holding
// references to whatever objects go into the result; everything else takes
// Python's operators in the order the expressions evaluate them.
#include "stats_util.hpp"

#include <algorithm>
#include <new>
#include <utility>

namespace sorvel {
namespace stats {
namespace {

// ---- numeric snapshots ------------------------------------------------------

// Ints this far from the 64-bit limits can be stepped by one without overflow.
constexpr long long kSafeInt = 1LL << 62;

bool read_value(PyObject* o, long long& v) {
    if (!PyLong_CheckExact(o)) return false;
    int overflow;
    v = PyLong_AsLongLongAndOverflow(o, &overflow);
    return !overflow && v >= -kSafeInt && v <= kSafeInt;
}

bool read_value(PyObject* o, double& v) {
    if (!PyFloat_CheckExact(o)) return false;
    v = PyFloat_AS_DOUBLE(o);
    return true;
}

Ref make_value(long long v) { return Ref::steal(PyLong_FromLongLong(v)); }
Ref make_value(double v) { return Ref::steal(PyFloat_FromDouble(v)); }

// A range's bounds, items 0 and 1 of an exact tuple or list of two or more.
bool bounds_of(PyObject* item, PyObject*& lo, PyObject*& hi) {
    if (!(PyTuple_CheckExact(item) || PyList_CheckExact(item)) || Py_SIZE(item) < 2) return false;
    PyObject** items =
        PyTuple_CheckExact(item) ? &PyTuple_GET_ITEM(item, 0) : &PyList_GET_ITEM(item, 0);
    lo = items[0];
    hi = items[1];
    return true;
}

// A fixed-size array from the interpreter's allocator, so that running out
// of memory is a MemoryError. Elements are constructed in place and
// destroyed with the buffer.
template <typename E>
class Buffer {
public:
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() {
        for (Py_ssize_t i = 0; i < n_; ++i) p_[i].~E();
        PyMem_Free(p_);
    }
    bool reserve(Py_ssize_t capacity) {
        if (capacity <= 0) return true;
        p_ = static_cast<E*>(PyMem_Malloc(sizeof(E) * (size_t)capacity));
        if (!p_) PyErr_NoMemory();
        return p_ != nullptr;
    }
    template <typename... A>
    void emplace(A&&... a) {
        new (&p_[n_++]) E{std::forward<A>(a)...};
    }
    Py_ssize_t size() const { return n_; }
    E& operator[](Py_ssize_t i) { return p_[i]; }
    E* begin() { return p_; }
    E* end() { return p_ + n_; }

private:
    E* p_ = nullptr;
    Py_ssize_t n_ = 0;
};

template <typename T>
struct Entry {
    T lo, hi;
    Py_ssize_t index;  // position in the list read
};

// Reads every range of an exact list as T; runs no Python code and takes no
// references. 1 when all fit, 0 when one does not, -1 on error. With
// `sort_keys` the starts must be totally ordered (no NaN).
template <typename T>
int read_entries(PyObject* list, Buffer<Entry<T>>& out, bool sort_keys) {
    Py_ssize_t n = PyList_GET_SIZE(list);
    if (!out.reserve(n)) return -1;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *lo, *hi;
        T lo_v, hi_v;
        if (!bounds_of(PyList_GET_ITEM(list, i), lo, hi) || !read_value(lo, lo_v) ||
            !read_value(hi, hi_v) || (sort_keys && lo_v != lo_v))
            return 0;
        out.emplace(lo_v, hi_v, i);
    }
    return 1;
}

// Strong references to the items of an exact list, taken before anything
// that can run Python code: allocations may run a collection's finalizers,
// which may change lists the caller can reach.
bool hold_items(PyObject* list, Buffer<Ref>& out) {
    Py_ssize_t n = PyList_GET_SIZE(list);
    if (!out.reserve(n)) return false;
    for (Py_ssize_t i = 0; i < n; ++i) out.emplace(Ref::borrow(PyList_GET_ITEM(list, i)));
    return true;
}

bool append_pair(PyObject* list, PyObject* a, PyObject* b) {
    Ref pair = Ref::steal(PyTuple_Pack(2, a, b));
    return pair && PyList_Append(list, pair.get()) == 0;
}

// ---- stepping ---------------------------------------------------------------

// cls._do_increment_func(increment_func, x, ±1). The method is resolved
// before the argument is evaluated, as in the call expression; while it is
// still the class body's own, its body runs here without a bound method.
class Stepper {
public:
    Stepper(bv::Function* fn, PyObject* cls, PyObject* increment_func)
        : fn_(fn), cls_(cls), inc_(increment_func) {}

    bool resolve() {
        own_ = class_attr_is(cls_, name(fn_, n__do_increment_func), st(fn_).own_increment);
        if (own_) return true;
        bound_ = bv::getattr(cls_, name(fn_, n__do_increment_func));
        return bool(bound_);
    }

    Ref call(PyObject* x, int direction) {
        PyObject* step = direction > 0 ? st(fn_).one : st(fn_).minus_one;
        if (!own_) return bv::call(bound_.get(), inc_, x, step);
        if (inc_ == Py_None) return add(x, step);
        return bv::call(inc_, x, step);
    }

    // resolve(), then call() on x.
    Ref operator()(PyObject* x, int direction) {
        if (!resolve()) return Ref();
        return call(x, direction);
    }

private:
    bv::Function* fn_;
    PyObject* cls_;
    PyObject* inc_;
    bool own_ = false;
    Ref bound_;
};

// Whether default stepping runs in C: no increment function and the class
// body's own _do_increment_func.
bool default_stepping(bv::Function* fn, PyObject* cls, PyObject* increment_func) {
    return increment_func == Py_None &&
           class_attr_is(cls, name(fn, n__do_increment_func), st(fn).own_increment);
}

// ---- comb_record ------------------------------------------------------------

template <typename T>
bool sorts_before(const Entry<T>& a, const Entry<T>& b) {
    return a.lo < b.lo || (!(b.lo < a.lo) && a.index < b.index);
}

// Stable by start. A list that only had ranges appended since its last
// merge is a few sorted runs: those are merged; anything else is sorted.
template <typename T>
void sort_entries(Buffer<Entry<T>>& entries) {
    Entry<T>* p = entries.begin();
    Py_ssize_t n = entries.size();
    Py_ssize_t starts[9];
    int runs = 0;
    for (Py_ssize_t i = 1; i < n; ++i) {
        if (!(p[i].lo < p[i - 1].lo)) continue;
        if (runs == 9) {
            std::sort(p, p + n, sorts_before<T>);
            return;
        }
        starts[runs++] = i;
    }
    for (int r = 0; r < runs; ++r)
        std::inplace_merge(p, p + starts[r], r + 1 < runs ? p + starts[r + 1] : p + n,
                           sorts_before<T>);
}

// records.sort(key=lambda x: x[0]) and the merge, for an exact list whose
// bounds are all T. The stable order of a total order is unique, so the
// caller's list ends exactly as list.sort leaves it. 0 when the list does
// not qualify: nothing has been touched then.
template <typename T>
int comb_numeric(PyObject* records, Ref& out) {
    Buffer<Entry<T>> entries;
    int ok = read_entries(records, entries, true);
    if (ok <= 0) return ok;
    Py_ssize_t n = entries.size();
    sort_entries(entries);
    bool moved = false;
    for (Py_ssize_t i = 0; i < n && !moved; ++i) moved = entries[i].index != i;
    if (moved) {
        // A permutation of the same references: no counts change.
        Buffer<PyObject*> order;
        if (!order.reserve(n)) return -1;
        for (Py_ssize_t i = 0; i < n; ++i) order.emplace(PyList_GET_ITEM(records, entries[i].index));
        for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(records, i, order[i]);
    }

    // The merged runs by sorted position: the first range, and the one
    // whose end the run took when widened (else -1).
    struct Run {
        Py_ssize_t first, widest;
    };
    Buffer<Run> runs;
    if (!runs.reserve(n)) return -1;
    Py_ssize_t first = 0, widest = -1;
    T end = entries[0].hi;
    for (Py_ssize_t i = 1; i < n; ++i) {
        const Entry<T>& item = entries[i];
        if (item.lo - 1 <= end && end < item.hi) {  // overlaps or touches, reaches further
            end = item.hi;
            widest = i;
        } else if (item.lo > end) {
            runs.emplace(first, widest);
            first = i;
            widest = -1;
            end = item.hi;
        }
    }
    runs.emplace(first, widest);

    // Everything the result holds is referenced before the first allocation.
    Py_ssize_t count = runs.size();
    Buffer<Ref> held;
    if (!held.reserve(2 * count)) return -1;
    for (Run& run : runs) {
        PyObject *lo = nullptr, *hi = nullptr, *unused = nullptr;
        if (run.widest < 0) {
            held.emplace(Ref::borrow(PyList_GET_ITEM(records, run.first)));
            held.emplace(Ref());
        } else {
            bounds_of(PyList_GET_ITEM(records, run.first), lo, unused);
            bounds_of(PyList_GET_ITEM(records, run.widest), unused, hi);
            held.emplace(Ref::borrow(lo));
            held.emplace(Ref::borrow(hi));
        }
    }
    Ref result = Ref::steal(PyList_New(count));
    if (!result) return -1;
    for (Py_ssize_t j = 0; j < count; ++j) {
        Ref& a = held[2 * j];
        Ref& b = held[2 * j + 1];
        if (!b) {
            PyList_SET_ITEM(result.get(), j, a.release());
            continue;
        }
        Ref pair = Ref::steal(PyTuple_New(2));
        if (!pair) return -1;
        PyTuple_SET_ITEM(pair.get(), 0, a.release());
        PyTuple_SET_ITEM(pair.get(), 1, b.release());
        PyList_SET_ITEM(result.get(), j, pair.release());
    }
    out = std::move(result);
    return 1;
}

// records.sort(key=lambda x: x[0]), then the merge with Python's operators.
Ref comb_generic(bv::Function* fn, PyObject* records) {
    State& s = st(fn);
    if (!call_method_kw(records, name(fn, n_sort), s.kw_key, s.sort_key)) return Ref();
    Ref first = item_at(records, 0);
    if (!first) return Ref();
    Ref result = Ref::steal(PyList_New(1));
    if (!result) return Ref();
    PyList_SET_ITEM(result.get(), 0, first.release());
    Ref rest;
    if (PyList_CheckExact(records)) {
        rest = Ref::steal(PyList_GetSlice(records, 1, PY_SSIZE_T_MAX));
    } else {
        Ref tail = Ref::steal(PySlice_New(s.one, nullptr, nullptr));
        if (!tail) return Ref();
        rest = Ref::steal(PyObject_GetItem(records, tail.get()));
    }
    if (!rest) return Ref();
    Ref it = Ref::steal(PyObject_GetIter(rest.get()));
    if (!it) return Ref();
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        Ref last = item_at(result.get(), -1);
        if (!last) return Ref();
        // if item[0] - 1 <= last[1] < item[1]
        Ref start = item_at(item.get(), 0);
        if (!start) return Ref();
        Ref before = bv::subtract(start.get(), s.one);
        if (!before) return Ref();
        Ref last_end = item_at(last.get(), 1);
        if (!last_end) return Ref();
        int c = compare(before.get(), last_end.get(), Py_LE);
        if (c > 0) {
            Ref end = item_at(item.get(), 1);
            if (!end) return Ref();
            c = compare(last_end.get(), end.get(), Py_LT);
        }
        if (c < 0) return Ref();
        if (c) {
            Ref a = item_at(last.get(), 0);
            if (!a) return Ref();
            Ref b = item_at(item.get(), 1);
            if (!b) return Ref();
            Ref pair = Ref::steal(PyTuple_Pack(2, a.get(), b.get()));
            if (!pair) return Ref();
            if (PyList_SetItem(result.get(), PyList_GET_SIZE(result.get()) - 1, pair.release()) < 0)
                return Ref();
            continue;
        }
        // elif item[0] > last[1]
        start = item_at(item.get(), 0);
        if (!start) return Ref();
        last_end = item_at(last.get(), 1);
        if (!last_end) return Ref();
        c = compare(start.get(), last_end.get(), Py_GT);
        if (c < 0) return Ref();
        if (c && PyList_Append(result.get(), item.get()) < 0) return Ref();
    }
    if (PyErr_Occurred()) return Ref();
    return result;
}

Ref comb(bv::Function* fn, PyObject* records) {
    Py_ssize_t n = PyObject_Length(records);
    if (n < 0) return Ref();
    if (n < 1) return Ref::steal(PyList_New(0));
    if (PyList_CheckExact(records) && PyList_GET_SIZE(records) > 0) {
        PyObject *lo, *hi;
        Ref out;
        int done = 0;
        if (bounds_of(PyList_GET_ITEM(records, 0), lo, hi)) {
            if (PyLong_CheckExact(lo)) done = comb_numeric<long long>(records, out);
            else if (PyFloat_CheckExact(lo)) done = comb_numeric<double>(records, out);
        }
        if (done < 0) return Ref();
        if (done) return out;
    }
    return comb_generic(fn, records);
}

PyObject* rr_comb_record(bv::Function* fn, PyObject* const* args) { return comb(fn, args[1]).release(); }

PyObject* rr_sort_key(bv::Function*, PyObject* const* args) { return item_at(args[0], 0).release(); }

// ---- diff_record ------------------------------------------------------------

// The parts of [s, e] that the merged list does not cover, with default
// stepping; 0 when the values do not qualify.
template <typename T>
int diff_numeric(PyObject* merged, PyObject* s, PyObject* e, Ref& out) {
    T ss, ev;
    if (!read_value(s, ss) || !read_value(e, ev)) return 0;
    Buffer<Entry<T>> entries;
    int ok = read_entries(merged, entries, false);
    if (ok <= 0 || entries.size() == 0) return ok < 0 ? -1 : 0;
    Ref results = Ref::steal(PyList_New(0));
    if (!results) return -1;
    bool ss_is_s = true;  // while ss is still the very object s
    auto append_ss = [&](PyObject* b) -> bool {
        Ref a = ss_is_s ? Ref::borrow(s) : make_value(ss);
        return a && append_pair(results.get(), a.get(), b);
    };
    auto cut_before = [&](const Entry<T>& item) -> bool {
        Ref b = make_value(item.lo + T(-1));
        if (!b || !append_ss(b.get())) return false;
        ss = item.hi + T(1);
        ss_is_s = false;
        return true;
    };
    for (const Entry<T>& item : entries) {
        if (item.lo <= ss && ss <= item.hi) {
            ss = item.hi + T(1);
            ss_is_s = false;
        }
        if (ss > ev) break;
        if (ev < item.lo) {
            if (!append_ss(e)) return -1;
            break;
        }
        if (ss < item.lo && item.lo <= ev && ev <= item.hi && !cut_before(item)) return -1;
        if (ev > item.hi && ss < item.lo && !cut_before(item)) return -1;
    }
    if (entries[entries.size() - 1].hi < ss && ss <= ev && !append_ss(e)) return -1;
    out = std::move(results);
    return 1;
}

// The loop with Python's operators, each subscription and comparison where
// the expressions put it.
Ref diff_generic(bv::Function* fn, PyObject* cls, PyObject* merged, PyObject* s, PyObject* e,
                 PyObject* increment_func) {
    Stepper step(fn, cls, increment_func);
    Ref results = Ref::steal(PyList_New(0));
    if (!results) return Ref();
    Ref ss = Ref::borrow(s);
    // results.append((ss, prev(item[0]))); ss = next(item[1])
    auto cut_before = [&](PyObject* item) -> bool {
        if (!step.resolve()) return false;
        Ref start = item_at(item, 0);
        if (!start) return false;
        Ref before = step.call(start.get(), -1);
        if (!before || !append_pair(results.get(), ss.get(), before.get())) return false;
        if (!step.resolve()) return false;
        Ref end = item_at(item, 1);
        if (!end) return false;
        ss = step.call(end.get(), 1);
        return bool(ss);
    };
    Ref it = Ref::steal(PyObject_GetIter(merged));
    if (!it) return Ref();
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        // if item[0] <= ss <= item[1]: ss = next(item[1])
        Ref a = item_at(item.get(), 0);
        if (!a) return Ref();
        int c = compare(a.get(), ss.get(), Py_LE);
        if (c > 0) {
            Ref b = item_at(item.get(), 1);
            if (!b) return Ref();
            c = compare(ss.get(), b.get(), Py_LE);
        }
        if (c < 0) return Ref();
        if (c) {
            if (!step.resolve()) return Ref();
            Ref b = item_at(item.get(), 1);
            if (!b) return Ref();
            ss = step.call(b.get(), 1);
            if (!ss) return Ref();
        }
        // if ss > e: break
        c = compare(ss.get(), e, Py_GT);
        if (c < 0) return Ref();
        if (c) break;
        // if e < item[0]: results.append((ss, e)); break
        a = item_at(item.get(), 0);
        if (!a) return Ref();
        c = compare(e, a.get(), Py_LT);
        if (c < 0) return Ref();
        if (c) {
            if (!append_pair(results.get(), ss.get(), e)) return Ref();
            break;
        }
        // if ss < item[0] <= e <= item[1]
        a = item_at(item.get(), 0);
        if (!a) return Ref();
        c = compare(ss.get(), a.get(), Py_LT);
        if (c > 0) c = compare(a.get(), e, Py_LE);
        if (c > 0) {
            Ref b = item_at(item.get(), 1);
            if (!b) return Ref();
            c = compare(e, b.get(), Py_LE);
        }
        if (c < 0) return Ref();
        if (c && !cut_before(item.get())) return Ref();
        // if e > item[1] and ss < item[0]
        Ref b = item_at(item.get(), 1);
        if (!b) return Ref();
        c = compare(e, b.get(), Py_GT);
        if (c > 0) {
            a = item_at(item.get(), 0);
            if (!a) return Ref();
            c = compare(ss.get(), a.get(), Py_LT);
        }
        if (c < 0) return Ref();
        if (c && !cut_before(item.get())) return Ref();
    }
    if (PyErr_Occurred()) return Ref();
    // if records[-1][1] < ss <= e
    Ref last = item_at(merged, -1);
    if (!last) return Ref();
    Ref last_end = item_at(last.get(), 1);
    if (!last_end) return Ref();
    int c = compare(last_end.get(), ss.get(), Py_LT);
    if (c > 0) c = compare(ss.get(), e, Py_LE);
    if (c < 0) return Ref();
    if (c && !append_pair(results.get(), ss.get(), e)) return Ref();
    return results;
}

PyObject* rr_diff_record(bv::Function* fn, PyObject* const* args) {
    PyObject *cls = args[0], *records = args[1], *s = args[2], *e = args[3], *inc = args[4];
    Py_ssize_t n = PyObject_Length(records);
    if (n < 0) return nullptr;
    if (n < 1) {
        Ref result = Ref::steal(PyList_New(0));
        if (!result || !append_pair(result.get(), s, e)) return nullptr;
        return result.release();
    }
    Ref merged = bv::call_method(cls, name(fn, n_comb_record), records);
    if (!merged) return nullptr;
    if (PyList_CheckExact(merged.get()) && default_stepping(fn, cls, inc)) {
        Ref out;
        int done = 0;
        if (PyLong_CheckExact(s)) done = diff_numeric<long long>(merged.get(), s, e, out);
        else if (PyFloat_CheckExact(s)) done = diff_numeric<double>(merged.get(), s, e, out);
        if (done < 0) return nullptr;
        if (done) return out.release();
    }
    return diff_generic(fn, cls, merged.get(), s, e, inc).release();
}

// ---- sub_record -------------------------------------------------------------

// The parts of the merged list outside [s, e], with default stepping; 0
// when the values do not qualify.
template <typename T>
int sub_numeric(PyObject* merged, PyObject* s, PyObject* e, Ref& out) {
    T ss, ee;
    if (!read_value(s, ss) || !read_value(e, ee)) return 0;
    Buffer<Entry<T>> entries;
    int ok = read_entries(merged, entries, false);
    if (ok <= 0) return ok;
    Buffer<Ref> items;
    if (!hold_items(merged, items)) return -1;
    Ref results = Ref::steal(PyList_New(0));
    if (!results) return -1;
    auto append_bound_pair = [&](Ref& item, Py_ssize_t which, T value) -> bool {
        Ref bound = item_at(item.get(), which);
        Ref made = make_value(value);
        if (!bound || !made) return false;
        return which == 0 ? append_pair(results.get(), bound.get(), made.get())
                          : append_pair(results.get(), made.get(), bound.get());
    };
    Py_ssize_t n = entries.size();
    for (Py_ssize_t idx = 0; idx < n; ++idx) {
        const Entry<T>& item = entries[idx];
        if (ss > ee || ee < item.lo) {
            for (Py_ssize_t j = idx; j < n; ++j)
                if (PyList_Append(results.get(), items[j].get()) < 0) return -1;
            break;
        }
        if (ss < item.lo && item.lo <= ee) ss = item.lo;
        if (ss > item.hi && PyList_Append(results.get(), items[idx].get()) < 0) return -1;
        if (item.lo <= ss && ss <= item.hi) {
            T before = ss + T(-1);
            if (item.lo <= before && !append_bound_pair(items[idx], 0, before)) return -1;
            if (ee <= item.hi) {
                T after = ee + T(1);
                if (after <= item.hi) {
                    if (!append_bound_pair(items[idx], 1, after)) return -1;
                    ee = item.lo + T(-1);
                }
            }
            ss = idx < n - 1 ? entries[idx + 1].lo : item.hi + T(1);
        }
    }
    out = std::move(results);
    return 1;
}

Ref sub_generic(bv::Function* fn, PyObject* cls, PyObject* merged, PyObject* s, PyObject* e,
                PyObject* increment_func) {
    Stepper step(fn, cls, increment_func);
    Ref results = Ref::steal(PyList_New(0));
    if (!results) return Ref();
    Ref ss = Ref::borrow(s), ee = Ref::borrow(e);
    Ref it = Ref::steal(PyObject_GetIter(merged));
    if (!it) return Ref();
    Py_ssize_t idx = 0;
    for (; Ref item = Ref::steal(PyIter_Next(it.get())); ++idx) {
        // if ss > ee or ee < item[0]: results.extend(records[idx:]); return
        int c = compare(ss.get(), ee.get(), Py_GT);
        if (c == 0) {
            Ref a = item_at(item.get(), 0);
            if (!a) return Ref();
            c = compare(ee.get(), a.get(), Py_LT);
        }
        if (c < 0) return Ref();
        if (c) {
            Ref tail;
            if (PyList_CheckExact(merged)) {
                tail = Ref::steal(PyList_GetSlice(merged, idx, PY_SSIZE_T_MAX));
            } else {
                Ref from = Ref::steal(PyLong_FromSsize_t(idx));
                Ref range = from ? Ref::steal(PySlice_New(from.get(), nullptr, nullptr)) : Ref();
                if (range) tail = Ref::steal(PyObject_GetItem(merged, range.get()));
            }
            if (!tail) return Ref();
            if (PyList_CheckExact(tail.get())) {
                Py_ssize_t n = PyList_GET_SIZE(results.get());
                if (PyList_SetSlice(results.get(), n, n, tail.get()) < 0) return Ref();
            } else if (!bv::call_method(results.get(), name(fn, n_extend), tail.get())) {
                return Ref();
            }
            return results;
        }
        // if ss < item[0] <= ee: ss = item[0]
        Ref a = item_at(item.get(), 0);
        if (!a) return Ref();
        c = compare(ss.get(), a.get(), Py_LT);
        if (c > 0) c = compare(a.get(), ee.get(), Py_LE);
        if (c < 0) return Ref();
        if (c) {
            ss = item_at(item.get(), 0);
            if (!ss) return Ref();
        }
        // if ss > item[1]: results.append(item)
        Ref b = item_at(item.get(), 1);
        if (!b) return Ref();
        c = compare(ss.get(), b.get(), Py_GT);
        if (c < 0) return Ref();
        if (c && PyList_Append(results.get(), item.get()) < 0) return Ref();
        // if item[0] <= ss <= item[1]
        a = item_at(item.get(), 0);
        if (!a) return Ref();
        c = compare(a.get(), ss.get(), Py_LE);
        if (c > 0) {
            b = item_at(item.get(), 1);
            if (!b) return Ref();
            c = compare(ss.get(), b.get(), Py_LE);
        }
        if (c < 0) return Ref();
        if (!c) continue;
        Ref before = step(ss.get(), -1);
        if (!before) return Ref();
        a = item_at(item.get(), 0);
        if (!a) return Ref();
        c = compare(a.get(), before.get(), Py_LE);
        if (c < 0) return Ref();
        if (c) {
            a = item_at(item.get(), 0);
            if (!a || !append_pair(results.get(), a.get(), before.get())) return Ref();
        }
        b = item_at(item.get(), 1);
        if (!b) return Ref();
        c = compare(ee.get(), b.get(), Py_LE);
        if (c < 0) return Ref();
        if (c) {
            Ref after = step(ee.get(), 1);
            if (!after) return Ref();
            b = item_at(item.get(), 1);
            if (!b) return Ref();
            c = compare(after.get(), b.get(), Py_LE);
            if (c < 0) return Ref();
            if (c) {
                b = item_at(item.get(), 1);
                if (!b || !append_pair(results.get(), after.get(), b.get())) return Ref();
                if (!step.resolve()) return Ref();
                a = item_at(item.get(), 0);
                if (!a) return Ref();
                ee = step.call(a.get(), -1);
                if (!ee) return Ref();
            }
        }
        // ss = records[idx + 1][0] if idx < len(records) - 1 else next(item[1])
        Py_ssize_t n = PyObject_Length(merged);
        if (n < 0) return Ref();
        if (idx < n - 1) {
            Ref next_item;
            if (PyList_CheckExact(merged) && idx + 1 < PyList_GET_SIZE(merged)) {
                next_item = Ref::borrow(PyList_GET_ITEM(merged, idx + 1));
            } else {
                Ref at = Ref::steal(PyLong_FromSsize_t(idx + 1));
                if (at) next_item = Ref::steal(PyObject_GetItem(merged, at.get()));
            }
            if (!next_item) return Ref();
            ss = item_at(next_item.get(), 0);
        } else {
            if (!step.resolve()) return Ref();
            b = item_at(item.get(), 1);
            if (!b) return Ref();
            ss = step.call(b.get(), 1);
        }
        if (!ss) return Ref();
    }
    if (PyErr_Occurred()) return Ref();
    return results;
}

PyObject* rr_sub_record(bv::Function* fn, PyObject* const* args) {
    PyObject *cls = args[0], *records = args[1], *s = args[2], *e = args[3], *inc = args[4];
    Ref merged = bv::call_method(cls, name(fn, n_comb_record), records);
    if (!merged) return nullptr;
    if (PyList_CheckExact(merged.get()) && default_stepping(fn, cls, inc)) {
        Ref out;
        int done = 0;
        if (PyLong_CheckExact(s)) done = sub_numeric<long long>(merged.get(), s, e, out);
        else if (PyFloat_CheckExact(s)) done = sub_numeric<double>(merged.get(), s, e, out);
        if (done < 0) return nullptr;
        if (done) return out.release();
    }
    return sub_generic(fn, cls, merged.get(), s, e, inc).release();
}

// ---- stepping and the object methods ----------------------------------------

PyObject* rr_do_increment_func(bv::Function*, PyObject* const* args) {
    PyObject *increment_func = args[1], *rest = args[2];
    if (increment_func != Py_None) return PyObject_Call(increment_func, rest, nullptr);
    Ref a = item_at(rest, 0);
    if (!a) return nullptr;
    Ref b = item_at(rest, 1);
    if (!b) return nullptr;
    return add(a.get(), b.get()).release();
}

// An inverted range corrupts every later merge, so the check holds whether
// or not the interpreter runs with assertions.
bool check_order(bv::Function* fn, PyObject* s, PyObject* e) {
    int c = compare(s, e, Py_LE);
    if (c != 0) return c > 0;
    Ref fs = Ref::steal(PyObject_Format(s, st(fn).empty_str));
    if (!fs) return false;
    Ref fe = Ref::steal(PyObject_Format(e, st(fn).empty_str));
    if (!fe) return false;
    Ref message = Ref::steal(PyUnicode_FromFormat("error, %U > %U", fs.get(), fe.get()));
    if (message) PyErr_SetObject(PyExc_AssertionError, message.get());
    return false;
}

PyObject* rr_init(bv::Function* fn, PyObject* const* args) {
    const Name stores[] = {n__raw_record, n__record};
    for (Name store : stores) {
        Ref factory = bv::global(fn, name(fn, n_defaultdict));
        if (!factory) return nullptr;
        Ref list = bv::global(fn, name(fn, n_list));
        if (!list) return nullptr;
        Ref d = bv::call(factory.get(), list.get());
        if (!d || PyObject_SetAttr(args[0], name(fn, store), d.get()) < 0) return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* rr_add_range(bv::Function* fn, PyObject* const* args) {
    PyObject *self = args[0], *key = args[1], *s = args[2], *e = args[3];
    if (!check_order(fn, s, e)) return nullptr;
    Ref raw = bv::getattr(self, name(fn, n__raw_record));
    if (!raw) return nullptr;
    Ref ranges = Ref::steal(PyObject_GetItem(raw.get(), key));
    if (!ranges) return nullptr;
    Ref pair = Ref::steal(PyTuple_Pack(2, s, e));
    if (!pair) return nullptr;
    if (PyList_CheckExact(ranges.get())) {
        if (PyList_Append(ranges.get(), pair.get()) < 0) return nullptr;
    } else if (!bv::call_method(ranges.get(), name(fn, n_append), pair.get())) {
        return nullptr;
    }
    if (!bv::call_method(self, name(fn, n__calc_record), key)) return nullptr;
    Py_RETURN_NONE;
}

// self._raw_record[name] = self.sub_record(self._raw_record[name], s, e)
PyObject* rr_sub_range(bv::Function* fn, PyObject* const* args) {
    PyObject *self = args[0], *key = args[1], *s = args[2], *e = args[3];
    if (!check_order(fn, s, e)) return nullptr;
    Ref sub = bv::getattr(self, name(fn, n_sub_record));
    if (!sub) return nullptr;
    Ref raw = bv::getattr(self, name(fn, n__raw_record));
    if (!raw) return nullptr;
    Ref ranges = Ref::steal(PyObject_GetItem(raw.get(), key));
    if (!ranges) return nullptr;
    Ref rest = bv::call(sub.get(), ranges.get(), s, e);
    if (!rest) return nullptr;
    raw = bv::getattr(self, name(fn, n__raw_record));
    if (!raw || PyObject_SetItem(raw.get(), key, rest.get()) < 0) return nullptr;
    if (!bv::call_method(self, name(fn, n__calc_record), key)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* rr_record(bv::Function* fn, PyObject* const* args) {
    Ref merged = bv::getattr(args[0], name(fn, n__record));
    if (!merged) return nullptr;
    Ref out;
    int found = mapping_get(st(fn), merged.get(), args[1], out, true);
    if (found < 0) return nullptr;
    return found ? out.release() : PyList_New(0);
}

// The name keeps its list object: cleared, then refilled with the merge.
PyObject* rr_calc_record(bv::Function* fn, PyObject* const* args) {
    PyObject *self = args[0], *key = args[1];
    Ref merged = bv::getattr(self, name(fn, n__record));
    if (!merged) return nullptr;
    Ref target = Ref::steal(PyObject_GetItem(merged.get(), key));
    if (!target) return nullptr;
    if (PyList_CheckExact(target.get())) {
        if (PyList_SetSlice(target.get(), 0, PY_SSIZE_T_MAX, nullptr) < 0) return nullptr;
    } else if (!call_for_effect(target.get(), name(fn, n_clear))) {
        return nullptr;
    }
    merged = bv::getattr(self, name(fn, n__record));
    if (!merged) return nullptr;
    target = Ref::steal(PyObject_GetItem(merged.get(), key));
    if (!target) return nullptr;
    Ref extend;
    if (!PyList_CheckExact(target.get())) {
        extend = bv::getattr(target.get(), name(fn, n_extend));
        if (!extend) return nullptr;
    }
    Ref comb_method = bv::getattr(self, name(fn, n_comb_record));
    if (!comb_method) return nullptr;
    Ref raw = bv::getattr(self, name(fn, n__raw_record));
    if (!raw) return nullptr;
    Ref ranges = Ref::steal(PyObject_GetItem(raw.get(), key));
    if (!ranges) return nullptr;
    Ref combined = bv::call(comb_method.get(), ranges.get());
    if (!combined) return nullptr;
    if (extend) {
        if (!bv::call(extend.get(), combined.get())) return nullptr;
    } else if (PyList_CheckExact(combined.get())) {
        Py_ssize_t n = PyList_GET_SIZE(target.get());
        if (PyList_SetSlice(target.get(), n, n, combined.get()) < 0) return nullptr;
    } else if (!bv::call_method(target.get(), name(fn, n_extend), combined.get())) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

const bv::Param kSelf[] = {bv::arg("self")};
const bv::Param kName[] = {bv::arg("self"), bv::arg("name")};
const bv::Param kRange[] = {bv::arg("self"), bv::arg("name"), bv::arg("s"), bv::arg("e")};
const bv::Param kIncrement[] = {bv::arg("cls"), bv::arg("increment_func"), bv::varargs("args")};
const bv::Param kWindow[] = {bv::arg("cls"), bv::arg("records"), bv::arg("s"), bv::arg("e"),
                             bv::arg_none("increment_func")};
const bv::Param kRecords[] = {bv::arg("cls"), bv::arg("records")};
const bv::Param kKey[] = {bv::arg("x")};
const bv::Annotation kDiffAnn[] = {{"return", "list"}};
const bv::Annotation kCombAnn[] = {{"records", "list"}};
const bv::Annotation kSubAnn[] = {{"records", "list"}, {"return", "list"}};

const bv::Member kMembers[] = {
    bv::method("__init__", rr_init, kSelf),
    bv::method("add_range", rr_add_range, kRange),
    bv::method("sub_range", rr_sub_range, kRange),
    bv::method("record", rr_record, kName),
    bv::method("_calc_record", rr_calc_record, kName),
    bv::classmethod("_do_increment_func", rr_do_increment_func, kIncrement),
    bv::classmethod("diff_record", rr_diff_record, kWindow, kDiffAnn),
    bv::classmethod("comb_record", rr_comb_record, kRecords, kCombAnn),
    bv::classmethod("sub_record", rr_sub_record, kWindow, kSubAnn),
};
const bv::FunctionSpec kSortKey("<lambda>", rr_sort_key, kKey);

}  // namespace
}  // namespace stats

bool define_range_record(bv::ModuleBody& m) {
    if (!stats::prepare(m)) return false;
    stats::State& s = m.state<State>().stats;
    if (!s.sort_key) {
        bv::Ref key = m.function(stats::kSortKey, "RangeRecord.comb_record.<locals>");
        if (!key) return false;
        s.sort_key = key.release();
    }
    bv::Ref record = bv::ClassBuilder(m, "RangeRecord")
                     .members(stats::kMembers)
                     .build();
    if (!record) return false;
    // The stepping fast path applies while the class attribute is this one.
    PyObject* own = bv::type_lookup(reinterpret_cast<PyTypeObject*>(record.get()),
                                   s.names[stats::n__do_increment_func]);
    if (!own) {
        PyErr_SetString(PyExc_SystemError, "RangeRecord lost _do_increment_func");
        return false;
    }
    if (!s.own_increment) s.own_increment = bv::new_ref(own);
    return m.bind("RangeRecord", std::move(record));
}

}  // namespace sorvel

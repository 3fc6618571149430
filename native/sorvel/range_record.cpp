// RangeRecord: per-name sets of closed ranges kept merged. The class
// methods reach each other through cls and the methods through self, so a
// subclass's overrides take effect.
//
// comb_record, diff_record and sub_record are each one algorithm over a
// value policy: lists whose bounds are all exact ints (or all exact floats)
// are worked on in C on a copy of the bound values, holding references to
// whatever objects go into the result; everything else takes Python's
// operators in the order the expressions evaluate them.
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
    if (bv::compact_long(o, v)) return true;  // |v| < 2**30
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
    const E& operator[](Py_ssize_t i) const { return p_[i]; }
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

// ---- sorting exact values ---------------------------------------------------

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

// ---- value policies ---------------------------------------------------------
//
// comb_record, diff_record and sub_record are each written once below, over
// a policy that says what a value and a range are: how a bound is read,
// compared, stepped by one and put into a result. Every operation returns
// false (or a negative comparison) with the Python error set.
//
// Exact<T>: a list whose bounds, and the window, are all exact ints (T =
// long long, within kSafeInt) or all exact floats (T = double), with the
// class's own stepping. The bounds are read into C once, before anything
// can run Python code; C's comparisons and steps give Python's results for
// these types. A value remembers where its object is, so that a result
// holds the very objects Python's would; a computed one is made when a
// result needs it.
//
// Objects: anything else, with Python's operators. Each subscription,
// comparison and call to cls._do_increment_func happens where the
// expression puts it, so the objects' own methods see Python's order.

// Where Exact finds the objects of the ranges it read: nowhere (no result
// holds one), in the list (sorted in place first) or in references it holds.
enum class Source { None, List, Held };

template <typename T, Source S>
class Exact {
public:
    // A value and where its object is: bound `ref & 1` of range `ref >> 1`,
    // the window's s or e, or none yet (computed; made when a result
    // needs it).
    struct Val {
        T v;
        Py_ssize_t ref;
    };
    static constexpr Py_ssize_t kS = -1, kE = -2, kMade = -3;
    // A range: the one whose start it has and the one whose end it has
    // (the same one, unless the merge made it).
    struct Item {
        Py_ssize_t lo, hi;
    };
    using Merged = Buffer<Item>;

    // Reads `list` and the window (s and e, when given); `sort_keys`: the
    // starts must be totally ordered; `nonempty`: an empty list does not
    // qualify. 1 when everything is T, 0 when not (nothing has run or
    // changed), -1 on error.
    int read(PyObject* list, PyObject* s, PyObject* e, bool sort_keys, bool nonempty) {
        if (s && (!read_value(s, s_) || !read_value(e, e_))) return 0;
        s_obj_ = s;
        e_obj_ = e;
        int ok = read_entries(list, entries_, sort_keys);
        if (ok <= 0) return ok;
        if (nonempty && entries_.size() == 0) return 0;
        if (S == Source::Held && !hold_items(list, held_)) return -1;
        list_ = list;
        return 1;
    }

    BV_ALWAYS_INLINE Val arg(PyObject* o) const { return o == s_obj_ ? Val{s_, kS} : Val{e_, kE}; }
    BV_ALWAYS_INLINE Val copy(const Val& v) const { return v; }

    BV_ALWAYS_INLINE bool lo(const Item& item, Val& out) const {
        out = Val{entries_[item.lo].lo, 2 * item.lo};
        return true;
    }
    BV_ALWAYS_INLINE bool hi(const Item& item, Val& out) const {
        out = Val{entries_[item.hi].hi, 2 * item.hi + 1};
        return true;
    }
    BV_ALWAYS_INLINE int cmp(const Val& a, const Val& b, int op) const {
        switch (op) {
        case Py_LT: return a.v < b.v;
        case Py_LE: return a.v <= b.v;
        case Py_GT: return a.v > b.v;
        default: return a.v >= b.v;
        }
    }
    // x - 1
    BV_ALWAYS_INLINE bool dec(const Val& x, Val& out) const {
        out = Val{x.v - 1, kMade};
        return true;
    }
    // cls._do_increment_func(None, x, direction), x as `read` gives it.
    template <typename F>
    BV_ALWAYS_INLINE bool step(Val& out, int direction, F&& read) {
        Val x;
        read(x);
        out = Val{x.v + T(direction), kMade};
        return true;
    }

    bool pair(PyObject* list, Val a, Val b) const {
        Ref x = object(a);
        if (!x) return false;
        Ref y = object(b);
        return y && append_pair(list, x.get(), y.get());
    }
    bool append(PyObject* list, const Item& item) const {
        return PyList_Append(list, obj(item.lo)) == 0;
    }
    // results.extend(records[idx:])
    bool extend_from(PyObject* list, Py_ssize_t idx) const {
        for (Py_ssize_t j = idx; j < entries_.size(); ++j)
            if (PyList_Append(list, obj(j)) < 0) return false;
        return true;
    }
    BV_ALWAYS_INLINE Py_ssize_t length() const { return entries_.size(); }
    // records[idx][0]
    BV_ALWAYS_INLINE bool lo_at(Py_ssize_t idx, Val& out) const { return lo(Item{idx, idx}, out); }
    // records[-1][1]
    BV_ALWAYS_INLINE bool last_hi(Val& out) const {
        Py_ssize_t i = entries_.size() - 1;
        return hi(Item{i, i}, out);
    }

    // Calls body(item, idx) on the ranges from `from` on while it returns 1;
    // 0 stops, -1 is an error.
    template <typename F>
    BV_ALWAYS_INLINE bool each(Py_ssize_t from, F&& body) {
        for (Py_ssize_t i = from, n = entries_.size(); i < n; ++i) {
            Item it{i, i};
            int r = body(it, i);
            if (r <= 0) return r == 0;
        }
        return true;
    }

    // records.sort(key=lambda x: x[0]). The stable order of a total order
    // is unique, so the caller's list ends exactly as list.sort leaves it.
    bool sort() {
        sort_entries(entries_);
        Py_ssize_t n = entries_.size();
        bool moved = false;
        for (Py_ssize_t i = 0; i < n && !moved; ++i) moved = entries_[i].index != i;
        if (!moved) return true;
        // A permutation of the same references: no counts change.
        Buffer<PyObject*> order;
        if (!order.reserve(n)) return false;
        for (Py_ssize_t i = 0; i < n; ++i) order.emplace(PyList_GET_ITEM(list_, entries_[i].index));
        for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(list_, i, order[i]);
        return true;
    }
    // result = [records[0]]
    bool start(Merged& result) {
        if (!result.reserve(entries_.size())) return false;
        result.emplace(Py_ssize_t(0), Py_ssize_t(0));
        return true;
    }
    BV_ALWAYS_INLINE bool last(Merged& result, Item& out) const {
        out = result[result.size() - 1];
        return true;
    }
    // result[-1] = (a, b), a and b bounds of ranges read
    BV_ALWAYS_INLINE bool set_last(Merged& result, Val a, Val b) const {
        result[result.size() - 1] = Item{a.ref >> 1, b.ref >> 1};
        return true;
    }
    BV_ALWAYS_INLINE bool push(Merged& result, Item item) const {
        result.emplace(item.lo, item.hi);
        return true;
    }
    // The merged list. Everything it holds is referenced before the first
    // allocation, which may run a collection's finalizers.
    Ref finish(Merged& result) const {
        Py_ssize_t count = result.size();
        Buffer<Ref> held;
        if (!held.reserve(2 * count)) return Ref();
        for (Item& item : result) {
            if (item.lo == item.hi) {
                held.emplace(Ref::borrow(obj(item.lo)));
                held.emplace(Ref());
            } else {
                held.emplace(item_at(obj(item.lo), 0));
                held.emplace(item_at(obj(item.hi), 1));
                if (!held[held.size() - 2] || !held[held.size() - 1]) return Ref();
            }
        }
        Ref list = Ref::steal(PyList_New(count));
        if (!list) return Ref();
        for (Py_ssize_t j = 0; j < count; ++j) {
            Ref& a = held[2 * j];
            Ref& b = held[2 * j + 1];
            if (!b) {
                PyList_SET_ITEM(list.get(), j, a.release());
                continue;
            }
            Ref pair = Ref::steal(PyTuple_New(2));
            if (!pair) return Ref();
            PyTuple_SET_ITEM(pair.get(), 0, a.release());
            PyTuple_SET_ITEM(pair.get(), 1, b.release());
            PyList_SET_ITEM(list.get(), j, pair.release());
        }
        return list;
    }

private:
    // The object of range i: held, or the list's item (the list is in
    // sorted order by then).
    BV_ALWAYS_INLINE PyObject* obj(Py_ssize_t i) const {
        return S == Source::Held ? held_[i].get() : PyList_GET_ITEM(list_, i);
    }
    Ref object(const Val& v) const {
        if (v.ref >= 0) return item_at(obj(v.ref >> 1), int(v.ref & 1));
        if (v.ref == kS) return Ref::borrow(s_obj_);
        if (v.ref == kE) return Ref::borrow(e_obj_);
        return make_value(v.v);
    }

    Buffer<Entry<T>> entries_;
    Buffer<Ref> held_;
    PyObject* list_ = nullptr;
    T s_{}, e_{};
    PyObject* s_obj_ = nullptr;
    PyObject* e_obj_ = nullptr;
};

class Objects {
public:
    using Val = Ref;
    using Item = Ref;
    using Merged = Ref;

    // `records`: the list the method works on; cls and increment_func for
    // diff_record and sub_record (null for comb_record).
    Objects(bv::Function* fn, PyObject* records, PyObject* cls, PyObject* increment_func)
        : fn_(fn), records_(records), step_(fn, cls, increment_func) {}

    Val arg(PyObject* o) const { return Ref::borrow(o); }
    Val copy(const Val& v) const { return Ref::borrow(v.get()); }

    bool lo(const Item& item, Val& out) const { return bool(out = item_at(item.get(), 0)); }
    bool hi(const Item& item, Val& out) const { return bool(out = item_at(item.get(), 1)); }
    int cmp(const Val& a, const Val& b, int op) const { return compare(a.get(), b.get(), op); }
    bool dec(const Val& x, Val& out) const { return bool(out = bv::subtract(x.get(), st(fn_).one)); }
    // cls._do_increment_func(increment_func, x, direction): the method is
    // resolved before `read` evaluates the argument.
    template <typename F>
    bool step(Val& out, int direction, F&& read) {
        if (!step_.resolve()) return false;
        Val x;
        if (!read(x)) return false;
        out = step_.call(x.get(), direction);
        return bool(out);
    }

    bool pair(PyObject* list, const Val& a, const Val& b) const {
        return append_pair(list, a.get(), b.get());
    }
    bool append(PyObject* list, const Item& item) const {
        return PyList_Append(list, item.get()) == 0;
    }
    bool extend_from(PyObject* list, Py_ssize_t idx) const {
        Ref tail;
        if (PyList_CheckExact(records_)) {
            tail = Ref::steal(PyList_GetSlice(records_, idx, PY_SSIZE_T_MAX));
        } else {
            Ref from = Ref::steal(PyLong_FromSsize_t(idx));
            Ref range = from ? Ref::steal(PySlice_New(from.get(), nullptr, nullptr)) : Ref();
            if (range) tail = Ref::steal(PyObject_GetItem(records_, range.get()));
        }
        if (!tail) return false;
        if (PyList_CheckExact(tail.get())) {
            Py_ssize_t n = PyList_GET_SIZE(list);
            return PyList_SetSlice(list, n, n, tail.get()) == 0;
        }
        return bool(bv::call_method(list, name(fn_, n_extend), tail.get()));
    }
    Py_ssize_t length() const { return PyObject_Length(records_); }
    bool lo_at(Py_ssize_t idx, Val& out) const {
        Ref item;
        if (PyList_CheckExact(records_) && idx < PyList_GET_SIZE(records_)) {
            item = Ref::borrow(PyList_GET_ITEM(records_, idx));
        } else {
            Ref at = Ref::steal(PyLong_FromSsize_t(idx));
            if (at) item = Ref::steal(PyObject_GetItem(records_, at.get()));
        }
        return item && lo(item, out);
    }
    bool last_hi(Val& out) const {
        Ref last = item_at(records_, -1);
        return last && hi(last, out);
    }

    // for item in records[from:] (from is 0 or 1)
    template <typename F>
    bool each(Py_ssize_t from, F&& body) {
        Ref seq = Ref::borrow(records_);
        if (from) {
            if (PyList_CheckExact(records_)) {
                seq = Ref::steal(PyList_GetSlice(records_, from, PY_SSIZE_T_MAX));
            } else {
                Ref tail = Ref::steal(PySlice_New(st(fn_).one, nullptr, nullptr));
                if (!tail) return false;
                seq = Ref::steal(PyObject_GetItem(records_, tail.get()));
            }
            if (!seq) return false;
        }
        Ref it = Ref::steal(PyObject_GetIter(seq.get()));
        if (!it) return false;
        for (Py_ssize_t i = from;; ++i) {
            Ref item = Ref::steal(PyIter_Next(it.get()));
            if (!item) return !PyErr_Occurred();
            int r = body(item, i);
            if (r <= 0) return r == 0;
        }
    }

    bool sort() {
        State& s = st(fn_);
        return bool(call_method_kw(records_, name(fn_, n_sort), s.kw_key, s.sort_key));
    }
    bool start(Merged& result) {
        Ref first = item_at(records_, 0);
        if (!first) return false;
        result = Ref::steal(PyList_New(1));
        if (!result) return false;
        PyList_SET_ITEM(result.get(), 0, first.release());
        return true;
    }
    bool last(Merged& result, Item& out) const { return bool(out = item_at(result.get(), -1)); }
    bool set_last(Merged& result, const Val& a, const Val& b) const {
        Ref pair = Ref::steal(PyTuple_Pack(2, a.get(), b.get()));
        return pair &&
               PyList_SetItem(result.get(), PyList_GET_SIZE(result.get()) - 1, pair.release()) == 0;
    }
    bool push(Merged& result, const Item& item) const {
        return PyList_Append(result.get(), item.get()) == 0;
    }
    Ref finish(Merged& result) const { return std::move(result); }

private:
    bv::Function* fn_;
    PyObject* records_;
    Stepper step_;
};

// Runs `method` over Exact<long long, S> or Exact<double, S> when
// `eligible` and the list's bounds and the window admit it (`kind` says
// which to try: the window's start, or the first range's), else over
// Objects.
template <Source S, typename Method>
Ref by_values(bool eligible, PyObject* kind, PyObject* list, PyObject* s, PyObject* e,
              bool sort_keys, bool nonempty, Objects&& objects, Method&& method) {
    if (eligible && PyLong_CheckExact(kind)) {
        Exact<long long, S> p;
        int ok = p.read(list, s, e, sort_keys, nonempty);
        if (ok < 0) return Ref();
        if (ok) return method(p);
    } else if (eligible && PyFloat_CheckExact(kind)) {
        Exact<double, S> p;
        int ok = p.read(list, s, e, sort_keys, nonempty);
        if (ok < 0) return Ref();
        if (ok) return method(p);
    }
    return method(objects);
}

// ---- comb_record ------------------------------------------------------------

// records.sort(key=lambda x: x[0])
// result = [records[0]]
// for item in records[1:]:
//     last = result[-1]
//     if item[0] - 1 <= last[1] < item[1]:
//         result[-1] = (last[0], item[1])
//     elif item[0] > last[1]:
//         result.append(item)
// return result
template <typename P>
Ref comb_ranges(P& p) {
    using Val = typename P::Val;
    using Item = typename P::Item;
    typename P::Merged result;
    if (!p.sort() || !p.start(result)) return Ref();
    bool ok = p.each(1, [&](Item& item, Py_ssize_t) -> int {
        Item last;
        if (!p.last(result, last)) return -1;
        Val start, before, last_end, end;
        if (!p.lo(item, start) || !p.dec(start, before) || !p.hi(last, last_end)) return -1;
        int c = p.cmp(before, last_end, Py_LE);
        if (c > 0) c = p.hi(item, end) ? p.cmp(last_end, end, Py_LT) : -1;
        if (c < 0) return -1;
        if (c) {
            Val a, b;
            return p.lo(last, a) && p.hi(item, b) && p.set_last(result, a, b) ? 1 : -1;
        }
        if (!p.lo(item, start) || !p.hi(last, last_end)) return -1;
        c = p.cmp(start, last_end, Py_GT);
        if (c < 0 || (c && !p.push(result, item))) return -1;
        return 1;
    });
    if (!ok) return Ref();
    return p.finish(result);
}

Ref comb(bv::Function* fn, PyObject* records) {
    Py_ssize_t n = PyObject_Length(records);
    if (n < 0) return Ref();
    if (n < 1) return Ref::steal(PyList_New(0));
    PyObject *lo = nullptr, *hi;
    bool eligible = PyList_CheckExact(records) && PyList_GET_SIZE(records) > 0 &&
                    bounds_of(PyList_GET_ITEM(records, 0), lo, hi);
    return by_values<Source::List>(eligible, lo, records, nullptr, nullptr, true, false,
                     Objects(fn, records, nullptr, Py_None),
                     [](auto& p) { return comb_ranges(p); });
}

PyObject* rr_comb_record(bv::Function* fn, PyObject* const* args) { return comb(fn, args[1]).release(); }

PyObject* rr_sort_key(bv::Function*, PyObject* const* args) { return item_at(args[0], 0).release(); }

// ---- diff_record ------------------------------------------------------------

// (records already merged, and not empty)
// results = []
// ss = s
// for item in records:
//     if item[0] <= ss <= item[1]:
//         ss = cls._do_increment_func(increment_func, item[1], 1)
//     if ss > e:
//         break
//     if e < item[0]:
//         results.append((ss, e))
//         break
//     if ss < item[0] <= e <= item[1]:
//         results.append((ss, cls._do_increment_func(increment_func, item[0], -1)))
//         ss = cls._do_increment_func(increment_func, item[1], 1)
//     if e > item[1] and ss < item[0]:
//         results.append((ss, cls._do_increment_func(increment_func, item[0], -1)))
//         ss = cls._do_increment_func(increment_func, item[1], 1)
// if records[-1][1] < ss <= e:
//     results.append((ss, e))
// return results
template <typename P>
Ref diff_ranges(P& p, PyObject* s, PyObject* e) {
    using Val = typename P::Val;
    using Item = typename P::Item;
    Ref results = Ref::steal(PyList_New(0));
    if (!results) return Ref();
    Val ss = p.arg(s), ev = p.arg(e);
    auto cut_before = [&](const Item& item) -> bool {
        Val before;
        if (!p.step(before, -1, [&](Val& x) { return p.lo(item, x); })) return false;
        if (!p.pair(results.get(), ss, before)) return false;
        return p.step(ss, 1, [&](Val& x) { return p.hi(item, x); });
    };
    bool ok = p.each(0, [&](Item& item, Py_ssize_t) -> int {
        Val a, b;
        if (!p.lo(item, a)) return -1;
        int c = p.cmp(a, ss, Py_LE);
        if (c > 0) c = p.hi(item, b) ? p.cmp(ss, b, Py_LE) : -1;
        if (c < 0) return -1;
        if (c && !p.step(ss, 1, [&](Val& x) { return p.hi(item, x); })) return -1;
        c = p.cmp(ss, ev, Py_GT);
        if (c) return c < 0 ? -1 : 0;
        if (!p.lo(item, a)) return -1;
        c = p.cmp(ev, a, Py_LT);
        if (c) return c < 0 || !p.pair(results.get(), ss, ev) ? -1 : 0;
        if (!p.lo(item, a)) return -1;
        c = p.cmp(ss, a, Py_LT);
        if (c > 0) c = p.cmp(a, ev, Py_LE);
        if (c > 0) c = p.hi(item, b) ? p.cmp(ev, b, Py_LE) : -1;
        if (c < 0 || (c && !cut_before(item))) return -1;
        if (!p.hi(item, b)) return -1;
        c = p.cmp(ev, b, Py_GT);
        if (c > 0) c = p.lo(item, a) ? p.cmp(ss, a, Py_LT) : -1;
        if (c < 0 || (c && !cut_before(item))) return -1;
        return 1;
    });
    if (!ok) return Ref();
    Val last_end;
    if (!p.last_hi(last_end)) return Ref();
    int c = p.cmp(last_end, ss, Py_LT);
    if (c > 0) c = p.cmp(ss, ev, Py_LE);
    if (c < 0 || (c && !p.pair(results.get(), ss, ev))) return Ref();
    return results;
}

// if len(records) < 1: return [(s, e)]
// records = cls.comb_record(records)
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
    bool eligible = PyList_CheckExact(merged.get()) && default_stepping(fn, cls, inc);
    return by_values<Source::None>(eligible, s, merged.get(), s, e, false, true,
                     Objects(fn, merged.get(), cls, inc),
                     [&](auto& p) { return diff_ranges(p, s, e); })
        .release();
}

// ---- sub_record -------------------------------------------------------------

// (records already merged)
// results = []
// ss = s
// ee = e
// for idx, item in enumerate(records):
//     if ss > ee or ee < item[0]:
//         results.extend(records[idx:])
//         return results
//     if ss < item[0] <= ee:
//         ss = item[0]
//     if ss > item[1]:
//         results.append(item)
//     if item[0] <= ss <= item[1]:
//         _e = cls._do_increment_func(increment_func, ss, -1)
//         if item[0] <= _e:
//             results.append((item[0], _e))
//         if ee <= item[1]:
//             _s = cls._do_increment_func(increment_func, ee, 1)
//             if _s <= item[1]:
//                 results.append((_s, item[1]))
//                 ee = cls._do_increment_func(increment_func, item[0], -1)
//         if idx < len(records) - 1:
//             ss = records[idx + 1][0]
//         else:
//             ss = cls._do_increment_func(increment_func, item[1], 1)
// return results
template <typename P>
Ref sub_ranges(P& p, PyObject* s, PyObject* e) {
    using Val = typename P::Val;
    using Item = typename P::Item;
    Ref results = Ref::steal(PyList_New(0));
    if (!results) return Ref();
    Val ss = p.arg(s), ee = p.arg(e);
    bool ok = p.each(0, [&](Item& item, Py_ssize_t idx) -> int {
        Val a, b;
        int c = p.cmp(ss, ee, Py_GT);
        if (c == 0) c = p.lo(item, a) ? p.cmp(ee, a, Py_LT) : -1;
        if (c) return c < 0 || !p.extend_from(results.get(), idx) ? -1 : 0;
        if (!p.lo(item, a)) return -1;
        c = p.cmp(ss, a, Py_LT);
        if (c > 0) c = p.cmp(a, ee, Py_LE);
        if (c < 0 || (c && !p.lo(item, ss))) return -1;
        if (!p.hi(item, b)) return -1;
        c = p.cmp(ss, b, Py_GT);
        if (c < 0 || (c && !p.append(results.get(), item))) return -1;
        if (!p.lo(item, a)) return -1;
        c = p.cmp(a, ss, Py_LE);
        if (c > 0) c = p.hi(item, b) ? p.cmp(ss, b, Py_LE) : -1;
        if (c <= 0) return c < 0 ? -1 : 1;
        Val before;
        if (!p.step(before, -1, [&](Val& x) { x = p.copy(ss); return true; })) return -1;
        if (!p.lo(item, a)) return -1;
        c = p.cmp(a, before, Py_LE);
        if (c > 0) c = p.lo(item, a) && p.pair(results.get(), a, before) ? 1 : -1;
        if (c < 0 || !p.hi(item, b)) return -1;
        c = p.cmp(ee, b, Py_LE);
        if (c < 0) return -1;
        if (c) {
            Val after;
            if (!p.step(after, 1, [&](Val& x) { x = p.copy(ee); return true; })) return -1;
            if (!p.hi(item, b)) return -1;
            c = p.cmp(after, b, Py_LE);
            if (c < 0) return -1;
            if (c) {
                if (!p.hi(item, b) || !p.pair(results.get(), after, b)) return -1;
                if (!p.step(ee, -1, [&](Val& x) { return p.lo(item, x); })) return -1;
            }
        }
        Py_ssize_t n = p.length();
        if (n < 0) return -1;
        if (idx < n - 1) return p.lo_at(idx + 1, ss) ? 1 : -1;
        return p.step(ss, 1, [&](Val& x) { return p.hi(item, x); }) ? 1 : -1;
    });
    if (!ok) return Ref();
    return results;
}

// records = cls.comb_record(records)
PyObject* rr_sub_record(bv::Function* fn, PyObject* const* args) {
    PyObject *cls = args[0], *records = args[1], *s = args[2], *e = args[3], *inc = args[4];
    Ref merged = bv::call_method(cls, name(fn, n_comb_record), records);
    if (!merged) return nullptr;
    bool eligible = PyList_CheckExact(merged.get()) && default_stepping(fn, cls, inc);
    return by_values<Source::Held>(eligible, s, merged.get(), s, e, false, false,
                     Objects(fn, merged.get(), cls, inc),
                     [&](auto& p) { return sub_ranges(p, s, e); })
        .release();
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

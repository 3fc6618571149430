// What both position kinds share: the environment calls, the side tests,
// the walks over today's fills and the snapshot record.
#pragma once

#include "number.hpp"

namespace positions {

// `cnt.env`, read afresh. For a plain module the attribute is its dict's
// entry, which the dict's version tag tells unchanged.
inline Ref current_env(Calc& c) {
    Ref cnt = c.global_obj(n_cnt);
    if (!cnt) return Ref();
    if (PyModule_CheckExact(cnt.get())) {
        PyObject* env =
            bv::memo_lookup(c.st().env_memo, PyModule_GetDict(cnt.get()), c.st().names[n_env]);
        if (env) return Ref::borrow(env);
        if (!c.check(!PyErr_Occurred())) return Ref();
    }
    return c.attr_obj(cnt.get(), n_env);
}

// `cnt.env.<method>(self.target_idx[, extra])`.
inline Ref env_call(Calc& c, PyObject* self, Name method, PyObject* extra) {
    Ref env = current_env(c);
    if (!env) return Ref();
    bv::MethodLookup m;
    if (!c.check(m.load(env.get(), c.st().names[method]))) return Ref();
    Ref target = c.attr_obj(self, n_target_idx);
    if (!target) return Ref();
    Ref r = Ref::steal(m.call(target.get(), extra));
    c.ran_code();
    c.check(bool(r));
    return r;
}

// Truth of `side == cnt.env.gv.<which>`, the caller's value on the left.
inline bool side_is(Calc& c, PyObject* side, Name which) {
    Ref env = current_env(c);
    if (!env) return false;
    Ref gv = c.attr_obj(env.get(), n_gv);
    if (!gv) return false;
    Ref constant = c.attr_obj(gv.get(), which);
    if (!constant) return false;
    int eq = bv::eq_true(side, constant.get());
    c.ran_code();
    c.check(eq >= 0);
    return eq > 0;
}

// `for a, b in self.<list>: each(a, b)`. The list may change under us (the
// entries run Python code when they unpack), so each entry is held while in
// use and the length is read again at every step, as the list iterator does.
template <typename F>
void walk_fills(Calc& c, PyObject* self, Name list, F&& each) {
    Ref seq = c.attr_obj(self, list);
    if (!seq) return;
    auto visit = [&](PyObject* entry) {
        Ref a, b;
        bool unpacked = bv::unpack2(entry, a, b);
        // Unpacking anything but a tuple or a list ran its __iter__.
        if (!PyTuple_CheckExact(entry) && !PyList_CheckExact(entry)) c.ran_code();
        if (!c.check(unpacked)) return false;
        each(Num::steal(std::move(a)), Num::steal(std::move(b)));
        return c.ok();
    };
    if (PyList_CheckExact(seq.get())) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq.get()); ++i) {
            Ref entry = Ref::borrow(PyList_GET_ITEM(seq.get(), i));
            if (!visit(entry.get())) return;
        }
        return;
    }
    c.ran_code();
    Ref it = Ref::steal(PyObject_GetIter(seq.get()));
    if (!c.check(bool(it))) return;
    while (Ref entry = Ref::steal(PyIter_Next(it.get()))) {
        c.ran_code();
        if (!visit(entry.get())) return;
    }
    c.ran_code();
    c.check(!PyErr_Occurred());
}

// Today's volume of one list: the second values added up (+=) from int 0.
inline Num today_volume(Calc& c, PyObject* self, Name list) {
    Num sum = c.int_zero();
    walk_fills(c, self, list, [&](Num, Num volume) { sum = c.iadd(sum, volume); });
    return sum;
}

// self.<n> = v
inline bool set_attr(bv::Function* fn, PyObject* self, Name n, PyObject* v) {
    return PyObject_SetAttr(self, name(fn, n), v) == 0;
}

// `<module global>.<attr>`, both read afresh (pd.NaT, gv.TARGETTYPE_STOCK).
inline Ref global_attr(bv::Function* fn, Name global, Name attr) {
    Ref g = bv::global(fn, name(fn, global));
    if (!g) return Ref();
    return bv::getattr(g.get(), name(fn, attr));
}

// super(<module global cls_name>, self).__init__()
inline bool super_init(bv::Function* fn, Name cls_name, PyObject* self) {
    Ref cls = bv::global(fn, name(fn, cls_name));
    if (!cls) return false;
    Ref sup = bv::call(reinterpret_cast<PyObject*>(&PySuper_Type), cls.get(), self);
    if (!sup) return false;
    Ref init = bv::getattr(sup.get(), name(fn, n_init));
    if (!init) return false;
    return bool(bv::call(init.get()));
}

// ---- The small members: straight code over objects, no Calc ------------
//
// These run in every engine loop, for every position, and their bodies are
// a few reads and one or two additions, so they keep to borrowed arguments,
// remembered lookups and sums of small ints in C. Evaluation order and
// number semantics are those of the Calc paths.

// obj.<n>, as PyObject_GetAttr gives it.
inline Ref read(State& st, PyObject* obj, Name n) {
    return bv::getattr(obj, st.names[n], st.attr_sites[n]);
}

// `cnt.env`, read afresh.
inline Ref env_now(bv::Function* fn, State& st) {
    Ref cnt;
    if (PyObject* g = bv::memo_lookup(st.global_memo[n_cnt], fn->globals, st.names[n_cnt])) {
        cnt = Ref::borrow(g);
    } else {
        if (PyErr_Occurred()) return Ref();
        cnt = bv::global(fn, st.names[n_cnt]);
        if (!cnt) return Ref();
    }
    if (PyModule_CheckExact(cnt.get())) {
        PyObject* env = bv::memo_lookup(st.env_memo, PyModule_GetDict(cnt.get()), st.names[n_env]);
        if (env) return Ref::borrow(env);
        if (PyErr_Occurred()) return Ref();
    }
    return read(st, cnt.get(), n_env);
}

// `cnt.env.<method>(self.target_idx[, extra])`.
inline Ref call_env(bv::Function* fn, State& st, PyObject* self, Name method, PyObject* extra) {
    Ref env = env_now(fn, st);
    if (!env) return Ref();
    Ref meth;
    bool unbound = bv::method_cached(env.get(), st.names[method], st.attr_sites[method], meth);
    if (!meth) return Ref();
    Ref target = read(st, self, n_target_idx);
    if (!target) return Ref();
    PyObject* stack[3] = {env.get(), target.get(), extra};
    size_t n = extra ? 2 : 1;
    if (unbound) return Ref::steal(bv::vectorcall(meth.get(), stack, n + 1, nullptr));
    return Ref::steal(
        bv::vectorcall(meth.get(), stack + 1, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// Truth of `side == cnt.env.gv.<which>`; -1 on error.
inline int side_equals(bv::Function* fn, State& st, PyObject* side, Name which) {
    Ref env = env_now(fn, st);
    if (!env) return -1;
    Ref gv = read(st, env.get(), n_gv);
    if (!gv) return -1;
    Ref constant = read(st, gv.get(), which);
    if (!constant) return -1;
    return bv::eq_true(side, constant.get());
}

// The double Python converts an exact float or a one-digit int to.
inline bool plain_double(PyObject* o, double& d) {
    long long i;
    if (PyFloat_CheckExact(o)) {
        d = PyFloat_AS_DOUBLE(o);
        return true;
    }
    if (PyLong_CheckExact(o) && bv::compact_long(o, i)) {
        d = static_cast<double>(i);
        return true;
    }
    return false;
}

// a + b (a += b with `inplace`), a * b: one-digit ints and floats combined in
// C where that is what the host computes (see Num for the two-NaN case).
// Adding int 0 to an int gives an equal int: the operand itself serves.
inline Ref add(PyObject* a, PyObject* b, bool inplace = false) {
    long long x, y;
    double p, q;
    if (PyLong_CheckExact(a) && PyLong_CheckExact(b) && bv::compact_long(a, x) &&
        bv::compact_long(b, y)) {
        if (x == 0) return Ref::borrow(b);
        if (y == 0) return Ref::borrow(a);
        return bv::from_long(x + y);
    }
    if ((PyFloat_CheckExact(a) || PyFloat_CheckExact(b)) && plain_double(a, p) &&
        plain_double(b, q) && !(std::isnan(p) && std::isnan(q)))
        return bv::from_double(p + q);
    return Ref::steal(inplace ? PyNumber_InPlaceAdd(a, b) : PyNumber_Add(a, b));
}

inline Ref mul(PyObject* a, PyObject* b) {
    long long x, y;
    double p, q;
    if (PyLong_CheckExact(a) && PyLong_CheckExact(b) && bv::compact_long(a, x) &&
        bv::compact_long(b, y))
        return bv::from_long(x * y);  // two 30-bit values
    if ((PyFloat_CheckExact(a) || PyFloat_CheckExact(b)) && plain_double(a, p) &&
        plain_double(b, q) && !(std::isnan(p) && std::isnan(q)))
        return bv::from_double(p * q);
    return Ref::steal(PyNumber_Multiply(a, b));
}

// today = 0; for _, volume in self.<list>: today += volume
// While the sum and the volumes are one-digit ints held in exact tuples of
// two, nothing can run Python code and the sum is kept in C (`acc`); from
// the first other entry on each entry is held, unpacked and added as the
// loop does (`obj`). The list's length is read again at every step, as its
// iterator does.
struct FillSum {
    bool ok = true;
    long long acc = 0;
    Ref obj;
    Ref box() { return obj ? std::move(obj) : bv::from_long(acc); }
};

inline FillSum fills_sum(State& st, PyObject* self, Name list) {
    FillSum sum;
    Ref seq = read(st, self, list);
    if (!seq) {
        sum.ok = false;
        return sum;
    }
    auto add_general = [&](PyObject* entry) -> bool {
        Ref price, volume;
        if (!bv::unpack2(entry, price, volume)) return false;
        if (!sum.obj) {
            sum.obj = bv::from_long(sum.acc);
            if (!sum.obj) return false;
        }
        Ref r = add(sum.obj.get(), volume.get(), true);
        if (!r) return false;
        sum.obj = std::move(r);
        return true;
    };
    if (PyList_CheckExact(seq.get())) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq.get()); ++i) {
            PyObject* entry = PyList_GET_ITEM(seq.get(), i);
            long long v, r;
            if (!sum.obj && PyTuple_CheckExact(entry) && PyTuple_GET_SIZE(entry) == 2 &&
                PyLong_CheckExact(PyTuple_GET_ITEM(entry, 1)) &&
                bv::compact_long(PyTuple_GET_ITEM(entry, 1), v) &&
                !__builtin_add_overflow(sum.acc, v, &r)) {
                sum.acc = r;
                continue;
            }
            Ref held = Ref::borrow(entry);
            if (!add_general(held.get())) {
                sum.ok = false;
                return sum;
            }
        }
        return sum;
    }
    Ref it = Ref::steal(PyObject_GetIter(seq.get()));
    sum.ok = bool(it);
    while (sum.ok) {
        Ref entry = Ref::steal(PyIter_Next(it.get()));
        if (!entry) {
            sum.ok = !PyErr_Occurred();
            break;
        }
        sum.ok = add_general(entry.get());
    }
    return sum;
}

inline Ref fills_volume(State& st, PyObject* self, Name list) {
    FillSum sum = fills_sum(st, self, list);
    return sum.ok ? sum.box() : Ref();
}

// self.<volume_yd> + today's volume of <list>, read in that order
inline Ref book_total(State& st, PyObject* self, Name volume_yd, Name list) {
    Ref held = read(st, self, volume_yd);
    if (!held) return Ref();
    FillSum today = fills_sum(st, self, list);
    if (!today.ok) return Ref();
    long long x, r;
    if (!today.obj && PyLong_CheckExact(held.get()) && bv::compact_long(held.get(), x) &&
        !__builtin_add_overflow(x, today.acc, &r))
        return today.acc == 0 ? std::move(held) : bv::from_long(r);
    Ref t = today.box();
    if (!t) return Ref();
    return add(held.get(), t.get());
}

// A new, empty OrderedDict for a record (shaped for its keys where the host
// allows).
Ref new_record(State& st);

// A snapshot record under construction. With the module's OrderedDict being
// collections.OrderedDict the values are collected and the record is built
// in one go at the end (nothing can watch it grow); with anything else bound
// there the record is that callable's result, filled item by item.
class Record {
public:
    explicit Record(Calc& c);
    void put(RecordKey k, Ref v);
    void put(RecordKey k, const Num& v) { put(k, c_.box(v)); }
    void put_borrowed(RecordKey k, PyObject* v) { put(k, Ref::borrow(v)); }
    // record[k], the value just stored.
    Num get(RecordKey k);
    // The record, or null after any failure.
    Ref finish();

private:
    Calc& c_;
    bool collect_ = false;
    Ref record_;
    Ref values_[kRecordKeyCount];
};

}  // namespace positions

// What both position kinds share: reads of the environment, the side tests
// and the walks over today's fills, used by the small members and the
// snapshots alike, and the evaluation of a snapshot's figures into its
// record.
#pragma once

#include "positions.hpp"

#include "../runtime/number.hpp"
#include "../runtime/ops.hpp"

#include <cstring>
#include <utility>

namespace positions {

using bv::Num;
using bv::Op;
using bv::Owned;

// ---- reads and writes -----------------------------------------------------------

// obj.<n>, as PyObject_GetAttr gives it.
BV_ALWAYS_INLINE Ref read(bv::Function* fn, PyObject* obj, Name n) {
    State& st = state(fn);
    return bv::getattr(obj, st.names[n], st.attr_sites[n]);
}

// self.<n> = v
inline bool set_attr(bv::Function* fn, PyObject* self, Name n, PyObject* v) {
    return PyObject_SetAttr(self, name(fn, n), v) == 0;
}

// A module global as a function body reads it (module, then builtins); the
// module's entry is remembered with its dict's version.
BV_ALWAYS_INLINE Ref global(bv::Function* fn, Name n) {
    State& st = state(fn);
    if (PyObject* v = bv::memo_lookup(st.global_memo[n], fn->globals, st.names[n]))
        return Ref::borrow(v);
    if (PyErr_Occurred()) return Ref();
    return bv::global(fn, st.names[n]);
}

// `<module global>.<attr>`, both read afresh (pd.NaT, gv.TARGETTYPE_STOCK).
inline Ref global_attr(bv::Function* fn, Name global, Name attr) {
    return bv::global_attr(fn, name(fn, global), name(fn, attr));
}

// super(<module global cls_name>, self).__init__()
inline bool super_init(bv::Function* fn, Name cls_name, PyObject* self) {
    Ref init = bv::super_attr(fn, name(fn, cls_name), self, name(fn, n_init));
    return init && bv::call(init.get());
}

// ---- the environment --------------------------------------------------------------

// `cnt.env`, read afresh. For a plain module the attribute is its dict's
// entry, which the dict's version tag tells unchanged.
BV_ALWAYS_INLINE Ref current_env(bv::Function* fn) {
    State& st = state(fn);
    Ref cnt = global(fn, n_cnt);
    if (!cnt) return Ref();
    if (PyModule_CheckExact(cnt.get())) {
        PyObject* env = bv::memo_lookup(st.env_memo, PyModule_GetDict(cnt.get()), st.names[n_env]);
        if (env) return Ref::borrow(env);
        if (PyErr_Occurred()) return Ref();
    }
    return read(fn, cnt.get(), n_env);
}

// `cnt.env.<method>(self.target_idx[, extra])`: the method is looked up
// before target_idx is read, as the call expression does.
inline Ref call_env(bv::Function* fn, PyObject* self, Name method, PyObject* extra) {
    State& st = state(fn);
    Ref env = current_env(fn);
    if (!env) return Ref();
    Ref meth;
    bool unbound = bv::method_cached(env.get(), st.names[method], st.attr_sites[method], meth);
    if (!meth) return Ref();
    Ref target = read(fn, self, n_target_idx);
    if (!target) return Ref();
    PyObject* stack[3] = {env.get(), target.get(), extra};
    size_t n = extra ? 2 : 1;
    if (unbound) return Ref::steal(bv::vectorcall(meth.get(), stack, n + 1, nullptr));
    return Ref::steal(
        bv::vectorcall(meth.get(), stack + 1, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// Truth of `side == cnt.env.gv.<which>`, the caller's value on the left;
// -1 on error.
BV_ALWAYS_INLINE int side_is(bv::Function* fn, PyObject* side, Name which) {
    Ref env = current_env(fn);
    if (!env) return -1;
    Ref gv = read(fn, env.get(), n_gv);
    if (!gv) return -1;
    Ref constant = read(fn, gv.get(), which);
    if (!constant) return -1;
    return bv::eq_true(side, constant.get());
}

// ---- today's fills ----------------------------------------------------------------

// for a, b in <seq>[start:]: each(a, b), `start` counting only for an exact
// list. `each` gets the two values borrowed, alive for the call, and
// returns false on error. The list may change under us (unpacking an entry
// and `each` may run Python code), so each entry is held while in use and
// the length is read again at every step, as the list iterator does. False
// on error.
template <typename Each>
bool each_entry(PyObject* seq, Py_ssize_t start, Each&& each) {
    auto visit = [&](PyObject* entry) -> bool {
        // A tuple's items live as long as the tuple.
        if (PyTuple_CheckExact(entry) && PyTuple_GET_SIZE(entry) == 2)
            return each(PyTuple_GET_ITEM(entry, 0), PyTuple_GET_ITEM(entry, 1));
        Ref a, b;
        return bv::unpack2(entry, a, b) && each(a.get(), b.get());
    };
    if (PyList_CheckExact(seq)) {
        for (Py_ssize_t i = start; i < PyList_GET_SIZE(seq); ++i) {
            Ref entry = Ref::borrow(PyList_GET_ITEM(seq, i));
            if (!visit(entry.get())) return false;
        }
        return true;
    }
    Ref it = Ref::steal(PyObject_GetIter(seq));
    if (!it) return false;
    while (Ref entry = Ref::steal(PyIter_Next(it.get())))
        if (!visit(entry.get())) return false;
    return !PyErr_Occurred();
}

// for a, b in self.<list>: each(a, b)
template <typename Each>
bool each_fill(bv::Function* fn, PyObject* self, Name list, Each&& each) {
    Ref seq = read(fn, self, list);
    return seq && each_entry(seq.get(), 0, each);
}

// today = 0; for _, volume in self.<list>: today += volume
BV_ALWAYS_INLINE Owned today_volume(bv::Function* fn, PyObject* self, Name list) {
    Ref seq = read(fn, self, list);
    if (!seq) return Owned();
    // The exact step over the leading run of an exact list whose entries are
    // exact pairs with an exact int volume: reading them runs no code, and
    // their sum in C is the int Python's `+=` gives while it fits.
    long long sum = 0;
    Py_ssize_t done = 0;
    if (PyList_CheckExact(seq.get())) {
        for (; done < PyList_GET_SIZE(seq.get()); ++done) {
            PyObject* entry = PyList_GET_ITEM(seq.get(), done);
            long long v;
            if (!PyTuple_CheckExact(entry) || PyTuple_GET_SIZE(entry) != 2) break;
            Num volume = Num::of(PyTuple_GET_ITEM(entry, 1));
            if (volume.kind() != Num::Int || __builtin_add_overflow(sum, volume.i(), &v)) break;
            sum = v;
        }
        if (done == PyList_GET_SIZE(seq.get())) return Owned(Num::integer(sum));
    }
    Owned today(done ? Num::integer(sum) : Num::of(state(fn).int_zero));
    bool ok = each_entry(seq.get(), done, [&](PyObject*, PyObject* volume) {
        today = bv::apply(Op::InPlaceAdd, today.num(), Num::of(volume));
        return bool(today);
    });
    return ok ? std::move(today) : Owned();
}

// self.<volume_yd> + today's volume of <list>, read in that order
BV_ALWAYS_INLINE Owned book_total(bv::Function* fn, PyObject* self, Name volume_yd, Name list) {
    Ref held = read(fn, self, volume_yd);
    if (!held) return Owned();
    Owned today = today_volume(fn, self, list);
    if (!today) return Owned();
    return bv::apply(Op::Add, Num::of(held.get()), today.num());
}

// a <op> b, where `a` is a step's result (failed: an error is set) and `b`
// an object.
BV_ALWAYS_INLINE Owned then(const Owned& a, Op op, PyObject* b) {
    if (!a) return Owned();
    return bv::apply(op, a.num(), Num::of(b));
}

// ---- snapshots ----------------------------------------------------------------------

// One evaluation of a snapshot's figures, step by step in the order the
// expressions take them. Values are numbers as the numeric core sees them:
// exact ints and floats unboxed, and every object they refer to held by the
// evaluation until it ends. Each operation takes the core's exact step where
// it applies and the number protocol otherwise. After the first error every
// step is skipped (no attribute is read, no Python code runs) and results
// are meaningless until the caller sees !ok().
class Eval {
public:
    Eval(bv::Function* fn, PyObject* self) : fn_(fn), st_(state(fn)), self_(self) {}
    Eval(const Eval&) = delete;
    Eval& operator=(const Eval&) = delete;
    ~Eval() {
        release(0);
        if (held_ != inline_) PyMem_Free(held_);
    }

    bool ok() const { return ok_; }
    bv::Function* fn() const { return fn_; }
    State& st() const { return st_; }
    // Records a failure reported by a step outside this class.
    bool check(bool step_ok) {
        if (!step_ok) ok_ = false;
        return ok_;
    }
    // Records that the last step may have run Python code, which may have
    // changed anything read so far.
    void ran_code() { ++epoch_; }

    // A step's result (a new reference, or null on failure) as a number
    // held until the evaluation ends.
    Num take(Ref r) {
        if (!check(bool(r))) return Num();
        PyObject* o = r.release();
        if (count_ == capacity_ && !grow()) {
            Py_DECREF(o);
            return Num();
        }
        held_[count_++] = o;
        return Num::of(o);
    }
    Ref box(const Num& v) {
        if (!ok_) return Ref();
        Ref r = Ref::steal(bv::box(v));
        check(bool(r));
        return r;
    }

    // self.<n>. A read that provably runs no Python code (the instance's own
    // value, a plain class attribute) gives the same object again while no
    // code has run since, so it is answered from the last one; any other
    // read is made at every use, as the expressions do.
    BV_ALWAYS_INLINE Num attr(Name n) {
        if (!ok_) return Num();
        unsigned place = attr_place(n);
        if (place < kPositionAttrCount && seen_[place] == epoch_) return value_[place];
        return read_attr(n);
    }
    Ref attr_obj(Name n) { return box(attr(n)); }

    // `cnt.env.<method>(self.target_idx[, extra])`
    Num env_call(Name method, PyObject* extra) {
        if (!ok_) return Num();
        Num r = take(call_env(fn_, self_, method, extra));
        ran_code();
        return r;
    }
    // `<module global>.<attr>`
    Ref global_attr(Name global, Name attr) {
        if (!ok_) return Ref();
        Ref r = positions::global_attr(fn_, global, attr);
        ran_code();
        check(bool(r));
        return r;
    }

    // for a, b in self.<list>: each(Num(a), Num(b)). What one entry's
    // figures leave behind is let go when the entry is done, as the loop
    // body's temporaries are; `each` keeps what it needs in Owned values.
    template <typename Each>
    void walk(Name list, Each&& each) {
        if (!ok_) return;
        check(each_fill(fn_, self_, list, [&](PyObject* a, PyObject* b) {
            size_t mark = count_;
            each(Num::of(a), Num::of(b));
            release(mark);
            return ok_;
        }));
        ran_code();
    }

    __attribute__((noinline)) Num add(const Num& a, const Num& b) { return apply(Op::Add, a, b); }
    __attribute__((noinline)) Num iadd(const Num& a, const Num& b) { return apply(Op::InPlaceAdd, a, b); }
    __attribute__((noinline)) Num sub(const Num& a, const Num& b) { return apply(Op::Subtract, a, b); }
    __attribute__((noinline)) Num mul(const Num& a, const Num& b) { return apply(Op::Multiply, a, b); }
    __attribute__((noinline)) Num div(const Num& a, const Num& b) { return apply(Op::TrueDivide, a, b); }
    __attribute__((noinline)) Num floordiv(const Num& a, const Num& b) { return apply(Op::FloorDivide, a, b); }
    Num to_int(const Num& a) {
        if (!ok_) return Num();
        Num r;
        if (bv::exact_int(a, r)) return r;
        return generic(bv::to_int(a));
    }
    // Truth of `a != 0`; false after an error, so callers check ok().
    bool nonzero(const Num& a) {
        if (!ok_) return false;
        bool r;
        Num zero = Num::of(st_.int_zero);
        if (bv::exact_compare(a, zero, Py_NE, r)) return r;
        int t = bv::compare(a, zero, Py_NE);
        ran_code();
        check(t >= 0);
        return t > 0;
    }
    // (v * PRECISION_MUL + 0.5) // 1 / PRECISION_MUL, with the global read
    // at each of its two uses.
    Num round(const Num& v) {
        Num r;
        if (ok_ && bv::exact_round(v, precision_mul(), r)) return r;
        Num scaled = mul(v, precision_mul());
        Num shifted = add(scaled, Num::of(st_.float_half));
        Num floored = floordiv(shifted, Num::of(st_.int_one));
        return div(floored, precision_mul());
    }

private:
    BV_ALWAYS_INLINE Num apply(Op op, const Num& a, const Num& b) {
        Num r;
        if (ok_ && bv::exact(op, a, b, r)) return r;
        return by_protocol(op, a, b);
    }
    // The step by the number protocol, which may run code.
    __attribute__((noinline)) Num by_protocol(Op op, const Num& a, const Num& b) {
        if (!ok_) return Num();
        return generic(bv::protocol(op, a, b));
    }
    Num generic(Owned r) {
        ran_code();
        return take(r.release());
    }
    // self.<n> read now; remembered when the read ran no code.
    __attribute__((noinline)) Num read_attr(Name n) {
        bool quiet;
        Num v = take(bv::getattr(self_, st_.names[n], st_.attr_sites[n], &quiet));
        unsigned place = attr_place(n);
        if (!quiet) {
            ran_code();
        } else if (place < kPositionAttrCount && ok_) {
            value_[place] = v;
            seen_[place] = epoch_;
        }
        return v;
    }
    // PRECISION_MUL, answered from the last read while no code has run.
    Num precision_mul() {
        if (!ok_) return Num();
        if (pm_seen_ != epoch_) {
            pm_ = take(global(fn_, n_PRECISION_MUL));
            pm_seen_ = epoch_;
        }
        return pm_;
    }
    bool grow() {
        size_t capacity = capacity_ * 2;
        void* p = held_ == inline_ ? PyMem_Malloc(capacity * sizeof(PyObject*))
                                   : PyMem_Realloc(held_, capacity * sizeof(PyObject*));
        if (!p) {
            PyErr_NoMemory();
            return check(false);
        }
        if (held_ == inline_) memcpy(p, inline_, count_ * sizeof(PyObject*));
        held_ = static_cast<PyObject**>(p);
        capacity_ = capacity;
        return true;
    }
    // Lets go of what was taken since `mark`; releasing may run code.
    void release(size_t mark) {
        if (count_ == mark) return;
        while (count_ > mark) Py_DECREF(held_[--count_]);
        ran_code();
    }

    bv::Function* fn_;
    State& st_;
    PyObject* self_;
    bool ok_ = true;
    unsigned epoch_ = 1;
    unsigned seen_[kPositionAttrCount] = {};
    Num value_[kPositionAttrCount];
    unsigned pm_seen_ = 0;
    Num pm_;
    PyObject* inline_[48];
    PyObject** held_ = inline_;
    size_t count_ = 0;
    size_t capacity_ = 48;
};

// A new, empty OrderedDict for a record (shaped for its keys where the host
// allows).
Ref new_record(State& st);

// A snapshot record under construction. With the module's OrderedDict being
// collections.OrderedDict the values are collected as numbers and the record
// is built in one go at the end (nothing can watch it grow, and a value is
// boxed only as it goes in); with anything else bound there the record is
// that callable's result, filled item by item.
class Record {
public:
    explicit Record(Eval& e);
    void put(RecordKey k, const Num& v);
    void put(RecordKey k, Ref v);
    void put_borrowed(RecordKey k, PyObject* v) { put(k, Num::of(v)); }
    // record[k], the value just stored.
    Num get(RecordKey k);
    // The record, or null after any failure.
    Ref finish();

private:
    Eval& e_;
    bool collect_ = false;
    Ref record_;
    // What the record will hold; each object held by the evaluation, by
    // the caller or by the module state.
    Num values_[kRecordKeyCount];
};

}  // namespace positions

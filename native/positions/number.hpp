// The arithmetic of the position figures, with Python's number semantics.
//
// Exact ints that fit a long long and exact floats are kept unboxed and
// combined in C where the result is provably the one Python computes: int
// operations without overflow, and float operations whose int operands
// convert to double exactly (|i| <= 2**53, which is what int -> float gives).
// Everything else (big ints, bool, numpy scalars, Decimal, None, ...) goes
// through PyNumber_* on the objects, so types, results and errors stay
// Python's own.
#pragma once

#include "positions.hpp"

#include <climits>
#include <cmath>
#include <utility>

namespace positions {

using bv::Ref;

// A number as the unboxed path sees it: trivially copied, the object it was
// read from borrowed (null for a computed value).
struct Val {
    unsigned char kind = 2;  // Num::Kind
    long long i = 0;
    double d = 0.0;
    PyObject* src = nullptr;
};

class Num {
public:
    enum Kind : unsigned char { kInt, kFloat, kObj };

    Num() = default;
    static Num integer(long long v) {
        Num n;
        n.kind_ = kInt;
        n.i_ = v;
        return n;
    }
    static Num real(double v) {
        Num n;
        n.kind_ = kFloat;
        n.d_ = v;
        return n;
    }
    // Takes over a new reference (not null). An exact int or float keeps the
    // object too, so boxing it again returns the very object read.
    static Num steal(Ref o) {
        Num n;
        PyObject* p = o.get();
        if (PyFloat_CheckExact(p)) {
            n.kind_ = kFloat;
            n.d_ = PyFloat_AS_DOUBLE(p);
        } else if (PyLong_CheckExact(p)) {
            long long v;
            int overflow = 0;
            if (bv::compact_long(p, v)) {
                n.kind_ = kInt;
                n.i_ = v;
                n.obj_ = std::move(o);
                return n;
            }
            v = PyLong_AsLongLongAndOverflow(p, &overflow);
            if (overflow) {
                n.kind_ = kObj;
            } else {
                n.kind_ = kInt;
                n.i_ = v;
            }
        } else {
            n.kind_ = kObj;
        }
        n.obj_ = std::move(o);
        return n;
    }
    static Num borrow(PyObject* o) { return steal(Ref::borrow(o)); }

    Num clone() const {
        Num n;
        n.kind_ = kind_;
        n.i_ = i_;
        n.d_ = d_;
        n.obj_ = Ref::borrow(obj_.get());
        return n;
    }

    Kind kind() const { return kind_; }
    // Valid while this Num lives.
    Val view() const { return Val{kind_, i_, d_, obj_.get()}; }

    // Both operands of a float operation as doubles, when the conversion is
    // exact. With two NaNs the payload kept depends on the operand order the
    // compiler picked, so that case goes to the interpreter's float methods
    // (what PyNumber_* and compiled peers use; 3.11's specialised bytecode
    // may keep the other NaN).
    static bool exact_pair(const Num& a, const Num& b, double& x, double& y) {
        return a.exact_double(x) && b.exact_double(y) && !(std::isnan(x) && std::isnan(y));
    }
    long long i() const { return i_; }
    double d() const { return d_; }

    // A new reference to the value as a Python object.
    Ref box() const {
        if (obj_) return Ref::borrow(obj_.get());
        if (kind_ == kInt) return Ref::steal(PyLong_FromLongLong(i_));
        return Ref::steal(PyFloat_FromDouble(d_));
    }

    // The double Python converts this value to in a float operation, when the
    // conversion is exact.
    bool exact_double(double& out) const {
        if (kind_ == kFloat) {
            out = d_;
            return true;
        }
        if (kind_ == kInt && i_ >= -kMaxExact && i_ <= kMaxExact) {
            out = static_cast<double>(i_);
            return true;
        }
        return false;
    }

private:
    static constexpr long long kMaxExact = 1LL << 53;
    Kind kind_ = kInt;
    long long i_ = 0;
    double d_ = 0.0;
    Ref obj_;
};

// Val's counterparts of Num::exact_double and Num::exact_pair.
inline bool exact_double(const Val& v, double& out) {
    constexpr long long kMaxExact = 1LL << 53;
    if (v.kind == Num::kFloat) {
        out = v.d;
        return true;
    }
    if (v.kind == Num::kInt && v.i >= -kMaxExact && v.i <= kMaxExact) {
        out = static_cast<double>(v.i);
        return true;
    }
    return false;
}

inline bool exact_pair(const Val& a, const Val& b, double& x, double& y) {
    return exact_double(a, x) && exact_double(b, y) && !(std::isnan(x) && std::isnan(y));
}

// Python's float floor division (float_floor_div), for finite operands and
// a non-zero divisor.
inline double float_floor_div(double vx, double wx) {
    if (wx == 1.0) {
        // What the general steps below give for a divisor of 1.
        double r = std::floor(vx);
        return r == 0.0 ? std::copysign(0.0, vx) : r;
    }
    double mod = std::fmod(vx, wx);
    double div = (vx - mod) / wx;
    if (mod) {
        if ((wx < 0) != (mod < 0)) div -= 1.0;
    }
    double floordiv;
    if (div) {
        floordiv = std::floor(div);
        if (div - floordiv > 0.5) floordiv += 1.0;
    } else {
        floordiv = std::copysign(0.0, vx / wx);
    }
    return floordiv;
}

// Reads of the position's own attributes during one snapshot. A formula
// names the same attribute many times, and each use reads it afresh; a read
// that can run no Python code (the instance's own value, no descriptor on
// the class) gives the same object again as long as no Python code has run
// in between, so such reads are answered from here.
class SelfReads {
public:
    explicit SelfReads(PyObject* self) : self_(self) {}

private:
    friend class Calc;
    friend class Pure;
    static constexpr int kFirst = n_account_idx;
    static constexpr int kCount = n_short_holding_total - n_account_idx + 1;
    PyObject* self_;
    unsigned stamp_[kCount] = {};
    Num value_[kCount];
};

// One evaluation of a method body. After the first error every step is
// skipped (no attribute is read, no Python code runs) and results are
// meaningless until the caller sees !ok().
class Calc {
public:
    using Value = Num;
    explicit Calc(bv::Function* fn, SelfReads* reads = nullptr)
        : fn_(fn), st_(state(fn)), reads_(reads) {}

    bool ok() const { return ok_; }
    // Records a failure reported by a step outside this class.
    bool check(bool step_ok) {
        if (!step_ok) ok_ = false;
        return ok_;
    }
    // Records that the last step may have run Python code, which may have
    // changed anything read so far.
    void ran_code() { ++epoch_; }
    bv::Function* fn() const { return fn_; }
    unsigned epoch() const { return epoch_; }
    State& st() const { return st_; }

    Num attr(PyObject* obj, Name n) {
        if (!ok_) return Num();
        int slot = n - SelfReads::kFirst;
        bool own = reads_ && obj == reads_->self_ && slot >= 0 && slot < SelfReads::kCount;
        if (own && reads_->stamp_[slot] == epoch_) return reads_->value_[slot].clone();
        bool quiet;
        Num v = take(bv::getattr(obj, st_.names[n], st_.attr_sites[n], &quiet));
        if (!quiet) {
            ran_code();
        } else if (own && ok_) {
            reads_->value_[slot] = v.clone();
            reads_->stamp_[slot] = epoch_;
        }
        return v;
    }
    Ref attr_obj(PyObject* obj, Name n) { return box(attr(obj, n)); }
    // Makes the position's own attribute <n> known as attr() would read it,
    // but only where that read provably runs no Python code; false, with
    // nothing done, where only a read that may run code can tell.
    bool peek(PyObject* obj, Name n) {
        int slot = n - SelfReads::kFirst;
        if (!ok_ || !reads_ || obj != reads_->self_ || slot < 0 || slot >= SelfReads::kCount)
            return false;
        if (reads_->stamp_[slot] == epoch_) return true;
        PyObject* v = nullptr;
        int found = bv::getattr_if_quiet(obj, st_.names[n], st_.attr_sites[n], &v);
        if (found < 0) PyErr_Clear();  // the read proper raises it again
        if (found <= 0) return false;
        reads_->value_[slot] = Num::steal(Ref::steal(v));
        reads_->stamp_[slot] = epoch_;
        return true;
    }
    // A module global; PRECISION_MUL, read twice per rounding, is answered
    // from the last read while no Python code has run since.
    Num global(Name n) {
        if (!ok_) return Num();
        if (n == n_PRECISION_MUL && pm_stamp_ == epoch_) return pm_.clone();
        Num v = take(global_obj(n));
        if (ok_ && n == n_PRECISION_MUL) {
            pm_ = v.clone();
            pm_stamp_ = epoch_;
        }
        return v;
    }
    // A module global as a function body reads it (module, then builtins).
    Ref global_obj(Name n) {
        if (!ok_) return Ref();
        PyObject* v = bv::memo_lookup(st_.global_memo[n], fn_->globals, st_.names[n]);
        if (v) return Ref::borrow(v);
        if (PyErr_Occurred()) {
            ok_ = false;
            return Ref();
        }
        Ref r = bv::global(fn_, st_.names[n]);
        if (!r) ok_ = false;
        return r;
    }
    Num take(Ref r) {
        if (!r) {
            ok_ = false;
            return Num();
        }
        return Num::steal(std::move(r));
    }
    Ref box(const Num& n) {
        if (!ok_) return Ref();
        Ref r = n.box();
        if (!r) ok_ = false;
        return r;
    }

    Num int_zero() const { return Num::borrow(st_.int_zero); }
    Num float_zero() const { return Num::borrow(st_.float_zero); }

    Num add(const Num& a, const Num& b) { return add_as(a, b, PyNumber_Add); }
    // a += b: the same for ints and floats, but other types answer through
    // their in-place method, and a failure is worded with "+=".
    Num iadd(const Num& a, const Num& b) { return add_as(a, b, PyNumber_InPlaceAdd); }
    Num sub(const Num& a, const Num& b) {
        if (!ok_) return Num();
        if (a.kind() == Num::kInt && b.kind() == Num::kInt) {
            long long r;
            if (!__builtin_sub_overflow(a.i(), b.i(), &r)) return Num::integer(r);
        } else if (double x, y; Num::exact_pair(a, b, x, y)) {
            return Num::real(x - y);
        }
        return generic(a, b, PyNumber_Subtract);
    }
    Num mul(const Num& a, const Num& b) {
        if (!ok_) return Num();
        if (a.kind() == Num::kInt && b.kind() == Num::kInt) {
            long long r;
            if (!__builtin_mul_overflow(a.i(), b.i(), &r)) return Num::integer(r);
        } else if (double x, y; Num::exact_pair(a, b, x, y)) {
            return Num::real(x * y);
        }
        return generic(a, b, PyNumber_Multiply);
    }
    // True division: int / int is correctly rounded by Python, which for
    // operands exact in a double is the IEEE quotient of the two doubles.
    // Division by zero is left to Python for its own message.
    Num div(const Num& a, const Num& b) {
        if (!ok_) return Num();
        double x, y;
        if (Num::exact_pair(a, b, x, y) && y != 0.0) return Num::real(x / y);
        return generic(a, b, PyNumber_TrueDivide);
    }
    Num floordiv(const Num& a, const Num& b) {
        if (!ok_) return Num();
        if (a.kind() == Num::kInt && b.kind() == Num::kInt) {
            long long p = a.i(), q = b.i();
            if (q != 0 && !(q == -1 && p == LLONG_MIN)) {
                long long r = p / q;
                if ((p % q != 0) && ((p < 0) != (q < 0))) --r;
                return Num::integer(r);
            }
        } else if (double x, y; a.exact_double(x) && b.exact_double(y) && std::isfinite(x) &&
                                std::isfinite(y) && y != 0.0) {
            return Num::real(float_floor_div(x, y));
        }
        return generic(a, b, PyNumber_FloorDivide);
    }
    // int(a): truncation towards zero for floats.
    Num to_int(const Num& a) {
        if (!ok_) return Num();
        if (a.kind() == Num::kInt) return a.clone();
        if (a.kind() == Num::kFloat && std::isfinite(a.d()) && std::fabs(a.d()) < 9.0e18)
            return Num::integer(static_cast<long long>(a.d()));
        Ref o = box(a);
        if (!o) return Num();
        Num r = take(Ref::steal(PyNumber_Long(o.get())));
        ran_code();
        return r;
    }
    // Truth of `a != 0`; false after an error, so callers check ok().
    bool nonzero(const Num& a) {
        if (!ok_) return false;
        if (a.kind() == Num::kInt) return a.i() != 0;
        if (a.kind() == Num::kFloat) return a.d() != 0.0;
        Ref o = box(a);
        if (!o) return false;
        Ref r = Ref::steal(PyObject_RichCompare(o.get(), st_.int_zero, Py_NE));
        ran_code();
        if (!r) {
            ok_ = false;
            return false;
        }
        int t = PyObject_IsTrue(r.get());
        if (t < 0) ok_ = false;
        return t > 0;
    }
    // Precision rounding, (v * PRECISION_MUL + 0.5) // 1 / PRECISION_MUL,
    // with the global read at each of its two uses.
    Num round(const Num& v) {
        Num pm = global(n_PRECISION_MUL);
        if (!ok_) return Num();
        double r;
        if (round_exactly(v, pm, r)) return Num::real(r);
        Num scaled = mul(v, pm);
        Num shifted = add(scaled, Num::borrow(st_.float_half));
        Num floored = floordiv(shifted, Num::borrow(st_.int_one));
        return div(floored, global(n_PRECISION_MUL));
    }

    // The rounding of a float or an int by a non-zero int PRECISION_MUL in
    // doubles, when every step is one Python would take on the same doubles:
    // the product is a float (or an int exact in a double), the sum is
    // finite, and nothing runs between the two reads of the global, so the
    // second read gives the same int.
    static bool round_exactly(const Num& v, const Num& pm, double& out) {
        return round_exactly(v.view(), pm.view(), out);
    }
    static bool round_exactly(const Val& v, const Val& pm, double& out) {
        if (pm.kind != Num::kInt || pm.i == 0) return false;
        double m;
        if (!exact_double(pm, m)) return false;
        double scaled;
        if (v.kind == Num::kFloat) {
            scaled = v.d * m;
        } else if (v.kind == Num::kInt) {
            long long p;
            if (__builtin_mul_overflow(v.i, pm.i, &p)) return false;
            if (!exact_double(Val{Num::kInt, p, 0.0, nullptr}, scaled)) return false;
        } else {
            return false;
        }
        double shifted = scaled + 0.5;
        if (!std::isfinite(shifted)) return false;
        out = float_floor_div(shifted, 1.0) / m;
        return true;
    }

private:
    Num add_as(const Num& a, const Num& b, PyObject* (*op)(PyObject*, PyObject*)) {
        if (!ok_) return Num();
        if (a.kind() == Num::kInt && b.kind() == Num::kInt) {
            long long r;
            if (!__builtin_add_overflow(a.i(), b.i(), &r)) return Num::integer(r);
        } else if (double x, y; Num::exact_pair(a, b, x, y)) {
            return Num::real(x + y);
        }
        return generic(a, b, op);
    }
    Num generic(const Num& a, const Num& b, PyObject* (*op)(PyObject*, PyObject*)) {
        Ref x = box(a);
        if (!x) return Num();
        Ref y = box(b);
        if (!y) return Num();
        Num r = take(Ref::steal(op(x.get(), y.get())));
        ran_code();
        return r;
    }

    bv::Function* fn_;
    State& st_;
    SelfReads* reads_;
    bool ok_ = true;
    unsigned epoch_ = 1;
    unsigned pm_stamp_ = 0;
    Num pm_;
};

// The evaluation of a method body whose every step is known to run no
// Python code: the position's own attributes were made known beforehand
// (Calc::peek; nothing runs between, so each use reads the same object) and
// every operation is one Calc does in C on exact ints and floats. At the
// first operation Calc would hand to the interpreter it stops (!ok(), no
// error set) and the caller evaluates the body with Calc instead, which
// reads the same attributes again without anyone seeing a difference.
class Pure {
public:
    using Value = Val;

    Pure(Calc& c, const SelfReads& reads, const Num& precision_mul)
        : calc_(c), reads_(reads), epoch_(c.epoch()), pm_(precision_mul.view()) {}

    bool ok() const { return ok_; }
    // The evaluation this one stands in for.
    Calc& calc() const { return calc_; }
    State& st() const { return calc_.st(); }
    // An attribute the caller peeked; any other stops the evaluation.
    Val attr(PyObject*, Name n) {
        int slot = n - SelfReads::kFirst;
        if (slot < 0 || slot >= SelfReads::kCount || reads_.stamp_[slot] != epoch_) return fail();
        return reads_.value_[slot].view();
    }
    Val attr_obj(PyObject* obj, Name n) { return attr(obj, n); }
    Val float_zero() const { return Val{Num::kFloat, 0, 0.0, st().float_zero}; }

    Val add(const Val& a, const Val& b) {
        if (!ok_) return Val();
        if (a.kind == Num::kInt && b.kind == Num::kInt) {
            long long r;
            if (!__builtin_add_overflow(a.i, b.i, &r)) return integer(r);
        } else if (double x, y; exact_pair(a, b, x, y)) {
            return real(x + y);
        }
        return fail();
    }
    Val sub(const Val& a, const Val& b) {
        if (!ok_) return Val();
        if (a.kind == Num::kInt && b.kind == Num::kInt) {
            long long r;
            if (!__builtin_sub_overflow(a.i, b.i, &r)) return integer(r);
        } else if (double x, y; exact_pair(a, b, x, y)) {
            return real(x - y);
        }
        return fail();
    }
    Val mul(const Val& a, const Val& b) {
        if (!ok_) return Val();
        if (a.kind == Num::kInt && b.kind == Num::kInt) {
            long long r;
            if (!__builtin_mul_overflow(a.i, b.i, &r)) return integer(r);
        } else if (double x, y; exact_pair(a, b, x, y)) {
            return real(x * y);
        }
        return fail();
    }
    Val div(const Val& a, const Val& b) {
        if (!ok_) return Val();
        double x, y;
        if (exact_pair(a, b, x, y) && y != 0.0) return real(x / y);
        return fail();
    }
    Val to_int(const Val& a) {
        if (!ok_) return Val();
        if (a.kind == Num::kInt) return a;
        if (a.kind == Num::kFloat && std::isfinite(a.d) && std::fabs(a.d) < 9.0e18)
            return integer(static_cast<long long>(a.d));
        return fail();
    }
    bool nonzero(const Val& a) {
        if (!ok_) return false;
        if (a.kind == Num::kInt) return a.i != 0;
        if (a.kind == Num::kFloat) return a.d != 0.0;
        fail();
        return false;
    }
    // Calc::round on the PRECISION_MUL read beforehand; its general steps
    // are those of Calc::round with the same operands.
    Val round(const Val& v) {
        if (!ok_) return Val();
        double r;
        if (Calc::round_exactly(v, pm_, r)) return real(r);
        Val scaled = mul(v, pm_);
        Val shifted = add(scaled, Val{Num::kFloat, 0, 0.5, nullptr});
        if (!ok_) return Val();
        double x, y;
        if (shifted.kind == Num::kInt) {
            // int // 1 is the int itself.
        } else if (exact_double(shifted, x) && exact_double(Val{Num::kInt, 1, 0.0, nullptr}, y) &&
                   std::isfinite(x)) {
            shifted = real(float_floor_div(x, y));
        } else {
            return fail();
        }
        return div(shifted, pm_);
    }

    static Val integer(long long v) { return Val{Num::kInt, v, 0.0, nullptr}; }
    static Val real(double v) { return Val{Num::kFloat, 0, v, nullptr}; }
    // A new reference to the value as a Python object.
    static Ref box(const Val& v) {
        if (v.src) return Ref::borrow(v.src);
        if (v.kind == Num::kInt) return Ref::steal(PyLong_FromLongLong(v.i));
        return Ref::steal(PyFloat_FromDouble(v.d));
    }

private:
    Val fail() {
        ok_ = false;
        return Val();
    }

    Calc& calc_;
    const SelfReads& reads_;
    unsigned epoch_;
    Val pm_;
    bool ok_ = true;
};

}  // namespace positions

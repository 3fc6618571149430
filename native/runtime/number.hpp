// Python's arithmetic, written once. For exact ints and floats each
// operation has an exact step in C, taken only where its result is provably
// the one the interpreter gives, bit for bit: int operations that do not
// overflow a long long, and float operations whose int operands convert to
// a double exactly (|i| <= 2**53, what int -> float gives). Everything else
// (big ints, bool, numpy scalars, Decimal, None, a zero divisor, two NaNs)
// goes through the number protocol on the objects, so that types, results
// and error messages stay the interpreter's own.
#pragma once

#include "ref.hpp"

#include <climits>
#include <cmath>

namespace bv {

// A number as the exact step sees it: an exact int that fits a long long, an
// exact float, or any other object. `obj()` is the object the number was
// read from (borrowed: whoever made the Num keeps it alive), or null for a
// value computed in C. Boxing gives `obj()` back, so a value handed on
// unchanged keeps its identity. The default Num (Other, no object) is a
// failed step.
//
// Two words, the value and the object with the kind in its low bits
// (objects are at least 8-byte aligned): a Num is returned in registers and
// copied word by word, so results flow between the steps without a trip
// through memory.
class Num {
public:
    enum Kind : uintptr_t { Other = 0, Int = 1, Float = 2 };

    Num() = default;
    static Num integer(long long v) { return Num(Int, nullptr, v); }
    static Num real(double v) { return Num(Float, nullptr, v); }
    // `o` as a number; runs no Python code.
    static Num of(PyObject* o) {
        if (PyFloat_CheckExact(o)) return Num(Float, o, PyFloat_AS_DOUBLE(o));
        if (PyLong_CheckExact(o)) {
            long long v;
            if (!compact_long(o, v)) {
                int overflow = 0;
                v = PyLong_AsLongLongAndOverflow(o, &overflow);
                if (overflow) return Num(Other, o, 0LL);
            }
            return Num(Int, o, v);
        }
        return Num(Other, o, 0LL);
    }

    Kind kind() const { return static_cast<Kind>(tagged_ & kKindMask); }
    PyObject* obj() const { return reinterpret_cast<PyObject*>(tagged_ & ~kKindMask); }
    long long i() const { return value_.i; }  // an Int's value
    double d() const { return value_.d; }     // a Float's value
    bool failed() const { return tagged_ == 0; }

private:
    static constexpr uintptr_t kKindMask = 3;
    Num(Kind k, PyObject* o, long long v) : tagged_(reinterpret_cast<uintptr_t>(o) | k) {
        value_.i = v;
    }
    Num(Kind k, PyObject* o, double v) : tagged_(reinterpret_cast<uintptr_t>(o) | k) {
        value_.d = v;
    }

    union {
        long long i;
        double d;
    } value_ = {0};
    uintptr_t tagged_ = 0;
};

// A new reference to the number as an object (null for a failed step, whose
// error is set).
inline PyObject* box(const Num& n) {
    if (n.obj()) return new_ref(n.obj());
    if (n.kind() == Num::Int) return PyLong_FromLongLong(n.i());
    if (n.kind() == Num::Float) return PyFloat_FromDouble(n.d());
    return nullptr;
}

// A number that holds a reference to its object, if it has one: a result
// that outlives the objects it was computed from.
class Owned {
public:
    Owned() = default;
    explicit Owned(const Num& n) : n_(n) { Py_XINCREF(n_.obj()); }
    // Takes over a new reference (null: a failed step).
    static Owned steal(PyObject* o) {
        Owned r;
        if (o) r.n_ = Num::of(o);
        return r;
    }
    Owned(Owned&& o) noexcept : n_(o.n_) { o.n_ = Num(); }
    Owned& operator=(Owned&& o) noexcept {
        // The old object goes only after the new one is in place.
        Num old = n_;
        n_ = o.n_;
        o.n_ = Num();
        Py_XDECREF(old.obj());
        return *this;
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() { Py_XDECREF(n_.obj()); }

    const Num& num() const { return n_; }
    // Hands over the reference to the object (none for a value computed in C).
    Ref release() {
        Ref r = Ref::steal(n_.obj());
        n_ = Num();
        return r;
    }
    explicit operator bool() const { return !n_.failed(); }
    Ref box() const { return Ref::steal(bv::box(n_)); }

private:
    Num n_;
};

enum class Op : unsigned char { Add, InPlaceAdd, Subtract, Multiply, TrueDivide, FloorDivide };

namespace detail {

// The double Python converts a number to in float arithmetic, when the
// conversion is exact.
BV_ALWAYS_INLINE bool exact_double(const Num& n, double& out) {
    constexpr long long kExactInDouble = 1LL << 53;
    if (n.kind() == Num::Float) {
        out = n.d();
        return true;
    }
    if (n.kind() == Num::Int && n.i() >= -kExactInDouble && n.i() <= kExactInDouble) {
        out = static_cast<double>(n.i());
        return true;
    }
    return false;
}

// Python's float floor division (float_floor_div), for finite operands and
// a non-zero divisor.
BV_ALWAYS_INLINE double float_floor_div(double vx, double wx) {
    if (wx == 1.0) {
        // What the general steps below give for a divisor of 1.
        double r = std::floor(vx);
        return r == 0.0 ? std::copysign(0.0, vx) : r;
    }
    double mod = std::fmod(vx, wx);
    double div = (vx - mod) / wx;
    if (mod && (wx < 0) != (mod < 0)) div -= 1.0;
    if (!div) return std::copysign(0.0, vx / wx);
    double floordiv = std::floor(div);
    if (div - floordiv > 0.5) floordiv += 1.0;
    return floordiv;
}

template <typename T>
bool compare_values(T a, T b, int op) {
    switch (op) {
        case Py_LT: return a < b;
        case Py_LE: return a <= b;
        case Py_EQ: return a == b;
        case Py_NE: return a != b;
        case Py_GT: return a > b;
        default: return a >= b;
    }
}

}  // namespace detail

// ---- the exact steps ----------------------------------------------------------

// r = a <op> b, when that is provably the interpreter's result; false, with
// nothing done, when only the interpreter can tell. `a += b` is `a + b` for
// ints and floats.
BV_ALWAYS_INLINE bool exact(Op op, const Num& a, const Num& b, Num& r) {
    if (a.kind() == Num::Int && b.kind() == Num::Int && op != Op::TrueDivide) {
        long long x = a.i(), y = b.i(), v;
        switch (op) {
            case Op::Add:
            case Op::InPlaceAdd:
                // An int plus int 0 is an equal int: the operand serves.
                if (y == 0 || x == 0) {
                    r = y == 0 ? a : b;
                    return true;
                }
                if (__builtin_add_overflow(x, y, &v)) return false;
                break;
            case Op::Subtract:
                if (__builtin_sub_overflow(x, y, &v)) return false;
                break;
            case Op::Multiply:
                if (__builtin_mul_overflow(x, y, &v)) return false;
                break;
            default:  // FloorDivide; a zero divisor is left for the host's message
                if (y == 0 || (y == -1 && x == LLONG_MIN)) return false;
                v = x / y;
                if (x % y != 0 && (x < 0) != (y < 0)) --v;
                break;
        }
        r = Num::integer(v);
        return true;
    }
    // Float arithmetic, int / int included: for ints exact in a double the
    // correctly rounded quotient Python computes is the IEEE one. With two
    // NaNs the payload kept depends on the operand order the compiler
    // picked, so that case goes to the interpreter's float methods (what
    // PyNumber_* and compiled peers use; 3.11's specialised bytecode may keep
    // the other NaN).
    double x, y;
    if (!detail::exact_double(a, x) || !detail::exact_double(b, y) ||
        (std::isnan(x) && std::isnan(y)))
        return false;
    switch (op) {
        case Op::Add:
        case Op::InPlaceAdd: r = Num::real(x + y); return true;
        case Op::Subtract: r = Num::real(x - y); return true;
        case Op::Multiply: r = Num::real(x * y); return true;
        case Op::TrueDivide:
            if (y == 0.0) return false;
            r = Num::real(x / y);
            return true;
        default:
            if (!std::isfinite(x) || !std::isfinite(y) || y == 0.0) return false;
            r = Num::real(detail::float_floor_div(x, y));
            return true;
    }
}

// r = int(a): an int is itself, a float is truncated towards zero.
inline bool exact_int(const Num& a, Num& r) {
    if (a.kind() == Num::Int) {
        r = a;
        return true;
    }
    if (a.kind() == Num::Float && std::isfinite(a.d()) && std::fabs(a.d()) < 9.0e18) {
        r = Num::integer(static_cast<long long>(a.d()));
        return true;
    }
    return false;
}

// r = truth of `a <op> b` (op one of Py_LT ... Py_GE).
BV_ALWAYS_INLINE bool exact_compare(const Num& a, const Num& b, int op, bool& r) {
    if (a.kind() == Num::Int && b.kind() == Num::Int) {
        r = detail::compare_values(a.i(), b.i(), op);
        return true;
    }
    double x, y;
    if (!detail::exact_double(a, x) || !detail::exact_double(b, y)) return false;
    r = detail::compare_values(x, y, op);
    return true;
}

// r = (v * scale + 0.5) // 1 / scale, the rounding of a figure to a precision
// given as a non-zero int scale, when each of its steps is one Python takes
// on the same doubles: the product is a float (or an int exact in a
// double) and the sum is finite.
BV_ALWAYS_INLINE bool exact_round(const Num& v, const Num& scale, Num& r) {
    double m;
    if (scale.kind() != Num::Int || scale.i() == 0 || !detail::exact_double(scale, m)) return false;
    double scaled;
    if (v.kind() == Num::Float) {
        scaled = v.d() * m;
    } else if (v.kind() == Num::Int) {
        long long p;
        if (__builtin_mul_overflow(v.i(), scale.i(), &p)) return false;
        if (!detail::exact_double(Num::integer(p), scaled)) return false;
    } else {
        return false;
    }
    double shifted = scaled + 0.5;
    if (!std::isfinite(shifted)) return false;
    r = Num::real(detail::float_floor_div(shifted, 1.0) / m);
    return true;
}

// ---- the number protocol ------------------------------------------------------

inline PyObject* protocol(Op op, PyObject* a, PyObject* b) {
    switch (op) {
        case Op::Add: return PyNumber_Add(a, b);
        case Op::InPlaceAdd: return PyNumber_InPlaceAdd(a, b);
        case Op::Subtract: return PyNumber_Subtract(a, b);
        case Op::Multiply: return PyNumber_Multiply(a, b);
        case Op::TrueDivide: return PyNumber_TrueDivide(a, b);
        default: return PyNumber_FloorDivide(a, b);
    }
}

// a <op> b by the protocol on the boxed operands.
__attribute__((noinline)) inline Owned protocol(Op op, const Num& a, const Num& b) {
    Ref x = Ref::steal(box(a));
    if (!x) return Owned();
    Ref y = Ref::steal(box(b));
    if (!y) return Owned();
    return Owned::steal(protocol(op, x.get(), y.get()));
}

// ---- whole operations: the exact step, else the protocol ------------------------

BV_ALWAYS_INLINE Owned apply(Op op, const Num& a, const Num& b) {
    Num r;
    if (exact(op, a, b, r)) return Owned(r);
    return protocol(op, a, b);
}

// a <op> b as an object: a new reference, or null with the error set.
inline Ref apply_boxed(Op op, const Num& a, const Num& b) {
    Num r;
    if (exact(op, a, b, r)) return Ref::steal(box(r));
    return protocol(op, a, b).box();
}

// a <op> b on objects: a new reference, or null with the error set.
inline Ref apply(Op op, PyObject* a, PyObject* b) {
    Num r;
    if (exact(op, Num::of(a), Num::of(b), r)) return Ref::steal(box(r));
    return Ref::steal(protocol(op, a, b));
}

inline Ref add(PyObject* a, PyObject* b) { return apply(Op::Add, a, b); }
inline Ref inplace_add(PyObject* a, PyObject* b) { return apply(Op::InPlaceAdd, a, b); }
inline Ref subtract(PyObject* a, PyObject* b) { return apply(Op::Subtract, a, b); }
inline Ref multiply(PyObject* a, PyObject* b) { return apply(Op::Multiply, a, b); }
inline Ref true_divide(PyObject* a, PyObject* b) { return apply(Op::TrueDivide, a, b); }
inline Owned true_divide(const Num& a, const Num& b) { return apply(Op::TrueDivide, a, b); }

// Truth of `a <op> b` as an `if` tests it: 1, 0, or -1 with the error set.
inline int compare(const Num& a, const Num& b, int op) {
    bool r;
    if (exact_compare(a, b, op, r)) return r;
    Ref x = Ref::steal(box(a));
    if (!x) return -1;
    Ref y = Ref::steal(box(b));
    if (!y) return -1;
    Ref t = Ref::steal(PyObject_RichCompare(x.get(), y.get(), op));
    if (!t) return -1;
    return PyObject_IsTrue(t.get());
}

inline int compare(PyObject* a, PyObject* b, int op) { return compare(Num::of(a), Num::of(b), op); }

// int(a)
inline Owned to_int(const Num& a) {
    Num r;
    if (exact_int(a, r)) return Owned(r);
    Ref x = Ref::steal(box(a));
    if (!x) return Owned();
    return Owned::steal(PyNumber_Long(x.get()));
}

}  // namespace bv

// Owned references. A `Ref` owns exactly one reference (or none); a raw
// `PyObject*` in a signature is always borrowed. Nothing converts a Ref to a
// raw pointer implicitly: `get()` lends it, `release()` hands it over.
#pragma once

#include "internals.hpp"

#include <utility>

// A hot helper of a few instructions, inlined at every call site: the
// constants its callers pass (an operation, a name) fold away, and no call
// is made. For the exact number steps and the position members' reads.
#define BV_ALWAYS_INLINE inline __attribute__((always_inline))

namespace bv {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Takes over a new reference (the result of an API call, possibly null).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Takes a new reference to a borrowed object (possibly null).
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    static Ref none() noexcept { return borrow(Py_None); }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    // A new reference for the caller while this one keeps its own.
    PyObject* new_ref() const noexcept {
        Py_XINCREF(p_);
        return p_;
    }
    void reset() noexcept {
        PyObject* old = p_;
        p_ = nullptr;
        Py_XDECREF(old);
    }
    // The old object is released only after the new one is in place, so a
    // destructor that runs Python code never sees a dangling member.
    void reset(Ref&& other) noexcept { *this = std::move(other); }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// ---- calls -----------------------------------------------------------------

// callable(*args): each argument is borrowed for the duration of the call.
template <typename... A>
inline Ref call(PyObject* callable, A... args) {
    PyObject* stack[sizeof...(A) + 1] = {nullptr, args...};
    return Ref::steal(vectorcall(callable, stack + 1,
                                 sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// callable(*positional, **dict(zip(kwnames, values))): `stack` holds the
// positional values followed by the keyword values.
inline Ref call_kw(PyObject* callable, PyObject* const* stack, Py_ssize_t npos, PyObject* kwnames) {
    return Ref::steal(vectorcall(callable, stack, (size_t)npos, kwnames));
}

// obj.name(*args), looked up like Python's method call syntax.
template <typename... A>
inline Ref call_method(PyObject* obj, PyObject* name, A... args) {
#if BV_PY39
    PyObject* stack[sizeof...(A) + 1] = {obj, args...};
    return Ref::steal(PyObject_VectorcallMethod(
        name, stack, (sizeof...(A) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
#else
    Ref meth = Ref::steal(PyObject_GetAttr(obj, name));
    if (!meth) return Ref();
    return call(meth.get(), args...);
#endif
}

inline Ref getattr(PyObject* obj, PyObject* name) { return Ref::steal(PyObject_GetAttr(obj, name)); }

// obj.name(k1=v1, ...): every argument by keyword, named by `kwnames`.
template <typename... A>
inline Ref call_method_kw(PyObject* obj, PyObject* name, PyObject* kwnames, A... values) {
#if BV_PY39
    PyObject* stack[] = {obj, values...};
    return Ref::steal(
        PyObject_VectorcallMethod(name, stack, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
#else
    Ref meth = getattr(obj, name);
    if (!meth) return Ref();
    PyObject* stack[] = {values...};
    return call_kw(meth.get(), stack, 0, kwnames);
#endif
}

// Truth of `a == b` as Python evaluates it in an `if`: -1 on error. Two
// exact ints or two exact floats compare by value without a result object.
inline int eq_true(PyObject* a, PyObject* b) {
    if (PyLong_CheckExact(a) && PyLong_CheckExact(b)) {
        long long x, y;
        if (a == b) return 1;
        if (compact_long(a, x) && compact_long(b, y)) return x == y;
    } else if (PyFloat_CheckExact(a) && PyFloat_CheckExact(b)) {
        return PyFloat_AS_DOUBLE(a) == PyFloat_AS_DOUBLE(b);
    }
    Ref r = Ref::steal(PyObject_RichCompare(a, b, Py_EQ));
    if (!r) return -1;
    return PyObject_IsTrue(r.get());
}

inline Ref from_long(long long v) { return Ref::steal(PyLong_FromLongLong(v)); }
inline Ref from_double(double v) { return Ref::steal(PyFloat_FromDouble(v)); }
inline Ref from_utf8(const char* s) { return Ref::steal(PyUnicode_FromString(s)); }

}  // namespace bv

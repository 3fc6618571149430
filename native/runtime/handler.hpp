// Exception handling the way Python code does it: an except clause takes the
// raised exception, a handler runs with it as the exception being handled
// (what sys.exc_info() shows and what a new exception gets as __context__),
// and `raise e` puts it back unchanged.
#pragma once

#include "ref.hpp"

namespace bv {

// The exception that is being raised, taken off the error indicator,
// normalised and with its traceback attached, as `except ... as e` binds it.
struct Caught {
    Ref type, value, tb;

    // Precondition: an error is set.
    static Caught take() {
        Caught c;
#if BV_PY312
        c.value = Ref::steal(PyErr_GetRaisedException());
        if (c.value) {
            c.type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(c.value.get())));
            c.tb = Ref::steal(PyException_GetTraceback(c.value.get()));
        }
#else
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        PyErr_NormalizeException(&t, &v, &tb);
        if (tb && v) PyException_SetTraceback(v, tb);
        c.type = Ref::steal(t);
        c.value = Ref::steal(v);
        c.tb = Ref::steal(tb);
#endif
        return c;
    }

    // `except exc_class as e:` for the error being raised. The clause sees the
    // exception normalised, and so does this: near the recursion limit the
    // instance of a KeyError may fail to be made, and what is raised then is
    // the RecursionError that stopped it, which the clause does not catch.
    // Taken off the indicator when it is an instance of exc_class (a class
    // or a tuple of classes); otherwise it stays raised, normalised, and the
    // result is empty.
    static Caught take_if(PyObject* exc_class) {
        Caught c = take();
        if (c.matches(exc_class)) return c;
        c.raise();
        return Caught();
    }

    explicit operator bool() const { return bool(value); }

    // The test of an except clause naming one class.
    bool matches(PyObject* exc_class) const {
        return PyErr_GivenExceptionMatches(type.get(), exc_class) != 0;
    }

    // `raise e` for the caught e: the same object with its traceback.
    void raise() {
#if BV_PY312
        type.reset();
        tb.reset();
        PyErr_SetRaisedException(value.release());
#else
        PyErr_Restore(type.release(), value.release(), tb.release());
#endif
    }
};

// `except exc_class: pass` for the error being raised: true when it was an
// instance of exc_class and is gone; false with it still raised.
inline bool swallow(PyObject* exc_class) { return bool(Caught::take_if(exc_class)); }

// What an except clause requires of the classes it names.
inline bool check_catchable(PyObject* exc_class) {
    if (PyExceptionClass_Check(exc_class)) return true;
    PyErr_SetString(PyExc_TypeError,
                    "catching classes that do not inherit from BaseException is not allowed");
    return false;
}

// While alive, `c` is the exception being handled, as inside an except or a
// finally block; the previous one comes back at the end of the scope. It
// touches only the handled-exception state, never the error indicator.
class Handling {
public:
    explicit Handling(const Caught& c) {
        PyErr_GetExcInfo(&saved_type_, &saved_value_, &saved_tb_);
        PyErr_SetExcInfo(c.type.new_ref(), c.value.new_ref(), c.tb.new_ref());
    }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;
    ~Handling() { PyErr_SetExcInfo(saved_type_, saved_value_, saved_tb_); }

private:
    PyObject* saved_type_ = nullptr;
    PyObject* saved_value_ = nullptr;
    PyObject* saved_tb_ = nullptr;
};

// `raise obj`: an exception instance is raised as it is, an exception class
// is instantiated without arguments, anything else is a TypeError.
inline void raise_object(PyObject* obj) {
    if (PyExceptionInstance_Check(obj)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(obj)), obj);
        return;
    }
    if (PyExceptionClass_Check(obj)) {
        Ref inst = Ref::steal(PyObject_CallObject(obj, nullptr));
        if (!inst) return;
        if (!PyExceptionInstance_Check(inst.get())) {
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %s",
                         obj, Py_TYPE(inst.get())->tp_name);
            return;
        }
        PyErr_SetObject(obj, inst.get());
        return;
    }
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
}

}  // namespace bv

#include "unpack.hpp"

#include "handler.hpp"

namespace bv {

namespace {

void raise_need_more(Py_ssize_t got) {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got,
                 got == 1 ? "" : "s");
}

void raise_too_many(Py_ssize_t expected) {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
}

}  // namespace

bool unpack2(PyObject* value, Ref& a, Ref& b) {
    if (PyTuple_CheckExact(value) || PyList_CheckExact(value)) {
        Py_ssize_t n = Py_SIZE(value);
        if (n != 2) {
            if (n > 2) raise_too_many(2);
            else raise_need_more(n);
            return false;
        }
        PyObject** items = PyTuple_CheckExact(value) ? &PyTuple_GET_ITEM(value, 0)
                                                     : &PyList_GET_ITEM(value, 0);
        a = Ref::borrow(items[0]);
        b = Ref::borrow(items[1]);
        return true;
    }
    Ref it = Ref::steal(PyObject_GetIter(value));
    if (!it) return false;
    iternextfunc next = Py_TYPE(it.get())->tp_iternext;
    Ref first = Ref::steal(next(it.get()));
    if (!first) {
        if (PyErr_Occurred() && !swallow(PyExc_StopIteration)) return false;
        raise_need_more(0);
        return false;
    }
    Ref second = Ref::steal(next(it.get()));
    if (!second) {
        if (PyErr_Occurred() && !swallow(PyExc_StopIteration)) return false;
        raise_need_more(1);
        return false;
    }
    Ref third = Ref::steal(next(it.get()));
    if (third) {
        raise_too_many(2);
        return false;
    }
    if (PyErr_Occurred() && !swallow(PyExc_StopIteration)) return false;
    a = std::move(first);
    b = std::move(second);
    return true;
}

}  // namespace bv

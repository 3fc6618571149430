// Python expressions every module's bodies spell the same way.
#pragma once

#include "function.hpp"
#include "attr.hpp"
#include "internals.hpp"

namespace bv {

// A body that raises NotImplementedError (the interface members of a base
// class whose subclasses provide them).
inline PyObject* not_implemented(Function*, PyObject* const*) {
    PyErr_SetNone(PyExc_NotImplementedError);
    return nullptr;
}

// <module global>.<attr>, both read now (pd.NaT, socket.error).
inline Ref global_attr(Function* fn, PyObject* global_name, PyObject* attr) {
    Ref g = global(fn, global_name);
    if (!g) return Ref();
    return getattr(g.get(), attr);
}

// super(<module global cls_name>, self).<attr>, as a class body spells it.
inline Ref super_attr(Function* fn, PyObject* cls_name, PyObject* self, PyObject* attr) {
    Ref cls = global(fn, cls_name);
    if (!cls) return Ref();
    Ref sup = call(reinterpret_cast<PyObject*>(&PySuper_Type), cls.get(), self);
    if (!sup) return Ref();
    return getattr(sup.get(), attr);
}

// o[i]: exact tuples and lists read directly (a negative i counts from the
// end), anything else, and an index out of range, by subscription so that
// the error is the host's.
inline Ref item_at(PyObject* o, Py_ssize_t i) {
    if (PyTuple_CheckExact(o) || PyList_CheckExact(o)) {
        Py_ssize_t n = Py_SIZE(o);
        Py_ssize_t j = i < 0 ? i + n : i;
        if (j >= 0 && j < n)
            return Ref::borrow(PyTuple_CheckExact(o) ? PyTuple_GET_ITEM(o, j) : PyList_GET_ITEM(o, j));
    }
    Ref index = Ref::steal(PyLong_FromSsize_t(i));
    if (!index) return Ref();
    return Ref::steal(PyObject_GetItem(o, index.get()));
}

// o[index] for an index object.
inline Ref index_into(PyObject* o, PyObject* index) {
    if ((PyList_CheckExact(o) || PyTuple_CheckExact(o)) && PyLong_CheckExact(index)) {
        Py_ssize_t i = PyLong_AsSsize_t(index);
        if (i >= 0) return item_at(o, i);
        // Too big for an index: the subscription below says so itself.
        if (i == -1 && PyErr_Occurred() && !swallow(PyExc_OverflowError)) return Ref();
    }
    return Ref::steal(PyObject_GetItem(o, index));
}

// d.get(key) for a dict whose `get` is dict's own (the caller knows: an
// exact dict always): 1 with `out` set, 0 for a missing key (`out` empty),
// -1 on error.
inline int dict_get(PyObject* d, PyObject* key, Ref& out) {
    PyObject* v = PyDict_GetItemWithError(d, key);
    out = Ref::borrow(v);
    return v ? 1 : PyErr_Occurred() ? -1 : 0;
}

// mapping.get(key), or mapping.get(key, dflt) when `dflt` is given; `get`
// is the interned name "get". An exact dict is read without the call.
inline Ref mapping_get(PyObject* mapping, PyObject* key, PyObject* get, PyObject* dflt = nullptr) {
    if (PyDict_CheckExact(mapping)) {
        Ref v;
        int found = dict_get(mapping, key, v);
        if (found) return v;
        return Ref::borrow(dflt ? dflt : Py_None);
    }
    return dflt ? call_method(mapping, get, key, dflt) : call_method(mapping, get, key);
}

// Whether subscription of the dict class `t` is dict's own: dict's slot, or
// the generic slot that classes made by type() get, which calls the
// __getitem__ it finds, here dict's. The generic slot is learnt from a class
// made by type() whose __getitem__ is dict's (a module's own dict class, at
// import: no class is made for it); until then only dict's slot counts.
// learn_dict_subscript is false with the error set.
bool learn_dict_subscript(PyTypeObject* t);
bool subscript_is_dicts(PyTypeObject* t);

// Whether the dict class `t` is found so, remembered in `memo`.
bool judge_dict_subscription(PyTypeObject* t, TypeMemo& memo);

// Whether m[key] is dict's own subscription with no __missing__ to answer a
// miss. `memo` remembers a class found so until the class changes.
inline bool dict_subscription(PyObject* m, TypeMemo& memo) {
    if (PyDict_CheckExact(m) || PyODict_CheckExact(m)) return true;
    if (!PyDict_Check(m)) return false;
    return remembered(memo, Py_TYPE(m)) || judge_dict_subscription(Py_TYPE(m), memo);
}

// The KeyError dict's subscription raises for a missing key.
void set_key_error(PyObject* key);

// m[key], reading the dict directly where its subscription is dict's own.
inline Ref subscript(PyObject* m, PyObject* key, TypeMemo& memo) {
    if (!dict_subscription(m, memo)) return Ref::steal(PyObject_GetItem(m, key));
    PyObject* v = PyDict_GetItemWithError(m, key);
    if (v) return Ref::borrow(v);
    if (!PyErr_Occurred()) set_key_error(key);
    return Ref();
}

}  // namespace bv

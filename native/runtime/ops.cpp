#include "ops.hpp"

namespace bv {

namespace {

// Classes made by type() whose __getitem__ is dict's get the generic slot,
// which calls the __getitem__ it finds; learned from such a class. dict's
// own __getitem__ lives as long as dict's namespace, the names for good.
binaryfunc generic_slot;
PyObject* dict_getitem;
PyObject* getitem_name;
PyObject* missing_name;

}  // namespace

bool learn_dict_subscript(PyTypeObject* t) {
    if (!getitem_name) {
        Ref g = Ref::steal(PyUnicode_InternFromString("__getitem__"));
        Ref m = Ref::steal(PyUnicode_InternFromString("__missing__"));
        if (!g || !m) return false;
        getitem_name = g.release();
        missing_name = m.release();
        dict_getitem = type_lookup(&PyDict_Type, getitem_name);
    }
    if (!generic_slot && PyType_IsSubtype(t, &PyDict_Type) && t->tp_as_mapping &&
        PyType_HasFeature(t, Py_TPFLAGS_HEAPTYPE) && dict_getitem &&
        type_lookup(t, getitem_name) == dict_getitem)
        generic_slot = t->tp_as_mapping->mp_subscript;
    return true;
}

bool subscript_is_dicts(PyTypeObject* t) {
    if (!t->tp_as_mapping) return false;
    binaryfunc f = t->tp_as_mapping->mp_subscript;
    if (f == PyDict_Type.tp_as_mapping->mp_subscript) return true;
    return generic_slot && f == generic_slot && type_lookup(t, getitem_name) == dict_getitem;
}

bool judge_dict_subscription(PyTypeObject* t, TypeMemo& memo) {
    // Without the names learnt nothing is known: the long way.
    return missing_name &&
           remember(memo, t, subscript_is_dicts(t) && !type_lookup(t, missing_name));
}

void set_key_error(PyObject* key) {
    // The key alone as the exception's argument, a tuple key included.
    Ref args = Ref::steal(PyTuple_Pack(1, key));
    if (args) PyErr_SetObject(PyExc_KeyError, args.get());
}

}  // namespace bv

// The out-of-line helpers of internals.hpp, each with its public-API branch.
#include "handler.hpp"
#include "ref.hpp"

#include <utility>

namespace bv {

PyObject* vectorcall_slow(PyObject* callable, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    Ref pos = Ref::steal(PyTuple_New(nargs));
    if (!pos) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(pos.get(), i, new_ref(args[i]));
    Ref kw;
    if (kwnames && PyTuple_GET_SIZE(kwnames)) {
        kw = Ref::steal(PyDict_New());
        if (!kw) return nullptr;
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k)
            if (PyDict_SetItem(kw.get(), PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) < 0)
                return nullptr;
    }
    return PyObject_Call(callable, pos.get(), kw.get());
}

#if BV_QUIET_LOOKUP && PY_VERSION_HEX < 0x03070000
namespace {
// 3.6's generic lookup (object.__getattribute__) step by step, with a
// missing attribute reported as null and no error instead of a new
// AttributeError: a class attribute that is a data descriptor, else the
// instance's own value, else a non-data descriptor or plain class attribute.
// An AttributeError raised on the way is dropped, as the host's attribute
// hook drops it before falling back to __getattr__.
PyObject* generic_lookup_36(PyObject* obj, PyObject* name) {
    PyTypeObject* tp = Py_TYPE(obj);
    if (!PyUnicode_Check(name)) return PyObject_GenericGetAttr(obj, name);  // its TypeError
    if (!tp->tp_dict && PyType_Ready(tp) < 0) return nullptr;
    Ref hold_name = Ref::borrow(name);
    Ref descr = Ref::borrow(_PyType_Lookup(tp, name));
    descrgetfunc get = descr ? Py_TYPE(descr.get())->tp_descr_get : nullptr;
    if (get && Py_TYPE(descr.get())->tp_descr_set)
        return get(descr.get(), obj, reinterpret_cast<PyObject*>(tp));
    if (PyObject** dictptr = _PyObject_GetDictPtr(obj)) {
        if (*dictptr) {
            Ref dict = Ref::borrow(*dictptr);
            // 3.6 looks up the instance dict with PyDict_GetItem, which drops
            // errors of the keys' comparisons.
            if (PyObject* v = PyDict_GetItem(dict.get(), name)) return new_ref(v);
        }
    }
    if (get) return get(descr.get(), obj, reinterpret_cast<PyObject*>(tp));
    return descr.release();
}
}  // namespace
#endif

PyObject* generic_getattr_or_null(PyObject* o, PyObject* name) {
#if BV_QUIET_LOOKUP && PY_VERSION_HEX >= 0x03070000
    PyObject* r = _PyObject_GenericGetAttrWithDict(o, name, nullptr, 1);
#elif BV_QUIET_LOOKUP
    PyObject* r = generic_lookup_36(o, name);
#else
    PyObject* r = PyObject_GenericGetAttr(o, name);
#endif
    if (!r && PyErr_Occurred()) swallow(PyExc_AttributeError);
    return r;
}

namespace {
// The built-in class a slot wrapper belongs to, when its slot is `which`.
bool wraps(PyObject* descr, void* generic, bool getattr) {
    if (!descr || Py_TYPE(descr) != &PyWrapperDescr_Type) return false;
#if BV_WRAPPER_LAYOUT
    (void)getattr;
    return reinterpret_cast<PyWrapperDescrObject*>(descr)->d_wrapped == generic;
#else
    // A built-in class's slots never change after it is readied, when its
    // wrappers were made from them.
    Ref owner = Ref::steal(PyObject_GetAttrString(descr, "__objclass__"));
    if (!owner) {
        PyErr_Clear();
        return false;
    }
    if (!PyType_Check(owner.get())) return false;
    PyTypeObject* t = reinterpret_cast<PyTypeObject*>(owner.get());
    if (PyType_HasFeature(t, Py_TPFLAGS_HEAPTYPE)) return false;
    return getattr ? reinterpret_cast<void*>(t->tp_getattro) == generic
                   : reinterpret_cast<void*>(t->tp_setattro) == generic;
#endif
}
}  // namespace

bool wraps_generic_getattr(PyObject* descr) {
    return wraps(descr, reinterpret_cast<void*>(PyObject_GenericGetAttr), true);
}

bool wraps_generic_setattr(PyObject* descr) {
    return wraps(descr, reinterpret_cast<void*>(PyObject_GenericSetAttr), false);
}

int instance_attrs_empty(PyObject* obj) {
    Py_ssize_t offset = Py_TYPE(obj)->tp_dictoffset;
    if (offset == 0) return 1;
    // A positive offset is where the instance keeps its dict pointer, as
    // the type's documented slot says (up to 3.10 for our dict classes; a
    // dict the host manages itself has a negative one).
    if (offset > 0) {
        PyObject* d = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
        return !d || (PyDict_Check(d) && PyDict_Size(d) == 0);
    }
#if BV_INLINE_VALUES
    // 3.11 makes the values array or the dict of a managed dict only when an
    // attribute is first set or the dict asked for.
    if (PyType_HasFeature(Py_TYPE(obj), Py_TPFLAGS_MANAGED_DICT) &&
        !managed_values(obj) && !managed_dict(obj))
        return 1;
#endif
    // Otherwise ask for the dict, which makes an empty one where there is none.
    Ref d = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
    if (!d) {
        PyErr_Clear();
        return -1;
    }
    return PyDict_Check(d.get()) && PyDict_Size(d.get()) == 0;
}

PyObject* odict_with_keys(PyObject* keys) {
    Ref od = Ref::steal(PyODict_New());
#if BV_PRESHAPED_DICT
    // Growing an ordered dict key by key rehashes its table and its node
    // index several times. A dict copy clones a combined table in one go,
    // so the copy of a dict already holding every key (the table insertion
    // would have built) is exchanged with the new record's empty one: each
    // dict keeps owning exactly one table, and the copy is released with the
    // empty one. The caller then inserts exactly those keys, in order, before
    // anyone sees the dict, replacing every placeholder and adding the order
    // nodes.
    if (!od) return nullptr;
    Ref table = Ref::steal(PyDict_Copy(keys));
    if (!table) return nullptr;
    PyDictObject* a = reinterpret_cast<PyDictObject*>(od.get());
    PyDictObject* b = reinterpret_cast<PyDictObject*>(table.get());
    if (a->ma_used == 0 && !a->ma_values && !b->ma_values && b->ma_used == PyDict_Size(keys)) {
        std::swap(a->ma_keys, b->ma_keys);
        std::swap(a->ma_used, b->ma_used);
    }
#else
    (void)keys;
#endif
    return od.release();
}

}  // namespace bv

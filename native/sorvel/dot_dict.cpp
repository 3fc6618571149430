// DotDict and OrderedDotDict: mappings whose string keys double as attributes.
#include "sorvel.hpp"

#include "../runtime/ops.hpp"

namespace sorvel {
namespace {

using bv::Ref;

Ref super_attr(bv::Function* fn, Name cls_name, PyObject* self, Name attr) {
    return bv::super_attr(fn, name(fn, cls_name), self, name(fn, attr));
}

PyObject* init_impl(bv::Function* fn, PyObject* const* args, Name cls_name) {
    PyObject* self = args[0];
    Ref mapping = Ref::borrow(args[1]);
    int truth = PyObject_IsTrue(mapping.get());
    if (truth < 0) return nullptr;
    if (!truth) {
        mapping = Ref::steal(PyDict_New());
        if (!mapping) return nullptr;
    }
    Ref base_init = super_attr(fn, cls_name, self, n_init);
    if (!base_init) return nullptr;
    Ref r = bv::call(base_init.get(), mapping.get());
    if (!r) return nullptr;
    Py_RETURN_NONE;
}

PyObject* dd_init(bv::Function* fn, PyObject* const* args) { return init_impl(fn, args, n_DotDict); }
PyObject* odd_init(bv::Function* fn, PyObject* const* args) {
    return init_impl(fn, args, n_OrderedDotDict);
}

PyObject* setattr_impl(bv::Function*, PyObject* const* args) {
    if (PyObject_SetItem(args[0], args[1], args[2]) < 0) return nullptr;
    Py_RETURN_NONE;
}

// Only reached after ordinary lookup failed.
//     try: return self[item]
//     except KeyError: return super(Cls, self).__getattribute__(item)
// A missing key ends in the default lookup's AttributeError, raised while the
// KeyError is being handled and so with it as its context; any other error,
// one raised while the KeyError itself was being made included, propagates.
PyObject* getattr_impl(bv::Function* fn, PyObject* const* args, Name cls_name) {
    PyObject* self = args[0];
    PyObject* item = args[1];
    Ref v = bv::subscript(self, item, state(fn).dot_dict_subscripts);
    if (v) return v.release();
    bv::Caught key_error = bv::Caught::take_if(PyExc_KeyError);
    if (!key_error) return nullptr;
    bv::Handling handling(key_error);
    Ref base_getattribute = super_attr(fn, cls_name, self, n_getattribute);
    if (!base_getattribute) return nullptr;
    return bv::call(base_getattribute.get(), item).release();
}

PyObject* dd_getattr(bv::Function* fn, PyObject* const* args) {
    return getattr_impl(fn, args, n_DotDict);
}
PyObject* odd_getattr(bv::Function* fn, PyObject* const* args) {
    return getattr_impl(fn, args, n_OrderedDotDict);
}

Ref entry_line(PyObject* k, PyObject* v) { return Ref::steal(PyUnicode_FromFormat("\t%R:%R,", k, v)); }

PyObject* dd_str(bv::Function* fn, PyObject* const* args) {
    PyObject* self = args[0];
    Ref lines = Ref::steal(PyList_New(0));
    Ref head = bv::from_utf8("DotDict{");
    if (!lines || !head || PyList_Append(lines.get(), head.get()) < 0) return nullptr;
    Ref items = bv::call_method(self, name(fn, n_items));
    if (!items) return nullptr;
    Ref it = Ref::steal(PyObject_GetIter(items.get()));
    if (!it) return nullptr;
    while (Ref pair = Ref::steal(PyIter_Next(it.get()))) {
        Ref k, v;
        if (!bv::unpack2(pair.get(), k, v)) return nullptr;
        Ref line = entry_line(k.get(), v.get());
        if (!line || PyList_Append(lines.get(), line.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    Ref tail = bv::from_utf8("}");
    if (!tail || PyList_Append(lines.get(), tail.get()) < 0) return nullptr;
    return PyUnicode_Join(name(fn, n_newline), lines.get());
}

// Same layout, built by index: len(items()) + 2 slots, keys numbered from 1.
PyObject* odd_str(bv::Function* fn, PyObject* const* args) {
    PyObject* self = args[0];
    Ref items = bv::call_method(self, name(fn, n_items));
    if (!items) return nullptr;
    Py_ssize_t n = PyObject_Length(items.get());
    if (n < 0) return nullptr;
    items.reset();
    Ref lines = Ref::steal(PyList_New(n + 2));
    if (!lines) return nullptr;
    for (Py_ssize_t i = 0; i < n + 2; ++i)
        PyList_SET_ITEM(lines.get(), i, bv::new_ref(state(fn).empty_str));
    Ref head = bv::from_utf8("OrderedDotDict{");
    if (!head || PyList_SetItem(lines.get(), 0, head.release()) < 0) return nullptr;
    Ref keys = bv::call_method(self, name(fn, n_keys));
    if (!keys) return nullptr;
    Ref it = Ref::steal(PyObject_GetIter(keys.get()));
    if (!it) return nullptr;
    Py_ssize_t i = 1;
    while (Ref k = Ref::steal(PyIter_Next(it.get()))) {
        Ref v = Ref::steal(PyObject_GetItem(self, k.get()));
        if (!v) return nullptr;
        Ref line = entry_line(k.get(), v.get());
        if (!line) return nullptr;
        Py_ssize_t len = PyList_GET_SIZE(lines.get());
        if (i >= len) {
            PyErr_SetString(PyExc_IndexError, "list assignment index out of range");
            return nullptr;
        }
        if (PyList_SetItem(lines.get(), i, line.release()) < 0) return nullptr;
        ++i;
    }
    if (PyErr_Occurred()) return nullptr;
    Ref tail = bv::from_utf8("}");
    if (!tail) return nullptr;
    if (PyList_SetItem(lines.get(), PyList_GET_SIZE(lines.get()) - 1, tail.release()) < 0)
        return nullptr;
    return PyUnicode_Join(name(fn, n_newline), lines.get());
}

const bv::Param kInit[] = {bv::arg("self"), bv::arg_none("_dict")};
const bv::Param kSetattr[] = {bv::arg("self"), bv::arg("key"), bv::arg("value")};
const bv::Param kGetattr[] = {bv::arg("self"), bv::arg("item")};
const bv::Param kSelf[] = {bv::arg("self")};

// What other modules may rely on (bv::promise): `getattr_impl` returns
// self[item] as soon as that succeeds, and `init_impl`, for a false _dict,
// only calls its base's __init__ with a new empty dict, the class read by
// name (tests/test_dot_dict.py holds both to it).
const bv::Member kDotDictMembers[] = {
    bv::method("__init__", dd_init, kInit),
    bv::method("__setattr__", setattr_impl, kSetattr),
    bv::method("__getattr__", dd_getattr, kGetattr).promising(bv::promise::kGetattrReadsItem),
    bv::method("__str__", dd_str, kSelf),
};
const bv::Member kOrderedDotDictMembers[] = {
    bv::method("__init__", odd_init, kInit).promising(bv::promise::kOrderedInitEmpty),
    bv::method("__setattr__", setattr_impl, kSetattr),
    bv::method("__getattr__", odd_getattr, kGetattr).promising(bv::promise::kGetattrReadsItem),
    bv::method("__str__", odd_str, kSelf),
};

}  // namespace

bool define_dot_dicts(bv::ModuleBody& m) {
    Ref dict_base = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyDict_Type)));
    if (!dict_base) return false;
    Ref dot_dict = bv::ClassBuilder(m, "DotDict", std::move(dict_base))
                       .members(kDotDictMembers)
                       .build();
    if (dot_dict && (!bv::install_fast_attribute_slots(dot_dict.get()) ||
                     !bv::learn_dict_subscript(reinterpret_cast<PyTypeObject*>(dot_dict.get()))))
        return false;
    if (!m.bind("DotDict", std::move(dot_dict))) return false;

    // The base is whatever the body bound as OrderedDict a moment ago.
    Ref od = bv::global(m.globals(), m.state<State>().names[n_OrderedDict]);
    if (!od) return false;
    Ref od_base = Ref::steal(PyTuple_Pack(1, od.get()));
    if (!od_base) return false;
    Ref ordered = bv::ClassBuilder(m, "OrderedDotDict", std::move(od_base))
                      .members(kOrderedDotDictMembers)
                      .build();
    if (ordered && !bv::install_fast_attribute_slots(ordered.get())) return false;
    return m.bind("OrderedDotDict", std::move(ordered));
}

}  // namespace sorvel

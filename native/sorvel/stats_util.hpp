// Python operations as SimpleTimer, StatusCollect and RangeRecord spell them,
// with fast paths for exact ints, floats, tuples, lists and dicts whose
// results are exactly the ones Python gives.
#pragma once

#include "sorvel.hpp"

#include "../runtime/number.hpp"
#include "../runtime/ops.hpp"

namespace sorvel {
namespace stats {

using bv::Ref;

inline State& st(bv::Function* fn) { return sorvel::state(fn).stats; }
inline PyObject* name(bv::Function* fn, Name n) { return st(fn).names[n]; }

// Readies the shared state for the class about to be defined. The dict fast
// paths recognise the real defaultdict, not whatever the global names later.
inline bool prepare(bv::ModuleBody& m) {
    State& s = m.state<sorvel::State>().stats;
    if (!s.init()) return false;
    if (!s.defaultdict_type) {
        Ref dd = bv::global(m.globals(), s.names[n_defaultdict]);
        if (!dd) return false;
        s.defaultdict_type = dd.release();
    }
    if (!s.datetime_module) {
        Ref mod = bv::global(m.globals(), s.names[n_datetime]);
        if (!mod) return false;
        Ref cls = bv::getattr(mod.get(), s.names[n_datetime]);
        if (!cls) return false;
        Ref now = bv::getattr(cls.get(), s.names[n_now]);
        if (!now) return false;
        // Only the built-in type's own classmethod qualifies.
        if (PyCFunction_Check(now.get()) && PyCFunction_GET_SELF(now.get()) == cls.get() &&
            PyType_Check(cls.get()) &&
            !(reinterpret_cast<PyTypeObject*>(cls.get())->tp_flags & Py_TPFLAGS_HEAPTYPE))
            s.datetime_now = now.release();
        s.datetime_module = mod.release();
    }
    return true;
}

using bv::item_at;

// The numbers of these bodies follow Python's rules through the runtime's
// numeric core.
using bv::add;
using bv::compare;
using bv::inplace_add;
using bv::call_method_kw;

// a + b on texts, as the interpreter's `+` does it.
inline Ref concat(PyObject* a, PyObject* b) {
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) return Ref::steal(PyUnicode_Concat(a, b));
    return Ref::steal(PyNumber_Add(a, b));
}

// A dict whose `get` is dict.get and whose lookups run no Python code of
// its own (the keys' __hash__ and __eq__ aside, as for dict.get itself).
inline bool plain_dict(State& s, PyObject* d) {
    return PyDict_CheckExact(d) || reinterpret_cast<PyObject*>(Py_TYPE(d)) == s.defaultdict_type;
}

// d.get(key), or d.get(key, []) with `empty_list_default`: 1 with `out` set,
// 0 when a plain dict lacks the key (`out` empty: the default is the caller's
// to make, if it needs one at all), -1 on error.
inline int mapping_get(State& s, PyObject* d, PyObject* key, Ref& out, bool empty_list_default) {
    if (plain_dict(s, d)) return bv::dict_get(d, key, out);
    Ref dflt;
    if (empty_list_default && !(dflt = Ref::steal(PyList_New(0)))) return -1;
    out = bv::mapping_get(d, key, s.names[n_get], dflt.get());
    return out ? 1 : -1;
}

// Whether cls.<name> still resolves to `own`, the descriptor the class body
// created, with nothing able to intercept the lookup.
inline bool class_attr_is(PyObject* cls, PyObject* name, PyObject* own) {
    if (!own || !PyType_Check(cls) || Py_TYPE(cls) != &PyType_Type) return false;
    return bv::type_lookup(reinterpret_cast<PyTypeObject*>(cls), name) == own;
}

// cls.name for a class of the plain metaclass: a class attribute without
// __get__ is the lookup's result as such; anything else takes the full path.
inline Ref class_attr(PyObject* cls, PyObject* name) {
    if (PyType_Check(cls) && Py_TYPE(cls) == &PyType_Type) {
        PyObject* v = bv::type_lookup(reinterpret_cast<PyTypeObject*>(cls), name);
        if (v && !Py_TYPE(v)->tp_descr_get) return Ref::borrow(v);
    }
    return bv::getattr(cls, name);
}

// datetime.datetime.now(), through the module global. While the global is
// still the imported module and its attribute the built-in datetime type
// (immutable, so its `now` never changes), the method bound at import is
// called directly.
inline Ref clock_now(bv::Function* fn) {
    State& s = st(fn);
    Ref mod = bv::global(fn, s.names[n_datetime]);
    if (!mod) return Ref();
    Ref cls;
    if (mod.get() == s.datetime_module && Py_TYPE(mod.get()) == &PyModule_Type) {
        PyObject* v = PyDict_GetItemWithError(PyModule_GetDict(mod.get()), s.names[n_datetime]);
        if (v && s.datetime_now && v == PyCFunction_GET_SELF(s.datetime_now))
            return bv::call(s.datetime_now);
        if (!v && PyErr_Occurred()) return Ref();
    }
    cls = bv::getattr(mod.get(), s.names[n_datetime]);
    if (!cls) return Ref();
    return bv::call_method(cls.get(), s.names[n_now]);
}

// Calls obj.name() for its effect only.
inline bool call_for_effect(PyObject* obj, PyObject* name) { return bool(bv::call_method(obj, name)); }

}  // namespace stats
}  // namespace sorvel

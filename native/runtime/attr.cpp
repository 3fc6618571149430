#include "attr.hpp"

#include "function.hpp"

#include <utility>

namespace bv {

// ---- classes ----------------------------------------------------------------

namespace {
// The built-in class a slot wrapper belongs to, when its slot is `which`.
bool wraps(PyObject* descr, void* generic, bool getattr) {
    if (!descr || Py_TYPE(descr) != &PyWrapperDescr_Type) return false;
#if BV_WRAPPER_LAYOUT
    (void)getattr;
    return reinterpret_cast<PyWrapperDescrObject*>(descr)->d_wrapped == generic;
#else
    // A built-in class's slots never change after it is readied, when its
    // wrappers were made from them. Reading a wrapper's class runs no code.
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

// ---- instances --------------------------------------------------------------

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
    Ref descr = Ref::borrow(type_lookup(tp, name));
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

int instance_attrs_empty_slow(PyObject* obj) {
    // Ask for the dict, which makes an empty one where there is none.
    Ref d = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
    if (!d) {
        PyErr_Clear();
        return -1;
    }
    return PyDict_Check(d.get()) && PyDict_Size(d.get()) == 0;
}

// ---- read sites -------------------------------------------------------------

namespace detail {

bool prove_site(AttrWay& site, PyTypeObject* tp, PyObject* name) {
    if (!BV_TYPE_VERSION || !PyUnicode_CheckExact(name)) return false;
    // The lookup gives the class a version tag when it has none.
    PyObject* d = type_lookup(tp, name);
    unsigned int tag = type_tag(tp);
    if (!tag) return false;
    site.type = tp;
    site.version = tag;
    site.class_attr = d;
    site.keys = nullptr;
    site.index = -1;
    site.nentries = 0;
    return true;
}

Py_ssize_t key_index(AttrWay& site, void* keys, PyObject* name) {
#if BV_INLINE_VALUES
    // Followed by char dk_indices[1 << dk_log2_index_bytes], then the entries.
    struct UnicodeEntry {
        PyObject* me_key;
        PyObject* me_value;
    };
    auto* k = static_cast<SharedKeysHead*>(keys);
    auto* entries = reinterpret_cast<UnicodeEntry*>(reinterpret_cast<char*>(k) + sizeof(SharedKeysHead) +
                                                    (size_t(1) << k->dk_log2_index_bytes));
    // A key may be an equal str that is not the interned name (set through
    // __dict__).
    Py_ssize_t found = -1;
    Py_hash_t h = PyObject_Hash(name);  // cached in a str
    for (Py_ssize_t i = 0; i < k->dk_nentries && found < 0; ++i) {
        PyObject* key = entries[i].me_key;
        if (key == name || (key && PyUnicode_CheckExact(key) && PyObject_Hash(key) == h &&
                            PyUnicode_Compare(key, name) == 0))
            found = i;
    }
    site.keys = keys;
    site.index = found;
    site.nentries = k->dk_nentries;
    return found;
#else
    (void)site;
    (void)keys;
    (void)name;
    return -1;
#endif
}

}  // namespace detail

// ---- attribute slots --------------------------------------------------------

namespace {

PyObject* s_getattr;
PyObject* s_getattribute;
PyObject* s_setattr;
PyObject* s_delattr;

// Calls a descriptor found on the type as the host's slots do: a native
// function directly with self first, anything else bound first.
PyObject* call_type_attribute(PyObject* descr, PyObject* self, PyObject* a, PyObject* b) {
    if (is_function(descr)) {
        PyObject* args[] = {self, a, b};
        return call_positional(reinterpret_cast<Function*>(descr), args, b ? 3 : 2);
    }
    descrgetfunc get = Py_TYPE(descr)->tp_descr_get;
    Ref bound = get ? Ref::steal(get(descr, self, reinterpret_cast<PyObject*>(Py_TYPE(self))))
                    : Ref::borrow(descr);
    if (!bound) return nullptr;
    return b ? call(bound.get(), a, b).release() : call(bound.get(), a).release();
}

// Classes found to keep the default __getattribute__, with the __getattr__
// they hold (borrowed: valid while the class keeps its tag). A module makes
// at most two classes with these slots.
struct GetattrVerdict {
    TypeMemo memo;
    PyObject* getattr;
};
GetattrVerdict getattr_verdicts[2];

// What classes hold under the names the slots are asked for, which vary from
// read to read (a dictionary's attributes are its keys): a small cache, each
// entry valid while its class keeps its version tag. An entry holds its name,
// so that no other name can come to live at its address; the cache keeps at
// most kNameCacheSize names alive.
constexpr size_t kNameCacheSize = 64;
struct NameEntry {
    PyObject* name;
    PyTypeObject* type;
    unsigned int tag;
    PyObject* value;  // borrowed: valid while the class keeps its tag
};
NameEntry name_cache[kNameCacheSize];

// What `tp` holds under `name` (borrowed, or null): false when the class has
// no valid tag, and then nothing is known.
bool class_attr(PyTypeObject* tp, PyObject* name, PyObject*& value) {
    uintptr_t h = reinterpret_cast<uintptr_t>(name) ^ (reinterpret_cast<uintptr_t>(tp) >> 4);
    NameEntry& e = name_cache[(h >> 4) % kNameCacheSize];
    unsigned int tag = type_tag(tp);
    if (e.name == name && e.type == tp && e.tag == tag && tag) {
        value = e.value;
        return true;
    }
    value = type_lookup(tp, name);
    tag = type_tag(tp);
    if (!tag) return false;
    Py_INCREF(name);
    Py_XSETREF(e.name, name);
    e.type = tp;
    e.tag = tag;
    e.value = value;
    return true;
}

// object.__getattribute__(self, name): 1 with a new reference in `out`, 0
// when missing (no error), -1 on error. Proven where the class holds no
// descriptor of that name and the instance has no dict; anything else is
// the generic lookup's to answer.
int quiet_lookup(PyObject* self, PyObject* name, PyObject** out) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject* d;
    detail::Own own;
    if (!BV_TYPE_VERSION || !PyUnicode_CheckExact(name) || !class_attr(tp, name, d) ||
        (d && Py_TYPE(d)->tp_descr_get) || !detail::own_storage(self, tp, own) || own.dict) {
        *out = generic_getattr_or_null(self, name);
        return *out ? 1 : PyErr_Occurred() ? -1 : 0;
    }
#if BV_INLINE_VALUES
    if (own.values) {
        detail::SharedKeysHead* keys = detail::shared_keys(tp);
        if (keys->dk_nentries) {
            AttrWay way{};
            Py_ssize_t i = detail::key_index(way, keys, name);
            if (i >= 0 && own.values[i]) d = own.values[i];
        }
    }
#endif
    *out = d ? new_ref(d) : nullptr;
    return d != nullptr;
}

PyObject* fast_getattro(PyObject* self, PyObject* name) {
    PyTypeObject* tp = Py_TYPE(self);
    GetattrVerdict* known = nullptr;
    for (GetattrVerdict& v : getattr_verdicts)
        if (remembered(v.memo, tp)) known = &v;
    Ref getattr;
    if (known) {
        PyObject* res;
        if (quiet_lookup(self, name, &res)) return res;
        // The verdict holds only a native __getattr__ taking (self, name).
        PyObject* args[] = {self, name};
        Ref f = Ref::borrow(known->getattr);
        return call_positional(reinterpret_cast<Function*>(f.get()), args, 2);
    } else {
        Ref getattribute = Ref::borrow(type_lookup(tp, s_getattribute));
        bool generic = !getattribute || wraps_generic_getattr(getattribute.get());
        Ref res = Ref::steal(generic ? generic_getattr_or_null(self, name)
                                     : call_type_attribute(getattribute.get(), self, name, nullptr));
        if (res || (generic ? PyErr_Occurred() != nullptr : !swallow(PyExc_AttributeError)))
            return res.release();
        getattr = Ref::borrow(type_lookup(tp, s_getattr));
        if (generic && getattr && is_function(getattr.get())) {
            GetattrVerdict& first = getattr_verdicts[0];
            GetattrVerdict& slot =
                !first.memo.type || first.memo.type == tp ? first : getattr_verdicts[1];
            if (remember(slot.memo, tp, true)) slot.getattr = getattr.get();
        }
    }
    if (!getattr) return PyObject_GenericGetAttr(self, name);  // the host's own error
    return call_type_attribute(getattr.get(), self, name, nullptr);
}

int fast_setattro(PyObject* self, PyObject* name, PyObject* value) {
    PyTypeObject* tp = Py_TYPE(self);
    Ref descr = Ref::borrow(type_lookup(tp, value ? s_setattr : s_delattr));
    if (!descr) return PyObject_GenericSetAttr(self, name, value);
    if (!value && wraps_generic_setattr(descr.get()))
        return PyObject_GenericSetAttr(self, name, nullptr);
    Ref r = Ref::steal(call_type_attribute(descr.get(), self, name, value));
    return r ? 0 : -1;
}

// Whether the host lets `object.__setattr__` act on an instance of `tp`,
// whose setter slot is ours now. From 3.8 to 3.12 it refuses ("can't apply
// this __setattr__ to ... object"), as it would for a C class that
// overrides the slot; a Python class never meets that refusal. Asked once,
// of an instance of the first class (still unbound, made by its base's
// __new__ alone: no code of the class runs); the answer holds for all.
int host_accepts_own_setattro(PyTypeObject* tp) {
    static int verdict = -1;
    if (verdict >= 0) return verdict;
    Ref no_args = Ref::steal(PyTuple_New(0));
    Ref inst = no_args && tp->tp_new ? Ref::steal(tp->tp_new(tp, no_args.get(), nullptr)) : Ref();
    Ref setter = Ref::steal(
        PyObject_GetAttr(reinterpret_cast<PyObject*>(&PyBaseObject_Type), s_setattr));
    if (!inst || !setter) return -1;
    Ref r = call(setter.get(), inst.get(), s_setattr, Py_None);
    if (!r && !swallow(PyExc_TypeError)) return -1;
    verdict = r ? 1 : 0;
    return verdict;
}

Ref intern(const char* s) { return Ref::steal(PyUnicode_InternFromString(s)); }

}  // namespace

bool install_fast_attribute_slots(PyObject* cls) {
    if (!BV_ATTRIBUTE_SLOTS) return true;
    if (!s_getattr) {
        s_getattr = intern("__getattr__").release();
        s_getattribute = intern("__getattribute__").release();
        s_setattr = intern("__setattr__").release();
        s_delattr = intern("__delattr__").release();
        if (!s_getattr || !s_getattribute || !s_setattr || !s_delattr) return false;
    }
    PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(cls);
    PyObject* getattr = PyDict_GetItem(tp->tp_dict, s_getattr);
    PyObject* setattr = PyDict_GetItem(tp->tp_dict, s_setattr);
    if (getattr && is_function(getattr)) tp->tp_getattro = fast_getattro;
    if (setattr && is_function(setattr)) {
        setattrofunc host = tp->tp_setattro;
        tp->tp_setattro = fast_setattro;
        int accepted = host_accepts_own_setattro(tp);
        if (accepted <= 0) tp->tp_setattro = host;
        if (accepted < 0) return false;
    }
    return true;
}

}  // namespace bv

// Attribute reads, in one place: what a class holds under a name, what an
// instance holds of its own, remembered read sites, and the attribute slots
// of the classes whose __getattr__ / __setattr__ are native functions. Each
// read gives what PyObject_GetAttr gives; the private layouts behind it are
// switches of internals.hpp, each with its public branch beside it here.
//
// What a class holds under a name is remembered with the class's version tag
// (any change to the class or its bases renews the tag). An instance keeps
// its own attributes in a dict at the class's positive tp_dictoffset (3.6 to
// 3.10, and classes that say so), or, from 3.11 on, where the host manages
// them: a values array indexed like the keys the class shares among its
// instances (entries there only get appended), or a dict once one was made.
// Each version places that array elsewhere (BV_INLINE_VALUES); without the
// switch, or for anything unproven, the generic lookup answers.
#pragma once

#include "ref.hpp"

#include <cstdint>

namespace bv {

// ---- classes ----------------------------------------------------------------

// What a class holds under `name`, along its MRO, without running code
// (borrowed; null when nothing).
inline PyObject* type_lookup(PyTypeObject* tp, PyObject* name) { return _PyType_Lookup(tp, name); }

// The class's version tag, or 0 when it has none that is valid. Up to 3.12
// a flag says whether the tag is valid; 3.13 dropped the flag and zeroes
// the tag of a class that changes.
inline unsigned int type_tag(PyTypeObject* t) {
#if BV_TYPE_VERSION && PY_VERSION_HEX >= 0x030D0000
    return t->tp_version_tag;
#elif BV_TYPE_VERSION
    return PyType_HasFeature(t, Py_TPFLAGS_VALID_VERSION_TAG) ? t->tp_version_tag : 0;
#else
    (void)t;
    return 0;
#endif
}

// What was found about one class, valid while the class keeps its version
// tag. Zero is "nothing known".
struct TypeMemo {
    PyTypeObject* type;
    unsigned int tag;
};

// A positive verdict remembered for `t`.
inline bool remembered(const TypeMemo& m, PyTypeObject* t) {
    return m.type == t && m.tag != 0 && type_tag(t) == m.tag;
}

// Remembers a positive verdict when the class has a valid tag; returns it.
inline bool remember(TypeMemo& m, PyTypeObject* t, bool verdict) {
    unsigned int tag = type_tag(t);
    if (verdict && tag) m = TypeMemo{t, tag};
    return verdict;
}

// Whether `descr` (found on a class) is the slot wrapper of a built-in class
// whose __getattribute__ / __setattr__ / __delattr__ is the generic one.
bool wraps_generic_getattr(PyObject* descr);
bool wraps_generic_setattr(PyObject* descr);

// ---- instances --------------------------------------------------------------

// The generic attribute lookup (what object.__getattribute__ does); a missing
// attribute gives null with no error set.
PyObject* generic_getattr_or_null(PyObject* o, PyObject* name);

namespace detail {
// Where an instance keeps its own attributes now: a values array indexed
// like its class's shared keys, or a dict; neither when it has none yet.
struct Own {
    PyObject** values;
    PyObject* dict;
};

#if BV_INLINE_VALUES
// The head of the class's shared keys (3.11 to 3.15 alike), up to the entry
// count; the indices and then the (key, value) entries follow.
struct SharedKeysHead {
    Py_ssize_t dk_refcnt;
    uint8_t dk_log2_size;
    uint8_t dk_log2_index_bytes;
    uint8_t dk_kind;
    uint32_t dk_version;
    Py_ssize_t dk_usable;
    Py_ssize_t dk_nentries;
};
constexpr uint8_t kSplitKeys = 2;

inline SharedKeysHead* shared_keys(PyTypeObject* tp) {
    auto* k = reinterpret_cast<SharedKeysHead*>(reinterpret_cast<PyHeapTypeObject*>(tp)->ht_cached_keys);
    return k && k->dk_kind == kSplitKeys ? k : nullptr;
}

#if PY_VERSION_HEX >= 0x030D0000
// 3.13 on: the values follow the object's own fields, behind a small head;
// they stay valid until a dict made of them takes them over.
struct InlineValues {
    uint8_t capacity;
    uint8_t size;
    uint8_t embedded;
    uint8_t valid;
    PyObject* values[1];
};
#endif
#endif

// False when only the generic lookup can tell.
BV_ALWAYS_INLINE bool own_storage(PyObject* obj, PyTypeObject* tp, Own& own) {
    own = Own{nullptr, nullptr};
#if BV_INLINE_VALUES
    if (PyType_HasFeature(tp, Py_TPFLAGS_MANAGED_DICT)) {
        PyObject** word = reinterpret_cast<PyObject**>(obj);
#if PY_VERSION_HEX < 0x030C0000
        // 3.11: the values array and the dict in the fourth and third words
        // before the object, each null until made.
        own.values = reinterpret_cast<PyObject**>(word[-4]);
        if (!own.values) own.dict = word[-3];
#elif PY_VERSION_HEX < 0x030D0000
        // 3.12: one word, the third before the object: the dict, or the
        // values array stored one byte short of it (so odd, as the array is
        // aligned).
        uintptr_t w = reinterpret_cast<uintptr_t>(word[-3]);
        if (w & 1)
            own.values = reinterpret_cast<PyObject**>(w + 1);
        else
            own.dict = reinterpret_cast<PyObject*>(w);
#else
        // 3.13 on: the values after the object's own fields, unless a dict
        // made of them took them over; the dict in the third word before.
        InlineValues* v = PyType_HasFeature(tp, Py_TPFLAGS_INLINE_VALUES)
                              ? reinterpret_cast<InlineValues*>(reinterpret_cast<char*>(obj) +
                                                                tp->tp_basicsize)
                              : nullptr;
        if (v && v->valid)
            own.values = v->values;
        else
            own.dict = word[-3];
#endif
        return !own.values || shared_keys(tp);
    }
#endif
    // A positive offset is where the instance keeps its dict pointer, as the
    // type's documented slot says.
    Py_ssize_t offset = tp->tp_dictoffset;
    if (offset > 0) own.dict = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
    return offset >= 0;
}
}  // namespace detail

// Whether an instance has no attributes of its own: 1 none, 0 some, -1 when
// that cannot be told without running code (no error set).
int instance_attrs_empty_slow(PyObject* obj);
BV_ALWAYS_INLINE int instance_attrs_empty(PyObject* obj) {
    PyTypeObject* tp = Py_TYPE(obj);
    detail::Own own;
    if (!detail::own_storage(obj, tp, own)) return instance_attrs_empty_slow(obj);
#if BV_INLINE_VALUES
    if (own.values) {
        detail::SharedKeysHead* keys = detail::shared_keys(tp);
        for (Py_ssize_t i = 0; i < keys->dk_nentries; ++i)
            if (own.values[i]) return 0;
        return 1;
    }
#endif
    return !own.dict || (PyDict_Check(own.dict) && PyDict_Size(own.dict) == 0);
}

// ---- read sites -------------------------------------------------------------

// What the lookup of one name found on one class. Zero-initialised is
// "nothing known".
struct AttrWay {
    PyTypeObject* type;
    unsigned int version;
    PyObject* class_attr;  // borrowed; valid while the class keeps its tag
    // Where the name sits in the class's shared keys (index >= 0), or that
    // it was absent while they held `nentries` entries (index -1).
    void* keys;
    Py_ssize_t index;
    Py_ssize_t nentries;
};

// The memory of one read site: what the lookup of one name found on the last
// two classes read from (a stock and a future position read through one
// helper in turn would otherwise be proven afresh at every alternation).
struct ReadSite {
    AttrWay way[2];

    // The way that remembers `tp`, or the one to prove it into: the first,
    // whose memory moves to the second.
    AttrWay& for_type(PyTypeObject* tp) {
        if (way[0].type == tp) return way[0];
        if (way[1].type == tp) return way[1];
        way[1] = way[0];
        return way[0];
    }
};

namespace detail {
bool prove_site(AttrWay& site, PyTypeObject* tp, PyObject* name);
// The index of `name` in the shared keys `keys`, remembered in `site`.
Py_ssize_t key_index(AttrWay& site, void* keys, PyObject* name);

// The instance's own attribute: 1 with a new reference in `out`, 0 when it
// has none, -1 on error, 2 when only the generic lookup can tell.
BV_ALWAYS_INLINE int own_attr(PyObject* obj, PyTypeObject* tp, PyObject* name, AttrWay& site,
                              PyObject** out) {
    Own own;
    if (!own_storage(obj, tp, own)) return 2;
#if BV_INLINE_VALUES
    if (own.values) {
        SharedKeysHead* keys = shared_keys(tp);
        // Shared keys only grow, and an entry keeps its index: a name found
        // stays found, a name absent stays absent while none was added.
        Py_ssize_t i = site.keys == keys && (site.index >= 0 || site.nentries == keys->dk_nentries)
                           ? site.index
                           : key_index(site, keys, name);
        if (i < 0 || !own.values[i]) return 0;
        *out = new_ref(own.values[i]);
        return 1;
    }
#else
    (void)site;
#endif
    if (!own.dict) return 0;
    // The lookup may compare with a key of the caller's making, which may
    // replace the dict: it is held until the value is.
    Ref dict = Ref::borrow(own.dict);
    PyObject* v = PyDict_GetItemWithError(dict.get(), name);
    if (v) {
        *out = new_ref(v);
        return 1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

BV_ALWAYS_INLINE bool site_valid(AttrWay& site, PyTypeObject* tp, PyObject* name) {
    return (site.type == tp && site.version && site.version == type_tag(tp)) ||
           prove_site(site, tp, name);
}
}  // namespace detail

// obj.<name> (a new reference, or null with the error set). `quiet`, when
// given, is set to whether the read could run no Python code (the value came
// from the instance or was a plain class attribute).
BV_ALWAYS_INLINE PyObject* getattr_cached(PyObject* obj, PyObject* name, ReadSite& sites,
                                          bool* quiet = nullptr) {
    if (quiet) *quiet = false;
    PyTypeObject* tp = Py_TYPE(obj);
    if (tp->tp_getattro != PyObject_GenericGetAttr) return PyObject_GetAttr(obj, name);
    AttrWay& site = sites.for_type(tp);
    if (!detail::site_valid(site, tp, name)) return PyObject_GetAttr(obj, name);
    PyObject* d = site.class_attr;
    // The descriptor slots are read at each use: the class attribute's own
    // type may gain or lose them without touching this class.
    descrgetfunc get = d ? Py_TYPE(d)->tp_descr_get : nullptr;
    if (get && Py_TYPE(d)->tp_descr_set) return PyObject_GetAttr(obj, name);
    PyObject* v = nullptr;
    int found = detail::own_attr(obj, tp, name, site, &v);
    if (found == 1 || (found == 0 && d && !get)) {
        if (quiet) *quiet = true;
        return found == 1 ? v : new_ref(d);
    }
    if (found < 0) return nullptr;
    return PyObject_GetAttr(obj, name);
}

inline Ref getattr(PyObject* obj, PyObject* name, ReadSite& site, bool* quiet = nullptr) {
    return Ref::steal(getattr_cached(obj, name, site, quiet));
}

// A method call's lookup, `obj.name(...)`: when the class holds a function
// (a method descriptor) under the name and the instance does not shadow it,
// `meth` gets that function and the result is true: call it with obj first,
// as the host's method calls do, without a bound method. Otherwise `meth` is
// the attribute as getattr gives it (null with the error set on failure).
inline bool method_cached(PyObject* obj, PyObject* name, ReadSite& sites, Ref& meth) {
    PyTypeObject* tp = Py_TYPE(obj);
    AttrWay& site = sites.for_type(tp);
    if (tp->tp_getattro == PyObject_GenericGetAttr && detail::site_valid(site, tp, name)) {
        PyObject* d = site.class_attr;
        if (d && !Py_TYPE(d)->tp_descr_set &&
            (PyFunction_Check(d) || PyType_HasFeature(Py_TYPE(d), BV_TPFLAGS_METHOD_DESCRIPTOR))) {
            PyObject* v = nullptr;
            int found = detail::own_attr(obj, tp, name, site, &v);
            if (found == 0) {
                meth = Ref::borrow(d);
                return true;
            }
            if (found == 1 || found < 0) {
                meth = Ref::steal(v);
                return false;
            }
        }
    }
    meth = Ref::steal(PyObject_GetAttr(obj, name));
    return false;
}

// ---- attribute slots --------------------------------------------------------

// For a class whose __getattr__ / __setattr__ are native functions: attribute
// slots that keep the host's lookup order (ordinary attribute first, then
// __getattr__; assignment through __setattr__; deletion through __delattr__)
// but call the native bodies directly (BV_ATTRIBUTE_SLOTS). Assigning a new
// __getattr__, __getattribute__, __setattr__ or __delattr__ to the class
// later makes the host reinstall its own slots; subclasses get the host's
// slots as usual. The setter slot is left to the host where it would refuse
// `object.__setattr__` on the class's instances because of it (3.8 to 3.12).
bool install_fast_attribute_slots(PyObject* cls);

}  // namespace bv

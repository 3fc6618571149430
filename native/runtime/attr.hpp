// Attribute reads that give what PyObject_GetAttr gives, faster for the
// common case of a plain instance: a class with the generic attribute lookup
// and no data descriptor of that name. What the class holds under the name is
// remembered with the class's version tag (any change to the class or its
// bases renews the tag), the instance's own attributes are read from its
// dict, or on 3.11 from its inline values through the class's shared keys.
// Anything else takes the generic path, and so does everything in a build
// without BV_TYPE_VERSION.
#pragma once

#include "ref.hpp"

#include <cstdint>

namespace bv {

// What the lookup of one name found on one class. Zero-initialised is
// "nothing known".
struct AttrWay {
    PyTypeObject* type;
    unsigned int version;
    PyObject* class_attr;  // borrowed; valid while the class keeps its tag
    // 3.11: where the name sits in the class's shared keys (index >= 0), or
    // that it was absent while they held `nentries` entries (index -1).
    void* keys;
    Py_ssize_t index;
    Py_ssize_t nentries;
};

// The memory of one read site: what the lookup of one name found on the
// class last read from, valid while the class keeps its version tag.
// Zero-initialised is "nothing known".
struct AttrSite : AttrWay {
    AttrWay& for_type(PyTypeObject*) { return *this; }
};

// A read site that serves two classes in turn (a stock and a future position
// read through the same helper), remembering the last two: one class at a
// time would be proven afresh at every alternation.
struct AttrSite2 {
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
#if BV_INLINE_VALUES
// The head of 3.11's PyDictKeysObject, up to the entry count.
struct SharedKeysHead {
    Py_ssize_t dk_refcnt;
    uint8_t dk_log2_size;
    uint8_t dk_log2_index_bytes;
    uint8_t dk_kind;
    uint32_t dk_version;
    Py_ssize_t dk_usable;
    Py_ssize_t dk_nentries;
};
#endif
bool prove_site(AttrWay& site, PyTypeObject* tp, PyObject* name);
// The instance's own attribute: 1 with a new reference in `out`, 0 when it
// has none, -1 on error, 2 when only the generic lookup can tell.
int own_attr(PyObject* obj, PyTypeObject* tp, PyObject* name, AttrWay& site, PyObject** out);

// The proven cases of own_attr, inline: on 3.11 the name's index in the
// shared keys is known, or it is known absent from keys that have not grown
// since. 2 for everything else.
inline int own_attr_inline(PyObject* obj, PyTypeObject* tp, AttrWay& site, PyObject** out) {
#if BV_INLINE_VALUES
    if (PyType_HasFeature(tp, Py_TPFLAGS_MANAGED_DICT)) {
        PyObject** values = managed_values(obj);
        void* keys = reinterpret_cast<PyHeapTypeObject*>(tp)->ht_cached_keys;
        if (values && site.keys == keys) {
            if (site.index >= 0) {
                if (PyObject* own = values[site.index]) {
                    *out = new_ref(own);
                    return 1;
                }
                return 0;
            }
            if (site.nentries == static_cast<SharedKeysHead*>(keys)->dk_nentries) return 0;
        }
    }
#else
    (void)obj;
    (void)tp;
    (void)site;
    (void)out;
#endif
    return 2;
}
}  // namespace detail

// obj.<name> (a new reference, or null with the error set). `quiet`, when
// given, is set to whether the read could run no Python code (the value came
// from the instance or was a plain class attribute).
template <class Site>
inline PyObject* getattr_cached(PyObject* obj, PyObject* name, Site& sites,
                                bool* quiet = nullptr) {
    if (quiet) *quiet = false;
    PyTypeObject* tp = Py_TYPE(obj);
    if (tp->tp_getattro != PyObject_GenericGetAttr) return PyObject_GetAttr(obj, name);
    AttrWay& site = sites.for_type(tp);
    if (site.type != tp || site.version != tp->tp_version_tag ||
        !PyType_HasFeature(tp, Py_TPFLAGS_VALID_VERSION_TAG)) {
        if (!detail::prove_site(site, tp, name)) return PyObject_GetAttr(obj, name);
    }
    PyObject* d = site.class_attr;
    // The descriptor slots are read at each use: the class attribute's own
    // type may gain or lose them without touching this class.
    descrgetfunc get = d ? Py_TYPE(d)->tp_descr_get : nullptr;
    if (get && Py_TYPE(d)->tp_descr_set) return PyObject_GetAttr(obj, name);
    PyObject* v = nullptr;
    int found = detail::own_attr_inline(obj, tp, site, &v);
    if (found == 1) {
        if (quiet) *quiet = true;
        return v;
    }
    if (found == 2)
        found = detail::own_attr(obj, tp, name, site, &v);
    if (found == 1) {
        if (quiet) *quiet = true;
        return v;
    }
    if (found < 0) return nullptr;
    if (found == 0 && d && !get) {
        if (quiet) *quiet = true;
        return new_ref(d);
    }
    return PyObject_GetAttr(obj, name);
}

template <class Site>
inline Ref getattr(PyObject* obj, PyObject* name, Site& site, bool* quiet = nullptr) {
    return Ref::steal(getattr_cached(obj, name, site, quiet));
}

// obj.<name> where the read provably runs no Python code (what
// getattr_cached reports as quiet): 1 with a new reference in `out`, 0 with
// nothing done where only the generic lookup can tell, -1 on error.
template <class Site>
inline int getattr_if_quiet(PyObject* obj, PyObject* name, Site& sites, PyObject** out) {
    PyTypeObject* tp = Py_TYPE(obj);
    if (tp->tp_getattro != PyObject_GenericGetAttr) return 0;
    AttrWay& site = sites.for_type(tp);
    if (site.type != tp || site.version != tp->tp_version_tag ||
        !PyType_HasFeature(tp, Py_TPFLAGS_VALID_VERSION_TAG)) {
        if (!detail::prove_site(site, tp, name)) return 0;
    }
    PyObject* d = site.class_attr;
    descrgetfunc get = d ? Py_TYPE(d)->tp_descr_get : nullptr;
    if (get && Py_TYPE(d)->tp_descr_set) return 0;
    int found = detail::own_attr_inline(obj, tp, site, out);
    if (found == 2) found = detail::own_attr(obj, tp, name, site, out);
    if (found != 0) return found == 2 ? 0 : found;
    if (d && !get) {
        *out = new_ref(d);
        return 1;
    }
    return 0;
}

// A method call's lookup, `obj.name(...)`: when the class holds a function
// (a method descriptor) under the name and the instance does not shadow it,
// `meth` gets that function and the result is true: call it with obj first,
// as the host's method calls do, without a bound method. Otherwise `meth` is
// the attribute as getattr gives it (null with the error set on failure).
template <class Site>
inline bool method_cached(PyObject* obj, PyObject* name, Site& sites, Ref& meth) {
    PyTypeObject* tp = Py_TYPE(obj);
    AttrWay& site = sites.for_type(tp);
    if (tp->tp_getattro == PyObject_GenericGetAttr &&
        ((site.type == tp && site.version == tp->tp_version_tag &&
          PyType_HasFeature(tp, Py_TPFLAGS_VALID_VERSION_TAG)) ||
         detail::prove_site(site, tp, name))) {
        PyObject* d = site.class_attr;
        if (d && !Py_TYPE(d)->tp_descr_set &&
            (PyFunction_Check(d) || PyType_HasFeature(Py_TYPE(d), BV_TPFLAGS_METHOD_DESCRIPTOR))) {
            PyObject* v = nullptr;
            int found = detail::own_attr_inline(obj, tp, site, &v);
            if (found == 2) found = detail::own_attr(obj, tp, name, site, &v);
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

}  // namespace bv

#include "attr.hpp"

#include <cstdint>

namespace bv {

// On 3.11 the dict object of a plain instance is only made when someone
// asks for it; until then its attributes sit in the values array. The keys
// layout below is 3.11's; other versions take the dict or the generic path.

namespace {

#if BV_INLINE_VALUES
// Followed by char dk_indices[1 << dk_log2_index_bytes], then the entries.
using SharedKeys = detail::SharedKeysHead;
struct UnicodeEntry {
    PyObject* me_key;
    PyObject* me_value;
};
constexpr uint8_t kSplitKeys = 2;

UnicodeEntry* entries(SharedKeys* k) {
    char* indices = reinterpret_cast<char*>(k) + sizeof(SharedKeys);
    return reinterpret_cast<UnicodeEntry*>(indices + (size_t(1) << k->dk_log2_index_bytes));
}

// The index of `name` among the keys, or -1. A key may be an equal str
// that is not the interned name (set through __dict__).
Py_ssize_t find_key(SharedKeys* k, PyObject* name) {
    UnicodeEntry* e = entries(k);
    Py_hash_t h = PyObject_Hash(name);  // cached in a str
    for (Py_ssize_t i = 0; i < k->dk_nentries; ++i) {
        PyObject* key = e[i].me_key;
        if (key == name) return i;
        if (key && PyUnicode_CheckExact(key) && PyObject_Hash(key) == h &&
            PyUnicode_Compare(key, name) == 0)
            return i;
    }
    return -1;
}

int from_values(PyObject* obj, PyTypeObject* tp, PyObject* name, AttrWay& site,
                PyObject** out) {
    PyObject** values = managed_values(obj);
    if (!values) {
        PyObject* dict = managed_dict(obj);
        if (!dict) return 0;
        Ref hold = Ref::borrow(dict);
        PyObject* v = PyDict_GetItemWithError(dict, name);
        if (v) {
            *out = new_ref(v);
            return 1;
        }
        return PyErr_Occurred() ? -1 : 0;
    }
    auto* keys = reinterpret_cast<SharedKeys*>(reinterpret_cast<PyHeapTypeObject*>(tp)->ht_cached_keys);
    if (!keys || keys->dk_kind != kSplitKeys) return 2;
    // Shared keys only grow, and an entry keeps its index: a name found
    // stays found, a name absent stays absent while no entry was added.
    if (site.keys != keys || (site.index < 0 && site.nentries != keys->dk_nentries)) {
        site.keys = keys;
        site.index = find_key(keys, name);
        site.nentries = keys->dk_nentries;
    }
    if (site.index < 0) return 0;
    PyObject* v = values[site.index];
    if (!v) return 0;
    *out = new_ref(v);
    return 1;
}
#endif

}  // namespace

namespace detail {

bool prove_site(AttrWay& site, PyTypeObject* tp, PyObject* name) {
    if (!BV_TYPE_VERSION || !PyUnicode_CheckExact(name)) return false;
    // The lookup gives the class a version tag when it has none.
    PyObject* d = _PyType_Lookup(tp, name);
    if (!PyType_HasFeature(tp, Py_TPFLAGS_VALID_VERSION_TAG)) return false;
    site.type = tp;
    site.version = tp->tp_version_tag;
    site.class_attr = d;
    site.keys = nullptr;
    site.index = -1;
    site.nentries = 0;
    return true;
}

int own_attr(PyObject* obj, PyTypeObject* tp, PyObject* name, AttrWay& site, PyObject** out) {
#if BV_INLINE_VALUES
    if (PyType_HasFeature(tp, Py_TPFLAGS_MANAGED_DICT)) return from_values(obj, tp, name, site, out);
#else
    (void)site;
#endif
    if (tp->tp_dictoffset == 0) return 0;
#if BV_PY312
    // 3.12 keeps plain instances' attributes in its own way; the generic
    // lookup knows it.
    if (tp->tp_dictoffset < 0 || PyType_HasFeature(tp, Py_TPFLAGS_MANAGED_DICT)) return 2;
#endif
    PyObject** dictptr = _PyObject_GetDictPtr(obj);
    if (!dictptr || !*dictptr) return 0;
    // The lookup may compare with a key of the caller's making, which may
    // replace the dict: it is held until the value is.
    Ref dict = Ref::borrow(*dictptr);
    PyObject* v = PyDict_GetItemWithError(dict.get(), name);
    if (v) {
        *out = new_ref(v);
        return 1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

}  // namespace detail
}  // namespace bv

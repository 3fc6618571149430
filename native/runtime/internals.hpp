// CPython internals used for speed: private functions, private struct
// layouts and behaviours of the host's objects that the C API does not
// promise. This header is the only place outside the runtime's .cpp files
// that touches them; the module folders call the helpers below.
//
// Each internal is a named switch, BV_<NAME>: 1 where the host has what it
// needs and the build wants it. Every helper has a second branch that uses
// only the public C API and gives the same results, more slowly. A build with
// -DBELVANE_PORTABLE=ON (BV_PORTABLE) takes the public branch everywhere;
// -DBV_NO_<NAME> turns one switch off, to measure what it buys
// (bench/internals.sh, bench/README.md).
#pragma once

#include "compat.hpp"

#ifndef BV_PORTABLE
#define BV_PORTABLE 0
#endif

// A free-threaded CPython takes the public branch everywhere: the remembered
// lookups and private layouts below assume that the GIL serialises every
// reader and writer (ARCHITECTURE.md says what running without it needs).
#ifdef Py_GIL_DISABLED
#undef BV_PORTABLE
#define BV_PORTABLE 1
#endif

// Each switch that has no version range ending before it names the newest
// CPython it was tested on, BV_TESTED_THROUGH(3, minor): on a newer one it is
// off and the public branch serves, unless the build asks for untested
// internals (-DBELVANE_UNTESTED_INTERNALS=ON, BV_UNTESTED_INTERNALS); CMake
// reads these bounds and says at configure time which switches are off.
#ifndef BV_UNTESTED_INTERNALS
#define BV_UNTESTED_INTERNALS 0
#endif
#define BV_TESTED_THROUGH(major, minor) \
    (BV_UNTESTED_INTERNALS || PY_VERSION_HEX < (((major) << 24) | (((minor) + 1) << 16)))

// 3.6 and 3.7 have no vectorcall; their keyword fast call takes the same
// argument layout without building a tuple and a dict.
#if !BV_PORTABLE && !defined(BV_NO_FASTCALL) && PY_VERSION_HEX < 0x03080000
#define BV_FASTCALL 1
#else
#define BV_FASTCALL 0
#endif

// The digits of an int (up to 3.11): a one-digit int's value without a call.
#if !BV_PORTABLE && !defined(BV_NO_LONG_DIGITS) && PY_VERSION_HEX < 0x030C0000
#define BV_LONG_DIGITS 1
#else
#define BV_LONG_DIGITS 0
#endif

// The generic attribute lookup that reports "missing" without raising
// AttributeError: a private entry of 3.7+, on 3.6 the runtime's own steps.
// Up to 3.11: it serves the attribute slots below.
#if !BV_PORTABLE && !defined(BV_NO_QUIET_LOOKUP) && PY_VERSION_HEX < 0x030C0000
#define BV_QUIET_LOOKUP 1
#else
#define BV_QUIET_LOOKUP 0
#endif

// Remembered attribute lookups (attr.hpp) and class verdicts: a class's
// version tag changes whenever the class or one of its bases does.
#if !BV_PORTABLE && !defined(BV_NO_TYPE_VERSION) && BV_TESTED_THROUGH(3, 15)
#define BV_TYPE_VERSION 1
#else
#define BV_TYPE_VERSION 0
#endif

// From 3.11 on the host keeps a plain instance's attributes in a values
// array indexed like the keys its class shares among its instances, placed
// by each version in its own way (attr.hpp).
#if !BV_PORTABLE && !defined(BV_NO_INLINE_VALUES) && BV_TESTED_THROUGH(3, 15) && \
    BV_TYPE_VERSION && PY_VERSION_HEX >= 0x030B0000
#define BV_INLINE_VALUES 1
#else
#define BV_INLINE_VALUES 0
#endif

// Dict version tags (3.6 to 3.11): any change of any dict gives it a new tag.
#if !BV_PORTABLE && !defined(BV_NO_DICT_VERSION) && PY_VERSION_HEX < 0x030C0000
#define BV_DICT_VERSION 1
#else
#define BV_DICT_VERSION 0
#endif

// From 3.12 on, dict watchers (public API) tell when a watched dict changes:
// module-dict entries are remembered until then.
#if !BV_PORTABLE && !defined(BV_NO_DICT_WATCH) && BV_TESTED_THROUGH(3, 15) && \
    PY_VERSION_HEX >= 0x030C0000
#define BV_DICT_WATCH 1
#else
#define BV_DICT_WATCH 0
#endif

// A dict copy clones a combined table in one go from 3.8 on; a new ordered
// dict can take over such a table (see odict_with_keys).
#if !BV_PORTABLE && !defined(BV_NO_PRESHAPED_DICT) && BV_TESTED_THROUGH(3, 15) && \
    PY_VERSION_HEX >= 0x03080000
#define BV_PRESHAPED_DICT 1
#else
#define BV_PRESHAPED_DICT 0
#endif

// The C function a slot wrapper (object.__getattribute__ and kin) calls.
// Up to 3.11: from 3.12 on no row gains 10 % by it (bench/README.md).
#if !BV_PORTABLE && !defined(BV_NO_WRAPPER_LAYOUT) && PY_VERSION_HEX < 0x030C0000
#define BV_WRAPPER_LAYOUT 1
#else
#define BV_WRAPPER_LAYOUT 0
#endif

// A property's getter sits right after its object header.
#if !BV_PORTABLE && !defined(BV_NO_PROPERTY_LAYOUT) && BV_TESTED_THROUGH(3, 15)
#define BV_PROPERTY_LAYOUT 1
#else
#define BV_PROPERTY_LAYOUT 0
#endif

// The flag of a datetime that says whether it has a tzinfo (before 3.10,
// which reads it publicly); see datetime_fields.hpp.
#if !BV_PORTABLE && !defined(BV_NO_DATETIME_LAYOUT) && PY_VERSION_HEX < 0x030A0000
#define BV_DATETIME_LAYOUT 1
#else
#define BV_DATETIME_LAYOUT 0
#endif

// A list only we hold, taken off the collector's lists, can be reached by no
// one else.
#if !BV_PORTABLE && !defined(BV_NO_PRIVATE_LIST) && BV_TESTED_THROUGH(3, 15)
#define BV_PRIVATE_LIST 1
#else
#define BV_PRIVATE_LIST 0
#endif

// Attribute slots of our own on classes with native __getattr__/__setattr__
// (attr.cpp).
// Up to 3.11: from 3.12 on the host's own slot no longer raises and clears
// an AttributeError before it calls __getattr__, and is the faster one
// (bench/README.md).
#if !BV_PORTABLE && !defined(BV_NO_ATTRIBUTE_SLOTS) && PY_VERSION_HEX < 0x030C0000
#define BV_ATTRIBUTE_SLOTS 1
#else
#define BV_ATTRIBUTE_SLOTS 0
#endif

// From 3.12 on, the unstable API tells a one-digit int and gives its value
// without a call into the int's code.
#if !BV_PORTABLE && !defined(BV_NO_LONG_COMPACT) && BV_TESTED_THROUGH(3, 15) && \
    PY_VERSION_HEX >= 0x030C0000
#define BV_LONG_COMPACT 1
#else
#define BV_LONG_COMPACT 0
#endif

#if BV_LONG_DIGITS && PY_VERSION_HEX < 0x030B0000
#include <longintrepr.h>
#endif

namespace bv {

// ---- calls ------------------------------------------------------------------

// Calls `callable` with positional args[0..nargs) and keyword values following
// them, named by `kwnames` (a tuple of str, or null). `args` may be written
// at index -1 when PY_VECTORCALL_ARGUMENTS_OFFSET is set in nargsf.
PyObject* vectorcall_slow(PyObject* callable, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);

inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) {
#if BV_PY39
    return PyObject_Vectorcall(callable, args, nargsf, kwnames);
#elif BV_PY38
    return _PyObject_Vectorcall(callable, args, nargsf, kwnames);
#else
    Py_ssize_t nargs = (Py_ssize_t)(nargsf & ~PY_VECTORCALL_ARGUMENTS_OFFSET);
#if BV_FASTCALL
    return _PyObject_FastCallKeywords(callable, const_cast<PyObject**>(args), nargs, kwnames);
#else
    return vectorcall_slow(callable, args, nargs, kwnames);
#endif
#endif
}

// ---- numbers ----------------------------------------------------------------

// The value of an exact int of at most one digit (|v| < 2**30), which is
// every int a position holds in practice; false for anything larger.
inline bool compact_long(PyObject* o, long long& v) {
#if BV_LONG_DIGITS
    Py_ssize_t size = Py_SIZE(o);
    if (size == 0) {
        v = 0;  // zero may have no digit allocated at all
        return true;
    }
    if (size < -1 || size > 1) return false;
    v = size * static_cast<long long>(reinterpret_cast<PyLongObject*>(o)->ob_digit[0]);
    return true;
#elif BV_LONG_COMPACT
    if (!PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(o))) return false;
    v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(o));
    return true;
#else
    int overflow = 0;
    v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow || v >= (1LL << 30) || v <= -(1LL << 30)) {
        if (v == -1 && PyErr_Occurred()) PyErr_Clear();
        return false;
    }
    return true;
#endif
}

// The getter of a property object (new reference, or null with the error set).
inline PyObject* property_fget(PyObject* prop) {
#if BV_PROPERTY_LAYOUT
    struct PropertyHead {
        PyObject_HEAD
        PyObject* fget;
    };
    PyObject* f = reinterpret_cast<PropertyHead*>(prop)->fget;
    return new_ref(f ? f : Py_None);
#else
    return PyObject_GetAttrString(prop, "fget");
#endif
}

// ---- dicts ------------------------------------------------------------------

// A dict lookup remembered with the dict's version: while it is the same the
// dict still holds the object found, and the borrowed pointer is as good as
// a new lookup. Zero-initialised is "nothing known".
struct DictMemo {
    PyObject* dict;
    unsigned long long version;
    PyObject* value;  // borrowed from `dict`
};

#if BV_DICT_WATCH
// Moves on whenever any dict being watched changes or goes; 0 when `dict`
// cannot be watched (no watcher left), when nothing is remembered.
extern unsigned long long dict_generation;
unsigned long long watch_dict(PyObject* dict);
#endif

// dict[key] (borrowed), or null with or without an error set.
inline PyObject* memo_lookup(DictMemo& m, PyObject* dict, PyObject* key) {
#if BV_DICT_VERSION || BV_DICT_WATCH
#if BV_DICT_VERSION
    unsigned long long version = reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#else
    unsigned long long version = dict_generation;
#endif
    if (m.value && m.dict == dict && m.version == version) return m.value;
#if BV_DICT_WATCH
    version = watch_dict(dict);
#endif
    PyObject* v = PyDict_GetItemWithError(dict, key);
    if (v && version) m = DictMemo{dict, version, v};
    return v;
#else
    (void)m;
    return PyDict_GetItemWithError(dict, key);
#endif
}

// A new, empty collections.OrderedDict whose hash table is already shaped for
// the keys of `keys` (a plain dict holding exactly the keys to come, in the
// order they will be inserted): inserting them then costs no rehash. Without
// the internals, a plain new OrderedDict.
PyObject* odict_with_keys(PyObject* keys);

// ---- lists ------------------------------------------------------------------

// Makes sure no one but the caller can reach `list`: true when the caller
// holds its only reference and the collector (gc.get_objects(),
// gc.get_referrers()) no longer lists it, so nothing can change it while
// the caller keeps it. False, with nothing done, otherwise.
inline bool seal_private_list(PyObject* list) {
#if BV_PRIVATE_LIST
    if (!PyList_CheckExact(list) || Py_REFCNT(list) != 1) return false;
    PyObject_GC_UnTrack(list);
    return true;
#else
    (void)list;
    return false;
#endif
}

}  // namespace bv

// The one place that knows how the C API differs between CPython 3.6 and 3.13.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x03060000
#error "CPython 3.6 or newer is required"
#endif

#define BV_PY38 (PY_VERSION_HEX >= 0x03080000)
#define BV_PY39 (PY_VERSION_HEX >= 0x03090000)
#define BV_PY310 (PY_VERSION_HEX >= 0x030A0000)
#define BV_PY312 (PY_VERSION_HEX >= 0x030C0000)

// Vectorcall: public from 3.9, provisional (underscored) in 3.8, absent before.
#if BV_PY39
#define BV_HAVE_VECTORCALL 1
#define BV_TPFLAGS_HAVE_VECTORCALL Py_TPFLAGS_HAVE_VECTORCALL
#define BV_VECTORCALL_NARGS(n) PyVectorcall_NARGS(n)
#elif BV_PY38
#define BV_HAVE_VECTORCALL 1
#define BV_TPFLAGS_HAVE_VECTORCALL _Py_TPFLAGS_HAVE_VECTORCALL
#define BV_VECTORCALL_NARGS(n) PyVectorcall_NARGS(n)
#else
#define BV_HAVE_VECTORCALL 0
#endif

#if BV_PY38
#define BV_TPFLAGS_METHOD_DESCRIPTOR Py_TPFLAGS_METHOD_DESCRIPTOR
#else
#define BV_TPFLAGS_METHOD_DESCRIPTOR 0
#endif

#ifndef PY_VECTORCALL_ARGUMENTS_OFFSET
#define PY_VECTORCALL_ARGUMENTS_OFFSET ((size_t)1 << (8 * sizeof(size_t) - 1))
#endif

#if !BV_PY39
#define Py_SET_REFCNT(o, r) (((PyObject*)(o))->ob_refcnt = (r))
#endif

// 3.11 keeps the attributes of a plain instance in a values array in front
// of the object (pointer at word -4; the dict, once made, at word -3),
// indexed like the keys its class shares among its instances (see
// Include/internal/pycore_object.h and pycore_dict.h of 3.11).
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000
#define BV_INLINE_VALUES_311 1
#else
#define BV_INLINE_VALUES_311 0
#endif

#if !BV_PY312 && PY_VERSION_HEX < 0x030B0000
#include <longintrepr.h>
#endif

namespace bv {

// The value of an exact int of at most one digit (30 bits), which is every
// int a position holds in practice; false for anything larger.
inline bool compact_long(PyObject* o, long long& v) {
#if BV_PY312
    if (!PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(o))) return false;
    v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(o));
    return true;
#else
    Py_ssize_t size = Py_SIZE(o);
    if (size == 0) {
        v = 0;  // zero may have no digit allocated at all
        return true;
    }
    if (size < -1 || size > 1) return false;
    v = size * static_cast<long long>(reinterpret_cast<PyLongObject*>(o)->ob_digit[0]);
    return true;
#endif
}

// Calls `callable` with positional args[0..nargs) and keyword values following
// them, named by `kwnames` (a tuple of str, or null). `args` may be written
// at index -1 when PY_VECTORCALL_ARGUMENTS_OFFSET is set in nargsf.
inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) {
#if BV_PY39
    return PyObject_Vectorcall(callable, args, nargsf, kwnames);
#elif BV_PY38
    return _PyObject_Vectorcall(callable, args, nargsf, kwnames);
#else
    Py_ssize_t nargs = (Py_ssize_t)(nargsf & ~PY_VECTORCALL_ARGUMENTS_OFFSET);
    return _PyObject_FastCallKeywords(callable, const_cast<PyObject**>(args), nargs, kwnames);
#endif
}

inline PyObject* new_ref(PyObject* o) {
    Py_INCREF(o);
    return o;
}

// Generic attribute lookup; a missing attribute gives null with no error set
// (3.7+ can skip creating the AttributeError altogether).
inline PyObject* generic_getattr_or_null(PyObject* o, PyObject* name) {
#if PY_VERSION_HEX >= 0x03070000
    PyObject* r = _PyObject_GenericGetAttrWithDict(o, name, nullptr, 1);
#else
    PyObject* r = PyObject_GenericGetAttr(o, name);
#endif
    if (!r && PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
    return r;
}

// Module names that differ in the host's own messages: from 3.10 on, the
// argument errors of a Python function name it by its qualified name.
inline constexpr bool messages_use_qualname() { return BV_PY310; }
// A failed `from m import name` names the module and its file from 3.7 on,
// and a module still being imported as such from 3.8 on.
inline constexpr bool import_errors_name_the_module() { return PY_VERSION_HEX >= 0x03070000; }
inline constexpr bool import_errors_name_circular_imports() { return BV_PY38; }

}  // namespace bv

// Terminates a module's slot table. Module state holds interned objects of one
// interpreter, so the modules declare that they cannot be shared with others.
#if BV_PY312
#define BV_MODULE_SLOTS_END                                                        \
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED}, { \
        0, nullptr                                                                 \
    }
#else
#define BV_MODULE_SLOTS_END \
    {                       \
        0, nullptr          \
    }
#endif

// The entry point each module exports; hidden visibility everywhere else.
#define BV_MODULE_INIT(name) \
    extern "C" __attribute__((visibility("default"))) PyObject* PyInit_##name(void)

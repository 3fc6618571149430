// How the public C API differs between CPython 3.6 and 3.13. The internals
// used for speed are in internals.hpp.
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

namespace bv {

inline PyObject* new_ref(PyObject* o) {
    Py_INCREF(o);
    return o;
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
// interpreter, so the modules declare that they cannot be shared with others;
// from 3.13 on they also declare that they need the GIL, which a free-threaded
// CPython then keeps on for them (see ARCHITECTURE.md).
#if PY_VERSION_HEX >= 0x030D0000
#define BV_MODULE_SLOTS_END                                                        \
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},    \
        {Py_mod_gil, Py_MOD_GIL_USED}, {                                           \
        0, nullptr                                                                 \
    }
#elif BV_PY312
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

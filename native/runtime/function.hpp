// Native functions that behave like Python functions: they bind to an
// instance through the descriptor protocol, can be wrapped by property,
// classmethod and staticmethod, and report argument errors in the host's own
// words. The body is a C++ function that receives the parsed parameters.
#pragma once

#include "handler.hpp"
#include "ref.hpp"

#include <cstddef>

namespace bv {

struct Function;

// `args` holds one borrowed object per parameter, in declaration order; a
// `*args` parameter receives a tuple. The body returns a new reference, or
// null with the Python error set.
using Impl = PyObject* (*)(Function* fn, PyObject* const* args);

enum class Default : unsigned char { Required, None, Int, True, False, Str, VarArgs };

struct Param {
    const char* name;
    Default kind = Default::Required;
    long long ival = 0;
    const char* sval = nullptr;
};

constexpr Param arg(const char* name) { return Param{name, Default::Required, 0, nullptr}; }
constexpr Param arg_none(const char* name) { return Param{name, Default::None, 0, nullptr}; }
constexpr Param arg_int(const char* name, long long v) { return Param{name, Default::Int, v, nullptr}; }
constexpr Param arg_bool(const char* name, bool v) {
    return Param{name, v ? Default::True : Default::False, 0, nullptr};
}
constexpr Param arg_str(const char* name, const char* v) { return Param{name, Default::Str, 0, v}; }
constexpr Param varargs(const char* name) { return Param{name, Default::VarArgs, 0, nullptr}; }

// An annotation text; `param` "return" annotates the result.
struct Annotation {
    const char* param;
    const char* text;
};

constexpr int kMaxParams = 8;

// What a function guarantees about its own behaviour, stated by the module
// that defines it, next to its code, and pinned by that module's tests.
// Another module may take a shorter way to the same result where a function
// it meets promises what that way assumes; the promises travel with the
// function (its layout, below, is shared by every module's runtime).
namespace promise {
// __getattr__(self, item): when self[item] succeeds, returns its value and
// has run nothing else.
constexpr unsigned kGetattrReadsItem = 1u << 0;
// OrderedDotDict.__init__(self, _dict=None): for a false _dict, calls
// super(OrderedDotDict, self).__init__({}), with OrderedDotDict read from its
// __globals__ at the call, and nothing else.
constexpr unsigned kOrderedInitEmpty = 1u << 1;
}  // namespace promise

struct FunctionSpec {
    const char* name;
    Impl impl;
    const Param* params;
    int nparams;
    const Annotation* annotations;
    int nannotations;
    unsigned promises = 0;  // promise::k...

    constexpr FunctionSpec(const char* n, Impl f)
        : name(n), impl(f), params(nullptr), nparams(0), annotations(nullptr), nannotations(0) {}
    template <int N>
    constexpr FunctionSpec(const char* n, Impl f, const Param (&p)[N])
        : name(n), impl(f), params(p), nparams(N), annotations(nullptr), nannotations(0) {
        static_assert(N <= kMaxParams, "too many parameters");
    }
    template <int N, int M>
    constexpr FunctionSpec(const char* n, Impl f, const Param (&p)[N], const Annotation (&a)[M])
        : name(n), impl(f), params(p), nparams(N), annotations(a), nannotations(M) {
        static_assert(N <= kMaxParams, "too many parameters");
    }
};

struct Function {
    PyObject_HEAD
#if BV_HAVE_VECTORCALL
    vectorcallfunc vectorcall;
#endif
    Impl impl;
    Py_ssize_t npositional;  // parameters that take positional arguments
    bool has_varargs;
    unsigned promises;  // from its FunctionSpec, readable by another module's runtime
    const FunctionSpec* desc;
    PyObject* name;
    PyObject* qualname;
    PyObject* module_name;
    PyObject* doc;
    PyObject* param_names;  // tuple of str
    PyObject* defaults;     // tuple or null
    PyObject* annotations;  // dict or null, made on first read
    PyObject* dict;
    PyObject* globals;  // the defining module's namespace, read at each use
    PyObject* module;   // keeps `state` alive
    void* state;        // the defining module's state
    PyObject* weakrefs;
};

// Makes a function whose __qualname__ is `qualname_prefix` + "." + name (or
// the bare name for a null prefix), belonging to `module`.
Ref make_function(const FunctionSpec& desc, PyObject* module, const char* registered_name,
                  const char* qualname_prefix);

// A function of this module's runtime.
bool is_function(PyObject* o);
// A function of any of the modules' runtimes (another module's too) with
// the same layout.
bool is_native_function(PyObject* o);

// The promises `o` makes, if it is such a function, all of `wanted`.
bool promises(PyObject* o, unsigned wanted);

// Calls `f` with `n` positional arguments (self first), as a call from
// Python would.
PyObject* call_positional_slow(Function* f, PyObject* const* args, Py_ssize_t n);
inline PyObject* call_positional(Function* f, PyObject* const* args, Py_ssize_t n) {
    if (f->npositional != n || f->has_varargs) return call_positional_slow(f, args, n);
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    PyObject* r = f->impl(f, args);
    Py_LeaveRecursiveCall();
    return r;
}

template <typename S>
inline S& state_of(Function* fn) {
    return *static_cast<S*>(fn->state);
}

// A module global as a Python function body reads it: the module namespace,
// then the builtins, else NameError.
Ref global(PyObject* globals, PyObject* name);
inline Ref global(Function* fn, PyObject* name) { return global(fn->globals, name); }

}  // namespace bv

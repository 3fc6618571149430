#include "function.hpp"

#include <cstring>
#include <structmember.h>

namespace bv {

namespace {

PyObject* function_name_for_messages(Function* f) {
    return messages_use_qualname() ? f->qualname : f->name;
}

Ref make_default(const Param& p) {
    switch (p.kind) {
        case Default::None: return Ref::none();
        case Default::Int: return from_long(p.ival);
        case Default::True: return Ref::borrow(Py_True);
        case Default::False: return Ref::borrow(Py_False);
        case Default::Str: return from_utf8(p.sval);
        default: return Ref();
    }
}

// 'a' / 'a' and 'b' / 'a', 'b', and 'c', as the host lists missing arguments.
Ref format_missing(PyObject* names_list) {
    Py_ssize_t n = PyList_GET_SIZE(names_list);
    if (n == 1) return Ref::borrow(PyList_GET_ITEM(names_list, 0));
    if (n == 2)
        return Ref::steal(PyUnicode_FromFormat("%U and %U", PyList_GET_ITEM(names_list, 0),
                                               PyList_GET_ITEM(names_list, 1)));
    Ref head = Ref::steal(PyList_GetSlice(names_list, 0, n - 1));
    if (!head) return Ref();
    Ref sep = from_utf8(", ");
    if (!sep) return Ref();
    Ref joined = Ref::steal(PyUnicode_Join(sep.get(), head.get()));
    if (!joined) return Ref();
    return Ref::steal(
        PyUnicode_FromFormat("%U, and %U", joined.get(), PyList_GET_ITEM(names_list, n - 1)));
}

void raise_missing(Function* f, PyObject* const* slots, Py_ssize_t end) {
    Ref names = Ref::steal(PyList_New(0));
    if (!names) return;
    for (Py_ssize_t i = 0; i < end; ++i) {
        if (slots[i]) continue;
        Ref r = Ref::steal(PyObject_Repr(PyTuple_GET_ITEM(f->param_names, i)));
        if (!r || PyList_Append(names.get(), r.get()) < 0) return;
    }
    Py_ssize_t n = PyList_GET_SIZE(names.get());
    Ref text = format_missing(names.get());
    if (!text) return;
    PyErr_Format(PyExc_TypeError, "%U() missing %i required positional argument%s: %U",
                 function_name_for_messages(f), (int)n, n == 1 ? "" : "s", text.get());
}

void raise_too_many(Function* f, Py_ssize_t given) {
    Py_ssize_t argcount = f->npositional;
    Py_ssize_t defcount = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
    Ref sig;
    bool plural;
    if (defcount) {
        plural = true;
        sig = Ref::steal(PyUnicode_FromFormat("from %zd to %zd", argcount - defcount, argcount));
    } else {
        plural = argcount != 1;
        sig = Ref::steal(PyUnicode_FromFormat("%zd", argcount));
    }
    if (!sig) return;
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given",
                 function_name_for_messages(f), sig.get(), plural ? "s" : "", given,
                 given == 1 ? "was" : "were");
}

Py_ssize_t find_param(Function* f, PyObject* key) {
    for (Py_ssize_t i = 0; i < f->npositional; ++i)
        if (PyTuple_GET_ITEM(f->param_names, i) == key) return i;
    for (Py_ssize_t i = 0; i < f->npositional; ++i)
        if (PyUnicode_Compare(PyTuple_GET_ITEM(f->param_names, i), key) == 0) return i;
    return -1;
}

// Binds positional values, keyword values (from `kwnames` + the values after
// the positionals, or from `kwdict`) and defaults to the parameters, the way
// the host binds a call to a Python function. Every bound value is owned by
// `owned` while the body runs, so a body that mutates the caller's
// containers cannot free an argument under us.
PyObject* call_slow(Function* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject* kwdict) {
    Ref owned[kMaxParams];
    PyObject* slots[kMaxParams] = {};
    const Py_ssize_t npos = f->npositional;

    Py_ssize_t n = nargs < npos ? nargs : npos;
    for (Py_ssize_t i = 0; i < n; ++i) {
        owned[i] = Ref::borrow(args[i]);
        slots[i] = args[i];
    }
    if (f->has_varargs) {
        Ref rest = Ref::steal(PyTuple_New(nargs > npos ? nargs - npos : 0));
        if (!rest) return nullptr;
        for (Py_ssize_t i = npos; i < nargs; ++i)
            PyTuple_SET_ITEM(rest.get(), i - npos, new_ref(args[i]));
        slots[npos] = rest.get();
        owned[npos] = std::move(rest);
    }

    auto bind_keyword = [&](PyObject* key, PyObject* value) -> bool {
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%U() keywords must be strings",
                         function_name_for_messages(f));
            return false;
        }
        Py_ssize_t i = find_param(f, key);
        if (i < 0) {
            PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'",
                         function_name_for_messages(f), key);
            return false;
        }
        if (slots[i]) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'",
                         function_name_for_messages(f), key);
            return false;
        }
        owned[i] = Ref::borrow(value);
        slots[i] = value;
        return true;
    };

    if (kwnames) {
        Py_ssize_t nk = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nk; ++k)
            if (!bind_keyword(PyTuple_GET_ITEM(kwnames, k), args[nargs + k])) return nullptr;
    } else if (kwdict && PyDict_Size(kwdict)) {
        // Snapshot the items first: the keyword dict belongs to the caller.
        Ref items = Ref::steal(PyDict_Items(kwdict));
        if (!items) return nullptr;
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(items.get()); ++k) {
            PyObject* kv = PyList_GET_ITEM(items.get(), k);
            if (!bind_keyword(PyTuple_GET_ITEM(kv, 0), PyTuple_GET_ITEM(kv, 1))) return nullptr;
        }
        // `owned` keeps the values; the list may go.
        for (Py_ssize_t i = 0; i < npos; ++i)
            if (slots[i]) slots[i] = owned[i].get();
    }

    if (nargs > npos && !f->has_varargs) {
        raise_too_many(f, nargs);
        return nullptr;
    }

    Py_ssize_t defcount = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
    Py_ssize_t first_default = npos - defcount;
    for (Py_ssize_t i = 0; i < first_default; ++i) {
        if (!slots[i]) {
            raise_missing(f, slots, first_default);
            return nullptr;
        }
    }
    for (Py_ssize_t i = first_default; i < npos; ++i) {
        if (!slots[i]) {
            PyObject* d = PyTuple_GET_ITEM(f->defaults, i - first_default);
            owned[i] = Ref::borrow(d);
            slots[i] = d;
        }
    }
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    PyObject* result = f->impl(f, slots);
    Py_LeaveRecursiveCall();
    return result;
}

#if BV_HAVE_VECTORCALL
PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    Function* f = reinterpret_cast<Function*>(self);
    Py_ssize_t nargs = BV_VECTORCALL_NARGS(nargsf);
    if (!kwnames && nargs == f->npositional && !f->has_varargs) {
        // The caller owns the arguments for the whole call.
        if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
        PyObject* result = f->impl(f, args);
        Py_LeaveRecursiveCall();
        return result;
    }
    if (kwnames && PyTuple_GET_SIZE(kwnames) == 0) kwnames = nullptr;
    return call_slow(f, args, nargs, kwnames, nullptr);
}
#endif

PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    Function* f = reinterpret_cast<Function*>(self);
    if ((!kwargs || !PyDict_Size(kwargs)) && PyTuple_GET_SIZE(args) == f->npositional &&
        !f->has_varargs) {
        // The caller's tuple holds the arguments for the whole call.
        if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
        PyObject* result = f->impl(f, &PyTuple_GET_ITEM(args, 0));
        Py_LeaveRecursiveCall();
        return result;
    }
    return call_slow(f, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), nullptr, kwargs);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return new_ref(self);
    return PyMethod_New(self, obj);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Function* f = reinterpret_cast<Function*>(self);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->dict);
    Py_VISIT(f->globals);
    Py_VISIT(f->module);
    return 0;
}

// The module, its namespace and its state stay until the function goes, so a
// function reached during a collection never sees freed module state; the
// cycle through the module is broken by clearing the module and its dicts.
int function_clear(PyObject* self) {
    Function* f = reinterpret_cast<Function*>(self);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject* self) {
    Function* f = reinterpret_cast<Function*>(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module_name);
    Py_CLEAR(f->param_names);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->module);
    PyObject_GC_Del(self);
}

PyObject* function_repr(PyObject* self) {
    Function* f = reinterpret_cast<Function*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

int set_str_field(PyObject** field, PyObject* value, const char* what) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_INCREF(value);
    Py_SETREF(*field, value);
    return 0;
}

PyObject* get_name(PyObject* self, void*) { return new_ref(reinterpret_cast<Function*>(self)->name); }
int set_name(PyObject* self, PyObject* v, void*) {
    return set_str_field(&reinterpret_cast<Function*>(self)->name, v, "__name__");
}
PyObject* get_qualname(PyObject* self, void*) {
    return new_ref(reinterpret_cast<Function*>(self)->qualname);
}
int set_qualname(PyObject* self, PyObject* v, void*) {
    return set_str_field(&reinterpret_cast<Function*>(self)->qualname, v, "__qualname__");
}
PyObject* get_doc(PyObject* self, void*) {
    Function* f = reinterpret_cast<Function*>(self);
    return new_ref(f->doc ? f->doc : Py_None);
}
int set_doc(PyObject* self, PyObject* v, void*) {
    Function* f = reinterpret_cast<Function*>(self);
    Py_XINCREF(v);
    Py_XSETREF(f->doc, v);
    return 0;
}
PyObject* get_defaults(PyObject* self, void*) {
    Function* f = reinterpret_cast<Function*>(self);
    return new_ref(f->defaults ? f->defaults : Py_None);
}
PyObject* get_globals(PyObject* self, void*) {
    return new_ref(reinterpret_cast<Function*>(self)->globals);
}
PyObject* get_annotations(PyObject* self, void*) {
    Function* f = reinterpret_cast<Function*>(self);
    if (!f->annotations) {
        f->annotations = PyDict_New();
        if (!f->annotations) return nullptr;
        for (int i = 0; i < f->desc->nannotations; ++i) {
            Ref text = from_utf8(f->desc->annotations[i].text);
            if (!text || PyDict_SetItemString(f->annotations, f->desc->annotations[i].param,
                                              text.get()) < 0) {
                Py_CLEAR(f->annotations);
                return nullptr;
            }
        }
    }
    return new_ref(f->annotations);
}
int set_annotations(PyObject* self, PyObject* v, void*) {
    Function* f = reinterpret_cast<Function*>(self);
    if (v == Py_None) v = nullptr;
    if (v && !PyDict_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    if (v == nullptr) {
        // Deleting or assigning None leaves an empty dict on the next read,
        // as for a Python function.
        Ref empty = Ref::steal(PyDict_New());
        if (!empty) return -1;
        Py_XSETREF(f->annotations, empty.release());
        return 0;
    }
    Py_INCREF(v);
    Py_XSETREF(f->annotations, v);
    return 0;
}

// inspect.signature() reads this: the parameters with their defaults and
// annotations, built on demand from the static description.
PyObject* get_signature(PyObject* self, void*) {
    Function* f = reinterpret_cast<Function*>(self);
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    if (!inspect) return nullptr;
    Ref param_type = Ref::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
    Ref sig_type = Ref::steal(PyObject_GetAttrString(inspect.get(), "Signature"));
    if (!param_type || !sig_type) return nullptr;
    Ref pos_or_kw = Ref::steal(PyObject_GetAttrString(param_type.get(), "POSITIONAL_OR_KEYWORD"));
    Ref var_pos = Ref::steal(PyObject_GetAttrString(param_type.get(), "VAR_POSITIONAL"));
    Ref annotations = Ref::steal(get_annotations(self, nullptr));
    if (!pos_or_kw || !var_pos || !annotations) return nullptr;
    Py_ssize_t nparams = PyTuple_GET_SIZE(f->param_names);
    Ref params = Ref::steal(PyList_New(0));
    if (!params) return nullptr;
    Py_ssize_t defcount = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
    for (Py_ssize_t i = 0; i < nparams; ++i) {
        PyObject* pname = PyTuple_GET_ITEM(f->param_names, i);
        bool is_var = f->has_varargs && i == f->npositional;
        Ref kw = Ref::steal(PyDict_New());
        if (!kw) return nullptr;
        Py_ssize_t di = i - (f->npositional - defcount);
        if (!is_var && di >= 0 &&
            PyDict_SetItemString(kw.get(), "default", PyTuple_GET_ITEM(f->defaults, di)) < 0)
            return nullptr;
        PyObject* ann = PyDict_GetItemWithError(annotations.get(), pname);
        if (!ann && PyErr_Occurred()) return nullptr;
        if (ann && PyDict_SetItemString(kw.get(), "annotation", ann) < 0) return nullptr;
        Ref pargs = Ref::steal(PyTuple_Pack(2, pname, is_var ? var_pos.get() : pos_or_kw.get()));
        if (!pargs) return nullptr;
        Ref p = Ref::steal(PyObject_Call(param_type.get(), pargs.get(), kw.get()));
        if (!p || PyList_Append(params.get(), p.get()) < 0) return nullptr;
    }
    Ref kw = Ref::steal(PyDict_New());
    if (!kw) return nullptr;
    PyObject* ret = PyDict_GetItemString(annotations.get(), "return");
    if (ret && PyDict_SetItemString(kw.get(), "return_annotation", ret) < 0) return nullptr;
    Ref sargs = Ref::steal(PyTuple_Pack(1, params.get()));
    if (!sargs) return nullptr;
    return PyObject_Call(sig_type.get(), sargs.get(), kw.get());
}

PyObject* function_reduce(PyObject* self, PyObject*) {
    // Pickled by reference, like a Python function: module + qualified name.
    return new_ref(reinterpret_cast<Function*>(self)->qualname);
}

PyGetSetDef function_getset[] = {
    {const_cast<char*>("__name__"), get_name, set_name, nullptr, nullptr},
    {const_cast<char*>("__qualname__"), get_qualname, set_qualname, nullptr, nullptr},
    {const_cast<char*>("__doc__"), get_doc, set_doc, nullptr, nullptr},
    {const_cast<char*>("__defaults__"), get_defaults, nullptr, nullptr, nullptr},
    {const_cast<char*>("__globals__"), get_globals, nullptr, nullptr, nullptr},
    {const_cast<char*>("__annotations__"), get_annotations, set_annotations, nullptr, nullptr},
    {const_cast<char*>("__signature__"), get_signature, nullptr, nullptr, nullptr},
    {const_cast<char*>("__dict__"), PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {const_cast<char*>("__module__"), T_OBJECT, offsetof(Function, module_name), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {const_cast<char*>("__reduce__"), function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject make_function_type() {
    PyTypeObject t{};
    Py_SET_REFCNT(&t, 1);
    t.tp_name = "belvane_function";
    t.tp_basicsize = sizeof(Function);
    t.tp_dealloc = function_dealloc;
#if BV_HAVE_VECTORCALL
    t.tp_vectorcall_offset = offsetof(Function, vectorcall);
#endif
    t.tp_repr = function_repr;
    t.tp_call = function_call;
    t.tp_getattro = PyObject_GenericGetAttr;
    t.tp_setattro = PyObject_GenericSetAttr;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | BV_TPFLAGS_METHOD_DESCRIPTOR
#if BV_HAVE_VECTORCALL
                 | BV_TPFLAGS_HAVE_VECTORCALL
#endif
        ;
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_weaklistoffset = offsetof(Function, weakrefs);
    t.tp_methods = function_methods;
    t.tp_members = function_members;
    t.tp_getset = function_getset;
    t.tp_descr_get = function_descr_get;
    t.tp_dictoffset = offsetof(Function, dict);
    return t;
}

PyTypeObject function_type = make_function_type();

}  // namespace

PyObject* call_positional_slow(Function* f, PyObject* const* args, Py_ssize_t n) {
    return call_slow(f, args, n, nullptr, nullptr);
}

bool is_function(PyObject* o) { return Py_TYPE(o) == &function_type; }

namespace {

// Each module carries its own copy of this runtime, hence its own function
// type. The type says, through a capsule in its namespace, which layout its
// functions have, so that a module recognises another module's functions
// and reads their promises (version 2 added them).
struct FunctionAbi {
    unsigned magic;
    unsigned version;
    size_t size;
};
constexpr FunctionAbi kFunctionAbi{0x62766e66u, 2, sizeof(Function)};
constexpr const char* kAbiCapsule = "belvane.function";
constexpr const char* kAbiAttr = "__belvane_function__";

bool ready_function_type() {
    if (function_type.tp_flags & Py_TPFLAGS_READY) return true;
    if (PyType_Ready(&function_type) < 0) return false;
    Ref abi = Ref::steal(PyCapsule_New(const_cast<FunctionAbi*>(&kFunctionAbi), kAbiCapsule, nullptr));
    if (!abi || PyDict_SetItemString(function_type.tp_dict, kAbiAttr, abi.get()) < 0) return false;
    PyType_Modified(&function_type);
    return true;
}

}  // namespace

bool is_native_function(PyObject* o) {
    if (is_function(o)) return true;
    PyTypeObject* t = Py_TYPE(o);
    if (PyType_HasFeature(t, Py_TPFLAGS_HEAPTYPE) || !t->tp_dict) return false;
    PyObject* abi = PyDict_GetItemString(t->tp_dict, kAbiAttr);
    if (!abi || !PyCapsule_IsValid(abi, kAbiCapsule)) return false;
    auto* theirs = static_cast<const FunctionAbi*>(PyCapsule_GetPointer(abi, kAbiCapsule));
    return theirs && theirs->magic == kFunctionAbi.magic &&
           theirs->version == kFunctionAbi.version && theirs->size == kFunctionAbi.size;
}

bool promises(PyObject* o, unsigned wanted) {
    return o && is_native_function(o) &&
           (reinterpret_cast<Function*>(o)->promises & wanted) == wanted;
}

Ref make_function(const FunctionSpec& desc, PyObject* module, const char* registered_name,
                  const char* qualname_prefix) {
    if (!ready_function_type()) return Ref();
    Ref names = Ref::steal(PyTuple_New(desc.nparams));
    if (!names) return Ref();
    int ndefaults = 0;
    bool has_varargs = false;
    for (int i = 0; i < desc.nparams; ++i) {
        PyObject* s = PyUnicode_InternFromString(desc.params[i].name);
        if (!s) return Ref();
        PyTuple_SET_ITEM(names.get(), i, s);
        Default k = desc.params[i].kind;
        if (k == Default::VarArgs) has_varargs = true;
        else if (k != Default::Required) ++ndefaults;
    }
    Ref defaults;
    if (ndefaults) {
        defaults = Ref::steal(PyTuple_New(ndefaults));
        if (!defaults) return Ref();
        int j = 0;
        for (int i = 0; i < desc.nparams; ++i) {
            Default k = desc.params[i].kind;
            if (k == Default::Required || k == Default::VarArgs) continue;
            Ref d = make_default(desc.params[i]);
            if (!d) return Ref();
            PyTuple_SET_ITEM(defaults.get(), j++, d.release());
        }
    }
    Ref name = Ref::steal(PyUnicode_InternFromString(desc.name));
    Ref qualname = qualname_prefix
                       ? Ref::steal(PyUnicode_FromFormat("%s.%s", qualname_prefix, desc.name))
                       : Ref::borrow(name.get());
    Ref module_name = Ref::steal(PyUnicode_InternFromString(registered_name));
    PyObject* globals = PyModule_GetDict(module);  // borrowed
    void* state = PyModule_GetState(module);
    if (!name || !qualname || !module_name || !globals) return Ref();

    Function* f = PyObject_GC_New(Function, &function_type);
    if (!f) return Ref();
#if BV_HAVE_VECTORCALL
    f->vectorcall = function_vectorcall;
#endif
    f->impl = desc.impl;
    f->has_varargs = has_varargs;
    f->npositional = desc.nparams - (has_varargs ? 1 : 0);
    f->desc = &desc;
    f->promises = desc.promises;
    f->name = name.release();
    f->qualname = qualname.release();
    f->module_name = module_name.release();
    f->doc = nullptr;
    f->param_names = names.release();
    f->defaults = defaults.release();
    f->annotations = nullptr;
    f->dict = nullptr;
    f->globals = new_ref(globals);
    f->module = new_ref(module);
    f->state = state;
    f->weakrefs = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

Ref global(PyObject* globals, PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(globals, name);
    if (v) return Ref::borrow(v);
    if (PyErr_Occurred()) return Ref();
    PyObject* builtins = PyEval_GetBuiltins();
    if (builtins) {
        v = PyDict_GetItemWithError(builtins, name);
        if (v) return Ref::borrow(v);
        if (PyErr_Occurred()) return Ref();
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref();
}

}  // namespace bv

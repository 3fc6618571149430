#include "module.hpp"

#include <cstring>

namespace bv {

namespace {

// The package of the module that owns `globals`, or null for a top-level one.
Ref package_of(PyObject* globals) {
    PyObject* pkg = PyDict_GetItemString(globals, "__package__");
    if (pkg && PyUnicode_Check(pkg) && PyUnicode_GET_LENGTH(pkg) > 0) return Ref::borrow(pkg);
    PyObject* name = PyDict_GetItemString(globals, "__name__");
    if (!name || !PyUnicode_Check(name)) return Ref();
    Ref dot = from_utf8(".");
    if (!dot) {
        PyErr_Clear();
        return Ref();
    }
    Py_ssize_t i = PyUnicode_Find(name, dot.get(), 0, PyUnicode_GET_LENGTH(name), -1);
    if (i <= 0) {
        if (i < 0) PyErr_Clear();
        return Ref();
    }
    return Ref::steal(PyUnicode_Substring(name, 0, i));
}

// The innermost module of `import dotted` (absolute), with `fromlist` as the
// import statement would pass it.
Ref import_absolute(PyObject* globals, PyObject* dotted, PyObject* fromlist) {
    return Ref::steal(PyImport_ImportModuleLevelObject(dotted, globals, nullptr, fromlist, 0));
}

Ref implicit_relative(PyObject* globals, const char* name, PyObject* fromlist) {
    Ref pkg = package_of(globals);
    if (pkg) {
        Ref inner = Ref::steal(PyUnicode_FromFormat("%U.%s", pkg.get(), name));
        if (!inner) return Ref();
        Ref m = import_absolute(globals, inner.get(), fromlist);
        if (m) return m;
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) return Ref();
        PyErr_Clear();
    }
    Ref top = from_utf8(name);
    if (!top) return Ref();
    return import_absolute(globals, top.get(), fromlist);
}

Ref attr_of_import(PyObject* module, const char* attr) {
    Ref v = Ref::steal(PyObject_GetAttrString(module, attr));
    if (v || !PyErr_ExceptionMatches(PyExc_AttributeError)) return v;
    PyErr_Clear();
    PyObject* mname = PyModule_Check(module) ? PyModule_GetNameObject(module) : nullptr;
    if (mname) {
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%U'", attr, mname);
        Py_DECREF(mname);
    } else {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name '%s'", attr);
    }
    return Ref();
}

// A fromlist naming something every module has: the import machinery then
// returns the innermost module without importing anything more.
Ref leaf_fromlist() { return Ref::steal(Py_BuildValue("(s)", "__name__")); }

}  // namespace

Ref import_module(PyObject* globals, const char* name) {
    Ref fromlist = leaf_fromlist();
    if (!fromlist) return Ref();
    return implicit_relative(globals, name, fromlist.get());
}

Ref import_from(PyObject* globals, const char* name, const char* attr) {
    Ref fromlist = Ref::steal(Py_BuildValue("(s)", attr));
    if (!fromlist) return Ref();
    Ref m = implicit_relative(globals, name, fromlist.get());
    if (!m) return Ref();
    return attr_of_import(m.get(), attr);
}

Ref import_from_sibling(PyObject* globals, const char* name, const char* attr) {
    Ref fromlist = Ref::steal(Py_BuildValue("(s)", attr));
    Ref mod = from_utf8(name);
    if (!fromlist || !mod) return Ref();
    Ref m = Ref::steal(
        PyImport_ImportModuleLevelObject(mod.get(), globals, nullptr, fromlist.get(), 1));
    if (!m) return Ref();
    return attr_of_import(m.get(), attr);
}

bool ModuleBody::bind(const char* name, Ref value) {
    if (!value) return false;
    return PyDict_SetItemString(globals_, name, value.get()) == 0;
}

bool ModuleBody::bind(PyObject* name, Ref value) {
    if (!value) return false;
    return PyDict_SetItem(globals_, name, value.get()) == 0;
}

ClassBuilder::ClassBuilder(const ModuleBody& body, const char* name, Ref bases)
    : body_(body), name_(name), bases_(std::move(bases)) {
    if (!bases_) bases_ = Ref::steal(PyTuple_New(0));
    ns_ = Ref::steal(PyDict_New());
    if (!bases_ || !ns_) {
        ok_ = false;
        return;
    }
    // As in a class statement: __module__ and __qualname__ come first.
    Ref module = from_utf8(body_.registered_name());
    Ref qualname = from_utf8(name_);
    ok_ = module && qualname && PyDict_SetItemString(ns_.get(), "__module__", module.get()) == 0 &&
          PyDict_SetItemString(ns_.get(), "__qualname__", qualname.get()) == 0;
}

ClassBuilder& ClassBuilder::put(const char* name, Ref value) {
    if (!ok_) return *this;
    ok_ = value && PyDict_SetItemString(ns_.get(), name, value.get()) == 0;
    return *this;
}

ClassBuilder& ClassBuilder::method(const FunctionSpec& desc) {
    if (!ok_) return *this;
    return put(desc.name, body_.function(desc, name_));
}

ClassBuilder& ClassBuilder::property(const FunctionSpec& getter) {
    if (!ok_) return *this;
    Ref f = body_.function(getter, name_);
    if (!f) return put(getter.name, Ref());
    return put(getter.name,
               Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyProperty_Type),
                                                       f.get(), nullptr)));
}

ClassBuilder& ClassBuilder::classmethod(const FunctionSpec& desc) {
    if (!ok_) return *this;
    Ref f = body_.function(desc, name_);
    if (!f) return put(desc.name, Ref());
    return put(desc.name, Ref::steal(PyClassMethod_New(f.get())));
}

ClassBuilder& ClassBuilder::staticmethod(const FunctionSpec& desc) {
    if (!ok_) return *this;
    Ref f = body_.function(desc, name_);
    if (!f) return put(desc.name, Ref());
    return put(desc.name, Ref::steal(PyStaticMethod_New(f.get())));
}

ClassBuilder& ClassBuilder::attr(const char* name, Ref value) { return put(name, std::move(value)); }

ClassBuilder& ClassBuilder::del(const char* name) {
    if (ok_) ok_ = PyDict_DelItemString(ns_.get(), name) == 0;
    return *this;
}

Ref ClassBuilder::build() {
    if (!ok_) return Ref();
    Ref name = from_utf8(name_);
    if (!name) return Ref();
    return Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyType_Type),
                                                   name.get(), bases_.get(), ns_.get(), nullptr));
}

namespace {

// Pickle imports a class's module by name, and importing "a.b.c" imports "a"
// first even when "a.b.c" is already loaded. So that the registered names
// resolve when the package directory is not itself on sys.path, the top-level
// name of the registered name ("tframe") is made to mean the package it stands
// for ("belvane.tframe"), unless that name is loaded or importable already.
bool alias_registered_top(PyObject* module, const char* registered_name, PyObject* modules) {
    Ref full = Ref::steal(PyModule_GetNameObject(module));
    if (!full) return false;
    Ref reg = from_utf8(registered_name);
    if (!reg) return false;
    Py_ssize_t nfull = PyUnicode_GET_LENGTH(full.get()), nreg = PyUnicode_GET_LENGTH(reg.get());
    if (nfull <= nreg + 1) return true;
    Ref tail = Ref::steal(PyUnicode_Substring(full.get(), nfull - nreg - 1, nfull));
    if (!tail) return false;
    Ref dotted = Ref::steal(PyUnicode_FromFormat(".%s", registered_name));
    if (!dotted) return false;
    int same = PyObject_RichCompareBool(tail.get(), dotted.get(), Py_EQ);
    if (same <= 0) return same == 0;
    Ref prefix = Ref::steal(PyUnicode_Substring(full.get(), 0, nfull - nreg));
    const char* dot = strchr(registered_name, '.');
    Ref top = dot ? Ref::steal(PyUnicode_FromStringAndSize(registered_name, dot - registered_name))
                  : Ref::borrow(reg.get());
    if (!prefix || !top) return false;
    Ref pkg_name = Ref::steal(PyUnicode_Concat(prefix.get(), top.get()));
    if (!pkg_name) return false;
    // Held: the finders asked below run Python code, which may drop the
    // package from sys.modules.
    Ref pkg = Ref::borrow(PyDict_GetItemWithError(modules, pkg_name.get()));
    if (!pkg) return !PyErr_Occurred();
    PyObject* have = PyDict_GetItemWithError(modules, top.get());
    if (have || PyErr_Occurred()) return !PyErr_Occurred();
    Ref util = Ref::steal(PyImport_ImportModule("importlib.util"));
    if (!util) return false;
    Ref find_spec = Ref::steal(PyObject_GetAttrString(util.get(), "find_spec"));
    if (!find_spec) return false;
    Ref found = call(find_spec.get(), top.get());
    if (!found) return false;
    if (found.get() != Py_None) return true;
    return PyDict_SetItem(modules, top.get(), pkg.get()) == 0;
}

}  // namespace

int exec_module(PyObject* module, const char* registered_name, bool (*body)(ModuleBody&)) {
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    Ref key = from_utf8(registered_name);
    if (!key) return -1;
    PyObject* existing = PyDict_GetItemWithError(modules, key.get());
    if (!existing && PyErr_Occurred()) return -1;
    bool entered = false;
    if (!existing) {
        if (PyDict_SetItem(modules, key.get(), module) < 0) return -1;
        entered = true;
    }
    ModuleBody mb(module, registered_name);
    if (body(mb) && alias_registered_top(module, registered_name, modules)) return 0;
    if (entered) {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        if (PyDict_GetItem(modules, key.get()) == module) PyDict_DelItem(modules, key.get());
        PyErr_Restore(type, value, tb);
    }
    return -1;
}

}  // namespace bv

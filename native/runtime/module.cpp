#include "module.hpp"

#include "attr.hpp"

namespace bv {

namespace {

// The package of the module that owns `globals`, or null for a top-level one.
Ref package_of(PyObject* globals) {
    PyObject* pkg = PyDict_GetItemString(globals, "__package__");
    if (pkg && PyUnicode_Check(pkg) && PyUnicode_GET_LENGTH(pkg) > 0) return Ref::borrow(pkg);
    PyObject* name = PyDict_GetItemString(globals, "__name__");
    if (!name || !PyUnicode_Check(name)) return Ref();
    Py_ssize_t i = PyUnicode_FindChar(name, '.', 0, PyUnicode_GET_LENGTH(name), -1);
    if (i <= 0) return Ref();
    return Ref::steal(PyUnicode_Substring(name, 0, i));
}

// The innermost module of `import dotted` (absolute), with `fromlist` as the
// import statement would pass it.
Ref import_absolute(PyObject* globals, PyObject* dotted, PyObject* fromlist) {
    return Ref::steal(PyImport_ImportModuleLevelObject(dotted, globals, nullptr, fromlist, 0));
}

Ref implicit_relative(PyObject* globals, const char* name, PyObject* fromlist) {
    Ref pkg = package_of(globals);
    if (!pkg && PyErr_Occurred()) return Ref();
    if (pkg) {
        Ref inner = Ref::steal(PyUnicode_FromFormat("%U.%s", pkg.get(), name));
        if (!inner) return Ref();
        Ref m = import_absolute(globals, inner.get(), fromlist);
        if (m || !swallow(PyExc_ImportError)) return m;
    }
    Ref top = from_utf8(name);
    if (!top) return Ref();
    return import_absolute(globals, top.get(), fromlist);
}

// `from <module> import attr` once the module is imported: the attribute,
// else a submodule of that name already in sys.modules, else the host's
// ImportError in the host's words.
Ref attr_of_import(PyObject* module, const char* attr) {
    Ref name = from_utf8(attr);
    if (!name) return Ref();
    Ref v = getattr(module, name.get());
    if (v || !swallow(PyExc_AttributeError)) return v;
    Ref pkgname = Ref::steal(PyObject_GetAttrString(module, "__name__"));
    if (pkgname && PyUnicode_Check(pkgname.get())) {
        Ref full = Ref::steal(PyUnicode_FromFormat("%U.%U", pkgname.get(), name.get()));
        if (!full) return Ref();
        PyObject* sub = PyDict_GetItemWithError(PyImport_GetModuleDict(), full.get());
        if (sub || PyErr_Occurred()) return Ref::borrow(sub);
    } else {
        pkgname.reset();
    }
    PyErr_Clear();
    if (!import_errors_name_the_module()) {
        PyErr_Format(PyExc_ImportError, "cannot import name %R", name.get());
        return Ref();
    }
    Ref shown = pkgname ? Ref::borrow(pkgname.get()) : from_utf8("<unknown module name>");
    if (!shown) return Ref();
    Ref path = Ref::steal(PyModule_Check(module) ? PyModule_GetFilenameObject(module) : nullptr);
    Ref msg;
    if (!path || !PyUnicode_Check(path.get())) {
        PyErr_Clear();
        path.reset();
        msg = Ref::steal(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)",
                                              name.get(), shown.get()));
    } else {
        int initializing = 0;
        if (import_errors_name_circular_imports()) {
            Ref spec = Ref::steal(PyObject_GetAttrString(module, "__spec__"));
            Ref flag = spec ? Ref::steal(PyObject_GetAttrString(spec.get(), "_initializing")) : Ref();
            initializing = flag ? PyObject_IsTrue(flag.get()) : 0;
            if (initializing < 0) initializing = 0;
            PyErr_Clear();
        }
        const char* fmt = initializing ? "cannot import name %R from partially initialized module "
                                         "%R (most likely due to a circular import) (%S)"
                                       : "cannot import name %R from %R (%S)";
        msg = Ref::steal(PyUnicode_FromFormat(fmt, name.get(), shown.get(), path.get()));
    }
    if (msg) PyErr_SetImportError(msg.get(), pkgname.get(), path.get());
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


Ref ClassBuilder::function(const FunctionSpec& spec) { return body_.function(spec, name_); }

ClassBuilder& ClassBuilder::member(const Member& m) {
    if (!ok_) return *this;
    Ref f = function(m.spec);
    if (f) {
        switch (m.kind) {
            case Kind::Method: break;
            case Kind::Property:
                f = call(reinterpret_cast<PyObject*>(&PyProperty_Type), f.get());
                break;
            case Kind::ClassMethod: f = Ref::steal(PyClassMethod_New(f.get())); break;
            case Kind::StaticMethod: f = Ref::steal(PyStaticMethod_New(f.get())); break;
        }
    }
    return put(m.spec.name, std::move(f));
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
    if (body(mb) && add_registered_name_finder(module, registered_name)) return 0;
    if (entered) {
        Caught failure = Caught::take();
        if (PyDict_GetItem(modules, key.get()) == module) PyDict_DelItem(modules, key.get());
        failure.raise();
    }
    return -1;
}

}  // namespace bv

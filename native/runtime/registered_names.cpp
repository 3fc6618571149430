// The registered names and pickle. A class's __module__ is its module's
// registered name ("tframe.utils.sorvel"), and unpickling imports it by that
// name: `__import__("tframe.utils.sorvel")` finds the full name in sys.modules
// but still imports the top-level "tframe" first. When the framework's
// package directory is not itself on sys.path, nothing provides "tframe".
//
// So each module whose import name is a package prefix plus its registered
// name puts a finder at the end of sys.meta_path that answers for the
// top-level part alone ("tframe" -> the loaded package "belvane.tframe"), and
// only when something imports it and no finder before it provides that name:
// a package of the user's called "backtest" always wins, and nothing is
// entered in sys.modules until the name is imported.
#include "module.hpp"

#include <cstring>

namespace bv {

namespace {

struct Finder {
    PyObject_HEAD
    PyObject* top;      // "tframe"
    PyObject* package;  // "belvane.tframe", looked up in sys.modules when asked
};

void finder_dealloc(PyObject* self) {
    Finder* f = reinterpret_cast<Finder*>(self);
    Py_CLEAR(f->top);
    Py_CLEAR(f->package);
    Py_TYPE(self)->tp_free(self);
}

PyObject* finder_repr(PyObject* self) {
    Finder* f = reinterpret_cast<Finder*>(self);
    return PyUnicode_FromFormat("<registered name finder %R -> %R>", f->top, f->package);
}

// The loaded package the top-level name stands for, or null (no error) when
// it is not loaded.
Ref loaded_package(Finder* f) {
    PyObject* m = PyDict_GetItemWithError(PyImport_GetModuleDict(), f->package);
    return Ref::borrow(m);
}

// Whether a finder placed after this one on sys.meta_path (by an import
// hook installed later) provides `name`: then this one stands aside. -1 on
// error.
int later_finder_provides(PyObject* self, PyObject* name) {
    Ref meta_path = Ref::borrow(PySys_GetObject("meta_path"));
    if (!meta_path || !PyList_Check(meta_path.get())) return 0;
    Ref finders = Ref::steal(PyList_AsTuple(meta_path.get()));
    if (!finders) return -1;
    Py_ssize_t n = PyTuple_GET_SIZE(finders.get()), i = 0;
    while (i < n && PyTuple_GET_ITEM(finders.get(), i) != self) ++i;
    for (++i; i < n; ++i) {
        PyObject* finder = PyTuple_GET_ITEM(finders.get(), i);
        Ref find_spec = Ref::steal(PyObject_GetAttrString(finder, "find_spec"));
        if (!find_spec) {
            if (!swallow(PyExc_AttributeError)) return -1;
            continue;
        }
        Ref spec = call(find_spec.get(), name, Py_None);
        if (!spec) return -1;
        if (spec.get() != Py_None) return 1;
    }
    return 0;
}

// find_spec(name, path=None, target=None)
PyObject* finder_find_spec(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"name", "path", "target", nullptr};
    Finder* f = reinterpret_cast<Finder*>(self);
    PyObject *name, *path = Py_None, *target = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO:find_spec", const_cast<char**>(kwlist),
                                     &name, &path, &target))
        return nullptr;
    if (path != Py_None || !PyUnicode_Check(name)) Py_RETURN_NONE;
    int same = PyUnicode_Compare(name, f->top) == 0;
    if (!same || !loaded_package(f)) {
        if (PyErr_Occurred()) return nullptr;
        Py_RETURN_NONE;
    }
    int provided = later_finder_provides(self, name);
    if (provided < 0) return nullptr;
    if (provided) Py_RETURN_NONE;
    Ref machinery = Ref::steal(PyImport_ImportModule("importlib.machinery"));
    if (!machinery) return nullptr;
    Ref spec_type = Ref::steal(PyObject_GetAttrString(machinery.get(), "ModuleSpec"));
    if (!spec_type) return nullptr;
    Ref spec_args = Ref::steal(PyTuple_Pack(2, name, self));
    if (!spec_args) return nullptr;
    return PyObject_Call(spec_type.get(), spec_args.get(), nullptr);
}

// create_module(spec): the package itself. The import system then sets the
// module's __spec__ to `spec`; the package's own is kept in the spec and put
// back by exec_module.
PyObject* finder_create_module(PyObject* self, PyObject* spec) {
    Finder* f = reinterpret_cast<Finder*>(self);
    Ref pkg = loaded_package(f);
    if (!pkg) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_ImportError, "%R is no longer loaded", f->package);
        return nullptr;
    }
    Ref own = Ref::steal(PyObject_GetAttrString(pkg.get(), "__spec__"));
    if (!own) return nullptr;
    if (PyObject_SetAttrString(spec, "loader_state", own.get()) < 0) return nullptr;
    return pkg.release();
}

PyObject* finder_exec_module(PyObject*, PyObject* module) {
    Ref spec = Ref::steal(PyObject_GetAttrString(module, "__spec__"));
    if (!spec) return nullptr;
    Ref own = Ref::steal(PyObject_GetAttrString(spec.get(), "loader_state"));
    if (!own) return nullptr;
    if (PyObject_SetAttrString(module, "__spec__", own.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef finder_methods[] = {
    {"find_spec", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(finder_find_spec)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {"create_module", finder_create_module, METH_O, nullptr},
    {"exec_module", finder_exec_module, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject make_finder_type() {
    PyTypeObject t{};
    Py_SET_REFCNT(&t, 1);
    t.tp_name = "belvane_registered_name_finder";
    t.tp_basicsize = sizeof(Finder);
    t.tp_dealloc = finder_dealloc;
    t.tp_repr = finder_repr;
    t.tp_flags = Py_TPFLAGS_DEFAULT;
    t.tp_methods = finder_methods;
    return t;
}

PyTypeObject finder_type = make_finder_type();

}  // namespace

bool add_registered_name_finder(PyObject* module, const char* registered_name) {
    Ref full = Ref::steal(PyModule_GetNameObject(module));
    if (!full) return false;
    // "belvane." + "tframe.utils.sorvel": the prefix is what the top-level
    // part of the registered name stands for.
    Ref dotted = Ref::steal(PyUnicode_FromFormat(".%s", registered_name));
    if (!dotted) return false;
    Py_ssize_t nfull = PyUnicode_GET_LENGTH(full.get());
    Py_ssize_t ndotted = PyUnicode_GET_LENGTH(dotted.get());
    if (nfull <= ndotted) return true;
    int tail = PyUnicode_Tailmatch(full.get(), dotted.get(), 0, nfull, 1);
    if (tail <= 0) return tail == 0;
    const char* dot = strchr(registered_name, '.');
    Ref top = dot ? Ref::steal(PyUnicode_FromStringAndSize(registered_name, dot - registered_name))
                  : from_utf8(registered_name);
    Ref prefix = Ref::steal(PyUnicode_Substring(full.get(), 0, nfull - ndotted + 1));
    if (!top || !prefix) return false;
    Ref package = Ref::steal(PyUnicode_Concat(prefix.get(), top.get()));
    if (!package) return false;

    if (!(finder_type.tp_flags & Py_TPFLAGS_READY) && PyType_Ready(&finder_type) < 0) return false;
    Ref meta_path = Ref::borrow(PySys_GetObject("meta_path"));
    if (!meta_path || !PyList_Check(meta_path.get())) {
        PyErr_SetString(PyExc_ImportError, "sys.meta_path is not a list");
        return false;
    }
    // A module imported again finds its finder in place.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(meta_path.get()); ++i) {
        PyObject* entry = PyList_GET_ITEM(meta_path.get(), i);
        if (Py_TYPE(entry) != &finder_type) continue;
        Finder* f = reinterpret_cast<Finder*>(entry);
        int same = PyUnicode_Compare(f->top, top.get());
        if (same == -1 && PyErr_Occurred()) return false;
        if (same != 0) continue;
        Py_SETREF(f->package, package.release());
        return true;
    }
    Finder* f = PyObject_New(Finder, &finder_type);
    if (!f) return false;
    f->top = top.release();
    f->package = package.release();
    Ref finder = Ref::steal(reinterpret_cast<PyObject*>(f));
    return PyList_Append(meta_path.get(), finder.get()) == 0;
}

}  // namespace bv

// Shortcuts for what the account handles most: reports that are
// OrderedDotDicts, their plain dict copies and the position template. Classes
// can be patched at any moment, so each shortcut first checks, at every use,
// that every piece of the long way is still the built-in one or the one seen
// at import; only then does it take the short way, whose result and effects
// are those of the long way.
#include "accounts.hpp"

namespace accounts {

using bv::Ref;

namespace {

PyObject* type_attr(PyTypeObject* t, State& st, Name n) { return bv::type_lookup(t, st.names[n]); }

// Verdicts are reached by type lookups alone, which give the class a tag.
using bv::remember;
using bv::remembered;

// The class's __getattribute__ is the default one, as the attribute hook of
// classes with __getattr__ tells it.
bool default_getattribute(PyTypeObject* t, State& st) {
    PyObject* d = type_attr(t, st, n_dunder_getattribute);
    return !d || bv::wraps_generic_getattr(d);
}

// Nothing in the instance's own namespace can shadow a class attribute.
bool no_instance_attrs(PyObject* obj) { return bv::instance_attrs_empty(obj) == 1; }

// Ordinary lookup, then (if it fails) a __getattr__ that promises to read
// the key first (the toolkit's): with nothing of that name in the class or
// the instance and the dict's own subscription, `obj.attr` is the value
// stored under attr. The class is judged for the three report attributes at
// once.
bool reads_keys_as_attrs(State& st, PyObject* obj) {
    PyTypeObject* t = Py_TYPE(obj);
    if (!BV_SHORTCUT(REPORT_ATTRS) || !st.known.odd_getattro ||
        t->tp_getattro != st.known.odd_getattro || !PyDict_Check(obj))
        return false;
    bool fit = remembered(st.known.reads_keys, t) ||
               remember(st.known.reads_keys, t,
                        bv::subscript_is_dicts(t) &&
                            bv::promises(type_attr(t, st, n_dunder_getattr),
                                         bv::promise::kGetattrReadsItem) &&
                            default_getattribute(t, st) && !type_attr(t, st, n_AccountID) &&
                            !type_attr(t, st, n_Market) && !type_attr(t, st, n_Code));
    return fit && no_instance_attrs(obj);
}

// dict(m) of an OrderedDict (or subclass) that keeps the built-in `keys`,
// iteration and subscription takes its keys in its order with their values.
// With exact str keys only, no code can run while the copy is made.
bool copies_as_odict(State& st, PyObject* m) {
    if (!BV_SHORTCUT(REPORT_COPY) || !st.known.odict_keys || !PyODict_Check(m)) return false;
    PyTypeObject* t = Py_TYPE(m);
    bool fit = remembered(st.known.copies, t);
    if (!fit) {
        bool plain_lookup =
            t->tp_getattro == PyObject_GenericGetAttr ||
            (st.known.odd_getattro && t->tp_getattro == st.known.odd_getattro && default_getattribute(t, st));
        fit = remember(st.known.copies, t,
                       plain_lookup && t->tp_iter == PyODict_Type.tp_iter &&
                           bv::subscript_is_dicts(t) && type_attr(t, st, n_keys) == st.known.odict_keys &&
                           !type_attr(t, st, n_dunder_missing));
    }
    if (!fit || !no_instance_attrs(m)) return false;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(m, &pos, &k, &v))
        if (!PyUnicode_CheckExact(k)) return false;
    return true;
}

}  // namespace

// Whether dict(self._position_template) can be built directly: the property
// is still this module's, and making and copying the OrderedDotDict would
// run nothing but the built-in OrderedDict code and OrderedDotDict's own
// __init__, which only calls OrderedDict.__init__ with an empty dict.
int template_is_plain(bv::Function* fn, PyObject* self) {
    State& st = state(fn);
    if (!BV_SHORTCUT(TEMPLATE_COPY) || !st.known.template_property || !st.known.odd_class)
        return 0;
    PyTypeObject* t = Py_TYPE(self);
    if (t->tp_getattro != PyObject_GenericGetAttr ||
        type_attr(t, st, n__position_template) != st.known.template_property)
        return 0;
    Ref getter = bv::getattr(st.known.template_property, st.names[n_fget]);
    if (!getter) return -1;
    if (getter.get() != st.known.template_getter) return 0;
    PyObject* cls = PyDict_GetItemWithError(fn->globals, st.names[n_OrderedDotDict]);
    if (cls != st.known.odd_class) return PyErr_Occurred() ? -1 : 0;
    PyTypeObject* odd = reinterpret_cast<PyTypeObject*>(st.known.odd_class);
    if (Py_TYPE(odd) != &PyType_Type || odd->tp_new != PyODict_Type.tp_new ||
        odd->tp_iter != PyODict_Type.tp_iter || odd->tp_getattro != st.known.odd_getattro ||
        odd->tp_finalize || odd->tp_del || !bv::subscript_is_dicts(odd) ||
        odd->tp_as_mapping->mp_ass_subscript != PyODict_Type.tp_as_mapping->mp_ass_subscript ||
        type_attr(odd, st, n_dunder_init) != st.known.odd_init ||
        type_attr(odd, st, n_keys) != st.known.odict_keys ||
        !default_getattribute(odd, st) ||
        type_attr(odd, st, n_dunder_missing))
        return 0;
    // OrderedDotDict.__init__ names its class through its own module.
    PyObject* bound = PyDict_GetItemWithError(st.known.odd_globals, st.names[n_OrderedDotDict]);
    if (bound != st.known.odd_class) return PyErr_Occurred() ? -1 : 0;
    return 1;
}

// mapping[key], dict's own lookup read directly.
Ref get_item(bv::Function* fn, PyObject* mapping, PyObject* key) {
    return bv::subscript(mapping, key, state(fn).known.subscripts);
}

Ref report_attr(bv::Function* fn, PyObject* report, PyObject* attr) {
    if (reads_keys_as_attrs(state(fn), report)) {
        PyObject* v = PyDict_GetItemWithError(report, attr);
        if (v) return Ref::borrow(v);
        if (PyErr_Occurred()) return Ref();
    }
    return bv::getattr(report, attr);
}

Ref plain_copy(bv::Function* fn, PyObject* mapping) {
    if (PyDict_CheckExact(mapping)) return Ref::steal(PyDict_Copy(mapping));
    if (copies_as_odict(state(fn), mapping)) {
        Ref copy = Ref::steal(PyDict_New());
        Ref it = copy ? Ref::steal(PyObject_GetIter(mapping)) : Ref();
        if (!it) return Ref();
        while (Ref key = Ref::steal(PyIter_Next(it.get()))) {
            PyObject* found = PyDict_GetItemWithError(mapping, key.get());
            Ref value = found ? Ref::borrow(found) : Ref::steal(PyObject_GetItem(mapping, key.get()));
            if (!value || PyDict_SetItem(copy.get(), key.get(), value.get()) < 0) return Ref();
        }
        if (PyErr_Occurred()) return Ref();
        return copy;
    }
    return bv::call(reinterpret_cast<PyObject*>(&PyDict_Type), mapping);
}

bool read_report(bv::Function* fn, PyObject* report, ReportValues& out) {
    if (PyDict_CheckExact(report)) {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(report, &pos, &k, &v))
            if (!PyUnicode_CheckExact(k)) return false;
    } else if (!copies_as_odict(state(fn), report)) {
        return false;
    }
    for (int i = 0; i < kReportKeyCount; ++i) {
        PyObject* v = PyDict_GetItemWithError(report, name(fn, kReportKeys[i]));
        if (!v && PyErr_Occurred()) return false;
        out.values[i] = Ref::borrow(v);
    }
    return true;
}

bool own_make_positions(bv::Function* fn, PyObject* method, PyObject* self) {
    PyObject* own = state(fn).known.make_positions;
    return BV_SHORTCUT(DIRECT_POSITIONS) && own && PyMethod_Check(method) &&
           PyMethod_GET_FUNCTION(method) == own &&
           PyMethod_GET_SELF(method) == self;
}

bool remember_known_objects(bv::ModuleBody& m) {
    State& st = m.state<State>();
    bv::clear_fields(st.known);
    PyObject* keys = type_attr(&PyODict_Type, st, n_keys);
    st.known.odict_keys = keys ? bv::new_ref(keys) : nullptr;

    // The report classes' attribute hook, learnt from OrderedDotDict as
    // imported, and what its __init__ promises.
    Ref odd = bv::global(m.globals(), st.names[n_OrderedDotDict]);
    if (!odd) return false;
    if (PyType_Check(odd.get()) &&
        PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(odd.get()), &PyODict_Type)) {
        PyTypeObject* t = reinterpret_cast<PyTypeObject*>(odd.get());
        if (bv::promises(type_attr(t, st, n_dunder_getattr), bv::promise::kGetattrReadsItem) &&
            t->tp_getattro != PyObject_GenericGetAttr) {
            st.known.odd_getattro = t->tp_getattro;
            if (!bv::learn_dict_subscript(t)) return false;
        }
        Ref init = Ref::borrow(type_attr(t, st, n_dunder_init));
        if (bv::promises(init.get(), bv::promise::kOrderedInitEmpty)) {
            Ref globals = bv::getattr(init.get(), st.names[n_dunder_globals]);
            if (!globals) return false;
            if (PyDict_Check(globals.get())) {
                st.known.odd_init = init.release();
                st.known.odd_globals = globals.release();
                st.known.odd_class = odd.release();
            }
        }
    }

    Ref cls = bv::global(m.globals(), st.names[n_BVRealAccount]);
    if (!cls) return false;
    if (PyType_Check(cls.get())) {
        Ref prop = Ref::borrow(
            type_attr(reinterpret_cast<PyTypeObject*>(cls.get()), st, n__position_template));
        Ref getter = prop ? bv::getattr(prop.get(), st.names[n_fget]) : Ref();
        if (!getter) return false;
        st.known.template_property = prop.release();
        st.known.template_getter = getter.release();
        PyObject* method = type_attr(reinterpret_cast<PyTypeObject*>(cls.get()), st, n_make_positions);
        st.known.make_positions = method ? bv::new_ref(method) : nullptr;
    }
    return true;
}

}  // namespace accounts

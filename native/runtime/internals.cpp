// The out-of-line helpers of internals.hpp, each with its public-API branch.
#include "handler.hpp"
#include "ref.hpp"

#include <utility>

namespace bv {

PyObject* vectorcall_slow(PyObject* callable, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    Ref pos = Ref::steal(PyTuple_New(nargs));
    if (!pos) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(pos.get(), i, new_ref(args[i]));
    Ref kw;
    if (kwnames && PyTuple_GET_SIZE(kwnames)) {
        kw = Ref::steal(PyDict_New());
        if (!kw) return nullptr;
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k)
            if (PyDict_SetItem(kw.get(), PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) < 0)
                return nullptr;
    }
    return PyObject_Call(callable, pos.get(), kw.get());
}

#if BV_DICT_WATCH
// Generations start at 1: 0 means "not watched".
unsigned long long dict_generation = 1;

namespace {
int watcher_id = -1;

int dict_changed(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++dict_generation;
    return 0;
}
}  // namespace

unsigned long long watch_dict(PyObject* dict) {
    if (watcher_id < 0) {
        watcher_id = PyDict_AddWatcher(dict_changed);
        if (watcher_id < 0) {
            // Every watcher is taken: nothing is remembered, the lookups
            // are made each time.
            PyErr_Clear();
            watcher_id = -2;
        }
    }
    if (watcher_id < 0 || !PyDict_CheckExact(dict) || PyDict_Watch(watcher_id, dict) < 0) {
        if (PyErr_Occurred()) PyErr_Clear();
        return 0;
    }
    return dict_generation;
}
#endif

PyObject* odict_with_keys(PyObject* keys) {
    Ref od = Ref::steal(PyODict_New());
#if BV_PRESHAPED_DICT
    // Growing an ordered dict key by key rehashes its table and its node
    // index several times. A dict copy clones a combined table in one go,
    // so the copy of a dict already holding every key (the table insertion
    // would have built) is exchanged with the new record's empty one: each
    // dict keeps owning exactly one table, and the copy is released with the
    // empty one. The caller then inserts exactly those keys, in order, before
    // anyone sees the dict, replacing every placeholder and adding the order
    // nodes.
    if (!od) return nullptr;
    Ref table = Ref::steal(PyDict_Copy(keys));
    if (!table) return nullptr;
    PyDictObject* a = reinterpret_cast<PyDictObject*>(od.get());
    PyDictObject* b = reinterpret_cast<PyDictObject*>(table.get());
    if (a->ma_used == 0 && !a->ma_values && !b->ma_values && b->ma_used == PyDict_Size(keys)) {
        std::swap(a->ma_keys, b->ma_keys);
        std::swap(a->ma_used, b->ma_used);
    }
#else
    (void)keys;
#endif
    return od.release();
}

}  // namespace bv

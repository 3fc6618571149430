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

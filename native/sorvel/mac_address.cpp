// get_cur_mac_address(): the host's hardware address as 00-1A-2B-3C-4D-5E.
#include "sorvel.hpp"

namespace sorvel {
namespace {

PyObject* get_cur_mac_address(bv::Function* fn, PyObject* const*) {
    using bv::Ref;
    Ref uuid = bv::import_module(fn->globals, "uuid");
    if (!uuid) return nullptr;
    Ref node = bv::call_method(uuid.get(), name(fn, n_getnode));
    if (!node) return nullptr;
    Ref uuid_type = bv::getattr(uuid.get(), name(fn, n_UUID));
    if (!uuid_type) return nullptr;
    PyObject* stack[] = {node.get()};
    Ref kwnames = Ref::steal(PyTuple_Pack(1, name(fn, n_int)));
    if (!kwnames) return nullptr;
    Ref u = bv::call_kw(uuid_type.get(), stack, 0, kwnames.get());
    if (!u) return nullptr;
    Ref hex = bv::getattr(u.get(), name(fn, n_hex));
    if (!hex) return nullptr;
    Py_ssize_t n = PyObject_Length(hex.get());
    if (n < 0) return nullptr;
    Ref tail = Ref::steal(PySequence_GetSlice(hex.get(), n >= 12 ? n - 12 : 0, n));
    if (!tail) return nullptr;
    Ref mac = bv::call_method(tail.get(), name(fn, n_upper));
    if (!mac) return nullptr;
    Ref parts = Ref::steal(PyList_New(6));
    if (!parts) return nullptr;
    for (Py_ssize_t i = 0; i < 6; ++i) {
        PyObject* piece = PySequence_GetSlice(mac.get(), 2 * i, 2 * i + 2);
        if (!piece) return nullptr;
        PyList_SET_ITEM(parts.get(), i, piece);
    }
    return PyUnicode_Join(name(fn, n_dash), parts.get());
}

}  // namespace

bool define_get_cur_mac_address(bv::ModuleBody& m) {
    static const bv::FunctionSpec desc("get_cur_mac_address", get_cur_mac_address);
    return m.bind("get_cur_mac_address", m.function(desc));
}

}  // namespace sorvel

// The accounts module body.
#include "../runtime/module.hpp"

namespace accounts {
namespace {

struct State {
    PyObject* unused;
};

bool body(bv::ModuleBody&) { return true; }

int exec(PyObject* module) { return bv::exec_module(module, "realtrade.model.accounts", body); }

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    BV_MODULE_SLOTS_END,
};

PyModuleDef def = {
    PyModuleDef_HEAD_INIT, "belvane.realtrade.model.accounts", nullptr, sizeof(State), nullptr, slots, nullptr, nullptr,
    nullptr,
};

}  // namespace
}  // namespace accounts

BV_MODULE_INIT(accounts) { return PyModuleDef_Init(&accounts::def); }

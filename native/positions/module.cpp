// The positions module body.
#include "../runtime/module.hpp"

namespace positions {
namespace {

struct State {
    PyObject* unused;
};

bool body(bv::ModuleBody&) { return true; }

int exec(PyObject* module) { return bv::exec_module(module, "backtest.model.positions", body); }

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    BV_MODULE_SLOTS_END,
};

PyModuleDef def = {
    PyModuleDef_HEAD_INIT, "belvane.backtest.model.positions", nullptr, sizeof(State), nullptr, slots, nullptr, nullptr,
    nullptr,
};

}  // namespace
}  // namespace positions

BV_MODULE_INIT(positions) { return PyModuleDef_Init(&positions::def); }

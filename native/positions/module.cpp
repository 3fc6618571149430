// The position model module body: imports, the precision multiplier, then
// the classes in order.
#include "positions.hpp"

namespace positions {
namespace {

const char* const kNameTexts[] = {POSITIONS_NAMES(BV_NAME_TEXT)};
const char* const kKeyTexts[] = {RECORD_KEYS(BV_NAME_TEXT)};

bool init_state(State& st) {
    if (!st.names.init(kNameTexts) || !st.keys.init(kKeyTexts)) return false;
    st.int_zero = PyLong_FromLong(0);
    st.int_one = PyLong_FromLong(1);
    st.float_zero = PyFloat_FromDouble(0.0);
    st.float_half = PyFloat_FromDouble(0.5);
    if (!st.int_zero || !st.int_one || !st.float_zero || !st.float_half) return false;
    st.record_keys_dict = PyDict_New();
    if (!st.record_keys_dict) return false;
    for (int k = 0; k < kRecordKeyCount; ++k)
        if (PyDict_SetItem(st.record_keys_dict, st.keys[k], Py_None) < 0) return false;
    return true;
}

// PRECISION_MUL = 10 ** get_setting('PRECISION_LEVEL', 3)
bool bind_precision_mul(bv::ModuleBody& m) {
    State& st = m.state<State>();
    Ref get_setting = bv::global(m.globals(), st.names[n_get_setting]);
    if (!get_setting) return false;
    Ref three = bv::from_long(3);
    if (!three) return false;
    Ref level = bv::call(get_setting.get(), st.names[n_PRECISION_LEVEL], three.get());
    if (!level) return false;
    Ref ten = bv::from_long(10);
    if (!ten) return false;
    return m.bind(st.names[n_PRECISION_MUL],
                  Ref::steal(PyNumber_Power(ten.get(), level.get(), Py_None)));
}

bool body(bv::ModuleBody& m) {
    if (!init_state(m.state<State>())) return false;
    return m.import_as("pandas", "pd") && m.import_as("belvane.tframe.sysclsbase", "cnt") &&
           m.import_from("collections", "OrderedDict") &&
           m.import_from("belvane.tframe.sysclsbase", "gv") &&
           m.import_from("belvane.setting", "get_setting") && bind_precision_mul(m) &&
           define_positions_base(m) && define_stock_position(m) && define_future_position(m);
}

int exec(PyObject* module) { return bv::exec_module(module, "backtest.model.positions", body); }

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    BV_MODULE_SLOTS_END,
};

PyModuleDef def = {
    PyModuleDef_HEAD_INIT, "belvane.backtest.model.positions", nullptr, sizeof(State), nullptr,
    slots, bv::state_traverse<State>, bv::state_clear<State>, bv::state_free<State>,
};

}  // namespace
}  // namespace positions

BV_MODULE_INIT(positions) { return PyModuleDef_Init(&positions::def); }

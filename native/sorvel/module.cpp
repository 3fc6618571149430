// The toolkit module body: imports, then the function and classes in order.
#include "sorvel.hpp"

namespace sorvel {
namespace {

const char* const kNameTexts[] = {
    SORVEL_NAMES(BV_NAME_TEXT)
    SORVEL_IO_NAMES(BV_NAME_TEXT)
};

bool body(bv::ModuleBody& m) {
    State& st = m.state<State>();
    if (!st.names.init(kNameTexts)) return false;
    st.empty_str = PyUnicode_FromString("");
    if (!st.empty_str) return false;
    return m.import_as("datetime", "datetime") && m.import_as("os", "os") &&
           m.import_as("shutil", "shutil") && m.import_from("collections", "OrderedDict") &&
           m.import_from("collections", "defaultdict") && m.import_as("socket", "socket") &&
           m.import_as("time", "time") && m.import_as("traceback", "traceback") &&
           m.import_from_sibling("exceptions", "VersionError") &&
           m.import_from_sibling("logger", "write_syslog") && define_get_cur_mac_address(m) &&
           define_dot_dicts(m) &&
           define_simple_timer(m) &&
           define_output_file_manager(m) &&
           define_file_strategy_loader(m) &&
           define_status_collect(m) &&
           define_socket_base(m) &&
           define_range_record(m);
}

int exec(PyObject* module) { return bv::exec_module(module, "tframe.utils.sorvel", body); }

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    BV_MODULE_SLOTS_END,
};

// The state holds functions and classes of the module, which hold the
// module: the collector sees that cycle through the state's traverse.
PyModuleDef def = {
    PyModuleDef_HEAD_INIT,     "belvane.tframe.utils.sorvel", nullptr,
    sizeof(State),             nullptr,                       slots,
    bv::state_traverse<State>, bv::state_clear<State>,        bv::state_free<State>,
};

}  // namespace
}  // namespace sorvel

BV_MODULE_INIT(sorvel) { return PyModuleDef_Init(&sorvel::def); }

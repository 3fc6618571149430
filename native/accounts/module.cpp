// The live account module body: imports, then the account class.
#include "accounts.hpp"

namespace accounts {
namespace {

const char* const kNameTexts[] = {ACCOUNTS_NAMES(BV_NAME_TEXT)};

bool make_state(bv::ModuleBody& m) {
    State& st = m.state<State>();
    if (!st.names.init(kNameTexts)) return false;
    st.zero = PyLong_FromLong(0);
    st.last_idx = PyLong_FromLong(999999999);
    st.sort_kwnames = PyTuple_Pack(1, st.names[n_key]);
    if (!st.zero || !st.last_idx || !st.sort_kwnames) return false;
    st.sort_key = make_sort_key(st.names[n_target_idx], st.last_idx).release();
    return st.sort_key != nullptr;
}

// numpy's isnan as imported, so that stamps can skip the call while `np.isnan`
// is still that very function.
bool remember_isnan(bv::ModuleBody& m) {
    State& st = m.state<State>();
    bv::Ref np = bv::global(m.globals(), st.names[n_np]);
    if (!np) return false;
    st.numpy_isnan = bv::getattr(np.get(), st.names[n_isnan]).release();
    return st.numpy_isnan || bv::swallow(PyExc_AttributeError);
}

bool body(bv::ModuleBody& m) {
    return make_state(m) && m.import_as("numpy", "np") && remember_isnan(m) &&
           m.import_from("collections", "OrderedDict") &&
           m.import_from("belvane.tframe.ufuncs", "todotmc") &&
           m.import_from("belvane.tframe.sysclsbase", "gv") &&
           m.import_from("belvane.tframe.utils.datetimefunc", "mft_to_datetime") &&
           m.import_from("belvane.tframe.utils.sorvel", "OrderedDotDict") && define_real_account(m) &&
           remember_known_objects(m);
}

int exec(PyObject* module) { return bv::exec_module(module, "realtrade.model.accounts", body); }

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    BV_MODULE_SLOTS_END,
};

PyModuleDef def = {
    PyModuleDef_HEAD_INIT, "belvane.realtrade.model.accounts", nullptr,    sizeof(State), nullptr,
    slots, bv::state_traverse<State>, bv::state_clear<State>, bv::state_free<State>,
};

}  // namespace
}  // namespace accounts

BV_MODULE_INIT(accounts) { return PyModuleDef_Init(&accounts::def); }

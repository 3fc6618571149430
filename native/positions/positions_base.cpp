// PositionsBase: the attributes every position has and the interface the
// position kinds implement.
#include "common.hpp"

namespace positions {
namespace {

PyObject* base_init(bv::Function* fn, PyObject* const* args) {
    PyObject* self = args[0];
    if (!set_attr(fn, self, n_account_idx, Py_None) || !set_attr(fn, self, n_target_idx, Py_None) ||
        !set_attr(fn, self, n_market_code, Py_None) || !set_attr(fn, self, n_type, Py_None))
        return nullptr;
    Ref nat = global_attr(fn, n_pd, n_NaT);
    if (!nat || !set_attr(fn, self, n_dt_update_time, nat.get()) ||
        !set_attr(fn, self, n_change_reason, state(fn).int_zero))
        return nullptr;
    Py_RETURN_NONE;
}

using bv::not_implemented;

// The interface: every member but __init__ raises NotImplementedError.
const bv::Member kMembers[] = {
    bv::method("__init__", base_init, kSelf),
    bv::method("total_volume_long", not_implemented, kSelf),
    bv::method("total_volume_short", not_implemented, kSelf),
    bv::property("position_available_long", not_implemented),
    bv::property("position_available_short", not_implemented),
    bv::property("position_available_today_long", not_implemented),
    bv::property("position_available_today_short", not_implemented),
    bv::method("snapshot", not_implemented, kSelf),
    bv::method("volume", not_implemented, kSide),
    bv::method("market_value", not_implemented, kSide),
};

}  // namespace

bool define_positions_base(bv::ModuleBody& m) {
    return m.bind("PositionsBase", bv::ClassBuilder(m, "PositionsBase").members(kMembers).build());
}

bool define_position_class(bv::ModuleBody& m, const char* name, const PositionMembers& members) {
    Ref base = bv::global(m.globals(), m.state<State>().names[n_PositionsBase]);
    if (!base) return false;
    Ref bases = Ref::steal(PyTuple_Pack(1, base.get()));
    if (!bases) return false;
    return m.bind(name, bv::ClassBuilder(m, name, std::move(bases)).members(members).build());
}

}  // namespace positions

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

PyObject* not_implemented(bv::Function*, PyObject* const*) {
    PyErr_SetNone(PyExc_NotImplementedError);
    return nullptr;
}


const bv::FunctionSpec kInit("__init__", base_init, kSelf);
const bv::FunctionSpec kTotalVolumeLong("total_volume_long", not_implemented, kSelf);
const bv::FunctionSpec kTotalVolumeShort("total_volume_short", not_implemented, kSelf);
const bv::FunctionSpec kAvailableLong("position_available_long", not_implemented, kSelf);
const bv::FunctionSpec kAvailableShort("position_available_short", not_implemented, kSelf);
const bv::FunctionSpec kAvailableTodayLong("position_available_today_long", not_implemented, kSelf);
const bv::FunctionSpec kAvailableTodayShort("position_available_today_short", not_implemented,
                                            kSelf);
const bv::FunctionSpec kSnapshot("snapshot", not_implemented, kSelf);
const bv::FunctionSpec kVolume("volume", not_implemented, kSide);
const bv::FunctionSpec kMarketValue("market_value", not_implemented, kSide);

}  // namespace

bool define_positions_base(bv::ModuleBody& m) {
    Ref cls = bv::ClassBuilder(m, "PositionsBase")
                  .method(kInit)
                  .method(kTotalVolumeLong)
                  .method(kTotalVolumeShort)
                  .property(kAvailableLong)
                  .property(kAvailableShort)
                  .property(kAvailableTodayLong)
                  .property(kAvailableTodayShort)
                  .method(kSnapshot)
                  .method(kVolume)
                  .method(kMarketValue)
                  .build();
    return m.bind("PositionsBase", std::move(cls));
}

bool define_position_class(bv::ModuleBody& m, const char* name,
                           const bv::FunctionSpec (&k)[10]) {
    Ref base = bv::global(m.globals(), m.state<State>().names[n_PositionsBase]);
    if (!base) return false;
    Ref bases = Ref::steal(PyTuple_Pack(1, base.get()));
    if (!bases) return false;
    Ref cls = bv::ClassBuilder(m, name, std::move(bases))
                  .method(k[0])
                  .property(k[1])
                  .property(k[2])
                  .property(k[3])
                  .property(k[4])
                  .property(k[5])
                  .property(k[6])
                  .method(k[7])
                  .method(k[8])
                  .method(k[9])
                  .build();
    return m.bind(name, std::move(cls));
}

}  // namespace positions

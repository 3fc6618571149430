// The position model module: its state and the pieces its body creates.
#pragma once

#include "../runtime/attr.hpp"
#include "../runtime/module.hpp"
#include "../runtime/unpack.hpp"

#include <array>

namespace positions {

using bv::Ref;

// The position's own attributes. A snapshot remembers its reads of them by
// their place in this list (Eval::attr), so they are one run of names.
#define POSITION_ATTRS(X)                                           \
    X(n_account_idx, "account_idx")                                 \
    X(n_target_idx, "target_idx")                                   \
    X(n_market_code, "market_code")                                 \
    X(n_type, "type")                                               \
    X(n_dt_update_time, "dt_update_time")                           \
    X(n_change_reason, "change_reason")                             \
    X(n_dt_create_long_time, "dt_create_long_time")                 \
    X(n_dt_create_short_time, "dt_create_short_time")               \
    X(n_order_frozen_long, "order_frozen_long")                     \
    X(n_order_frozen_short, "order_frozen_short")                   \
    X(n_order_frozen_today_long, "order_frozen_today_long")         \
    X(n_order_frozen_today_short, "order_frozen_today_short")       \
    X(n_volume_long_yd, "volume_long_yd")                           \
    X(n_volume_short_yd, "volume_short_yd")                         \
    X(n_holding_cost_long, "holding_cost_long")                     \
    X(n_holding_cost_short, "holding_cost_short")                   \
    X(n_cost_long, "cost_long")                                     \
    X(n_cost_short, "cost_short")                                   \
    X(n_holding_cost_today_long_list, "holding_cost_today_long_list") \
    X(n_holding_cost_today_short_list, "holding_cost_today_short_list") \
    X(n_available_long, "available_long")                           \
    X(n_available_short, "available_short")                         \
    X(n_available_today_long, "available_today_long")               \
    X(n_long_holding_total, "long_holding_total")                   \
    X(n_short_holding_total, "short_holding_total")

#define POSITIONS_NAMES(X)                                          \
    X(n_pd, "pd")                                                   \
    X(n_cnt, "cnt")                                                 \
    X(n_OrderedDict, "OrderedDict")                                 \
    X(n_gv, "gv")                                                   \
    X(n_get_setting, "get_setting")                                 \
    X(n_PRECISION_MUL, "PRECISION_MUL")                             \
    X(n_PositionsBase, "PositionsBase")                             \
    X(n_StockPosition, "StockPosition")                             \
    X(n_FuturePosition, "FuturePosition")                           \
    X(n_env, "env")                                                 \
    X(n_NaT, "NaT")                                                 \
    X(n_market_price, "market_price")                               \
    X(n_get_multiple, "get_multiple")                               \
    X(n_get_margin_rate, "get_margin_rate")                         \
    X(n_POSITIONSIDE_LONG, "POSITIONSIDE_LONG")                     \
    X(n_POSITIONSIDE_SHORT, "POSITIONSIDE_SHORT")                   \
    X(n_TARGETTYPE_STOCK, "TARGETTYPE_STOCK")                       \
    X(n_TARGETTYPE_FUTURE, "TARGETTYPE_FUTURE")                     \
    X(n_init, "__init__")                                           \
    POSITION_ATTRS(X)                                               \
    X(n_default, "default")                                         \
    X(n_PRECISION_LEVEL, "PRECISION_LEVEL")

enum Name : int { POSITIONS_NAMES(BV_NAME_ENUM) kNameCount };

constexpr Name kPositionAttrs[] = {POSITION_ATTRS(BV_NAME_ENUM)};
constexpr int kPositionAttrCount = sizeof kPositionAttrs / sizeof kPositionAttrs[0];
static_assert(kPositionAttrs[kPositionAttrCount - 1] - kPositionAttrs[0] + 1 == kPositionAttrCount,
              "the position's attributes are one run of names");
// The place of a name in POSITION_ATTRS; kPositionAttrCount or more for
// any other name.
constexpr unsigned attr_place(Name n) { return static_cast<unsigned>(n - kPositionAttrs[0]); }

// The keys of a position snapshot record, in record order.
#define RECORD_KEYS(X)                                      \
    X(k_account_name, "account_name")                       \
    X(k_account_idx, "account_idx")                         \
    X(k_code, "code")                                       \
    X(k_target_idx, "target_idx")                           \
    X(k_volume_long, "volume_long")                         \
    X(k_volume_short, "volume_short")                       \
    X(k_volume_today_long, "volume_today_long")             \
    X(k_volume_today_short, "volume_today_short")           \
    X(k_fpnl_long, "fpnl_long")                             \
    X(k_fpnl_short, "fpnl_short")                           \
    X(k_zpnl_long, "zpnl_long")                             \
    X(k_zpnl_short, "zpnl_short")                           \
    X(k_holding_cost_long, "holding_cost_long")             \
    X(k_holding_cost_short, "holding_cost_short")           \
    X(k_cost_long, "cost_long")                             \
    X(k_cost_short, "cost_short")                           \
    X(k_amount_long, "amount_long")                         \
    X(k_amount_short, "amount_short")                       \
    X(k_holding_value_long, "holding_value_long")           \
    X(k_holding_value_short, "holding_value_short")         \
    X(k_available_long, "available_long")                   \
    X(k_available_short, "available_short")                 \
    X(k_available_today_long, "available_today_long")       \
    X(k_available_today_short, "available_today_short")     \
    X(k_price, "price")                                     \
    X(k_created_long, "created_long")                       \
    X(k_created_short, "created_short")                     \
    X(k_updated, "updated")                                 \
    X(k_order_frozen_long, "order_frozen_long")             \
    X(k_order_frozen_short, "order_frozen_short")           \
    X(k_order_frozen_today_long, "order_frozen_today_long") \
    X(k_order_frozen_today_short, "order_frozen_today_short") \
    X(k_margin_long, "margin_long")                         \
    X(k_margin_short, "margin_short")                       \
    X(k_change_reason, "change_reason")

enum RecordKey : int { RECORD_KEYS(BV_NAME_ENUM) kRecordKeyCount };

struct State {
    bv::Names<kNameCount> names;
    bv::Names<kRecordKeyCount> keys;
    // The literals of the method bodies, shared as a code object shares its
    // constants.
    PyObject* int_zero;
    PyObject* int_one;
    PyObject* float_zero;
    PyObject* float_half;
    bv::DictMemo global_memo[kNameCount];
    // What reading each name found on the class last read from.
    // Positions of both kinds go through the same helpers in turn.
    bv::ReadSite attr_sites[kNameCount];
    bv::DictMemo env_memo;
    // A plain dict holding every record key, in record order: records are
    // grown from a copy of its table (see record.cpp).
    PyObject* record_keys_dict;

    template <class F>
    void fields(F&& f) {
        f(names);
        f(keys);
        f(int_zero);
        f(int_one);
        f(float_zero);
        f(float_half);
        f(global_memo);
        f(attr_sites);
        f(env_memo);
        f(record_keys_dict);
    }
};

inline State& state(bv::Function* fn) { return bv::state_of<State>(fn); }
inline PyObject* name(bv::Function* fn, Name n) { return state(fn).names[n]; }

// Each creates one class of the module body and binds it; false on error.
bool define_positions_base(bv::ModuleBody& m);
// The two parameter lists every position member has: (self) and (self, side).
inline const bv::Param kSelf[] = {bv::arg("self")};
inline const bv::Param kSide[] = {bv::arg("self"), bv::arg("side")};

// What a position class defines, in the order both class bodies define
// them, with each kind's own bodies.
struct PositionBodies {
    bv::Impl init, available_long, available_short, available_today_long,
        available_today_short, total_volume_long, total_volume_short, snapshot, volume,
        market_value;
};
using PositionMembers = std::array<bv::Member, 10>;

constexpr PositionMembers position_members(const PositionBodies& b) {
    return {{
        bv::method("__init__", b.init, kSelf),
        bv::property("position_available_long", b.available_long),
        bv::property("position_available_short", b.available_short),
        bv::property("position_available_today_long", b.available_today_long),
        bv::property("position_available_today_short", b.available_today_short),
        bv::property("total_volume_long", b.total_volume_long),
        bv::property("total_volume_short", b.total_volume_short),
        bv::method("snapshot", b.snapshot, kSelf),
        bv::method("volume", b.volume, kSide),
        bv::method("market_value", b.market_value, kSide),
    }};
}

// A concrete position class on PositionsBase; `members` is a static table.
bool define_position_class(bv::ModuleBody& m, const char* name, const PositionMembers& members);
bool define_stock_position(bv::ModuleBody& m);
bool define_future_position(bv::ModuleBody& m);

}  // namespace positions

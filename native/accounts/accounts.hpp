// The live account module: its state and the pieces its body creates.
#pragma once

#include "../runtime/module.hpp"
#include "../runtime/ops.hpp"

namespace accounts {

// The keys of a position report, in template order. Report contents are
// read by their place in this list (ReportValues), so they are one run of
// names.
#define REPORT_KEYS(X)                                \
    X(n_AccountID, "AccountID")                       \
    X(n_Market, "Market")                             \
    X(n_Code, "Code")                                 \
    X(n_VolumeLong, "VolumeLong")                     \
    X(n_VolumeShort, "VolumeShort")                   \
    X(n_VolumeTodayLong, "VolumeTodayLong")           \
    X(n_VolumeTodayShort, "VolumeTodayShort")         \
    X(n_FpnlLong, "FpnlLong")                         \
    X(n_FpnlShort, "FpnlShort")                       \
    X(n_ZpnlLong, "ZpnlLong")                         \
    X(n_ZpnlShort, "ZpnlShort")                       \
    X(n_HoldingCostLong, "HoldingCostLong")           \
    X(n_HoldingCostShort, "HoldingCostShort")         \
    X(n_CostLong, "CostLong")                         \
    X(n_CostShort, "CostShort")                       \
    X(n_AmountLong, "AmountLong")                     \
    X(n_AmountShort, "AmountShort")                   \
    X(n_HoldingValueLong, "HoldingValueLong")         \
    X(n_HoldingValueShort, "HoldingValueShort")       \
    X(n_AvailableLong, "AvailableLong")               \
    X(n_AvailableShort, "AvailableShort")             \
    X(n_AvailableTodayLong, "AvailableTodayLong")     \
    X(n_AvailableTodayShort, "AvailableTodayShort")   \
    X(n_Price, "Price")                               \
    X(n_CreatedLong, "CreatedLong")                   \
    X(n_CreatedShort, "CreatedShort")                 \
    X(n_Updated, "Updated")                           \
    X(n_OrderFrozenLong, "OrderFrozenLong")           \
    X(n_OrderFrozenShort, "OrderFrozenShort")         \
    X(n_OrderFrozenTodayLong, "OrderFrozenTodayLong") \
    X(n_OrderFrozenTodayShort, "OrderFrozenTodayShort") \
    X(n_MarginLong, "MarginLong")                     \
    X(n_MarginShort, "MarginShort")                   \
    X(n_ChangeReason, "ChangeReason")

// Module globals, attribute names, report keys, record keys and literals.
#define ACCOUNTS_NAMES(X)                             \
    X(n_np, "np")                                     \
    X(n_OrderedDict, "OrderedDict")                   \
    X(n_todotmc, "todotmc")                           \
    X(n_gv, "gv")                                     \
    X(n_mft_to_datetime, "mft_to_datetime")           \
    X(n_OrderedDotDict, "OrderedDotDict")             \
    X(n_env, "env")                                   \
    X(n_type, "type")                                 \
    X(n_handle_idx, "handle_idx")                     \
    X(n_name, "name")                                 \
    X(n_handle, "handle")                             \
    X(n_currency, "currency")                         \
    X(n__cash, "_cash")                               \
    X(n__position, "_position")                       \
    X(n_vr, "vr")                                     \
    X(n_g_BelvaneInputInfo, "g_BelvaneInputInfo")     \
    X(n_RealTargetList, "RealTargetList")             \
    X(n_get, "get")                                   \
    X(n_clear, "clear")                               \
    X(n_update, "update")                             \
    X(n_values, "values")                             \
    X(n_keys, "keys")                                 \
    X(n_index, "index")                               \
    X(n_upper, "upper")                               \
    X(n_sort, "sort")                                 \
    X(n_key, "key")                                   \
    X(n_NaN, "NaN")                                   \
    X(n_nan, "nan")                                   \
    X(n_isnan, "isnan")                               \
    X(n_POSITIONSIDE_LONG, "POSITIONSIDE_LONG")       \
    X(n_POSITIONSIDE_SHORT, "POSITIONSIDE_SHORT")     \
    X(n_POSITIONSIDE_UNKNOWN, "POSITIONSIDE_UNKNOWN") \
    X(n_make_positions, "make_positions")             \
    X(n_make_position, "make_position")               \
    X(n__position_template, "_position_template")     \
    X(n_empty, "")                                    \
    X(n_BVRealAccount, "BVRealAccount")               \
    X(n_dunder_getattr, "__getattr__")                \
    X(n_dunder_getattribute, "__getattribute__")      \
    X(n_dunder_init, "__init__")                      \
    X(n_dunder_missing, "__missing__")                \
    X(n_dunder_globals, "__globals__")                \
    X(n_fget, "fget")                                 \
    X(n_CNY, "CNY")                                   \
    REPORT_KEYS(X)                                    \
    /* cash report keys */                            \
    X(n_ValidCash, "ValidCash")                       \
    X(n_AvailableCash, "AvailableCash")               \
    X(n_MarketValue, "MarketValue")                   \
    X(n_Margin, "Margin")                             \
    X(n_OrderFrozen, "OrderFrozen")                   \
    X(n_TotalAsset, "TotalAsset")                     \
    X(n_TotalValue, "TotalValue")                     \
    X(n_HoldingPnl, "HoldingPnl")                     \
    X(n_RealizedPnl, "RealizedPnl")                   \
    X(n_DailyPnl, "DailyPnl")                         \
    X(n_DailyCost, "DailyCost")                       \
    X(n_CumCashFlow, "CumCashFlow")                   \
    X(n_LastAmount, "LastAmount")                     \
    X(n_LastRealizedPnl, "LastRealizedPnl")           \
    X(n_LastCost, "LastCost")                         \
    X(n_LastCashFlow, "LastCashFlow")                 \
    /* record keys */                                 \
    X(n_account_name, "account_name")                 \
    X(n_account_idx, "account_idx")                   \
    X(n_code, "code")                                 \
    X(n_target_idx, "target_idx")                     \
    X(n_side, "side")                                 \
    X(n_volume_long, "volume_long")                   \
    X(n_volume_short, "volume_short")                 \
    X(n_Volume_today_long, "Volume_today_long")       \
    X(n_Volume_today_short, "Volume_today_short")     \
    X(n_fpnl_long, "fpnl_long")                       \
    X(n_fpnl_short, "fpnl_short")                     \
    X(n_zpnl_long, "zpnl_long")                       \
    X(n_zpnl_short, "zpnl_short")                     \
    X(n_holding_cost_long, "holding_cost_long")       \
    X(n_holding_cost_short, "holding_cost_short")     \
    X(n_cost_long, "cost_long")                       \
    X(n_cost_short, "cost_short")                     \
    X(n_amount_long, "amount_long")                   \
    X(n_amount_short, "amount_short")                 \
    X(n_holding_value_long, "holding_value_long")     \
    X(n_holding_value_short, "holding_value_short")   \
    X(n_available_long, "available_long")             \
    X(n_available_short, "available_short")           \
    X(n_available_today_long, "available_today_long") \
    X(n_available_today_short, "available_today_short") \
    X(n_price, "price")                               \
    X(n_create_long, "create_long")                   \
    X(n_create_short, "create_short")                 \
    X(n_updated, "updated")                           \
    X(n_order_frozen_long, "order_frozen_long")       \
    X(n_order_frozen_short, "order_frozen_short")     \
    X(n_margin_long, "margin_long")                   \
    X(n_margin_short, "margin_short")                 \
    X(n_change_reason, "change_reason")               \
    X(n_volume, "volume")                             \
    X(n_volume_today, "volume_today")                 \
    X(n_fpnl, "fpnl")                                 \
    X(n_zpnl, "zpnl")                                 \
    X(n_holding_cost, "holding_cost")                 \
    X(n_cost, "cost")                                 \
    X(n_amount, "amount")                             \
    X(n_holding_value, "holding_value")               \
    X(n_available, "available")                       \
    X(n_available_today, "available_today")           \
    X(n_create, "create")                             \
    X(n_order_frozen, "order_frozen")                 \
    X(n_order_frozen_today, "order_frozen_today")     \
    X(n_margin, "margin")                             \
    X(n_valid_cash, "valid_cash")                     \
    X(n_available_cash, "available_cash")             \
    X(n_market_value, "market_value")                 \
    X(n_total_asset, "total_asset")                   \
    X(n_total_value, "total_value")                   \
    X(n_holding_pnl, "holding_pnl")                   \
    X(n_realized_pnl, "realized_pnl")                 \
    X(n_daily_pnl, "daily_pnl")                       \
    X(n_daily_cost, "daily_cost")                     \
    X(n_cum_cashflow, "cum_cashflow")                 \
    X(n_last_amount, "last_amount")                   \
    X(n_last_realized_pnl, "last_realized_pnl")       \
    X(n_last_cost, "last_cost")                       \
    X(n_last_cash_flow, "last_cash_flow")

enum Name : int { ACCOUNTS_NAMES(BV_NAME_ENUM) kNameCount };

struct State {
    bv::Names<kNameCount> names;
    PyObject* zero;          // the int 0: template default and "no report" marker
    PyObject* last_idx;      // sort key of records without a target index
    PyObject* sort_kwnames;  // ("key",)
    PyObject* sort_key;      // key function of the position snapshot sort
    PyObject* numpy_isnan;   // numpy's own isnan, only compared by identity
    bv::ReadSite attr_sites[kNameCount];  // reads of the account's own attributes
    // What the shortcuts compare against (shortcuts.cpp); null: no shortcut.
    struct Known {
        PyObject* odd_class;          // OrderedDotDict as imported
        getattrofunc odd_getattro;    // its attribute hook
        PyObject* odd_init;           // its __init__
        PyObject* odd_globals;        // the namespace its methods read
        PyObject* odict_keys;         // OrderedDict.keys
        PyObject* template_property;  // BVRealAccount._position_template
        PyObject* template_getter;    // and its getter
        PyObject* make_positions;     // BVRealAccount.make_positions
        // Classes found fit for a shortcut, known by their version tags.
        bv::TypeMemo reads_keys;  // report classes whose attributes read keys
        bv::TypeMemo copies;      // OrderedDict classes copied the short way
        bv::TypeMemo subscripts;  // dict classes with dict's own subscription

        template <class F>
        void fields(F&& f) {
            f(odd_class);
            f(odd_getattro);
            f(odd_init);
            f(odd_globals);
            f(odict_keys);
            f(template_property);
            f(template_getter);
            f(make_positions);
            f(reads_keys);
            f(copies);
            f(subscripts);
        }
    } known;

    // The state holds the account class's property and getter, which hold
    // the module: the collector sees that cycle through traverse.
    template <class F>
    void fields(F&& f) {
        f(names);
        f(zero);
        f(last_idx);
        f(sort_kwnames);
        f(sort_key);
        f(numpy_isnan);
        f(attr_sites);
        f(known);
    }
};

inline State& state(bv::Function* fn) { return bv::state_of<State>(fn); }
inline PyObject* name(bv::Function* fn, Name n) { return state(fn).names[n]; }

// self.<n>, read afresh as PyObject_GetAttr reads it.
inline bv::Ref self_attr(bv::Function* fn, PyObject* self, Name n) {
    State& st = state(fn);
    return bv::getattr(self, st.names[n], st.attr_sites[n]);
}

// ---- helpers shared by the method bodies (helpers.cpp) ----------------------

// self.env.vr.g_BelvaneInputInfo.RealTargetList, read afresh.
bv::Ref real_target_list(bv::Function* fn, PyObject* self);
// todotmc(self.env.vr.g_BelvaneInputInfo.RealTargetList)
bv::Ref target_keys(bv::Function* fn, PyObject* self);
// todotmc({'Market': market, 'Code': code})
bv::Ref target_key_of(bv::Function* fn, PyObject* market, PyObject* code);
// mapping[key], for a str key (shortcuts.cpp).
bv::Ref get_item(bv::Function* fn, PyObject* mapping, PyObject* key);
// mapping.get(key) or mapping.get(key, default)
inline bv::Ref mapping_get(bv::Function* fn, PyObject* mapping, PyObject* key, PyObject* dflt) {
    return bv::mapping_get(mapping, key, state(fn).names[n_get], dflt);
}
// A new empty record from the module global OrderedDict.
bv::Ref new_record(bv::Function* fn);
// record[key] = value; false with the error set.
bool set_item(PyObject* record, PyObject* key, PyObject* value);
// Truth of numpy.isnan(stamp); -1 on error.
int counts_as_nan(bv::Function* fn, PyObject* stamp);
// np.nan, read now.
bv::Ref numpy_nan(bv::Function* fn);
// mft_to_datetime([stamp])[0]
bv::Ref convert_stamp(bv::Function* fn, PyObject* stamp);
// np.nan when the stamp counts as NaN, else its conversion.
bv::Ref stamp_time(bv::Function* fn, PyObject* stamp);
// Truth of `0 <= idx`; -1 on error.
int not_negative(bv::Function* fn, PyObject* idx);
// Truth of `idx < len(seq)`; -1 on error.
int below_length(PyObject* idx, PyObject* seq);
using bv::index_into;

// The content of a position report as the record builders read it: either
// a mapping, read by subscription, or the values of the 34 report keys (in
// template order; null where the report has no such key).
constexpr Name kReportKeys[] = {REPORT_KEYS(BV_NAME_ENUM)};
constexpr int kReportKeyCount = sizeof kReportKeys / sizeof kReportKeys[0];
static_assert(kReportKeyCount == 34, "a position report has 34 keys");
static_assert(kReportKeys[kReportKeyCount - 1] - kReportKeys[0] + 1 == kReportKeyCount,
              "the report keys are one run of names");
// The place of a report key in REPORT_KEYS.
constexpr int report_place(Name key) { return key - kReportKeys[0]; }
struct ReportValues {
    PyObject* mapping = nullptr;
    bv::Ref values[kReportKeyCount];
};

// Fills `target` (or, when null, `values`) with the position template's 34
// keys for `self`.
bool fill_template(bv::Function* fn, PyObject* self, PyObject* target, ReportValues* values);
// make_positions' record from a report's content.
bv::Ref build_positions(bv::Function* fn, PyObject* self, const ReportValues& report);

// ---- shortcuts with results identical to the long way (shortcuts.cpp) -------

// Remembers what the shortcuts compare against, once the class exists.
bool remember_known_objects(bv::ModuleBody& m);

// Each shortcut can be left out of a build (-DBELVANE_DISABLE=NAME) to
// measure what it buys (bench/internals.sh, bench/README.md):
//   REPORT_ATTRS      report.<attr> read as the key the toolkit's
//                     __getattr__ would read;
//   REPORT_COPY       dict() of an OrderedDict report copied in place;
//   DIRECT_POSITIONS  the own make_positions fed the report's values, no copy;
//   TEMPLATE_COPY     the position template filled without its object.
#define BV_SHORTCUT(name) (!BV_SHORTCUT_OFF_##name)
#ifdef BV_NO_REPORT_ATTRS
#define BV_SHORTCUT_OFF_REPORT_ATTRS 1
#else
#define BV_SHORTCUT_OFF_REPORT_ATTRS 0
#endif
#ifdef BV_NO_REPORT_COPY
#define BV_SHORTCUT_OFF_REPORT_COPY 1
#else
#define BV_SHORTCUT_OFF_REPORT_COPY 0
#endif
#ifdef BV_NO_DIRECT_POSITIONS
#define BV_SHORTCUT_OFF_DIRECT_POSITIONS 1
#else
#define BV_SHORTCUT_OFF_DIRECT_POSITIONS 0
#endif
#ifdef BV_NO_TEMPLATE_COPY
#define BV_SHORTCUT_OFF_TEMPLATE_COPY 1
#else
#define BV_SHORTCUT_OFF_TEMPLATE_COPY 0
#endif
// report.<attr>, for the report attributes AccountID, Market and Code.
bv::Ref report_attr(bv::Function* fn, PyObject* report, PyObject* attr);
// dict(mapping)
bv::Ref plain_copy(bv::Function* fn, PyObject* mapping);
// The values dict(report) would hold under the report keys, when taking them
// runs no code; false (no error set) when the report needs the long way.
bool read_report(bv::Function* fn, PyObject* report, ReportValues& out);
// Whether dict(self._position_template) can be made without the template
// object; -1 on error.
int template_is_plain(bv::Function* fn, PyObject* self);
// `method` is self.make_positions bound to `self` and this module's own.
bool own_make_positions(bv::Function* fn, PyObject* method, PyObject* self);

// ---- members of BVRealAccount, in the files that define them; the class
// table in real_account.cpp puts them in definition order ---------------------

extern const bv::Member kPositionTemplate;  // position_records.cpp
extern const bv::Member kMakePositions;
extern const bv::Member kMakePosition;
extern const bv::Member kSnapshotPositions;  // snapshots.cpp
extern const bv::Member kSnapshotCash;
extern const bv::Member kSnapshotPosition;

// The key function of the position snapshot sort, made once per module.
bv::Ref make_sort_key(PyObject* target_idx_name, PyObject* last_idx);

// Creates BVRealAccount and binds it; false on error.
bool define_real_account(bv::ModuleBody& m);

}  // namespace accounts

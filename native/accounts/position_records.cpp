// The position template and the two record builders: a report in the
// framework's snake_case records, both sides or one.
#include "accounts.hpp"

namespace accounts {
namespace {

using bv::Ref;

enum class Fill : unsigned char { Handle, Empty, Zero, NaN };

struct TemplateKey {
    Name key;
    Fill fill;
};

const TemplateKey kTemplateKeys[] = {
    {n_AccountID, Fill::Handle},
    {n_Market, Fill::Empty},
    {n_Code, Fill::Empty},
    {n_VolumeLong, Fill::Zero},
    {n_VolumeShort, Fill::Zero},
    {n_VolumeTodayLong, Fill::Zero},
    {n_VolumeTodayShort, Fill::Zero},
    {n_FpnlLong, Fill::Zero},
    {n_FpnlShort, Fill::Zero},
    {n_ZpnlLong, Fill::Zero},
    {n_ZpnlShort, Fill::Zero},
    {n_HoldingCostLong, Fill::Zero},
    {n_HoldingCostShort, Fill::Zero},
    {n_CostLong, Fill::Zero},
    {n_CostShort, Fill::Zero},
    {n_AmountLong, Fill::Zero},
    {n_AmountShort, Fill::Zero},
    {n_HoldingValueLong, Fill::Zero},
    {n_HoldingValueShort, Fill::Zero},
    {n_AvailableLong, Fill::Zero},
    {n_AvailableShort, Fill::Zero},
    {n_AvailableTodayLong, Fill::NaN},
    {n_AvailableTodayShort, Fill::NaN},
    {n_Price, Fill::NaN},
    {n_CreatedLong, Fill::NaN},
    {n_CreatedShort, Fill::NaN},
    {n_Updated, Fill::NaN},
    {n_OrderFrozenLong, Fill::Zero},
    {n_OrderFrozenShort, Fill::Zero},
    {n_OrderFrozenTodayLong, Fill::Zero},
    {n_OrderFrozenTodayShort, Fill::Zero},
    {n_MarginLong, Fill::Zero},
    {n_MarginShort, Fill::Zero},
    {n_ChangeReason, Fill::Zero},
};

// numpy's NaN under the name the template has always read; numpy 2 removed
// that spelling, and only then is `nan` read instead.
Ref template_nan(bv::Function* fn) {
    Ref np = bv::global(fn, name(fn, n_np));
    if (!np) return Ref();
    Ref nan = bv::getattr(np.get(), name(fn, n_NaN));
    if (nan || !bv::swallow(PyExc_AttributeError)) return nan;
    return bv::getattr(np.get(), name(fn, n_nan));
}

}  // namespace

bool fill_template(bv::Function* fn, PyObject* self, PyObject* target, ReportValues* values) {
    bool plain = target && PyDict_CheckExact(target);
    Ref nan;
    for (const TemplateKey& k : kTemplateKeys) {
        Ref value;
        switch (k.fill) {
            case Fill::Handle: value = self_attr(fn, self, n_handle); break;
            case Fill::Empty: value = Ref::borrow(name(fn, n_empty)); break;
            case Fill::Zero: value = Ref::borrow(state(fn).zero); break;
            case Fill::NaN:
                if (!nan) nan = template_nan(fn);
                value = Ref::borrow(nan.get());
                break;
        }
        if (!value) return false;
        if (!target) {
            values->values[report_place(k.key)] = std::move(value);
            continue;
        }
        int r = plain ? PyDict_SetItem(target, name(fn, k.key), value.get())
                      : PyObject_SetItem(target, name(fn, k.key), value.get());
        if (r < 0) return false;
    }
    return true;
}

namespace {

PyObject* position_template(bv::Function* fn, PyObject* const* args) {
    Ref cls = bv::global(fn, name(fn, n_OrderedDotDict));
    if (!cls) return nullptr;
    Ref tmpl = bv::call(cls.get());
    if (!tmpl || !fill_template(fn, args[0], tmpl.get(), nullptr)) return nullptr;
    return tmpl.release();
}

// Keys of the two-sided record that are copied from the report, in two runs
// around the three converted times.
struct Copy {
    Name to;
    Name from;
};

const Copy kBothSidesHead[] = {
    {n_volume_long, n_VolumeLong},
    {n_volume_short, n_VolumeShort},
    {n_Volume_today_long, n_VolumeTodayLong},
    {n_Volume_today_short, n_VolumeTodayShort},
    {n_fpnl_long, n_FpnlLong},
    {n_fpnl_short, n_FpnlShort},
    {n_zpnl_long, n_ZpnlLong},
    {n_zpnl_short, n_ZpnlShort},
    {n_holding_cost_long, n_HoldingCostLong},
    {n_holding_cost_short, n_HoldingCostShort},
    {n_cost_long, n_CostLong},
    {n_cost_short, n_CostShort},
    {n_amount_long, n_AmountLong},
    {n_amount_short, n_AmountShort},
    {n_holding_value_long, n_HoldingValueLong},
    {n_holding_value_short, n_HoldingValueShort},
    {n_available_long, n_AvailableLong},
    {n_available_short, n_AvailableShort},
    {n_available_today_long, n_AvailableTodayLong},
    {n_available_today_short, n_AvailableTodayShort},
    {n_price, n_Price},
};

const Copy kBothSidesTail[] = {
    {n_order_frozen_long, n_OrderFrozenLong},
    {n_order_frozen_short, n_OrderFrozenShort},
    {n_margin_long, n_MarginLong},
    {n_margin_short, n_MarginShort},
    {n_change_reason, n_ChangeReason},
};

// report[key], from whichever form the report's content has.
Ref field(bv::Function* fn, const ReportValues& report, Name key) {
    if (report.mapping) return get_item(fn, report.mapping, name(fn, key));
    const Ref& v = report.values[report_place(key)];
    if (v) return Ref::borrow(v.get());
    PyErr_SetObject(PyExc_KeyError, name(fn, key));
    return Ref();
}

template <int N>
bool copy_keys(bv::Function* fn, PyObject* record, const ReportValues& report,
               const Copy (&keys)[N]) {
    for (const Copy& k : keys) {
        Ref value = field(fn, report, k.from);
        if (!value || !set_item(record, name(fn, k.to), value.get())) return false;
    }
    return true;
}

template <int N>
bool copy_keys(bv::Function* fn, PyObject* record, PyObject* report, const Copy (&keys)[N]) {
    ReportValues from;
    from.mapping = report;
    return copy_keys(fn, record, from, keys);
}

// record[key] = self.<attr>
bool copy_attr(bv::Function* fn, PyObject* record, Name key, PyObject* self, Name attr) {
    Ref value = self_attr(fn, self, attr);
    return value && set_item(record, name(fn, key), value.get());
}

}  // namespace

Ref build_positions(bv::Function* fn, PyObject* self, const ReportValues& temp) {
    Ref market = field(fn, temp, n_Market);
    if (!market) return Ref();
    Ref code_text = field(fn, temp, n_Code);
    if (!code_text) return Ref();
    Ref code = target_key_of(fn, market.get(), code_text.get());
    if (!code) return Ref();
    Ref times[3];  // updated, create_long, create_short
    const Name stamps[] = {n_Updated, n_CreatedLong, n_CreatedShort};
    for (int i = 0; i < 3; ++i) {
        Ref stamp = field(fn, temp, stamps[i]);
        if (!stamp) return Ref();
        times[i] = stamp_time(fn, stamp.get());
        if (!times[i]) return Ref();
    }
    Ref record = new_record(fn);
    if (!record) return Ref();
    PyObject* r = record.get();
    if (!copy_attr(fn, r, n_account_name, self, n_name) ||
        !copy_attr(fn, r, n_account_idx, self, n_handle_idx) ||
        !set_item(r, name(fn, n_code), code.get()) ||
        !set_item(r, name(fn, n_target_idx), Py_None) || !copy_keys(fn, r, temp, kBothSidesHead) ||
        !set_item(r, name(fn, n_create_long), times[1].get()) ||
        !set_item(r, name(fn, n_create_short), times[2].get()) ||
        !set_item(r, name(fn, n_updated), times[0].get()) || !copy_keys(fn, r, temp, kBothSidesTail))
        return Ref();
    return record;
}

namespace {

PyObject* make_positions(bv::Function* fn, PyObject* const* args) {
    ReportValues temp;
    temp.mapping = args[1];
    return build_positions(fn, args[0], temp).release();
}

// The one-sided record: keys of one side, around the two converted times.
const Copy kLongHead[] = {
    {n_volume, n_VolumeLong},
    {n_volume_today, n_VolumeTodayLong},
    {n_fpnl, n_FpnlLong},
    {n_zpnl, n_ZpnlLong},
    {n_holding_cost, n_HoldingCostLong},
    {n_cost, n_CostLong},
    {n_amount, n_AmountLong},
    {n_holding_value, n_HoldingValueLong},
    {n_available, n_AvailableLong},
    {n_available_today, n_AvailableTodayLong},
    {n_price, n_Price},
};
const Copy kShortHead[] = {
    {n_volume, n_VolumeShort},
    {n_volume_today, n_VolumeTodayShort},
    {n_fpnl, n_FpnlShort},
    {n_zpnl, n_ZpnlShort},
    {n_holding_cost, n_HoldingCostShort},
    {n_cost, n_CostShort},
    {n_amount, n_AmountShort},
    {n_holding_value, n_HoldingValueShort},
    {n_available, n_AvailableShort},
    {n_available_today, n_AvailableTodayShort},
    {n_price, n_Price},
};
const Copy kLongTail[] = {
    {n_order_frozen, n_OrderFrozenLong},
    {n_order_frozen_today, n_OrderFrozenTodayLong},
    {n_margin, n_MarginLong},
    {n_change_reason, n_ChangeReason},
};
const Copy kShortTail[] = {
    {n_order_frozen, n_OrderFrozenShort},
    {n_order_frozen_today, n_OrderFrozenTodayShort},
    {n_margin, n_MarginShort},
    {n_change_reason, n_ChangeReason},
};

// Truth of `side == gv.POSITIONSIDE_LONG`, with gv read now.
int is_long(bv::Function* fn, PyObject* side) {
    Ref gv = bv::global(fn, name(fn, n_gv));
    if (!gv) return -1;
    Ref long_side = bv::getattr(gv.get(), name(fn, n_POSITIONSIDE_LONG));
    if (!long_side) return -1;
    return bv::eq_true(side, long_side.get());
}

PyObject* make_position(bv::Function* fn, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* position = args[1];
    PyObject* target_idx = args[2];
    PyObject* side = args[3];
    Ref record = new_record(fn);
    if (!record) return nullptr;
    Ref keys = target_keys(fn, self);
    if (!keys) return nullptr;
    int long_side = is_long(fn, side);
    if (long_side < 0) return nullptr;
    Ref created = get_item(fn, position, name(fn, long_side ? n_CreatedLong : n_CreatedShort));
    if (!created) return nullptr;
    // A side without a creation time has no update time either.
    Ref updated;
    int no_create = counts_as_nan(fn, created.get());
    if (no_create < 0) return nullptr;
    if (no_create) {
        updated = numpy_nan(fn);
    } else {
        Ref stamp = get_item(fn, position, name(fn, n_Updated));
        if (!stamp) return nullptr;
        updated = stamp_time(fn, stamp.get());
    }
    if (!updated) return nullptr;
    no_create = counts_as_nan(fn, created.get());
    if (no_create < 0) return nullptr;
    Ref create = no_create ? numpy_nan(fn) : convert_stamp(fn, created.get());
    if (!create) return nullptr;
    PyObject* r = record.get();
    if (!copy_attr(fn, r, n_account_name, self, n_name) ||
        !copy_attr(fn, r, n_account_idx, self, n_handle_idx))
        return nullptr;
    Ref code = index_into(keys.get(), target_idx);
    if (!code || !set_item(r, name(fn, n_code), code.get()) ||
        !set_item(r, name(fn, n_target_idx), target_idx) || !set_item(r, name(fn, n_side), side))
        return nullptr;
    long_side = is_long(fn, side);
    if (long_side < 0) return nullptr;
    bool ok = long_side ? copy_keys(fn, r, position, kLongHead) : copy_keys(fn, r, position, kShortHead);
    if (!ok || !set_item(r, name(fn, n_create), create.get()) ||
        !set_item(r, name(fn, n_updated), updated.get()))
        return nullptr;
    ok = long_side ? copy_keys(fn, r, position, kLongTail) : copy_keys(fn, r, position, kShortTail);
    if (!ok) return nullptr;
    return record.release();
}

const bv::Annotation kTemplateAnnotations[] = {{"return", "OrderedDotDict"}};
const bv::Param kMakePositionsParams[] = {bv::arg("self"), bv::arg("temp_position")};
const bv::Annotation kMakePositionsAnnotations[] = {{"temp_position", "dict"},
                                                    {"return", "OrderedDict"}};
const bv::Param kMakePositionParams[] = {bv::arg("self"), bv::arg("position"),
                                         bv::arg("target_idx"), bv::arg("side")};

}  // namespace

constexpr bv::Member kPositionTemplate =
    bv::property("_position_template", position_template, kTemplateAnnotations);
constexpr bv::Member kMakePositions =
    bv::method("make_positions", make_positions, kMakePositionsParams, kMakePositionsAnnotations);
constexpr bv::Member kMakePosition = bv::method("make_position", make_position, kMakePositionParams);

}  // namespace accounts

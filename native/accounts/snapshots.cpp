// Whole pictures of the account: the position snapshots and the cash record.
#include "accounts.hpp"

namespace accounts {
namespace {

using bv::Ref;

// Where each target key first occurs in the target list. Only built for a
// list whose items are exact str and that no one else can reach: nothing can
// change it then, and a dict lookup gives what `in` and `index` would, in
// constant time.
Ref first_positions(PyObject* keys) {
    if (!PyList_CheckExact(keys)) return Ref();
    Py_ssize_t n = PyList_GET_SIZE(keys);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!PyUnicode_CheckExact(PyList_GET_ITEM(keys, i))) return Ref();
    if (!bv::seal_private_list(keys)) return Ref();
    Ref first = Ref::steal(PyDict_New());
    if (!first) return Ref();
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref at = Ref::steal(PyLong_FromSsize_t(i));
        if (!at || !PyDict_SetDefault(first.get(), PyList_GET_ITEM(keys, i), at.get())) return Ref();
    }
    return first;
}

// keys.index(code) if code in keys else None (first == null: no shortcut).
Ref index_or_none(bv::Function* fn, PyObject* keys, PyObject* first, PyObject* code) {
    if (first && PyUnicode_CheckExact(code)) {
        PyObject* at = PyDict_GetItemWithError(first, code);
        if (at) return Ref::borrow(at);
        if (PyErr_Occurred()) return Ref();
        return Ref::none();
    }
    int found = PySequence_Contains(keys, code);
    if (found < 0) return Ref();
    if (!found) return Ref::none();
    return bv::call_method(keys, name(fn, n_index), code);
}

// self.make_positions(dict(report)), the method looked up before the copy is
// made, as Python evaluates a call. The module's own method reads the
// report's values directly when that is what the copy would hold.
Ref positions_of(bv::Function* fn, PyObject* self, PyObject* method, PyObject* report) {
    if (own_make_positions(fn, method, self)) {
        ReportValues values;
        if (read_report(fn, report, values)) return build_positions(fn, self, values);
        if (PyErr_Occurred()) return Ref();
    }
    Ref copy = plain_copy(fn, report);
    if (!copy) return Ref();
    return bv::call(method, copy.get());
}

// self.make_positions(dict(self._position_template))
Ref positions_of_template(bv::Function* fn, PyObject* self, PyObject* method) {
    int plain = template_is_plain(fn, self);
    if (plain < 0) return Ref();
    if (!plain) {
        Ref tmpl = self_attr(fn, self, n__position_template);
        if (!tmpl) return Ref();
        return positions_of(fn, self, method, tmpl.get());
    }
    if (own_make_positions(fn, method, self)) {
        ReportValues values;
        if (!fill_template(fn, self, nullptr, &values)) return Ref();
        return build_positions(fn, self, values);
    }
    Ref copy = Ref::steal(PyDict_New());
    if (!copy || !fill_template(fn, self, copy.get(), nullptr)) return Ref();
    return bv::call(method, copy.get());
}

// record['code'] = code; record['target_idx'] = target_idx; appended to out.
bool add_record(bv::Function* fn, PyObject* out, Ref record, PyObject* code,
                PyObject* target_idx) {
    return record && PyObject_SetItem(record.get(), name(fn, n_code), code) == 0 &&
           PyObject_SetItem(record.get(), name(fn, n_target_idx), target_idx) == 0 &&
           PyList_Append(out, record.get()) == 0;
}

PyObject* snapshot_positions(bv::Function* fn, PyObject* const* args) {
    PyObject* self = args[0];
    State& st = state(fn);
    Ref keys = target_keys(fn, self);
    if (!keys) return nullptr;
    Ref first = first_positions(keys.get());
    if (!first && PyErr_Occurred()) return nullptr;
    Ref out = Ref::steal(PyList_New(0));
    if (!out) return nullptr;
    Ref table = self_attr(fn, self, n__position);
    if (!table) return nullptr;
    Ref reports;
    if (PyDict_CheckExact(table.get())) {
        reports = Ref::steal(PyDict_Values(table.get()));
    } else {
        Ref values = bv::call_method(table.get(), name(fn, n_values));
        if (!values) return nullptr;
        reports = Ref::steal(PySequence_List(values.get()));
    }
    if (!reports) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(reports.get()); ++i) {
        Ref report = Ref::borrow(PyList_GET_ITEM(reports.get(), i));
        Ref market = get_item(fn, report.get(), name(fn, n_Market));
        if (!market) return nullptr;
        Ref code_text = get_item(fn, report.get(), name(fn, n_Code));
        if (!code_text) return nullptr;
        Ref code = target_key_of(fn, market.get(), code_text.get());
        if (!code) return nullptr;
        Ref target_idx = index_or_none(fn, keys.get(), first.get(), code.get());
        if (!target_idx) return nullptr;
        Ref method = self_attr(fn, self, n_make_positions);
        if (!method || !add_record(fn, out.get(), positions_of(fn, self, method.get(), report.get()),
                                   code.get(), target_idx.get()))
            return nullptr;
    }
    reports.reset();

    // Targets without a report, in the set's iteration order: their first
    // positions differ, so the sort below leaves no trace of that order.
    Ref all = Ref::steal(PySet_New(keys.get()));
    if (!all) return nullptr;
    Ref filed_keys = bv::call_method(table.get(), name(fn, n_keys));
    if (!filed_keys) return nullptr;
    Ref filed = Ref::steal(PySet_New(filed_keys.get()));
    if (!filed) return nullptr;
    Ref rest = Ref::steal(PyNumber_Subtract(all.get(), filed.get()));
    if (!rest) return nullptr;
    Ref missing = Ref::steal(PySequence_List(rest.get()));
    if (!missing) return nullptr;
    all.reset();
    filed.reset();
    rest.reset();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(missing.get()); ++i) {
        Ref key = Ref::borrow(PyList_GET_ITEM(missing.get(), i));
        Ref target_idx;
        PyObject* at = first && PyUnicode_CheckExact(key.get())
                           ? PyDict_GetItemWithError(first.get(), key.get())
                           : nullptr;
        if (at) {
            target_idx = Ref::borrow(at);
        } else {
            if (PyErr_Occurred()) return nullptr;
            target_idx = bv::call_method(keys.get(), name(fn, n_index), key.get());
        }
        if (!target_idx) return nullptr;
        Ref method = self_attr(fn, self, n_make_positions);
        if (!method || !add_record(fn, out.get(), positions_of_template(fn, self, method.get()),
                                   key.get(), target_idx.get()))
            return nullptr;
    }

    if (!st.sort_key) {
        PyErr_SetString(PyExc_SystemError, "account module state is gone");
        return nullptr;
    }
    Ref sort = bv::getattr(out.get(), name(fn, n_sort));
    if (!sort) return nullptr;
    PyObject* stack[] = {st.sort_key};
    Ref done = bv::call_kw(sort.get(), stack, 0, st.sort_kwnames);
    if (!done) return nullptr;
    return out.release();
}

struct Copy {
    Name to;
    Name from;
};

const Copy kCashKeys[] = {
    {n_valid_cash, n_ValidCash},
    {n_available_cash, n_AvailableCash},
    {n_market_value, n_MarketValue},
    {n_margin, n_Margin},
    {n_order_frozen, n_OrderFrozen},
    {n_total_asset, n_TotalAsset},
    {n_total_value, n_TotalValue},
    {n_holding_pnl, n_HoldingPnl},
    {n_realized_pnl, n_RealizedPnl},
    {n_daily_pnl, n_DailyPnl},
    {n_daily_cost, n_DailyCost},
    {n_cum_cashflow, n_CumCashFlow},
    {n_last_amount, n_LastAmount},
    {n_last_realized_pnl, n_LastRealizedPnl},
    {n_last_cost, n_LastCost},
    {n_last_cash_flow, n_LastCashFlow},
    {n_change_reason, n_ChangeReason},
};

PyObject* snapshot_cash(bv::Function* fn, PyObject* const* args) {
    Ref record = new_record(fn);
    if (!record) return nullptr;
    Ref cash = self_attr(fn, args[0], n__cash);
    if (!cash || !set_item(record.get(), name(fn, n_currency), name(fn, n_CNY))) return nullptr;
    for (const Copy& k : kCashKeys) {
        Ref value = get_item(fn, cash.get(), name(fn, k.from));
        if (!value || !set_item(record.get(), name(fn, k.to), value.get())) return nullptr;
    }
    return record.release();
}

// gv.<side constant>, read now.
Ref side_value(bv::Function* fn, Name constant) {
    Ref gv = bv::global(fn, name(fn, n_gv));
    if (!gv) return Ref();
    return bv::getattr(gv.get(), name(fn, constant));
}

// out.append(self.make_position(position, target_idx, <side>)): the method is
// looked up before the side is read, as Python evaluates the call.
bool append_position(bv::Function* fn, PyObject* self, PyObject* out, PyObject* position,
                     PyObject* target_idx, PyObject* side, Name side_constant) {
    Ref method = self_attr(fn, self, n_make_position);
    if (!method) return false;
    Ref constant;
    if (!side) {
        constant = side_value(fn, side_constant);
        if (!constant) return false;
        side = constant.get();
    }
    Ref record = bv::call(method.get(), position, target_idx, side);
    return record && PyList_Append(out, record.get()) == 0;
}

PyObject* snapshot_position(bv::Function* fn, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* side = args[2];
    PyObject* no_position = state(fn).zero;
    Ref out = Ref::steal(PyList_New(0));
    if (!out) return nullptr;
    Ref keys = target_keys(fn, self);
    if (!keys) return nullptr;
    Ref it = Ref::steal(PyObject_GetIter(args[1]));
    if (!it) return nullptr;
    while (Ref target_idx = Ref::steal(PyIter_Next(it.get()))) {
        int inside = not_negative(fn, target_idx.get());
        if (inside > 0) inside = below_length(target_idx.get(), keys.get());
        if (inside < 0) return nullptr;
        if (!inside) continue;
        Ref key = index_into(keys.get(), target_idx.get());
        if (!key) return nullptr;
        Ref table = self_attr(fn, self, n__position);
        if (!table) return nullptr;
        Ref position = mapping_get(fn, table.get(), key.get(), no_position);
        if (!position) return nullptr;
        if (position.get() == Py_None) continue;
        int none_filed = position.get() == no_position ? 1 : bv::eq_true(position.get(), no_position);
        if (none_filed < 0) return nullptr;
        if (none_filed) {
            position = self_attr(fn, self, n__position_template);
            if (!position) return nullptr;
        }
        Ref unknown = side_value(fn, n_POSITIONSIDE_UNKNOWN);
        if (!unknown) return nullptr;
        int both = bv::eq_true(side, unknown.get());
        if (both < 0) return nullptr;
        bool ok = both ? append_position(fn, self, out.get(), position.get(), target_idx.get(),
                                         nullptr, n_POSITIONSIDE_LONG) &&
                             append_position(fn, self, out.get(), position.get(), target_idx.get(),
                                             nullptr, n_POSITIONSIDE_SHORT)
                       : append_position(fn, self, out.get(), position.get(), target_idx.get(),
                                         side, n_POSITIONSIDE_LONG);
        if (!ok) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return out.release();
}

// The sort key: record['target_idx'], or the last place when that is None.
// Its self is the pair (name 'target_idx', the last place).
PyObject* position_order(PyObject* pair, PyObject* record) {
    PyObject* key = PyTuple_GET_ITEM(pair, 0);
    Ref at;
    PyObject* found = PyODict_CheckExact(record) || PyDict_CheckExact(record)
                          ? PyDict_GetItemWithError(record, key)
                          : nullptr;
    if (found) at = Ref::borrow(found);
    else if (!PyErr_Occurred()) at = Ref::steal(PyObject_GetItem(record, key));
    if (!at) return nullptr;
    if (at.get() == Py_None) return bv::new_ref(PyTuple_GET_ITEM(pair, 1));
    return at.release();
}

PyMethodDef kPositionOrder = {"_position_order", position_order, METH_O, nullptr};

const bv::Param kSelf[] = {bv::arg("self")};
const bv::Param kSnapshotPositionParams[] = {bv::arg("self"), bv::arg("target_idx_s"),
                                             bv::arg("side")};
const bv::Annotation kSnapshotPositionAnnotations[] = {{"target_idx_s", "list"}};

}  // namespace

constexpr bv::Member kSnapshotPositions =
    bv::method("snapshot_positions", snapshot_positions, kSelf);
constexpr bv::Member kSnapshotCash = bv::method("snapshot_cash", snapshot_cash, kSelf);
constexpr bv::Member kSnapshotPosition = bv::method("snapshot_position", snapshot_position,
                                                kSnapshotPositionParams, kSnapshotPositionAnnotations);

Ref make_sort_key(PyObject* target_idx_name, PyObject* last_idx) {
    Ref pair = Ref::steal(PyTuple_Pack(2, target_idx_name, last_idx));
    if (!pair) return Ref();
    return Ref::steal(PyCFunction_NewEx(&kPositionOrder, pair.get(), nullptr));
}

}  // namespace accounts

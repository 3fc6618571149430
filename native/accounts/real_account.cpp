// BVRealAccount: construction, report intake and the single-field queries;
// the class itself is assembled here from the members of all three files.
#include "accounts.hpp"

namespace accounts {
namespace {

using bv::Ref;

// ("%s.%s" % (market, code)).upper(): both texts are taken with str() before
// either is used, as the formatting does. ASCII, the usual case, is joined and
// upper-cased in one pass; str.upper maps exactly a-z there.
Ref report_key(bv::Function* fn, PyObject* market, PyObject* code) {
    // The formatting takes an exact str as it is (3.12+'s str() would check
    // for signals first).
    Ref m = PyUnicode_CheckExact(market) ? Ref::borrow(market) : Ref::steal(PyObject_Str(market));
    if (!m) return Ref();
    Ref c = PyUnicode_CheckExact(code) ? Ref::borrow(code) : Ref::steal(PyObject_Str(code));
    if (!c || PyUnicode_READY(m.get()) < 0 || PyUnicode_READY(c.get()) < 0) return Ref();
    if (PyUnicode_IS_ASCII(m.get()) && PyUnicode_IS_ASCII(c.get())) {
        Py_ssize_t lm = PyUnicode_GET_LENGTH(m.get()), lc = PyUnicode_GET_LENGTH(c.get());
        Ref key = Ref::steal(PyUnicode_New(lm + 1 + lc, 127));
        if (!key) return Ref();
        Py_UCS1* out = PyUnicode_1BYTE_DATA(key.get());
        auto copy_upper = [](Py_UCS1* to, const Py_UCS1* from, Py_ssize_t n) {
            for (Py_ssize_t i = 0; i < n; ++i) {
                Py_UCS1 ch = from[i];
                to[i] = (ch >= 'a' && ch <= 'z') ? (Py_UCS1)(ch - 'a' + 'A') : ch;
            }
        };
        copy_upper(out, PyUnicode_1BYTE_DATA(m.get()), lm);
        out[lm] = '.';
        copy_upper(out + lm + 1, PyUnicode_1BYTE_DATA(c.get()), lc);
        return key;
    }
    Ref joined = Ref::steal(PyUnicode_FromFormat("%U.%U", m.get(), c.get()));
    if (!joined) return Ref();
    return bv::call_method(joined.get(), name(fn, n_upper));
}

// Truth of `a != b`; two exact str are compared here, as str would.
int differ(PyObject* a, PyObject* b) {
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b))
        return a != b && PyUnicode_Compare(a, b) != 0;
    Ref r = Ref::steal(PyObject_RichCompare(a, b, Py_NE));
    if (!r) return -1;
    return PyObject_IsTrue(r.get());
}

PyObject* init(bv::Function* fn, PyObject* const* args) {
    PyObject* self = args[0];
    const Name attrs[] = {n_env, n_type, n_handle_idx, n_name, n_handle, n_currency};
    for (int i = 0; i < 6; ++i)
        if (PyObject_SetAttr(self, name(fn, attrs[i]), args[i + 1]) < 0) return nullptr;
    Ref cash = Ref::steal(PyDict_New());
    if (!cash || PyObject_SetAttr(self, name(fn, n__cash), cash.get()) < 0) return nullptr;
    Ref table = Ref::steal(PyDict_New());
    if (!table || PyObject_SetAttr(self, name(fn, n__position), table.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

// Every report is read and checked before anything changes, so that a bad
// report, or a position_info that cannot be iterated, leaves the account as
// it was. The AccountID check stays in force under -O: it is what keeps two
// accounts' data apart.
PyObject* update_info(bv::Function* fn, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* cash_info = args[1];
    {
        Ref handle = self_attr(fn, self, n_handle);
        if (!handle) return nullptr;
        Ref account = report_attr(fn, cash_info, name(fn, n_AccountID));
        if (!account) return nullptr;
        int same = bv::eq_true(handle.get(), account.get());
        if (same < 0) return nullptr;
        if (!same) {
            PyErr_SetNone(PyExc_AssertionError);
            return nullptr;
        }
    }
    Ref reports = Ref::steal(PySequence_List(args[2]));
    if (!reports) return nullptr;
    Ref filed = Ref::steal(PyDict_New());
    if (!filed) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(reports.get()); ++i) {
        Ref report = Ref::borrow(PyList_GET_ITEM(reports.get(), i));
        Ref account = report_attr(fn, report.get(), name(fn, n_AccountID));
        if (!account) return nullptr;
        Ref handle = self_attr(fn, self, n_handle);
        if (!handle) return nullptr;
        int skip = differ(account.get(), handle.get());
        if (skip < 0) return nullptr;
        if (skip) continue;
        Ref market = report_attr(fn, report.get(), name(fn, n_Market));
        if (!market) return nullptr;
        Ref code = report_attr(fn, report.get(), name(fn, n_Code));
        if (!code) return nullptr;
        Ref key = report_key(fn, market.get(), code.get());
        if (!key || PyDict_SetItem(filed.get(), key.get(), report.get()) < 0) return nullptr;
    }
    if (PyObject_SetAttr(self, name(fn, n__cash), cash_info) < 0) return nullptr;
    Ref table = self_attr(fn, self, n__position);
    if (!table) return nullptr;
    if (PyDict_CheckExact(table.get())) {
        PyDict_Clear(table.get());
        if (PyDict_Update(table.get(), filed.get()) < 0) return nullptr;
    } else {
        Ref r = bv::call_method(table.get(), name(fn, n_clear));
        if (!r) return nullptr;
        r = bv::call_method(table.get(), name(fn, n_update), filed.get());
        if (!r) return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* get_cash_info(bv::Function* fn, PyObject* const* args) {
    Ref cash = self_attr(fn, args[0], n__cash);
    if (!cash) return nullptr;
    return mapping_get(fn, cash.get(), args[1], nullptr).release();
}

PyObject* get_position_info(bv::Function* fn, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* index_name = args[1];
    PyObject* target_idx = args[2];
    Ref keys = target_keys(fn, self);
    if (!keys) return nullptr;
    // A negative index would answer with another target's Market and Code,
    // counted from the end: refuse it as an index past the end is refused.
    int ok = not_negative(fn, target_idx);
    if (ok < 0) return nullptr;
    if (!ok) {
        PyErr_SetString(PyExc_IndexError, "target index out of range");
        return nullptr;
    }
    Ref position = Ref::none();
    int below = below_length(target_idx, keys.get());
    if (below < 0) return nullptr;
    if (below) {
        Ref key = index_into(keys.get(), target_idx);
        if (!key) return nullptr;
        Ref table = self_attr(fn, self, n__position);
        if (!table) return nullptr;
        position = mapping_get(fn, table.get(), key.get(), nullptr);
        if (!position) return nullptr;
    }
    if (position.get() == Py_None) {
        position = self_attr(fn, self, n__position_template);
        if (!position) return nullptr;
        Ref targets = real_target_list(fn, self);
        if (!targets) return nullptr;
        const Name fields[] = {n_Market, n_Code};
        for (Name field : fields) {
            Ref target = Ref::steal(PyObject_GetItem(targets.get(), target_idx));
            if (!target) return nullptr;
            Ref value = Ref::steal(PyObject_GetItem(target.get(), name(fn, field)));
            if (!value || PyObject_SetItem(position.get(), name(fn, field), value.get()) < 0)
                return nullptr;
        }
    }
    return mapping_get(fn, position.get(), index_name, nullptr).release();
}

const bv::Param kInitParams[] = {bv::arg("self"), bv::arg("env_"),   bv::arg("acc_type"),
                                 bv::arg("idx"),  bv::arg("name"),   bv::arg("handle"),
                                 bv::arg("currency")};
const bv::Param kUpdateParams[] = {bv::arg("self"), bv::arg("cash_info"), bv::arg("position_info")};
const bv::Param kCashParams[] = {bv::arg("self"), bv::arg("index_name")};
const bv::Param kPositionParams[] = {bv::arg("self"), bv::arg("index_name"), bv::arg("target_idx")};

// The class body's members in definition order (copied from the files that
// define them when this file's statics are made).
const bv::Member kMembers[] = {
    bv::method("__init__", init, kInitParams),
    bv::method("update_info", update_info, kUpdateParams),
    bv::method("get_cash_info", get_cash_info, kCashParams),
    bv::method("get_position_info", get_position_info, kPositionParams),
    kPositionTemplate,
    kMakePositions,
    kSnapshotPositions,
    kSnapshotCash,
    kSnapshotPosition,
    kMakePosition,
};

}  // namespace

bool define_real_account(bv::ModuleBody& m) {
    return m.bind("BVRealAccount", bv::ClassBuilder(m, "BVRealAccount").members(kMembers).build());
}

}  // namespace accounts

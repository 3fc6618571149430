// Small steps the account's methods share: framework lookups, mapping access
// with fast paths for the exact built-in containers, and stamp conversion.
#include "accounts.hpp"

#include <cmath>

namespace accounts {

using bv::Ref;

Ref real_target_list(bv::Function* fn, PyObject* self) {
    Ref env = self_attr(fn, self, n_env);
    if (!env) return Ref();
    Ref vr = bv::getattr(env.get(), name(fn, n_vr));
    if (!vr) return Ref();
    Ref info = bv::getattr(vr.get(), name(fn, n_g_BelvaneInputInfo));
    if (!info) return Ref();
    return bv::getattr(info.get(), name(fn, n_RealTargetList));
}

Ref target_keys(bv::Function* fn, PyObject* self) {
    Ref todotmc = bv::global(fn, name(fn, n_todotmc));
    if (!todotmc) return Ref();
    Ref targets = real_target_list(fn, self);
    if (!targets) return Ref();
    return bv::call(todotmc.get(), targets.get());
}

Ref target_key_of(bv::Function* fn, PyObject* market, PyObject* code) {
    Ref todotmc = bv::global(fn, name(fn, n_todotmc));
    if (!todotmc) return Ref();
    Ref target = Ref::steal(PyDict_New());
    if (!target || PyDict_SetItem(target.get(), name(fn, n_Market), market) < 0 ||
        PyDict_SetItem(target.get(), name(fn, n_Code), code) < 0)
        return Ref();
    return bv::call(todotmc.get(), target.get());
}

Ref new_record(bv::Function* fn) {
    Ref cls = bv::global(fn, name(fn, n_OrderedDict));
    if (!cls) return Ref();
    if (cls.get() == reinterpret_cast<PyObject*>(&PyODict_Type)) return Ref::steal(PyODict_New());
    return bv::call(cls.get());
}

bool set_item(PyObject* record, PyObject* key, PyObject* value) {
    if (PyODict_CheckExact(record)) return PyODict_SetItem(record, key, value) == 0;
    return PyObject_SetItem(record, key, value) == 0;
}

// numpy's own isnan gives False for any int it can hold as int64 and the C
// answer for a float, so those are decided here without the call.
int counts_as_nan(bv::Function* fn, PyObject* stamp) {
    Ref np = bv::global(fn, name(fn, n_np));
    if (!np) return -1;
    Ref isnan = bv::getattr(np.get(), name(fn, n_isnan));
    if (!isnan) return -1;
    if (isnan.get() == state(fn).numpy_isnan) {
        if (PyFloat_CheckExact(stamp)) return std::isnan(PyFloat_AS_DOUBLE(stamp)) ? 1 : 0;
        if (PyLong_CheckExact(stamp)) {
            int overflow = 0;
            long long v = PyLong_AsLongLongAndOverflow(stamp, &overflow);
            if (v == -1 && PyErr_Occurred()) return -1;
            if (!overflow) return 0;
        }
    }
    Ref r = bv::call(isnan.get(), stamp);
    if (!r) return -1;
    return PyObject_IsTrue(r.get());
}

Ref numpy_nan(bv::Function* fn) {
    Ref np = bv::global(fn, name(fn, n_np));
    if (!np) return Ref();
    return bv::getattr(np.get(), name(fn, n_nan));
}

Ref convert_stamp(bv::Function* fn, PyObject* stamp) {
    Ref convert = bv::global(fn, name(fn, n_mft_to_datetime));
    if (!convert) return Ref();
    Ref one = Ref::steal(PyList_New(1));
    if (!one) return Ref();
    PyList_SET_ITEM(one.get(), 0, bv::new_ref(stamp));
    Ref times = bv::call(convert.get(), one.get());
    if (!times) return Ref();
    if (PyList_CheckExact(times.get()) && PyList_GET_SIZE(times.get()) > 0)
        return Ref::borrow(PyList_GET_ITEM(times.get(), 0));
    return Ref::steal(PyObject_GetItem(times.get(), state(fn).zero));
}

Ref stamp_time(bv::Function* fn, PyObject* stamp) {
    int nan = counts_as_nan(fn, stamp);
    if (nan < 0) return Ref();
    return nan ? numpy_nan(fn) : convert_stamp(fn, stamp);
}

int not_negative(bv::Function* fn, PyObject* idx) {
    if (PyLong_CheckExact(idx)) {
        int overflow = 0;
        long long i = PyLong_AsLongLongAndOverflow(idx, &overflow);
        if (i == -1 && PyErr_Occurred()) return -1;
        return overflow ? overflow > 0 : i >= 0;
    }
    Ref r = Ref::steal(PyObject_RichCompare(state(fn).zero, idx, Py_LE));
    if (!r) return -1;
    return PyObject_IsTrue(r.get());
}

int below_length(PyObject* idx, PyObject* seq) {
    Py_ssize_t n = PyObject_Size(seq);
    if (n < 0) return -1;
    if (PyLong_CheckExact(idx)) {
        int overflow = 0;
        long long i = PyLong_AsLongLongAndOverflow(idx, &overflow);
        if (i == -1 && PyErr_Occurred()) return -1;
        if (overflow) return overflow < 0;
        return i < (long long)n;
    }
    Ref len = Ref::steal(PyLong_FromSsize_t(n));
    if (!len) return -1;
    Ref r = Ref::steal(PyObject_RichCompare(idx, len.get(), Py_LT));
    if (!r) return -1;
    return PyObject_IsTrue(r.get());
}

}  // namespace accounts

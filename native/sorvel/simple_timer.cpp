// SimpleTimer: a stopwatch that sums its runs and renders them with the
// Chinese unit names. Its methods reach each other through self, and the
// unit table and the clock through the module globals, at every use.
#include "stats_util.hpp"

#include "../runtime/datetime_fields.hpp"

#include <cmath>
#include <cstdio>

namespace sorvel {
namespace stats {
namespace {

// SimpleTimer._unit_maps, through whatever the module global names now.
Ref unit_maps(bv::Function* fn) {
    Ref cls = bv::global(fn, name(fn, n_SimpleTimer));
    if (!cls) return Ref();
    return class_attr(cls.get(), name(fn, n__unit_maps));
}

// Whether the property still has the getter it was created with
// (re-initialising a property in place replaces it); -1 on error.
int own_getter(PyObject* prop, PyObject* fget) {
    Ref now = Ref::steal(bv::property_fget(prop));
    if (!now) return -1;
    return now.get() == fget;
}

// Truth of self.running. While the lookup still finds the class body's own
// property with its own getter, the getter's body runs here.
int is_running(bv::Function* fn, PyObject* self) {
    State& s = st(fn);
    PyTypeObject* tp = Py_TYPE(self);
    int own = tp->tp_getattro == PyObject_GenericGetAttr && s.own_running &&
              bv::type_lookup(tp, s.names[n_running]) == s.own_running
                  ? own_getter(s.own_running, s.own_running_fget)
                  : 0;
    if (own < 0) return -1;
    if (own) {
        Ref start = bv::getattr(self, s.names[n_start_time]);
        if (!start) return -1;
        return start.get() != Py_None;
    }
    Ref r = bv::getattr(self, s.names[n_running]);
    if (!r) return -1;
    return PyObject_IsTrue(r.get());
}

// self.total(), self._raise_not_start(), self._raise_started()
Ref self_total(bv::Function* fn, PyObject* self) {
    return bv::call_method(self, name(fn, n_total));
}
bool check_started(bv::Function* fn, PyObject* self) {
    return bool(bv::call_method(self, name(fn, n__raise_not_start)));
}
bool check_stopped(bv::Function* fn, PyObject* self) {
    return bool(bv::call_method(self, name(fn, n__raise_started)));
}

PyObject* timer_init(bv::Function* fn, PyObject* const* args) {
    PyObject *self = args[0], *prompt = args[1], *unit = args[2], *start = args[3];
    Ref zero = bv::from_long(0);
    if (!zero || PyObject_SetAttr(self, name(fn, n_start_time), Py_None) < 0 ||
        PyObject_SetAttr(self, name(fn, n_unit), unit) < 0 ||
        PyObject_SetAttr(self, name(fn, n_prompt), prompt) < 0 ||
        PyObject_SetAttr(self, name(fn, n_elapsed), zero.get()) < 0)
        return nullptr;
    if (!bv::call_method(self, name(fn, n_reset), prompt, unit)) return nullptr;
    int truth = PyObject_IsTrue(start);
    if (truth < 0) return nullptr;
    if (truth && !call_for_effect(self, name(fn, n_start))) return nullptr;
    Py_RETURN_NONE;
}

// The decimal text that '%d' gives for an exact int, or for a float that
// converts to an int without loss of range; false for anything else.
bool value_digits(PyObject* value, char* buf, size_t size) {
    long long v;
    if (PyLong_CheckExact(value)) {
        int overflow;
        v = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow) return false;
    } else if (PyFloat_CheckExact(value)) {
        double d = PyFloat_AS_DOUBLE(value);
        if (!(d > -9.0e18 && d < 9.0e18)) return false;  // NaN too: the host's error
        v = (long long)d;                                 // truncates, as int() does
    } else {
        return false;
    }
    snprintf(buf, size, "%lld", v);
    return true;
}

// self.prompt + ' %d %s' % (value, self.chs_unit)
PyObject* timer_str(bv::Function* fn, PyObject* const* args) {
    PyObject* self = args[0];
    int running = is_running(fn, self);
    if (running < 0) return nullptr;
    Ref value = running ? self_total(fn, self) : bv::getattr(self, name(fn, n_elapsed));
    if (!value) return nullptr;
    Ref prompt = bv::getattr(self, name(fn, n_prompt));
    if (!prompt) return nullptr;
    Ref chs = bv::getattr(self, name(fn, n_chs_unit));
    if (!chs) return nullptr;
    char digits[32];
    bool fast = PyUnicode_CheckExact(chs.get()) && value_digits(value.get(), digits, sizeof digits);
    if (fast && PyUnicode_CheckExact(prompt.get()))
        return PyUnicode_FromFormat("%U %s %U", prompt.get(), digits, chs.get());
    Ref text;
    if (fast) {
        text = Ref::steal(PyUnicode_FromFormat(" %s %U", digits, chs.get()));
    } else {
        Ref pair = Ref::steal(PyTuple_Pack(2, value.get(), chs.get()));
        if (!pair) return nullptr;
        text = Ref::steal(PyUnicode_Format(name(fn, n_value_fmt), pair.get()));
    }
    if (!text) return nullptr;
    return concat(prompt.get(), text.get()).release();
}

PyObject* timer_enter(bv::Function* fn, PyObject* const* args) {
    if (!call_for_effect(args[0], name(fn, n_start))) return nullptr;
    return bv::new_ref(args[0]);
}

PyObject* timer_exit(bv::Function* fn, PyObject* const* args) {
    if (!call_for_effect(args[0], name(fn, n_stop))) return nullptr;
    Py_RETURN_NONE;
}

// maps[key] for the table: a plain dict is read directly, and a missing key
// takes subscription for the host's KeyError.
Ref table_entry(PyObject* maps, PyObject* key) {
    if (PyDict_CheckExact(maps)) {
        PyObject* v = PyDict_GetItemWithError(maps, key);
        if (v) return Ref::borrow(v);
        if (PyErr_Occurred()) return Ref();
    }
    return Ref::steal(PyObject_GetItem(maps, key));
}

// Milliseconds per unit: the "sec" entry, replaced by the timer unit's own
// entry when the table has one.
Ref unit_divisor(bv::Function* fn, PyObject* self) {
    Ref maps = unit_maps(fn);
    if (!maps) return Ref();
    Ref entry = table_entry(maps.get(), name(fn, n_sec));
    if (!entry) return Ref();
    Ref divisor = item_at(entry.get(), 1);
    if (!divisor) return Ref();
    Ref unit = bv::getattr(self, name(fn, n_unit));
    if (!unit) return Ref();
    maps = unit_maps(fn);
    if (!maps) return Ref();
    if (PyDict_CheckExact(maps.get()) && PyUnicode_CheckExact(unit.get())) {
        // `in` and the subscription that follows run no Python code for a
        // str key, so the table read between them is this same dict: one
        // lookup answers both.
        PyObject* v = PyDict_GetItemWithError(maps.get(), unit.get());
        if (!v) return PyErr_Occurred() ? Ref() : std::move(divisor);
        entry = Ref::borrow(v);
        return item_at(entry.get(), 1);
    }
    int known = PySequence_Contains(maps.get(), unit.get());
    if (known < 0) return Ref();
    if (!known) return divisor;
    maps = unit_maps(fn);
    if (!maps) return Ref();
    entry = Ref::steal(PyObject_GetItem(maps.get(), unit.get()));
    if (!entry) return Ref();
    return item_at(entry.get(), 1);
}

// total_milliseconds / divisor for the difference days, seconds,
// microseconds (normalised as timedelta keeps them): the int part is exact
// in 64 bits and both conversions to double round as Python's do.
PyObject* in_units(long long days, long long seconds, long long micro, PyObject* divisor) {
    long long whole = days * 86400000LL + seconds * 1000LL;
    double ms = (double)whole + (double)micro / 1000.0;
    return bv::true_divide(bv::Num::real(ms), bv::Num::of(divisor)).box().release();
}

// Days since 0001-01-01 plus one, as the datetime module counts them.
long long ordinal(int y, int m, int d) {
    static const int before_month[] = {0, 0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    bool leap = y % 4 == 0 && (y % 100 != 0 || y % 400 == 0);
    long long py = y - 1;
    return py * 365 + py / 4 - py / 100 + py / 400 + before_month[m] + (m > 2 && leap) + d;
}

long long micro_of_day(PyObject* dt) {
    return ((PyDateTime_DATE_GET_HOUR(dt) * 3600LL + PyDateTime_DATE_GET_MINUTE(dt) * 60LL +
             PyDateTime_DATE_GET_SECOND(dt)) * 1000000LL +
            PyDateTime_DATE_GET_MICROSECOND(dt));
}

// An exact datetime without a tzinfo (the general path takes the others).
bool naive(PyObject* dt) {
    int tz = bv::datetime_has_tzinfo(dt);
    if (tz < 0) PyErr_Clear();
    return tz == 0;
}

// end - start for two naive datetimes, without making the timedelta: the
// fields are subtracted and normalised exactly as the type does.
bool naive_difference(PyObject* end, PyObject* start, long long& days, long long& seconds,
                      long long& micro) {
    if (!PyDateTime_CheckExact(end) || !PyDateTime_CheckExact(start) ||
        !naive(end) || !naive(start))
        return false;
    const long long day = 86400LL * 1000000LL;
    long long total =
        (ordinal(PyDateTime_GET_YEAR(end), PyDateTime_GET_MONTH(end), PyDateTime_GET_DAY(end)) -
         ordinal(PyDateTime_GET_YEAR(start), PyDateTime_GET_MONTH(start),
                 PyDateTime_GET_DAY(start))) * day +
        micro_of_day(end) - micro_of_day(start);
    days = total / day;
    long long rest = total % day;
    if (rest < 0) {
        rest += day;
        --days;
    }
    seconds = rest / 1000000LL;
    micro = rest % 1000000LL;
    return true;
}

PyObject* timer_total(bv::Function* fn, PyObject* const* args) {
    PyObject* self = args[0];
    if (!check_started(fn, self)) return nullptr;
    Ref end = clock_now(fn);
    if (!end) return nullptr;
    Ref start = bv::getattr(self, name(fn, n_start_time));
    if (!start) return nullptr;
    long long d_days, d_seconds, d_micro;
    if (naive_difference(end.get(), start.get(), d_days, d_seconds, d_micro)) {
        Ref divisor = unit_divisor(fn, self);
        if (!divisor) return nullptr;
        return in_units(d_days, d_seconds, d_micro, divisor.get());
    }
    Ref delta = Ref::steal(PyNumber_Subtract(end.get(), start.get()));
    if (!delta) return nullptr;
    Ref divisor = unit_divisor(fn, self);
    if (!divisor) return nullptr;
    if (PyDelta_CheckExact(delta.get()))
        return in_units(PyDateTime_DELTA_GET_DAYS(delta.get()), PyDateTime_DELTA_GET_SECONDS(delta.get()),
                        PyDateTime_DELTA_GET_MICROSECONDS(delta.get()), divisor.get());

    // Whatever the clock in the module global returned: Python's operators.
    State& s = st(fn);
    Ref days = bv::getattr(delta.get(), name(fn, n_days));
    if (!days) return nullptr;
    Ref a = bv::multiply(days.get(), s.ms_per_day);
    if (!a) return nullptr;
    Ref seconds = bv::getattr(delta.get(), name(fn, n_seconds));
    if (!seconds) return nullptr;
    Ref b = bv::multiply(seconds.get(), s.thousand);
    if (!b) return nullptr;
    Ref ab = bv::add(a.get(), b.get());
    if (!ab) return nullptr;
    Ref micro = bv::getattr(delta.get(), name(fn, n_microseconds));
    if (!micro) return nullptr;
    Ref c = bv::true_divide(micro.get(), s.thousand);
    if (!c) return nullptr;
    Ref total = bv::add(ab.get(), c.get());
    if (!total) return nullptr;
    return bv::true_divide(total.get(), divisor.get()).release();
}

PyObject* timer_start(bv::Function* fn, PyObject* const* args) {
    PyObject* self = args[0];
    if (!check_stopped(fn, self)) return nullptr;
    Ref t = clock_now(fn);
    if (!t || PyObject_SetAttr(self, name(fn, n_start_time), t.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* timer_stop(bv::Function* fn, PyObject* const* args) {
    PyObject* self = args[0];
    if (!check_started(fn, self)) return nullptr;
    Ref elapsed = bv::getattr(self, name(fn, n_elapsed));
    if (!elapsed) return nullptr;
    Ref run = self_total(fn, self);
    if (!run) return nullptr;
    Ref sum = inplace_add(elapsed.get(), run.get());
    if (!sum || PyObject_SetAttr(self, name(fn, n_elapsed), sum.get()) < 0) return nullptr;
    if (PyObject_SetAttr(self, name(fn, n_start_time), Py_None) < 0) return nullptr;
    return PyObject_GetAttr(self, name(fn, n_elapsed));
}

PyObject* timer_reset(bv::Function* fn, PyObject* const* args) {
    PyObject *self = args[0], *prompt = args[1], *unit = args[2];
    if (prompt != Py_None && PyObject_SetAttr(self, name(fn, n_prompt), prompt) < 0) return nullptr;
    if (unit != Py_None && PyObject_SetAttr(self, name(fn, n_unit), unit) < 0) return nullptr;
    Ref current = bv::getattr(self, name(fn, n_unit));
    if (!current) return nullptr;
    Ref maps = unit_maps(fn);
    if (!maps) return nullptr;
    int known = PySequence_Contains(maps.get(), current.get());
    if (known < 0) return nullptr;
    if (!known && PyObject_SetAttr(self, name(fn, n_unit), name(fn, n_sec)) < 0) return nullptr;
    Ref zero = bv::from_long(0);
    if (!zero || PyObject_SetAttr(self, name(fn, n_elapsed), zero.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

// reset, then fold the interrupted run into the fresh elapsed, then start.
PyObject* timer_restart(bv::Function* fn, PyObject* const* args) {
    PyObject *self = args[0], *prompt = args[1], *unit = args[2];
    if (!call_method_kw(self, name(fn, n_reset), st(fn).kw_prompt_unit, prompt, unit))
        return nullptr;
    int running = is_running(fn, self);
    if (running < 0) return nullptr;
    if (running && !call_for_effect(self, name(fn, n_stop))) return nullptr;
    if (!call_for_effect(self, name(fn, n_start))) return nullptr;
    Py_RETURN_NONE;
}

PyObject* timer_raise_not_start(bv::Function* fn, PyObject* const* args) {
    int running = is_running(fn, args[0]);
    if (running < 0) return nullptr;
    if (!running) {
        PyErr_SetString(PyExc_RuntimeError, "Not started");
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* timer_raise_started(bv::Function* fn, PyObject* const* args) {
    int running = is_running(fn, args[0]);
    if (running < 0) return nullptr;
    if (running) {
        PyErr_SetString(PyExc_RuntimeError, "Already started");
        return nullptr;
    }
    Py_RETURN_NONE;
}

// SimpleTimer._unit_maps.get(self.unit, '秒')[0]
PyObject* timer_chs_unit(bv::Function* fn, PyObject* const* args) {
    PyObject* self = args[0];
    Ref maps = unit_maps(fn);
    if (!maps) return nullptr;
    Ref entry;
    if (PyDict_CheckExact(maps.get())) {
        Ref unit = bv::getattr(self, name(fn, n_unit));
        if (!unit) return nullptr;
        PyObject* v = PyDict_GetItemWithError(maps.get(), unit.get());
        if (!v && PyErr_Occurred()) return nullptr;
        entry = Ref::borrow(v ? v : name(fn, n_sec_chs));
    } else {
        Ref get = bv::getattr(maps.get(), name(fn, n_get));
        if (!get) return nullptr;
        Ref unit = bv::getattr(self, name(fn, n_unit));
        if (!unit) return nullptr;
        entry = bv::call(get.get(), unit.get(), name(fn, n_sec_chs));
        if (!entry) return nullptr;
    }
    return item_at(entry.get(), 0).release();
}

PyObject* timer_running(bv::Function* fn, PyObject* const* args) {
    Ref start = bv::getattr(args[0], name(fn, n_start_time));
    if (!start) return nullptr;
    return PyBool_FromLong(start.get() != Py_None);
}

const bv::Param kSelf[] = {bv::arg("self")};
const bv::Param kInit[] = {bv::arg("self"), bv::arg_str("prompt", ""), bv::arg_str("unit", "sec"),
                           bv::arg_bool("start", true)};
const bv::Param kExit[] = {bv::arg("self"), bv::varargs("args")};
const bv::Param kReset[] = {bv::arg("self"), bv::arg_none("prompt"), bv::arg_none("unit")};

const bv::Member kMembers[] = {
    bv::method("__init__", timer_init, kInit),
    bv::method("__str__", timer_str, kSelf),
    bv::method("__enter__", timer_enter, kSelf),
    bv::method("__exit__", timer_exit, kExit),
    bv::method("total", timer_total, kSelf),
    bv::method("start", timer_start, kSelf),
    bv::method("stop", timer_stop, kSelf),
    bv::method("reset", timer_reset, kReset),
    bv::method("restart", timer_restart, kReset),
    bv::method("_raise_not_start", timer_raise_not_start, kSelf),
    bv::method("_raise_started", timer_raise_started, kSelf),
    bv::property("chs_unit", timer_chs_unit),
    bv::property("running", timer_running),
};

struct UnitRow {
    const char* key;
    const char* chs;
    long long ms;
};

const UnitRow kUnits[] = {
    {"year", "年", 31536000000LL}, {"mon", "月", 2592000000LL}, {"day", "日", 86400000LL},
    {"hour", "时", 3600000LL},     {"min", "分", 60000LL},       {"sec", "秒", 1000LL},
    {"ms", "毫秒", 1LL},
};

Ref make_unit_maps() {
    Ref maps = Ref::steal(PyDict_New());
    if (!maps) return Ref();
    for (const UnitRow& row : kUnits) {
        Ref chs = bv::from_utf8(row.chs);
        Ref ms = bv::from_long(row.ms);
        if (!chs || !ms) return Ref();
        Ref pair = Ref::steal(PyList_New(2));
        if (!pair) return Ref();
        PyList_SET_ITEM(pair.get(), 0, chs.release());
        PyList_SET_ITEM(pair.get(), 1, ms.release());
        if (PyDict_SetItemString(maps.get(), row.key, pair.get()) < 0) return Ref();
    }
    return maps;
}

}  // namespace
}  // namespace stats

bool define_simple_timer(bv::ModuleBody& m) {
    if (!stats::prepare(m)) return false;
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) return false;
    bv::Ref timer = bv::ClassBuilder(m, "SimpleTimer")
                    .attr("_unit_maps", stats::make_unit_maps())
                    .members(stats::kMembers)
                    .build();
    if (!timer) return false;
    stats::State& s = m.state<State>().stats;
    PyObject* running = bv::type_lookup(reinterpret_cast<PyTypeObject*>(timer.get()),
                                       s.names[stats::n_running]);
    if (running && !s.own_running) {
        s.own_running = bv::new_ref(running);
        s.own_running_fget = bv::property_fget(running);
        if (!s.own_running_fget) return false;
    }
    return m.bind("SimpleTimer", std::move(timer));
}

}  // namespace sorvel

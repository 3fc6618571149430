// StatusCollect: process-wide named timers and record lines. Every object's
// attribute namespace is the one class-level dict, so constructing any
// object resets the statistics of all.
#include "stats_util.hpp"

#include <datetime.h>

#include <cstdio>

namespace sorvel {
namespace stats {
namespace {

// self._time.get(name): the timer, or an empty Ref (no error) for none.
int timer_of(bv::Function* fn, PyObject* self, PyObject* key, Ref& out) {
    Ref timers = bv::getattr(self, name(fn, n__time));
    if (!timers) return -1;
    int found = mapping_get(st(fn), timers.get(), key, out, false);
    if (found > 0 && out.get() == Py_None) {
        out.reset();
        return 0;
    }
    return found;
}

// self._recoder.get(name, []): 1 with the lines, 0 when there are none
// stored (the default empty list stands for them), -1 on error.
int lines_of(bv::Function* fn, PyObject* self, PyObject* key, Ref& out) {
    Ref recoder = bv::getattr(self, name(fn, n__recoder));
    if (!recoder) return -1;
    return mapping_get(st(fn), recoder.get(), key, out, true);
}

PyObject* collect_init(bv::Function* fn, PyObject* const* args) {
    PyObject* self = args[0];
    Ref shared = bv::getattr(self, name(fn, n__StatusCollect__state));
    if (!shared || PyObject_SetAttr(self, name(fn, n___dict__), shared.get()) < 0) return nullptr;
    Ref timers = Ref::steal(PyDict_New());
    if (!timers || PyObject_SetAttr(self, name(fn, n__time), timers.get()) < 0) return nullptr;
    Ref factory = bv::global(fn, name(fn, n_defaultdict));
    if (!factory) return nullptr;
    Ref list = bv::global(fn, name(fn, n_list));
    if (!list) return nullptr;
    Ref recoder = bv::call(factory.get(), list.get());
    if (!recoder || PyObject_SetAttr(self, name(fn, n__recoder), recoder.get()) < 0) return nullptr;
    if (PyObject_SetAttr(self, name(fn, n_env), Py_None) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* collect_start_time(bv::Function* fn, PyObject* const* args) {
    PyObject *self = args[0], *key = args[1], *prompt = args[2], *unit = args[3];
    State& s = st(fn);
    if (prompt != Py_None && !PyUnicode_CheckExact(prompt)) {
        Ref type_name = bv::getattr(reinterpret_cast<PyObject*>(Py_TYPE(prompt)), name(fn, n___name__));
        if (!type_name) return nullptr;
        Ref values = Ref::steal(PyTuple_Pack(3, name(fn, n_prompt), name(fn, n_str), type_name.get()));
        if (!values) return nullptr;
        Ref message = Ref::steal(PyUnicode_Format(name(fn, n_prompt_type_fmt), values.get()));
        if (!message) return nullptr;
        PyErr_SetObject(PyExc_TypeError, message.get());
        return nullptr;
    }
    Ref timers = bv::getattr(self, name(fn, n__time));
    if (!timers) return nullptr;
    int known = PySequence_Contains(timers.get(), key);
    if (known < 0) return nullptr;
    if (!known) {
        Ref cls = bv::global(fn, name(fn, n_SimpleTimer));
        if (!cls) return nullptr;
        PyObject* stack[] = {prompt, unit, Py_True};
        Ref timer = bv::call_kw(cls.get(), stack, 0, s.kw_prompt_unit_start);
        if (!timer) return nullptr;
        timers = bv::getattr(self, name(fn, n__time));
        if (!timers || PyObject_SetItem(timers.get(), key, timer.get()) < 0) return nullptr;
    } else {
        timers = bv::getattr(self, name(fn, n__time));
        if (!timers) return nullptr;
        Ref timer = Ref::steal(PyObject_GetItem(timers.get(), key));
        if (!timer) return nullptr;
        if (!call_method_kw(timer.get(), name(fn, n_restart), s.kw_prompt_unit, prompt, unit))
            return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* collect_stop_time(bv::Function* fn, PyObject* const* args) {
    PyObject *self = args[0], *key = args[1], *rm = args[2];
    Ref timer;
    int found = timer_of(fn, self, key, timer);
    if (found < 0) return nullptr;
    if (!found) return PyLong_FromLong(0);
    Ref total = bv::call_method(timer.get(), name(fn, n_total));
    if (!total) return nullptr;
    Ref running = bv::getattr(timer.get(), name(fn, n_running));
    if (!running) return nullptr;
    int truth = PyObject_IsTrue(running.get());
    if (truth < 0) return nullptr;
    if (truth && !call_for_effect(timer.get(), name(fn, n_stop))) return nullptr;
    truth = PyObject_IsTrue(rm);
    if (truth < 0) return nullptr;
    if (truth) {
        const Name stores[] = {n__time, n__recoder};
        for (Name store : stores) {
            Ref d = bv::getattr(self, name(fn, store));
            if (!d || !bv::call_method(d.get(), name(fn, n_pop), key, Py_None)) return nullptr;
        }
    }
    return total.release();
}

PyObject* collect_use_time(bv::Function* fn, PyObject* const* args) {
    Ref timer;
    int found = timer_of(fn, args[0], args[1], timer);
    if (found < 0) return nullptr;
    if (!found) return PyLong_FromLong(0);
    return bv::call_method(timer.get(), name(fn, n_total)).release();
}

PyObject* collect_restart_time(bv::Function* fn, PyObject* const* args) {
    Ref timer;
    int found = timer_of(fn, args[0], args[1], timer);
    if (found < 0) return nullptr;
    if (!found) return PyLong_FromLong(0);
    if (!call_for_effect(timer.get(), name(fn, n_restart))) return nullptr;
    Py_RETURN_NONE;
}

// now.strftime('%Y-%m-%d %H:%M:%S,%f') + ' '. A real datetime of a
// four-digit year is written directly: every field is a zero-padded number,
// so the text is the one strftime makes on every platform.
Ref stamp_and_blank(bv::Function* fn, PyObject* now) {
    if (PyDateTime_CheckExact(now)) {
        int year = PyDateTime_GET_YEAR(now);
        if (year >= 1000 && year <= 9999) {
            char buf[40];
            int n = snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d,%06d ", year,
                             PyDateTime_GET_MONTH(now), PyDateTime_GET_DAY(now),
                             PyDateTime_DATE_GET_HOUR(now), PyDateTime_DATE_GET_MINUTE(now),
                             PyDateTime_DATE_GET_SECOND(now), PyDateTime_DATE_GET_MICROSECOND(now));
            return Ref::steal(PyUnicode_FromStringAndSize(buf, n));
        }
    }
    Ref stamp = bv::call_method(now, name(fn, n_strftime), name(fn, n_stamp_fmt));
    if (!stamp) return Ref();
    return concat(stamp.get(), name(fn, n_blank));
}

PyObject* collect_recoder_once(bv::Function* fn, PyObject* const* args) {
    PyObject *self = args[0], *key = args[1], *tips = args[2], *reset = args[3];
    Ref timer;
    int found = timer_of(fn, self, key, timer);
    if (found < 0) return nullptr;
    if (!found) return bv::new_ref(st(fn).empty_str);
    Ref now = clock_now(fn);
    if (!now) return nullptr;
    Ref line = stamp_and_blank(fn, now.get());
    if (!line) return nullptr;
    if (tips != Py_None) {
        Ref text = Ref::steal(PyObject_Str(tips));
        if (!text) return nullptr;
        line = concat(line.get(), text.get());
        if (!line) return nullptr;
    }
    Ref timer_text = Ref::steal(PyObject_Str(timer.get()));
    if (!timer_text) return nullptr;
    line = concat(line.get(), timer_text.get());
    if (!line) return nullptr;
    Ref recoder = bv::getattr(self, name(fn, n__recoder));
    if (!recoder) return nullptr;
    Ref lines = Ref::steal(PyObject_GetItem(recoder.get(), key));
    if (!lines) return nullptr;
    if (PyList_CheckExact(lines.get())) {
        if (PyList_Append(lines.get(), line.get()) < 0) return nullptr;
    } else if (!bv::call_method(lines.get(), name(fn, n_append), line.get())) {
        return nullptr;
    }
    int truth = PyObject_IsTrue(reset);
    if (truth < 0) return nullptr;
    if (truth && !call_for_effect(timer.get(), name(fn, n_reset))) return nullptr;
    return line.release();
}

PyObject* collect_recoder_count(bv::Function* fn, PyObject* const* args) {
    Ref lines;
    int found = lines_of(fn, args[0], args[1], lines);
    if (found < 0) return nullptr;
    if (!found) return PyLong_FromLong(0);
    Py_ssize_t n = PyObject_Length(lines.get());
    if (n < 0) return nullptr;
    return PyLong_FromSsize_t(n);
}

PyObject* collect_time_object(bv::Function* fn, PyObject* const* args) {
    Ref timers = bv::getattr(args[0], name(fn, n__time));
    if (!timers) return nullptr;
    Ref timer;
    int found = mapping_get(st(fn), timers.get(), args[1], timer, false);
    if (found < 0) return nullptr;
    return found ? timer.release() : bv::new_ref(Py_None);
}

// env.gv.<getter>(env.smm.<attr>), self.env read afresh for each step as
// the expression does; "default" without an environment.
Ref env_text(bv::Function* fn, PyObject* self, Name getter, Name attr) {
    Ref env = bv::getattr(self, name(fn, n_env));
    if (!env) return Ref();
    if (env.get() == Py_None) return Ref::borrow(name(fn, n_default));
    env = bv::getattr(self, name(fn, n_env));
    if (!env) return Ref();
    Ref gv = bv::getattr(env.get(), name(fn, n_gv));
    if (!gv) return Ref();
    Ref method = bv::getattr(gv.get(), name(fn, getter));
    if (!method) return Ref();
    env = bv::getattr(self, name(fn, n_env));
    if (!env) return Ref();
    Ref smm = bv::getattr(env.get(), name(fn, n_smm));
    if (!smm) return Ref();
    Ref value = bv::getattr(smm.get(), name(fn, attr));
    if (!value) return Ref();
    return bv::call(method.get(), value.get());
}

PyObject* collect_stat_info(bv::Function* fn, PyObject* const* args) {
    PyObject *self = args[0], *key = args[1], *stop = args[2];
    State& s = st(fn);
    Ref timer;
    int found = timer_of(fn, self, key, timer);
    if (found < 0) return nullptr;
    if (!found) Py_RETURN_NONE;
    Ref run_mode = env_text(fn, self, n_run_mode_name, n_cur_run_mode);
    if (!run_mode) return nullptr;
    Ref phase = env_text(fn, self, n_phase_name, n_cur_run_mode_phase);
    if (!phase) return nullptr;
    Ref lines;
    found = lines_of(fn, self, key, lines);
    if (found < 0) return nullptr;
    Ref info = found ? Ref::steal(PyUnicode_Join(name(fn, n_line_sep), lines.get()))
                     : Ref::borrow(s.empty_str);
    if (!info) return nullptr;
    // str.format renders the fields in the template's order.
    Ref empty = Ref::borrow(s.empty_str);
    Ref f_name = Ref::steal(PyObject_Format(key, empty.get()));
    if (!f_name) return nullptr;
    Ref f_mode = Ref::steal(PyObject_Format(run_mode.get(), empty.get()));
    if (!f_mode) return nullptr;
    Ref f_phase = Ref::steal(PyObject_Format(phase.get(), empty.get()));
    if (!f_phase) return nullptr;
    Ref f_info = Ref::steal(PyObject_Format(info.get(), empty.get()));
    if (!f_info) return nullptr;
    Ref parts = Ref::steal(PyTuple_Pack(9, name(fn, n_report_head), f_name.get(),
                                        name(fn, n_report_mode), f_mode.get(),
                                        name(fn, n_report_phase), f_phase.get(),
                                        name(fn, n_report_info), f_info.get(),
                                        name(fn, n_report_tail)));
    if (!parts) return nullptr;
    Ref report = Ref::steal(PyUnicode_Join(s.empty_str, parts.get()));
    if (!report) return nullptr;
    int truth = PyObject_IsTrue(stop);
    if (truth < 0) return nullptr;
    if (truth && !bv::call_method(self, name(fn, n_stop_time), key)) return nullptr;
    return report.release();
}

PyObject* collect_last_info(bv::Function* fn, PyObject* const* args) {
    Ref lines;
    int found = lines_of(fn, args[0], args[1], lines);
    if (found < 0) return nullptr;
    if (!found) Py_RETURN_NONE;
    int truth = PyObject_IsTrue(lines.get());
    if (truth < 0) return nullptr;
    if (!truth) Py_RETURN_NONE;
    return item_at(lines.get(), -1).release();
}

PyObject* collect_clear_info(bv::Function* fn, PyObject* const* args) {
    Ref lines;
    int found = lines_of(fn, args[0], args[1], lines);
    if (found < 0) return nullptr;
    if (found && !call_for_effect(lines.get(), name(fn, n_clear))) return nullptr;
    Py_RETURN_NONE;
}

// The shared object lives in the shared namespace itself, made by the
// module-level class whatever `cls` is.
PyObject* collect_instance(bv::Function* fn, PyObject* const* args) {
    PyObject* cls = args[0];
    PyObject* key = name(fn, n_StatusCollect);
    Ref shared = bv::getattr(cls, name(fn, n__StatusCollect__state));
    if (!shared) return nullptr;
    int known = PySequence_Contains(shared.get(), key);
    if (known < 0) return nullptr;
    if (!known) {
        Ref klass = bv::global(fn, key);
        if (!klass) return nullptr;
        Ref obj = bv::call(klass.get());
        if (!obj) return nullptr;
        shared = bv::getattr(cls, name(fn, n__StatusCollect__state));
        if (!shared || PyObject_SetItem(shared.get(), key, obj.get()) < 0) return nullptr;
    }
    shared = bv::getattr(cls, name(fn, n__StatusCollect__state));
    if (!shared) return nullptr;
    Ref obj;
    int found = mapping_get(st(fn), shared.get(), key, obj, false);
    if (found < 0) return nullptr;
    return found ? obj.release() : bv::new_ref(Py_None);
}

const bv::Param kSelf[] = {bv::arg("self")};
const bv::Param kCls[] = {bv::arg("cls")};
const bv::Param kName[] = {bv::arg("self"), bv::arg("name")};
const bv::Param kStartTimeParams[] = {bv::arg("self"), bv::arg("name"), bv::arg("prompt"),
                                bv::arg_str("unit", "sec")};
const bv::Param kStopTimeParams[] = {bv::arg("self"), bv::arg("name"), bv::arg_bool("rm", false)};
const bv::Param kRecoderOnceParams[] = {bv::arg("self"), bv::arg("name"), bv::arg_none("tips"),
                                  bv::arg_bool("reset", false)};
const bv::Param kStatInfoParams[] = {bv::arg("self"), bv::arg("name"), bv::arg_bool("stop", false)};
const bv::Annotation kStartTimeAnn[] = {{"prompt", "str"}};
const bv::Annotation kInstanceAnn[] = {{"return", "StatusCollect"}};

const bv::Member kMembers[] = {
    bv::method("__init__", collect_init, kSelf),
    bv::method("start_time", collect_start_time, kStartTimeParams, kStartTimeAnn),
    bv::method("stop_time", collect_stop_time, kStopTimeParams),
    bv::method("use_time", collect_use_time, kName),
    bv::method("restart_time", collect_restart_time, kName),
    bv::method("recoder_once", collect_recoder_once, kRecoderOnceParams),
    bv::method("recoder_count", collect_recoder_count, kName),
    bv::method("time_object", collect_time_object, kName),
    bv::method("stat_info", collect_stat_info, kStatInfoParams),
    bv::method("last_info", collect_last_info, kName),
    bv::method("clear_info", collect_clear_info, kName),
    bv::classmethod("instance", collect_instance, kCls, kInstanceAnn),
};

}  // namespace
}  // namespace stats

bool define_status_collect(bv::ModuleBody& m) {
    if (!stats::prepare(m)) return false;
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) return false;
    bv::Ref collect = bv::ClassBuilder(m, "StatusCollect")
                      .attr("_StatusCollect__state", bv::Ref::steal(PyDict_New()))
                      .members(stats::kMembers)
                      .build();
    return m.bind("StatusCollect", std::move(collect));
}

}  // namespace sorvel

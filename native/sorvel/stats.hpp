// Names and objects of SimpleTimer, StatusCollect and RangeRecord. They live
// in their own namespace so that they never clash with the module's others.
#pragma once

#include "../runtime/module.hpp"

namespace sorvel {
namespace stats {

#define SORVEL_STATS_NAMES(X)                                                         \
    X(n_datetime, "datetime")                                                         \
    X(n_now, "now")                                                                   \
    X(n_strftime, "strftime")                                                         \
    X(n_SimpleTimer, "SimpleTimer")                                                   \
    X(n__unit_maps, "_unit_maps")                                                     \
    X(n_start_time, "start_time")                                                     \
    X(n_stop_time, "stop_time")                                                       \
    X(n_unit, "unit")                                                                 \
    X(n_prompt, "prompt")                                                             \
    X(n_elapsed, "elapsed")                                                           \
    X(n_reset, "reset")                                                               \
    X(n_start, "start")                                                               \
    X(n_stop, "stop")                                                                 \
    X(n_total, "total")                                                               \
    X(n_restart, "restart")                                                           \
    X(n_running, "running")                                                           \
    X(n_chs_unit, "chs_unit")                                                         \
    X(n__raise_not_start, "_raise_not_start")                                         \
    X(n__raise_started, "_raise_started")                                             \
    X(n_days, "days")                                                                 \
    X(n_seconds, "seconds")                                                           \
    X(n_microseconds, "microseconds")                                                 \
    X(n_get, "get")                                                                   \
    X(n_sec, "sec")                                                                   \
    X(n_sec_chs, "秒")                                                                \
    X(n_value_fmt, " %d %s")                                                          \
    X(n_stamp_fmt, "%Y-%m-%d %H:%M:%S,%f")                                            \
    X(n_blank, " ")                                                                   \
    X(n__StatusCollect__state, "_StatusCollect__state")                               \
    X(n___dict__, "__dict__")                                                         \
    X(n___name__, "__name__")                                                         \
    X(n__time, "_time")                                                               \
    X(n__recoder, "_recoder")                                                         \
    X(n_env, "env")                                                                   \
    X(n_StatusCollect, "StatusCollect")                                               \
    X(n_defaultdict, "defaultdict")                                                   \
    X(n_list, "list")                                                                 \
    X(n_pop, "pop")                                                                   \
    X(n_append, "append")                                                             \
    X(n_extend, "extend")                                                             \
    X(n_clear, "clear")                                                               \
    X(n_sort, "sort")                                                                 \
    X(n_gv, "gv")                                                                     \
    X(n_smm, "smm")                                                                   \
    X(n_run_mode_name, "run_mode_name")                                               \
    X(n_cur_run_mode, "cur_run_mode")                                                 \
    X(n_phase_name, "phase_name")                                                     \
    X(n_cur_run_mode_phase, "cur_run_mode_phase")                                     \
    X(n_default, "default")                                                           \
    X(n_line_sep, ".\n")                                                              \
    X(n_report_head,                                                                  \
      "============================================================\n统计名称：")     \
    X(n_report_mode, "\n运行模式: ")                                                  \
    X(n_report_phase, "\n运行阶段: ")                                                 \
    X(n_report_info, "\n运行详情：\n")                                                \
    X(n_report_tail, "\n============================================================\n") \
    X(n_prompt_type_fmt, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)") \
    X(n_str, "str")                                                                   \
    X(n__raw_record, "_raw_record")                                                   \
    X(n__record, "_record")                                                           \
    X(n__calc_record, "_calc_record")                                                 \
    X(n_comb_record, "comb_record")                                                   \
    X(n_sub_record, "sub_record")                                                     \
    X(n__do_increment_func, "_do_increment_func")                                     \
    X(n_key, "key")

enum Name : int { SORVEL_STATS_NAMES(BV_NAME_ENUM) kNameCount };

struct State {
    bv::Names<kNameCount> names;
    PyObject* kw_prompt_unit;        // ('prompt', 'unit')
    PyObject* kw_prompt_unit_start;  // ('prompt', 'unit', 'start')
    PyObject* kw_key;                // ('key',)
    PyObject* one;
    PyObject* minus_one;
    PyObject* ms_per_day;            // 86400000
    PyObject* thousand;              // 1000
    PyObject* empty_str;
    PyObject* defaultdict_type;      // collections.defaultdict, for dict fast paths
    PyObject* sort_key;              // the merge's sort key: x[0]
    PyObject* own_increment;         // RangeRecord's _do_increment_func as created
    PyObject* own_running;           // SimpleTimer's running property as created
    PyObject* own_running_fget;      // and its getter
    PyObject* datetime_module;       // the datetime module the body imported
    PyObject* datetime_now;          // its datetime.now, bound once (the type is immutable)

    // Made by the first of the three classes to be defined; idempotent.
    bool init() {
        static const char* const texts[] = {SORVEL_STATS_NAMES(BV_NAME_TEXT)};
        if (!names.init(texts)) return false;
        if (!kw_prompt_unit)
            kw_prompt_unit = PyTuple_Pack(2, names[n_prompt], names[n_unit]);
        if (!kw_prompt_unit_start)
            kw_prompt_unit_start = PyTuple_Pack(3, names[n_prompt], names[n_unit], names[n_start]);
        if (!kw_key) kw_key = PyTuple_Pack(1, names[n_key]);
        if (!one) one = PyLong_FromLong(1L);
        if (!minus_one) minus_one = PyLong_FromLong(-1L);
        if (!ms_per_day) ms_per_day = PyLong_FromLong(86400000L);
        if (!thousand) thousand = PyLong_FromLong(1000L);
        if (!empty_str) empty_str = PyUnicode_FromString("");
        return kw_prompt_unit && kw_prompt_unit_start && kw_key && one && minus_one && ms_per_day &&
               thousand && empty_str;
    }
    template <class F>
    void fields(F&& f) {
        f(names);
        f(kw_prompt_unit);
        f(kw_prompt_unit_start);
        f(kw_key);
        f(one);
        f(minus_one);
        f(ms_per_day);
        f(thousand);
        f(empty_str);
        f(defaultdict_type);
        f(sort_key);
        f(own_increment);
        f(own_running);
        f(own_running_fget);
        f(datetime_module);
        f(datetime_now);
    }
};

}  // namespace stats
}  // namespace sorvel

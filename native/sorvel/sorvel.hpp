// The toolkit module: its state and the pieces its body creates.
#pragma once

#include "../runtime/module.hpp"
#include "../runtime/unpack.hpp"
#include "stats.hpp"

namespace sorvel {

#define SORVEL_NAMES(X)                 \
    X(n_DotDict, "DotDict")             \
    X(n_OrderedDotDict, "OrderedDotDict") \
    X(n_OrderedDict, "OrderedDict")     \
    X(n_init, "__init__")               \
    X(n_getattribute, "__getattribute__") \
    X(n_items, "items")                 \
    X(n_keys, "keys")                   \
    X(n_uuid, "uuid")                   \
    X(n_getnode, "getnode")             \
    X(n_UUID, "UUID")                   \
    X(n_int, "int")                     \
    X(n_hex, "hex")                     \
    X(n_upper, "upper")                 \
    X(n_dash, "-")                      \
    X(n_newline, "\n")

enum Name : int { SORVEL_NAMES(BV_NAME_ENUM) kNameCount };

struct State {
    bv::Names<kNameCount> names;
    PyObject* empty_str;
    stats::State stats;
};

inline State& state(bv::Function* fn) { return bv::state_of<State>(fn); }
inline PyObject* name(bv::Function* fn, Name n) { return state(fn).names[n]; }

// Each creates one piece of the module body and binds it; false on error.
bool define_get_cur_mac_address(bv::ModuleBody& m);
bool define_dot_dicts(bv::ModuleBody& m);
bool define_simple_timer(bv::ModuleBody& m);
bool define_status_collect(bv::ModuleBody& m);
bool define_range_record(bv::ModuleBody& m);

}  // namespace sorvel

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

// Names of OutputFileManager, FileStrategyLoader and SocketBase.
#define SORVEL_IO_NAMES(X)                                   \
    X(io_root_dir, "_OutputFileManager__root_dir")           \
    X(io_root_sub, "_OutputFileManager__root_sub")           \
    X(io_task_id, "_OutputFileManager__task_id")             \
    X(io_os, "os")                                           \
    X(io_path, "path")                                       \
    X(io_normpath, "normpath")                               \
    X(io_join, "join")                                       \
    X(io_isfile, "isfile")                                   \
    X(io_dirname, "dirname")                                 \
    X(io_exists, "exists")                                   \
    X(io_makedirs, "makedirs")                               \
    X(io_mkdir, "mkdir")                                     \
    X(io_lstat, "lstat")                                     \
    X(io_stat, "stat")                                       \
    X(io_geteuid, "geteuid")                                 \
    X(io_st_mode, "st_mode")                                 \
    X(io_st_uid, "st_uid")                                   \
    X(io_listdir, "listdir")                                 \
    X(io_remove, "remove")                                   \
    X(io_shutil, "shutil")                                   \
    X(io_rmtree, "rmtree")                                   \
    X(io_gettempdir, "gettempdir")                           \
    X(io_Quenmark, "Quenmark")                               \
    X(io_get_cur_mac_address, "get_cur_mac_address")         \
    X(io_root_sub_dir, "root_sub_dir")                       \
    X(io_mk_dir, "mk_dir")                                   \
    X(io_mk_root_sub_dir, "mk_root_sub_dir")                 \
    X(io_rm_root_sub_dir, "rm_root_sub_dir")                 \
    X(io_empty, "")                                          \
    X(io_record, "record")                                   \
    X(io_record_, "record_")                                 \
    X(io_mat, "mat")                                         \
    X(io_test, "test")                                       \
    X(io_log, "log")                                         \
    X(io_kept_log, "ana_belvane.log")                        \
    X(io_strategy_path, "_strategy_path")                    \
    X(io_open, "open")                                       \
    X(io_encoding, "encoding")                               \
    X(io_utf8, "utf-8")                                      \
    X(io_read, "read")                                       \
    X(io_close, "close")                                     \
    X(io_socket, "socket")                                   \
    X(io_time, "time")                                       \
    X(io_sleep, "sleep")                                     \
    X(io_error, "error")                                     \
    X(io_timeout, "timeout")                                 \
    X(io_AF_INET, "AF_INET")                                 \
    X(io_SOCK_STREAM, "SOCK_STREAM")                         \
    X(io_SOL_SOCKET, "SOL_SOCKET")                           \
    X(io_SO_RCVBUF, "SO_RCVBUF")                             \
    X(io_server_address, "server_address")                   \
    X(io_status, "status")                                   \
    X(io_data, "data")                                       \
    X(io_buffer_size, "buffer_size")                         \
    X(io_receive_buffer, "receive_buffer")                   \
    X(io__error, "_error")                                   \
    X(io_client, "client")                                   \
    X(io_status_open, "socket_status_open")                  \
    X(io_status_close, "socket_status_close")                \
    X(io_default_timeout, "socket_default_timeout")          \
    X(io_default_buffer, "socket_default_buffer")            \
    X(io_settimeout, "settimeout")                           \
    X(io_setsockopt, "setsockopt")                           \
    X(io_connect, "connect")                                 \
    X(io_disconnect, "disconnect")                           \
    X(io_connected, "connected")                             \
    X(io_sendall, "sendall")                                 \
    X(io_recv, "recv")                                       \
    X(io_recv_into, "recv_into")                             \
    X(io_tobytes, "tobytes")                                 \
    X(io_check_connect, "_check_connect")                    \
    X(io_deal_error, "_deal_error")                          \
    X(io_receive_garbage, "_receive_garbage_data")           \
    X(io_cb_connected, "callback_connected")                 \
    X(io_cb_disconnected, "callback_disconnected")           \
    X(io_cb_network_error, "callback_network_error")         \
    X(io_vr, "vr")                                           \
    X(io_cache, "g_BelvaneCache")                            \
    X(io_allow_comm, "allow_comm_bv")                        \
    X(io_allow_tips, "not_allow_comm_bv_tips")               \
    X(io_VersionError, "VersionError")

enum Name : int {
    SORVEL_NAMES(BV_NAME_ENUM)
    SORVEL_IO_NAMES(BV_NAME_ENUM)
    kNameCount
};

struct State {
    bv::Names<kNameCount> names;
    PyObject* empty_str;
    // OutputFileManager's root as its class body computed it.
    PyObject* default_root;
    stats::State stats;
    // Dict classes whose subscription is dict's own (the dictionaries'
    // __getattr__ reads the key directly).
    bv::TypeMemo dot_dict_subscripts;

    template <class F>
    void fields(F&& f) {
        f(names);
        f(empty_str);
        f(default_root);
        f(stats);
        f(dot_dict_subscripts);
    }
};

inline State& state(bv::Function* fn) { return bv::state_of<State>(fn); }
inline PyObject* name(bv::Function* fn, Name n) { return state(fn).names[n]; }

// Each creates one piece of the module body and binds it; false on error.
bool define_get_cur_mac_address(bv::ModuleBody& m);
bool define_dot_dicts(bv::ModuleBody& m);
bool define_simple_timer(bv::ModuleBody& m);
bool define_output_file_manager(bv::ModuleBody& m);
bool define_file_strategy_loader(bv::ModuleBody& m);
bool define_status_collect(bv::ModuleBody& m);
bool define_socket_base(bv::ModuleBody& m);
bool define_range_record(bv::ModuleBody& m);

}  // namespace sorvel

// SocketBase: the framework's TCP client base. Every socket operation goes
// through the socket object's own methods and every module global (socket,
// time, VersionError) is read at its use, so subclasses, test doubles and
// rebound globals all take effect. The except clauses keep Python's order:
// the clause's classes are read only once an exception has happened, and
// handlers run with that exception as the one being handled.
#include "../runtime/handler.hpp"
#include "../runtime/ops.hpp"
#include "sorvel.hpp"

namespace sorvel {
namespace {

using bv::Ref;

Ref get(bv::Function* fn, PyObject* obj, Name n) { return bv::getattr(obj, name(fn, n)); }

bool set(bv::Function* fn, PyObject* obj, Name n, PyObject* value) {
    return value && PyObject_SetAttr(obj, name(fn, n), value) == 0;
}

// self.<n> = self.<from>, the value read first.
bool copy_attr(bv::Function* fn, PyObject* self, Name n, Name from) {
    Ref v = get(fn, self, from);
    return set(fn, self, n, v.get());
}

Ref global_attr(bv::Function* fn, Name module, Name n) {
    return bv::global_attr(fn, name(fn, module), name(fn, n));
}

// time.sleep(seconds)
bool pause(bv::Function* fn, double seconds) {
    Ref sleep = global_attr(fn, io_time, io_sleep);
    if (!sleep) return false;
    Ref s = bv::from_double(seconds);
    return s && bv::call(sleep.get(), s.get());
}

int truth(const Ref& v) { return v ? PyObject_IsTrue(v.get()) : -1; }

// The clause `except (socket.error, socket.timeout)` applied to the exception
// being handled: 1 it matches, 0 it does not, -1 the clause itself failed.
int is_socket_error(bv::Function* fn, const bv::Caught& c) {
    Ref error = global_attr(fn, io_socket, io_error);
    if (!error) return -1;
    Ref timeout = global_attr(fn, io_socket, io_timeout);
    if (!timeout) return -1;
    if (!bv::check_catchable(error.get()) || !bv::check_catchable(timeout.get())) return -1;
    return c.matches(error.get()) || c.matches(timeout.get());
}

// `except (KeyboardInterrupt, Exception)`: what the exchanges drain after.
bool is_unexpected(const bv::Caught& c) {
    return c.matches(PyExc_KeyboardInterrupt) || c.matches(PyExc_Exception);
}

// The two except clauses around a send or a receive, for the error just
// raised. True when a socket error went through _deal_error; false with an
// error set otherwise.
bool exchange_failed(bv::Function* fn, PyObject* self, PyObject* ignore_error) {
    bv::Caught c = bv::Caught::take();
    bv::Handling handling(c);
    int sock = is_socket_error(fn, c);
    if (sock < 0) return false;
    if (sock) return bool(bv::call_method(self, name(fn, io_deal_error), c.value.get(), ignore_error));
    if (is_unexpected(c) && !bv::call_method(self, name(fn, io_receive_garbage))) return false;
    c.raise();
    return false;
}

PyObject* init(bv::Function* fn, PyObject* const* args) {
    PyObject* self = args[0];
    Ref address = Ref::steal(PyTuple_Pack(2, args[1], args[2]));
    if (!set(fn, self, io_server_address, address.get())) return nullptr;
    if (!copy_attr(fn, self, io_status, io_status_close)) return nullptr;
    if (!set(fn, self, io_data, Py_None)) return nullptr;
    int t = PyObject_IsTrue(args[3]);
    if (t < 0) return nullptr;
    if (t ? !set(fn, self, io_timeout, args[3]) : !copy_attr(fn, self, io_timeout, io_default_timeout))
        return nullptr;
    if (!copy_attr(fn, self, io_buffer_size, io_default_buffer)) return nullptr;
    // Allocated once; receives read straight into it.
    Ref size = get(fn, self, io_buffer_size);
    if (!size) return nullptr;
    Ref storage = bv::call(reinterpret_cast<PyObject*>(&PyByteArray_Type), size.get());
    if (!storage) return nullptr;
    Ref view = Ref::steal(PyMemoryView_FromObject(storage.get()));
    if (!set(fn, self, io_receive_buffer, view.get())) return nullptr;
    if (!set(fn, self, io__error, Py_None)) return nullptr;
    if (!set(fn, self, io_client, Py_None)) return nullptr;
    Py_RETURN_NONE;
}

// self.client.settimeout(timeout); self.timeout = timeout
Ref apply_timeout(bv::Function* fn, PyObject* self, PyObject* timeout) {
    Ref client = get(fn, self, io_client);
    if (!client) return Ref();
    Ref r = bv::call_method(client.get(), name(fn, io_settimeout), timeout);
    if (!r || !set(fn, self, io_timeout, timeout)) return Ref();
    return r;
}

PyObject* set_timeout(bv::Function* fn, PyObject* const* args) {
    if (apply_timeout(fn, args[0], args[1])) Py_RETURN_NONE;
    bv::Caught c = bv::Caught::take();
    bv::Handling handling(c);
    int sock = is_socket_error(fn, c);
    if (sock < 0) return nullptr;
    if (sock) Py_RETURN_NONE;
    c.raise();
    return nullptr;
}

PyObject* get_timeout(bv::Function* fn, PyObject* const* args) {
    return get(fn, args[0], io_timeout).release();
}

PyObject* connected(bv::Function* fn, PyObject* const* args) {
    Ref status = get(fn, args[0], io_status);
    if (!status) return nullptr;
    Ref open = get(fn, args[0], io_status_open);
    if (!open) return nullptr;
    return PyObject_RichCompare(status.get(), open.get(), Py_EQ);
}

// Reading the error consumes it.
PyObject* error(bv::Function* fn, PyObject* const* args) {
    Ref e = get(fn, args[0], io__error);
    if (!e || !set(fn, args[0], io__error, Py_None)) return nullptr;
    return e.release();
}

// One attempt: 1 connected, 0 a socket error used up the attempt, -1 failed.
// `refused` tells whether the socket's own connect failed.
int connect_once(bv::Function* fn, PyObject* self, bool& refused) {
    Ref client = get(fn, self, io_client);
    Ref method = client ? get(fn, client.get(), io_connect) : Ref();
    Ref address = method ? get(fn, self, io_server_address) : Ref();
    Ref r = address ? bv::call(method.get(), address.get()) : Ref();
    refused = !r;
    if (r && copy_attr(fn, self, io_status, io_status_open) &&
        bv::call_method(self, name(fn, io_cb_connected)))
        return 1;
    bv::Caught c = bv::Caught::take();
    bv::Handling handling(c);
    int sock = is_socket_error(fn, c);
    if (sock < 0) return -1;
    if (!sock) {
        c.raise();
        return -1;
    }
    if (!pause(fn, 0.5) || !set(fn, self, io__error, c.value.get())) return -1;
    return 0;
}

// A fresh socket at every real connect; the previous one is left to go.
bool new_client(bv::Function* fn, PyObject* self) {
    Ref ctor = global_attr(fn, io_socket, io_socket);
    if (!ctor) return false;
    Ref family = global_attr(fn, io_socket, io_AF_INET);
    if (!family) return false;
    Ref kind = global_attr(fn, io_socket, io_SOCK_STREAM);
    if (!kind) return false;
    Ref sock = bv::call(ctor.get(), family.get(), kind.get());
    if (!set(fn, self, io_client, sock.get())) return false;
    sock.reset();

    Ref client = get(fn, self, io_client);
    Ref method = client ? get(fn, client.get(), io_settimeout) : Ref();
    Ref timeout = method ? get(fn, self, io_timeout) : Ref();
    if (!timeout || !bv::call(method.get(), timeout.get())) return false;

    client = get(fn, self, io_client);
    method = client ? get(fn, client.get(), io_setsockopt) : Ref();
    if (!method) return false;
    Ref level = global_attr(fn, io_socket, io_SOL_SOCKET);
    if (!level) return false;
    Ref option = global_attr(fn, io_socket, io_SO_RCVBUF);
    if (!option) return false;
    Ref size = bv::from_long(10485760);
    return size && bv::call(method.get(), level.get(), option.get(), size.get());
}

PyObject* connect(bv::Function* fn, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* retry = args[1];
    int is_open = truth(get(fn, self, io_connected));
    if (is_open < 0) return nullptr;
    if (is_open) Py_RETURN_TRUE;
    Ref attempts = bv::from_long(0);
    if (!attempts || !set(fn, self, io__error, Py_None) || !new_client(fn, self)) return nullptr;
    Ref one = bv::from_long(1);
    if (!one) return nullptr;
    bool refused = false;
    for (;;) {
        int more = truth(Ref::steal(PyObject_RichCompare(attempts.get(), retry, Py_LT)));
        if (more < 0) return nullptr;
        if (!more) break;
        // A socket whose connect failed refuses the next one (Linux answers
        // ECONNABORTED, or EALREADY after a time-out), so a retry on it could
        // never succeed: the next attempt gets a fresh socket.
        if (refused) {
            Ref client = get(fn, self, io_client);
            if (!client || !bv::call_method(client.get(), name(fn, io_close))) return nullptr;
            client.reset();
            if (!new_client(fn, self)) return nullptr;
        }
        int r = connect_once(fn, self, refused);
        if (r < 0) return nullptr;
        if (r) break;
        // attempts += 1 happens before the pause in the handler; nothing
        // between them can observe the count.
        attempts = Ref::steal(PyNumber_InPlaceAdd(attempts.get(), one.get()));
        if (!attempts) return nullptr;
    }
    return get(fn, self, io_connected).release();
}

// The guarded part of disconnect; null with the error set when an exception
// leaves its except clause.
Ref close_client(bv::Function* fn, PyObject* self) {
    int is_open = truth(get(fn, self, io_connected));
    bool done = is_open == 0;
    if (is_open > 0 && copy_attr(fn, self, io_status, io_status_close)) {
        Ref client = get(fn, self, io_client);
        done = client && bv::call_method(client.get(), name(fn, io_close));
    }
    if (done) return Ref::none();
    bv::Caught c = bv::Caught::take();
    bv::Handling handling(c);
    int sock = is_socket_error(fn, c);
    if (sock < 0) return Ref();
    if (sock && (!set(fn, self, io__error, c.value.get()) ||
                 !bv::call_method(self, name(fn, io_cb_network_error), c.value.get())))
        return Ref();
    c.raise();
    return Ref();
}

PyObject* disconnect(bv::Function* fn, PyObject* const* args) {
    PyObject* self = args[0];
    if (!set(fn, self, io__error, Py_None)) return nullptr;
    if (!close_client(fn, self)) {
        // finally: the hook runs with the pending exception as the one being
        // handled; an exception of its own takes that one's place.
        bv::Caught pending = bv::Caught::take();
        bv::Handling handling(pending);
        if (!bv::call_method(self, name(fn, io_cb_disconnected))) return nullptr;
        pending.raise();
        return nullptr;
    }
    if (!bv::call_method(self, name(fn, io_cb_disconnected))) return nullptr;
    int is_open = truth(get(fn, self, io_connected));
    if (is_open < 0) return nullptr;
    return bv::new_ref(is_open ? Py_False : Py_True);
}

PyObject* reconnect(bv::Function* fn, PyObject* const* args) {
    if (!bv::call_method(args[0], name(fn, io_disconnect))) return nullptr;
    if (!bv::call_method(args[0], name(fn, io_connect))) return nullptr;
    Py_RETURN_NONE;
}

PyObject* send_data(bv::Function* fn, PyObject* const* args) {
    PyObject* self = args[0];
    if (!bv::call_method(self, name(fn, io_check_connect))) return nullptr;
    Ref client = get(fn, self, io_client);
    if (client && bv::call_method(client.get(), name(fn, io_sendall), args[1])) Py_RETURN_NONE;
    if (!exchange_failed(fn, self, args[2])) return nullptr;
    Py_RETURN_NONE;
}

// Unsigned bytes, the format of a memoryview over a bytearray.
bool is_byte_format(const char* f) { return !f || (f[0] == 'B' && f[1] == '\0'); }

// memoryview[:n].tobytes() of a plain byte view, without the intermediate
// slice: one copy of the n bytes received. Null without an error set when
// the view is not a plain byte view or n is out of its range (the slicing
// then decides); null with the error set when the slicing would fail alike.
Ref head_bytes_fast(PyObject* view, PyObject* n) {
    if (!PyMemoryView_Check(view) || !PyLong_CheckExact(n)) return Ref();
    // A count past Py_ssize_t takes the slicing, which clamps it; a
    // released view fails here as its slicing would.
    Py_ssize_t len = PyLong_AsSsize_t(n);
    if (len == -1 && PyErr_Occurred()) {
        bv::swallow(PyExc_OverflowError);
        return Ref();
    }
    Py_buffer b;
    if (PyObject_GetBuffer(view, &b, PyBUF_FULL_RO) < 0) return Ref();
    Ref out;
    bool plain = b.ndim == 1 && b.itemsize == 1 && b.strides && b.strides[0] == 1 &&
                 is_byte_format(b.format);
    if (plain && len >= 0 && len <= b.len)
        out = Ref::steal(PyBytes_FromStringAndSize(static_cast<const char*>(b.buf), len));
    PyBuffer_Release(&b);
    return out;
}

// self.receive_buffer[:n].tobytes()
Ref buffer_head(bv::Function* fn, PyObject* self, PyObject* n) {
    Ref view = get(fn, self, io_receive_buffer);
    if (!view) return Ref();
    Ref fast = head_bytes_fast(view.get(), n);
    if (fast || PyErr_Occurred()) return fast;
    Ref slice = Ref::steal(PySlice_New(nullptr, n, nullptr));
    if (!slice) return Ref();
    Ref part = Ref::steal(PyObject_GetItem(view.get(), slice.get()));
    if (!part) return Ref();
    return bv::call_method(part.get(), name(fn, io_tobytes));
}

// One read of at most buffer_size bytes into the receive buffer.
Ref receive_once(bv::Function* fn, PyObject* self) {
    Ref client = get(fn, self, io_client);
    Ref recv_into = client ? get(fn, client.get(), io_recv_into) : Ref();
    Ref view = recv_into ? get(fn, self, io_receive_buffer) : Ref();
    Ref size = view ? get(fn, self, io_buffer_size) : Ref();
    if (!size) return Ref();
    Ref n = bv::call(recv_into.get(), view.get(), size.get());
    if (!n) return Ref();
    view.reset();
    Ref data = buffer_head(fn, self, n.get());
    if (!set(fn, self, io_data, data.get())) return Ref();
    return get(fn, self, io_data);
}

// Polls until `received_bytes` have arrived or `try_times` reads were made.
Ref receive_exact(bv::Function* fn, PyObject* self, PyObject* received_bytes, PyObject* try_times) {
    Ref want = Ref::steal(PyNumber_Long(received_bytes));
    if (!want) return Ref();
    Ref zero = bv::from_long(0);
    if (!zero) return Ref();
    int negative = PyObject_RichCompareBool(want.get(), zero.get(), Py_LT);
    if (negative < 0) return Ref();
    if (negative) return get(fn, self, io_data);
    Ref tries = bv::from_long(0);
    Ref got = bv::from_long(0);
    Ref one = bv::from_long(1);
    if (!tries || !got || !one) return Ref();
    for (;;) {
        // while try_counter < try_times
        int more = truth(Ref::steal(PyObject_RichCompare(tries.get(), try_times, Py_LT)));
        if (more < 0) return Ref();
        if (!more) break;
        Ref client = get(fn, self, io_client);
        Ref recv = client ? get(fn, client.get(), io_recv) : Ref();
        if (!recv) return Ref();
        client.reset();
        // self.client.recv(int(received_bytes - received_len))
        Ref missing = Ref::steal(PyNumber_Subtract(want.get(), got.get()));
        Ref count = missing ? Ref::steal(PyNumber_Long(missing.get())) : Ref();
        Ref chunk = count ? bv::call(recv.get(), count.get()) : Ref();
        if (!chunk) return Ref();
        // try_counter += 1
        tries = Ref::steal(PyNumber_InPlaceAdd(tries.get(), one.get()));
        if (!tries) return Ref();
        int nonempty = PyObject_IsTrue(chunk.get());
        if (nonempty < 0) return Ref();
        if (nonempty) {
            Ref data = get(fn, self, io_data);
            Ref grown = data ? Ref::steal(PyNumber_InPlaceAdd(data.get(), chunk.get())) : Ref();
            if (!set(fn, self, io_data, grown.get())) return Ref();
        }
        // received_len += len(chunk); if received_len >= received_bytes: break
        Py_ssize_t n = PyObject_Length(chunk.get());
        if (n < 0) return Ref();
        Ref len = bv::from_long(n);
        got = len ? Ref::steal(PyNumber_InPlaceAdd(got.get(), len.get())) : Ref();
        if (!got) return Ref();
        int complete = truth(Ref::steal(PyObject_RichCompare(got.get(), want.get(), Py_GE)));
        if (complete < 0) return Ref();
        if (complete) break;
        // An empty read while bytes are missing: the peer has closed, and
        // every further read would come back empty at once. Polling on
        // would only block the caller for try_times pauses.
        if (!nonempty) break;
        if (!pause(fn, 0.005)) return Ref();
    }
    // self.receive_buffer[:len(self.data)] = self.data
    Ref data = get(fn, self, io_data);
    if (!data) return Ref();
    Ref view = get(fn, self, io_receive_buffer);
    if (!view) return Ref();
    Ref again = get(fn, self, io_data);
    if (!again) return Ref();
    Py_ssize_t n = PyObject_Length(again.get());
    if (n < 0) return Ref();
    again.reset();
    Ref stop = bv::from_long(n);
    Ref slice = stop ? Ref::steal(PySlice_New(nullptr, stop.get(), nullptr)) : Ref();
    if (!slice || PyObject_SetItem(view.get(), slice.get(), data.get()) < 0) return Ref();
    return get(fn, self, io_data);
}

Ref receive(bv::Function* fn, PyObject* self, PyObject* received_bytes, PyObject* try_times) {
    Ref empty = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
    if (!set(fn, self, io_data, empty.get())) return Ref();
    // None, the usual single-read argument, cannot pretend to be an int.
    int fixed = received_bytes == Py_None
                    ? 0
                    : PyObject_IsInstance(received_bytes, reinterpret_cast<PyObject*>(&PyLong_Type));
    if (fixed < 0) return Ref();
    return fixed ? receive_exact(fn, self, received_bytes, try_times) : receive_once(fn, self);
}

PyObject* receive_data(bv::Function* fn, PyObject* const* args) {
    Ref data = receive(fn, args[0], args[1], args[3]);
    if (data) return data.release();
    if (!exchange_failed(fn, args[0], args[2])) return nullptr;
    Py_RETURN_NONE;
}

PyObject* check_connect(bv::Function* fn, PyObject* const* args) {
    PyObject* self = args[0];
    int is_open = truth(get(fn, self, io_connected));
    if (is_open < 0) return nullptr;
    if (!is_open) {
        int ok = truth(bv::call_method(self, name(fn, io_connect)));
        if (ok < 0) return nullptr;
        if (!ok) {
            Ref e = get(fn, self, io__error);
            if (!e || !bv::call_method(self, name(fn, io_deal_error), e.get())) return nullptr;
        }
    }
    Ref sysclsbase = bv::import_from(fn->globals, "belvane.tframe", "sysclsbase");
    if (!sysclsbase) return nullptr;
    Ref vr = get(fn, sysclsbase.get(), io_vr);
    Ref cache = vr ? get(fn, vr.get(), io_cache) : Ref();
    int allowed = truth(cache ? get(fn, cache.get(), io_allow_comm) : Ref());
    if (allowed < 0) return nullptr;
    if (allowed) Py_RETURN_NONE;
    Ref exc_class = bv::global(fn, name(fn, io_VersionError));
    if (!exc_class) return nullptr;
    vr = get(fn, sysclsbase.get(), io_vr);
    cache = vr ? get(fn, vr.get(), io_cache) : Ref();
    Ref tips = cache ? get(fn, cache.get(), io_allow_tips) : Ref();
    if (!tips) return nullptr;
    Ref exc = bv::call(exc_class.get(), tips.get());
    if (exc) bv::raise_object(exc.get());
    return nullptr;
}

PyObject* deal_error(bv::Function* fn, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* e = args[1];
    Ref error_class = global_attr(fn, io_socket, io_error);
    if (!error_class) return nullptr;
    int is = PyObject_IsInstance(e, error_class.get());
    if (is < 0) return nullptr;
    if (is) {
        // The socket stays open: the next send connects anew.
        if (!copy_attr(fn, self, io_status, io_status_close) || !pause(fn, 0.2)) return nullptr;
    }
    int ignore = PyObject_IsTrue(args[2]);
    if (ignore < 0) return nullptr;
    if (!ignore && !bv::call_method(self, name(fn, io_cb_network_error), e)) return nullptr;
    Py_RETURN_NONE;
}

// Discards what the peer may still have in flight after a failed exchange.
PyObject* receive_garbage_data(bv::Function* fn, PyObject* const* args) {
    PyObject* self = args[0];
    Ref client = get(fn, self, io_client);
    Ref recv_into = client ? get(fn, client.get(), io_recv_into) : Ref();
    Ref view = recv_into ? get(fn, self, io_receive_buffer) : Ref();
    Ref size = view ? get(fn, self, io_buffer_size) : Ref();
    if (!size || !bv::call(recv_into.get(), view.get(), size.get())) return nullptr;
    Py_RETURN_NONE;
}

const bv::Param kSelf[] = {bv::arg("self")};
const bv::Param kInit[] = {bv::arg("self"), bv::arg("addr"), bv::arg("port"),
                           bv::arg_none("timeout")};
const bv::Param kSetTimeout[] = {bv::arg("self"), bv::arg("timeout")};
const bv::Param kConnect[] = {bv::arg("self"), bv::arg_int("retry", 2)};
const bv::Param kSend[] = {bv::arg("self"), bv::arg("data"), bv::arg_bool("ignore_error", false)};
const bv::Param kReceive[] = {bv::arg("self"), bv::arg_none("received_bytes"),
                              bv::arg_bool("ignore_error", false),
                              bv::arg_int("try_times", 10000000)};
const bv::Param kDealError[] = {bv::arg("self"), bv::arg("e"), bv::arg_bool("ignore_error", false)};
const bv::Param kNetworkError[] = {bv::arg("self"), bv::arg("e")};

// The callback_* hooks belong to subclasses.
const bv::Member kMembers[] = {
    bv::method("__init__", init, kInit),
    bv::method("set_timeout", set_timeout, kSetTimeout),
    bv::method("get_timeout", get_timeout, kSelf),
    bv::property("connected", connected),
    bv::property("error", error),
    bv::method("connect", connect, kConnect),
    bv::method("disconnect", disconnect, kSelf),
    bv::method("reconnect", reconnect, kSelf),
    bv::method("send_data", send_data, kSend),
    bv::method("receive_data", receive_data, kReceive),
    bv::method("_check_connect", check_connect, kSelf),
    bv::method("_deal_error", deal_error, kDealError),
    bv::method("_receive_garbage_data", receive_garbage_data, kSelf),
    bv::method("callback_connected", bv::not_implemented, kSelf),
    bv::method("callback_disconnected", bv::not_implemented, kSelf),
    bv::method("callback_network_error", bv::not_implemented, kNetworkError),
};

}  // namespace

bool define_socket_base(bv::ModuleBody& m) {
    Ref cls = bv::ClassBuilder(m, "SocketBase")
                  .attr("socket_status_open", bv::from_long(1))
                  .attr("socket_status_close", bv::from_long(0))
                  .attr("socket_default_timeout", bv::from_long(300))
                  .attr("socket_default_buffer", bv::from_long(10485760))
                  .members(kMembers)
                  .build();
    return m.bind("SocketBase", std::move(cls));
}

}  // namespace sorvel

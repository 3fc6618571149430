// FileStrategyLoader: hands a strategy source file to the framework's
// strategy compiler, reading the file afresh at every load.
#include "../runtime/handler.hpp"
#include "sorvel.hpp"

namespace sorvel {
namespace {

using bv::Ref;

PyObject* init(bv::Function* fn, PyObject* const* args) {
    if (PyObject_SetAttr(args[0], name(fn, io_strategy_path), args[1]) < 0) return nullptr;
    Py_RETURN_NONE;
}

// open(path, encoding='utf-8'): universal newlines, and a byte order mark
// stays in the text, as plain "utf-8" does not strip it.
Ref open_utf8(bv::Function* fn, PyObject* path) {
    Ref open = bv::global(fn, name(fn, io_open));
    if (!open) return Ref();
    Ref kwnames = Ref::steal(PyTuple_Pack(1, name(fn, io_encoding)));
    if (!kwnames) return Ref();
    PyObject* stack[] = {path, name(fn, io_utf8)};
    return bv::call_kw(open.get(), stack, 1, kwnames.get());
}

PyObject* load(bv::Function* fn, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* scope = args[1];
    Ref compile = bv::import_from_sibling(fn->globals, "utilfunc", "compile_strategy");
    if (!compile) return nullptr;
    Ref path = bv::getattr(self, name(fn, io_strategy_path));
    if (!path) return nullptr;
    Ref f = open_utf8(fn, path.get());
    if (!f) return nullptr;
    path.reset();
    // try: source_code = f.read()  finally: f.close()
    Ref source_code = bv::call_method(f.get(), name(fn, io_read));
    if (!source_code) {
        bv::Caught pending = bv::Caught::take();
        bv::Handling handling(pending);
        if (!bv::call_method(f.get(), name(fn, io_close))) return nullptr;
        pending.raise();
        return nullptr;
    }
    if (!bv::call_method(f.get(), name(fn, io_close))) return nullptr;
    f.reset();
    path = bv::getattr(self, name(fn, io_strategy_path));
    if (!path) return nullptr;
    return bv::call(compile.get(), source_code.get(), path.get(), scope).release();
}

const bv::Param kInit[] = {bv::arg("self"), bv::arg("strategy_path")};
const bv::Param kLoad[] = {bv::arg("self"), bv::arg("scope")};

const bv::Member kMembers[] = {
    bv::method("__init__", init, kInit),
    bv::method("load", load, kLoad),
};

}  // namespace

bool define_file_strategy_loader(bv::ModuleBody& m) {
    Ref cls = bv::ClassBuilder(m, "FileStrategyLoader").members(kMembers).build();
    return m.bind("FileStrategyLoader", std::move(cls));
}

}  // namespace sorvel

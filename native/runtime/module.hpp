// What a module body needs: interned names in the module state, imports that
// look in the module's own package first, binding of globals, and a builder
// that creates classes through `type(name, bases, namespace)` with members in
// definition order.
#pragma once

#include "attr.hpp"
#include "function.hpp"

#include <cstddef>

namespace bv {

// X-macro helpers: a module lists its names once as X(identifier, "text").
#define BV_NAME_ENUM(id, text) id,
#define BV_NAME_TEXT(id, text) text,

// Interned str objects, created once at module initialisation.
template <std::size_t N>
struct Names {
    PyObject* v[N];
    bool init(const char* const (&texts)[N]) {
        for (std::size_t i = 0; i < N; ++i) {
            if (v[i]) continue;
            v[i] = PyUnicode_InternFromString(texts[i]);
            if (!v[i]) return false;
        }
        return true;
    }
    void clear() {
        for (std::size_t i = 0; i < N; ++i) Py_CLEAR(v[i]);
    }
    PyObject* operator[](std::size_t i) const { return v[i]; }
};

// ---- module state -----------------------------------------------------------
//
// A module's state is a struct that lists its fields once, in a member
//     template <class F> void fields(F&& f) { f(names); f(zero); ... }
// from which the module's traverse, clear and free are derived
// (state_traverse<S>, state_clear<S>, state_free<S>). A field is an owned
// PyObject* (or null), a Names<N>, a memo the runtime forgets on clear
// (TypeMemo, DictMemo, ReadSite), a plain C function pointer (cleared), a
// nested struct with its own fields(), or an array of any of these.

namespace state_fields {

struct Visit {
    visitproc visit;
    void* arg;
    int rc = 0;
    void operator()(PyObject*& o) {
        if (!rc && o) rc = visit(o, arg);
    }
    template <std::size_t N>
    void operator()(Names<N>& n) {
        for (PyObject*& o : n.v) (*this)(o);
    }
    void operator()(TypeMemo&) {}
    void operator()(DictMemo&) {}
    void operator()(ReadSite&) {}
    template <typename R, typename... A>
    void operator()(R (*&)(A...)) {}
    template <typename T, std::size_t N>
    void operator()(T (&a)[N]) {
        for (T& x : a) (*this)(x);
    }
    template <typename T, typename = decltype(&T::template fields<Visit&>)>
    void operator()(T& nested) {
        nested.fields(*this);
    }
};

struct Clear {
    void operator()(PyObject*& o) { Py_CLEAR(o); }
    template <std::size_t N>
    void operator()(Names<N>& n) {
        n.clear();
    }
    void operator()(TypeMemo& m) { m = TypeMemo{}; }
    void operator()(DictMemo& m) { m = DictMemo{}; }
    void operator()(ReadSite& m) { m = ReadSite{}; }
    template <typename R, typename... A>
    void operator()(R (*&p)(A...)) {
        p = nullptr;
    }
    template <typename T, std::size_t N>
    void operator()(T (&a)[N]) {
        for (T& x : a) (*this)(x);
    }
    template <typename T, typename = decltype(&T::template fields<Clear&>)>
    void operator()(T& nested) {
        nested.fields(*this);
    }
};

}  // namespace state_fields

// Releases and forgets what a struct with fields() holds.
template <typename T>
void clear_fields(T& t) {
    state_fields::Clear c;
    t.fields(c);
}

template <typename S>
int state_traverse(PyObject* module, visitproc visit, void* arg) {
    S* st = static_cast<S*>(PyModule_GetState(module));
    if (!st) return 0;
    state_fields::Visit v{visit, arg};
    st->fields(v);
    return v.rc;
}

template <typename S>
int state_clear(PyObject* module) {
    S* st = static_cast<S*>(PyModule_GetState(module));
    if (!st) return 0;
    state_fields::Clear c;
    st->fields(c);
    return 0;
}

template <typename S>
void state_free(void* module) {
    state_clear<S>(static_cast<PyObject*>(module));
}

// Imports as the module body does them: `name` is first tried inside the
// package of the module whose namespace is `globals`, and on ImportError as a
// top-level name. The result is the named (innermost) module.
Ref import_module(PyObject* globals, const char* name);
// `from <name> import attr`, with the same two-step lookup.
Ref import_from(PyObject* globals, const char* name, const char* attr);
// `from .<name> import attr`: a sibling of the module, nothing else.
Ref import_from_sibling(PyObject* globals, const char* name, const char* attr);

class ModuleBody {
public:
    ModuleBody(PyObject* module, const char* registered_name)
        : module_(module), globals_(PyModule_GetDict(module)), registered_name_(registered_name) {}

    PyObject* module() const { return module_; }
    PyObject* globals() const { return globals_; }
    const char* registered_name() const { return registered_name_; }
    template <typename S>
    S& state() const {
        return *static_cast<S*>(PyModule_GetState(module_));
    }

    // Binds a global; false with the error set if `value` is null.
    bool bind(const char* name, Ref value);
    bool bind(PyObject* name, Ref value);
    bool import_as(const char* name, const char* as) { return bind(as, import_module(globals_, name)); }
    bool import_from(const char* name, const char* attr) {
        return bind(attr, bv::import_from(globals_, name, attr));
    }
    bool import_from_sibling(const char* name, const char* attr) {
        return bind(attr, bv::import_from_sibling(globals_, name, attr));
    }
    Ref function(const FunctionSpec& desc, const char* qualname_prefix = nullptr) const {
        return make_function(desc, module_, registered_name_, qualname_prefix);
    }

private:
    PyObject* module_;
    PyObject* globals_;
    const char* registered_name_;
};

// One member of a class body: a native function and how the body binds it.
enum class Kind : unsigned char { Method, Property, ClassMethod, StaticMethod };

struct Member {
    Kind kind;
    FunctionSpec spec;

    // The same member, whose function makes these promises.
    constexpr Member promising(unsigned p) const {
        Member m = *this;
        m.spec.promises = p;
        return m;
    }
};

// Table entries: bv::method("name", impl, kParams), bv::property("name",
// getter) (a getter takes self alone), bv::classmethod(...),
// bv::staticmethod(...); the parameter list (and annotations) as for
// FunctionSpec.
template <typename... A>
constexpr Member method(const char* name, Impl impl, const A&... rest) {
    return Member{Kind::Method, FunctionSpec(name, impl, rest...)};
}
template <typename... A>
constexpr Member classmethod(const char* name, Impl impl, const A&... rest) {
    return Member{Kind::ClassMethod, FunctionSpec(name, impl, rest...)};
}
template <typename... A>
constexpr Member staticmethod(const char* name, Impl impl, const A&... rest) {
    return Member{Kind::StaticMethod, FunctionSpec(name, impl, rest...)};
}
inline constexpr Param kSelfOnly[] = {Param{"self", Default::Required, 0, nullptr}};
constexpr Member property(const char* name, Impl getter) {
    return Member{Kind::Property, FunctionSpec(name, getter, kSelfOnly)};
}
template <int M>
constexpr Member property(const char* name, Impl getter, const Annotation (&annotations)[M]) {
    return Member{Kind::Property, FunctionSpec(name, getter, kSelfOnly, annotations)};
}

// Collects a class namespace in definition order and calls the metaclass
// `type`. After the first failure every step is skipped and build() returns
// null with that error set.
class ClassBuilder {
public:
    ClassBuilder(const ModuleBody& body, const char* name, Ref bases = Ref());
    // The members of a table, in table order. The table must outlive the
    // module (a static array): the functions keep pointers into it.
    template <typename Table>
    ClassBuilder& members(const Table& table) {
        for (const Member& m : table) member(m);
        return *this;
    }
    ClassBuilder& member(const Member& m);
    ClassBuilder& attr(const char* name, Ref value);
    // Removes a namespace entry, as `del name` in a class body.
    ClassBuilder& del(const char* name);
    PyObject* ns() const { return ns_.get(); }
    bool ok() const { return ok_; }
    Ref build();

private:
    ClassBuilder& put(const char* name, Ref value);
    Ref function(const FunctionSpec& spec);
    const ModuleBody& body_;
    const char* name_;
    Ref bases_;
    Ref ns_;
    bool ok_ = true;
};

// Runs a module's exec step: enters the module in sys.modules under its
// registered name when that name is free, then runs `body`. If the body
// fails, the registered entry made here is removed again so that no half
// initialised module stays reachable.
int exec_module(PyObject* module, const char* registered_name, bool (*body)(ModuleBody&));

// Lets `import <top>` (the first part of the registered name) give the
// package that part stands for, when nothing else provides it; see
// registered_names.cpp.
bool add_registered_name_finder(PyObject* module, const char* registered_name);

}  // namespace bv

// OutputFileManager: the process-wide layout of the output directories. All
// state lives in class attributes and every method works on the class it was
// called through, so a subclass keeps a layout of its own.
#include "../runtime/handler.hpp"
#include "sorvel.hpp"

#include <sys/stat.h>

#include <cerrno>

namespace sorvel {
namespace {

using bv::Ref;

Ref get(bv::Function* fn, PyObject* obj, Name n) { return bv::getattr(obj, name(fn, n)); }

// os.path.<f>, from the module global `os` as it is at this moment.
Ref os_path(PyObject* globals, PyObject* const* names, Name f) {
    Ref os = bv::global(globals, names[io_os]);
    if (!os) return Ref();
    Ref path = bv::getattr(os.get(), names[io_path]);
    if (!path) return Ref();
    return bv::getattr(path.get(), names[f]);
}
Ref os_path(bv::Function* fn, Name f) { return os_path(fn->globals, state(fn).names.v, f); }

Ref os_attr(bv::Function* fn, Name f) {
    Ref os = bv::global(fn, name(fn, io_os));
    if (!os) return Ref();
    return get(fn, os.get(), f);
}

Ref shutil_rmtree(bv::Function* fn) {
    Ref shutil = bv::global(fn, name(fn, io_shutil));
    if (!shutil) return Ref();
    return get(fn, shutil.get(), io_rmtree);
}

// os.path.normpath(os.path.join(head(), tail)), evaluated in that order.
template <typename Head>
Ref normalised_join(bv::Function* fn, Head head, PyObject* tail) {
    Ref normpath = os_path(fn, io_normpath);
    if (!normpath) return Ref();
    Ref join = os_path(fn, io_join);
    if (!join) return Ref();
    Ref first = head();
    if (!first) return Ref();
    Ref joined = bv::call(join.get(), first.get(), tail);
    if (!joined) return Ref();
    return bv::call(normpath.get(), joined.get());
}

// Truth of `a != b` as Python evaluates it in an `if`: -1 on error.
int ne_true(PyObject* a, PyObject* b) {
    Ref r = Ref::steal(PyObject_RichCompare(a, b, Py_NE));
    if (!r) return -1;
    return PyObject_IsTrue(r.get());
}

// The directories from `top` down to `path`, outermost first, and whether
// `path` lies below `top`; if not, they start at its outermost component.
Ref levels(bv::Function* fn, PyObject* top, PyObject* path, bool& below) {
    Ref list = Ref::steal(PyList_New(0));
    if (!list || PyList_Append(list.get(), path) < 0) return Ref();
    Ref cur = Ref::borrow(path);
    below = true;
    for (;;) {
        int differs = ne_true(cur.get(), top);
        if (differs < 0) return Ref();
        if (!differs) break;
        Ref dirname = os_path(fn, io_dirname);
        if (!dirname) return Ref();
        Ref parent = bv::call(dirname.get(), cur.get());
        if (!parent) return Ref();
        int truth = PyObject_IsTrue(parent.get());
        if (truth < 0) return Ref();
        int top_reached = truth ? bv::eq_true(parent.get(), cur.get()) : 1;
        if (top_reached < 0) return Ref();
        if (top_reached) {
            below = false;
            break;
        }
        cur = std::move(parent);
        if (PyList_Append(list.get(), cur.get()) < 0) return Ref();
    }
    if (PyList_Reverse(list.get()) < 0) return Ref();
    return list;
}

// The default root lies in the shared temporary directory: what is made
// there, from 'Quenmark' down, is the user's alone. The levels to make
// privately, or None elsewhere.
Ref private_levels(bv::Function* fn, PyObject* path) {
    Ref root = Ref::borrow(state(fn).default_root);
    Ref dirname = os_path(fn, io_dirname);
    if (!dirname) return Ref();
    Ref top = bv::call(dirname.get(), root.get());
    if (!top) return Ref();
    Ref normpath = os_path(fn, io_normpath);
    if (!normpath) return Ref();
    Ref norm = bv::call(normpath.get(), path);
    if (!norm) return Ref();
    bool below;
    Ref list = levels(fn, top.get(), norm.get(), below);
    if (!list) return Ref();
    if (below && PyList_GET_SIZE(list.get()) > 1) {
        Ref first = Ref::borrow(PyList_GET_ITEM(list.get(), 1));
        int is_root = bv::eq_true(first.get(), root.get());
        if (is_root < 0) return Ref();
        if (is_root) return list;
    }
    return Ref::none();
}

// Owned neither by this process's effective user nor by the superuser.
int foreign(bv::Function* fn, PyObject* st, PyObject* euid) {
    Ref uid = get(fn, st, io_st_uid);
    if (!uid) return -1;
    int differs = ne_true(uid.get(), euid);
    if (differs <= 0) return differs;
    Ref zero = bv::from_long(0);
    if (!zero) return -1;
    return ne_true(uid.get(), zero.get());
}

bool refuse(PyObject* level, const char* reason) {
    Ref e = Ref::steal(PyObject_CallFunction(PyExc_PermissionError, "isO", EACCES, reason, level));
    if (e) PyErr_SetObject(PyExc_PermissionError, e.get());
    return false;
}

// Another user could have put links or directories of their own on the way
// to `path` (the default root sits in the shared temporary directory);
// nothing is removed through them. Links and directories of this user or of
// the superuser are trusted.
bool check_removable(bv::Function* fn, PyObject* cls, PyObject* path) {
    Ref root = get(fn, cls, io_root_dir);
    if (!root) return false;
    Ref normpath = os_path(fn, io_normpath);
    if (!normpath) return false;
    Ref top = bv::call(normpath.get(), root.get());
    if (!top) return false;
    Ref default_root = Ref::borrow(state(fn).default_root);
    int is_default = bv::eq_true(top.get(), default_root.get());
    if (is_default < 0) return false;
    if (is_default) {
        Ref dirname = os_path(fn, io_dirname);
        if (!dirname) return false;
        top = bv::call(dirname.get(), top.get());
        if (!top) return false;
    }
    Ref geteuid = os_attr(fn, io_geteuid);
    if (!geteuid) return false;
    Ref euid = bv::call(geteuid.get());
    if (!euid) return false;
    bool below;
    Ref list = levels(fn, top.get(), path, below);
    if (!list) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
        Ref level = Ref::borrow(PyList_GET_ITEM(list.get(), i));
        Ref lstat = os_attr(fn, io_lstat);
        if (!lstat) return false;
        Ref st = bv::call(lstat.get(), level.get());
        if (!st) return false;
        Ref mode = get(fn, st.get(), io_st_mode);
        if (!mode) return false;
        unsigned long bits = PyLong_AsUnsignedLong(mode.get());
        if (bits == (unsigned long)-1 && PyErr_Occurred()) return false;
        if (S_ISLNK(bits)) {
            int f = foreign(fn, st.get(), euid.get());
            if (f < 0) return false;
            if (f) return refuse(level.get(), "Symbolic link owned by another user");
            Ref stat = os_attr(fn, io_stat);
            if (!stat) return false;
            Ref target = bv::call(stat.get(), level.get());
            if (!target) return false;
            f = foreign(fn, target.get(), euid.get());
            if (f < 0) return false;
            if (f) return refuse(level.get(), "Symbolic link to a directory owned by another user");
        } else {
            int f = foreign(fn, st.get(), euid.get());
            if (f < 0) return false;
            if (f) return refuse(level.get(), "Directory owned by another user");
        }
    }
    return true;
}

PyObject* root_sub_dir(bv::Function* fn, PyObject* const* args) {
    PyObject* cls = args[0];
    Ref sub = Ref::borrow(args[1]);
    Ref known = get(fn, cls, io_root_sub);
    if (!known) return nullptr;
    int in = PySequence_Contains(known.get(), sub.get());
    if (in < 0) return nullptr;
    if (!in) Py_RETURN_NONE;
    known.reset();
    int record = bv::eq_true(sub.get(), name(fn, io_record));
    if (record < 0) return nullptr;
    if (record) {
        Ref task_id = get(fn, cls, io_task_id);
        if (!task_id) return nullptr;
        Ref text = Ref::steal(PyObject_Str(task_id.get()));
        if (!text) return nullptr;
        sub = Ref::steal(PyNumber_Add(name(fn, io_record_), text.get()));
        if (!sub) return nullptr;
    }
    return normalised_join(fn, [&] { return get(fn, cls, io_root_dir); }, sub.get()).release();
}

PyObject* get_sub_dir(bv::Function* fn, PyObject* const* args) {
    PyObject* cls = args[0];
    Ref dir = normalised_join(
        fn, [&] { return bv::call_method(cls, name(fn, io_root_sub_dir), args[1]); }, args[2]);
    if (!dir) return nullptr;
    Ref r = bv::call_method(cls, name(fn, io_mk_dir), dir.get());
    if (!r) return nullptr;
    return dir.release();
}

PyObject* set_task_id(bv::Function* fn, PyObject* const* args) {
    if (PyObject_SetAttr(args[0], name(fn, io_task_id), args[1]) < 0) return nullptr;
    Py_RETURN_NONE;
}

// Removes one entry of a directory that could not go as a whole; OSErrors
// are the caller's to ignore.
bool remove_entry(bv::Function* fn, PyObject* file_path) {
    Ref isfile = os_path(fn, io_isfile);
    if (!isfile) return false;
    Ref is = bv::call(isfile.get(), file_path);
    if (!is) return false;
    int truth = PyObject_IsTrue(is.get());
    if (truth < 0) return false;
    Ref remover = truth ? os_attr(fn, io_remove) : shutil_rmtree(fn);
    if (!remover) return false;
    return bool(bv::call(remover.get(), file_path));
}

// The fallback when the tree would not go in one piece (a file held open):
// everything but the analysis log goes, entry by entry, as far as it can.
bool remove_entries(bv::Function* fn, PyObject* sub_path) {
    Ref listdir = os_attr(fn, io_listdir);
    if (!listdir) return false;
    Ref names = bv::call(listdir.get(), sub_path);
    if (!names) return false;
    Ref it = Ref::steal(PyObject_GetIter(names.get()));
    if (!it) return false;
    while (Ref d = Ref::steal(PyIter_Next(it.get()))) {
        int kept = bv::eq_true(d.get(), name(fn, io_kept_log));
        if (kept < 0) return false;
        if (kept) continue;
        Ref join = os_path(fn, io_join);
        if (!join) return false;
        Ref file_path = bv::call(join.get(), sub_path, d.get());
        if (!file_path) return false;
        if (!remove_entry(fn, file_path.get()) && !bv::swallow(PyExc_OSError)) return false;
    }
    return !PyErr_Occurred();
}

PyObject* rm_root_sub_dir(bv::Function* fn, PyObject* const* args) {
    PyObject* cls = args[0];
    Ref sub_path = bv::call_method(cls, name(fn, io_root_sub_dir), args[1]);
    if (!sub_path) return nullptr;
    Ref exists = os_path(fn, io_exists);
    if (!exists) return nullptr;
    Ref is = bv::call(exists.get(), sub_path.get());
    if (!is) return nullptr;
    int truth = PyObject_IsTrue(is.get());
    if (truth < 0) return nullptr;
    if (truth) {
        if (!check_removable(fn, cls, sub_path.get())) return nullptr;
        Ref rmtree = shutil_rmtree(fn);
        Ref removed = rmtree ? bv::call(rmtree.get(), sub_path.get()) : Ref();
        if (!removed) {
            bv::Caught c = bv::Caught::take_if(PyExc_OSError);
            if (!c) return nullptr;
            bv::Handling handling(c);
            if (!remove_entries(fn, sub_path.get())) return nullptr;
        }
    }
    return sub_path.release();
}

bool make_dirs(bv::Function* fn, PyObject* dir) {
    Ref makedirs = os_attr(fn, io_makedirs);
    return makedirs && bv::call(makedirs.get(), dir);
}

// One level at a time, each 0700: os.makedirs gives the mode to the
// intermediate levels on 3.6 but not from 3.7 on.
bool make_private_dirs(bv::Function* fn, PyObject* levels) {
    Ref mode = bv::from_long(0700);
    if (!mode) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(levels); ++i) {
        Ref level = Ref::borrow(PyList_GET_ITEM(levels, i));
        Ref mkdir = os_attr(fn, io_mkdir);
        if (!mkdir) return false;
        if (!bv::call(mkdir.get(), level.get(), mode.get())) {
            if (!bv::swallow(PyExc_FileExistsError)) return false;
        }
    }
    return true;
}

PyObject* mk_dir(bv::Function* fn, PyObject* const* args) {
    PyObject* path = args[0];
    Ref isfile = os_path(fn, io_isfile);
    if (!isfile) return nullptr;
    Ref is = bv::call(isfile.get(), path);
    if (!is) return nullptr;
    int truth = PyObject_IsTrue(is.get());
    if (truth < 0) return nullptr;
    Ref dir;
    if (truth) {
        Ref dirname = os_path(fn, io_dirname);
        if (!dirname) return nullptr;
        dir = bv::call(dirname.get(), path);
        if (!dir) return nullptr;
    } else {
        dir = Ref::borrow(path);
    }
    Ref exists = os_path(fn, io_exists);
    if (!exists) return nullptr;
    Ref there = bv::call(exists.get(), dir.get());
    if (!there) return nullptr;
    truth = PyObject_IsTrue(there.get());
    if (truth < 0) return nullptr;
    if (!truth) {
        Ref levels = private_levels(fn, dir.get());
        if (!levels) return nullptr;
        // Already there, a concurrent creator or no permission: callers
        // learn nothing, by design.
        bool made = levels.get() == Py_None ? make_dirs(fn, dir.get())
                                            : make_private_dirs(fn, levels.get());
        if (!made && !bv::swallow(PyExc_OSError)) return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* mk_root_sub_dir(bv::Function* fn, PyObject* const* args) {
    PyObject* cls = args[0];
    Ref path = bv::call_method(cls, name(fn, io_root_sub_dir), args[1]);
    if (!path) return nullptr;
    int truth = PyObject_IsTrue(path.get());
    if (truth < 0) return nullptr;
    if (truth) {
        Ref r = bv::call_method(cls, name(fn, io_mk_dir), path.get());
        if (!r) return nullptr;
    }
    return path.release();
}

PyObject* cls_root_sub_dir(bv::Function* fn, PyObject* const* args) {
    PyObject* cls = args[0];
    Ref r = bv::call_method(cls, name(fn, io_rm_root_sub_dir), args[1]);
    if (!r) return nullptr;
    return bv::call_method(cls, name(fn, io_mk_root_sub_dir), args[1]).release();
}

PyObject* init(bv::Function* fn, PyObject* const* args) {
    PyObject* cls = args[0];
    PyObject* root_dir = args[1];
    if (root_dir != Py_None && PyObject_SetAttr(cls, name(fn, io_root_dir), root_dir) < 0)
        return nullptr;
    Ref r = bv::call_method(cls, name(fn, io_mk_root_sub_dir), name(fn, io_log));
    if (!r) return nullptr;
    r = bv::call_method(cls, name(fn, io_mk_root_sub_dir), name(fn, io_mat));
    if (!r) return nullptr;
    Py_RETURN_NONE;
}

const bv::Param kRootSubDir[] = {bv::arg("cls"), bv::arg_str("sub", "")};
const bv::Param kGetSubDir[] = {bv::arg("cls"), bv::arg_str("root_dir", "mat"),
                                bv::arg_str("sub_dir_name", "")};
const bv::Param kSetTaskId[] = {bv::arg("cls"), bv::arg("task_id")};
const bv::Param kSub[] = {bv::arg("cls"), bv::arg("sub")};
const bv::Param kMkDir[] = {bv::arg("path")};
const bv::Param kInit[] = {bv::arg("cls"), bv::arg_none("root_dir")};

const bv::Member kMembers[] = {
    bv::classmethod("root_sub_dir", root_sub_dir, kRootSubDir),
    bv::classmethod("get_sub_dir", get_sub_dir, kGetSubDir),
    bv::classmethod("set_task_id", set_task_id, kSetTaskId),
    bv::classmethod("rm_root_sub_dir", rm_root_sub_dir, kSub),
    bv::staticmethod("mk_dir", mk_dir, kMkDir),
    bv::classmethod("mk_root_sub_dir", mk_root_sub_dir, kSub),
    bv::classmethod("cls_root_sub_dir", cls_root_sub_dir, kSub),
    bv::classmethod("init", init, kInit),
};

// The default root, as the class body computes it: the temporary directory
// is asked before the hardware address.
Ref default_root(bv::ModuleBody& m, PyObject* tempfile) {
    PyObject* const* names = m.state<State>().names.v;
    Ref normpath = os_path(m.globals(), names, io_normpath);
    if (!normpath) return Ref();
    Ref join = os_path(m.globals(), names, io_join);
    if (!join) return Ref();
    Ref tmp = bv::call_method(tempfile, names[io_gettempdir]);
    if (!tmp) return Ref();
    Ref mac_fn = bv::global(m.globals(), names[io_get_cur_mac_address]);
    if (!mac_fn) return Ref();
    Ref mac = bv::call(mac_fn.get());
    if (!mac) return Ref();
    Ref joined = bv::call(join.get(), tmp.get(), names[io_Quenmark], mac.get());
    if (!joined) return Ref();
    return bv::call(normpath.get(), joined.get());
}

}  // namespace

bool define_output_file_manager(bv::ModuleBody& m) {
    PyObject* const* names = m.state<State>().names.v;
    // The class body imports tempfile into its namespace and drops it again.
    Ref tempfile = bv::import_module(m.globals(), "tempfile");
    if (!tempfile) return false;
    bv::ClassBuilder b(m, "OutputFileManager");
    b.attr("tempfile", Ref::borrow(tempfile.get()));
    if (!b.ok()) return false;
    Ref root = default_root(m, tempfile.get());
    if (!root) return false;
    m.state<State>().default_root = root.new_ref();
    Ref subs = Ref::steal(PyList_New(5));
    if (!subs) return false;
    const Name sub_names[] = {io_empty, io_record, io_mat, io_test, io_log};
    for (Py_ssize_t i = 0; i < 5; ++i)
        PyList_SET_ITEM(subs.get(), i, bv::new_ref(names[sub_names[i]]));
    Ref cls = b.attr("_OutputFileManager__root_dir", std::move(root))
                  .del("tempfile")
                  .attr("_OutputFileManager__root_sub", std::move(subs))
                  .attr("_OutputFileManager__task_id", Ref::borrow(names[io_empty]))
                  .members(kMembers)
                  .build();
    return m.bind("OutputFileManager", std::move(cls));
}

}  // namespace sorvel

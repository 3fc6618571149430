// The snapshot record both position kinds return.
#include "common.hpp"

#include <utility>

namespace positions {

Record::Record(Calc& c) : c_(c) {
    Ref od = c_.global_obj(n_OrderedDict);
    if (!od) return;
    if (od.get() == reinterpret_cast<PyObject*>(&PyODict_Type)) {
        collect_ = true;
        return;
    }
    record_ = bv::call(od.get());
    c_.ran_code();
    c_.check(bool(record_));
}

void Record::put(RecordKey k, Ref v) {
    if (!c_.ok()) return;
    if (!c_.check(bool(v))) return;
    if (collect_) {
        values_[k] = std::move(v);
        return;
    }
    int rc = PyObject_SetItem(record_.get(), c_.st().keys[k], v.get());
    c_.ran_code();
    c_.check(rc == 0);
}

Num Record::get(RecordKey k) {
    if (!c_.ok()) return Num();
    if (collect_) return Num::borrow(values_[k].get());
    Num v = c_.take(Ref::steal(PyObject_GetItem(record_.get(), c_.st().keys[k])));
    c_.ran_code();
    return v;
}

// Growing a 35-key ordered dict costs four rehashes of the dict and of the
// ordered dict's node index. From 3.8 on a dict copy clones the hash table
// of a combined dict in one memcpy, so a record starts from a copy of a dict
// that already holds every key (the same table insertion would have built)
// and then only gets its values and order nodes. The tables of the new,
// empty record and of the copy are exchanged: each dict keeps owning
// exactly one table, and the copy is released with the record's empty one.
// Nothing outside sees the record before every placeholder is replaced.
#if PY_VERSION_HEX >= 0x03080000
#define POSITIONS_PRESHAPED_RECORD 1
#else
#define POSITIONS_PRESHAPED_RECORD 0
#endif

Ref new_record(State& st) {
    Ref od = Ref::steal(PyODict_New());
#if POSITIONS_PRESHAPED_RECORD
    if (!od) return od;
    Ref table = Ref::steal(PyDict_Copy(st.record_keys_dict));
    if (!table) return Ref();
    PyDictObject* a = reinterpret_cast<PyDictObject*>(od.get());
    PyDictObject* b = reinterpret_cast<PyDictObject*>(table.get());
    if (a->ma_used == 0 && !a->ma_values && !b->ma_values && b->ma_used == kRecordKeyCount) {
        std::swap(a->ma_keys, b->ma_keys);
        std::swap(a->ma_used, b->ma_used);
    }
#else
    (void)st;
#endif
    return od;
}

Ref Record::finish() {
    if (!c_.ok()) return Ref();
    if (!collect_) return std::move(record_);
    Ref od = new_record(c_.st());
    if (!od) return Ref();
    for (int k = 0; k < kRecordKeyCount; ++k)
        if (PyODict_SetItem(od.get(), c_.st().keys[k], values_[k].get()) < 0) return Ref();
    return od;
}

}  // namespace positions

// The snapshot record both position kinds return.
#include "common.hpp"

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

// A new record with its table shaped for the 35 keys: a record gets exactly
// the keys of record_keys_dict, in order, before anyone else sees it.
Ref new_record(State& st) { return Ref::steal(bv::odict_with_keys(st.record_keys_dict)); }

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

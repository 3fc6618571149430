// The snapshot record both position kinds return.
#include "common.hpp"

namespace positions {

Record::Record(Eval& e) : e_(e) {
    if (!e_.ok()) return;
    Ref od = global(e_.fn(), n_OrderedDict);
    if (!e_.check(bool(od))) return;
    if (od.get() == reinterpret_cast<PyObject*>(&PyODict_Type)) {
        collect_ = true;
        return;
    }
    record_ = bv::call(od.get());
    e_.ran_code();
    e_.check(bool(record_));
}

void Record::put(RecordKey k, const Num& v) {
    if (!e_.ok()) return;
    if (collect_) {
        values_[k] = v;
        return;
    }
    Ref o = e_.box(v);
    if (!o) return;
    int rc = PyObject_SetItem(record_.get(), e_.st().keys[k], o.get());
    e_.ran_code();
    e_.check(rc == 0);
}

void Record::put(RecordKey k, Ref v) {
    if (!e_.ok() || !e_.check(bool(v))) return;
    put(k, e_.take(std::move(v)));
}

Num Record::get(RecordKey k) {
    if (!e_.ok()) return Num();
    if (collect_) return values_[k];
    Num v = e_.take(Ref::steal(PyObject_GetItem(record_.get(), e_.st().keys[k])));
    e_.ran_code();
    return v;
}

// A new record with its table shaped for the 35 keys: a record gets exactly
// the keys of record_keys_dict, in order, before anyone else sees it.
Ref new_record(State& st) { return Ref::steal(bv::odict_with_keys(st.record_keys_dict)); }

Ref Record::finish() {
    if (!e_.ok()) return Ref();
    if (!collect_) return std::move(record_);
    State& st = e_.st();
    Ref od = new_record(st);
    if (!od) return Ref();
    for (int k = 0; k < kRecordKeyCount; ++k) {
        Ref v = Ref::steal(bv::box(values_[k]));
        if (!v || PyODict_SetItem(od.get(), st.keys[k], v.get()) < 0) return Ref();
    }
    return od;
}

}  // namespace positions

// The snapshot record both position kinds return.
#include "common.hpp"

namespace positions {

Record::Record(Calc& c) : c_(c) {
    if (!c_.ok()) return;
    Ref od = bv::global(c_.fn(), c_.st().names[n_OrderedDict]);
    if (!c_.check(bool(od))) return;
    if (od.get() == reinterpret_cast<PyObject*>(&PyODict_Type)) {
        collect_ = true;
        return;
    }
    record_ = bv::call(od.get());
    c_.check(bool(record_));
}

void Record::put(RecordKey k, Ref v) {
    if (!c_.ok()) return;
    if (!c_.check(bool(v))) return;
    if (collect_) {
        values_[k] = std::move(v);
        return;
    }
    c_.check(PyObject_SetItem(record_.get(), c_.st().keys[k], v.get()) == 0);
}

Num Record::get(RecordKey k) {
    if (!c_.ok()) return Num();
    if (collect_) return Num::borrow(values_[k].get());
    return c_.take(Ref::steal(PyObject_GetItem(record_.get(), c_.st().keys[k])));
}

Ref Record::finish() {
    if (!c_.ok()) return Ref();
    if (!collect_) return std::move(record_);
    Ref od = Ref::steal(PyODict_New());
    if (!od) return Ref();
    for (int k = 0; k < kRecordKeyCount; ++k)
        if (PyODict_SetItem(od.get(), c_.st().keys[k], values_[k].get()) < 0) return Ref();
    return od;
}

}  // namespace positions

// datetime values read field by field. Include only where <datetime.h> is
// used (it defines a static of its own in every file that includes it).
#pragma once

#include "ref.hpp"

#include <datetime.h>

namespace bv {

// Whether a datetime has a tzinfo: 1, 0, or -1 with the error set.
inline int datetime_has_tzinfo(PyObject* dt) {
#if PY_VERSION_HEX >= 0x030A0000
    return PyDateTime_DATE_GET_TZINFO(dt) != Py_None;
#elif BV_DATETIME_LAYOUT
    return reinterpret_cast<_PyDateTime_BaseTZInfo*>(dt)->hastzinfo;
#else
    Ref tz = Ref::steal(PyObject_GetAttrString(dt, "tzinfo"));
    if (!tz) return -1;
    return tz.get() != Py_None;
#endif
}

}  // namespace bv

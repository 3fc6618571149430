// Unpacking `a, b = value`, with the messages the framework's compiled code
// has always given for a wrong number of values.
#pragma once

#include "ref.hpp"

namespace bv {

// Sets a and b to new references, or returns false with the error set.
bool unpack2(PyObject* value, Ref& a, Ref& b);

}  // namespace bv

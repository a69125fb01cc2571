// Turning values into the texts of messages, as an f-string insertion does.
#pragma once

#include <initializer_list>

#include "ref.hpp"

namespace worker {

// format(value, ""): a str unchanged, the decimal or repr text of an int or a
// float, otherwise whatever the value's __format__ gives.
Ref format_text(PyObject* value);

// The concatenation of `parts` (each a str).
Ref join_text(std::initializer_list<PyObject*> parts);

}  // namespace worker

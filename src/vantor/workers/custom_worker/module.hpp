// What the module keeps for the life of the process, for its handlers.
#pragma once

#include "ref.hpp"

namespace worker {

// The built-in `compile`, looked up once when the module was executed.
PyObject* kept_compile();

// Whether `object` is the module's own _serialize function.
bool is_own_serialize(PyObject* object);

}  // namespace worker

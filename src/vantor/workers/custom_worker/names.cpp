// Interned strings shared by every part of the worker.
#include "names.hpp"

namespace worker::names {

#define WORKER_DEFINE_NAME(id, text) PyObject* id = nullptr;
WORKER_NAMES(WORKER_DEFINE_NAME)
#undef WORKER_DEFINE_NAME

PyObject* encoding_keyword = nullptr;

int intern_all()
{
#define WORKER_INTERN_NAME(id, text)                       \
    if (id == nullptr) {                                   \
        id = PyUnicode_InternFromString(text);             \
        if (id == nullptr) {                               \
            return -1;                                     \
        }                                                  \
    }
    WORKER_NAMES(WORKER_INTERN_NAME)
#undef WORKER_INTERN_NAME
    if (encoding_keyword == nullptr) {
        encoding_keyword = PyTuple_Pack(1, encoding);
    }
    return encoding_keyword != nullptr ? 0 : -1;
}

}  // namespace worker::names

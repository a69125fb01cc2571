// Message texts.
#include "text.hpp"

#include "names.hpp"

namespace worker {

Ref format_text(PyObject* value)
{
    if (PyUnicode_CheckExact(value)) {
        return Ref::retain(value);
    }
    if (PyLong_CheckExact(value)) {
        return Ref::take(PyLong_Type.tp_repr(value));
    }
    if (PyFloat_CheckExact(value)) {
        return Ref::take(PyFloat_Type.tp_repr(value));
    }
    return Ref::take(PyObject_Format(value, names::empty));
}

Ref join_text(std::initializer_list<PyObject*> parts)
{
    return Ref::take(capi::join_array(names::empty, parts.begin(),
                                          static_cast<Py_ssize_t>(parts.size())));
}

}  // namespace worker

// Argument converters.
#include "arguments.hpp"

#include <limits>

namespace containment {

namespace {

int read_unsigned(PyObject* object, int bits, std::uint64_t* value)
{
    const std::uint64_t limit = bits == 64 ? std::numeric_limits<std::uint64_t>::max()
                                           : (std::uint64_t{1} << bits) - 1;
    Ref number = Ref::take(PyNumber_Index(object));
    if (!number) {
        return 0;
    }
    unsigned long long read = PyLong_AsUnsignedLongLong(number.get());
    if (read == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        return 0;
    }
    if (read > limit) {
        PyErr_Format(PyExc_OverflowError, "%R does not fit a %d-bit flag word", number.get(),
                     bits);
        return 0;
    }
    *value = read;
    return 1;
}

}  // namespace

int convert_path(PyObject* object, void* path)
{
    auto* argument = static_cast<PathArgument*>(path);
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(object, &encoded)) {
        return 0;
    }
    argument->given = object;
    argument->encoded = Ref::take(encoded);
    return 1;
}

int convert_optional_path(PyObject* object, void* path)
{
    if (object == Py_None) {
        static_cast<PathArgument*>(path)->given = object;
        return 1;
    }
    return convert_path(object, path);
}

int convert_target(PyObject* object, void* target)
{
    auto* argument = static_cast<TargetArgument*>(target);
    if (!PyLong_Check(object)) {
        return convert_path(object, &argument->path);
    }
    int overflow = 0;
    long fd = PyLong_AsLongAndOverflow(object, &overflow);
    if (fd == -1 && PyErr_Occurred()) {
        return 0;
    }
    if (overflow != 0 || fd < 0 || fd > std::numeric_limits<int>::max()) {
        PyErr_Format(PyExc_ValueError, "%R is not a file descriptor", object);
        return 0;
    }
    argument->path.given = object;
    argument->fd = static_cast<int>(fd);
    return 1;
}

int convert_u32(PyObject* object, void* value)
{
    std::uint64_t read = 0;
    if (!read_unsigned(object, 32, &read)) {
        return 0;
    }
    *static_cast<std::uint32_t*>(value) = static_cast<std::uint32_t>(read);
    return 1;
}

int convert_u64(PyObject* object, void* value)
{
    return read_unsigned(object, 64, static_cast<std::uint64_t*>(value));
}

}  // namespace containment

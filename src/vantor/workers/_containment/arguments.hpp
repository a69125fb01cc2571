// Argument converters for PyArg_Parse*'s "O&": paths (and the other strings
// the mount calls take) in the file system encoding, keeping the object given
// for the error's filename, and integers checked against the width of the
// kernel's parameter.
#pragma once

#include "support.hpp"

#include <cstddef>
#include <cstdint>

namespace containment {

struct PathArgument {
    PyObject* given = nullptr;  // borrowed from the argument tuple
    Ref encoded;                // bytes, or null for an optional path given None

    [[nodiscard]] const char* c_str() const
    {
        return encoded ? PyBytes_AS_STRING(encoded.get()) : nullptr;
    }
};

// A str, bytes or os.PathLike naming a path.
int convert_path(PyObject* object, void* path);
// The same, or None.
int convert_optional_path(PyObject* object, void* path);

// A path, or an int that is a file descriptor standing for the object it is
// open on.
struct TargetArgument {
    PathArgument path;
    int fd = -1;
};
int convert_target(PyObject* object, void* target);

// A non-negative int that fits the kernel's flag word.
int convert_u32(PyObject* object, void* value);
int convert_u64(PyObject* object, void* value);

// PyArg_ParseTupleAndKeywords takes its keyword names as char*[] in 3.11.
template <std::size_t N>
char** keyword_names(const char* const (&names)[N])
{
    return const_cast<char**>(names);
}

// A function that takes keyword arguments, as the type a method table holds.
inline PyCFunction keyword_method(PyCFunctionWithKeywords function)
{
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace containment

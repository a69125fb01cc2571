// Owned references: the one place where reference counts are released.
//
// A Ref owns one strong reference (or nothing). It is built only through
// Ref::take (adopt a new reference) and Ref::retain (add one to a borrowed
// pointer), never converts to PyObject* by itself, and hands its reference
// to C only through release(). Every exit path of a function that holds Refs
// therefore drops exactly what it owns.
#pragma once

#include "capi.hpp"

#include <utility>

namespace worker {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept
    {
        Ref old(std::move(*this));
        object_ = std::exchange(other.object_, nullptr);
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    // Adopts a new reference, as returned by most C-API calls (null allowed).
    [[nodiscard]] static Ref take(PyObject* object) noexcept { return Ref(object); }
    // Adds a reference to a borrowed pointer (null allowed).
    [[nodiscard]] static Ref retain(PyObject* object) noexcept
    {
        Py_XINCREF(object);
        return Ref(object);
    }

    [[nodiscard]] PyObject* get() const noexcept { return object_; }
    // Gives the reference away, e.g. as the return value of a C-API function.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace worker

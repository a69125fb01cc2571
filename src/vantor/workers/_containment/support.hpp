// What every primitive shares: the OSError that reports a failed system
// call, prctl with arguments of the width the kernel reads, and an owned
// file descriptor.
#pragma once

#include "ref.hpp"

#include <sys/prctl.h>
#include <unistd.h>

namespace containment {

using worker::Ref;

// Raises OSError (or the subclass its errno selects) for the call that just
// failed: `errno` as e.errno, "<call>: <system text>" as e.strerror, and the
// paths it was given (or null) as e.filename and e.filename2. Returns null.
// Call it straight after the failed call, before anything can change errno.
PyObject* raise_os_error(const char* call, PyObject* filename = nullptr,
                         PyObject* filename2 = nullptr);

// The items of a sequence as a tuple of its own, or null with TypeError
// (`message`) set. Converting an item can run Python code (__fspath__,
// __index__) that changes a list given by the caller; the tuple keeps the
// items, and the count read at the start, valid throughout.
Ref sequence_snapshot(PyObject* sequence, const char* message);

// The kernel reads every argument of prctl as an unsigned long, and some
// options refuse non-zero unused arguments: passing them through the
// variadic call as int would leave their upper halves undefined.
inline int process_control(int option, unsigned long arg2 = 0, unsigned long arg3 = 0,
                           unsigned long arg4 = 0, unsigned long arg5 = 0)
{
    return prctl(option, arg2, arg3, arg4, arg5);
}

// Owns one file descriptor (or none, when negative) and closes it on scope
// exit, so that every failure path of a primitive gives it back.
class Descriptor {
public:
    explicit Descriptor(long fd) noexcept : fd_(static_cast<int>(fd)) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor()
    {
        if (fd_ >= 0) {
            close(fd_);
        }
    }

    [[nodiscard]] int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }

private:
    int fd_;
};

}  // namespace containment

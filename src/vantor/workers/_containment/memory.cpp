// The process's own memory: faulting pages in ahead of their use, so that a
// process forked to serve one call pays for its copies of the parent's pages
// in one pass, as soon as it exists, rather than one fault at a time; and a
// keeper of that memory, so that the process's end does not wait for the
// kernel to take it apart.
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <vector>

#include "arguments.hpp"
#include "functions.hpp"

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23  // Linux 5.14
#endif

namespace containment {

namespace {

struct Range {
    uintptr_t address;
    size_t length;
};

// What the next child of this process populates, first thing after fork.
std::vector<Range> ranges_after_fork;
bool handler_registered = false;

// Runs in the child inside fork(), before the interpreter's own after-fork
// work (which is the first to write to the pages). madvise changes no byte:
// it does to the page tables what a write would (a private copy of a page
// shared with the parent, a zeroed page where none was), and fails rather
// than faults where a range is no longer mapped writable. The child's own
// children populate nothing.
void populate_in_child()
{
    for (const Range& range : ranges_after_fork) {
        if (madvise(reinterpret_cast<void*>(range.address), range.length,
                    MADV_POPULATE_WRITE) < 0 && errno == EINVAL) {
            break;  // before Linux 5.14: each page is copied when first written
        }
    }
    ranges_after_fork.clear();
}

int read_range(PyObject* item, Range& range)
{
    unsigned long long address = 0;
    unsigned long long length = 0;
    if (!PyArg_ParseTuple(item, "KK:populate_after_fork", &address, &length)) {
        return -1;
    }
    range = {static_cast<uintptr_t>(address), static_cast<size_t>(length)};
    return 0;
}

PyObject* populate_after_fork(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* const keywords[] = {"ranges", nullptr};
    PyObject* given = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:populate_after_fork",
                                     keyword_names(keywords), &given)) {
        return nullptr;
    }
    Ref items = sequence_snapshot(given, "ranges must be a sequence of (address, length)");
    if (!items) {
        return nullptr;
    }
    std::vector<Range> ranges(static_cast<size_t>(PyTuple_GET_SIZE(items.get())));
    for (size_t i = 0; i < ranges.size(); ++i) {
        if (read_range(PyTuple_GET_ITEM(items.get(), static_cast<Py_ssize_t>(i)),
                       ranges[i]) < 0) {
            return nullptr;
        }
    }
    if (!handler_registered) {
        int error = pthread_atfork(nullptr, nullptr, populate_in_child);
        if (error != 0) {
            errno = error;
            return raise_os_error("pthread_atfork");
        }
        handler_registered = true;
    }
    ranges_after_fork = std::move(ranges);
    Py_RETURN_NONE;
}

// The keeper's whole life. It lets go of every descriptor (its own copies:
// the pipes must end when the process ends), dies with the process that
// started it, and until then sleeps in the kernel with every signal blocked,
// so that it never runs a line of code again. It shares that process's
// memory, so it makes no library call that could write there (errno among
// them): only system calls, none of which fails in a way it would report.
int keep_memory(void* argument)
{
    const auto starter = static_cast<long>(reinterpret_cast<intptr_t>(argument));
    syscall(SYS_close_range, 0U, ~0U, 0U);
    syscall(SYS_prctl, PR_SET_PDEATHSIG, SIGKILL, 0L, 0L, 0L);
    if (syscall(SYS_getppid) != starter) {
        syscall(SYS_exit, 0);  // the starter ended before the signal was set
    }
    for (;;) {
        syscall(SYS_ppoll, nullptr, 0, nullptr, nullptr, 0);
    }
}

constexpr size_t keeper_stack_size = 16 * 1024;

PyObject* start_memory_keeper(PyObject*, PyObject*)
{
    void* stack = mmap(nullptr, keeper_stack_size, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (stack == MAP_FAILED) {
        return raise_os_error("mmap");
    }
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);  // the keeper starts with all blocked
    void* starter = reinterpret_cast<void*>(static_cast<intptr_t>(getpid()));
    pid_t pid = clone(keep_memory, static_cast<char*>(stack) + keeper_stack_size,
                      CLONE_VM | SIGCHLD, starter);
    int error = errno;
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (pid < 0) {
        munmap(stack, keeper_stack_size);
        errno = error;
        return raise_os_error("clone");
    }
    return PyLong_FromLong(pid);
}

}  // namespace

PyMethodDef memory_functions[] = {
    {"start_memory_keeper", start_memory_keeper, METH_NOARGS,
     "start_memory_keeper($module, /)\n--\n\n"
     "Start a child that shares this process's memory, holds no descriptor\n"
     "and sleeps with every signal blocked until this process ends, when it\n"
     "is killed; return its pid. This process's end then leaves the memory to\n"
     "it and is over at once: the child takes the memory apart as it dies,\n"
     "and whoever inherits it reaps it when it will."},
    {"populate_after_fork", keyword_method(populate_after_fork), METH_VARARGS | METH_KEYWORDS,
     "populate_after_fork($module, ranges)\n--\n\n"
     "Have every child this process forks from now on fault in the pages of\n"
     "`ranges` ((address, length) pairs) as a write would, first thing after\n"
     "fork, without changing their contents: pages shared copy-on-write with\n"
     "this process are copied at once. An empty sequence turns it off. The\n"
     "children's own children populate nothing. Ranges no longer mapped\n"
     "writable are skipped; before Linux 5.14 nothing is populated."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace containment

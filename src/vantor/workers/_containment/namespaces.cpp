// Namespaces and the process's ties to its parent: unshare, the host name
// of a new UTS namespace, the signal sent when the parent dies, and whether
// the process can be dumped or attached to.
#include <sched.h>
#include <unistd.h>

#include "arguments.hpp"
#include "functions.hpp"

namespace containment {

namespace {

PyObject* enter_namespace(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* const keywords[] = {"fd", "kind", nullptr};
    int fd = -1;
    int kind = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "ii:enter_namespace", keyword_names(keywords),
                                     &fd, &kind)) {
        return nullptr;
    }
    if (setns(fd, kind) < 0) {
        return raise_os_error("setns");
    }
    Py_RETURN_NONE;
}

PyObject* unshare_namespaces(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* const keywords[] = {"flags", nullptr};
    int flags = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "i:unshare", keyword_names(keywords),
                                     &flags)) {
        return nullptr;
    }
    if (unshare(flags) < 0) {
        return raise_os_error("unshare");
    }
    Py_RETURN_NONE;
}

PyObject* set_host_name(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* const keywords[] = {"name", nullptr};
    const char* name = nullptr;
    Py_ssize_t length = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "y#:set_host_name", keyword_names(keywords),
                                     &name, &length)) {
        return nullptr;
    }
    if (sethostname(name, static_cast<size_t>(length)) < 0) {
        return raise_os_error("sethostname");
    }
    Py_RETURN_NONE;
}

PyObject* set_parent_death_signal(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* const keywords[] = {"signal", nullptr};
    int signal = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "i:set_parent_death_signal",
                                     keyword_names(keywords), &signal)) {
        return nullptr;
    }
    if (process_control(PR_SET_PDEATHSIG, static_cast<unsigned long>(signal)) < 0) {
        return raise_os_error("prctl(PR_SET_PDEATHSIG)");
    }
    Py_RETURN_NONE;
}

PyObject* set_dumpable(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* const keywords[] = {"dumpable", nullptr};
    int dumpable = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "p:set_dumpable", keyword_names(keywords),
                                     &dumpable)) {
        return nullptr;
    }
    if (process_control(PR_SET_DUMPABLE, dumpable ? 1 : 0) < 0) {
        return raise_os_error("prctl(PR_SET_DUMPABLE)");
    }
    Py_RETURN_NONE;
}

PyObject* set_child_subreaper(PyObject*, PyObject*)
{
    if (process_control(PR_SET_CHILD_SUBREAPER, 1) < 0) {
        return raise_os_error("prctl(PR_SET_CHILD_SUBREAPER)");
    }
    Py_RETURN_NONE;
}

}  // namespace

PyMethodDef namespace_functions[] = {
    {"enter_namespace", keyword_method(enter_namespace), METH_VARARGS | METH_KEYWORDS,
     "enter_namespace($module, fd, kind)\n--\n\n"
     "Move the calling process into the namespace open on `fd` (a\n"
     "/proc/<pid>/ns/* file), of the CLONE_NEW* `kind` (0: any). Entering a\n"
     "user namespace needs CAP_SYS_ADMIN in it (its owner has it) and a\n"
     "single-threaded caller."},
    {"unshare", keyword_method(unshare_namespaces), METH_VARARGS | METH_KEYWORDS,
     "unshare($module, flags)\n--\n\n"
     "Move the calling process into new namespaces (CLONE_NEW* flags).\n\n"
     "CLONE_NEWPID applies to the children created afterwards, not to the\n"
     "caller; CLONE_NEWUSER fails (EINVAL) in a process with several threads."},
    {"set_host_name", keyword_method(set_host_name), METH_VARARGS | METH_KEYWORDS,
     "set_host_name($module, name)\n--\n\n"
     "Set the host name (bytes) of the calling process's UTS namespace.\n\n"
     "Works for the owner of a new UTS namespace, where writing\n"
     "/proc/sys/kernel/hostname is refused to all but the initial root."},
    {"set_parent_death_signal", keyword_method(set_parent_death_signal),
     METH_VARARGS | METH_KEYWORDS,
     "set_parent_death_signal($module, signal)\n--\n\n"
     "Have `signal` sent to this process when its parent ends (0 turns it off).\n\n"
     "The parent is the thread that created this process: a process started\n"
     "from a thread other than the main one gets the signal when that thread\n"
     "ends. The parent may already have ended before the call: compare\n"
     "os.getppid() with the parent's pid afterwards. A change of effective or\n"
     "file-system user or group ID clears the setting, so make it after them."},
    {"set_dumpable", keyword_method(set_dumpable), METH_VARARGS | METH_KEYWORDS,
     "set_dumpable($module, dumpable)\n--\n\n"
     "Allow or forbid core dumps of this process; a process that is not\n"
     "dumpable cannot be attached to by other processes of its user and its\n"
     "/proc/<pid> files belong to root. Executing a program makes it dumpable\n"
     "again, so make it after the last exec."},
    {"set_child_subreaper", set_child_subreaper, METH_NOARGS,
     "set_child_subreaper($module)\n--\n\n"
     "Make this process the reaper of its orphaned descendants: a process\n"
     "whose parent ends is handed to it rather than to init, so that it can\n"
     "find and end everything its children started."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace containment

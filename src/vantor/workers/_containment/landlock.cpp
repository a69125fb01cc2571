// Landlock: the ABI version of the running kernel, and a ruleset of
// path-beneath rules enforced on the calling thread and its future
// children.
#include "landlock.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <cerrno>

#include "arguments.hpp"
#include "functions.hpp"
#include "privileges.hpp"

namespace containment {

namespace {

// The rights each ABI version added. A right the running kernel does not
// know makes the ruleset fail, and leaving it out quietly would grant what
// the caller meant to deny: both are refused up front instead.
struct AbiRights {
    int abi;
    std::uint64_t fs;
    std::uint64_t net;
    std::uint64_t scoped;
};

const AbiRights rights_by_abi[] = {
    {1, (LANDLOCK_ACCESS_FS_MAKE_SYM << 1) - 1, 0, 0},
    {2, LANDLOCK_ACCESS_FS_REFER, 0, 0},
    {3, LANDLOCK_ACCESS_FS_TRUNCATE, 0, 0},
    {4, 0, LANDLOCK_ACCESS_NET_BIND_TCP | LANDLOCK_ACCESS_NET_CONNECT_TCP, 0},
    {5, LANDLOCK_ACCESS_FS_IOCTL_DEV, 0, 0},
    {6, 0, 0, LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET | LANDLOCK_SCOPE_SIGNAL},
};

// The kernel refuses directory rights in a rule for a file.
constexpr std::uint64_t file_rights = LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE |
                                      LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_TRUNCATE |
                                      LANDLOCK_ACCESS_FS_IOCTL_DEV;

long ruleset_version()
{
    return syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
}

int check_field(const char* field, std::uint64_t given, std::uint64_t known, long abi)
{
    if ((given & ~known) == 0) {
        return 0;
    }
    Ref unknown = Ref::take(PyLong_FromUnsignedLongLong(given & ~known));
    Ref text = Ref::take(unknown ? PyNumber_ToBase(unknown.get(), 16) : nullptr);
    if (text) {
        PyErr_Format(PyExc_ValueError, "%s has rights that Landlock ABI %ld does not know: %U",
                     field, abi, text.get());
    }
    return -1;
}

int check_known_rights(long abi, const RulesetAttributes& ruleset)
{
    AbiRights known = {0, 0, 0, 0};
    for (const AbiRights& added : rights_by_abi) {
        if (added.abi <= abi) {
            known.fs |= added.fs;
            known.net |= added.net;
            known.scoped |= added.scoped;
        }
    }
    if (check_field("handled_fs", ruleset.handled_access_fs, known.fs, abi) < 0 ||
        check_field("handled_net", ruleset.handled_access_net, known.net, abi) < 0) {
        return -1;
    }
    return check_field("scoped", ruleset.scoped, known.scoped, abi);
}

int add_path_rule(int ruleset, PyObject* rule, std::uint64_t handled_fs)
{
    PathArgument path;
    std::uint64_t access = 0;
    if (!PyTuple_Check(rule)) {
        PyErr_Format(PyExc_TypeError, "a rule is a (path, access) tuple, not %.200s",
                     Py_TYPE(rule)->tp_name);
        return -1;
    }
    if (!PyArg_ParseTuple(rule, "O&O&:landlock_restrict", convert_path, &path, convert_u64,
                          &access)) {
        return -1;
    }
    if ((access & ~handled_fs) != 0) {
        PyErr_Format(PyExc_ValueError, "the rule for %R allows rights that handled_fs lacks",
                     path.given);
        return -1;
    }
    Descriptor parent(open(path.c_str(), O_PATH | O_CLOEXEC));
    struct stat status = {};
    if (!parent || fstat(parent.get(), &status) < 0) {
        raise_os_error("open", path.given);
        return -1;
    }
    if (!S_ISDIR(status.st_mode)) {
        access &= file_rights;
    }
    // A rule that grants nothing would only be refused by the kernel.
    if (access == 0) {
        return 0;
    }
    landlock_path_beneath_attr beneath = {access, parent.get()};
    if (syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &beneath, 0) < 0) {
        raise_os_error("landlock_add_rule", path.given);
        return -1;
    }
    return 0;
}

int add_connect_rule(int ruleset, PyObject* port, std::uint64_t handled_net)
{
    unsigned long number = PyLong_AsUnsignedLong(port);
    if (number == static_cast<unsigned long>(-1) && PyErr_Occurred()) {
        return -1;
    }
    if (number > 65535) {
        PyErr_Format(PyExc_ValueError, "port %lu is out of range", number);
        return -1;
    }
    if ((handled_net & LANDLOCK_ACCESS_NET_CONNECT_TCP) == 0) {
        PyErr_SetString(PyExc_ValueError, "connect_ports needs handled_net to handle connect");
        return -1;
    }
    NetPortAttributes attr = {LANDLOCK_ACCESS_NET_CONNECT_TCP, number};
    if (syscall(SYS_landlock_add_rule, ruleset, rule_net_port, &attr, 0) < 0) {
        raise_os_error("landlock_add_rule");
        return -1;
    }
    return 0;
}

PyObject* landlock_abi(PyObject*, PyObject*)
{
    long abi = ruleset_version();
    if (abi >= 0) {
        return PyLong_FromLong(abi);
    }
    if (errno == ENOSYS || errno == EOPNOTSUPP) {
        return PyLong_FromLong(0);
    }
    return raise_os_error("landlock_create_ruleset");
}

PyObject* landlock_restrict(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* const keywords[] = {"rules", "handled_fs", "handled_net", "scoped",
                                           "connect_ports", nullptr};
    PyObject* rules = nullptr;
    PyObject* ports = nullptr;
    RulesetAttributes ruleset = {};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO&|O&O&O:landlock_restrict",
                                     keyword_names(keywords), &rules, convert_u64,
                                     &ruleset.handled_access_fs, convert_u64,
                                     &ruleset.handled_access_net, convert_u64, &ruleset.scoped,
                                     &ports)) {
        return nullptr;
    }
    Ref no_ports = Ref::take(PyTuple_New(0));
    Ref sequence = sequence_snapshot(rules, "rules must be a sequence of (path, access)");
    if (!no_ports || !sequence) {
        return nullptr;
    }
    Ref port_sequence = sequence_snapshot(ports ? ports : no_ports.get(),
                                          "connect_ports must be a sequence of ports");
    if (!port_sequence || require_no_new_privs("landlock_restrict") < 0) {
        return nullptr;
    }
    long abi = ruleset_version();
    if (abi < 0) {
        return raise_os_error("landlock_create_ruleset");
    }
    if (check_known_rights(abi, ruleset) < 0) {
        return nullptr;
    }
    Descriptor ruleset_fd(syscall(SYS_landlock_create_ruleset, &ruleset, sizeof ruleset, 0));
    if (!ruleset_fd) {
        return raise_os_error("landlock_create_ruleset");
    }
    Py_ssize_t count = PyTuple_GET_SIZE(sequence.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* rule = PyTuple_GET_ITEM(sequence.get(), i);
        if (add_path_rule(ruleset_fd.get(), rule, ruleset.handled_access_fs) < 0) {
            return nullptr;
        }
    }
    Py_ssize_t port_count = PyTuple_GET_SIZE(port_sequence.get());
    for (Py_ssize_t i = 0; i < port_count; ++i) {
        PyObject* port = PyTuple_GET_ITEM(port_sequence.get(), i);
        if (add_connect_rule(ruleset_fd.get(), port, ruleset.handled_access_net) < 0) {
            return nullptr;
        }
    }
    if (syscall(SYS_landlock_restrict_self, ruleset_fd.get(), 0) < 0) {
        return raise_os_error("landlock_restrict_self");
    }
    Py_RETURN_NONE;
}

}  // namespace

PyMethodDef landlock_functions[] = {
    {"landlock_abi", landlock_abi, METH_NOARGS,
     "landlock_abi($module, /)\n--\n\n"
     "The Landlock ABI version of the running kernel, or 0 when Landlock is\n"
     "not built in or not enabled."},
    {"landlock_restrict", keyword_method(landlock_restrict), METH_VARARGS | METH_KEYWORDS,
     "landlock_restrict($module, rules, handled_fs, handled_net=0, scoped=0,\n"
     "                  connect_ports=())\n--\n\n"
     "Enforce a Landlock ruleset on the calling thread and the processes it\n"
     "starts from now on. The ruleset handles exactly the LANDLOCK_ACCESS_FS_*\n"
     "rights `handled_fs` and LANDLOCK_ACCESS_NET_* rights `handled_net`, and the\n"
     "LANDLOCK_SCOPE_* restrictions `scoped`; a right the running ABI does not\n"
     "know raises ValueError. Each (path, access) rule allows `access` beneath\n"
     "`path` (for a path that is not a directory, only its file rights; a rule\n"
     "left with no right is skipped). TCP connections are allowed to the ports\n"
     "in `connect_ports` only; other handled TCP rights are denied on every port.\n\n"
     "no_new_privs must be set already (RuntimeError otherwise). Call it before\n"
     "starting threads: other threads of the process are not restricted."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace containment

// seccomp: a classic BPF filter, installed on the calling thread, that
// refuses the system calls a tool script has no business making: reading or
// tracing other processes, administering the kernel, changing mounts and
// namespaces, io_uring, typing into a terminal, and socket families the
// caller did not allow. Everything else is allowed.
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/personality.h>
#include <sys/syscall.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <iterator>

#include "arguments.hpp"
#include "functions.hpp"
#include "privileges.hpp"

// Linux 6.15; numbers from 424 on are the same on every architecture here.
#ifndef SYS_open_tree_attr
#define SYS_open_tree_attr 467
#endif

namespace containment {

namespace {

#if defined(__x86_64__)
constexpr std::uint32_t native_arch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr std::uint32_t native_arch = AUDIT_ARCH_AARCH64;
#else
#error "the seccomp filter knows the system call numbers of x86_64 and aarch64 only"
#endif

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "an argument's low 32 bits are taken from its first word");

constexpr std::uint32_t allow = SECCOMP_RET_ALLOW;
constexpr std::uint32_t kill_process = SECCOMP_RET_KILL_PROCESS;

constexpr std::uint32_t fail_with(int error)
{
    return SECCOMP_RET_ERRNO | (static_cast<std::uint32_t>(error) & SECCOMP_RET_DATA);
}

// Every argument the filter tests is an int, or a flag word whose bits of
// interest are below bit 32 (and the kernel itself truncates ioctl's request
// to 32 bits), so the low half is the whole story.
constexpr std::uint32_t argument_low_half(int index)
{
    return static_cast<std::uint32_t>(offsetof(seccomp_data, args) + 8 * index);
}

struct Refusal {
    long number;
    int error;
};

const Refusal refusals[] = {
    // Reading, tracing or comparing other processes.
    {SYS_ptrace, EPERM},
    {SYS_process_vm_readv, EPERM},
    {SYS_process_vm_writev, EPERM},
    {SYS_process_madvise, EPERM},
    {SYS_pidfd_getfd, EPERM},
    {SYS_kcmp, EPERM},
    // Kernel interfaces with a record of privilege escalation.
    {SYS_bpf, EPERM},
    {SYS_perf_event_open, EPERM},
    {SYS_userfaultfd, EPERM},
    // Administering the kernel and the system.
    {SYS_kexec_load, EPERM},
    {SYS_kexec_file_load, EPERM},
    {SYS_init_module, EPERM},
    {SYS_finit_module, EPERM},
    {SYS_delete_module, EPERM},
    {SYS_reboot, EPERM},
    {SYS_swapon, EPERM},
    {SYS_swapoff, EPERM},
    {SYS_acct, EPERM},
    {SYS_syslog, EPERM},
    {SYS_quotactl, EPERM},
#ifdef SYS_quotactl_fd
    {SYS_quotactl_fd, EPERM},
#endif
    {SYS_add_key, EPERM},
    {SYS_request_key, EPERM},
    {SYS_keyctl, EPERM},
    // File handles open files without a path walk, past every directory check.
    {SYS_open_by_handle_at, EPERM},
    {SYS_name_to_handle_at, EPERM},
    // The mounts and namespaces the sandbox was built with stay as they are.
    {SYS_mount, EPERM},
    {SYS_umount2, EPERM},
    {SYS_pivot_root, EPERM},
    {SYS_move_mount, EPERM},
    {SYS_open_tree, EPERM},
    {SYS_open_tree_attr, EPERM},
    {SYS_fsopen, EPERM},
    {SYS_fsmount, EPERM},
    {SYS_fspick, EPERM},
    {SYS_fsconfig, EPERM},
    {SYS_mount_setattr, EPERM},
    {SYS_unshare, EPERM},
    {SYS_setns, EPERM},
    {SYS_chroot, EPERM},
    // Hardware ports, terminals and clocks.
#ifdef SYS_iopl
    {SYS_iopl, EPERM},
#endif
#ifdef SYS_ioperm
    {SYS_ioperm, EPERM},
#endif
    {SYS_vhangup, EPERM},
    {SYS_settimeofday, EPERM},
    {SYS_clock_settime, EPERM},
    {SYS_clock_adjtime, EPERM},
    {SYS_adjtimex, EPERM},
    // Obsolete calls.
#ifdef SYS_lookup_dcookie
    {SYS_lookup_dcookie, EPERM},
#endif
#ifdef SYS_nfsservctl
    {SYS_nfsservctl, EPERM},
#endif
#ifdef SYS_uselib
    {SYS_uselib, EPERM},
#endif
    // io_uring performs its operations where this filter does not see them;
    // ENOSYS makes libraries fall back to ordinary calls.
    {SYS_io_uring_setup, ENOSYS},
    {SYS_io_uring_enter, ENOSYS},
    {SYS_io_uring_register, ENOSYS},
    // clone3's flags are behind a pointer the filter cannot read; ENOSYS makes
    // glibc fall back to clone, whose flags it can (EPERM would fail thread
    // creation instead).
    {SYS_clone3, ENOSYS},
};

constexpr std::uint32_t namespace_flags = CLONE_NEWNS | CLONE_NEWUTS | CLONE_NEWIPC |
                                          CLONE_NEWUSER | CLONE_NEWPID | CLONE_NEWNET |
                                          CLONE_NEWCGROUP;

enum class Test { equal, any_bit };

// A system call decided by one of its arguments: `on_match` when the
// argument passes the test with any of `values`, `otherwise` when with none.
struct ArgumentRule {
    long number;
    int argument;
    Test test;
    std::uint32_t values[2];
    std::size_t count;
    std::uint32_t on_match;
    std::uint32_t otherwise;
};

const ArgumentRule argument_rules[] = {
    {SYS_clone, 0, Test::any_bit, {namespace_flags}, 1, fail_with(EPERM), allow},
    {SYS_ioctl, 1, Test::equal, {TIOCSTI, TIOCLINUX}, 2, fail_with(EPERM), allow},
    // Only reading the persona (0xffffffff) and asking for the usual one.
    {SYS_personality, 0, Test::equal, {0xffffffff, PER_LINUX}, 2, allow, fail_with(EPERM)},
};

// Bounded so that the socket section (two instructions a family) can be
// skipped with BPF's 8-bit jump offset.
constexpr std::size_t max_socket_families = 64;

// A filter program built in sections, one per system call. A section starts
// with a test of the system call number (in the accumulator) that skips the
// section, and ends in a return, so no jump leaves its section: the only
// offsets longer than one are those skips, computed when the section ends
// and checked against the 8-bit limit.
class Filter {
public:
    void load(std::uint32_t offset) { add(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offset)); }
    void give(std::uint32_t action) { add(BPF_STMT(BPF_RET | BPF_K, action)); }
    // Returns `action` when the accumulator passes `test` with `value`;
    // otherwise goes on with the next instruction.
    void give_if(Test test, std::uint32_t value, std::uint32_t action)
    {
        const int comparison = test == Test::equal ? BPF_JEQ : BPF_JSET;
        add(BPF_JUMP(static_cast<std::uint16_t>(BPF_JMP | comparison | BPF_K), value, 0, 1));
        give(action);
    }
    void give_if_not_equal(std::uint32_t value, std::uint32_t action)
    {
        add(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, value, 1, 0));
        give(action);
    }
    void give_if_at_least(std::uint32_t value, std::uint32_t action)
    {
        add(BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, value, 0, 1));
        give(action);
    }

    void begin_section(long number)
    {
        section_start_ = size_;
        add(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(number), 0, 0));
    }
    void end_section()
    {
        std::size_t skip = size_ - section_start_ - 1;
        if (broken_ || skip > 255 || BPF_CLASS(code_[size_ - 1].code) != BPF_RET) {
            broken_ = true;
            return;
        }
        code_[section_start_].jf = static_cast<std::uint8_t>(skip);
    }

    [[nodiscard]] bool broken() const { return broken_; }
    sock_fprog program() { return {static_cast<unsigned short>(size_), code_}; }

private:
    void add(sock_filter instruction)
    {
        if (size_ == std::size(code_)) {
            broken_ = true;
            return;
        }
        code_[size_++] = instruction;
    }

    // Room for every section with the most socket families (about 400
    // instructions); the kernel takes up to 4096.
    sock_filter code_[512] = {};
    std::size_t size_ = 0;
    std::size_t section_start_ = 0;
    bool broken_ = false;
};

void add_argument_rule(Filter& filter, const ArgumentRule& rule)
{
    filter.begin_section(rule.number);
    filter.load(argument_low_half(rule.argument));
    for (std::size_t i = 0; i < rule.count; ++i) {
        filter.give_if(rule.test, rule.values[i], rule.on_match);
    }
    filter.give(rule.otherwise);
    filter.end_section();
}

void build(Filter& filter, const std::uint32_t* families, std::size_t family_count)
{
    // A process of another architecture, or an x32 one, numbers its calls
    // differently: it is ended rather than filtered with the wrong table.
    filter.load(offsetof(seccomp_data, arch));
    filter.give_if_not_equal(native_arch, kill_process);
    filter.load(offsetof(seccomp_data, nr));
#ifdef __x86_64__
    filter.give_if_at_least(0x40000000, kill_process);  // __X32_SYSCALL_BIT
#endif
    for (const Refusal& refusal : refusals) {
        filter.begin_section(refusal.number);
        filter.give(fail_with(refusal.error));
        filter.end_section();
    }
    for (const ArgumentRule& rule : argument_rules) {
        add_argument_rule(filter, rule);
    }
    for (long number : {SYS_socket, SYS_socketpair}) {
        filter.begin_section(number);
        filter.load(argument_low_half(0));
        for (std::size_t i = 0; i < family_count; ++i) {
            filter.give_if(Test::equal, families[i], allow);
        }
        filter.give(fail_with(EAFNOSUPPORT));
        filter.end_section();
    }
    filter.give(allow);
}

int read_families(PyObject* given, std::uint32_t* families, std::size_t& count)
{
    Ref sequence = sequence_snapshot(given, "socket_families must be a sequence of ints");
    if (!sequence) {
        return -1;
    }
    Py_ssize_t size = PyTuple_GET_SIZE(sequence.get());
    if (size > static_cast<Py_ssize_t>(max_socket_families)) {
        PyErr_Format(PyExc_ValueError, "at most %zu socket families, not %zd",
                     max_socket_families, size);
        return -1;
    }
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* item = PyTuple_GET_ITEM(sequence.get(), i);
        long family = PyLong_AsLong(item);
        if (family == -1 && PyErr_Occurred()) {
            return -1;
        }
        // sa_family_t is 16 bits wide.
        if (family < 0 || family > 0xffff) {
            PyErr_Format(PyExc_ValueError, "%R is not an address family", item);
            return -1;
        }
        families[i] = static_cast<std::uint32_t>(family);
    }
    count = static_cast<std::size_t>(size);
    return 0;
}

PyObject* install_seccomp_filter(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* const keywords[] = {"socket_families", nullptr};
    PyObject* given = nullptr;
    std::uint32_t families[max_socket_families] = {};
    std::size_t count = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:install_seccomp_filter",
                                     keyword_names(keywords), &given) ||
        read_families(given, families, count) < 0 ||
        require_no_new_privs("install_seccomp_filter") < 0) {
        return nullptr;
    }
    Filter filter;
    build(filter, families, count);
    if (filter.broken()) {
        PyErr_SetString(PyExc_SystemError, "the seccomp filter does not fit BPF's jump offsets");
        return nullptr;
    }
    sock_fprog program = filter.program();
    if (syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program) < 0) {
        return raise_os_error("seccomp");
    }
    Py_RETURN_NONE;
}

}  // namespace

PyMethodDef seccomp_functions[] = {
    {"install_seccomp_filter", keyword_method(install_seccomp_filter),
     METH_VARARGS | METH_KEYWORDS,
     "install_seccomp_filter($module, socket_families)\n--\n\n"
     "Install the worker's seccomp filter on the calling thread; it is\n"
     "inherited by every process started from it and cannot be removed.\n\n"
     "Refused with EPERM: tracing and reading other processes (ptrace,\n"
     "process_vm_readv/writev, process_madvise, pidfd_getfd, kcmp), bpf,\n"
     "perf_event_open, userfaultfd, loading kernels and modules, reboot, swap,\n"
     "acct, syslog, quotas, keyrings, file handles, every mount call, unshare,\n"
     "setns, chroot, iopl/ioperm, vhangup, setting clocks, clone with a\n"
     "CLONE_NEW* flag, the TIOCSTI and TIOCLINUX ioctls, and personality other\n"
     "than querying it or PER_LINUX. With ENOSYS, so that callers fall back:\n"
     "io_uring and clone3. socket and socketpair fail with EAFNOSUPPORT for a\n"
     "family not in `socket_families` (at most 64). A process of another\n"
     "architecture or ABI (x32) is killed.\n\n"
     "no_new_privs must be set already (RuntimeError otherwise). Other threads\n"
     "of the process are not filtered: call it while single-threaded."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace containment

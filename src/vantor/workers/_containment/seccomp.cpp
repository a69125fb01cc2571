// seccomp: a classic BPF filter, installed on the calling thread, that lets
// through only the system calls an interpreter, its standard library,
// threads, subprocesses and common native packages make. Calls with a record
// of escapes (tracing other processes, administering the kernel, changing
// mounts and namespaces) fail with EPERM; calls the filter does not know,
// including every call a later kernel adds, fail with ENOSYS, which callers
// take as "not available here" and work around.
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/personality.h>
#include <sys/syscall.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <iterator>

#include "arguments.hpp"
#include "functions.hpp"
#include "privileges.hpp"

// Calls newer than the C library's headers; numbers from 424 on are the same
// on every architecture here.
#ifndef SYS_futex_waitv
#define SYS_futex_waitv 449
#endif
#ifndef SYS_set_mempolicy_home_node
#define SYS_set_mempolicy_home_node 450
#endif
#ifndef SYS_cachestat
#define SYS_cachestat 451
#endif
#ifndef SYS_fchmodat2
#define SYS_fchmodat2 452
#endif
#ifndef SYS_map_shadow_stack
#define SYS_map_shadow_stack 453
#endif
#ifndef SYS_futex_wake
#define SYS_futex_wake 454
#define SYS_futex_wait 455
#define SYS_futex_requeue 456
#endif
#ifndef SYS_mseal
#define SYS_mseal 462
#endif
#ifndef SYS_open_tree_attr
#define SYS_open_tree_attr 467
#endif
#ifndef __O_TMPFILE
#define __O_TMPFILE 020000000
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
    // Watching the whole mount or file system, charged to the host's user.
    {SYS_fanotify_init, EPERM},
    {SYS_fanotify_mark, EPERM},
    // Moving another process's memory between NUMA nodes.
    {SYS_migrate_pages, EPERM},
    {SYS_move_pages, EPERM},
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
    {SYS_sethostname, EPERM},
    {SYS_setdomainname, EPERM},
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


// The calls let through whatever their arguments. Those that take a mode,
// a socket family, clone flags, an ioctl request, a persona or a fallocate
// mode are decided by their arguments instead (argument_rules and the
// sections built in build()).
const long allowed_calls[] = {
    // Files and descriptors.
    SYS_read, SYS_write, SYS_close, SYS_close_range, SYS_fstat, SYS_newfstatat, SYS_statx,
    SYS_lseek, SYS_pread64, SYS_pwrite64, SYS_readv, SYS_writev, SYS_preadv, SYS_pwritev,
    SYS_preadv2, SYS_pwritev2, SYS_dup, SYS_dup3, SYS_fcntl, SYS_flock, SYS_fsync,
    SYS_fdatasync, SYS_sync, SYS_syncfs, SYS_sync_file_range, SYS_truncate, SYS_ftruncate,
    SYS_getdents64, SYS_getcwd, SYS_chdir, SYS_fchdir, SYS_mkdirat, SYS_unlinkat, SYS_renameat,
    SYS_renameat2, SYS_linkat, SYS_symlinkat, SYS_readlinkat, SYS_faccessat, SYS_faccessat2,
    SYS_fchownat, SYS_fchown, SYS_umask, SYS_utimensat, SYS_statfs, SYS_fstatfs,
    SYS_readahead, SYS_fadvise64, SYS_copy_file_range, SYS_sendfile, SYS_splice, SYS_tee,
    SYS_vmsplice, SYS_pipe2, SYS_cachestat,
    SYS_setxattr, SYS_lsetxattr, SYS_fsetxattr, SYS_getxattr, SYS_lgetxattr, SYS_fgetxattr,
    SYS_listxattr, SYS_llistxattr, SYS_flistxattr, SYS_removexattr, SYS_lremovexattr,
    SYS_fremovexattr,
    // Waiting for descriptors and events.
    SYS_pselect6, SYS_ppoll, SYS_epoll_create1, SYS_epoll_ctl, SYS_epoll_pwait,
    SYS_epoll_pwait2, SYS_eventfd2, SYS_signalfd4, SYS_timerfd_create, SYS_timerfd_settime,
    SYS_timerfd_gettime, SYS_inotify_init1, SYS_inotify_add_watch, SYS_inotify_rm_watch,
    // Memory.
    SYS_brk, SYS_mmap, SYS_munmap, SYS_mremap, SYS_mprotect, SYS_msync, SYS_mincore,
    SYS_madvise, SYS_mlock, SYS_mlock2, SYS_munlock, SYS_mlockall, SYS_munlockall,
    SYS_remap_file_pages, SYS_membarrier, SYS_memfd_create, SYS_pkey_alloc, SYS_pkey_free,
    SYS_pkey_mprotect, SYS_mseal, SYS_map_shadow_stack, SYS_get_mempolicy,
    SYS_set_mempolicy, SYS_mbind, SYS_set_mempolicy_home_node,
    // Processes, threads and their ends.
    SYS_execve, SYS_execveat, SYS_exit, SYS_exit_group, SYS_wait4, SYS_waitid,
    SYS_set_tid_address, SYS_set_robust_list, SYS_get_robust_list, SYS_rseq, SYS_futex,
    SYS_futex_waitv, SYS_futex_wake, SYS_futex_wait, SYS_futex_requeue, SYS_pidfd_open,
    SYS_getpid, SYS_getppid, SYS_gettid, SYS_getpgid, SYS_setpgid, SYS_getsid, SYS_setsid,
    SYS_prctl, SYS_seccomp, SYS_landlock_create_ruleset, SYS_landlock_add_rule,
    SYS_landlock_restrict_self, SYS_capget, SYS_capset,
    SYS_getuid, SYS_geteuid, SYS_getgid, SYS_getegid, SYS_getresuid, SYS_getresgid,
    SYS_getgroups, SYS_setuid, SYS_setgid, SYS_setreuid, SYS_setregid, SYS_setresuid,
    SYS_setresgid, SYS_setgroups, SYS_setfsuid, SYS_setfsgid,
    SYS_getrlimit, SYS_setrlimit, SYS_prlimit64, SYS_getrusage, SYS_times, SYS_sysinfo,
    SYS_uname, SYS_getrandom, SYS_getcpu, SYS_getpriority, SYS_setpriority,
    SYS_ioprio_get, SYS_ioprio_set, SYS_sched_yield, SYS_sched_getaffinity,
    SYS_sched_setaffinity, SYS_sched_getparam, SYS_sched_setparam, SYS_sched_getscheduler,
    SYS_sched_setscheduler, SYS_sched_get_priority_max, SYS_sched_get_priority_min,
    SYS_sched_rr_get_interval, SYS_sched_getattr, SYS_sched_setattr,
    // Signals and timers.
    SYS_rt_sigaction, SYS_rt_sigprocmask, SYS_rt_sigreturn, SYS_rt_sigpending,
    SYS_rt_sigtimedwait, SYS_rt_sigqueueinfo, SYS_rt_tgsigqueueinfo, SYS_rt_sigsuspend,
    SYS_sigaltstack, SYS_kill, SYS_tkill, SYS_tgkill, SYS_pidfd_send_signal,
    SYS_restart_syscall, SYS_getitimer, SYS_setitimer, SYS_timer_create, SYS_timer_settime,
    SYS_timer_gettime, SYS_timer_getoverrun, SYS_timer_delete, SYS_nanosleep,
    SYS_clock_nanosleep, SYS_clock_gettime, SYS_clock_getres, SYS_gettimeofday,
    // Sockets (their families are checked where they are made).
    SYS_connect, SYS_accept, SYS_accept4, SYS_bind, SYS_listen, SYS_shutdown,
    SYS_getsockname, SYS_getpeername, SYS_setsockopt, SYS_getsockopt, SYS_sendto,
    SYS_recvfrom, SYS_sendmsg, SYS_recvmsg, SYS_sendmmsg, SYS_recvmmsg,
    // System V IPC and POSIX message queues, private to the IPC namespace.
    SYS_shmget, SYS_shmat, SYS_shmctl, SYS_shmdt, SYS_semget, SYS_semop, SYS_semctl,
    SYS_semtimedop, SYS_msgget, SYS_msgsnd, SYS_msgrcv, SYS_msgctl, SYS_mq_open,
    SYS_mq_unlink, SYS_mq_timedsend, SYS_mq_timedreceive, SYS_mq_notify, SYS_mq_getsetattr,
#if defined(__x86_64__)
    // The calls x86_64 kept from before the *at and generic forms.
    SYS_stat, SYS_lstat, SYS_access, SYS_poll, SYS_select, SYS_pipe, SYS_dup2, SYS_pause,
    SYS_alarm, SYS_fork, SYS_vfork, SYS_getdents, SYS_rename, SYS_mkdir, SYS_rmdir, SYS_link,
    SYS_unlink, SYS_symlink, SYS_readlink, SYS_chown, SYS_lchown, SYS_utime, SYS_utimes,
    SYS_futimesat, SYS_time, SYS_getpgrp, SYS_arch_prctl, SYS_epoll_create, SYS_epoll_wait,
    SYS_eventfd, SYS_signalfd, SYS_inotify_init,
#endif
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
    // Only plain allocation: the kernel checks RLIMIT_FSIZE when a file
    // grows, and FALLOC_FL_KEEP_SIZE (or inserting a range) fills a file
    // without growing it. EOPNOTSUPP is what a file system without the mode
    // answers, and callers fall back to writing.
    {SYS_fallocate, 1, Test::equal, {0}, 1, allow, fail_with(EOPNOTSUPP)},
};

// A call that sets a file's mode: refused when the mode has the set-user-ID
// or set-group-ID bit, so that no such file is left in a writable place of
// the host. For the open calls only when they create a file (the mode is
// ignored otherwise, and may be anything).
struct ModeRule {
    long number;
    int flags_argument;  // -1: the call always uses its mode
    int mode_argument;
};

constexpr std::uint32_t set_id_bits = S_ISUID | S_ISGID;
constexpr std::uint32_t creating_flags = O_CREAT | __O_TMPFILE;

const ModeRule mode_rules[] = {
    {SYS_openat, 2, 3},
    {SYS_fchmod, -1, 1},
    {SYS_fchmodat, -1, 2},
    {SYS_fchmodat2, -1, 2},
    {SYS_mknodat, -1, 2},
#if defined(__x86_64__)
    {SYS_open, 1, 2},
    {SYS_creat, -1, 1},
    {SYS_chmod, -1, 1},
    {SYS_mknod, -1, 1},
#endif
};
// mkdir and mkdirat are not among them: the kernel drops both bits from a
// new directory's mode itself.

// Bounded so that the socket section (two instructions a family) can be
// skipped with BPF's 8-bit jump offset.
constexpr std::size_t max_socket_families = 64;

struct Families {
    std::uint32_t values[max_socket_families] = {};
    std::size_t count = 0;
};

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
    // Returns `action` when the accumulator has none of the bits of `value`.
    void give_unless_any_bit(std::uint32_t value, std::uint32_t action)
    {
        add(BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, value, 1, 0));
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

    // Room for every section with the most socket families (about 800
    // instructions); the kernel takes up to 4096.
    sock_filter code_[1024] = {};
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

void add_mode_rule(Filter& filter, const ModeRule& rule)
{
    filter.begin_section(rule.number);
    if (rule.flags_argument >= 0) {
        filter.load(argument_low_half(rule.flags_argument));
        filter.give_unless_any_bit(creating_flags, allow);
    }
    filter.load(argument_low_half(rule.mode_argument));
    filter.give_if(Test::any_bit, set_id_bits, fail_with(EPERM));
    filter.give(allow);
    filter.end_section();
}

void add_family_rule(Filter& filter, long number, const Families& families)
{
    filter.begin_section(number);
    filter.load(argument_low_half(0));
    for (std::size_t i = 0; i < families.count; ++i) {
        filter.give_if(Test::equal, families.values[i], allow);
    }
    filter.give(fail_with(EAFNOSUPPORT));
    filter.end_section();
}

void build(Filter& filter, const Families& socket_families, const Families& pair_families)
{
    // A process of another architecture, or an x32 one, numbers its calls
    // differently: it is ended rather than filtered with the wrong table.
    filter.load(offsetof(seccomp_data, arch));
    filter.give_if_not_equal(native_arch, kill_process);
    filter.load(offsetof(seccomp_data, nr));
#ifdef __x86_64__
    filter.give_if_at_least(0x40000000, kill_process);  // __X32_SYSCALL_BIT
#endif
    // First the calls decided by their arguments, which the kernel cannot
    // cache: each such call runs the program up to its own section.
    for (const ModeRule& rule : mode_rules) {
        add_mode_rule(filter, rule);
    }
    for (const ArgumentRule& rule : argument_rules) {
        add_argument_rule(filter, rule);
    }
    add_family_rule(filter, SYS_socket, socket_families);
    add_family_rule(filter, SYS_socketpair, pair_families);
    for (const Refusal& refusal : refusals) {
        filter.begin_section(refusal.number);
        filter.give(fail_with(refusal.error));
        filter.end_section();
    }
    for (long number : allowed_calls) {
        filter.begin_section(number);
        filter.give(allow);
        filter.end_section();
    }
    filter.give(fail_with(ENOSYS));
}

int read_families(PyObject* given, Families& families)
{
    Ref sequence = sequence_snapshot(given, "socket families must be a sequence of ints");
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
        families.values[i] = static_cast<std::uint32_t>(family);
    }
    families.count = static_cast<std::size_t>(size);
    return 0;
}

PyObject* install_seccomp_filter(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* const keywords[] = {"socket_families", "pair_families", nullptr};
    PyObject* given = nullptr;
    PyObject* given_pairs = nullptr;
    Families socket_families;
    Families pair_families;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:install_seccomp_filter",
                                     keyword_names(keywords), &given, &given_pairs) ||
        read_families(given, socket_families) < 0 ||
        read_families(given_pairs != nullptr && given_pairs != Py_None ? given_pairs : given,
                      pair_families) < 0 ||
        require_no_new_privs("install_seccomp_filter") < 0) {
        return nullptr;
    }
    Filter filter;
    build(filter, socket_families, pair_families);
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

// The calls that set a process's limits, priority, I/O priority, scheduling
// or CPUs, and the argument that names the process (which, for setpriority
// and ioprio_set, is the second, after the kind of target).
struct ProcessSetting {
    long number;
    int kind_argument;  // -1: the call names a process only
    std::uint32_t process_kind;
    int process_argument;
};

const ProcessSetting process_settings[] = {
    {SYS_prlimit64, -1, 0, 0},
    {SYS_setpriority, 0, 0, 1},  // PRIO_PROCESS
    {SYS_ioprio_set, 0, 1, 1},   // IOPRIO_WHO_PROCESS
    {SYS_sched_setscheduler, -1, 0, 0},
    {SYS_sched_setparam, -1, 0, 0},
    {SYS_sched_setattr, -1, 0, 0},
    {SYS_sched_setaffinity, -1, 0, 0},
};

PyObject* keep_settings_to_oneself(PyObject*, PyObject*)
{
    if (require_no_new_privs("keep_settings_to_oneself") < 0) {
        return nullptr;
    }
    Filter filter;
    filter.load(offsetof(seccomp_data, arch));
    filter.give_if_not_equal(native_arch, kill_process);
    filter.load(offsetof(seccomp_data, nr));
    for (const ProcessSetting& setting : process_settings) {
        filter.begin_section(setting.number);
        if (setting.kind_argument >= 0) {
            filter.load(argument_low_half(setting.kind_argument));
            filter.give_if_not_equal(setting.process_kind, fail_with(EPERM));
        }
        filter.load(argument_low_half(setting.process_argument));
        filter.give_if_not_equal(0, fail_with(EPERM));
        filter.give(allow);
        filter.end_section();
        filter.load(offsetof(seccomp_data, nr));
    }
    filter.give(allow);
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
     "install_seccomp_filter($module, socket_families, pair_families=None)\n--\n\n"
     "Install the worker's seccomp filter on the calling thread; it is\n"
     "inherited by every process started from it and cannot be removed.\n\n"
     "Only the calls an interpreter, its standard library, threads,\n"
     "subprocesses and common native packages make are let through; any\n"
     "other fails with ENOSYS (among them io_uring, clone3, openat2, the\n"
     "asynchronous I/O contexts and every call newer than the filter), so\n"
     "that callers fall back to ordinary calls. Refused with EPERM: tracing\n"
     "and reading other processes (ptrace, process_vm_readv/writev,\n"
     "process_madvise, pidfd_getfd, kcmp, migrate_pages, move_pages), bpf,\n"
     "perf_event_open, userfaultfd, fanotify, loading kernels and modules,\n"
     "reboot, swap, acct, syslog, quotas, keyrings, file handles, every mount\n"
     "call, unshare, setns, chroot, iopl/ioperm, vhangup, setting clocks and\n"
     "host names, clone with a CLONE_NEW* flag, the TIOCSTI and TIOCLINUX\n"
     "ioctls, personality other than querying it or PER_LINUX, and a mode\n"
     "with the set-user-ID or set-group-ID bit in chmod, fchmod, fchmodat,\n"
     "mknod and in open, openat and creat when they create a file. fallocate\n"
     "with any mode but 0 fails with EOPNOTSUPP. socket fails with\n"
     "EAFNOSUPPORT for a family not in `socket_families`, socketpair for one\n"
     "not in `pair_families` (default: the same; at most 64 each). A process\n"
     "of another architecture or ABI (x32) is killed.\n\n"
     "no_new_privs must be set already (RuntimeError otherwise). Other threads\n"
     "of the process are not filtered: call it while single-threaded."},
    {"keep_settings_to_oneself", keep_settings_to_oneself, METH_NOARGS,
     "keep_settings_to_oneself($module, /)\n--\n\n"
     "Install a second seccomp filter on the calling thread, inherited like\n"
     "the first: prlimit64, setpriority, ioprio_set, sched_setscheduler,\n"
     "sched_setparam, sched_setattr and sched_setaffinity act on the calling\n"
     "thread alone (process 0, and for setpriority and ioprio_set the kind\n"
     "'process'); naming any other process, a process group or a user fails\n"
     "with EPERM. So no process below it can change the limits, priority or\n"
     "scheduling of another, its parent among them.\n\n"
     "no_new_privs must be set already (RuntimeError otherwise)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace containment

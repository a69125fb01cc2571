// Capabilities and no_new_privs: dropping every capability for good, and
// reading what the process still holds.
#include "privileges.hpp"

#include <linux/capability.h>
#include <linux/securebits.h>
#include <sys/syscall.h>

#include <cerrno>
#include <cstdint>

#include "functions.hpp"

namespace containment {

namespace {

struct CapabilitySets {
    std::uint64_t effective = 0;
    std::uint64_t permitted = 0;
    std::uint64_t inheritable = 0;
    std::uint64_t bounding = 0;
    std::uint64_t ambient = 0;
    bool no_new_privs = false;
};

using CapabilityData = __user_cap_data_struct[_LINUX_CAPABILITY_U32S_3];

// Root loses the capabilities that exec and a change of user ID would give
// back to it, keep_caps stays off, and the ambient set stays empty; each bit
// is locked so that nothing later can clear it.
constexpr unsigned long locked_securebits =
    SECBIT_NOROOT | SECBIT_NOROOT_LOCKED | SECBIT_NO_SETUID_FIXUP |
    SECBIT_NO_SETUID_FIXUP_LOCKED | SECBIT_KEEP_CAPS_LOCKED | SECBIT_NO_CAP_AMBIENT_RAISE |
    SECBIT_NO_CAP_AMBIENT_RAISE_LOCKED;

// The kernel's highest capability, found by asking the bounding set about
// each number until it refuses one: the header's CAP_LAST_CAP may be older
// than the running kernel, and /proc may not be mounted.
int last_capability()
{
    for (int capability = 0; capability < 64; ++capability) {
        if (process_control(PR_CAPBSET_READ, capability) < 0) {
            if (errno == EINVAL && capability > 0) {
                return capability - 1;
            }
            raise_os_error("prctl(PR_CAPBSET_READ)");
            return -1;
        }
    }
    return 63;
}

int capability_call(long number, const char* call, CapabilityData& data)
{
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    if (syscall(number, &header, data) < 0) {
        raise_os_error(call);
        return -1;
    }
    return 0;
}

std::uint64_t join(std::uint32_t low, std::uint32_t high)
{
    return std::uint64_t{high} << 32 | low;
}

// Reads the bounding and ambient sets one capability at a time.
int read_per_capability_sets(int last, CapabilitySets& sets)
{
    for (int capability = 0; capability <= last; ++capability) {
        int bounding = process_control(PR_CAPBSET_READ, capability);
        if (bounding < 0) {
            raise_os_error("prctl(PR_CAPBSET_READ)");
            return -1;
        }
        int ambient = process_control(PR_CAP_AMBIENT, PR_CAP_AMBIENT_IS_SET, capability);
        if (ambient < 0) {
            raise_os_error("prctl(PR_CAP_AMBIENT_IS_SET)");
            return -1;
        }
        sets.bounding |= std::uint64_t{bounding == 1} << capability;
        sets.ambient |= std::uint64_t{ambient == 1} << capability;
    }
    return 0;
}

int read_capabilities(int last, CapabilitySets& sets)
{
    CapabilityData data = {};
    if (capability_call(SYS_capget, "capget", data) < 0 ||
        read_per_capability_sets(last, sets) < 0) {
        return -1;
    }
    sets.effective = join(data[0].effective, data[1].effective);
    sets.permitted = join(data[0].permitted, data[1].permitted);
    sets.inheritable = join(data[0].inheritable, data[1].inheritable);
    int no_new_privs = process_control(PR_GET_NO_NEW_PRIVS);
    if (no_new_privs < 0) {
        raise_os_error("prctl(PR_GET_NO_NEW_PRIVS)");
        return -1;
    }
    sets.no_new_privs = no_new_privs == 1;
    return 0;
}

Ref capability_dict(const CapabilitySets& sets)
{
    using Mask = unsigned long long;
    return Ref::take(Py_BuildValue(
        "{sKsKsKsKsKsO}", "effective", Mask{sets.effective}, "permitted", Mask{sets.permitted},
        "inheritable", Mask{sets.inheritable}, "bounding", Mask{sets.bounding}, "ambient",
        Mask{sets.ambient}, "no_new_privs", sets.no_new_privs ? Py_True : Py_False));
}

// Dropping from the bounding set needs CAP_SETPCAP. Without it the set stays
// as it is (EPERM), and the drop goes on with the sets that need no
// privilege to empty: a caller that goes on after the error is left with
// nothing effective and no_new_privs set, and the check at the end reports
// what remains.
int empty_bounding_set(int last)
{
    for (int capability = 0; capability <= last; ++capability) {
        int held = process_control(PR_CAPBSET_READ, capability);
        if (held < 0) {
            raise_os_error("prctl(PR_CAPBSET_READ)");
            return -1;
        }
        if (held == 1 && process_control(PR_CAPBSET_DROP, capability) < 0 && errno != EPERM) {
            raise_os_error("prctl(PR_CAPBSET_DROP)");
            return -1;
        }
    }
    return 0;
}

// Setting securebits needs CAP_SETPCAP. A process without it (one that has
// already dropped everything, say) is left as it is: with every set empty
// and no_new_privs set it cannot gain a capability either way.
int lock_securebits(bool may_set)
{
    int current = process_control(PR_GET_SECUREBITS);
    if (current < 0) {
        raise_os_error("prctl(PR_GET_SECUREBITS)");
        return -1;
    }
    auto bits = static_cast<unsigned long>(current);
    if ((bits & locked_securebits) == locked_securebits || !may_set) {
        return 0;
    }
    const unsigned long keep_caps = SECBIT_KEEP_CAPS;
    if (process_control(PR_SET_SECUREBITS, (bits & ~keep_caps) | locked_securebits) < 0) {
        raise_os_error("prctl(PR_SET_SECUREBITS)");
        return -1;
    }
    return 0;
}

PyObject* drop_capabilities(PyObject*, PyObject*)
{
    int last = last_capability();
    CapabilitySets before;
    if (last < 0 || read_capabilities(last, before) < 0) {
        return nullptr;
    }
    // The order matters: bounding set and securebits while CAP_SETPCAP is
    // still effective, then the sets that hold it.
    if (empty_bounding_set(last) < 0) {
        return nullptr;
    }
    if (process_control(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL) < 0) {
        return raise_os_error("prctl(PR_CAP_AMBIENT_CLEAR_ALL)");
    }
    CapabilityData none = {};
    if (lock_securebits((before.effective >> CAP_SETPCAP) & 1) < 0 ||
        capability_call(SYS_capset, "capset", none) < 0) {
        return nullptr;
    }
    if (process_control(PR_SET_NO_NEW_PRIVS, 1) < 0) {
        return raise_os_error("prctl(PR_SET_NO_NEW_PRIVS)");
    }
    CapabilitySets after;
    if (read_capabilities(last, after) < 0) {
        return nullptr;
    }
    const std::uint64_t held =
        after.effective | after.permitted | after.inheritable | after.bounding | after.ambient;
    if (held != 0 || !after.no_new_privs) {
        Ref left = capability_dict(after);
        if (left) {
            PyErr_Format(PyExc_RuntimeError, "capabilities remain after dropping them: %S",
                         left.get());
        }
        return nullptr;
    }
    Py_RETURN_NONE;
}

// The bounding set alone, for a process about to give up root by a change of
// user ID, which takes CAP_SETPCAP away with the rest: unlike the full drop,
// a refusal is an error, naming the call.
PyObject* drop_bounding_set(PyObject*, PyObject*)
{
    int last = last_capability();
    if (last < 0) {
        return nullptr;
    }
    for (int capability = 0; capability <= last; ++capability) {
        int held = process_control(PR_CAPBSET_READ, capability);
        if (held < 0) {
            return raise_os_error("prctl(PR_CAPBSET_READ)");
        }
        if (held == 1 && process_control(PR_CAPBSET_DROP, capability) < 0) {
            return raise_os_error("prctl(PR_CAPBSET_DROP)");
        }
    }
    Py_RETURN_NONE;
}

PyObject* capabilities(PyObject*, PyObject*)
{
    int last = last_capability();
    CapabilitySets sets;
    if (last < 0 || read_capabilities(last, sets) < 0) {
        return nullptr;
    }
    return capability_dict(sets).release();
}

}  // namespace

int require_no_new_privs(const char* caller)
{
    int set = process_control(PR_GET_NO_NEW_PRIVS);
    if (set < 0) {
        raise_os_error("prctl(PR_GET_NO_NEW_PRIVS)");
        return -1;
    }
    if (set != 1) {
        PyErr_Format(PyExc_RuntimeError,
                     "%s() needs no_new_privs to be set first (drop_capabilities() sets it)",
                     caller);
        return -1;
    }
    return 0;
}

PyMethodDef privilege_functions[] = {
    {"drop_capabilities", drop_capabilities, METH_NOARGS,
     "drop_capabilities($module, /)\n--\n\n"
     "Give up every capability for good: empty the bounding set (this needs\n"
     "CAP_SETPCAP unless it is empty already; without it the rest is still\n"
     "done before RuntimeError is raised) and the ambient set, lock the\n"
     "securebits that keep root and set-user-ID changes from regaining any\n"
     "(when CAP_SETPCAP allows), empty the effective, permitted and\n"
     "inheritable sets, and set no_new_privs. Checks the outcome afterwards and\n"
     "raises RuntimeError if any capability is left.\n\n"
     "Capabilities belong to each thread: other threads of the process keep\n"
     "theirs, so call it while single-threaded."},
    {"drop_bounding_set", drop_bounding_set, METH_NOARGS,
     "drop_bounding_set($module, /)\n--\n\n"
     "Empty the capability bounding set (this needs CAP_SETPCAP): call it before\n"
     "a change of user ID that gives up root. OSError names the call refused."},
    {"capabilities", capabilities, METH_NOARGS,
     "capabilities($module, /)\n--\n\n"
     "The capability sets of the calling thread as bit masks (bit n is\n"
     "capability n) and whether no_new_privs is set: a dict with the keys\n"
     "effective, permitted, inheritable, bounding, ambient and no_new_privs."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace containment

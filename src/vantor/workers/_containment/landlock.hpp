// Landlock's user-space interface as the running kernel has it: the build
// machine's <linux/landlock.h> may predate rights and ruleset fields that
// kernels have added since (ABI 3 to 6).
#pragma once

#include <linux/landlock.h>

#include <cstdint>

#ifndef LANDLOCK_ACCESS_FS_TRUNCATE
#define LANDLOCK_ACCESS_FS_TRUNCATE (1ULL << 14)  // ABI 3
#endif
#ifndef LANDLOCK_ACCESS_FS_IOCTL_DEV
#define LANDLOCK_ACCESS_FS_IOCTL_DEV (1ULL << 15)  // ABI 5
#endif
#ifndef LANDLOCK_ACCESS_NET_BIND_TCP
#define LANDLOCK_ACCESS_NET_BIND_TCP (1ULL << 0)  // ABI 4
#endif
#ifndef LANDLOCK_ACCESS_NET_CONNECT_TCP
#define LANDLOCK_ACCESS_NET_CONNECT_TCP (1ULL << 1)  // ABI 4
#endif
#ifndef LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET
#define LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET (1ULL << 0)  // ABI 6
#endif
#ifndef LANDLOCK_SCOPE_SIGNAL
#define LANDLOCK_SCOPE_SIGNAL (1ULL << 1)  // ABI 6
#endif

namespace containment {

// struct landlock_ruleset_attr with the fields of ABI 4 (handled_access_net)
// and ABI 6 (scoped), under a name of its own so that it cannot clash with
// whichever version the system header declares. The kernel takes a shorter
// struct than its own, and a longer one whose extra fields are zero, so this
// one serves every ABI as long as no field holds a right the ABI lacks.
struct RulesetAttributes {
    std::uint64_t handled_access_fs;
    std::uint64_t handled_access_net;
    std::uint64_t scoped;
};

// struct landlock_net_port_attr (ABI 4), and its rule type.
constexpr int rule_net_port = 2;
struct NetPortAttributes {
    std::uint64_t allowed_access;
    std::uint64_t port;
};

}  // namespace containment

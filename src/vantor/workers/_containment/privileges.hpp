// The no_new_privs check that Landlock and seccomp make before they install
// anything.
#pragma once

#include "support.hpp"

namespace containment {

// 0 when no_new_privs is set; otherwise -1 with RuntimeError naming
// `caller`. The caller sets it on purpose (drop_capabilities() ends by
// setting it), never as a side effect of another primitive.
int require_no_new_privs(const char* caller);

}  // namespace containment

#pragma once
// What every child process the programs start gets, whatever the parent's state: SIGPIPE back at its
// default action, no blocked signals, and a process group of its own (so that a time limit can end
// the child with everything it started).

#include <csignal>
#include <spawn.h>

namespace vantrel::SpawnDefaults {

inline void apply(posix_spawnattr_t& attributes) {
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigset_t none;
    sigemptyset(&none);
    ::posix_spawnattr_setsigdefault(&attributes, &defaults);
    ::posix_spawnattr_setsigmask(&attributes, &none);
    ::posix_spawnattr_setpgroup(&attributes, 0);
    ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
}

} // namespace vantrel::SpawnDefaults

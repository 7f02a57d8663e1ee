#pragma once
// Doing file work of one thread as another user. The helper runs as root; when it opens or resolves a
// path for a client that is not root, the kernel is to check that client's rights, not root's. The
// effective user, group and supplementary groups of the calling thread alone are changed (the raw
// system calls: the C library's wrappers change every thread of the process), which also clears the
// thread's effective capabilities, so a file opened meanwhile carries no root privilege either (a
// PCI device's config file, for one, shows its whole space only to an opener with CAP_SYS_ADMIN).
//
// Rules for users: keep the scope short and on one thread, do no work in it beyond the open or the
// lookup, and never hand the thread to other code while the scope lives.

#include <sys/types.h>

#include <vector>

namespace vantrel {

struct UserIdentity {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;  // supplementary groups
};

class ThreadIdentity {
public:
    // Takes the user's identity on the calling thread when the process runs as root and the user is
    // not root; otherwise changes nothing (the thread then has no rights beyond its own anyway).
    explicit ThreadIdentity(const UserIdentity& user);
    // Back to root. A thread that cannot return to root ends the process: it must not run on as
    // neither the user nor root.
    ~ThreadIdentity();
    ThreadIdentity(const ThreadIdentity&) = delete;
    ThreadIdentity& operator=(const ThreadIdentity&) = delete;

    // Whether the thread runs as the user now (the kernel decides by the user's rights).
    bool active() const { return m_active; }

    // Whether work done for this user is checked against the user's own rights: the process is root
    // and the user is not.
    static bool switchesFor(const UserIdentity& user);

private:
    bool m_active = false;
    gid_t m_savedGid = 0;
    std::vector<gid_t> m_savedGroups;
};

} // namespace vantrel

#include "platform/process/ThreadIdentity.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <grp.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace vantrel {

namespace {

// A thread's own credentials: the kernel's calls, not the C library's process-wide versions.
bool setThreadGroups(const std::vector<gid_t>& groups) {
    return ::syscall(SYS_setgroups, groups.size(), groups.empty() ? nullptr : groups.data()) == 0;
}
bool setThreadEffectiveGid(gid_t gid) { return ::syscall(SYS_setresgid, -1, gid, -1) == 0; }
bool setThreadEffectiveUid(uid_t uid) { return ::syscall(SYS_setresuid, -1, uid, -1) == 0; }

[[noreturn]] void cannotReturn() {
    std::fputs("VantrelHelper: a thread could not return to root; ending\n", stderr);
    std::abort();
}

} // namespace

bool ThreadIdentity::switchesFor(const UserIdentity& user) { return ::geteuid() == 0 && user.uid != 0; }

ThreadIdentity::ThreadIdentity(const UserIdentity& user) {
    if (!switchesFor(user)) return;
    const int count = ::getgroups(0, nullptr);
    if (count > 0) {
        m_savedGroups.resize(static_cast<std::size_t>(count));
        m_savedGroups.resize(static_cast<std::size_t>(std::max(0, ::getgroups(count, m_savedGroups.data()))));
    }
    m_savedGid = ::getegid();
    // Groups and group first: once the user id changes, the thread may no longer change them.
    if (!setThreadGroups(user.groups) || !setThreadEffectiveGid(user.gid) || !setThreadEffectiveUid(user.uid)) {
        const int error = errno;
        if (!setThreadEffectiveUid(0) || !setThreadEffectiveGid(m_savedGid) || !setThreadGroups(m_savedGroups)) cannotReturn();
        errno = error;
        return;  // not active: the caller refuses the work
    }
    m_active = true;
}

ThreadIdentity::~ThreadIdentity() {
    if (!m_active) return;
    const int error = errno;  // the caller reads errno of its open after the scope ends
    if (!setThreadEffectiveUid(0) || !setThreadEffectiveGid(m_savedGid) || !setThreadGroups(m_savedGroups)) cannotReturn();
    errno = error;
}

} // namespace vantrel

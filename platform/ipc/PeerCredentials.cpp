#include "platform/ipc/PeerCredentials.h"

#include <algorithm>
#include <cerrno>
#include <grp.h>
#include <optional>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>

namespace vantrel {

namespace {

// Largest group list read from a peer; Linux allows 65536 supplementary groups.
constexpr std::size_t maxPeerGroups = 65536;
// Largest buffer getgrnam_r gets for one group entry.
constexpr std::size_t maxGroupEntryBytes = 1 << 20;

std::vector<gid_t> peerGroups(int socketFd) {
    std::vector<gid_t> groups(64);
    for (;;) {
        auto length = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
        if (::getsockopt(socketFd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &length) == 0) {
            groups.resize(length / sizeof(gid_t));
            return groups;
        }
        // ERANGE reports the size needed in length.
        if (errno != ERANGE || length / sizeof(gid_t) <= groups.size() || length / sizeof(gid_t) > maxPeerGroups) return {};
        groups.resize(length / sizeof(gid_t));
    }
}

std::optional<gid_t> groupId(const std::string& name) {
    std::vector<char> buffer(4096);
    for (;;) {
        group entry{};
        group* found = nullptr;
        const int error = ::getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < maxGroupEntryBytes) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (error != 0 || !found) return std::nullopt;
        return entry.gr_gid;
    }
}

} // namespace

PeerCredentials PeerCredentials::of(int socketFd) {
    ucred credentials{};
    socklen_t length = sizeof(credentials);
    if (::getsockopt(socketFd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0)
        throw std::system_error(errno, std::generic_category(), "SO_PEERCRED");
    return PeerCredentials{credentials.pid, credentials.uid, credentials.gid, peerGroups(socketFd)};
}

namespace Admission {

AdmissionPolicy rootOrGroup(const std::string& groupName) {
    return [groupName](const PeerCredentials& peer) {
        if (peer.uid == 0) return true;
        // Looked up per connection, so that a group created after the helper started counts.
        const auto gid = groupId(groupName);
        if (!gid) return false;
        return peer.gid == *gid || std::find(peer.groups.begin(), peer.groups.end(), *gid) != peer.groups.end();
    };
}

AdmissionPolicy rootOrUser(uid_t uid) {
    return [uid](const PeerCredentials& peer) { return peer.uid == 0 || peer.uid == uid; };
}

} // namespace Admission
} // namespace vantrel

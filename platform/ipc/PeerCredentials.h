#pragma once
// Who is at the other end of a local socket, as the kernel recorded it at connect time
// (SO_PEERCRED, SO_PEERGROUPS), and the policies that decide whom the helper serves.

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace vantrel {

struct PeerCredentials {
    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;  // supplementary groups of the peer process

    // Reads the credentials of a connected AF_UNIX socket; throws std::system_error.
    static PeerCredentials of(int socketFd);
};

// Answers whether a peer may use the service. Called once per connection, before any message.
using AdmissionPolicy = std::function<bool(const PeerCredentials& peer)>;

namespace Admission {

// uid 0, and processes whose primary or supplementary groups include the named group. When the
// group does not exist only root is admitted.
AdmissionPolicy rootOrGroup(const std::string& groupName);

// uid 0 and the given user: a helper started over a socket pair serves its parent's user.
AdmissionPolicy rootOrUser(uid_t uid);

} // namespace Admission
} // namespace vantrel

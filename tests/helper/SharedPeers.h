#pragma once
// Peers of several users connected to one shared helper, for the root tests: a peer's connection with
// the calls the tests make, the shared helper listening in a test folder, a member of the helper's
// group, and the folder the desktop mounts a user's disks in.

#include "HelperHarness.h"
#include "MountedLoop.h"

#include "support/XPCConstants.h"
#include "tests/fixtures/OtherUsers.h"

#include <grp.h>

namespace vantrel::test {

// One connection of one user to the shared helper.
struct Peer {
    RecordingClient client;
    std::unique_ptr<IpcConnection> connection;
    std::unique_ptr<VantrelHelperProtocolProxy> helper;

    explicit Peer(SeqpacketSocket socket) {
        connection = std::make_unique<IpcConnection>(std::move(socket), applicationOptions(client));
        connection->resume();
        helper = std::make_unique<VantrelHelperProtocolProxy>(*connection, [](ErrorObject error) { ADD_FAILURE() << error.message; });
    }
    ~Peer() {
        helper.reset();
        connection.reset();
    }

    std::optional<ErrorObject> probe(const std::string& device) {
        Answer<std::int64_t, std::optional<ErrorObject>> answer;
        helper->probeDeviceWithPath(device, answer.callback());
        return std::get<1>(answer.get());
    }
    std::optional<ErrorObject> scan(const std::string& device) {
        ErrorAnswer answer;
        helper->startScanWithPath(device, 0, 0, 0, {"jpeg"}, "standard", answer.callback());
        return waitError(answer);
    }
    std::optional<ErrorObject> remount(const std::vector<std::string>& names) {
        ErrorAnswer answer;
        helper->remountDisksWithBsdNames(names, answer.callback());
        return waitError(answer);
    }
};

// A shared helper listening in the test's folder, which other users may enter.
class SharedHelper {
public:
    explicit SharedHelper(const TempDir& dir)
        : m_path((dir / "helper.sock").string()), m_process({"--listen", m_path, "--allow-image-files"}) {}
    bool ready() const { return waitForSocket(m_path); }
    std::unique_ptr<Peer> connect(const Identity& who) {
        auto socket = connectAs(m_path, who);
        if (!socket) return nullptr;
        return std::make_unique<Peer>(std::move(*socket));
    }
    HelperProcess& process() { return m_process; }

private:
    std::string m_path;
    HelperProcess m_process;
};

// A member of the helper's group who may also open disk devices (group disk), as a desktop user is.
inline std::optional<Identity> member(uid_t uid, gid_t gid) {
    const auto helperGroup = ensureGroup(std::string(XPCConstants::helperGroupName));
    const auto* disk = ::getgrnam("disk");
    if (!helperGroup || !disk) return std::nullopt;
    return Identity{uid, gid, {*helperGroup, disk->gr_gid}};
}

inline const Identity root{0, 0, {}};

inline bool canMountLoops() { return canMakeLoopDevices() && haveProgram("useradd"); }
inline constexpr const char* loopsNeeded = "needs root, loop devices, losetup, mkfs.ext4 and useradd";

// The folder the desktop mounts a user's disks in, /media/USER, made for the test and removed after.
class MediaFolder {
public:
    explicit MediaFolder(const std::string& user) : m_path(std::filesystem::path("/media") / user) {
        std::filesystem::create_directories(m_path);
    }
    ~MediaFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    const std::filesystem::path& path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

} // namespace vantrel::test

// Path look-ups on a file system that stopped answering: a FUSE mount served by this test, which
// answers the kernel's start and the root folder's attributes but holds every name look-up until told
// to let go, as a FUSE or network mount does whose server hangs. And the look-up threads, which serve
// one look-up after another: each with the rights of the user it is for, none waiting behind one that hangs.

#include "VantrelHelper/DeviceAccess.h"

#include "support/VantrelError.h"
#include "tests/fixtures/TestSupport.h"

#include <gtest/gtest.h>

#include <linux/fuse.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <future>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace vantrel {
namespace {

class StalledMount {
public:
    explicit StalledMount(const std::filesystem::path& target) : m_target(target) {
        m_fuse = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
        if (m_fuse < 0 || ::pipe2(m_stop, O_CLOEXEC) != 0) return;
        const std::string options = "fd=" + std::to_string(m_fuse) + ",rootmode=40000,user_id=0,group_id=0";
        if (::mount("vantrel-stalled", target.c_str(), "fuse", MS_NOSUID | MS_NODEV, options.c_str()) != 0) return;
        m_mounted = true;
        m_server = std::thread([this] { serve(); });
        // Requests made before the start is answered wait on the kernel's side, and a few of them
        // stay waiting after it: nothing is asked before then.
        std::unique_lock lock(m_lock);
        m_changed.wait_for(lock, std::chrono::seconds(60), [&] { return m_started; });
    }
    ~StalledMount() {
        letGo();
        if (m_mounted) ::umount2(m_target.c_str(), MNT_DETACH);
        if (m_stop[1] >= 0) {
            [[maybe_unused]] const auto put = ::write(m_stop[1], "x", 1);
        }
        if (m_server.joinable()) m_server.join();
        // Closing the device ends the connection: anything still asked fails at once.
        for (const int fd : {m_fuse, m_stop[0], m_stop[1]})
            if (fd >= 0) ::close(fd);
    }
    StalledMount(const StalledMount&) = delete;
    StalledMount& operator=(const StalledMount&) = delete;

    bool mounted() const { return m_mounted; }
    // Waits until the names looked up so far are count or more, and gives them.
    std::set<std::string> waitForLookups(std::size_t count) {
        std::unique_lock lock(m_lock);
        m_changed.wait_for(lock, std::chrono::seconds(60), [&] { return m_seen.size() >= count; });
        return m_seen;
    }
    // Answers every held look-up, and every later one, with "no such file".
    void letGo() {
        std::lock_guard lock(m_lock);
        m_answering = true;
        for (const auto unique : m_held) reply(unique, -ENOENT, nullptr, 0);
        m_held.clear();
    }

private:
    void reply(std::uint64_t unique, int error, const void* body, std::size_t size) {
        std::vector<char> message(sizeof(fuse_out_header) + size);
        const fuse_out_header header{static_cast<std::uint32_t>(message.size()), error, unique};
        std::memcpy(message.data(), &header, sizeof header);
        if (size > 0) std::memcpy(message.data() + sizeof header, body, size);
        [[maybe_unused]] const auto put = ::write(m_fuse, message.data(), message.size());
    }

    void serve() {
        std::vector<char> buffer(256 * 1024);
        for (;;) {
            pollfd waits[2] = {{m_fuse, POLLIN, 0}, {m_stop[0], POLLIN, 0}};
            if (::poll(waits, 2, -1) < 0) continue;
            if (waits[1].revents != 0) return;
            const ssize_t got = ::read(m_fuse, buffer.data(), buffer.size());
            if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == ENOENT)) continue;
            if (got < static_cast<ssize_t>(sizeof(fuse_in_header))) return;
            fuse_in_header header{};
            std::memcpy(&header, buffer.data(), sizeof header);
            const char* body = buffer.data() + sizeof header;
            switch (header.opcode) {
            case FUSE_INIT: {
                fuse_init_in asked{};
                std::memcpy(&asked, body, std::min(sizeof asked, static_cast<std::size_t>(got) - sizeof header));
                fuse_init_out answer{};
                answer.major = FUSE_KERNEL_VERSION;
                answer.minor = FUSE_KERNEL_MINOR_VERSION;
                answer.max_readahead = asked.max_readahead;
                // Look-ups in one folder reach the server side by side, not one after the other.
                answer.flags = asked.flags & FUSE_PARALLEL_DIROPS;
                answer.max_write = 4096;
                reply(header.unique, 0, &answer, sizeof answer);
                std::lock_guard lock(m_lock);
                m_started = true;
                m_changed.notify_all();
                break;
            }
            case FUSE_GETATTR: {
                fuse_attr_out answer{};
                answer.attr_valid = 3600;
                answer.attr.ino = header.nodeid;
                answer.attr.mode = S_IFDIR | 0755;
                answer.attr.nlink = 2;
                reply(header.unique, 0, &answer, sizeof answer);
                break;
            }
            case FUSE_LOOKUP: {
                std::lock_guard lock(m_lock);
                m_seen.insert(std::string(body, ::strnlen(body, static_cast<std::size_t>(got) - sizeof header)));
                if (m_answering) reply(header.unique, -ENOENT, nullptr, 0);
                else m_held.push_back(header.unique);
                m_changed.notify_all();
                break;
            }
            case FUSE_FORGET:
            case FUSE_BATCH_FORGET:
            case FUSE_INTERRUPT: break;
            default: reply(header.unique, -ENOSYS, nullptr, 0);
            }
        }
    }

    std::filesystem::path m_target;
    int m_fuse = -1;
    int m_stop[2] = {-1, -1};
    bool m_mounted = false;
    std::thread m_server;
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::set<std::string> m_seen;
    std::vector<std::uint64_t> m_held;
    bool m_answering = false;
    bool m_started = false;
};

ErrorObject refusal(const std::filesystem::path& path, const UserIdentity& peer = {}) {
    try {
        DeviceAccess::checkDevicePath(path.string(), peer);
    } catch (const HelperError& error) {
        return error.error();
    }
    ADD_FAILURE() << path << " was accepted";
    return {};
}

TEST(StalledLookup, IsAbandonedWithAClearAnswerAndAUserHoldsAtMostFourHangingLookups) {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a FUSE file system needs root";
    if (!std::filesystem::exists("/dev/fuse")) GTEST_SKIP() << "no /dev/fuse";
    const test::TempDir dir;
    const auto mounted = dir / "stalled";
    std::filesystem::create_directory(mounted);
    StalledMount stalled(mounted);
    if (!stalled.mounted()) GTEST_SKIP() << "FUSE cannot be mounted here: " << std::strerror(errno);

    // Four look-ups of root's hang on the server; each request is answered when the limit is up. While
    // they hang, root's next look-ups do not wait behind them: each is answered by the file system it asks.
    std::vector<std::future<ErrorObject>> hanging;
    std::set<std::string> held;
    for (int index = 1; index <= 4; ++index) {
        const std::string name = "card" + std::to_string(index) + ".img";
        hanging.push_back(std::async(std::launch::async, [&, name] { return refusal(mounted / name); }));
        held.insert(name);
        ASSERT_EQ(stalled.waitForLookups(held.size()), held);
        if (index < 4) {
            EXPECT_EQ(refusal("/dev/null").code, ENOTBLK) << index << " hanging";
        }
    }
    // A fifth is refused at once without a thread of its own (it never reaches the file system), with
    // a sentence that names the look-ups that hang, not the fifth path.
    const auto fifth = refusal(mounted / "card5.img");
    EXPECT_EQ(fifth.code, EAGAIN);
    for (int index = 1; index <= 4; ++index)
        EXPECT_NE(fifth.message.find((mounted / ("card" + std::to_string(index) + ".img")).string()), std::string::npos)
            << fifth.message;
    EXPECT_EQ(fifth.message.find("card5"), std::string::npos) << fifth.message;
    EXPECT_NE(fifth.message.find("earlier look-ups still wait for a file system that stopped answering"), std::string::npos)
        << fifth.message;
    // Another user's look-ups are not held back by root's.
    EXPECT_EQ(refusal("/dev/null", UserIdentity{65534, 65534, {}}).code, ENOTBLK);
    for (auto& future : hanging) {
        const auto error = future.get();
        EXPECT_EQ(error.code, ETIMEDOUT);
        EXPECT_NE(error.message.find("did not answer within 5 seconds (a file system on the way may have stalled): " +
                                     (mounted / "card").string()),
                  std::string::npos)
            << error.message;
    }

    // Once the server answers, the hung threads end and give their places back: the next look-up
    // reaches the file system and gets its own answer. Every request the server saw came before it,
    // and the fifth is not among them.
    stalled.letGo();
    ErrorObject answered = fifth;
    for (int attempt = 0; attempt < 600 && answered.code == EAGAIN; ++attempt) {
        answered = refusal(mounted / "after.img");
        if (answered.code == EAGAIN) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(answered.code, ENOENT);
    EXPECT_EQ(stalled.waitForLookups(5),
              (std::set<std::string>{"card1.img", "card2.img", "card3.img", "card4.img", "after.img"}));
}

// Look-ups for root and for a member take turns, so that the threads serve both one after the other:
// each is made with the rights of its own user, whatever the thread did before.
TEST(PathLookup, EachLookupHasTheRightsOfItsOwnUser) {
    if (::geteuid() != 0) GTEST_SKIP() << "looking up as another user needs root";
    const test::TempDir dir;
    const auto closed = dir / "closed";
    std::filesystem::create_directory(closed);
    ::chmod(dir.path().c_str(), 0755);
    ::chmod(closed.c_str(), 0700);
    test::writeFile(closed / "card.img", Bytes(4096, 1));
    const UserIdentity root{};
    const UserIdentity member{65534, 65534, {}};
    struct Row {
        const UserIdentity* peer;
        std::int64_t code;  // root finds a file that is no device; the member may not look into the folder
        std::string_view domain;
    };
    const Row rows[] = {{&root, ENOTBLK, ErrorObject::posixDomain}, {&member, VantrelError::refusedForUser, VantrelError::domain},
                        {&root, ENOTBLK, ErrorObject::posixDomain}, {&member, VantrelError::refusedForUser, VantrelError::domain},
                        {&member, VantrelError::refusedForUser, VantrelError::domain}, {&root, ENOTBLK, ErrorObject::posixDomain}};
    for (std::size_t index = 0; index < std::size(rows); ++index) {
        const auto error = refusal(closed / "card.img", *rows[index].peer);
        EXPECT_EQ(error.domain, rows[index].domain) << "row " << index << ": " << error.message;
        EXPECT_EQ(error.code, rows[index].code) << "row " << index << ": " << error.message;
    }
}

} // namespace
} // namespace vantrel

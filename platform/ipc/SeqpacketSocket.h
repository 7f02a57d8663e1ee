#pragma once
// One end of a local AF_UNIX SOCK_SEQPACKET connection: whole packets of at most maxPacketBytes,
// each with at most one file descriptor (SCM_RIGHTS). Descriptors are close-on-exec on both
// sides. Thread rules: one thread receives; sends must be serialised by the caller; shutdown()
// may be called from any thread and wakes a blocked receive.

#include "platform/UniqueFd.h"

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace vantrel {

class SeqpacketSocket {
public:
    // One message is one packet. 64 KiB holds any message of the protocol with room to spare and
    // stays well under the kernel's default socket buffer.
    static constexpr std::size_t maxPacketBytes = 64 * 1024;

    struct Packet {
        std::string bytes;
        UniqueFd descriptor;  // invalid when none rode the packet
    };

    enum class ReceiveStatus {
        packet,     // a whole packet arrived
        closed,     // the peer closed, or shutdown() was called
        violation,  // truncated packet or control data, more than one descriptor: close the connection
    };

    explicit SeqpacketSocket(UniqueFd fd) : m_fd(std::move(fd)) {}

    // Both ends of a fresh connected pair; throws std::system_error.
    static std::pair<SeqpacketSocket, SeqpacketSocket> pair();
    // Connects to a listening socket's path; throws std::system_error (ENOENT, ECONNREFUSED, EACCES...).
    // The server must run as root or as this process's own user (EPERM otherwise): a socket that
    // someone else listens on could take over the calls and the descriptors they carry.
    static SeqpacketSocket connect(const std::string& path);

    int fd() const { return m_fd.get(); }

    // A send that cannot complete within the time (the peer stopped reading) fails with EAGAIN.
    void setSendTimeout(std::chrono::milliseconds timeout);

    // Sends one packet, with descriptor when it is 0 or more. Throws std::system_error: EMSGSIZE
    // above maxPacketBytes, EAGAIN after the send time-out, EPIPE when the peer is gone.
    void send(std::string_view bytes, int descriptor = -1);

    // Waits for the next packet. Interrupted system calls are retried.
    ReceiveStatus receive(Packet& packet);

    // Ends both directions; a blocked receive returns closed. The descriptor stays open until destruction.
    void shutdown();

private:
    UniqueFd m_fd;
    // Where packets are received, made once and never cleared: the packet takes the bytes that came
    // (a few hundred, most of them), rather than a string stretched and zeroed to the largest packet
    // for every one.
    std::unique_ptr<char[]> m_receiveBuffer;
};

} // namespace vantrel

#include "platform/ipc/SeqpacketSocket.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <system_error>
#include <vector>

namespace vantrel {

namespace {

// Room for a few descriptors, so that a packet with too many is seen as a violation instead of
// being silently cut down by the kernel.
constexpr std::size_t receiveDescriptorSlots = 4;

[[noreturn]] void throwErrno(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

} // namespace

std::pair<SeqpacketSocket, SeqpacketSocket> SeqpacketSocket::pair() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) throwErrno("socketpair");
    return {SeqpacketSocket(UniqueFd(fds[0])), SeqpacketSocket(UniqueFd(fds[1]))};
}

SeqpacketSocket SeqpacketSocket::connect(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address.sun_path)) throw std::system_error(ENAMETOOLONG, std::generic_category(), "socket path");
    std::memcpy(address.sun_path, path.data(), path.size());
    UniqueFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (!fd) throwErrno("socket");
    int result;
    do result = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    while (result != 0 && errno == EINTR);
    if (result != 0) throwErrno("connect");
    // The kernel keeps the credentials of the process that made the socket listen.
    ucred server{};
    socklen_t length = sizeof(server);
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &server, &length) != 0) throwErrno("SO_PEERCRED");
    if (server.uid != 0 && server.uid != ::geteuid())
        throw std::system_error(EPERM, std::generic_category(),
                                "the server at " + path + " runs as uid " + std::to_string(server.uid) + ", not root");
    return SeqpacketSocket(std::move(fd));
}

void SeqpacketSocket::setSendTimeout(std::chrono::milliseconds timeout) {
    const auto count = timeout.count();
    timeval value{};
    value.tv_sec = static_cast<time_t>(count / 1000);
    value.tv_usec = static_cast<suseconds_t>((count % 1000) * 1000);
    if (::setsockopt(m_fd.get(), SOL_SOCKET, SO_SNDTIMEO, &value, sizeof(value)) != 0) throwErrno("SO_SNDTIMEO");
}

void SeqpacketSocket::send(std::string_view bytes, int descriptor) {
    if (bytes.size() > maxPacketBytes) throw std::system_error(EMSGSIZE, std::generic_category(), "packet too large");
    iovec vector{const_cast<char*>(bytes.data()), bytes.size()};
    msghdr header{};
    header.msg_iov = &vector;
    header.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    if (descriptor >= 0) {
        header.msg_control = control;
        header.msg_controllen = sizeof(control);
        cmsghdr* message = CMSG_FIRSTHDR(&header);
        message->cmsg_level = SOL_SOCKET;
        message->cmsg_type = SCM_RIGHTS;
        message->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(message), &descriptor, sizeof(int));
    }
    ssize_t sent;
    do sent = ::sendmsg(m_fd.get(), &header, MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    if (sent < 0) throwErrno("sendmsg");
    if (static_cast<std::size_t>(sent) != bytes.size()) throw std::system_error(EIO, std::generic_category(), "short send");
}

SeqpacketSocket::ReceiveStatus SeqpacketSocket::receive(Packet& packet) {
    if (!m_receiveBuffer) m_receiveBuffer = std::make_unique_for_overwrite<char[]>(maxPacketBytes);
    packet.descriptor.reset();
    iovec vector{m_receiveBuffer.get(), maxPacketBytes};
    msghdr header{};
    header.msg_iov = &vector;
    header.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * receiveDescriptorSlots)] = {};
    header.msg_control = control;
    header.msg_controllen = sizeof(control);

    ssize_t got;
    do got = ::recvmsg(m_fd.get(), &header, MSG_CMSG_CLOEXEC);
    while (got < 0 && errno == EINTR);

    // Every descriptor that arrived is owned here first, so none leaks whatever happens next.
    std::vector<UniqueFd> descriptors;
    bool unexpectedControl = false;
    if (got >= 0) {
        for (cmsghdr* message = CMSG_FIRSTHDR(&header); message; message = CMSG_NXTHDR(&header, message)) {
            if (message->cmsg_level != SOL_SOCKET || message->cmsg_type != SCM_RIGHTS) {
                unexpectedControl = true;
                continue;
            }
            const std::size_t count = (message->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (std::size_t index = 0; index < count; ++index) {
                int fd;
                std::memcpy(&fd, CMSG_DATA(message) + index * sizeof(int), sizeof(int));
                descriptors.emplace_back(fd);
            }
        }
    }
    if (got < 0) {
        packet.bytes.clear();
        // A reset or a socket shut down under us both mean the conversation is over.
        return ReceiveStatus::closed;
    }
    // A zero-length read is the end of the stream; the protocol has no empty messages.
    if (got == 0) {
        packet.bytes.clear();
        return ReceiveStatus::closed;
    }
    packet.bytes.assign(m_receiveBuffer.get(), static_cast<std::size_t>(got));
    if ((header.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) != 0 || unexpectedControl || descriptors.size() > 1)
        return ReceiveStatus::violation;
    if (!descriptors.empty()) packet.descriptor = std::move(descriptors.front());
    return ReceiveStatus::packet;
}

void SeqpacketSocket::shutdown() { ::shutdown(m_fd.get(), SHUT_RDWR); }

} // namespace vantrel

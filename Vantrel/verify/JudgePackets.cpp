#include "Vantrel/verify/JudgePackets.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace vantrel::JudgePackets {

std::optional<Packet> receive(int socket) {
    std::string text(maxRequestBytes, '\0');
    iovec part{text.data(), text.size()};
    alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(int))> control{};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control.data();
    message.msg_controllen = control.size();
    ssize_t got = -1;
    do {
        got = ::recvmsg(socket, &message, MSG_CMSG_CLOEXEC);
    } while (got < 0 && errno == EINTR);
    if (got < 0) return std::nullopt;
    Packet packet;
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr; header = CMSG_NXTHDR(&message, header))
        if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_RIGHTS && header->cmsg_len == CMSG_LEN(sizeof(int)))
            std::memcpy(&packet.fd, CMSG_DATA(header), sizeof(int));
    if ((message.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) != 0) {
        if (packet.fd >= 0) ::close(packet.fd);
        return std::nullopt;
    }
    text.resize(static_cast<std::size_t>(got));
    packet.text = std::move(text);
    return packet;
}

bool send(int socket, std::string_view text, int fd) {
    iovec part{const_cast<char*>(text.data()), text.size()};
    alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(int))> control{};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    if (fd >= 0) {
        message.msg_control = control.data();
        message.msg_controllen = control.size();
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(header), &fd, sizeof(int));
    }
    ssize_t sent = -1;
    do {
        sent = ::sendmsg(socket, &message, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(text.size());
}

std::optional<Request> parseRequest(std::string_view line) {
    const auto first = line.find(' ');
    const auto second = first == std::string_view::npos ? first : line.find(' ', first + 1);
    if (second == std::string_view::npos) return std::nullopt;
    const auto kind = FileKind::fromRawValue(line.substr(0, first));
    const std::string_view flag = line.substr(first + 1, second - first - 1);
    const std::string_view path = line.substr(second + 1);
    if (!kind || (flag != "0" && flag != "1") || path.empty()) return std::nullopt;
    return Request{*kind, flag == "1", std::string(path)};
}

std::string requestText(const Request& request) {
    return std::string(FileKind::rawValue(request.kind)) + (request.cutAtCap ? " 1 " : " 0 ") + request.path;
}

} // namespace vantrel::JudgePackets

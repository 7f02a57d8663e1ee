#pragma once
// What a serving process and its judging process say to each other over their socket of packets: one
// packet a file, "<kind> <0|1> <file>" with the file open read-only beside it, and one packet back
// when the answer is written (to the standard output the two share): "done", or "last" when the judge
// takes no further file.

#include "Vantrel/verify/VerifyProtocol.h"
#include "recovery/model/RecoveredFileKind.h"

#include <optional>
#include <string>
#include <string_view>

namespace vantrel::JudgePackets {

inline constexpr std::string_view judgedReply = "done";
inline constexpr std::string_view lastReply = "last";
// The longest request a serving process hands its judge: the kind, the flag and the file's path.
inline constexpr std::size_t maxRequestBytes = VerifyProtocol::maxRequestBytes + 64;

// A packet and the descriptor that came with it (or -1); an empty text at the end of the input.
struct Packet {
    std::string text;
    int fd = -1;
};

// Nothing on a failed read or a packet cut short (whose descriptor, if any, is closed).
std::optional<Packet> receive(int socket);
// The text, with fd beside it unless fd is -1.
bool send(int socket, std::string_view text, int fd);

// A request line, "<kind> <0|1> <file>".
struct Request {
    RecoveredFileKind kind;
    bool cutAtCap = false;
    std::string path;
};

std::optional<Request> parseRequest(std::string_view line);
std::string requestText(const Request& request);

} // namespace vantrel::JudgePackets

#include "Vantrel/verify/PDFStreamCheck.h"

#include "Vantrel/verify/InflateStream.h"

#include <algorithm>
#include <ctime>
#include <optional>
#include <string_view>

namespace vantrel::PDFStreamCheck {

namespace {

// How far before its "stream" keyword a stream's dictionary is looked for.
constexpr std::size_t maxDictionaryBytes = 4096;

double cpuSeconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

bool isWhite(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\f' || c == '\0'; }
bool isDelimiter(char c) {
    return isWhite(c) || c == '/' || c == '[' || c == ']' || c == '<' || c == '>' || c == '(' || c == ')';
}

std::size_t skipWhite(std::string_view text, std::size_t at) {
    while (at < text.size() && isWhite(text[at])) ++at;
    return at;
}

// The value after the first key of the dictionary text that is the name itself (not a longer name it
// begins, as /Length1 begins with /Length); npos when there is none.
std::size_t valueOf(std::string_view dictionary, std::string_view key) {
    for (std::size_t at = dictionary.find(key); at != std::string_view::npos; at = dictionary.find(key, at + 1)) {
        const std::size_t end = at + key.size();
        if (end < dictionary.size() && isDelimiter(dictionary[end])) return skipWhite(dictionary, end);
    }
    return std::string_view::npos;
}

// Whether the first filter the dictionary names is FlateDecode (or its abbreviation).
bool firstFilterIsFlate(std::string_view dictionary) {
    std::size_t at = valueOf(dictionary, "/Filter");
    if (at == std::string_view::npos) return false;
    if (at < dictionary.size() && dictionary[at] == '[') at = skipWhite(dictionary, at + 1);
    for (const std::string_view name : {std::string_view("/FlateDecode"), std::string_view("/Fl")}) {
        const std::size_t end = at + name.size();
        if (dictionary.substr(at, name.size()) == name && (end == dictionary.size() || isDelimiter(dictionary[end])))
            return true;
    }
    return false;
}

// The /Length of the dictionary when it is a direct number (not "n g R").
std::optional<std::uint64_t> directLength(std::string_view dictionary) {
    constexpr int maxDigits = 15;
    std::size_t at = valueOf(dictionary, "/Length");
    if (at == std::string_view::npos) return std::nullopt;
    std::uint64_t value = 0;
    int digits = 0;
    for (; at < dictionary.size() && dictionary[at] >= '0' && dictionary[at] <= '9'; ++at) {
        if (++digits > maxDigits) return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(dictionary[at] - '0');
    }
    if (digits == 0) return std::nullopt;
    // A second number after it makes the value a reference.
    const std::size_t next = skipWhite(dictionary, at);
    if (next < dictionary.size() && dictionary[next] >= '0' && dictionary[next] <= '9') return std::nullopt;
    return value;
}

// Whether the zlib data reaches its end inside data. The output is counted against budget; a stream
// that would pass the budget is taken as sound and spends it.
bool inflatesWhole(std::string_view text, std::uint64_t& budget) {
    const ByteView data(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    const auto inflated = InflateStream::inflate(data, InflateStream::Wrapping::zlib, budget);
    if (inflated.end == InflateStream::End::overBudget) {
        budget = 0;
        return true;
    }
    budget -= inflated.producedBytes;
    return inflated.end == InflateStream::End::complete;
}

} // namespace

std::uint64_t brokenStreams(ByteView bytes, double budgetSeconds) {
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (valueOf(text, "/Encrypt") != std::string_view::npos) return 0;
    const double until = cpuSeconds() + budgetSeconds;
    std::uint64_t budget = maxInflatedBytes;
    std::uint64_t broken = 0;
    std::uint64_t streams = 0;
    constexpr std::string_view keyword = "stream";
    for (std::size_t at = text.find(keyword); at != std::string_view::npos && streams < maxStreams && budget > 0;
         at = text.find(keyword, at + keyword.size())) {
        if (at >= 3 && text.substr(at - 3, 3) == "end") continue;
        // The keyword ends its line: CR LF or LF (7.3.8.1).
        std::size_t data = at + keyword.size();
        if (data < text.size() && text[data] == '\r') ++data;
        if (data >= text.size() || text[data] != '\n') continue;
        ++data;
        const std::size_t from = at - std::min(at, maxDictionaryBytes);
        const std::size_t object = text.substr(from, at - from).rfind("obj");
        if (object == std::string_view::npos) continue;
        const std::string_view dictionary = text.substr(from + object, at - from - object);
        if (!firstFilterIsFlate(dictionary)) continue;
        const auto length = directLength(dictionary);
        std::size_t end = length && *length <= text.size() - data ? data + static_cast<std::size_t>(*length)
                                                                   : text.find("endstream", data);
        if (end == std::string_view::npos) end = text.size();
        ++streams;
        if (!inflatesWhole(text.substr(data, end - data), budget)) ++broken;
        if (cpuSeconds() > until) break;
        at = std::max(at, end);
    }
    return broken;
}

} // namespace vantrel::PDFStreamCheck

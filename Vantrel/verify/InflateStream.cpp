#include "Vantrel/verify/InflateStream.h"

#include <algorithm>
#include <array>
#include <zlib.h>

namespace vantrel::InflateStream {

namespace {

// zlib counts in unsigned int: the data goes to it in pieces no longer than this.
constexpr std::uint64_t zlibPieceBytes = 1U << 30;

} // namespace

std::uint32_t crc32Of(ByteView data) {
    uLong crc = crc32(0, nullptr, 0);
    for (std::uint64_t at = 0; at < data.size(); at += zlibPieceBytes) {
        const std::uint64_t piece = std::min<std::uint64_t>(zlibPieceBytes, data.size() - at);
        crc = crc32(crc, data.data() + at, static_cast<uInt>(piece));
    }
    return static_cast<std::uint32_t>(crc);
}

Result inflate(ByteView data, Wrapping wrapping, std::uint64_t budgetBytes) {
    Result result;
    z_stream stream{};
    if (inflateInit2(&stream, wrapping == Wrapping::raw ? -MAX_WBITS : MAX_WBITS) != Z_OK) {
        result.end = End::overBudget;
        return result;
    }
    std::array<Bytef, 1 << 16> out{};
    uLong crc = crc32(0, nullptr, 0);
    std::uint64_t fed = 0;
    int status = Z_OK;
    while (status == Z_OK && result.producedBytes <= budgetBytes) {
        if (stream.avail_in == 0 && fed < data.size()) {
            const std::uint64_t piece = std::min<std::uint64_t>(zlibPieceBytes, data.size() - fed);
            stream.next_in = const_cast<Bytef*>(data.data() + fed);
            stream.avail_in = static_cast<uInt>(piece);
            fed += piece;
        }
        stream.next_out = out.data();
        stream.avail_out = static_cast<uInt>(out.size());
        status = ::inflate(&stream, Z_NO_FLUSH);
        const std::uint64_t got = out.size() - stream.avail_out;
        crc = crc32(crc, out.data(), static_cast<uInt>(got));
        result.producedBytes += got;
        // No progress with every byte fed: the data wants more than there is.
        if (status == Z_OK && got == 0 && stream.avail_in == 0 && fed == data.size()) break;
    }
    inflateEnd(&stream);
    result.crc = static_cast<std::uint32_t>(crc);
    if (result.producedBytes > budgetBytes) result.end = End::overBudget;
    else if (status == Z_STREAM_END) result.end = End::complete;
    else if (status == Z_OK || status == Z_BUF_ERROR) result.end = End::ranOut;
    else result.end = End::bad;
    return result;
}

} // namespace vantrel::InflateStream

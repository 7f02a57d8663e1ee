#include "recovery/bytesource/BufferPool.h"

#include <algorithm>
#include <vector>

namespace vantrel::BufferPool {
namespace {

std::vector<Bytes>& pool() {
    thread_local std::vector<Bytes> buffers;
    return buffers;
}

} // namespace

Bytes take() {
    auto& buffers = pool();
    if (buffers.empty()) return {};
    const auto largest = std::max_element(buffers.begin(), buffers.end(),
                                          [](const Bytes& a, const Bytes& b) { return a.size() < b.size(); });
    Bytes buffer = std::move(*largest);
    buffers.erase(largest);
    return buffer;
}

Bytes take(std::size_t bytes) {
    Bytes buffer = take();
    buffer.resize(bytes);
    return buffer;
}

void give(Bytes&& buffer) {
    auto& buffers = pool();
    if (buffer.capacity() == 0 || buffer.capacity() > maxKeptBytes || buffers.size() >= maxKept) {
        Bytes().swap(buffer);
        return;
    }
    buffers.push_back(std::move(buffer));
}

std::size_t kept() { return pool().size(); }

} // namespace vantrel::BufferPool

#pragma once
// The buffers a thread reads and writes file bytes through, kept from one file to the next: a run of
// extractions then does not map, fault in and zero fresh megabytes for every file. A buffer taken is the
// taker's until it is given back (or kept: a buffer never given back is simply freed); one given back
// may be taken by any later use on the same thread, whatever it reads into it. A thread keeps at most
// maxKept buffers, none larger than maxKeptBytes.

#include "recovery/bytesource/FieldReaders.h"

#include <cstddef>

namespace vantrel::BufferPool {

inline constexpr std::size_t maxKept = 6;
inline constexpr std::size_t maxKeptBytes = 4 * 1024 * 1024;

// A buffer of this thread's pool, the largest kept (with its old bytes), or a new empty one.
Bytes take();
// A buffer of at least bytes bytes (of any content), from the pool where one is large enough.
Bytes take(std::size_t bytes);
// Keeps the buffer for a later take on this thread, or frees it when the pool is full or it is too large.
void give(Bytes&& buffer);
// How many buffers this thread keeps.
std::size_t kept();

} // namespace vantrel::BufferPool

#include "recovery/bytesource/BufferPool.h"

#include <gtest/gtest.h>

#include <thread>

using namespace vantrel;

namespace {

// Empties this thread's pool.
void drain() {
    while (BufferPool::kept() > 0) (void)BufferPool::take();
}

} // namespace

// What a thread's pool keeps of what it is given, and what it hands out again.
TEST(BufferPool, KeepsAFewBoundedBuffersAndHandsOutTheLargestFirst) {
    struct Row {
        const char* what;
        std::vector<std::size_t> given;  // capacities, in order
        std::size_t kept;
        std::size_t firstTaken;  // the size of the first buffer taken back (0: a new empty one)
    };
    const Row rows[] = {
        {"nothing given", {}, 0, 0},
        {"an empty buffer is not kept", {0}, 0, 0},
        {"one too large is freed", {BufferPool::maxKeptBytes + 1}, 0, 0},
        {"the largest allowed is kept", {BufferPool::maxKeptBytes}, 1, BufferPool::maxKeptBytes},
        {"the largest comes back first", {4096, 1 << 20, 512}, 3, 1 << 20},
        {"no more than maxKept", std::vector<std::size_t>(BufferPool::maxKept + 3, 4096), BufferPool::maxKept, 4096},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        drain();
        for (const auto size : row.given) BufferPool::give(Bytes(size, 7));
        EXPECT_EQ(BufferPool::kept(), row.kept);
        const Bytes first = BufferPool::take();
        EXPECT_EQ(first.size(), row.firstTaken);
        EXPECT_EQ(BufferPool::kept(), row.kept - (row.kept > 0 ? 1 : 0));
    }
    drain();
}

TEST(BufferPool, ABufferTakenBySizeHasThatSizeAndKeepsItsPlace) {
    drain();
    Bytes block(1 << 20);
    const auto* place = block.data();
    BufferPool::give(std::move(block));
    for (const std::size_t size : {std::size_t{1} << 20, std::size_t{100}, std::size_t{1} << 20}) {
        Bytes taken = BufferPool::take(size);
        EXPECT_EQ(taken.size(), size);
        EXPECT_EQ(taken.data(), place) << "the same memory serves every use";
        BufferPool::give(std::move(taken));
    }
    // Each thread has a pool of its own.
    std::size_t elsewhere = 1;
    std::thread([&] { elsewhere = BufferPool::kept(); }).join();
    EXPECT_EQ(elsewhere, 0u);
    EXPECT_EQ(BufferPool::kept(), 1u);
    drain();
}

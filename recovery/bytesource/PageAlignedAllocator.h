#pragma once
// The allocator of every byte buffer that reads and copies go through (Bytes): a buffer of a page or more
// starts on a page boundary. The kernel's copy out of the page cache runs at a third of its speed into a
// destination a few bytes past a page boundary, which is where the general allocator puts large blocks
// (just after its own header); smaller buffers keep the general allocator's placement.
//
// The standard library copies a range into a vector with this allocator element by element (it keeps
// its block copies for its own allocator), so a large copy into Bytes is written as a resize and a
// std::copy, which is one block copy.

#include <cstddef>
#include <new>
#include <sys/mman.h>

namespace vantrel {

inline constexpr std::size_t ioPageBytes = 4096;
// A buffer of this much or more (a carve window, a read-ahead buffer) starts on a huge page boundary and
// asks the kernel for huge pages: a first touch of 4 MiB then costs two faults instead of a thousand,
// which is much of a scan's first window where faults are dear (a virtual machine).
inline constexpr std::size_t hugePageBytes = 2 * 1024 * 1024;

template <typename T>
struct PageAlignedAllocator {
    using value_type = T;

    PageAlignedAllocator() noexcept = default;
    template <typename U>
    constexpr PageAlignedAllocator(const PageAlignedAllocator<U>&) noexcept {}

    static constexpr bool pageAligned(std::size_t count) noexcept { return count * sizeof(T) >= ioPageBytes; }
    static constexpr bool hugePaged(std::size_t count) noexcept { return count * sizeof(T) >= hugePageBytes; }

    // Not inlined: where the compiler sees the block's size it takes the field readers' guarded reads
    // past a short buffer (which never run) for out-of-bounds accesses.
    [[gnu::noinline]] T* allocate(std::size_t count) {
        if (count > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        if (hugePaged(count)) {
            void* block = ::operator new(count * sizeof(T), std::align_val_t{hugePageBytes});
            // Only advice: a kernel without huge pages gives small ones.
            ::madvise(block, count * sizeof(T) / hugePageBytes * hugePageBytes, MADV_HUGEPAGE);
            return static_cast<T*>(block);
        }
        if (pageAligned(count)) return static_cast<T*>(::operator new(count * sizeof(T), std::align_val_t{ioPageBytes}));
        return static_cast<T*>(::operator new(count * sizeof(T)));
    }

    void deallocate(T* pointer, std::size_t count) noexcept {
        // The unsized forms: clang provides the sized ones only with -fsized-deallocation.
        if (hugePaged(count)) ::operator delete(pointer, std::align_val_t{hugePageBytes});
        else if (pageAligned(count)) ::operator delete(pointer, std::align_val_t{ioPageBytes});
        else ::operator delete(pointer);
    }

    template <typename U>
    friend constexpr bool operator==(const PageAlignedAllocator&, const PageAlignedAllocator<U>&) noexcept {
        return true;
    }
};

} // namespace vantrel

// A bump allocator over a buffer on the caller's stack, for the short-lived
// lists of one call. It is header-only on purpose: std::pmr's memory
// resources live in the C++ runtime library (GLIBCXX_3.4.26 and later), and
// using them would tie the wheel to distributions newer than manylinux2014.
// Blocks that do not fit in the buffer come from the heap and go back to it;
// blocks in the buffer are released all at once when it goes out of scope.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <new>

namespace lacet {

class Arena {
public:
    Arena(std::byte* space, std::size_t size) noexcept
        : begin_(space), next_(space), end_(space + size)
    {
    }
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;

    void* allocate(std::size_t bytes, std::size_t alignment)
    {
        void* at = next_;
        std::size_t left = static_cast<std::size_t>(end_ - next_);
        if (std::align(alignment, bytes, at, left)) {
            next_ = static_cast<std::byte*>(at) + bytes;
            return at;
        }
        return ::operator new(bytes);
    }

    void deallocate(void* block) noexcept
    {
        if (!owns(block)) {
            ::operator delete(block);
        }
    }

private:
    bool owns(const void* block) const noexcept
    {
        std::less<const void*> before;
        return !before(block, begin_) && before(block, end_);
    }

    std::byte* begin_;
    std::byte* next_;
    std::byte* end_;
};

// The standard allocator interface over an Arena, for std::vector.
template <typename T>
class ArenaAllocator {
public:
    using value_type = T;

    explicit ArenaAllocator(Arena& arena) noexcept : arena_(&arena) {}
    template <typename U>
    ArenaAllocator(const ArenaAllocator<U>& other) noexcept : arena_(other.arena_)
    {
    }

    T* allocate(std::size_t n)
    {
        return static_cast<T*>(arena_->allocate(n * sizeof(T), alignof(T)));
    }
    void deallocate(T* block, std::size_t) noexcept { arena_->deallocate(block); }

    template <typename U>
    bool operator==(const ArenaAllocator<U>& other) const noexcept
    {
        return arena_ == other.arena_;
    }

private:
    template <typename>
    friend class ArenaAllocator;
    Arena* arena_;
};

}  // namespace lacet

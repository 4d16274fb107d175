// A check against running out of C stack in the recursive walks (the
// parser's nested arrays and inline tables, the Python value builder and the
// serializer). Their depth limits keep a single walk small, but a walk can
// start with most of the stack already used: on a thread made with a small
// stack (threading.stack_size(256 * 1024)), or from Python code that a walk
// calls (a tzinfo's utcoffset) and that starts another walk, over and over.
// Each level asks StackGuard whether the stack is within a reserve of its
// end, and the walk then fails with an error instead of overflowing.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <pthread.h>
#endif

namespace toml {

// The error of a read that the guard stopped, from the parser or the builder.
inline constexpr const char* kStackExhaustedMessage =
    "nesting too deep for this thread's C stack (maximum recursion depth exceeded)";

class StackGuard {
public:
    // The guard of the calling thread. Its stack's bounds are looked up once
    // per thread and kept; without them (another platform) it never trips.
    static StackGuard current() noexcept;

    // Whether the caller's frame is within the reserve of the stack's end.
    // A frame outside the thread's stack (a coroutine's own stack, a fake
    // frame of a sanitizer) is not judged.
    bool exhausted() const noexcept {
        auto sp = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
        return sp < floor_ && sp >= low_;
    }

    // Keeps this much of a stack free (a quarter of a stack smaller than
    // four times this): enough for the Python code, error reporting and
    // allocation a walk may run between two checks.
    static constexpr std::size_t kReserve = 64 * 1024;

private:
    std::uintptr_t low_ = 0;    // the stack's lowest address (it grows down)
    std::uintptr_t floor_ = 0;  // low_ + the reserve

    static StackGuard look_up() noexcept;
};

inline StackGuard StackGuard::current() noexcept {
    // One lookup per thread: pthread_getattr_np reads /proc/self/maps for
    // the main thread, far too slow for every call.
    thread_local StackGuard cached = look_up();
    return cached;
}

[[gnu::noinline, gnu::cold]] inline StackGuard StackGuard::look_up() noexcept {
    StackGuard guard;
#if defined(__linux__)
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        void* addr = nullptr;
        std::size_t size = 0;
        if (pthread_attr_getstack(&attr, &addr, &size) == 0 && addr != nullptr && size != 0) {
            std::size_t reserve = size / 4 < kReserve ? size / 4 : kReserve;
            guard.low_ = reinterpret_cast<std::uintptr_t>(addr);
            guard.floor_ = guard.low_ + reserve;
        }
        pthread_attr_destroy(&attr);
    }
#endif
    return guard;
}

}  // namespace toml

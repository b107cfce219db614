// A lock one thread may re-enter, cheap enough to take for every atom the storage reads: taking
// it when no other thread holds it is two atomic operations and no call into the system, or two
// plain stores while the process has one thread; a thread that finds it held sleeps on it until
// the holder lets it go. Not a general mutex: no timed waits, no fairness.
#pragma once

#include "platform/OnlyThread.h"

#include <atomic>
#include <thread>

class TCriticalSection {
public:
    TCriticalSection() = default;
    TCriticalSection(const TCriticalSection&) = delete;
    TCriticalSection& operator=(const TCriticalSection&) = delete;

    void lock() {
        std::thread::id me = std::this_thread::get_id();
        // Only this thread stores its own id, so seeing it means this thread holds the lock.
        if (owner_.load(std::memory_order_relaxed) == me) {
            ++depth_;
            return;
        }
        int expected = Free;
        if (OnlyThread())
            state_.store(Held, std::memory_order_relaxed);
        else if (!state_.compare_exchange_strong(expected, Held, std::memory_order_acquire, std::memory_order_relaxed))
            Wait();
        owner_.store(me, std::memory_order_relaxed);
        depth_ = 1;
    }

    void unlock() {
        if (--depth_ > 0) return;
        owner_.store(std::thread::id(), std::memory_order_relaxed);
        if (OnlyThread())
            state_.store(Free, std::memory_order_relaxed);
        else if (state_.exchange(Free, std::memory_order_release) == Waited)
            state_.notify_one();
    }

private:
    enum : int { Free, Held, Waited };

    // Marks the lock as waited for, so that its holder wakes a sleeper when it lets go, and
    // sleeps until it finds the lock free (taking it, still marked, as a sleeper may remain).
    void Wait() {
        while (state_.exchange(Waited, std::memory_order_acquire) != Free)
            state_.wait(Waited, std::memory_order_relaxed);
    }

    std::atomic<int> state_{Free};
    std::atomic<std::thread::id> owner_{};
    unsigned depth_ = 0; // touched only by the holder
};

// Holds a lock for a scope once the process has a second thread; until then it takes nothing, as
// no other thread exists to take the lock meanwhile. Only for scopes that call nothing that
// could start a thread: one started inside would find the lock free.
class TGuardIfThreads {
public:
    explicit TGuardIfThreads(TCriticalSection& lock) : held_(OnlyThread() ? nullptr : &lock) {
        if (held_) held_->lock();
    }
    ~TGuardIfThreads() {
        if (held_) held_->unlock();
    }
    TGuardIfThreads(const TGuardIfThreads&) = delete;
    TGuardIfThreads& operator=(const TGuardIfThreads&) = delete;

private:
    TCriticalSection* held_;
};

// Borrow states (see borrow.hpp). The uncontended path is one compare-exchange plus an entry in
// this thread's list of held flags; a conflict goes through the wait registry below.
#include "core/borrow.hpp"

#include "core/ref.hpp"

#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace qf {

namespace {

// The flags this thread holds borrows of. It tells a re-entrant call (which must fail) from
// another thread's (which may wait), and shows the registry what a sleeping thread holds.
// PERF NOTE: a fixed array in static thread-local storage, so that recording a borrow costs
// neither an allocation nor an atomic operation.
struct Held {
    static constexpr std::uint32_t CAPACITY = 64;
    static constexpr std::uint32_t UNRECORDED = CAPACITY;  // the slot of a borrow taken while full

    const BorrowFlag* flags[CAPACITY];
    std::uint32_t top;         // slots in use; released ones below it are null
    std::uint32_t unrecorded;  // borrows held that did not fit

    std::uint32_t add(const BorrowFlag* flag) noexcept {
        if (top == CAPACITY) {
            ++unrecorded;
            return UNRECORDED;
        }
        flags[top] = flag;
        return top++;
    }
    // Borrows need not end in the order they were taken (the writer drops and retakes them).
    void remove(std::uint32_t slot) noexcept {
        if (slot == UNRECORDED) {
            --unrecorded;
            return;
        }
        flags[slot] = nullptr;
        while (top > 0 && !flags[top - 1]) --top;
    }
    // While some borrows are unrecorded the answer is unknown, and yes is the safe one: a call
    // fails instead of a thread waiting for itself.
    bool holds(const BorrowFlag* flag) const noexcept {
        if (unrecorded) return true;
        for (std::uint32_t i = 0; i < top; ++i) {
            if (flags[i] == flag) return true;
        }
        return false;
    }
};

constinit thread_local Held held{};

// A thread asleep until a flag is free, linked into the registry for as long as it waits. Its
// list of held flags cannot change meanwhile, so other waiters may read it under the mutex.
struct Waiter {
    const Held* thread;
    const BorrowFlag* flag;
    Waiter* next;
};

struct Registry {
    std::mutex mutex;
    std::condition_variable freed;  // some flag that a waiter sleeps on has been released
    Waiter* waiters = nullptr;
};

// Never destroyed: a daemon thread may still be asleep in it while the process exits.
Registry& registry() noexcept {
    static Registry* reg = new Registry();
    return *reg;
}

// Whether the threads holding `flag` wait, directly or through others, for a flag that `me`
// holds: then `me` waiting for `flag` would close a cycle that no thread leaves. Threads
// that run are not followed: they will release what they hold. `hops` bounds the walk by the
// number of waiters (a longer path repeats a thread and does not lead back to `me`).
bool leads_back(const Held* me, const BorrowFlag* flag, const Waiter* waiters, std::size_t hops) noexcept {
    if (hops == 0) return false;
    for (const Waiter* w = waiters; w; w = w->next) {
        if (w->thread == me || !w->thread->holds(flag)) continue;
        if (me->holds(w->flag) || leads_back(me, w->flag, waiters, hops - 1)) return true;
    }
    return false;
}

}  // namespace

// The slow path: everything that happens when the flag is not free at the first attempt.
struct BorrowWait {
    static bool try_take(BorrowFlag& flag, bool exclusive) noexcept {
        std::uint32_t cur = flag.state_.load(std::memory_order_relaxed);
        for (;;) {
            const std::uint32_t users = cur & BorrowFlag::USERS;
            std::uint32_t next;
            if (exclusive) {
                if (users != 0) return false;
                next = cur | BorrowFlag::EXCLUSIVE;
            } else {
                // The count stops one short of the marker so that it can never turn into it.
                if (users >= BorrowFlag::EXCLUSIVE - 1) return false;
                next = cur + 1;
            }
            if (flag.state_.compare_exchange_weak(cur, next, std::memory_order_acquire, std::memory_order_relaxed))
                return true;
        }
    }

    // Takes the flag, waiting for other threads' borrows to end. False (no exception set) when
    // this thread holds it already or waiting would close a cycle.
    static bool take(BorrowFlag& flag, bool exclusive) noexcept {
        if (try_take(flag, exclusive)) return true;
        if (held.holds(&flag)) return false;
        // Detached while asleep: the holder may need the interpreter to finish (on the GIL
        // build, to run the Python code it calls), and a free-threaded interpreter can stop
        // the world for its collector only when every thread is attached or detached.
        PyThreadState* ts = PyThreadState_GetUnchecked() ? PyEval_SaveThread() : nullptr;
        bool taken = false;
        {
            Registry& reg = registry();
            std::unique_lock lock(reg.mutex);
            Waiter self{&held, &flag, reg.waiters};
            reg.waiters = &self;
            std::size_t count = 0;
            for (const Waiter* w = reg.waiters; w; w = w->next) ++count;
            // Set before the next attempt, so that a release after it sees the bit and wakes us.
            flag.state_.fetch_or(BorrowFlag::WAITED_ON, std::memory_order_relaxed);
            while (!(taken = try_take(flag, exclusive))) {
                if (leads_back(&held, &flag, reg.waiters, count)) break;
                reg.freed.wait(lock);
            }
            bool others = false;
            for (Waiter** link = &reg.waiters; *link;) {
                if (*link == &self) {
                    *link = self.next;
                    continue;
                }
                others = others || (*link)->flag == &flag;
                link = &(*link)->next;
            }
            if (!others) flag.state_.fetch_and(~BorrowFlag::WAITED_ON, std::memory_order_relaxed);
        }
        if (ts) PyEval_RestoreThread(ts);
        return taken;
    }

    // Called by the user whose release may have freed a flag that someone sleeps on. Taking the
    // mutex orders the wake-up after any waiter's last look at the flag.
    static void wake() noexcept {
        Registry& reg = registry();
        { std::lock_guard lock(reg.mutex); }
        reg.freed.notify_all();
    }
};

Borrow::Borrow(BorrowFlag* flag, bool exclusive) noexcept
    : flag_(flag), exclusive_(exclusive), slot_(held.add(flag)) {}

std::optional<Borrow> Borrow::shared(BorrowFlag& flag) noexcept {
    std::uint32_t cur = flag.state_.load(std::memory_order_relaxed);
    if (!((cur & BorrowFlag::USERS) < BorrowFlag::EXCLUSIVE - 1 &&
          flag.state_.compare_exchange_strong(cur, cur + 1, std::memory_order_acquire, std::memory_order_relaxed)) &&
        !BorrowWait::take(flag, false)) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        return std::nullopt;
    }
    return Borrow(&flag, false);
}

std::optional<Borrow> Borrow::exclusive(BorrowFlag& flag) noexcept {
    std::uint32_t expected = 0;
    if (!flag.state_.compare_exchange_strong(expected, BorrowFlag::EXCLUSIVE, std::memory_order_acquire,
                                             std::memory_order_relaxed) &&
        !BorrowWait::take(flag, true)) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return std::nullopt;
    }
    return Borrow(&flag, true);
}

Borrow::~Borrow() {
    if (!flag_) return;
    held.remove(slot_);
    bool wake = false;
    if (exclusive_) {
        const std::uint32_t old = flag_->state_.fetch_and(BorrowFlag::WAITED_ON, std::memory_order_release);
        wake = old & BorrowFlag::WAITED_ON;
    } else {
        const std::uint32_t old = flag_->state_.fetch_sub(1, std::memory_order_release);
        wake = (old & BorrowFlag::WAITED_ON) && (old & BorrowFlag::USERS) == 1;
    }
    if (wake) BorrowWait::wake();
}

}  // namespace qf

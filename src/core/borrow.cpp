// Borrow states (see borrow.hpp). Uncontended, an exclusive borrow is one compare-exchange to
// take and one atomic and to release; a shared one adds an entry in this thread's list of shared
// borrows. A conflict goes through the wait registry below.
#include "core/borrow.hpp"

#include "core/ref.hpp"

#include <pthread.h>

#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace qf {

// The flags this thread holds shared borrows of (an exclusive holder is named in the flag). It
// tells a re-entrant call (which must fail) from another thread's (which may wait), and shows
// the registry what a sleeping thread holds. PERF NOTE: a fixed array in static thread-local
// storage, so that recording a borrow costs neither an allocation nor an atomic operation; the
// borrow keeps its address, so that releasing it needs no second thread-local lookup.
struct Held {
    static constexpr std::uint32_t CAPACITY = 32;
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

namespace {

constinit thread_local Held held{};

// The thread pointer: unique among live threads, aligned (its low bits are free for the flag's
// marks), and read without a call.
std::uint64_t this_thread() noexcept {
#if defined(__has_builtin)
#if __has_builtin(__builtin_thread_pointer)
    return reinterpret_cast<std::uintptr_t>(__builtin_thread_pointer());
#endif
#endif
    return static_cast<std::uint64_t>(pthread_self());
}

// A thread asleep until a flag is free, linked into the registry for as long as it waits. Its
// borrows cannot change meanwhile, so other waiters may read them under the mutex.
struct Waiter {
    std::uint64_t thread;
    const Held* shared;
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

}  // namespace

// The slow path: everything that happens when the flag is not free at the first attempt.
struct BorrowWait {
    static constexpr std::uint64_t USERS = ~BorrowFlag::WAITED_ON;

    // Whether `thread`, whose shared borrows are `shared`, holds `flag`.
    static bool holds(std::uint64_t thread, const Held& shared, const BorrowFlag& flag) noexcept {
        const std::uint64_t users = flag.state_.load(std::memory_order_relaxed) & USERS;
        return users == (thread | BorrowFlag::EXCLUSIVE) || shared.holds(&flag);
    }

    // Whether the threads holding `flag` wait, directly or through others, for a flag that `me`
    // holds: then `me` waiting for `flag` would close a cycle that no thread leaves. Threads that
    // run are not followed: they will release what they hold. `hops` bounds the walk by the
    // number of waiters (a longer path repeats a thread and does not lead back to `me`).
    static bool leads_back(const Waiter& me, const BorrowFlag& flag, const Waiter* waiters,
                           std::size_t hops) noexcept {
        if (hops == 0) return false;
        for (const Waiter* w = waiters; w; w = w->next) {
            if (w == &me || !holds(w->thread, *w->shared, flag)) continue;
            if (holds(me.thread, *me.shared, *w->flag) || leads_back(me, *w->flag, waiters, hops - 1)) return true;
        }
        return false;
    }

    static bool try_take(BorrowFlag& flag, std::uint64_t thread, bool exclusive) noexcept {
        std::uint64_t cur = flag.state_.load(std::memory_order_relaxed);
        for (;;) {
            const std::uint64_t users = cur & USERS;
            if (exclusive ? users != 0 : (users & BorrowFlag::EXCLUSIVE) != 0) return false;
            const std::uint64_t next = exclusive ? cur | thread | BorrowFlag::EXCLUSIVE : cur + BorrowFlag::SHARED_ONE;
            if (flag.state_.compare_exchange_weak(cur, next, std::memory_order_acquire, std::memory_order_relaxed))
                return true;
        }
    }

    // Takes the flag, waiting for other threads' borrows to end. False (no exception set) when
    // this thread holds it already or waiting would close a cycle.
    static bool take(BorrowFlag& flag, std::uint64_t me, bool exclusive) noexcept {
        if (try_take(flag, me, exclusive)) return true;
        if (holds(me, held, flag)) return false;
        // Detached while asleep: the holder may need the interpreter to finish (on the GIL
        // build, to run the Python code it calls), and a free-threaded interpreter can stop
        // the world for its collector only when every thread is attached or detached.
        PyThreadState* ts = PyThreadState_GetUnchecked() ? PyEval_SaveThread() : nullptr;
        bool taken = false;
        {
            Registry& reg = registry();
            std::unique_lock lock(reg.mutex);
            Waiter self{me, &held, &flag, reg.waiters};
            reg.waiters = &self;
            // Set before the next attempt, so that a release after it sees the mark and wakes us.
            flag.state_.fetch_or(BorrowFlag::WAITED_ON, std::memory_order_relaxed);
            while (!(taken = try_take(flag, me, exclusive))) {
                std::size_t count = 0;
                for (const Waiter* w = reg.waiters; w; w = w->next) ++count;
                if (leads_back(self, flag, reg.waiters, count)) break;
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
            if (!others) flag.state_.fetch_and(USERS, std::memory_order_relaxed);
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

Borrow::Borrow(BorrowFlag* flag, Held* held) noexcept
    : flag_(flag), held_(held), slot_(held ? held->add(flag) : 0) {}

std::optional<Borrow> Borrow::shared(BorrowFlag& flag) noexcept {
    std::uint64_t cur = flag.state_.load(std::memory_order_relaxed);
    const bool taken = !(cur & BorrowFlag::EXCLUSIVE) &&
                       flag.state_.compare_exchange_strong(cur, cur + BorrowFlag::SHARED_ONE, std::memory_order_acquire,
                                                           std::memory_order_relaxed);
    if (!taken && !BorrowWait::take(flag, this_thread(), false)) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        return std::nullopt;
    }
    return Borrow(&flag, &held);
}

std::optional<Borrow> Borrow::exclusive(BorrowFlag& flag) noexcept {
    const std::uint64_t me = this_thread();
    std::uint64_t idle = 0;
    const bool taken = flag.state_.compare_exchange_strong(idle, me | BorrowFlag::EXCLUSIVE, std::memory_order_acquire,
                                                           std::memory_order_relaxed);
    if (!taken && !BorrowWait::take(flag, me, true)) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return std::nullopt;
    }
    return Borrow(&flag, nullptr);
}

Borrow::~Borrow() {
    if (!flag_) return;
    std::uint64_t old;
    bool freed;
    if (!held_) {
        old = flag_->state_.fetch_and(BorrowFlag::WAITED_ON, std::memory_order_release);
        freed = true;
    } else {
        held_->remove(slot_);
        old = flag_->state_.fetch_sub(BorrowFlag::SHARED_ONE, std::memory_order_release);
        freed = (old & BorrowWait::USERS) == BorrowFlag::SHARED_ONE;
    }
    if (freed && (old & BorrowFlag::WAITED_ON)) BorrowWait::wake();
}

}  // namespace qf

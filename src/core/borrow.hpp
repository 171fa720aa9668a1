// The borrow state of an engine object (RowReader, CellStore and its key iterator, SheetWriter):
// any number of shared users or one exclusive user. A conflicting call from the thread that
// holds the flag (Python code called by the operation in progress, using the same object)
// fails at once with RuntimeError. A conflicting call from another thread waits, detached from
// the interpreter, until the flag is free, unless waiting would close a cycle of threads each
// waiting for a flag another holds: then it fails like a re-entrant call. Everything that
// decides what a conflict does lives here.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <utility>

namespace qf {

class BorrowFlag {
public:
    // No user at all (what a clear of the object's references may rely on).
    bool is_idle() const noexcept { return (state_.load(std::memory_order_acquire) & ~WAITED_ON) == 0; }
    // Held exclusively: the object's native state may be changing under the holder.
    bool is_exclusive() const noexcept { return state_.load(std::memory_order_acquire) & EXCLUSIVE; }

private:
    friend class Borrow;
    friend struct BorrowWait;
    // One word, so that taking the flag stays one compare-exchange: held exclusively, it is
    // the holder's thread id (a thread pointer, so its low bits are clear) with EXCLUSIVE set;
    // held shared, the number of users times SHARED_ONE. WAITED_ON says that some thread
    // sleeps until the flag is free, so the last user to leave must wake it.
    static constexpr std::uint64_t WAITED_ON = 1;
    static constexpr std::uint64_t EXCLUSIVE = 2;
    static constexpr std::uint64_t SHARED_ONE = 4;
    std::atomic<std::uint64_t> state_{0};
};

struct Held;

// Held access to a BorrowFlag, released when destroyed. It belongs to the thread that took it
// and must be released there (the flag names its exclusive holder; a thread lists the flags it
// holds shared).
class Borrow {
public:
    // Refused with RuntimeError "Already mutably borrowed" while this thread holds the flag
    // exclusively; waits while another thread does.
    [[nodiscard]] static std::optional<Borrow> shared(BorrowFlag& flag) noexcept;
    // Refused with RuntimeError "Already borrowed" while this thread holds the flag at all;
    // waits while other threads do.
    [[nodiscard]] static std::optional<Borrow> exclusive(BorrowFlag& flag) noexcept;

    Borrow(Borrow&& other) noexcept
        : flag_(std::exchange(other.flag_, nullptr)), held_(other.held_), slot_(other.slot_) {}
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    Borrow& operator=(Borrow&&) = delete;
    ~Borrow();

private:
    Borrow(BorrowFlag* flag, Held* held) noexcept;
    BorrowFlag* flag_;
    Held* held_;          // a shared borrow: this thread's list of shared borrows; else null
    std::uint32_t slot_;  // where that list records the flag
};

}  // namespace qf

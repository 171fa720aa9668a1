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
    bool is_idle() const noexcept { return (state_.load(std::memory_order_acquire) & USERS) == 0; }
    // Held exclusively: the object's native state may be changing under the holder.
    bool is_exclusive() const noexcept { return (state_.load(std::memory_order_acquire) & USERS) == EXCLUSIVE; }

private:
    friend class Borrow;
    friend struct BorrowWait;
    // The low bits count shared users, or hold the exclusive marker (all ones); the top bit says
    // that some thread sleeps until the flag is free, so the last user to leave must wake it.
    static constexpr std::uint32_t WAITED_ON = 0x80000000u;
    static constexpr std::uint32_t USERS = 0x7FFFFFFFu;
    static constexpr std::uint32_t EXCLUSIVE = USERS;
    std::atomic<std::uint32_t> state_{0};
};

// Held access to a BorrowFlag, released when destroyed. It belongs to the thread that took it
// and must be released there (it is recorded in that thread's list of held flags).
class Borrow {
public:
    // Refused with RuntimeError "Already mutably borrowed" while this thread holds the flag
    // exclusively; waits while another thread does.
    [[nodiscard]] static std::optional<Borrow> shared(BorrowFlag& flag) noexcept;
    // Refused with RuntimeError "Already borrowed" while this thread holds the flag at all;
    // waits while other threads do.
    [[nodiscard]] static std::optional<Borrow> exclusive(BorrowFlag& flag) noexcept;

    Borrow(Borrow&& other) noexcept
        : flag_(std::exchange(other.flag_, nullptr)), exclusive_(other.exclusive_), slot_(other.slot_) {}
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    Borrow& operator=(Borrow&&) = delete;
    ~Borrow();

private:
    Borrow(BorrowFlag* flag, bool exclusive) noexcept;
    BorrowFlag* flag_;
    bool exclusive_;
    std::uint32_t slot_;  // where this thread's list records the flag
};

}  // namespace qf

// The borrow state of an engine object (RowReader, CellStore and its key iterator, SheetWriter):
// any number of shared users or one exclusive user. A call that conflicts with one in progress
// (a re-entrant call from a callback, or a call from another thread) fails at once with
// RuntimeError; nothing ever waits. Everything that decides what a conflict does lives here.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <utility>

namespace qf {

class BorrowFlag {
public:
    // No user at all (what a clear of the object's references may rely on).
    bool is_idle() const noexcept { return state_.load(std::memory_order_acquire) == 0; }
    // Held exclusively: the object's native state may be changing under the holder.
    bool is_exclusive() const noexcept { return state_.load(std::memory_order_acquire) == EXCLUSIVE; }

private:
    friend class Borrow;
    static constexpr std::uint32_t EXCLUSIVE = 0xFFFFFFFFu;
    std::atomic<std::uint32_t> state_{0};
};

// Held access to a BorrowFlag, released when destroyed.
class Borrow {
public:
    // Refused with RuntimeError "Already mutably borrowed" while the flag is held exclusively.
    [[nodiscard]] static std::optional<Borrow> shared(BorrowFlag& flag) noexcept;
    // Refused with RuntimeError "Already borrowed" while the flag is held at all.
    [[nodiscard]] static std::optional<Borrow> exclusive(BorrowFlag& flag) noexcept;

    Borrow(Borrow&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)), exclusive_(other.exclusive_) {}
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    Borrow& operator=(Borrow&&) = delete;
    ~Borrow();

private:
    Borrow(BorrowFlag* flag, bool exclusive) noexcept : flag_(flag), exclusive_(exclusive) {}
    BorrowFlag* flag_;
    bool exclusive_;
};

}  // namespace qf

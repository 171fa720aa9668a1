// Borrow states (see borrow.hpp).
#include "core/borrow.hpp"

#include "core/ref.hpp"

namespace qf {

std::optional<Borrow> Borrow::shared(BorrowFlag& flag) noexcept {
    std::uint32_t cur = flag.state_.load(std::memory_order_relaxed);
    do {
        // The count stops one short of EXCLUSIVE so that it can never turn into it.
        if (cur >= BorrowFlag::EXCLUSIVE - 1) {
            PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
            return std::nullopt;
        }
    } while (!flag.state_.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire, std::memory_order_relaxed));
    return Borrow(&flag, false);
}

std::optional<Borrow> Borrow::exclusive(BorrowFlag& flag) noexcept {
    std::uint32_t expected = 0;
    if (!flag.state_.compare_exchange_strong(expected, BorrowFlag::EXCLUSIVE, std::memory_order_acquire,
                                             std::memory_order_relaxed)) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return std::nullopt;
    }
    return Borrow(&flag, true);
}

Borrow::~Borrow() {
    if (!flag_) return;
    if (exclusive_) {
        flag_->state_.store(0, std::memory_order_release);
    } else {
        flag_->state_.fetch_sub(1, std::memory_order_release);
    }
}

}  // namespace qf

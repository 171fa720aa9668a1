// The Python side of serial dates: reading a workbook epoch from a Python object (shared by the
// parser settings and the writer) and building datetime/time objects through the datetime capsule.
#pragma once

#include "core/error.hpp"
#include "core/ref.hpp"
#include "dates.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

namespace qf {

// The native epoch for `epoch` (the parser's `epoch` or the workbook's `epoch` attribute):
// present only for an exact, naive datetime.datetime; `windows_1900` is `epoch == WINDOWS_EPOCH`
// of quillfen.utils.datetime. Errors are the Python exceptions raised while reading.
[[nodiscard]] XmlResult<std::optional<Epoch>> read_epoch(PyObject* epoch);

// datetime.datetime (naive) or datetime.time for DateTime/Time parts; null with an exception
// set otherwise (OutOfRange never reaches here in callers that checked at load time).
[[nodiscard]] Ref date_parts_to_py(const DateParts& parts) noexcept;

// The Python objects made for recent serials, by their bits: date and time objects are immutable,
// so a column that repeats a handful of dates shares a handful of objects instead of making one
// per cell. Direct-mapped, of 2^8 slots at first and up to 2^MaxBits as serials keep evicting
// one another (a bigger table is made only once the smaller one was outgrown, so a sheet of few
// dates pays for no more); belongs to one reader or store, whose epoch is fixed while it is used.
// A table that can grow is used by one thread at a time (its owner's lock).
template <unsigned MaxBits = 8>
class DateObjects {
public:
    // The cached object for the serial, else `make()` (a new reference, or null with an
    // exception set, which is not cached).
    template <class Make>
    Ref get(std::uint64_t bits, bool is_float, Make&& make) {
        if (const Slot& slot = slot_for(bits, is_float); slot.obj && slot.bits == bits && slot.is_float == is_float)
            return slot.obj.clone();
        Ref obj = make();
        if (!obj) return obj;
        Slot* slot = &slot_for(bits, is_float);  // again: making the object may have run Python code
        if (slot->obj && bits_ < MaxBits && ++evicted_ > slots_.size()) {
            bits_ = std::min(bits_ + 2, MaxBits);
            evicted_ = 0;
            slots_.clear();
            slots_.resize(std::size_t{1} << bits_);
            slot = &slot_for(bits, is_float);
        }
        *slot = Slot{bits, is_float, obj.clone()};
        return obj;
    }
    void clear() {
        slots_.clear();
        slots_.resize(std::size_t{1} << FIRST_BITS);
        bits_ = FIRST_BITS;
        evicted_ = 0;
    }

private:
    static constexpr unsigned FIRST_BITS = MaxBits < 8 ? MaxBits : 8;
    struct Slot {
        std::uint64_t bits = 0;
        bool is_float = false;
        Ref obj;
    };
    Slot& slot_for(std::uint64_t bits, bool is_float) noexcept {
        return slots_[(bits * 0x9E3779B97F4A7C15ULL + is_float) >> (64 - bits_)];
    }
    std::vector<Slot> slots_ = std::vector<Slot>(std::size_t{1} << FIRST_BITS);
    unsigned bits_ = FIRST_BITS;
    std::size_t evicted_ = 0;  // objects replaced in the table at its present size
};

}  // namespace qf

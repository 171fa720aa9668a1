// The engine's fast non-cryptographic hash (word-at-a-time rotate/xor/multiply with a strong
// 64-bit finaliser) and a small open-addressing table of 64-bit keys and values built on it.
// Used by the cell store, the formula templates and the sheet parser's shared-formula table.
// Byte-level: no Python.h.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

namespace qf {

class FxHasher {
public:
    static constexpr std::uint64_t SEED = 0x517cc1b727220a95ULL;

    void add(std::uint64_t word) noexcept { state_ = (std::rotl(state_, 5) ^ word) * SEED; }

    // Bytes in little-endian 8-byte words; a short last word is zero-padded.
    void write(std::string_view bytes) noexcept {
        const char* p = bytes.data();
        std::size_t n = bytes.size();
        for (; n >= 8; p += 8, n -= 8) add(load(p, 8));
        if (n) add(load(p, n));
    }

    std::uint64_t finish() const noexcept {
        std::uint64_t x = state_;
        x ^= x >> 33;
        x *= 0xff51afd7ed558ccdULL;
        x ^= x >> 33;
        x *= 0xc4ceb9fe1a85ec53ULL;
        x ^= x >> 33;
        return x;
    }

    static std::uint64_t hash_key(std::uint64_t key) noexcept {
        FxHasher h;
        h.add(key);
        return h.finish();
    }
    static std::uint64_t hash_bytes(std::string_view bytes) noexcept {
        FxHasher h;
        h.add(bytes.size());
        h.write(bytes);
        return h.finish();
    }

private:
    static std::uint64_t load(const char* p, std::size_t n) noexcept {
        unsigned char buf[8] = {};
        std::memcpy(buf, p, n);
        std::uint64_t w = 0;
        for (int i = 7; i >= 0; --i) w = (w << 8) | buf[i];
        return w;
    }

    std::uint64_t state_ = 0;
};

// 64-bit key -> 64-bit value, linear probing, backward-shift deletion (no tombstones, so a
// table that sees many removals, like the store's entry index, never degrades).
class FxTable {
public:
    std::size_t size() const noexcept { return count_; }
    bool empty() const noexcept { return count_ == 0; }

    std::optional<std::uint64_t> find(std::uint64_t key) const noexcept {
        if (count_ == 0) return std::nullopt;
        for (std::size_t i = home(key);; i = (i + 1) & mask_) {
            if (!used_[i]) return std::nullopt;
            if (slots_[i].key == key) return slots_[i].value;
        }
    }

    // Inserts or overwrites.
    void put(std::uint64_t key, std::uint64_t value) {
        if ((count_ + 1) * 8 > slots_.size() * 7) grow();
        std::size_t i = home(key);
        for (; used_[i]; i = (i + 1) & mask_) {
            if (slots_[i].key == key) { slots_[i].value = value; return; }
        }
        used_[i] = 1;
        slots_[i] = {key, value};
        ++count_;
    }

    bool erase(std::uint64_t key) noexcept {
        if (count_ == 0) return false;
        std::size_t i = home(key);
        for (;; i = (i + 1) & mask_) {
            if (!used_[i]) return false;
            if (slots_[i].key == key) break;
        }
        // Pull later members of the probe run back into the hole.
        for (std::size_t j = (i + 1) & mask_; used_[j]; j = (j + 1) & mask_) {
            const std::size_t h = home(slots_[j].key);
            const bool movable = (j > i) ? (h <= i || h > j) : (h <= i && h > j);
            if (movable) {
                slots_[i] = slots_[j];
                i = j;
            }
        }
        used_[i] = 0;
        --count_;
        return true;
    }

    void clear() noexcept {
        slots_.clear();
        slots_.shrink_to_fit();
        used_.clear();
        used_.shrink_to_fit();
        count_ = 0;
        mask_ = 0;
    }

private:
    struct Slot {
        std::uint64_t key;
        std::uint64_t value;
    };

    std::size_t home(std::uint64_t key) const noexcept {
        return static_cast<std::uint32_t>(FxHasher::hash_key(key)) & mask_;
    }

    void grow() {
        std::vector<Slot> old_slots = std::move(slots_);
        std::vector<std::uint8_t> old_used = std::move(used_);
        const std::size_t cap = old_slots.empty() ? 16 : old_slots.size() * 2;
        slots_.assign(cap, Slot{0, 0});
        used_.assign(cap, 0);
        mask_ = cap - 1;
        count_ = 0;
        for (std::size_t i = 0; i < old_slots.size(); ++i) {
            if (old_used[i]) put(old_slots[i].key, old_slots[i].value);
        }
    }

    std::vector<Slot> slots_;
    std::vector<std::uint8_t> used_;
    std::size_t count_ = 0;
    std::size_t mask_ = 0;
};

}  // namespace qf

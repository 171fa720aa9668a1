// Byte-level number and coordinate forms that the worksheet readers take natively: plain row
// numbers and plain "B3" coordinates. Every other spelling goes to the package's own callables,
// so these parsers only ever say "mine" or "not mine", never "invalid". No Python.h here.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace qf::sheet {

inline constexpr std::int64_t MAX_COLUMN = 18278;  // ZZZ

struct Coord {
    std::int64_t row;
    std::int64_t col;
    friend constexpr bool operator==(const Coord&, const Coord&) = default;
};

// An optional "-" and 1 to 18 ASCII digits: always fits a signed 64-bit integer.
constexpr std::optional<std::int64_t> native_int(std::string_view text) noexcept {
    std::size_t i = 0;
    const bool negative = !text.empty() && text[0] == '-';
    i += negative;
    const std::size_t digits = text.size() - i;
    if (digits == 0 || digits > 18) return std::nullopt;
    std::int64_t value = 0;
    for (; i < text.size(); ++i) {
        const unsigned d = static_cast<unsigned char>(text[i]) - '0';
        if (d > 9) return std::nullopt;
        value = value * 10 + d;
    }
    return negative ? -value : value;
}

// One to three capital letters, then one to nine digits without a leading zero; the column
// (bijective base 26, A = 1) must not pass ZZZ. Lower case, "$", spaces and longer forms are
// left to the package's coordinate parser.
constexpr std::optional<Coord> fast_coordinate(std::string_view text) noexcept {
    std::size_t i = 0;
    std::int64_t col = 0;
    while (i < text.size() && text[i] >= 'A' && text[i] <= 'Z') {
        if (i == 3) return std::nullopt;
        col = col * 26 + (text[i] - 'A' + 1);
        ++i;
    }
    const std::size_t digits = text.size() - i;
    if (i == 0 || digits == 0 || digits > 9 || text[i] == '0' || col > MAX_COLUMN) return std::nullopt;
    std::int64_t row = 0;
    for (; i < text.size(); ++i) {
        const unsigned d = static_cast<unsigned char>(text[i]) - '0';
        if (d > 9) return std::nullopt;
        row = row * 10 + d;
    }
    return Coord{row, col};
}

// The digits of the current row's number as the row element spells them, when that is the
// form fast_coordinate reads (one to nine digits, no leading zero); empty otherwise.
class RowDigits {
public:
    void set(std::string_view text) noexcept {
        const bool plain = !text.empty() && text.size() <= 9 && text[0] != '0' &&
                           text.find_first_not_of("0123456789") == std::string_view::npos;
        len_ = plain ? static_cast<std::uint8_t>(text.size()) : 0;
        for (std::size_t i = 0; i < len_; ++i) text_[i] = text[i];
    }
    void clear() noexcept { len_ = 0; }
    std::string_view view() const noexcept { return {text_, len_}; }

private:
    char text_[9] = {};
    std::uint8_t len_ = 0;
};

// fast_coordinate for a cell of the row whose number `row` is spelt `digits`: a cell's
// coordinate nearly always repeats them, and comparing them is cheaper than reading them.
constexpr std::optional<Coord> fast_coordinate_in_row(std::string_view text, std::string_view digits,
                                                      std::int64_t row) noexcept {
    std::size_t i = 0;
    std::int64_t col = 0;
    while (i < text.size() && i < 3 && text[i] >= 'A' && text[i] <= 'Z') {
        col = col * 26 + (text[i] - 'A' + 1);
        ++i;
    }
    if (i > 0 && !digits.empty() && text.substr(i) == digits && col <= MAX_COLUMN) return Coord{row, col};
    return fast_coordinate(text);
}

}  // namespace qf::sheet

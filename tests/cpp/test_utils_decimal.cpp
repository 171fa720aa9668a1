// Decimal text to double: bit-identical to std::from_chars on every text of the accepted form.
#include "utils/utils.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <optional>
#include <random>
#include <string>

using qf::utils::decimal_double;

namespace {

// What the library makes of `text` (a leading '+' dropped, as it reads none), or nothing when it
// stops early or the value is out of range; nothing for a bare integer, which is not ours.
std::optional<double> library(std::string_view text) {
    if (text.find_first_of(".eE") == std::string_view::npos) return std::nullopt;
    if (!text.empty() && text[0] == '+') text.remove_prefix(1);
    double v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return v;
}

void expect_same(const std::string& text) {
    const auto ours = decimal_double(text);
    const auto theirs = library(text);
    ASSERT_EQ(ours.has_value(), theirs.has_value()) << text;
    if (ours) {
        ASSERT_EQ(std::bit_cast<std::uint64_t>(*ours), std::bit_cast<std::uint64_t>(*theirs)) << text;
    }
}

// A text of the accepted form: sign, digits with a point somewhere or none, an exponent or none.
std::string random_decimal(std::mt19937_64& rng) {
    auto below = [&](std::uint64_t n) { return static_cast<int>(rng() % n); };
    std::string s;
    if (const int sign = below(4); sign == 1) s += '-';
    else if (sign == 2) s += '+';
    const int digits = 1 + below(below(4) == 0 ? 30 : 19);
    const int point = below(digits + 2) - 1;  // -1: no point; digits: a trailing point
    for (int i = 0; i < digits; ++i) {
        if (i == point) s += '.';
        s += static_cast<char>('0' + (below(5) == 0 ? 0 : below(10)));
    }
    if (point == digits) s += '.';
    if (below(2) == 0) {
        s += below(2) ? 'e' : 'E';
        if (const int sign = below(3); sign == 1) s += '-';
        else if (sign == 2) s += '+';
        s += std::to_string(below(3) == 0 ? below(400) : below(30));
    }
    return s;
}

}  // namespace

TEST(DecimalDouble, RandomTextsMatchTheLibrary) {
    std::mt19937_64 rng(20261209);
    for (int i = 0; i < 400'000; ++i) expect_same(random_decimal(rng));
}

TEST(DecimalDouble, RandomDoublesInEveryLayoutMatchTheLibrary) {
    std::mt19937_64 rng(53);
    char buf[64];
    for (int i = 0; i < 200'000; ++i) {
        const double x = i % 2 ? std::bit_cast<double>(rng()) : static_cast<double>(rng() % 100'000'000) / 1024.0;
        if (!std::isfinite(x)) continue;
        expect_same(std::string(buf, std::to_chars(buf, buf + sizeof buf, x).ptr));
        for (int precision : {15, 16, 17}) {
            expect_same(std::string(buf, std::to_chars(buf, buf + sizeof buf, x, std::chars_format::general, precision).ptr));
        }
    }
}

TEST(DecimalDouble, EdgesOfTheExactPathAndOfTheRange) {
    for (const char* text :
         {"0", "-0", "-0.0", "+0.0", "0e999", "-0e-999", "9007199254740992.0", "9007199254740993.0", "9007199254740994.0",
          "9007199254740995e0", "9007199254740993e-22", "9007199254740992e22", "9007199254740992e23", "1e22", "1e23",
          "1e-22", "1e-23", "12345678901234567890e0", "1234567890123456789e0", "0.1", "0.30000000000000004",
          "2.2250738585072014e-308", "2.2250738585072011e-308", "4.9406564584124654e-324", "2.4703282292062327e-324",
          "2.4703282292062328e-324", "1.7976931348623157e308", "1.7976931348623158e308", "1.7976931348623159e308",
          "1e309", "1e-400", "00000000000000000000001.5", "0.0000000000000000000000015", "5.", ".5", "-.5e1",
          "4503599627370496.5", "4503599627370497.5", "1e0000000000000000000000000000001"}) {
        expect_same(text);
    }
}

TEST(DecimalDouble, OtherFormsAreLeftToTheCaller) {
    for (const char* text : {"", "+", "-", ".", "e5", ".e5", "5", "-12", "+0", "12345678901234567890123", "1e", "1e+", "1.5x", " 1.5", "1.5 ", "+-1", "1_000.5",
                             "inf", "nan", "0x1p3", "1..5", "1e5.5"}) {
        EXPECT_FALSE(decimal_double(text).has_value()) << text;
    }
}

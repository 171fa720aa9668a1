// Number text (%.16g, and the writer's shortest round-tripping text): tables grouped by
// edge-case kind, doubles built from their bits.
#include "utils/utils.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <string>

using qf::utils::format_g16;

namespace {

double ieee(bool sign, std::uint64_t exponent, std::uint64_t mantissa) {
    return std::bit_cast<double>((std::uint64_t{sign} << 63) | (exponent << 52) | mantissa);
}

struct Case {
    double x;
    const char* text;
};

void check(std::initializer_list<Case> cases) {
    for (const Case& c : cases) {
        EXPECT_EQ(format_g16(c.x), c.text) << "bits " << std::bit_cast<std::uint64_t>(c.x);
    }
}

std::string num(double x) {
    char buf[qf::utils::NUM_MAX];
    return std::string(buf, qf::utils::write_num_float(buf, x));
}

std::string num(std::int64_t i) {
    char buf[qf::utils::NUM_MAX];
    return std::string(buf, qf::utils::write_num_int(buf, i));
}

void check_num(std::initializer_list<Case> cases) {
    for (const Case& c : cases) EXPECT_EQ(num(c.x), c.text) << "bits " << std::bit_cast<std::uint64_t>(c.x);
}

}  // namespace

TEST(G16, SignedZero) {
    check({{ieee(false, 0, 0), "0"}, {ieee(true, 0, 0), "-0"}});
}

TEST(G16, Subnormals) {
    check({
        {ieee(false, 0, 1), "4.940656458412465e-324"},
        {ieee(true, 0, 1), "-4.940656458412465e-324"},
        {ieee(false, 0, (std::uint64_t{1} << 52) - 1), "2.225073858507201e-308"},
        {ieee(false, 1, 0), "2.225073858507201e-308"},
    });
}

TEST(G16, MinAndMax) {
    check({
        {std::numeric_limits<double>::max(), "1.797693134862316e+308"},
        {std::numeric_limits<double>::lowest(), "-1.797693134862316e+308"},
    });
}

TEST(G16, FixedExponentSwitch) {
    check({
        {0.0001, "0.0001"}, {0.00001, "1e-05"}, {0.00001234, "1.234e-05"}, {1.5e-05, "1.5e-05"},
        {1e15, "1000000000000000"}, {9999999999999998.0, "9999999999999998"}, {1e16, "1e+16"},
        {1e100, "1e+100"}, {1e-100, "1e-100"}, {123456.789, "123456.789"},
    });
}

TEST(G16, DecadeCarry) {
    // Just below a power of ten, the 16-digit rounding carries and takes the larger exponent.
    check({
        {9.9999999999999995e15, "1e+16"},
        {0.000099999999999999999, "0.0001"},
        {9.99999999999999999e-5, "0.0001"},
        {0.99999999999999999, "1"},
    });
}

TEST(G16, TrailingZerosAndFractions) {
    check({
        {0.5, "0.5"}, {0.1, "0.1"}, {-1234.5, "-1234.5"}, {1.0 / 3, "0.3333333333333333"},
        {2.0 / 3, "0.6666666666666666"}, {100.0, "100"}, {-2.0, "-2"}, {1.25e20, "1.25e+20"},
    });
}

TEST(G16, Ties) {
    // Exactly representable halves at the 17th digit: ties go to the even neighbour.
    check({
        {1000000000000000.5, "1000000000000000"},
        {1000000000000001.5, "1000000000000002"},
        {-1000000000000003.5, "-1000000000000004"},
        {9007199254740994.0, "9007199254740994"},
        {1.0000000000000025, "1.000000000000002"},
    });
}

// The writer's numbers: nothing changes on the way back, so every digit that tells a double from
// its neighbours is kept, and no more.

TEST(Num, SignedZeroAndIntegers) {
    check_num({{0.0, "0"}, {-0.0, "-0.0"}, {3.0, "3"}, {-2.0, "-2"}, {100.0, "100"}});
    EXPECT_EQ(num(std::int64_t{0}), "0");
    EXPECT_EQ(num(std::numeric_limits<std::int64_t>::max()), "9223372036854775807");
    EXPECT_EQ(num(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808");
    EXPECT_EQ(num((std::int64_t{1} << 53) + 1), "9007199254740993");
}

TEST(Num, SeventeenDigits) {
    check_num({{0.1 + 0.2, "0.30000000000000004"}, {1.0 / 3, "0.3333333333333333"},
               {1000000000000000.5, "1000000000000000.5"},
               {123456789012345678.0, "1.2345678901234568e+17"}, {9.223372036854775807e18, "9.223372036854776e+18"}});
}

TEST(Num, FixedExponentSwitch) {
    check_num({{0.0001, "0.0001"}, {0.00001, "1e-05"}, {0.00012345, "0.00012345"}, {1.5e-05, "1.5e-05"},
               {1e15, "1000000000000000"}, {9999999999999998.0, "9999999999999998"}, {1e16, "1e+16"},
               {123456789012345.67, "123456789012345.67"}, {1e100, "1e+100"}, {-1e-100, "-1e-100"}});
}

TEST(Num, SubnormalsAndExtremes) {
    check_num({{ieee(false, 0, 1), "5e-324"}, {ieee(true, 0, 1), "-5e-324"},
               {ieee(false, 1, 0), "2.2250738585072014e-308"},
               {std::numeric_limits<double>::max(), "1.7976931348623157e+308"}});
}

// Number text: tables grouped by edge-case kind, doubles built from their bits.
#include "utils/utils.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>

using qf::utils::format_g16;
using qf::utils::g16_float;
using qf::utils::g16_int;

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
        EXPECT_EQ(g16_float(c.x), c.text) << "bits " << std::bit_cast<std::uint64_t>(c.x);
    }
}

}  // namespace

TEST(G16, SignedZero) {
    check({{ieee(false, 0, 0), "0"}, {ieee(true, 0, 0), "-0"}});
    EXPECT_EQ(g16_int(0), "0");
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

TEST(G16Int, AroundTwoPow53) {
    constexpr std::int64_t P = std::int64_t{1} << 53;
    EXPECT_EQ(g16_int(P), "9007199254740992");
    EXPECT_EQ(g16_int(-P), "-9007199254740992");
    EXPECT_EQ(g16_int(P + 1), "9007199254740992");
    EXPECT_EQ(g16_int(P + 3), "9007199254740996");
    EXPECT_EQ(g16_int(P - 1), "9007199254740991");
    EXPECT_EQ(g16_int(12345678901234567), "1.234567890123457e+16");
    EXPECT_EQ(g16_int(123456789012345678), "1.234567890123457e+17");
}

TEST(G16Int, Extremes) {
    EXPECT_EQ(g16_int(std::numeric_limits<std::int64_t>::max()), "9.223372036854776e+18");
    EXPECT_EQ(g16_int(std::numeric_limits<std::int64_t>::min()), "-9.223372036854776e+18");
    EXPECT_EQ(g16_int(-5), "-5");
}

TEST(G16Float, IntegralFastPathBoundary) {
    EXPECT_EQ(g16_float(9999999999999999.0), "1e+16");  // rounds to 1e16: not below the bound
    EXPECT_EQ(g16_float(9999999999999998.0), "9999999999999998");
    EXPECT_EQ(g16_float(-9999999999999998.0), "-9999999999999998");
    EXPECT_EQ(g16_float(1e16), "1e+16");
    EXPECT_EQ(g16_float(-0.0), "-0");
}

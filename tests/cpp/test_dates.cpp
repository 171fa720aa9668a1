// Serial-date arithmetic without an interpreter: the unit links no Python symbols, and its
// calendar maths holds at the boundaries the Python-side property tests rarely reach.
#include "dates.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using qf::DateTime;
using qf::Epoch;
using qf::OutOfRange;
using qf::Time;

const Epoch WINDOWS = Epoch::make(1899, 12, 30, 0, 0, 0, 0, true);
const Epoch MAC = Epoch::make(1904, 1, 1, 0, 0, 0, 0, false);

TEST(DatesEpoch, DayNumbers) {
    EXPECT_EQ(WINDOWS.day, 693593);
    EXPECT_EQ(MAC.day, 695055);
    EXPECT_EQ(Epoch::make(1, 1, 1, 0, 0, 0, 0, false).day, 0);
    EXPECT_EQ(Epoch::make(9999, 12, 31, 0, 0, 0, 0, false).day, qf::MAX_DAY);
    EXPECT_EQ(Epoch::make(2000, 3, 1, 0, 0, 0, 0, false).day - Epoch::make(2000, 2, 28, 0, 0, 0, 0, false).day, 2);
    EXPECT_EQ(Epoch::make(1900, 3, 1, 0, 0, 0, 0, false).day - Epoch::make(1900, 2, 28, 0, 0, 0, 0, false).day, 1);
    EXPECT_EQ(Epoch::make(1, 1, 1, 23, 59, 59, 999999, false).micros, 86400000000 - 1);
}

TEST(DatesFinish, RoundTripsEveryDay) {
    const Epoch origin = Epoch::make(1, 1, 1, 0, 0, 0, 0, false);
    for (std::int64_t day = 0; day <= qf::MAX_DAY; day += 997) {
        auto parts = qf::finish(origin, day, 0);
        const auto& dt = std::get<DateTime>(parts);
        EXPECT_EQ(Epoch::make(dt.year, dt.month, dt.day, 0, 0, 0, 0, false).day, day);
    }
    EXPECT_EQ(qf::finish(origin, qf::MAX_DAY, 86399999), (qf::DateParts{DateTime{9999, 12, 31, 23, 59, 59, 999000}}));
    EXPECT_EQ(qf::finish(origin, qf::MAX_DAY, 86400000), qf::DateParts{OutOfRange{}});
    EXPECT_EQ(qf::finish(origin, 0, -1), qf::DateParts{OutOfRange{}});
    EXPECT_EQ(qf::finish(origin, std::numeric_limits<std::int64_t>::max(), 0), qf::DateParts{OutOfRange{}});
    EXPECT_EQ(qf::finish(origin, 0, std::numeric_limits<std::int64_t>::min()), qf::DateParts{OutOfRange{}});
}

TEST(DatesSerial, LeapDayOf1900) {
    EXPECT_EQ(qf::from_excel_int(WINDOWS, 59), (qf::DateParts{DateTime{1900, 2, 28, 0, 0, 0, 0}}));
    EXPECT_EQ(qf::from_excel_int(WINDOWS, 60), (qf::DateParts{DateTime{1900, 2, 28, 0, 0, 0, 0}}));
    EXPECT_EQ(qf::from_excel_int(WINDOWS, 61), (qf::DateParts{DateTime{1900, 3, 1, 0, 0, 0, 0}}));
    EXPECT_EQ(qf::from_excel_int(MAC, 1), (qf::DateParts{DateTime{1904, 1, 2, 0, 0, 0, 0}}));
    EXPECT_EQ(qf::from_excel_float(WINDOWS, 60.5), (qf::DateParts{DateTime{1900, 2, 28, 12, 0, 0, 0}}));
}

TEST(DatesSerial, TimesAndNonFinite) {
    EXPECT_EQ(qf::from_excel_int(WINDOWS, 0), (qf::DateParts{Time{0, 0, 0, 0}}));
    EXPECT_EQ(qf::from_excel_float(WINDOWS, -0.0), (qf::DateParts{Time{0, 0, 0, 0}}));
    EXPECT_EQ(qf::from_excel_float(WINDOWS, 0.75), (qf::DateParts{Time{18, 0, 0, 0}}));
    EXPECT_EQ(qf::from_excel_float(WINDOWS, std::nextafter(1.0, 0.0)), (qf::DateParts{DateTime{1900, 1, 1, 0, 0, 0, 0}}));
    EXPECT_EQ(qf::from_excel_float(WINDOWS, -0.5), (qf::DateParts{DateTime{1899, 12, 29, 12, 0, 0, 0}}));
    EXPECT_EQ(qf::from_excel_float(WINDOWS, std::nan("")), qf::DateParts{OutOfRange{}});
    EXPECT_EQ(qf::from_excel_float(WINDOWS, -INFINITY), qf::DateParts{OutOfRange{}});
    EXPECT_EQ(qf::from_excel_float(WINDOWS, 1e300), qf::DateParts{OutOfRange{}});
    EXPECT_EQ(qf::from_excel_int(WINDOWS, std::numeric_limits<std::int64_t>::min()), qf::DateParts{OutOfRange{}});
}

TEST(DatesToSerial, InvertsTheConversions) {
    // Dates the serials of the two systems stand for come back to the same serial.
    for (const Epoch* epoch : {&WINDOWS, &MAC}) {
        for (std::int64_t serial = -693593; serial <= 2958465; serial += 997) {
            const auto parts = qf::from_excel_int(*epoch, serial);
            // Serial 60, the 1900 leap day that never was, reads as 1900-02-28 (serial 59).
            if (std::holds_alternative<OutOfRange>(parts) || (epoch == &WINDOWS && serial == 60)) continue;
            EXPECT_EQ(qf::to_serial(*epoch, parts), static_cast<double>(serial)) << serial;
        }
        for (double serial : {61.25, 45000.5, 45000.999988425923, -0.5, 0.75, 36526.123456}) {
            const auto parts = qf::from_excel_float(*epoch, serial);
            EXPECT_EQ(qf::from_excel_float(*epoch, *qf::to_serial(*epoch, parts)), parts) << serial;
        }
    }
}

TEST(DatesToSerial, TheLeapDayShiftAndTheEpochsOwnDay) {
    EXPECT_EQ(qf::to_serial(WINDOWS, DateTime{1900, 1, 1, 0, 0, 0, 0}), 1.0);
    EXPECT_EQ(qf::to_serial(WINDOWS, DateTime{1900, 2, 28, 12, 0, 0, 0}), 59.5);
    EXPECT_EQ(qf::to_serial(WINDOWS, DateTime{1900, 3, 1, 0, 0, 0, 0}), 61.0);
    // On the epoch's own day only the time counts (a serial below 1 reads back as a time).
    EXPECT_EQ(qf::to_serial(WINDOWS, DateTime{1899, 12, 30, 12, 0, 0, 0}), 0.5);
    EXPECT_EQ(qf::to_serial(WINDOWS, DateTime{1899, 12, 29, 12, 0, 0, 0}), -0.5);
    EXPECT_EQ(qf::to_serial(MAC, Time{6, 0, 0, 0}), 0.25);
    // An epoch with a time of day counts whole days from that moment.
    const Epoch noon = Epoch::make(2000, 1, 1, 12, 0, 0, 0, false);
    EXPECT_EQ(qf::to_serial(noon, DateTime{2000, 1, 2, 12, 0, 0, 0}), 1.0);
    EXPECT_EQ(qf::to_serial(WINDOWS, OutOfRange{}), std::nullopt);
}

}  // namespace

namespace {

// The microsecond count is there exactly for date-times, and gives back the same date-time.
template <class Serial>
void expect_micros_agree(const qf::DateParts& parts, std::optional<std::int64_t> micros, Serial serial) {
    const auto* dt = std::get_if<DateTime>(&parts);
    ASSERT_EQ(micros.has_value(), dt != nullptr) << serial;
    if (dt) {
        EXPECT_EQ(qf::unix_micros_date_time(*micros), *dt) << serial;
    }
}

TEST(DatesRange, ChecksAndMicrosecondsAgreeWithConversion) {
    const Epoch late = Epoch::make(9999, 12, 30, 23, 0, 0, 0, false);
    const Epoch early = Epoch::make(1, 1, 2, 12, 0, 0, 0, false);
    for (const Epoch& e : {WINDOWS, MAC, late, early}) {
        for (std::int64_t base : {std::int64_t{0}, std::int64_t{60}, -e.day, qf::MAX_DAY - e.day, qf::MAX_DELTA_DAYS,
                                  -qf::MAX_DELTA_DAYS, std::numeric_limits<std::int64_t>::max() - 2,
                                  std::numeric_limits<std::int64_t>::min() + 2}) {
            for (std::int64_t d = -2; d <= 2; ++d) {
                const std::int64_t serial = base + d;
                const auto parts = qf::from_excel_int(e, serial);
                EXPECT_EQ(qf::excel_int_in_range(e, serial), !std::holds_alternative<OutOfRange>(parts)) << serial;
                expect_micros_agree(parts, qf::excel_int_unix_micros(e, serial), serial);
                for (double fraction : {0.0, 0.25, 0.5, 0.9999999, -0.5}) {
                    const double x = static_cast<double>(serial) + fraction;
                    const auto float_parts = qf::from_excel_float(e, x);
                    EXPECT_EQ(qf::excel_float_in_range(e, x), !std::holds_alternative<OutOfRange>(float_parts)) << x;
                    expect_micros_agree(float_parts, qf::excel_float_unix_micros(e, x), x);
                }
            }
        }
    }
    constexpr double INF = std::numeric_limits<double>::infinity();
    for (double odd : {std::nan(""), INF, -INF, -0.0, 1e300}) {
        EXPECT_EQ(qf::excel_float_in_range(WINDOWS, odd),
                  !std::holds_alternative<OutOfRange>(qf::from_excel_float(WINDOWS, odd)));
        expect_micros_agree(qf::from_excel_float(WINDOWS, odd), qf::excel_float_unix_micros(WINDOWS, odd), odd);
    }
}

}  // namespace

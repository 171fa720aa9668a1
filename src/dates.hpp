// Serial dates: the workbook epoch and the conversion of spreadsheet serial numbers into calendar
// fields, the native twin of the package's `from_excel` for date-times and times of day.
// Pure arithmetic, free of Python.h; dates_py.hpp reads epochs from and builds objects for Python.
#pragma once

#include <cstdint>
#include <optional>
#include <variant>

namespace qf {

// Highest day number the package's dates reach (9999-12-31; 0001-01-01 is day 0).
inline constexpr std::int64_t MAX_DAY = 3652058;
// Python's timedelta refuses more days than this in either direction.
inline constexpr std::int64_t MAX_DELTA_DAYS = 999999999;

struct Epoch {
    std::int64_t day = 0;       // days since 0001-01-01 (proleptic Gregorian)
    std::int64_t micros = 0;    // time of day of the epoch, in microseconds
    bool windows_1900 = false;  // the epoch is the 1900 system's: serials 1..59 get the leap-day shift

    // Fields as read from a Python datetime; never fails.
    static Epoch make(std::int64_t year, std::int64_t month, std::int64_t day, std::int64_t hour,
                      std::int64_t minute, std::int64_t second, std::int64_t microsecond,
                      bool windows_1900) noexcept;
};

struct DateTime {
    std::int32_t year;
    std::uint8_t month, day, hour, minute, second;
    std::uint32_t microsecond;
    bool operator==(const DateTime&) const = default;
};

struct Time {
    std::uint8_t hour, minute, second;
    std::uint32_t microsecond;
    bool operator==(const Time&) const = default;
};

// The serial cannot be converted: Python would raise OverflowError or ValueError.
struct OutOfRange {
    bool operator==(const OutOfRange&) const = default;
};

using DateParts = std::variant<DateTime, Time, OutOfRange>;

// An integer-valued serial (cell text that was a plain integer).
DateParts from_excel_int(const Epoch& epoch, std::int64_t serial) noexcept;
// Whether from_excel_int gives a date or time, without working out the calendar date (the check
// that loading makes for every date-styled integer).
bool excel_int_in_range(const Epoch& epoch, std::int64_t serial) noexcept;
// A float serial; times are resolved to the millisecond, ties to even.
DateParts from_excel_float(const Epoch& epoch, double serial) noexcept;
// Whether from_excel_float gives a date or time, without working out the calendar date.
bool excel_float_in_range(const Epoch& epoch, double serial) noexcept;
// The epoch plus `days` whole days, then plus `millis` milliseconds, each step range-checked as
// Python's datetime + timedelta is. Gives DateTime or OutOfRange.
DateParts finish(const Epoch& epoch, std::int64_t days, std::int64_t millis) noexcept;

// The date-time from_excel_int / from_excel_float give, as microseconds since 1970-01-01 (the
// count that datetime64[us] columns hold), without working out the calendar date; nothing when
// they give a time of day or OutOfRange.
std::optional<std::int64_t> excel_int_unix_micros(const Epoch& epoch, std::int64_t serial) noexcept;
std::optional<std::int64_t> excel_float_unix_micros(const Epoch& epoch, double serial) noexcept;
// The date-time of a count those functions gave (the inverse).
DateTime unix_micros_date_time(std::int64_t micros) noexcept;

// The serial number of a date-time or time of day: the inverse of the conversions above, as the
// package's `to_excel` computes it (whole days since the epoch rounded down, the 1900 leap-day
// shift undone for days 1 to 60, plus the time left over as a fraction of a day). Nothing for
// OutOfRange.
std::optional<double> to_serial(const Epoch& epoch, const DateParts& parts) noexcept;

}  // namespace qf

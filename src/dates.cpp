// Serial-date arithmetic (see dates.hpp). Every step mirrors what the package's `from_excel`
// does with Python floats, ints, timedeltas and datetimes, so the results agree bit for bit.
#include "dates.hpp"

#include <cmath>
#include <limits>

namespace qf {
namespace {

constexpr std::int64_t MICROS_PER_DAY = 86400000000;
constexpr std::int64_t MS_PER_DAY = 86400000;

constexpr std::int64_t floor_div(std::int64_t a, std::int64_t b) noexcept {
    std::int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

// Saturating double -> int64 (NaN gives 0); callers have bounded the value already.
std::int64_t saturate(double v) noexcept {
    if (std::isnan(v)) return 0;
    if (v >= 9223372036854775807.0) return std::numeric_limits<std::int64_t>::max();
    if (v <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(v);
}

// (seconds + microseconds / 10^6) / 86400 with the operations in Python's order.
double day_fraction(std::int64_t seconds, std::int64_t microseconds) noexcept {
    return (static_cast<double>(seconds) + static_cast<double>(microseconds) / 1000000.0) / 86400.0;
}

Time time_of_ms(std::int64_t ms) noexcept {
    return Time{static_cast<std::uint8_t>(ms / 3600000), static_cast<std::uint8_t>((ms / 60000) % 60),
                static_cast<std::uint8_t>((ms / 1000) % 60), static_cast<std::uint32_t>((ms % 1000) * 1000)};
}

// Days since 0001-01-01 of a civil date, counting from a March-based year so the leap day
// falls last. Unsigned arithmetic keeps nonsense input from being undefined behaviour.
std::int64_t days_from_civil(std::int64_t year, std::int64_t month, std::int64_t day) noexcept {
    using U = std::uint64_t;
    const std::int64_t y = month <= 2 ? year - 1 : year;
    const std::int64_t era = floor_div(y, 400);
    const std::int64_t yoe = y - era * 400;
    const std::int64_t mp = ((month + 9) % 12 + 12) % 12;
    const std::int64_t dm = (153 * mp + 2) / 5;
    return static_cast<std::int64_t>(U(era) * 146097 + U(yoe * 365 + yoe / 4 - yoe / 100 + dm) + U(day) - 307);
}

}  // namespace

Epoch Epoch::make(std::int64_t year, std::int64_t month, std::int64_t day, std::int64_t hour,
                  std::int64_t minute, std::int64_t second, std::int64_t microsecond,
                  bool windows_1900) noexcept {
    // Fields come from a datetime, so none of this can overflow; unsigned arithmetic keeps
    // nonsense input from being undefined behaviour all the same.
    using U = std::uint64_t;
    Epoch e;
    e.micros = static_cast<std::int64_t>(
        ((U(hour) * 60 + U(minute)) * 60 + U(second)) * 1000000 + U(microsecond));
    e.day = days_from_civil(year, month, day);
    e.windows_1900 = windows_1900;
    return e;
}

namespace {

// A day number since 0001-01-01 and the microsecond of that day.
struct DayTime {
    std::int64_t day;
    std::int64_t micros;
};

// The epoch plus `days` whole days, then plus `millis` milliseconds; nothing when a step leaves
// the range of Python's datetime.
std::optional<DayTime> add_to_epoch(const Epoch& epoch, std::int64_t days, std::int64_t millis) noexcept {
    std::int64_t t = 0;
    if (__builtin_add_overflow(epoch.day, days, &t)) return std::nullopt;
    // First the whole days (one timedelta addition in Python), then the milliseconds (another).
    const std::int64_t q = floor_div(epoch.micros, MICROS_PER_DAY);
    const std::int64_t r = epoch.micros - q * MICROS_PER_DAY;
    std::int64_t u = 0;
    if (__builtin_add_overflow(t, q, &u) || u < 0 || u > MAX_DAY) return std::nullopt;
    std::int64_t a = 0;
    if (__builtin_mul_overflow(millis, std::int64_t{1000}, &a) || __builtin_add_overflow(a, r, &a))
        return std::nullopt;
    const std::int64_t q2 = floor_div(a, MICROS_PER_DAY);
    const std::int64_t r2 = a - q2 * MICROS_PER_DAY;
    std::int64_t f = 0;
    if (__builtin_add_overflow(u, q2, &f) || f < 0 || f > MAX_DAY) return std::nullopt;
    return DayTime{f, r2};
}

DateTime civil(const DayTime& t) noexcept {
    // Civil date from day number, again with March-based years (in range, so all positive).
    const std::int64_t z = t.day + 306;
    const std::int64_t era = z / 146097;
    const std::int64_t doe = z % 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const std::int64_t dd = doy - (153 * mp + 2) / 5 + 1;
    const std::int64_t mm = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t yy = yoe + era * 400 + (mm <= 2 ? 1 : 0);
    return DateTime{static_cast<std::int32_t>(yy),
                    static_cast<std::uint8_t>(mm),
                    static_cast<std::uint8_t>(dd),
                    static_cast<std::uint8_t>(t.micros / 3600000000),
                    static_cast<std::uint8_t>((t.micros / 60000000) % 60),
                    static_cast<std::uint8_t>((t.micros / 1000000) % 60),
                    static_cast<std::uint32_t>(t.micros % 1000000)};
}

// What a serial stands for before the calendar is worked out: whole days and milliseconds from
// the epoch, a time of day, or nothing Python could make.
struct Offset {
    std::int64_t days;
    std::int64_t millis;
};
using Serial = std::variant<Offset, Time, OutOfRange>;

Serial int_offset(const Epoch& epoch, std::int64_t serial) noexcept {
    if (serial == 0) return Time{0, 0, 0, 0};
    std::int64_t days = serial;
    // Serials 1..59 lie before the 1900 leap day that the 1900 system counts but never was.
    if (serial > 0 && serial < 60 && epoch.windows_1900) ++days;
    if (days > MAX_DELTA_DAYS || days < -MAX_DELTA_DAYS) return OutOfRange{};
    return Offset{days, 0};
}

Serial float_offset(const Epoch& epoch, double x) noexcept {
    if (!std::isfinite(x)) return OutOfRange{};
    // divmod(x, 1.0) exactly as Python's float divmod computes it.
    double mod = std::fmod(x, 1.0);
    double div = x - mod;
    if (mod != 0.0) {
        if (mod < 0.0) {
            mod += 1.0;
            div -= 1.0;
        }
    } else {
        mod = 0.0;
    }
    double whole;
    if (div != 0.0) {
        whole = std::floor(div);
        if (div - whole > 0.5) whole += 1.0;
    } else {
        whole = std::copysign(0.0, x);
    }
    // round(fraction * 86400 * 1000): two double products in this order, then ties to even.
    const double ms_f = std::nearbyint(mod * 86400.0 * 1000.0);
    if (!std::isfinite(ms_f)) return OutOfRange{};
    const std::int64_t ms = saturate(ms_f);
    if (x >= 0.0 && x < 1.0 && ms < MS_PER_DAY) return time_of_ms(ms);
    double d = whole;
    if (x > 0.0 && x < 60.0 && epoch.windows_1900) d += 1.0;
    if (std::fabs(d) > static_cast<double>(MAX_DELTA_DAYS)) return OutOfRange{};
    return Offset{saturate(d), ms};
}

DateParts parts_of(const Epoch& epoch, const Serial& serial) noexcept {
    if (const auto* offset = std::get_if<Offset>(&serial)) {
        const auto t = add_to_epoch(epoch, offset->days, offset->millis);
        return t ? DateParts{civil(*t)} : DateParts{OutOfRange{}};
    }
    if (const auto* time = std::get_if<Time>(&serial)) return *time;
    return OutOfRange{};
}

// Whether a serial gives a date or time, without working out the calendar date.
bool in_range(const Epoch& epoch, const Serial& serial) noexcept {
    if (std::holds_alternative<Time>(serial)) return true;
    const auto* offset = std::get_if<Offset>(&serial);
    return offset && add_to_epoch(epoch, offset->days, offset->millis);
}

constexpr std::int64_t UNIX_DAY = 719162;  // 1970-01-01

// Microseconds since 1970-01-01 of the date-time a serial stands for.
std::optional<std::int64_t> unix_micros_of(const Epoch& epoch, const Serial& serial) noexcept {
    const auto* offset = std::get_if<Offset>(&serial);
    if (!offset) return std::nullopt;
    const auto t = add_to_epoch(epoch, offset->days, offset->millis);
    if (!t) return std::nullopt;
    return (t->day - UNIX_DAY) * MICROS_PER_DAY + t->micros;
}

}  // namespace

DateParts from_excel_int(const Epoch& epoch, std::int64_t serial) noexcept {
    return parts_of(epoch, int_offset(epoch, serial));
}

bool excel_int_in_range(const Epoch& epoch, std::int64_t serial) noexcept {
    return in_range(epoch, int_offset(epoch, serial));
}

DateParts from_excel_float(const Epoch& epoch, double x) noexcept {
    return parts_of(epoch, float_offset(epoch, x));
}

bool excel_float_in_range(const Epoch& epoch, double serial) noexcept {
    return in_range(epoch, float_offset(epoch, serial));
}

DateParts finish(const Epoch& epoch, std::int64_t days, std::int64_t millis) noexcept {
    return parts_of(epoch, Offset{days, millis});
}

std::optional<std::int64_t> excel_int_unix_micros(const Epoch& epoch, std::int64_t serial) noexcept {
    return unix_micros_of(epoch, int_offset(epoch, serial));
}

std::optional<std::int64_t> excel_float_unix_micros(const Epoch& epoch, double serial) noexcept {
    return unix_micros_of(epoch, float_offset(epoch, serial));
}

DateTime unix_micros_date_time(std::int64_t micros) noexcept {
    const std::int64_t days = floor_div(micros, MICROS_PER_DAY);
    return civil(DayTime{days + UNIX_DAY, micros - days * MICROS_PER_DAY});
}

std::optional<double> to_serial(const Epoch& epoch, const DateParts& parts) noexcept {
    if (const auto* t = std::get_if<Time>(&parts)) {
        return day_fraction((std::int64_t{t->hour} * 60 + t->minute) * 60 + t->second, t->microsecond);
    }
    const auto* dt = std::get_if<DateTime>(&parts);
    if (!dt) return std::nullopt;
    const Epoch when = Epoch::make(dt->year, dt->month, dt->day, dt->hour, dt->minute, dt->second,
                                   dt->microsecond, false);
    // Both dates lie in years 1 to 9999, so the microseconds between them fit 64 bits.
    const std::int64_t delta = (when.day - epoch.day) * MICROS_PER_DAY + when.micros - epoch.micros;
    std::int64_t days = floor_div(delta, MICROS_PER_DAY);
    const std::int64_t rest = delta - days * MICROS_PER_DAY;
    if (epoch.windows_1900 && days > 0 && days <= 60) --days;
    const double fraction = day_fraction(rest / 1000000, rest % 1000000);
    return static_cast<double>(days) + fraction;
}

}  // namespace qf

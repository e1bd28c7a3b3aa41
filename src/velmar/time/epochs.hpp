// What the translation units of velmar.time.time share: the calendar, the
// time scales, the text form, the exact Julian dates and the reading of
// Python inputs. Epochs are int64 nanoseconds of TAI since 2000-01-01T12:00:00
// TAI; a "reading" is what a clock on some scale shows: a civil day (as a
// modified Julian day number) and the nanoseconds since that day's midnight.
#pragma once
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "velmar/_native/messages.hpp"
#include "velmar/_native/numpy.hpp"
#include <numpy/arrayscalars.h>
#include "velmar/time/time.hpp"

namespace velmar::time {

inline constexpr std::int64_t ns_per_second = 1'000'000'000;
inline constexpr std::int64_t ns_per_day = 86'400 * ns_per_second;
inline constexpr std::int64_t mjd_of_1970 = 40'587;
inline constexpr std::int64_t mjd_of_2000 = 51'544;  // 2000-01-01; the epoch origin is noon of that day
inline constexpr std::int64_t mjd_of_1972 = 41'317;  // UTC has had whole leap seconds since then
inline constexpr std::int64_t tt_minus_tai = 32'184'000'000;
inline constexpr std::int64_t tai_minus_utc_before_1972 = 10 * ns_per_second;

// ---------------------------------------------------------------- integers

inline constexpr std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    const std::int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

// a - floor_div(a, b) * b for b > 0, without the product, which leaves int64
// for an `a` within b of the lowest value.
inline constexpr std::int64_t floor_mod(std::int64_t a, std::int64_t b) {
    const std::int64_t r = a % b;
    return r < 0 ? r + b : r;
}

// a + b, a * b and a - b, or false when the result leaves the int64 range.
#if defined(__GNUC__) || defined(__clang__)
inline bool add_checked(std::int64_t a, std::int64_t b, std::int64_t& out) {
    return !__builtin_add_overflow(a, b, &out);
}
inline bool mul_checked(std::int64_t a, std::int64_t b, std::int64_t& out) {
    return !__builtin_mul_overflow(a, b, &out);
}
inline bool sub_checked(std::int64_t a, std::int64_t b, std::int64_t& out) {
    return !__builtin_sub_overflow(a, b, &out);
}
#else
inline bool add_checked(std::int64_t a, std::int64_t b, std::int64_t& out) {
    constexpr std::int64_t hi = std::numeric_limits<std::int64_t>::max();
    constexpr std::int64_t lo = std::numeric_limits<std::int64_t>::min();
    if ((b > 0 && a > hi - b) || (b < 0 && a < lo - b)) return false;
    out = a + b;
    return true;
}
inline bool mul_checked(std::int64_t a, std::int64_t b, std::int64_t& out) {
    if (a == 0 || b == 0) {
        out = 0;
        return true;
    }
    constexpr std::int64_t hi = std::numeric_limits<std::int64_t>::max();
    constexpr std::int64_t lo = std::numeric_limits<std::int64_t>::min();
    if ((a == -1 && b == lo) || (b == -1 && a == lo)) return false;
    if (a > 0 ? (b > 0 ? a > hi / b : b < lo / a) : (b > 0 ? a < lo / b : a < hi / b)) return false;
    out = a * b;
    return true;
}
inline bool sub_checked(std::int64_t a, std::int64_t b, std::int64_t& out) {
    constexpr std::int64_t hi = std::numeric_limits<std::int64_t>::max();
    constexpr std::int64_t lo = std::numeric_limits<std::int64_t>::min();
    if ((b < 0 && a > hi + b) || (b > 0 && a < lo + b)) return false;
    out = a - b;
    return true;
}
#endif

// days * 86400e9 + ns (ns of any size and sign), or false when it leaves the
// int64 range. The product is taken on the day boundary between the result
// and zero, so it fits whenever the result does: near the lowest int64 a
// plain days * 86400e9 would not.
inline bool ns_from_days(std::int64_t days, std::int64_t ns, std::int64_t& out) {
    if (!add_checked(days, floor_div(ns, ns_per_day), days)) return false;
    std::int64_t rest = floor_mod(ns, ns_per_day);
    if (days < 0) {
        ++days;
        rest -= ns_per_day;
    }
    std::int64_t whole;
    return mul_checked(days, ns_per_day, whole) && add_checked(whole, rest, out);
}

// ---------------------------------------------------------------- calendar

// Days since 1970-01-01 of a proleptic Gregorian date, and back (H. Hinnant's
// algorithms, exact for every int64-sized day count we can reach).
inline constexpr std::int64_t days_from_civil(std::int64_t y, int m, int d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

struct Civil {
    std::int64_t year;
    int month;
    int day;
};

inline constexpr Civil civil_from_days(std::int64_t z) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    return {yoe + era * 400 + (m <= 2), m, d};
}

inline constexpr int days_in_month(std::int64_t year, int month) {
    constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

inline constexpr std::int64_t mjd_from_civil(std::int64_t y, int m, int d) {
    return days_from_civil(y, m, d) + mjd_of_1970;
}

// ---------------------------------------------------------------- scales

struct Reading {
    std::int64_t mjd;        // civil day on the scale
    std::int64_t ns_of_day;  // since that day's midnight; 86400e9 and up only inside a UTC leap second
};

// The leap-second table is read on the first UTC conversion. Every function
// below that takes a UTC scale needs it loaded: call this first (false with
// an exception set when the table cannot be read).
[[nodiscard]] bool ensure_leap_seconds();
inline bool ensure_leap_seconds(Scale scale) { return scale != Scale::utc || ensure_leap_seconds(); }

// TAI-UTC (ns) during UTC day `mjd`, as it is at that day's midnight.
std::int64_t tai_minus_utc(std::int64_t mjd);
// Length in ns of day `mjd` on the scale: 86400 s except for UTC days that
// end with a leap second.
std::int64_t day_length(std::int64_t mjd, Scale scale);
// The epoch of a reading; false when it lies outside the int64 range.
bool tai_from_reading(const Reading& r, Scale scale, std::int64_t& tai);
Reading reading_from_tai(std::int64_t tai, Scale scale);

// A UTC converter that remembers the last leap-second interval it used, for
// loops over many nearby epochs.
class UtcCursor {
public:
    bool tai_from_reading(const Reading& r, std::int64_t& tai);
    Reading reading(std::int64_t tai);

private:
    std::size_t by_day_ = 0, by_epoch_ = 0;
};

// Readings of many epochs on one scale (the leap-second table loaded for UTC).
class Reader {
public:
    explicit Reader(Scale scale) : scale_(scale) {}
    Reading operator()(std::int64_t tai) {
        return scale_ == Scale::utc ? cursor_.reading(tai) : reading_from_tai(tai, scale_);
    }

private:
    Scale scale_;
    UtcCursor cursor_;
};

// An exact modified Julian date, day + ns / 86400e9: the Julian date of the
// calendar reading, every day counted as 86400 s. Inside a UTC leap second ns
// runs past 86400e9 so that the parts still name the leap second, but the
// date itself holds at the end of the day (see julian_value).
struct DayFraction {
    std::int64_t day;
    std::int64_t ns;
};

// The Julian date the parts stand for: inside a leap second, the end of the
// day (00:00 of the next), so that UTC Julian dates never decrease while
// time runs on, and every day keeps 86400 s of date.
inline constexpr DayFraction julian_value(const DayFraction& parts) {
    return parts.ns < ns_per_day ? parts : DayFraction{parts.day + 1, 0};
}

inline DayFraction mjd_parts(std::int64_t tai, Scale scale) {
    const Reading r = reading_from_tai(tai, scale);
    return {r.mjd, r.ns_of_day};
}
// Parts from a float64 Julian date (`modified` for an MJD); false for a
// value that is not finite or too large for a day number.
bool parts_from_double(double value, bool modified, DayFraction& out);
// The epoch of an exact MJD read on `scale`; false when out of range.
inline bool tai_from_mjd_parts(const DayFraction& parts, Scale scale, std::int64_t& tai) {
    // Parts that name a leap second mean it only on a UTC day that has one
    // (the table is searched only for such parts, never in the usual case).
    const bool as_given = parts.ns < ns_per_day || parts.ns < day_length(parts.day, scale);
    const DayFraction p = as_given ? parts : julian_value(parts);
    return tai_from_reading({p.day, p.ns}, scale, tai);
}
inline double jd_value(const DayFraction& exact, bool modified) {
    const DayFraction parts = julian_value(exact);
    const double fraction = static_cast<double>(parts.ns) / static_cast<double>(ns_per_day);
    if (modified) return static_cast<double>(parts.day) + fraction;
    return static_cast<double>(parts.day + 2'400'000) + (0.5 + fraction);
}

// ---------------------------------------------------------------- text

inline constexpr int max_iso_length = 29;  // YYYY-MM-DDTHH:MM:SS.fffffffff

// Digits of the fraction of a second that show this reading exactly (0, 3, 6 or 9).
int fraction_digits(const Reading& r);
// Writes the ISO text (no terminator); returns its length.
int format_iso(const Reading& r, int digits, char* out);
// Parses ISO 8601 text on `scale`; false with ValueError set (quoting `text`).
bool parse_iso(PyObject* text, Scale scale, std::int64_t& tai);

// ---------------------------------------------------------------- objects

extern PyTypeObject* time_type;
extern PyTypeObject* julian_date_type;

// A new Time holding one epoch, or the epoch array `epochs` (reference taken).
PyObject* new_time(std::int64_t ns, Scale scale);
PyObject* new_time_array(PyObject* epochs, Scale scale);

// A new read-only int64 array of n epochs whose memory cannot be made
// writable again; `data` points at it so the caller can fill it now.
PyObject* new_epoch_storage(npy_intp n, std::int64_t*& data);
inline std::int64_t* epoch_data(PyObject* epochs) {
    return static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(epochs)));
}
inline npy_intp epoch_count(PyObject* epochs) { return PyArray_DIM(reinterpret_cast<PyArrayObject*>(epochs), 0); }

enum class Format { none, jd, mjd };

// Reads what Time() accepts. On success either `epochs` holds a new epoch
// array, or it is null and `ns` holds the single epoch.
struct Epochs {
    Ref epochs;
    std::int64_t ns = 0;
};
bool read_epochs(PyObject* value, Format format, Scale scale, Epochs& out);
// Nanoseconds from float seconds: whole seconds and the fraction separately,
// both exact, so only the fraction is rounded. False unless finite and in range.
inline bool ns_from_double_seconds(double s, std::int64_t& out) {
    if (!(s > -9.2e9 && s < 9.2e9)) return false;
    const double whole = std::floor(s);
    out = static_cast<std::int64_t>(whole) * ns_per_second + std::llround((s - whole) * 1e9);
    return true;
}
// Nanoseconds from a number of seconds (int or float); false with an exception set.
bool ns_from_seconds(PyObject* seconds, std::int64_t& out);
// Nanoseconds of a datetime.timedelta or numpy.timedelta64 scalar; 0 when `value`
// is neither, -1 with an exception set, 1 with `out` set.
int ns_from_timedelta(PyObject* value, std::int64_t& out);
// datetime.datetime of a reading (naive, truncated to the microsecond).
PyObject* datetime_from_reading(const Reading& r);
bool init_inputs();

// JulianDate: a float that also carries its exact DayFraction.
bool add_julian_date_type(PyObject* module);
PyObject* new_julian_date(const DayFraction& parts, bool modified);
// The exact parts of `value` when it is a JulianDate of that kind.
bool julian_date_parts(PyObject* value, bool modified, DayFraction& out);
// The epoch of day-of-year `day` of `year` on the UTC clock (1.0 is 1 January
// 00:00), `day` given as the decimal -+mantissa / 10**decimals: exactly the
// one Time(Time(str(year)).jd - 1.0 + day, format='jd') reads for the float
// `day` nearest that decimal. 1 with *tai set; 0 for a decimal of more than
// 15 digits, or when that expression would not stay exact (the caller then
// evaluates it); -1 with an exception set.
int epoch_of_year_day(std::int64_t year, int negative, std::uint64_t mantissa, int decimals, std::int64_t* tai);

}  // namespace velmar::time

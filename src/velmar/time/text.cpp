// ISO 8601 text: reading "2024", "2024-03", "2024-03-01", "2024-03-01T12:30",
// "2024-03-01T12:30:15.25Z" and the like, and writing the exact reading back.
#include <cstdio>

#include "velmar/time/epochs.hpp"

namespace velmar::time {

namespace {

bool cannot_read(PyObject* text, const char* reason) {
    PyErr_Format(PyExc_ValueError, msg::time_cannot_read, text, reason);
    return false;
}

struct Cursor {
    const char* p;
    const char* end;

    bool at_end() const { return p == end; }
    bool take(char c) {
        if (p == end || *p != c) return false;
        ++p;
        return true;
    }
    // Exactly `n` decimal digits.
    bool digits(int n, int& value) {
        if (end - p < n) return false;
        value = 0;
        for (int i = 0; i < n; ++i, ++p) {
            if (*p < '0' || *p > '9') return false;
            value = value * 10 + (*p - '0');
        }
        return true;
    }
};

void put_digits(char*& out, std::int64_t value, int n) {
    for (int i = n - 1; i >= 0; --i) {
        out[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    out += n;
}

}  // namespace

bool parse_iso(PyObject* text, Scale scale, std::int64_t& tai) {
    if (!PyUnicode_IS_ASCII(text)) return cannot_read(text, msg::time_not_iso);
    const char* begin = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text));
    Cursor c{begin, begin + PyUnicode_GET_LENGTH(text)};
    const auto blank = [](char ch) { return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r'; };
    while (!c.at_end() && blank(*c.p)) ++c.p;
    while (c.end > c.p && blank(c.end[-1])) --c.end;

    int year, month = 1, day = 1, hour = 0, minute = 0, second = 0;
    std::int64_t fraction = 0;
    if (!c.digits(4, year)) return cannot_read(text, msg::time_not_iso);
    if (c.take('-')) {
        if (!c.digits(2, month)) return cannot_read(text, msg::time_not_iso);
        if (c.take('-')) {
            if (!c.digits(2, day)) return cannot_read(text, msg::time_not_iso);
            if (c.take('T') || c.take('t') || c.take(' ')) {
                if (!c.digits(2, hour) || !c.take(':') || !c.digits(2, minute))
                    return cannot_read(text, msg::time_not_iso);
                if (c.take(':')) {
                    if (!c.digits(2, second)) return cannot_read(text, msg::time_not_iso);
                    if (c.take('.') || c.take(',')) {
                        int n = 0;
                        bool round_up = false;
                        for (; !c.at_end() && *c.p >= '0' && *c.p <= '9'; ++c.p, ++n) {
                            if (n < 9)
                                fraction = fraction * 10 + (*c.p - '0');
                            else if (n == 9)
                                round_up = *c.p >= '5';
                        }
                        if (n == 0) return cannot_read(text, msg::time_not_iso);
                        for (; n < 9; ++n) fraction *= 10;
                        fraction += round_up;
                    }
                }
                if (!c.take('Z')) c.take('z');
            }
        }
    }
    if (!c.at_end()) return cannot_read(text, msg::time_not_iso);

    if (month < 1 || month > 12) return cannot_read(text, msg::time_month_range);
    if (day < 1 || day > days_in_month(year, month)) return cannot_read(text, msg::time_day_range);
    if (hour > 23) return cannot_read(text, msg::time_hour_range);
    if (minute > 59) return cannot_read(text, msg::time_minute_range);
    const std::int64_t mjd = mjd_from_civil(year, month, day);
    if (!ensure_leap_seconds(scale)) return false;
    // Only the last minute of a UTC day that ends with a (positive) leap second has a 60th second.
    if (second > 60) return cannot_read(text, msg::time_second_range);
    if (second == 60) {
        if (scale != Scale::utc) {
            PyErr_Format(PyExc_ValueError, msg::time_scale_no_leap_seconds, text, scale == Scale::tai ? "TAI" : "TT");
            return false;
        }
        if (hour != 23 || minute != 59) return cannot_read(text, msg::time_leap_second_place);
        if (day_length(mjd, scale) <= ns_per_day) {
            char date[40];
            std::snprintf(date, sizeof date, "%04d-%02d-%02d", year, month, day);
            PyErr_Format(PyExc_ValueError, msg::time_day_no_leap_second, text, date);
            return false;
        }
    }
    const std::int64_t ns_of_day = ((hour * 60 + minute) * 60 + second) * ns_per_second + fraction;
    if (!tai_from_reading({mjd, ns_of_day}, scale, tai)) return cannot_read(text, msg::time_outside_range);
    return true;
}

int fraction_digits(const Reading& r) {
    const std::int64_t ns = r.ns_of_day % ns_per_second;
    if (ns == 0) return 0;
    if (ns % 1'000'000 == 0) return 3;
    if (ns % 1'000 == 0) return 6;
    return 9;
}

int format_iso(const Reading& r, int digits, char* out) {
    const char* start = out;
    const Civil civil = civil_from_days(r.mjd - mjd_of_1970);
    std::int64_t seconds = r.ns_of_day / ns_per_second;
    const std::int64_t ns = r.ns_of_day % ns_per_second;
    std::int64_t hour = 23, minute = 59;
    if (seconds < 86'400) {
        hour = seconds / 3600;
        minute = seconds / 60 % 60;
        seconds %= 60;
    } else {
        seconds -= 86'400 - 60;  // inside a leap second: 23:59:60
    }
    put_digits(out, civil.year, 4);
    *out++ = '-';
    put_digits(out, civil.month, 2);
    *out++ = '-';
    put_digits(out, civil.day, 2);
    *out++ = 'T';
    put_digits(out, hour, 2);
    *out++ = ':';
    put_digits(out, minute, 2);
    *out++ = ':';
    put_digits(out, seconds, 2);
    if (digits > 0) {
        *out++ = '.';
        std::int64_t shown = ns;
        for (int i = digits; i < 9; ++i) shown /= 10;
        put_digits(out, shown, digits);
    }
    return static_cast<int>(out - start);
}

}  // namespace velmar::time

// Time scales: TAI as stored, TT a fixed 32.184 s ahead of it, and UTC behind
// it by TAI-UTC, which steps at the leap seconds of IERS Bulletin C.
#include <algorithm>
#include <cmath>
#include <vector>

#include "velmar/_native/buffer.hpp"
#include "velmar/time/epochs.hpp"

namespace velmar::time {

namespace {

// One interval of constant TAI-UTC, from UTC day `mjd` on; `tai_start` is the
// epoch of that day's midnight.
struct Step {
    std::int64_t mjd;
    std::int64_t tai_minus_utc;
    std::int64_t tai_start;
};

// The first entry stands for everything before 1972 (TAI-UTC taken as 10 s);
// the rest are the table's steps. Read once, on the first UTC conversion.
std::vector<Step> steps;
bool leap_seconds_loaded = false;

constexpr std::int64_t lowest = std::numeric_limits<std::int64_t>::min();

// Midnight of `mjd` on a uniform scale, in ns since the epoch origin (noon of 2000-01-01).
constexpr std::int64_t midnight(std::int64_t mjd) { return (mjd - mjd_of_2000) * ns_per_day - ns_per_day / 2; }

// The epoch of a reading on a scale `offset` behind TAI; false when it lies
// outside the int64 range (any day number is accepted).
bool tai_with_offset(const Reading& r, std::int64_t offset, std::int64_t& tai) {
    std::int64_t within, days;
    return add_checked(r.ns_of_day, offset - ns_per_day / 2, within) && add_checked(r.mjd, -mjd_of_2000, days) &&
           ns_from_days(days, within, tai);
}

bool leap_table_error(const char* what) {
    PyErr_Format(PyExc_ValueError, msg::leap_table_gave, what);
    return false;
}

bool load_leap_seconds() {
    Ref module = Ref::steal(PyImport_ImportModule("velmar.iers.bulletins"));
    if (!module) return false;
    Ref table = Ref::steal(PyObject_CallMethod(module.get(), "leap_second_table", nullptr));
    if (!table) return false;
    if (!PyTuple_Check(table.get()) || PyTuple_GET_SIZE(table.get()) != 2)
        return leap_table_error(msg::leap_table_not_pair);
    View1D<double> mjd, dat;
    if (!mjd.acquire(PyTuple_GET_ITEM(table.get(), 0)) || !dat.acquire(PyTuple_GET_ITEM(table.get(), 1))) return false;
    if (mjd.size() != dat.size()) return leap_table_error(msg::leap_table_lengths);

    std::vector<Step> loaded{{lowest, tai_minus_utc_before_1972, lowest}};
    for (Py_ssize_t i = 0; i < mjd.size(); ++i) {
        const double day = mjd[i], seconds = dat[i];
        if (!(std::floor(day) == day && std::fabs(day - mjd_of_2000) < 1e5 && std::fabs(seconds) < 1e4))
            return leap_table_error(msg::leap_table_step);
        const auto step_day = static_cast<std::int64_t>(day);
        // The table's few entries before 1972 would be the drifting UTC of the
        // 1960s, which we do not model.
        if (step_day < mjd_of_1972) continue;
        if (step_day <= loaded.back().mjd) return leap_table_error(msg::leap_table_order);
        const std::int64_t offset = std::llround(seconds * 1e9);
        loaded.push_back({step_day, offset, midnight(step_day) + offset});
    }
    // The import above runs Python code, so another thread may have loaded the
    // table meanwhile and be reading it without the interpreter lock: keep the
    // table it reads.
    if (!leap_seconds_loaded) steps = std::move(loaded);
    return true;
}

std::size_t step_of_day(std::int64_t mjd) {
    auto it =
        std::upper_bound(steps.begin() + 1, steps.end(), mjd, [](std::int64_t d, const Step& s) { return d < s.mjd; });
    return static_cast<std::size_t>(it - steps.begin()) - 1;
}

std::size_t step_of_epoch(std::int64_t tai) {
    auto it = std::upper_bound(steps.begin() + 1, steps.end(), tai,
                               [](std::int64_t t, const Step& s) { return t < s.tai_start; });
    return static_cast<std::size_t>(it - steps.begin()) - 1;
}

// The reading of `tai + offset` on a uniform scale, without leaving int64
// (|offset| is well under a day).
Reading uniform_reading(std::int64_t tai, std::int64_t offset) {
    const std::int64_t days = floor_div(tai, ns_per_day);
    Reading r{mjd_of_2000 + days, floor_mod(tai, ns_per_day) + ns_per_day / 2 + offset};
    while (r.ns_of_day >= ns_per_day) {
        r.ns_of_day -= ns_per_day;
        ++r.mjd;
    }
    while (r.ns_of_day < 0) {
        r.ns_of_day += ns_per_day;
        --r.mjd;
    }
    return r;
}

// UTC reading within step i. The last ns of a positive step are the leap
// second, read as 23:59:60 of the day before the step.
Reading utc_reading(std::int64_t tai, std::size_t i) {
    if (i + 1 < steps.size()) {
        const Step& next = steps[i + 1];
        const std::int64_t inserted = next.tai_minus_utc - steps[i].tai_minus_utc;
        if (inserted > 0 && tai >= next.tai_start - inserted)
            return {next.mjd - 1, ns_per_day + (tai - (next.tai_start - inserted))};
    }
    return uniform_reading(tai, -steps[i].tai_minus_utc);
}

}  // namespace

bool ensure_leap_seconds() {
    if (leap_seconds_loaded) return true;
    if (!load_leap_seconds()) return false;
    leap_seconds_loaded = true;
    return true;
}

std::int64_t tai_minus_utc(std::int64_t mjd) { return steps[step_of_day(mjd)].tai_minus_utc; }

std::int64_t day_length(std::int64_t mjd, Scale scale) {
    if (scale != Scale::utc) return ns_per_day;
    // The step after day `mjd` (if any) starts on the next day when the day ends with one.
    const std::size_t i = step_of_day(mjd);
    if (i + 1 == steps.size() || steps[i + 1].mjd - 1 != mjd) return ns_per_day;
    return ns_per_day + steps[i + 1].tai_minus_utc - steps[i].tai_minus_utc;
}

bool tai_from_reading(const Reading& r, Scale scale, std::int64_t& tai) {
    std::int64_t offset = 0;
    if (scale == Scale::tt)
        offset = -tt_minus_tai;
    else if (scale == Scale::utc)
        offset = tai_minus_utc(r.mjd);
    return tai_with_offset(r, offset, tai);
}

Reading reading_from_tai(std::int64_t tai, Scale scale) {
    switch (scale) {
        case Scale::tai: return uniform_reading(tai, 0);
        case Scale::tt: return uniform_reading(tai, tt_minus_tai);
        case Scale::utc: break;
    }
    return utc_reading(tai, step_of_epoch(tai));
}

bool UtcCursor::tai_from_reading(const Reading& r, std::int64_t& tai) {
    const std::size_t i = by_day_;
    if (!(steps[i].mjd <= r.mjd && (i + 1 == steps.size() || r.mjd < steps[i + 1].mjd))) by_day_ = step_of_day(r.mjd);
    return tai_with_offset(r, steps[by_day_].tai_minus_utc, tai);
}

Reading UtcCursor::reading(std::int64_t tai) {
    const std::size_t i = by_epoch_;
    if (!(steps[i].tai_start <= tai && (i + 1 == steps.size() || tai < steps[i + 1].tai_start)))
        by_epoch_ = step_of_epoch(tai);
    return utc_reading(tai, by_epoch_);
}

// ---------------------------------------------------------------- Julian dates

bool parts_from_double(double value, bool modified, DayFraction& out) {
    if (!std::isfinite(value) || std::fabs(value) > 1e15) return false;
    const double whole = std::floor(value);
    // Both parts are exact: the fraction of a double is itself a double.
    out.ns = std::llround((value - whole) * static_cast<double>(ns_per_day));
    out.day = static_cast<std::int64_t>(whole);
    if (!modified) {
        // JD = MJD + 2400000.5: the half day moves into the fraction.
        out.day -= 2'400'001;
        out.ns += ns_per_day / 2;
    }
    if (out.ns >= ns_per_day) {
        out.ns -= ns_per_day;
        ++out.day;
    }
    return true;
}

}  // namespace velmar::time

// JulianDate: the `jd` and `mjd` of a single epoch. A float64 Julian date near
// 2.46e6 resolves only about 40 microseconds, yet two-line element sets build
// their epochs as Time(Time(year).jd - 1.0 + day_of_year, format='jd'). So the
// float also carries the exact day and fraction, keeps them exact through
// `+ number` and `- number`, and Time(value, format='jd') reads them back. To
// everything else it is an ordinary float.
#include <charconv>
#include <cmath>
#include <cstdlib>

#include "velmar/_native/types.hpp"
#include "velmar/time/epochs.hpp"

namespace velmar::time {

PyTypeObject* julian_date_type = nullptr;

namespace {

struct JulianDateObject {
    PyFloatObject base;
    DayFraction parts;
    bool exact;     // false when made from Python (or by unpickling): only the float is known
    bool modified;  // an MJD rather than a JD
};

JulianDateObject* as_julian_date(PyObject* o) { return reinterpret_cast<JulianDateObject*>(o); }

constexpr double largest_exact_day = 4'503'599'627'370'496.0;  // 2**52: beyond it doubles have no fraction

constexpr std::uint64_t powers_of_ten[] = {1ull,
                                           10ull,
                                           100ull,
                                           1'000ull,
                                           10'000ull,
                                           100'000ull,
                                           1'000'000ull,
                                           10'000'000ull,
                                           100'000'000ull,
                                           1'000'000'000ull,
                                           10'000'000'000ull,
                                           100'000'000'000ull,
                                           1'000'000'000'000ull,
                                           10'000'000'000'000ull,
                                           100'000'000'000'000ull,
                                           1'000'000'000'000'000ull,
                                           10'000'000'000'000'000ull,
                                           100'000'000'000'000'000ull,
                                           1'000'000'000'000'000'000ull};

void normalise(DayFraction& p) {
    while (p.ns < 0) {
        p.ns += ns_per_day;
        --p.day;
    }
    while (p.ns >= ns_per_day) {
        p.ns -= ns_per_day;
        ++p.day;
    }
}

constexpr std::int64_t largest_day = static_cast<std::int64_t>(largest_exact_day);

// Compared, never negated or passed to llabs: `days` may be the lowest int64.
bool add_days(DayFraction& p, std::int64_t days) {
    if (days < -largest_day || days > largest_day) return false;
    p.day += days;
    return p.day >= -largest_day && p.day <= largest_day;
}

// p + (days + numerator / 10**decimals) days, negated when `negative`, the
// fraction kept to 14 decimals, then to the nanosecond.
bool add_fraction(DayFraction& p, bool negative, std::int64_t days, std::uint64_t numerator, int decimals) {
    if (decimals > 14) {
        const int drop = decimals - 14;
        numerator = drop > 18 ? 0 : (numerator + powers_of_ten[drop] / 2) / powers_of_ten[drop];
        decimals = 14;
    }
    constexpr std::uint64_t seconds_per_day = 86'400;
    std::uint64_t units;  // numerator / 10**decimals of a day, in ns
    if (decimals <= 9) {
        units = numerator * seconds_per_day * powers_of_ten[9 - decimals];
    } else {
        const std::uint64_t den = powers_of_ten[decimals - 9];
        units = (numerator * seconds_per_day + den / 2) / den;
    }
    const auto signed_units = static_cast<std::int64_t>(units);
    if (negative) {
        days = -days;
        p.ns -= signed_units;
    } else {
        p.ns += signed_units;
    }
    if (!add_days(p, days)) return false;
    normalise(p);
    return true;
}

// Adds the decimal that prints as `x` (its shortest round-trip text), so
// that a day of year such as 264.51782528 adds exactly 0.51782528 day. The
// fraction of a day is kept to 14 decimals (under a nanosecond).
bool add_double(DayFraction& p, double x) {
    if (!std::isfinite(x) || std::fabs(x) >= largest_exact_day) return false;
    const double whole = std::trunc(x);
    if (whole == x) return add_days(p, static_cast<std::int64_t>(whole));

    char text[40];
    const auto result = std::to_chars(text, text + sizeof text - 1, std::fabs(x), std::chars_format::scientific);
    if (result.ec != std::errc()) return false;
    *result.ptr = '\0';
    // d[.ddd]e(+|-)XX: the significant digits and the power of ten of the first.
    std::uint64_t digits = 0;
    int count = 0;
    const char* p_text = text;
    for (; p_text < result.ptr && *p_text != 'e'; ++p_text) {
        if (*p_text == '.') continue;
        digits = digits * 10 + static_cast<std::uint64_t>(*p_text - '0');
        ++count;
    }
    const int exponent = std::atoi(p_text + 1);
    // Split into integer days and numerator / 10**decimals of a day.
    const int integer_digits = exponent + 1;  // may be <= 0
    std::int64_t days = 0;
    std::uint64_t numerator = digits;
    int decimals = count - integer_digits;
    if (integer_digits > 0) {
        if (decimals < 1 || decimals > 18) return false;
        const std::uint64_t scale = powers_of_ten[decimals];
        days = static_cast<std::int64_t>(digits / scale);
        numerator = digits % scale;
    }
    return add_fraction(p, x < 0, days, numerator, decimals);
}

// Adds the decimal -+mantissa / 10**decimals of at most 15 digits, which is
// what add_double adds for the float nearest it: that float prints as this
// decimal (without its trailing zeros), since 15 significant digits always
// survive the trip through a float64. False for a longer decimal.
bool add_decimal(DayFraction& p, bool negative, std::uint64_t mantissa, int decimals) {
    if (mantissa >= powers_of_ten[15] || decimals < 0 || decimals > 15) return false;
    const std::uint64_t scale = powers_of_ten[decimals];
    const auto days = static_cast<std::int64_t>(mantissa / scale);
    if (mantissa % scale == 0) return add_days(p, negative ? -days : days);
    while (mantissa % 10 == 0) {
        mantissa /= 10;
        --decimals;
    }
    return add_fraction(p, negative, days, mantissa % powers_of_ten[decimals], decimals);
}

// p + number (or p - number); false when the number is not an int or float
// or the result cannot stay exact, and then the caller falls back to float
// arithmetic. -1 when an error is set.
int add_number(DayFraction& p, PyObject* number, bool subtract) {
    if (PyFloat_Check(number)) {
        const double x = PyFloat_AS_DOUBLE(number);
        return add_double(p, subtract ? -x : x) ? 1 : 0;
    }
    if (!PyLong_Check(number) && !PyIndex_Check(number)) return 0;
    Ref integer = Ref::steal(PyNumber_Index(number));
    if (!integer) return -1;
    int overflow = 0;
    const long long days = PyLong_AsLongLongAndOverflow(integer.get(), &overflow);
    if (days == -1 && PyErr_Occurred()) return -1;
    // Out of the exact range (the lowest int64 among them, which has no
    // negative): left to float arithmetic, as any float would be.
    if (overflow || days < -largest_day || days > largest_day) return 0;
    return add_days(p, subtract ? -days : days) ? 1 : 0;
}

bool exact(PyObject* o) { return Py_IS_TYPE(o, julian_date_type) && as_julian_date(o)->exact; }

PyObject* julian_date_add(PyObject* a, PyObject* b) {
    PyObject* date = Py_IS_TYPE(a, julian_date_type) ? a : b;
    PyObject* other = date == a ? b : a;
    if (exact(date) && !Py_IS_TYPE(other, julian_date_type)) {
        DayFraction p = julian_value(as_julian_date(date)->parts);
        const int added = add_number(p, other, false);
        if (added < 0) return nullptr;
        if (added) return new_julian_date(p, as_julian_date(date)->modified);
    }
    return PyFloat_Type.tp_as_number->nb_add(a, b);
}

PyObject* julian_date_subtract(PyObject* a, PyObject* b) {
    if (exact(a)) {
        const JulianDateObject* left = as_julian_date(a);
        if (!Py_IS_TYPE(b, julian_date_type)) {
            DayFraction p = julian_value(left->parts);
            const int added = add_number(p, b, true);
            if (added < 0) return nullptr;
            if (added) return new_julian_date(p, left->modified);
        } else if (exact(b)) {
            // Two dates of one kind: the difference in days, from the exact parts.
            const JulianDateObject* right = as_julian_date(b);
            if (left->modified == right->modified) {
                const DayFraction x = julian_value(left->parts), y = julian_value(right->parts);
                return PyFloat_FromDouble(static_cast<double>(x.day - y.day) +
                                          static_cast<double>(x.ns - y.ns) / static_cast<double>(ns_per_day));
            }
        }
    }
    return PyFloat_Type.tp_as_number->nb_subtract(a, b);
}

void julian_date_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

constexpr const char julian_date_doc[] =
    "A Julian date (or modified Julian date) of one epoch: a float that also\n"
    "keeps the exact day and fraction of day.\n\n"
    "Adding or subtracting an int or float keeps the value exact (the float is\n"
    "taken as the decimal it prints as, to a nanosecond), and Time(value,\n"
    "format='jd') reads the exact value back. Inside a UTC leap second the value\n"
    "is the end of the day; only Time() still reads the leap second from it.\n"
    "Every other operation sees an ordinary float.";

PyType_Slot julian_date_slots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(julian_date_dealloc)},
                                   {Py_nb_add, reinterpret_cast<void*>(julian_date_add)},
                                   {Py_nb_subtract, reinterpret_cast<void*>(julian_date_subtract)},
                                   {Py_tp_doc, const_cast<char*>(julian_date_doc)},
                                   {0, nullptr}};

PyType_Spec julian_date_spec = {"velmar.time.time.JulianDate", sizeof(JulianDateObject), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, julian_date_slots};

}  // namespace

PyObject* new_julian_date(const DayFraction& parts, bool modified) {
    // Freed by PyObject_Free, as every float is.
    auto* self = static_cast<PyObject*>(PyObject_Malloc(sizeof(JulianDateObject)));
    if (!self) return PyErr_NoMemory();
    PyObject_Init(self, julian_date_type);
    JulianDateObject* d = as_julian_date(self);
    d->base.ob_fval = jd_value(parts, modified);
    d->parts = parts;
    d->exact = true;
    d->modified = modified;
    return self;
}

bool julian_date_parts(PyObject* value, bool modified, DayFraction& out) {
    if (!exact(value) || as_julian_date(value)->modified != modified) return false;
    out = as_julian_date(value)->parts;
    return true;
}

int epoch_of_year_day(const std::int64_t year, const int negative, const std::uint64_t mantissa, const int decimals,
                      std::int64_t* tai) {
    if (year < 1000 || year > 9999) return 0;  // four digits, as Time(str(year)) reads them
    if (!ensure_leap_seconds()) return -1;
    // What Time(year).jd - 1.0 + day holds: the exact parts of the first
    // midnight of the year, a day back, plus the day as the decimal it prints as.
    DayFraction parts{mjd_from_civil(year, 1, 1) - 1, 0};
    if (!add_decimal(parts, negative != 0, mantissa, decimals)) return 0;
    return tai_from_mjd_parts(parts, Scale::utc, *tai) ? 1 : 0;
}

bool add_julian_date_type(PyObject* module) {
    julian_date_type = velmar::add_type(module, &julian_date_spec, &PyFloat_Type);
    return julian_date_type != nullptr;
}

}  // namespace velmar::time

// What Time() reads: ISO text, datetime and date objects, numpy datetime64
// scalars and arrays, other Times, sequences of these, raw int64 arrays, and
// Julian dates. Arrays are converted in one native loop each.
#include <cmath>
#include <cstring>

#include "velmar/_native/threads.hpp"
#include "velmar/time/epochs.hpp"

#include <datetime.h>

namespace velmar::time {

namespace {

bool wrong_type(PyObject* value) {
    PyErr_Format(PyExc_TypeError, msg::time_wrong_type, Py_TYPE(value)->tp_name, msg::time_accepted);
    return false;
}

bool outside(PyObject* value) {
    PyErr_Format(PyExc_ValueError, msg::time_cannot_read, value, msg::time_outside_range);
    return false;
}

// --- datetime and date -------------------------------------------------------

bool read_date(PyObject* value, Scale scale, std::int64_t& tai) {
    Reading r{mjd_from_civil(PyDateTime_GET_YEAR(value), PyDateTime_GET_MONTH(value), PyDateTime_GET_DAY(value)), 0};
    if (PyDateTime_Check(value)) {
        r.ns_of_day = ((PyDateTime_DATE_GET_HOUR(value) * 60LL + PyDateTime_DATE_GET_MINUTE(value)) * 60 +
                       PyDateTime_DATE_GET_SECOND(value)) *
                          ns_per_second +
                      PyDateTime_DATE_GET_MICROSECOND(value) * 1000LL;
        Ref offset = PyDateTime_DATE_GET_TZINFO(value) == Py_None
                         ? Ref::borrow(Py_None)
                         : Ref::steal(PyObject_CallMethod(value, "utcoffset", nullptr));
        if (!offset) return false;
        if (offset.get() != Py_None) {
            // An aware datetime names a UTC instant; on another scale it would be ambiguous.
            if (scale != Scale::utc) {
                PyErr_Format(PyExc_ValueError, msg::time_aware_datetime, value, scale == Scale::tai ? "tai" : "tt");
                return false;
            }
            if (!PyDelta_Check(offset.get())) return wrong_type(offset.get());
            r.ns_of_day -=
                (PyDateTime_DELTA_GET_DAYS(offset.get()) * 86'400LL + PyDateTime_DELTA_GET_SECONDS(offset.get())) *
                    ns_per_second +
                PyDateTime_DELTA_GET_MICROSECONDS(offset.get()) * 1000LL;
            const std::int64_t days = floor_div(r.ns_of_day, ns_per_day);
            r.mjd += days;
            r.ns_of_day -= days * ns_per_day;
        }
    }
    if (!ensure_leap_seconds(scale)) return false;
    return tai_from_reading(r, scale, tai) || outside(value);
}

// --- numpy datetime64 ---------------------------------------------------------

enum class Outcome { ok, not_a_time, outside, no_unit };

// The reading of a datetime64 value counted in `meta` units from 1970-01-01.
Outcome reading_from_datetime64(std::int64_t value, const PyArray_DatetimeMetaData& meta, Reading& r) {
    if (value == NPY_DATETIME_NAT) return Outcome::not_a_time;
    std::int64_t count;
    if (!mul_checked(value, meta.num, count)) return Outcome::outside;
    std::int64_t days = 0;
    r.ns_of_day = 0;
    switch (meta.base) {
        case NPY_FR_Y:
            if (count > 1'000'000 || count < -1'000'000) return Outcome::outside;
            days = days_from_civil(1970 + count, 1, 1);
            break;
        case NPY_FR_M: {
            if (count > 12'000'000 || count < -12'000'000) return Outcome::outside;
            const std::int64_t years = floor_div(count, 12);
            days = days_from_civil(1970 + years, static_cast<int>(count - years * 12) + 1, 1);
            break;
        }
        case NPY_FR_W:
            if (!mul_checked(count, 7, days)) return Outcome::outside;
            break;
        case NPY_FR_D: days = count; break;
        case NPY_FR_h:
        case NPY_FR_m:
        case NPY_FR_s:
        case NPY_FR_ms:
        case NPY_FR_us:
        case NPY_FR_ns: {
            constexpr std::int64_t ns_per_unit[] = {3'600'000'000'000, 60'000'000'000, 1'000'000'000,
                                                    1'000'000,         1'000,          1};
            const std::int64_t unit = ns_per_unit[meta.base - NPY_FR_h];
            const std::int64_t per_day = ns_per_day / unit;
            days = floor_div(count, per_day);
            r.ns_of_day = floor_mod(count, per_day) * unit;
            break;
        }
        case NPY_FR_ps:
        case NPY_FR_fs:
        case NPY_FR_as: {
            constexpr std::int64_t per_ns[] = {1'000, 1'000'000, 1'000'000'000};
            const std::int64_t ns = floor_div(count, per_ns[meta.base - NPY_FR_ps]);
            days = floor_div(ns, ns_per_day);
            r.ns_of_day = floor_mod(ns, ns_per_day);
            break;
        }
        default: return Outcome::no_unit;
    }
    return add_checked(days, mjd_of_1970, r.mjd) ? Outcome::ok : Outcome::outside;
}

bool datetime64_error(Outcome outcome, PyObject* value) {
    if (outcome == Outcome::not_a_time) {
        PyErr_Format(PyExc_ValueError, msg::time_nat, value);
    } else if (outcome == Outcome::no_unit) {
        PyErr_Format(PyExc_ValueError, msg::time_datetime64_no_unit, value);
    } else {
        return outside(value);
    }
    return false;
}

bool read_datetime64(PyObject* value, Scale scale, std::int64_t& tai) {
    const auto* scalar = reinterpret_cast<PyDatetimeScalarObject*>(value);
    Reading r;
    const Outcome outcome = reading_from_datetime64(scalar->obval, scalar->obmeta, r);
    if (outcome != Outcome::ok) return datetime64_error(outcome, value);
    if (!ensure_leap_seconds(scale)) return false;
    return tai_from_reading(r, scale, tai) || outside(value);
}

// The values of the caller's array, copied (with the lock held) into the
// storage the epochs will fill: the conversion then runs there without the
// lock, since another thread could resize the caller's array meanwhile.
template <typename T> void copy_values(const char* in, npy_intp stride, npy_intp n, std::int64_t* data) {
    static_assert(sizeof(T) == sizeof(std::int64_t));
    for (npy_intp i = 0; i < n; ++i) std::memcpy(&data[i], in + i * stride, sizeof(T));
}

// The array itself when numpy's own layout can be walked directly, else an
// aligned copy in native byte order (held by `holder`).
PyArrayObject* native_aligned(PyArrayObject* array, Ref& holder) {
    if (PyArray_ISNBO(PyArray_DESCR(array)->byteorder) && PyArray_ISALIGNED(array)) return array;
    PyArray_Descr* native = PyArray_DescrNewByteorder(PyArray_DESCR(array), NPY_NATIVE);
    if (!native) return nullptr;
    holder = Ref::steal(PyArray_FromArray(array, native, NPY_ARRAY_ALIGNED | NPY_ARRAY_FORCECAST));
    return reinterpret_cast<PyArrayObject*>(holder.get());
}

bool read_datetime64_array(PyArrayObject* given, Scale scale, Epochs& out) {
    Ref holder;
    PyArrayObject* array = native_aligned(given, holder);
    if (!array) return false;
    const PyArray_DatetimeMetaData meta =
        reinterpret_cast<PyArray_DatetimeDTypeMetaData*>(PyDataType_C_METADATA(PyArray_DESCR(array)))->meta;
    if (!ensure_leap_seconds(scale)) return false;
    const npy_intp n = PyArray_DIM(array, 0), stride = PyArray_STRIDE(array, 0);
    const char* in = static_cast<const char*>(PyArray_DATA(array));
    std::int64_t* data;
    Ref epochs = Ref::steal(new_epoch_storage(n, data));
    if (!epochs) return false;
    copy_values<std::int64_t>(in, stride, n, data);
    UtcCursor cursor;
    Outcome failure = Outcome::ok;
    std::int64_t failed_value = 0;
    if (!for_blocks(n, [&](npy_intp begin, npy_intp end) {
            for (npy_intp i = begin; i < end && failure == Outcome::ok; ++i) {
                const std::int64_t value = data[i];
                Reading r;
                Outcome outcome = reading_from_datetime64(value, meta, r);
                if (outcome == Outcome::ok) {
                    const bool inside =
                        scale == Scale::utc ? cursor.tai_from_reading(r, data[i]) : tai_from_reading(r, scale, data[i]);
                    if (inside) continue;
                    outcome = Outcome::outside;
                }
                failure = outcome;
                failed_value = value;
            }
        }))
        return false;
    if (failure != Outcome::ok) {
        Ref item = Ref::steal(PyArray_Scalar(&failed_value, PyArray_DESCR(array), nullptr));
        return item && datetime64_error(failure, item.get());
    }
    out.epochs = std::move(epochs);
    return true;
}

// --- raw int64 arrays -----------------------------------------------------------

bool read_int64_array(PyArrayObject* given, Epochs& out) {
    Ref holder;
    PyArrayObject* array = native_aligned(given, holder);
    if (!array) return false;
    const npy_intp n = PyArray_DIM(array, 0), stride = PyArray_STRIDE(array, 0);
    const char* in = static_cast<const char*>(PyArray_DATA(array));
    std::int64_t* data;
    Ref epochs = Ref::steal(new_epoch_storage(n, data));
    if (!epochs) return false;
    for (npy_intp i = 0; i < n; ++i) data[i] = *reinterpret_cast<const std::int64_t*>(in + i * stride);
    out.epochs = std::move(epochs);
    return true;
}

// --- single values and sequences -------------------------------------------------

bool read_single(PyObject* value, Scale scale, std::int64_t& tai) {
    if (PyUnicode_Check(value)) return parse_iso(value, scale, tai);
    if (PyObject_TypeCheck(value, time_type)) {
        const auto* t = reinterpret_cast<TimeObject*>(value);
        if (t->epochs) {
            PyErr_SetString(PyExc_ValueError,
                            "Time cannot read a sequence holding an array Time: its items must be single epochs");
            return false;
        }
        tai = t->ns;
        return true;
    }
    if (PyDate_Check(value)) return read_date(value, scale, tai);
    if (PyArray_IsScalar(value, Datetime)) return read_datetime64(value, scale, tai);
    return wrong_type(value);
}

// A tuple, since reading an item may run Python code (a tzinfo) that could
// change a list under the loop.
bool read_sequence(PyObject* sequence, Scale scale, Epochs& out) {
    Ref items = Ref::steal(PySequence_Tuple(sequence));
    if (!items) return false;
    const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    std::int64_t* data;
    Ref epochs = Ref::steal(new_epoch_storage(n, data));
    if (!epochs) return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!read_single(PyTuple_GET_ITEM(items.get(), i), scale, data[i])) return false;
    }
    out.epochs = std::move(epochs);
    return true;
}

bool read_array(PyArrayObject* array, Scale scale, Epochs& out) {
    if (PyArray_NDIM(array) == 0) {
        Ref item = Ref::steal(PyArray_ToScalar(PyArray_DATA(array), array));
        if (!item) return false;
        return read_single(item.get(), scale, out.ns);
    }
    if (PyArray_NDIM(array) != 1) {
        PyErr_Format(PyExc_ValueError, msg::time_array_ndim, PyArray_NDIM(array));
        return false;
    }
    const char kind = PyArray_DESCR(array)->kind;
    if (kind == 'M') return read_datetime64_array(array, scale, out);
    if (kind == 'i' && PyArray_ITEMSIZE(array) == 8) return read_int64_array(array, out);
    if (kind == 'U' || kind == 'O') {
        Ref list = Ref::steal(PyArray_ToList(array));
        return list && read_sequence(list.get(), scale, out);
    }
    PyErr_Format(PyExc_TypeError, msg::time_array_needs_format, reinterpret_cast<PyObject*>(PyArray_DESCR(array)));
    return false;
}

// --- Julian dates -----------------------------------------------------------------

bool julian_outside(double value, bool modified) {
    Ref number = Ref::steal(PyFloat_FromDouble(value));
    if (!number) return false;
    PyErr_Format(PyExc_ValueError, msg::time_julian_unreadable, modified ? "modified Julian date" : "Julian date",
                 number.get(), std::isfinite(value) ? msg::time_outside_range : msg::time_not_finite_number);
    return false;
}

bool read_julian_double(double value, bool modified, Scale scale, std::int64_t& tai) {
    DayFraction parts;
    if (!parts_from_double(value, modified, parts) || !tai_from_mjd_parts(parts, scale, tai))
        return julian_outside(value, modified);
    return true;
}

bool is_number(PyObject* value) {
    return PyFloat_Check(value) || PyLong_Check(value) || PyArray_IsScalar(value, Integer) ||
           PyArray_IsScalar(value, Floating);
}

bool read_julian(PyObject* value, bool modified, Scale scale, Epochs& out) {
    if (!ensure_leap_seconds(scale)) return false;
    DayFraction parts;
    if (julian_date_parts(value, modified, parts)) {
        if (!tai_from_mjd_parts(parts, scale, out.ns)) return julian_outside(PyFloat_AS_DOUBLE(value), modified);
        return true;
    }
    if (is_number(value)) {
        const double x = PyFloat_AsDouble(value);
        if (x == -1.0 && PyErr_Occurred()) return false;
        return read_julian_double(x, modified, scale, out.ns);
    }
    if (!PyArray_Check(value) && !PyList_Check(value) && !PyTuple_Check(value)) return wrong_type(value);
    Ref any = Ref::steal(PyArray_FROM_O(value));
    if (!any) return false;
    auto* array = reinterpret_cast<PyArrayObject*>(any.get());
    const char kind = PyArray_DESCR(array)->kind;
    if (kind != 'f' && kind != 'i' && kind != 'u' && kind != 'b') {
        PyErr_Format(PyExc_TypeError, msg::time_julian_dtype, reinterpret_cast<PyObject*>(PyArray_DESCR(array)));
        return false;
    }
    if (PyArray_NDIM(array) > 1) {
        PyErr_Format(PyExc_ValueError, msg::time_array_ndim, PyArray_NDIM(array));
        return false;
    }
    Ref doubles = Ref::steal(PyArray_FROMANY(any.get(), NPY_DOUBLE, 0, 1, NPY_ARRAY_ALIGNED | NPY_ARRAY_FORCECAST));
    if (!doubles) return false;
    auto* d = reinterpret_cast<PyArrayObject*>(doubles.get());
    if (PyArray_NDIM(d) == 0)
        return read_julian_double(*static_cast<double*>(PyArray_DATA(d)), modified, scale, out.ns);
    const npy_intp n = PyArray_DIM(d, 0), stride = PyArray_STRIDE(d, 0);
    const char* in = static_cast<const char*>(PyArray_DATA(d));
    std::int64_t* data;
    Ref epochs = Ref::steal(new_epoch_storage(n, data));
    if (!epochs) return false;
    copy_values<double>(in, stride, n, data);
    bool failed = false;
    double failed_value = 0.0;
    if (!for_blocks(n, [&](npy_intp begin, npy_intp end) {
            for (npy_intp i = begin; i < end && !failed; ++i) {
                double x;
                std::memcpy(&x, &data[i], sizeof x);
                DayFraction p;
                if (!parts_from_double(x, modified, p) || !tai_from_mjd_parts(p, scale, data[i])) {
                    failed = true;
                    failed_value = x;
                }
            }
        }))
        return false;
    if (failed) return julian_outside(failed_value, modified);
    out.epochs = std::move(epochs);
    return true;
}

}  // namespace

bool init_inputs() {
    PyDateTime_IMPORT;
    return PyDateTimeAPI != nullptr;
}

bool read_epochs(PyObject* value, Format format, Scale scale, Epochs& out) {
    if (format != Format::none) return read_julian(value, format == Format::mjd, scale, out);
    if (PyUnicode_Check(value)) return parse_iso(value, scale, out.ns);
    if (PyObject_TypeCheck(value, time_type)) {
        const auto* t = reinterpret_cast<TimeObject*>(value);
        out.epochs = Ref::borrow(t->epochs);
        out.ns = t->ns;
        return true;
    }
    if (PyArray_Check(value)) return read_array(reinterpret_cast<PyArrayObject*>(value), scale, out);
    if (PyList_Check(value) || PyTuple_Check(value)) return read_sequence(value, scale, out);
    if (is_number(value)) {
        PyErr_Format(PyExc_TypeError,
                     "Time cannot read a number of type '%.200s' without a format: give format='jd' or "
                     "format='mjd' for a Julian date",
                     Py_TYPE(value)->tp_name);
        return false;
    }
    return read_single(value, scale, out.ns);
}

// --- durations ---------------------------------------------------------------------

bool ns_from_seconds(PyObject* seconds, std::int64_t& out) {
    if (PyLong_Check(seconds) || PyArray_IsScalar(seconds, Integer)) {
        Ref integer = Ref::steal(PyNumber_Index(seconds));
        if (!integer) return false;
        int overflow = 0;
        const long long s = PyLong_AsLongLongAndOverflow(integer.get(), &overflow);
        if (s == -1 && PyErr_Occurred()) return false;
        if (overflow || !mul_checked(s, ns_per_second, out)) {
            PyErr_Format(PyExc_OverflowError, msg::time_seconds_span, seconds, msg::time_span_too_wide);
            return false;
        }
        return true;
    }
    const double s = PyFloat_AsDouble(seconds);
    if (s == -1.0 && PyErr_Occurred()) return false;
    if (!ns_from_double_seconds(s, out)) {
        if (std::isfinite(s))
            PyErr_Format(PyExc_OverflowError, msg::time_seconds_span, seconds, msg::time_span_too_wide);
        else
            PyErr_Format(PyExc_ValueError, msg::time_seconds_not_finite, seconds);
        return false;
    }
    return true;
}

int ns_from_timedelta(PyObject* value, std::int64_t& out) {
    if (PyDelta_Check(value)) {
        const std::int64_t seconds = PyDateTime_DELTA_GET_DAYS(value) * 86'400LL + PyDateTime_DELTA_GET_SECONDS(value);
        if (mul_checked(seconds, ns_per_second, out) &&
            add_checked(out, PyDateTime_DELTA_GET_MICROSECONDS(value) * 1000LL, out))
            return 1;
        PyErr_Format(PyExc_OverflowError, msg::time_timedelta_span, value, msg::time_span_too_wide);
        return -1;
    }
    if (!PyArray_IsScalar(value, Timedelta)) return 0;
    const auto* scalar = reinterpret_cast<PyTimedeltaScalarObject*>(value);
    const PyArray_DatetimeMetaData& meta = scalar->obmeta;
    if (scalar->obval == NPY_DATETIME_NAT || meta.base == NPY_FR_Y || meta.base == NPY_FR_M ||
        meta.base == NPY_FR_GENERIC) {
        PyErr_Format(PyExc_ValueError, msg::time_not_fixed_span, value);
        return -1;
    }
    // Read as a datetime64 of the same count, the span is the time since 1970.
    Reading r;
    if (reading_from_datetime64(scalar->obval, meta, r) != Outcome::ok ||
        !ns_from_days(r.mjd - mjd_of_1970, r.ns_of_day, out)) {
        PyErr_Format(PyExc_OverflowError, msg::time_timedelta_span, value, msg::time_span_too_wide);
        return -1;
    }
    return 1;
}

PyObject* datetime_from_reading(const Reading& r) {
    const Civil civil = civil_from_days(r.mjd - mjd_of_1970);
    // datetime has no 60th second: a leap second shows as the last microsecond before midnight.
    const std::int64_t ns = r.ns_of_day < ns_per_day ? r.ns_of_day : ns_per_day - 1000;
    const std::int64_t seconds = ns / ns_per_second;
    return PyDateTime_FromDateAndTime(static_cast<int>(civil.year), civil.month, civil.day,
                                      static_cast<int>(seconds / 3600), static_cast<int>(seconds / 60 % 60),
                                      static_cast<int>(seconds % 60), static_cast<int>(ns % ns_per_second / 1000));
}

}  // namespace velmar::time

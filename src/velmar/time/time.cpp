// velmar.time.time: Time, one epoch or a one-dimensional array of epochs held
// as int64 nanoseconds of TAI since 2000-01-01T12:00:00 TAI. Integers make
// ordering and differences exact (elapsed SI seconds, leap seconds included);
// the scale only decides how epochs are read from and shown as dates.
#define VELMAR_NUMPY_IMPORT
#include <chrono>
#include <cmath>
#include <cstring>
#include <string>

#include "velmar/_native/args.hpp"
#include "velmar/_native/exports.hpp"
#include "velmar/_native/module.hpp"
#include "velmar/_native/threads.hpp"
#include "velmar/time/epochs.hpp"

namespace velmar::time {

PyTypeObject* time_type = nullptr;

namespace {

PyObject* scale_names[3];  // "utc", "tai", "tt", interned
PyObject* format_jd = nullptr;
PyObject* format_mjd = nullptr;
PyArray_Descr* datetime64_ns = nullptr;

TimeObject* as_time(PyObject* o) { return reinterpret_cast<TimeObject*>(o); }
bool is_time(PyObject* o) { return Py_IS_TYPE(o, time_type); }

// --- construction -----------------------------------------------------------------

// Matches an interned name first (the usual literal), then by value.
bool text_is(PyObject* text, PyObject* name) { return text == name || PyUnicode_Compare(text, name) == 0; }

bool parse_scale(PyObject* value, Scale& scale) {
    if (!require_exact_str(value, "scale", false)) return false;
    for (int i = 0; i < 3; ++i) {
        if (text_is(value, scale_names[i])) {
            scale = static_cast<Scale>(i);
            return true;
        }
    }
    PyErr_Format(PyExc_ValueError, msg::time_scale, value);
    return false;
}

bool parse_format(PyObject* value, Format& format) {
    format = Format::none;
    if (!value || value == Py_None) return true;
    if (!require_exact_str(value, "format", false)) return false;
    if (text_is(value, format_jd))
        format = Format::jd;
    else if (text_is(value, format_mjd))
        format = Format::mjd;
    else {
        PyErr_Format(PyExc_ValueError, msg::time_format, value);
        return false;
    }
    return true;
}

PyObject* construct(PyObject* value, PyObject* format_arg, PyObject* scale_arg) {
    Format format;
    if (!parse_format(format_arg, format)) return nullptr;
    Scale scale = Scale::utc;
    if (scale_arg && scale_arg != Py_None) {
        if (!parse_scale(scale_arg, scale)) return nullptr;
    } else if (is_time(value)) {
        scale = as_time(value)->scale;
    }
    Epochs epochs;
    if (!read_epochs(value, format, scale, epochs)) return nullptr;
    if (epochs.epochs) return new_time_array(epochs.epochs.release(), scale);
    return new_time(epochs.ns, scale);
}

constexpr const char* time_arguments[] = {"value", "format", "scale"};
constexpr Signature time_signature{"Time", time_arguments, 3, 1, 1};

PyObject* time_vectorcall(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    // Time('2008'): the form element sets build every epoch from.
    if (nargs == 1 && !kwnames && PyUnicode_CheckExact(args[0])) {
        std::int64_t ns;
        if (!parse_iso(args[0], Scale::utc, ns)) return nullptr;
        return new_time(ns, Scale::utc);
    }
    PyObject* a[3];
    if (!bind_fastcall(time_signature, args, nargs, kwnames, a)) return nullptr;
    return construct(a[0], a[1], a[2]);
}

PyObject* time_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    PyObject* a[3];
    if (!bind_tuple(time_signature, args, kwargs, a)) return nullptr;
    return construct(a[0], a[1], a[2]);
}

void time_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    Py_XDECREF(as_time(self)->epochs);
    type->tp_free(self);
    Py_DECREF(type);
}

// --- shared helpers --------------------------------------------------------------

std::int64_t epoch_at(const TimeObject* t, npy_intp i) { return t->epochs ? epoch_data(t->epochs)[i] : t->ns; }
npy_intp count_of(const TimeObject* t) { return t->epochs ? epoch_count(t->epochs) : 1; }

// The loops over a Time's epochs run without the interpreter lock: the epoch
// storage is fixed (nobody can resize or free it while the Time, which the
// caller holds, lives), and what they write is a fresh array nobody else has.

// fill(epoch) for each epoch, shaped like the Time: a numpy float64 scalar
// for a single epoch (so that .reshape(-1) works on both), else an array.
// `fill` runs without the interpreter lock.
template <typename Fill> PyObject* per_epoch_doubles(const TimeObject* t, Fill fill) {
    if (!t->epochs) {
        PyObject* scalar = PyArrayScalar_New(Double);
        if (scalar) PyArrayScalar_VAL(scalar, Double) = fill(t->ns);
        return scalar;
    }
    const npy_intp n = epoch_count(t->epochs);
    Ref out = Ref::steal(new_double_array(n));
    if (!out) return nullptr;
    auto* values = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
    const std::int64_t* epochs = epoch_data(t->epochs);
    if (!for_blocks(n, [&](npy_intp begin, npy_intp end) {
            for (npy_intp i = begin; i < end; ++i) values[i] = fill(epochs[i]);
        }))
        return nullptr;
    return out.release();
}

// a - b in seconds, rounded once where the span allows (within 104 days every
// nanosecond count is an exact double), and to well under a nanosecond beyond.
double seconds_between(std::int64_t a, std::int64_t b) {
    constexpr std::int64_t exact_limit = std::int64_t{1} << 53;
    std::int64_t d;
    if (sub_checked(a, b, d) && d > -exact_limit && d < exact_limit) return static_cast<double>(d) / 1e9;
    const std::int64_t qa = floor_div(a, ns_per_second), qb = floor_div(b, ns_per_second);
    return static_cast<double>(qa - qb) +
           static_cast<double>(floor_mod(a, ns_per_second) - floor_mod(b, ns_per_second)) / 1e9;
}

bool length_mismatch(npy_intp a, npy_intp b) {
    PyErr_Format(PyExc_ValueError, msg::time_operand_sizes, static_cast<Py_ssize_t>(a), static_cast<Py_ssize_t>(b));
    return false;
}

// --- properties -------------------------------------------------------------------

PyObject* get_int64(PyObject* self, void*) {
    const TimeObject* t = as_time(self);
    if (!t->epochs) return PyLong_FromLongLong(t->ns);
    return new_fixed_view(t->epochs);
}

PyObject* julian(PyObject* self, bool modified) {
    const TimeObject* t = as_time(self);
    if (!ensure_leap_seconds(t->scale)) return nullptr;
    if (!t->epochs) return new_julian_date(mjd_parts(t->ns, t->scale), modified);
    Reader read(t->scale);
    return per_epoch_doubles(t, [&](std::int64_t ns) {
        const Reading r = read(ns);
        return jd_value({r.mjd, r.ns_of_day}, modified);
    });
}

PyObject* get_jd(PyObject* self, void*) { return julian(self, false); }
PyObject* get_mjd(PyObject* self, void*) { return julian(self, true); }

PyObject* on_scale(PyObject* self, Scale scale) {
    TimeObject* t = as_time(self);
    if (t->scale == scale) return Py_NewRef(self);
    if (t->epochs) return new_time_array(Py_NewRef(t->epochs), scale);
    return new_time(t->ns, scale);
}

PyObject* get_utc(PyObject* self, void*) { return on_scale(self, Scale::utc); }
PyObject* get_tai(PyObject* self, void*) { return on_scale(self, Scale::tai); }
PyObject* get_tt(PyObject* self, void*) { return on_scale(self, Scale::tt); }
PyObject* get_scale(PyObject* self, void*) { return Py_NewRef(scale_names[static_cast<int>(as_time(self)->scale)]); }

PyObject* get_shape(PyObject* self, void*) {
    const TimeObject* t = as_time(self);
    if (!t->epochs) return PyTuple_New(0);
    return Py_BuildValue("(n)", static_cast<Py_ssize_t>(epoch_count(t->epochs)));
}
PyObject* get_size(PyObject* self, void*) { return PyLong_FromSsize_t(count_of(as_time(self))); }
PyObject* get_isscalar(PyObject* self, void*) { return PyBool_FromLong(!as_time(self)->epochs); }

// The finest fraction any epoch needs, so an array shows one precision throughout.
// -1 with KeyboardInterrupt set when interrupted.
int common_digits(const TimeObject* t) {
    int digits = 0;
    Reader read(t->scale);
    const bool done = for_blocks(count_of(t), [&](npy_intp begin, npy_intp end) {
        for (npy_intp i = begin; i < end && digits < 9; ++i) {
            const int d = fraction_digits(read(epoch_at(t, i)));
            if (d > digits) digits = d;
        }
    });
    return done ? digits : -1;
}

PyObject* get_iso(PyObject* self, void*) {
    const TimeObject* t = as_time(self);
    if (!ensure_leap_seconds(t->scale)) return nullptr;
    char text[max_iso_length];
    if (!t->epochs) {
        const Reading r = reading_from_tai(t->ns, t->scale);
        return PyUnicode_FromStringAndSize(text, format_iso(r, fraction_digits(r), text));
    }
    const int digits = common_digits(t);
    if (digits < 0) return nullptr;
    const int width = 19 + (digits ? digits + 1 : 0);
    PyArray_Descr* descr = PyArray_DescrNewFromType(NPY_UNICODE);
    if (!descr) return nullptr;
    PyDataType_SET_ELSIZE(descr, width * 4);
    npy_intp n = epoch_count(t->epochs);
    Ref out = Ref::steal(PyArray_NewFromDescr(&PyArray_Type, descr, 1, &n, nullptr, nullptr, 0, nullptr));
    if (!out) return nullptr;
    auto* chars = static_cast<Py_UCS4*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
    const std::int64_t* epochs = epoch_data(t->epochs);
    Reader read(t->scale);
    if (!for_blocks(n, [&](npy_intp begin, npy_intp end) {
            for (npy_intp i = begin; i < end; ++i) {
                format_iso(read(epochs[i]), digits, text);
                for (int k = 0; k < width; ++k) chars[i * width + k] = static_cast<Py_UCS4>(text[k]);
            }
        }))
        return nullptr;
    return out.release();
}

// Nanoseconds since 1970-01-01 of the reading; a leap second shows as the
// last nanosecond before midnight, since datetime64 has no 60th second.
bool unix_ns(const Reading& r, std::int64_t& out) {
    const std::int64_t ns_of_day = r.ns_of_day < ns_per_day ? r.ns_of_day : ns_per_day - 1;
    return ns_from_days(r.mjd - mjd_of_1970, ns_of_day, out);
}

PyObject* datetime64_overflow() {
    PyErr_SetString(PyExc_OverflowError, "an epoch after 2262-04-11 cannot be shown as a numpy datetime64[ns]");
    return nullptr;
}

PyObject* get_datetime64(PyObject* self, void*) {
    const TimeObject* t = as_time(self);
    if (!ensure_leap_seconds(t->scale)) return nullptr;
    if (!t->epochs) {
        std::int64_t ns;
        if (!unix_ns(reading_from_tai(t->ns, t->scale), ns)) return datetime64_overflow();
        return PyArray_Scalar(&ns, datetime64_ns, nullptr);
    }
    npy_intp n = epoch_count(t->epochs);
    Py_INCREF(datetime64_ns);
    Ref out = Ref::steal(PyArray_NewFromDescr(&PyArray_Type, datetime64_ns, 1, &n, nullptr, nullptr, 0, nullptr));
    if (!out) return nullptr;
    auto* values = static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
    const std::int64_t* epochs = epoch_data(t->epochs);
    Reader read(t->scale);
    bool overflow = false;
    if (!for_blocks(n, [&](npy_intp begin, npy_intp end) {
            for (npy_intp i = begin; i < end && !overflow; ++i) overflow = !unix_ns(read(epochs[i]), values[i]);
        }))
        return nullptr;
    if (overflow) return datetime64_overflow();
    return out.release();
}

PyObject* get_datetime(PyObject* self, void*) {
    const TimeObject* t = as_time(self);
    if (!ensure_leap_seconds(t->scale)) return nullptr;
    if (!t->epochs) return datetime_from_reading(reading_from_tai(t->ns, t->scale));
    npy_intp n = epoch_count(t->epochs);
    Ref out = Ref::steal(PyArray_SimpleNew(1, &n, NPY_OBJECT));
    if (!out) return nullptr;
    auto* items = static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
    Reader read(t->scale);
    for (npy_intp i = 0; i < n; ++i) {
        PyObject* item = datetime_from_reading(read(epoch_data(t->epochs)[i]));
        if (!item) return nullptr;
        Py_XSETREF(items[i], item);
    }
    return out.release();
}

// --- text form --------------------------------------------------------------------

// numpy prints at most this many items before it summarises as "first three ... last three".
constexpr npy_intp summary_threshold = 1000;

// `interrupted` is set, with KeyboardInterrupt, when Ctrl-C stops it.
std::string iso_list(const TimeObject* t, const char* separator, bool& interrupted) {
    const int digits = common_digits(t);
    interrupted = digits < 0;
    if (interrupted) return {};
    const npy_intp n = epoch_count(t->epochs);
    std::string text = "[";
    char iso[max_iso_length];
    Reader read(t->scale);
    for (npy_intp i = 0; i < n; ++i) {
        if (n > summary_threshold && i == 3) {
            text += separator;
            text += "...";
            i = n - 3;
        }
        if (i > 0) text += separator;
        text += '\'';
        text.append(iso, static_cast<std::size_t>(format_iso(read(epoch_data(t->epochs)[i]), digits, iso)));
        text += '\'';
    }
    return text + "]";
}

PyObject* time_repr(PyObject* self) {
    const TimeObject* t = as_time(self);
    if (!ensure_leap_seconds(t->scale)) return nullptr;
    PyObject* scale = scale_names[static_cast<int>(t->scale)];
    if (t->epochs) {
        bool interrupted;
        const std::string items = iso_list(t, ", ", interrupted);
        if (interrupted) return nullptr;
        return PyUnicode_FromFormat("Time(%s, scale='%U')", items.c_str(), scale);
    }
    char iso[max_iso_length + 1];
    const Reading r = reading_from_tai(t->ns, t->scale);
    iso[format_iso(r, fraction_digits(r), iso)] = '\0';
    return PyUnicode_FromFormat("Time('%s', scale='%U')", iso, scale);
}

PyObject* time_str(PyObject* self) {
    const TimeObject* t = as_time(self);
    if (!t->epochs) return get_iso(self, nullptr);
    if (!ensure_leap_seconds(t->scale)) return nullptr;
    bool interrupted;
    const std::string items = iso_list(t, " ", interrupted);
    if (interrupted) return nullptr;
    return PyUnicode_FromStringAndSize(items.data(), static_cast<Py_ssize_t>(items.size()));
}

// --- comparison and hashing ---------------------------------------------------------

template <typename Compare> PyObject* compare_all(const TimeObject* a, const TimeObject* b, Compare compare) {
    const npy_intp na = count_of(a), nb = count_of(b);
    if (a->epochs && b->epochs && na != nb) {
        length_mismatch(na, nb);
        return nullptr;
    }
    npy_intp n = a->epochs ? na : nb;
    Ref out = Ref::steal(PyArray_SimpleNew(1, &n, NPY_BOOL));
    if (!out) return nullptr;
    auto* flags = static_cast<npy_bool*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
    if (!for_blocks(n, [&](npy_intp begin, npy_intp end) {
            for (npy_intp i = begin; i < end; ++i)
                flags[i] = compare(epoch_at(a, a->epochs ? i : 0), epoch_at(b, b->epochs ? i : 0));
        }))
        return nullptr;
    return out.release();
}

template <typename Compare> PyObject* compare_times(const TimeObject* a, const TimeObject* b, Compare compare) {
    if (!a->epochs && !b->epochs) return PyBool_FromLong(compare(a->ns, b->ns));
    return compare_all(a, b, compare);
}

PyObject* time_richcompare(PyObject* a, PyObject* b, int op) {
    if (!is_time(a) || !is_time(b)) Py_RETURN_NOTIMPLEMENTED;
    const TimeObject *x = as_time(a), *y = as_time(b);
    using I = std::int64_t;
    switch (op) {
        case Py_LT: return compare_times(x, y, [](I p, I q) { return p < q; });
        case Py_LE: return compare_times(x, y, [](I p, I q) { return p <= q; });
        case Py_EQ: return compare_times(x, y, [](I p, I q) { return p == q; });
        case Py_NE: return compare_times(x, y, [](I p, I q) { return p != q; });
        case Py_GT: return compare_times(x, y, [](I p, I q) { return p > q; });
        case Py_GE: return compare_times(x, y, [](I p, I q) { return p >= q; });
        default: Py_RETURN_NOTIMPLEMENTED;
    }
}

Py_hash_t time_hash(PyObject* self) {
    const TimeObject* t = as_time(self);
    if (t->epochs) {
        PyErr_SetString(PyExc_TypeError, msg::time_unhashable);
        return -1;
    }
    // The hash of the instant alone: equal Times on different scales are equal.
    const auto h = static_cast<Py_hash_t>(t->ns ^ (t->ns >> 32));
    return h == -1 ? -2 : h;
}

// --- arithmetic ---------------------------------------------------------------------

// A span in ns, one or one per epoch: returns 1 (scalar in `one`, or an array
// of float64 seconds in `many`), 0 when `value` is not a span, -1 on error.
int read_span(PyObject* value, std::int64_t& one, Ref& many) {
    const int delta = ns_from_timedelta(value, one);
    if (delta != 0) return delta;
    if (PyFloat_Check(value) || PyLong_Check(value) || PyArray_IsScalar(value, Integer) ||
        PyArray_IsScalar(value, Floating))
        return ns_from_seconds(value, one) ? 1 : -1;
    if (!PyArray_Check(value) && !PyList_Check(value) && !PyTuple_Check(value)) return 0;
    Ref any = Ref::steal(PyArray_FROM_O(value));
    if (!any) return -1;
    const char kind = PyArray_DESCR(reinterpret_cast<PyArrayObject*>(any.get()))->kind;
    if (kind != 'f' && kind != 'i' && kind != 'u') return 0;
    many = Ref::steal(PyArray_FROMANY(any.get(), NPY_DOUBLE, 0, 1, NPY_ARRAY_ALIGNED | NPY_ARRAY_FORCECAST));
    if (!many) return -1;
    auto* array = reinterpret_cast<PyArrayObject*>(many.get());
    if (PyArray_NDIM(array) == 0) {
        Ref scalar = Ref::steal(PyFloat_FromDouble(*static_cast<double*>(PyArray_DATA(array))));
        many.reset();
        return scalar && ns_from_seconds(scalar.get(), one) ? 1 : -1;
    }
    return 1;
}

// t + span left the range: names the epoch and the span (in seconds for an
// element of an array span).
PyObject* shift_overflow(const TimeObject* t, npy_intp i, PyObject* span, bool subtract) {
    Ref epoch = Ref::steal(new_time(epoch_at(t, i), t->scale));
    if (!epoch) return nullptr;
    PyErr_Format(PyExc_OverflowError, msg::time_sum_outside, epoch.get(), subtract ? "-" : "+", span,
                 msg::time_outside_range);
    return nullptr;
}

// t + span (subtract: t - span).
PyObject* shifted(const TimeObject* t, PyObject* span, bool subtract) {
    std::int64_t one = 0;
    Ref many;
    const int kind = read_span(span, one, many);
    if (kind < 0) return nullptr;
    if (kind == 0) Py_RETURN_NOTIMPLEMENTED;
    // Subtracted, never negated: a span may be the lowest int64.
    const auto apply = [subtract](std::int64_t epoch, std::int64_t delta, std::int64_t& out) {
        return subtract ? sub_checked(epoch, delta, out) : add_checked(epoch, delta, out);
    };
    if (!many && !t->epochs) {
        std::int64_t ns;
        return apply(t->ns, one, ns) ? new_time(ns, t->scale) : shift_overflow(t, 0, span, subtract);
    }
    npy_intp n = count_of(t);
    const double* seconds = nullptr;
    npy_intp stride = 0;
    if (many) {
        auto* array = reinterpret_cast<PyArrayObject*>(many.get());
        const npy_intp m = PyArray_DIM(array, 0);
        if (t->epochs && m != n) {
            length_mismatch(n, m);
            return nullptr;
        }
        n = m;
        seconds = static_cast<const double*>(PyArray_DATA(array));
        stride = PyArray_STRIDE(array, 0) / static_cast<npy_intp>(sizeof(double));
    }
    std::int64_t* data;
    Ref epochs = Ref::steal(new_epoch_storage(n, data));
    if (!epochs) return nullptr;
    // The seconds may be the caller's own array, which another thread could
    // resize once the lock is let go: they are copied into the new storage
    // first and turned into epochs there.
    if (seconds)
        for (npy_intp i = 0; i < n; ++i) std::memcpy(&data[i], &seconds[i * stride], sizeof(double));
    npy_intp bad = -1;  // the first element that fails
    double bad_seconds = 0.0;
    bool bad_span = false;  // not a span at all, rather than one leaving the range
    if (!for_blocks(n, [&](npy_intp begin, npy_intp end) {
            for (npy_intp i = begin; i < end && bad < 0; ++i) {
                std::int64_t delta = one;
                double s = 0.0;
                if (seconds) {
                    std::memcpy(&s, &data[i], sizeof s);
                    if (!ns_from_double_seconds(s, delta)) bad_span = true;
                }
                if (bad_span || !apply(epoch_at(t, t->epochs ? i : 0), delta, data[i])) {
                    bad = i;
                    bad_seconds = s;
                }
            }
        }))
        return nullptr;
    if (bad >= 0) {
        const npy_intp at = t->epochs ? bad : 0;
        if (!seconds) return shift_overflow(t, at, span, subtract);
        Ref element = Ref::steal(PyFloat_FromDouble(bad_seconds));
        if (!element) return nullptr;
        if (bad_span) {
            std::int64_t delta;
            ns_from_seconds(element.get(), delta);  // sets the error naming the element
            return nullptr;
        }
        return shift_overflow(t, at, element.get(), subtract);
    }
    return new_time_array(epochs.release(), t->scale);
}

PyObject* time_add(PyObject* a, PyObject* b) {
    if (is_time(a) && is_time(b)) Py_RETURN_NOTIMPLEMENTED;
    return is_time(a) ? shifted(as_time(a), b, false) : shifted(as_time(b), a, false);
}

PyObject* time_subtract(PyObject* a, PyObject* b) {
    if (!is_time(a)) Py_RETURN_NOTIMPLEMENTED;
    const TimeObject* t = as_time(a);
    if (!is_time(b)) return shifted(t, b, true);
    const TimeObject* e = as_time(b);
    if (!e->epochs) {
        const std::int64_t origin = e->ns;
        return per_epoch_doubles(t, [origin](std::int64_t ns) { return seconds_between(ns, origin); });
    }
    const npy_intp n = epoch_count(e->epochs);
    if (t->epochs && epoch_count(t->epochs) != n) {
        length_mismatch(epoch_count(t->epochs), n);
        return nullptr;
    }
    Ref out = Ref::steal(new_double_array(n));
    if (!out) return nullptr;
    auto* values = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
    const std::int64_t* origins = epoch_data(e->epochs);
    if (!for_blocks(n, [&](npy_intp begin, npy_intp end) {
            for (npy_intp i = begin; i < end; ++i)
                values[i] = seconds_between(epoch_at(t, t->epochs ? i : 0), origins[i]);
        }))
        return nullptr;
    return out.release();
}

// --- sequence behaviour ------------------------------------------------------------

bool require_array(const TimeObject* t, const char* what) {
    if (t->epochs) return true;
    PyErr_Format(PyExc_TypeError, msg::time_single_has_no, what);
    return false;
}

Py_ssize_t time_length(PyObject* self) {
    const TimeObject* t = as_time(self);
    if (!require_array(t, "len()")) return -1;
    return epoch_count(t->epochs);
}

PyObject* time_item(PyObject* self, Py_ssize_t i) {
    const TimeObject* t = as_time(self);
    if (!require_array(t, "items")) return nullptr;
    const npy_intp n = epoch_count(t->epochs);
    if (i < 0 || i >= n) {
        PyErr_Format(PyExc_IndexError, msg::time_index_range, i, static_cast<Py_ssize_t>(n));
        return nullptr;
    }
    return new_time(epoch_data(t->epochs)[i], t->scale);
}

PyObject* time_subscript(PyObject* self, PyObject* key) {
    const TimeObject* t = as_time(self);
    if (!require_array(t, "items")) return nullptr;
    if (PyIndex_Check(key) && !PyBool_Check(key) && !PyArray_Check(key)) {
        Py_ssize_t i = PyNumber_AsSsize_t(key, PyExc_IndexError);
        if (i == -1 && PyErr_Occurred()) return nullptr;
        if (i < 0) i += epoch_count(t->epochs);
        return time_item(self, i);
    }
    // Slices, masks and index arrays: numpy selects, the result gets storage of its own.
    Ref selected = Ref::steal(PyObject_GetItem(t->epochs, key));
    if (!selected) return nullptr;
    if (!PyArray_Check(selected.get())) {
        const long long ns = PyLong_AsLongLong(selected.get());
        if (ns == -1 && PyErr_Occurred()) return nullptr;
        return new_time(ns, t->scale);
    }
    auto* array = reinterpret_cast<PyArrayObject*>(selected.get());
    if (PyArray_NDIM(array) != 1) {
        PyErr_SetString(PyExc_IndexError, msg::time_index_shape);
        return nullptr;
    }
    Epochs copy;
    if (!read_epochs(selected.get(), Format::none, t->scale, copy)) return nullptr;
    return new_time_array(copy.epochs.release(), t->scale);
}

PyObject* time_iter(PyObject* self) {
    if (!require_array(as_time(self), "iteration")) return nullptr;
    return PySeqIter_New(self);
}

// --- methods ------------------------------------------------------------------------

PyObject* time_reduce(PyObject* self, PyObject*) {
    Ref restore = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "_from_int64"));
    if (!restore) return nullptr;
    const TimeObject* t = as_time(self);
    Ref values = t->epochs ? Ref::steal(PyArray_NewCopy(reinterpret_cast<PyArrayObject*>(t->epochs), NPY_CORDER))
                           : Ref::steal(PyLong_FromLongLong(t->ns));
    if (!values) return nullptr;
    return Py_BuildValue("O(OO)", restore.get(), values.get(), scale_names[static_cast<int>(t->scale)]);
}

PyObject* time_from_int64(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"values", "scale"};
    static constexpr Signature sig{"_from_int64", names, 2, 1, 2};
    PyObject* a[2];
    if (!bind_fastcall(sig, args, nargs, kwnames, a)) return nullptr;
    Scale scale = Scale::utc;
    if (a[1] && !parse_scale(a[1], scale)) return nullptr;
    if (PyLong_Check(a[0])) {
        int overflow = 0;
        const long long ns = PyLong_AsLongLongAndOverflow(a[0], &overflow);
        if (overflow) {
            PyErr_Format(PyExc_OverflowError, msg::time_not_int64, a[0]);
            return nullptr;
        }
        if (ns == -1 && PyErr_Occurred()) return nullptr;
        return new_time(ns, scale);
    }
    if (!PyArray_Check(a[0]) || PyArray_NDIM(reinterpret_cast<PyArrayObject*>(a[0])) != 1 ||
        PyArray_DESCR(reinterpret_cast<PyArrayObject*>(a[0]))->kind != 'i') {
        PyErr_Format(PyExc_TypeError, msg::time_from_int64_type, Py_TYPE(a[0])->tp_name);
        return nullptr;
    }
    return construct(a[0], nullptr, a[1]);
}

PyObject* time_now(PyObject*, PyObject*) {
    // The system clock counts UTC without leap seconds, as datetime64 does.
    const auto since_1970 =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    if (!ensure_leap_seconds()) return nullptr;
    const std::int64_t days = floor_div(since_1970, ns_per_day);
    std::int64_t ns;
    if (!tai_from_reading({days + mjd_of_1970, floor_mod(since_1970, ns_per_day)}, Scale::utc, ns)) {
        PyErr_Format(PyExc_OverflowError, msg::time_clock_outside, static_cast<long long>(since_1970),
                     msg::time_outside_range);
        return nullptr;
    }
    return new_time(ns, Scale::utc);
}

// --- type ---------------------------------------------------------------------------

PyGetSetDef time_getset[] = {
    {"int64", get_int64, nullptr,
     "Nanoseconds of TAI since 2000-01-01T12:00:00 TAI: an int for one epoch, a read-only int64 array "
     "for many. The integers order the epochs and their differences are elapsed SI time.",
     nullptr},
    {"jd", get_jd, nullptr,
     "Julian date of the calendar reading on this Time's scale, every day counted as 86400 s: a JulianDate "
     "(a float that keeps the exact value) for one epoch, a float64 array for many. Inside a UTC leap second "
     "it holds at the end of the day (the Julian date of 00:00:00 of the next day), so it never decreases; "
     "a JulianDate still names the leap second to Time(value, format='jd').",
     nullptr},
    {"mjd", get_mjd, nullptr, "Modified Julian date (JD - 2400000.5) on this Time's scale, as for jd.", nullptr},
    {"utc", get_utc, nullptr, "The same epochs, shown on the UTC scale.", nullptr},
    {"tai", get_tai, nullptr, "The same epochs, shown on the TAI scale.", nullptr},
    {"tt", get_tt, nullptr, "The same epochs, shown on the TT scale (TAI + 32.184 s).", nullptr},
    {"scale", get_scale, nullptr, "The scale the epochs are shown on: 'utc', 'tai' or 'tt'.", nullptr},
    {"iso", get_iso, nullptr,
     "ISO 8601 text on this Time's scale, with as many decimals (0, 3, 6 or 9) as show the epoch exactly: "
     "a str for one epoch, a numpy str array for many (one precision throughout). A leap second reads 23:59:60.",
     nullptr},
    {"datetime64", get_datetime64, nullptr,
     "numpy datetime64[ns] on this Time's scale. datetime64 has no leap seconds: an epoch inside one shows "
     "as the last nanosecond before midnight.",
     nullptr},
    {"datetime", get_datetime, nullptr,
     "Naive datetime.datetime on this Time's scale, truncated to the microsecond (an object array for many). "
     "An epoch inside a leap second shows as 23:59:59.999999.",
     nullptr},
    {"shape", get_shape, nullptr, "() for one epoch, (n,) for an array of n.", nullptr},
    {"size", get_size, nullptr, "The number of epochs.", nullptr},
    {"isscalar", get_isscalar, nullptr, "True when this Time holds one epoch rather than an array.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef time_methods[] = {
    {"__reduce__", time_reduce, METH_NOARGS, "__reduce__($self, /)\n--\n\n"},
    {"_from_int64", VELMAR_CFUNCTION(time_from_int64), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "_from_int64(values, scale='utc')\n--\n\nRebuild a Time from its int64 value(s) (used by pickle)."},
    {"now", time_now, METH_NOARGS | METH_STATIC, "now()\n--\n\nThe current epoch from the system clock (UTC)."},
    {nullptr, nullptr, 0, nullptr}};

constexpr const char time_doc[] =
    "Time(value, *, format=None, scale='utc')\n"
    "--\n\n"
    "One epoch, or a one-dimensional array of epochs, held as int64 nanoseconds\n"
    "of TAI since 2000-01-01T12:00:00 TAI. Immutable.\n\n"
    "value is read on `scale` ('utc', 'tai' or 'tt'):\n"
    "  - ISO 8601 text: '2024' (1 January 00:00), '2024-03', '2024-03-01',\n"
    "    '2024-03-01T12:30', '2024-03-01T12:30:15.123456789', optionally with a\n"
    "    trailing 'Z'; a space may stand for the 'T'. UTC text may name a leap\n"
    "    second, 23:59:60 of a day that ends with one.\n"
    "  - datetime.datetime (naive means on `scale`; an aware one is converted to\n"
    "    UTC) and datetime.date (its midnight).\n"
    "  - numpy datetime64 scalars and arrays (of any unit).\n"
    "  - another Time (same epochs; shown on `scale` if given).\n"
    "  - a list or tuple of any of these, giving an array Time.\n"
    "  - a one-dimensional int64 array: the integers themselves (see int64).\n"
    "  - with format='jd' or format='mjd': a number, or a sequence or array of\n"
    "    numbers, as Julian dates or modified Julian dates.\n\n"
    "UTC uses the TAI-UTC steps of the packaged IERS Bulletin C (Leap_Second.dat),\n"
    "read on the first UTC conversion. Before 1972-01-01, TAI-UTC is taken as 10 s\n"
    "(the rubber seconds of the 1960s are not modelled); after the last step in the\n"
    "table, its last value holds. A UTC day that ends with a leap second lasts\n"
    "86401 s: t - e counts it, and its last second reads and shows as 23:59:60.\n"
    "Text naming 23:59:60 of any other day, or a second 61, is refused.\n\n"
    "Julian dates (jd, mjd, format='jd' and 'mjd') count every day as 86400 s of\n"
    "the calendar on the Time's scale, fraction of day x 86400 s, as two-line\n"
    "element sets, SGP4 and numpy's datetime64 do. Inside a leap second the UTC\n"
    "Julian date holds at the end of the day: it equals that of 00:00:00 of the\n"
    "next day, so it never decreases while time runs on. ERFA (dtf2d, utctai)\n"
    "instead stretches a leap-second day over 86401 s (fraction = seconds / 86401):\n"
    "on those days only, its UTC Julian date runs behind this one by up to 1 s\n"
    "(seconds x (1/86400 - 1/86401) of a day); on every other day the two agree,\n"
    "and the epochs (TAI) agree on every day.\n\n"
    "Every int64 is an epoch: the range runs from 1707-09-22T12:12:43.145224192 to\n"
    "2292-04-11T11:47:16.854775807 TAI (the same instants on every scale). The text\n"
    "of every epoch in it (iso, str, repr, on any scale) reads back to that epoch;\n"
    "text or Julian dates beyond it raise ValueError, and arithmetic that would\n"
    "leave it raises OverflowError.\n\n"
    "t - e gives elapsed seconds as float64 (a numpy scalar for a single t, an\n"
    "array for an array t); t + seconds and t - seconds give a Time. Times compare\n"
    "by instant, whatever their scales.";

PyType_Slot time_slots[] = {{Py_tp_new, reinterpret_cast<void*>(time_new)},
                            {Py_tp_dealloc, reinterpret_cast<void*>(time_dealloc)},
                            {Py_tp_repr, reinterpret_cast<void*>(time_repr)},
                            {Py_tp_str, reinterpret_cast<void*>(time_str)},
                            {Py_tp_hash, reinterpret_cast<void*>(time_hash)},
                            {Py_tp_richcompare, reinterpret_cast<void*>(time_richcompare)},
                            {Py_tp_iter, reinterpret_cast<void*>(time_iter)},
                            {Py_tp_getset, time_getset},
                            {Py_tp_methods, time_methods},
                            {Py_tp_doc, const_cast<char*>(time_doc)},
                            {Py_nb_add, reinterpret_cast<void*>(time_add)},
                            {Py_nb_subtract, reinterpret_cast<void*>(time_subtract)},
                            {Py_sq_length, reinterpret_cast<void*>(time_length)},
                            {Py_sq_item, reinterpret_cast<void*>(time_item)},
                            {Py_mp_length, reinterpret_cast<void*>(time_length)},
                            {Py_mp_subscript, reinterpret_cast<void*>(time_subscript)},
                            {0, nullptr}};

PyType_Spec time_spec = {"velmar.time.time.Time", sizeof(TimeObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                         time_slots};

bool add_time_type(PyObject* module) {
    Ref type = Ref::steal(PyType_FromModuleAndSpec(module, &time_spec, nullptr));
    if (!type) return false;
    auto* t = reinterpret_cast<PyTypeObject*>(type.get());
    t->tp_vectorcall = time_vectorcall;
    // numpy operands defer to Time's own operators instead of broadcasting over it.
    if (PyDict_SetItemString(t->tp_dict, "__array_ufunc__", Py_None) < 0) return false;
    PyType_Modified(t);
    if (PyModule_AddObjectRef(module, "Time", type.get()) < 0) return false;
    time_type = reinterpret_cast<PyTypeObject*>(type.release());
    return true;
}

bool intern(PyObject*& slot, const char* text) {
    slot = PyUnicode_InternFromString(text);
    return slot != nullptr;
}

// A single-epoch Time for other modules (scale as Scale's value): the
// element-set reader builds one per set.
PyObject* time_of_ns(const std::int64_t ns, const int scale) {
    if (scale < 0 || scale > 2) {
        PyErr_Format(PyExc_ValueError, msg::time_scale_number, scale);
        return nullptr;
    }
    return new_time(ns, static_cast<Scale>(scale));
}

int exec_time(PyObject* module) {
    if (!import_numpy() || !init_inputs()) return -1;
    if (!intern(scale_names[0], "utc") || !intern(scale_names[1], "tai") || !intern(scale_names[2], "tt") ||
        !intern(format_jd, "jd") || !intern(format_mjd, "mjd"))
        return -1;
    Ref unit = Ref::steal(PyUnicode_FromString("M8[ns]"));
    if (!unit || !PyArray_DescrConverter(unit.get(), &datetime64_ns)) return -1;
    if (!add_julian_date_type(module) || !add_time_type(module)) return -1;
    if (!export_function(module, "time_of_ns", time_of_ns, signature::time_of_ns) ||
        !export_function(module, "epoch_of_year_day", epoch_of_year_day, signature::epoch_of_year_day))
        return -1;
    return 0;
}

// Times are made by the million: skip the generic allocator's zeroing and
// garbage-collector checks (a Time holds no references that could cycle).
PyObject* allocate_time() {
    auto* self = static_cast<PyObject*>(PyObject_Malloc(sizeof(TimeObject)));
    if (!self) return PyErr_NoMemory();
    return PyObject_Init(self, time_type);
}

}  // namespace

PyObject* new_time(std::int64_t ns, Scale scale) {
    PyObject* self = allocate_time();
    if (!self) return nullptr;
    TimeObject* t = as_time(self);
    t->epochs = nullptr;
    t->ns = ns;
    t->scale = scale;
    return self;
}

PyObject* new_time_array(PyObject* epochs, Scale scale) {
    PyObject* self = allocate_time();
    if (!self) {
        Py_DECREF(epochs);
        return nullptr;
    }
    TimeObject* t = as_time(self);
    t->epochs = epochs;
    t->ns = 0;
    t->scale = scale;
    return self;
}

PyObject* new_epoch_storage(npy_intp n, std::int64_t*& data) {
    // Memory no array owns (numpy.hpp): nobody can resize it or, once the
    // caller has filled it, make it writable again.
    Ref array = Ref::steal(new_fixed_array(NPY_INT64, 1, &n));
    if (!array) return nullptr;
    data = epoch_data(array.get());
    freeze_fixed(array.get());
    return array.release();
}

}  // namespace velmar::time

VELMAR_MODULE(time, "Epochs on the UTC, TAI and TT scales: Time, and JulianDate for exact Julian dates.", nullptr,
              velmar::time::exec_time)

// Where a satellite is over the Earth and how it looks from the ground:
// geodetic coordinates, topocentric azimuth, elevation, range and range rate,
// the Sun's geocentric position and the Earth's shadow. Arrays in, arrays
// out; every input is copied into memory only this call can reach, so the
// loops run without the interpreter lock.
#define VELMAR_NUMPY_IMPORT
#include <cmath>
#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <numbers>

#include "velmar/_native/args.hpp"
#include "velmar/_native/exports.hpp"
#include "velmar/_native/messages.hpp"
#include "velmar/_native/module.hpp"
#include "velmar/_native/numpy.hpp"
#include "velmar/frames/frames.hpp"
#include "velmar/frames/geodetic.hpp"
#include "velmar/mathtools/angles.hpp"
#include "velmar/units/units.hpp"
#include "velmar/state/arrays.hpp"
#include "velmar/time/time.hpp"

namespace {

using velmar::Ref;
namespace geo = velmar::geodetic;
namespace arrays = velmar::arrays;

constexpr double pi = std::numbers::pi;
constexpr double degree = velmar::units::deg;
constexpr double arcsecond = velmar::units::arcsec;
constexpr double astronomical_unit = 149597870700.0;  // m, IAU 2012

PyTypeObject* ellipsoid_type = nullptr;
PyTypeObject* enu_type = nullptr;
PyTypeObject* time_type = nullptr;
PyObject* wgs84 = nullptr;
PyTypeObject* earth = nullptr;  // the body classes: Earth.Re and Sun.Re are read at each call
PyTypeObject* sun = nullptr;
PyArray_Descr* lla_descr = nullptr;
PyArray_Descr* aer_descr = nullptr;
PyArray_Descr* aerr_descr = nullptr;

// --- arguments -------------------------------------------------------------------

// The ellipsoid's shape; WGS84 when not given or None.
bool read_shape(PyObject* ellipsoid, geo::Shape& out) {
    if (!ellipsoid || ellipsoid == Py_None) ellipsoid = wgs84;
    if (!velmar::require_instance(ellipsoid, ellipsoid_type, "ellipsoid", false)) return false;
    Ref a = Ref::steal(PyObject_GetAttrString(ellipsoid, "a"));
    Ref f = Ref::steal(PyObject_GetAttrString(ellipsoid, "f"));
    if (!a || !f) return false;
    const double av = PyFloat_AsDouble(a.get()), fv = PyFloat_AsDouble(f.get());
    if (PyErr_Occurred()) return false;
    out = geo::Shape(av, fv);
    return true;
}

// Positions or velocities: three components, or N rows of three. A private
// C-contiguous float64 copy, so nothing the caller does can reach the loop.
struct Points {
    Ref array;
    npy_intp n = 0;
    bool single = false;  // given as (3,)
    const double* data() const { return arrays::data(array.get()); }
};

bool read_points(PyObject* obj, const char* name, Points& out) {
    Ref given = Ref::steal(PyArray_FROM_O(obj));
    if (!given) return false;
    const bool single = PyArray_NDIM(reinterpret_cast<PyArrayObject*>(given.get())) == 1;
    static constexpr npy_intp one[] = {3};
    static constexpr npy_intp many[] = {-1, 3};
    out.array = Ref::steal(single ? arrays::float64_copy(given.get(), name, 1, one, "(3,) or (N, 3)")
                                  : arrays::float64_copy(given.get(), name, 2, many, "(3,) or (N, 3)"));
    if (!out.array) return false;
    out.single = single;
    out.n = single ? 1 : arrays::rows(out.array.get());
    return true;
}

// Two sets of points that go together row by row; a single point goes with
// every row of the other.
bool pair_rows(const Points& x, const char* xname, const Points& y, const char* yname) {
    if (x.single || y.single || x.n == y.n) return true;
    PyErr_Format(PyExc_ValueError, velmar::msg::rows_differ, xname, static_cast<Py_ssize_t>(x.n), yname,
                 static_cast<Py_ssize_t>(y.n));
    return false;
}

// A radius in m, positive and finite; `fallback.Re` (read now) when not given.
bool read_radius(PyObject* value, PyTypeObject* fallback, const char* name, double& out) {
    Ref owned;
    if (!value || value == Py_None) {
        owned = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(fallback), "Re"));
        if (!owned) return false;
        value = owned.get();
    }
    if (!velmar::read_double(value, out)) return false;
    if (out > 0.0 && std::isfinite(out)) return true;
    PyErr_Format(PyExc_ValueError, velmar::msg::radius_not_positive, name, value);
    return false;
}

// A new C-contiguous array of `descr` records (a borrowed dtype) with n rows,
// or of shape () for a single point.
PyObject* new_records(PyArray_Descr* descr, npy_intp n, bool single) {
    Py_INCREF(descr);  // NewFromDescr steals it
    return PyArray_NewFromDescr(&PyArray_Type, descr, single ? 0 : 1, &n, nullptr, nullptr, 0, nullptr);
}

// A result of shape () becomes a numpy scalar, as numpy's own functions do.
PyObject* finish(Ref array) { return PyArray_Return(reinterpret_cast<PyArrayObject*>(array.release())); }

double* doubles(const Ref& array) {
    return static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
}

// --- geodetic coordinates ----------------------------------------------------------

PyObject* itrf_to_geodetic(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"r", "ellipsoid"};
    static constexpr velmar::Signature sig{"itrf_to_geodetic", names, 2, 1, 2};
    PyObject* a[2];
    if (!velmar::bind_fastcall(sig, args, nargs, kwnames, a)) return nullptr;
    geo::Shape shape(1.0, 0.0);
    // The positions go straight into the result, whose records are three
    // float64 each (checked at import), and are converted there in place:
    // one array of a million rows instead of two, and the caller's array is
    // read only while the lock is held.
    Ref given = Ref::steal(PyArray_FROM_O(a[0]));
    if (!given) return nullptr;
    const bool single = PyArray_NDIM(reinterpret_cast<PyArrayObject*>(given.get())) == 1;
    static constexpr npy_intp one[] = {3};
    static constexpr npy_intp many[] = {-1, 3};
    given = Ref::steal(single ? arrays::float64_source(given.get(), "r", 1, one, "(3,) or (N, 3)")
                              : arrays::float64_source(given.get(), "r", 2, many, "(3,) or (N, 3)"));
    if (!given || !read_shape(a[1], shape)) return nullptr;
    auto* source = reinterpret_cast<PyArrayObject*>(given.get());
    const npy_intp n = single ? 1 : PyArray_DIM(source, 0);
    Ref out = Ref::steal(new_records(lla_descr, n, single));
    if (!out) return nullptr;
    npy_intp dims[2] = {n, 3};
    Ref columns = Ref::steal(PyArray_New(&PyArray_Type, single ? 1 : 2, single ? dims + 1 : dims, NPY_DOUBLE, nullptr,
                                         PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())), 0, NPY_ARRAY_CARRAY,
                                         nullptr));
    if (!columns) return nullptr;
    Py_INCREF(out.get());
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(columns.get()), out.get()) < 0) return nullptr;
    if (PyArray_CopyInto(reinterpret_cast<PyArrayObject*>(columns.get()), source) < 0) return nullptr;
    columns.reset();
    given.reset();
    double* y = doubles(out);
    Py_BEGIN_ALLOW_THREADS for (npy_intp i = 0; i < n; ++i)
        geo::from_cartesian(shape, y[3 * i], y[3 * i + 1], y[3 * i + 2], y[3 * i], y[3 * i + 1], y[3 * i + 2]);
    Py_END_ALLOW_THREADS return finish(std::move(out));
}

// Field `name` of a record array, or nullptr with the records message.
PyObject* record_field(PyObject* records, const char* name) {
    Ref key = Ref::steal(PyUnicode_FromString(name));
    if (!key) return nullptr;
    PyObject* field = PyObject_GetItem(records, key.get());
    if (!field) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, velmar::msg::geodetic_records, Py_TYPE(records)->tp_name);
    }
    return field;
}

// A float64 copy of `obj` broadcast to the shape of `like` (nd dims).
PyObject* broadcast_copy(PyObject* obj, const char* name, int nd, const npy_intp* dims) {
    Ref given = Ref::steal(PyArray_FROM_O(obj));
    if (!given) return nullptr;
    PyArray_Descr* have = PyArray_DESCR(reinterpret_cast<PyArrayObject*>(given.get()));
    Ref float64 = Ref::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_DOUBLE)));
    if (!float64) return nullptr;
    if (!PyArray_CanCastTypeTo(have, reinterpret_cast<PyArray_Descr*>(float64.get()), NPY_SAFE_CASTING)) {
        PyErr_Format(PyExc_ValueError, velmar::msg::array_not_real, name, reinterpret_cast<PyObject*>(have));
        return nullptr;
    }
    Ref copy = Ref::steal(PyArray_SimpleNew(nd, const_cast<npy_intp*>(dims), NPY_DOUBLE));
    if (!copy || PyArray_CopyInto(reinterpret_cast<PyArrayObject*>(copy.get()),
                                  reinterpret_cast<PyArrayObject*>(given.get())) < 0)
        return nullptr;
    return copy.release();
}

PyObject* geodetic_to_itrf(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"lat", "lon", "alt", "ellipsoid"};
    static constexpr velmar::Signature sig{"geodetic_to_itrf", names, 4, 1, 4};
    PyObject* a[4];
    if (!velmar::bind_fastcall(sig, args, nargs, kwnames, a)) return nullptr;
    geo::Shape shape(1.0, 0.0);
    if (!read_shape(a[3], shape)) return nullptr;
    Ref parts[3];
    if (!a[1] || a[1] == Py_None) {
        // One record array (LLA_dtype, GeoState_dt, ...): its three fields.
        if (a[2] && a[2] != Py_None)
            return PyErr_Format(PyExc_TypeError, velmar::msg::geodetic_records, "alt without lon");
        Ref records = Ref::steal(PyArray_FROM_O(a[0]));
        if (!records) return nullptr;
        if (!PyDataType_HASFIELDS(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(records.get()))))
            return PyErr_Format(PyExc_TypeError, velmar::msg::geodetic_records, Py_TYPE(a[0])->tp_name);
        for (int k = 0; k < 3; ++k)
            if (!(parts[k] = Ref::steal(record_field(records.get(), names[k])))) return nullptr;
    } else {
        parts[0] = Ref::borrow(a[0]);
        parts[1] = Ref::borrow(a[1]);
        parts[2] = a[2] ? Ref::borrow(a[2]) : Ref::steal(PyFloat_FromDouble(0.0));
        if (!parts[2]) return nullptr;
    }
    Ref ins[3];
    for (int k = 0; k < 3; ++k)
        if (!(ins[k] = Ref::steal(PyArray_FROM_O(parts[k].get())))) return nullptr;
    Ref multi = Ref::steal(PyArray_MultiIterNew(3, ins[0].get(), ins[1].get(), ins[2].get()));
    if (!multi) return nullptr;
    const int nd = PyArray_MultiIter_NDIM(reinterpret_cast<PyArrayMultiIterObject*>(multi.get()));
    if (nd >= NPY_MAXDIMS) return PyErr_Format(PyExc_ValueError, velmar::msg::geodetic_too_many_dimensions, nd);
    npy_intp dims[NPY_MAXDIMS];
    for (int d = 0; d < nd; ++d)
        dims[d] = PyArray_MultiIter_DIMS(reinterpret_cast<PyArrayMultiIterObject*>(multi.get()))[d];
    Ref lat = Ref::steal(broadcast_copy(ins[0].get(), "lat", nd, dims));
    if (!lat) return nullptr;
    Ref lon = Ref::steal(broadcast_copy(ins[1].get(), "lon", nd, dims));
    if (!lon) return nullptr;
    Ref alt = Ref::steal(broadcast_copy(ins[2].get(), "alt", nd, dims));
    if (!alt) return nullptr;
    dims[nd] = 3;
    Ref out = Ref::steal(velmar::new_double_array(nd + 1, dims));
    if (!out) return nullptr;
    const npy_intp n = PyArray_SIZE(reinterpret_cast<PyArrayObject*>(lat.get()));
    const double *phi = doubles(lat), *lam = doubles(lon), *h = doubles(alt);
    double* y = doubles(out);
    npy_intp bad = -1;
    Py_BEGIN_ALLOW_THREADS for (npy_intp i = 0; i < n; ++i) {
        if (std::fabs(phi[i]) > pi / 2) {
            bad = i;
            break;
        }
        geo::to_cartesian(shape, phi[i], lam[i], h[i], y + 3 * i);
    }
    Py_END_ALLOW_THREADS if (bad >= 0) {
        Ref value = Ref::steal(PyFloat_FromDouble(phi[bad]));
        if (value)
            PyErr_Format(PyExc_ValueError, velmar::msg::latitude_range, value.get(), static_cast<Py_ssize_t>(bad));
        return nullptr;
    }
    return out.release();
}

// --- topocentric coordinates ---------------------------------------------------------

// Azimuth from north through east, in [0, 2 pi).
double azimuth(double east, double north) { return velmar::polar_angle(east, north); }

PyObject* topocentric(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"r_itrf", "v_itrf", "station", "ellipsoid"};
    static constexpr velmar::Signature sig{"topocentric", names, 4, 3, 4};
    PyObject* a[4];
    if (!velmar::bind_fastcall(sig, args, nargs, kwnames, a)) return nullptr;
    if (!velmar::require_instance(a[2], enu_type, "station", false)) return nullptr;
    geo::Shape shape(1.0, 0.0);
    if (!read_shape(a[3], shape)) return nullptr;
    Points r, v;
    if (!read_points(a[0], "r_itrf", r)) return nullptr;
    const bool rates = a[1] != Py_None;
    if (rates) {
        if (!read_points(a[1], "v_itrf", v)) return nullptr;
        if (v.single != r.single || v.n != r.n) {
            PyErr_Format(PyExc_ValueError, velmar::msg::rows_differ, "v_itrf", static_cast<Py_ssize_t>(v.n), "r_itrf",
                         static_cast<Py_ssize_t>(r.n));
            return nullptr;
        }
    }
    const auto* station = reinterpret_cast<velmar::ENUObject*>(a[2]);
    double origin[3];
    geo::to_cartesian(shape, station->lat, station->lon, station->alt, origin);
    const double sp = std::sin(station->lat), cp = std::cos(station->lat);
    const double sl = std::sin(station->lon), cl = std::cos(station->lon);
    const double east[3] = {-sl, cl, 0.0};
    const double north[3] = {-sp * cl, -sp * sl, cp};
    const double up[3] = {cp * cl, cp * sl, sp};
    Ref out = Ref::steal(new_records(rates ? aerr_descr : aer_descr, r.n, r.single));
    if (!out) return nullptr;
    const int width = rates ? 4 : 3;
    const double* x = r.data();
    const double* dx = rates ? v.data() : nullptr;
    double* y = doubles(out);
    const npy_intp n = r.n;
    Py_BEGIN_ALLOW_THREADS for (npy_intp i = 0; i < n; ++i) {
        const double d[3] = {x[3 * i] - origin[0], x[3 * i + 1] - origin[1], x[3 * i + 2] - origin[2]};
        const double e = east[0] * d[0] + east[1] * d[1];
        const double nn = north[0] * d[0] + north[1] * d[1] + north[2] * d[2];
        const double u = up[0] * d[0] + up[1] * d[1] + up[2] * d[2];
        const double horizontal = std::sqrt(e * e + nn * nn);
        const double range = std::sqrt(horizontal * horizontal + u * u);
        double* row = y + width * i;
        if (range == 0.0) {  // at the station itself there is no direction
            row[0] = row[1] = std::nan("");
            row[2] = 0.0;
            if (rates) row[3] = std::nan("");
            continue;
        }
        row[0] = azimuth(e, nn);
        row[1] = std::atan2(u, horizontal);
        row[2] = range;
        if (rates) {
            const double* w = dx + 3 * i;
            row[3] = (d[0] * w[0] + d[1] * w[1] + d[2] * w[2]) / range;
        }
    }
    Py_END_ALLOW_THREADS return finish(std::move(out));
}

// --- the Sun -----------------------------------------------------------------------------

// Geocentric position of the Sun (m) in GCRF-aligned axes at `days` days of
// TT since J2000.0: the low-precision solar coordinates of Meeus (Astronomical
// Algorithms, 2nd ed., ch. 25: mean longitude, mean anomaly and equation of
// centre, good to 0.01 deg), the annual aberration (-20.4898" / R) so that the
// direction is the one in which the Sun is seen from the geocentre, the mean
// obliquity of date (IAU 1980), and the IAU 1976 precession (Lieske's zeta, z,
// theta) from the mean equator and equinox of date back to J2000. The frame
// bias between J2000 and GCRF (23 mas) is far below the series' accuracy.
void sun_at(double days, double out[3]) {
    const double T = days / 36525.0;
    const double L0 = std::fmod(280.46646 + 36000.76983 * T + 0.0003032 * T * T, 360.0) * degree;
    const double M = std::fmod(357.52911 + 35999.05029 * T - 0.0001537 * T * T, 360.0) * degree;
    const double e = 0.016708634 - 0.000042037 * T - 0.0000001267 * T * T;
    const double C = ((1.914602 - 0.004817 * T - 0.000014 * T * T) * std::sin(M) +
                      (0.019993 - 0.000101 * T) * std::sin(2.0 * M) + 0.000289 * std::sin(3.0 * M)) *
                     degree;
    const double nu = M + C;
    const double R = 1.000001018 * (1.0 - e * e) / (1.0 + e * std::cos(nu));  // AU
    // The Earth's monthly swing about the Earth-Moon barycentre (4671 km seen
    // from 1 AU), with D the Moon's mean elongation (Meeus ch. 47).
    const double D = std::fmod(297.8501921 + 445267.1114034 * T, 360.0) * degree;
    const double lambda = L0 + C - 20.4898 * arcsecond / R + 6.44 * arcsecond * std::sin(D);
    const double eps = (84381.448 - 46.8150 * T - 0.00059 * T * T + 0.001813 * T * T * T) * arcsecond;
    const double dist = R * astronomical_unit;
    // Mean equator and equinox of date.
    const double xd = dist * std::cos(lambda);
    const double yd = dist * std::sin(lambda) * std::cos(eps);
    const double zd = dist * std::sin(lambda) * std::sin(eps);
    const double zeta = (2306.2181 * T + 0.30188 * T * T + 0.017998 * T * T * T) * arcsecond;
    const double zz = (2306.2181 * T + 1.09468 * T * T + 0.018203 * T * T * T) * arcsecond;
    const double theta = (2004.3109 * T - 0.42665 * T * T - 0.041833 * T * T * T) * arcsecond;
    const double cz = std::cos(zeta), sz = std::sin(zeta);
    const double cZ = std::cos(zz), sZ = std::sin(zz);
    const double ct = std::cos(theta), st = std::sin(theta);
    // P takes J2000 to date; its transpose brings the Sun back.
    const double P[3][3] = {{cz * ct * cZ - sz * sZ, -sz * ct * cZ - cz * sZ, -st * cZ},
                            {cz * ct * sZ + sz * cZ, -sz * ct * sZ + cz * cZ, -st * sZ},
                            {cz * st, -sz * st, ct}};
    for (int k = 0; k < 3; ++k) out[k] = P[0][k] * xd + P[1][k] * yd + P[2][k] * zd;
}

// TT days since J2000.0 of a TAI epoch in ns since 2000-01-01T12:00:00 TAI:
// TT = TAI + 32.184 s, so the two epochs' offsets differ by that constant.
double tt_days(std::int64_t ns) {
    const std::int64_t whole = ns / 1000000000, rest = ns % 1000000000;
    return (static_cast<double>(whole) + (static_cast<double>(rest) * 1e-9 + 32.184)) / 86400.0;
}

PyObject* sun_position(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"time"};
    static constexpr velmar::Signature sig{"sun_position", names, 1, 1, 1};
    PyObject* a[1];
    if (!velmar::bind_fastcall(sig, args, nargs, kwnames, a)) return nullptr;
    Ref time = PyObject_TypeCheck(a[0], time_type)
                   ? Ref::borrow(a[0])
                   : Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(time_type), a[0]));
    if (!time) return nullptr;
    const auto* t = reinterpret_cast<velmar::time::TimeObject*>(time.get());
    if (!t->epochs) {
        Ref out = Ref::steal(velmar::new_double_array(3));
        if (out) sun_at(tt_days(t->ns), doubles(out));
        return out.release();
    }
    // The epochs array is read-only memory nobody can unlock or resize, and
    // `time` keeps it alive.
    auto* epochs = reinterpret_cast<PyArrayObject*>(t->epochs);
    if (PyArray_NDIM(epochs) != 1 || PyArray_TYPE(epochs) != NPY_INT64)
        return PyErr_Format(PyExc_TypeError, velmar::msg::sun_position_time);
    const npy_intp dims[2] = {PyArray_DIM(epochs, 0), 3};
    Ref out = Ref::steal(velmar::new_double_array(2, dims));
    if (!out) return nullptr;
    const char* base = static_cast<const char*>(PyArray_DATA(epochs));
    const npy_intp stride = PyArray_STRIDE(epochs, 0);
    double* y = doubles(out);
    Py_BEGIN_ALLOW_THREADS for (npy_intp i = 0; i < dims[0]; ++i)
        sun_at(tt_days(*reinterpret_cast<const std::int64_t*>(base + i * stride)), y + 3 * i);
    Py_END_ALLOW_THREADS return out.release();
}

// --- look angles along a pass search ---------------------------------------------------

// What velmar.passes needs at each epoch of a search, in one pass over the
// arrays: the numpy expressions it replaces cost more in per-call overhead
// than in arithmetic on the few hundred epochs of a refinement round.
//
// t: seconds from the first station row; r, v: TEME states (m, m/s); the
// station's TEME position and local vertical tabulated every `row` seconds
// (site, up), turning about z at `rate` (rad/s) between rows; `level`: an
// elevation (rad). Returns (9, N): elevation, its rate, the second derivative
// of its sine in a central field, the height above the cone of `level` with
// its first two derivatives, the geocentric angle between station and
// satellite, and the first two derivatives of r.s / |r|. Failed states (NaN)
// give NaN.
PyObject* look_geometry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"t", "r", "v", "site", "up", "rate", "row", "level"};
    static constexpr velmar::Signature sig{"_look_geometry", names, 8, 8, 8};
    PyObject* a[8];
    if (!velmar::bind_fastcall(sig, args, nargs, kwnames, a)) return nullptr;
    static constexpr npy_intp line[] = {-1};
    Ref t = Ref::steal(arrays::float64_copy(a[0], "t", 1, line, "(N,)"));
    Ref rate = Ref::steal(t ? arrays::float64_copy(a[5], "rate", 1, line, "(M,)") : nullptr);
    if (!rate) return nullptr;
    Points r, v, site, up;
    if (!read_points(a[1], "r", r) || !read_points(a[2], "v", v) || !read_points(a[3], "site", site) ||
        !read_points(a[4], "up", up))
        return nullptr;
    const double row = PyFloat_AsDouble(a[6]), level = PyFloat_AsDouble(a[7]);
    if (PyErr_Occurred()) return nullptr;
    const npy_intp n = arrays::rows(t.get()), m = arrays::rows(rate.get());
    if (!(row > 0.0 && std::isfinite(row))) return PyErr_Format(PyExc_ValueError, velmar::msg::look_geometry_row, a[6]);
    if (r.n != n || v.n != n || site.n != m || up.n != m || m < 1)
        return PyErr_Format(PyExc_ValueError, velmar::msg::look_geometry_shapes, static_cast<Py_ssize_t>(n),
                            static_cast<Py_ssize_t>(r.n), static_cast<Py_ssize_t>(v.n), static_cast<Py_ssize_t>(m),
                            static_cast<Py_ssize_t>(site.n), static_cast<Py_ssize_t>(up.n));
    const npy_intp dims[2] = {9, n};
    Ref out = Ref::steal(velmar::new_double_array(2, dims));
    if (!out) return nullptr;
    const double *tt = arrays::data(t.get()), *w_rows = arrays::data(rate.get());
    const double *rr = r.data(), *vv = v.data(), *s_rows = site.data(), *u_rows = up.data();
    double* o = doubles(out);
    constexpr double gm = 3.986004418e14;
    const double sin_level = std::sin(level);
    Py_BEGIN_ALLOW_THREADS for (npy_intp i = 0; i < n; ++i) {
        const double ti = tt[i];
        const double kf = std::floor(ti / row);
        const npy_intp k = std::isnan(kf) ? 0 : static_cast<npy_intp>(std::clamp(kf, 0.0, static_cast<double>(m - 1)));
        const double w = w_rows[k], angle = w * (ti - row * static_cast<double>(k));
        const double c = std::cos(angle), s = std::sin(angle);
        const double* s0 = s_rows + 3 * k;
        const double* u0 = u_rows + 3 * k;
        const double sx = c * s0[0] - s * s0[1], sy = s * s0[0] + c * s0[1], sz = s0[2];
        const double ux = c * u0[0] - s * u0[1], uy = s * u0[0] + c * u0[1], uz = u0[2];
        const double* ri = rr + 3 * i;
        const double* vi = vv + 3 * i;
        // Relative position and velocity; the station moves at w about z, and so does its vertical.
        const double px = ri[0] - sx, py = ri[1] - sy, pz = ri[2] - sz;
        const double qx = vi[0] + w * sy, qy = vi[1] - w * sx, qz = vi[2];
        const double p = px * ux + py * uy + pz * uz;
        const double q = qx * ux + qy * uy + qz * uz + w * (py * ux - px * uy);  // d(rho.up)/dt
        const double d2 = px * px + py * py + pz * pz;
        const double g = px * qx + py * qy + pz * qz;  // rho.rho_dot
        const double d = std::sqrt(d2);
        const double el = std::asin(p / d);
        // d(el)/dt = (q d^2 - p rho.rho_dot) / (d^2 sqrt(d^2 - p^2))
        const double el_rate = (q * d2 - p * g) / (d2 * std::sqrt(d2 - p * p));
        // rho'' = a - s'' with s'' = -w^2 (sx, sy, 0); p'' = rho''.u + 2 rho'.u' + rho.u''.
        const double r2 = ri[0] * ri[0] + ri[1] * ri[1] + ri[2] * ri[2];
        const double big_r = std::sqrt(r2);
        const double mu = -gm / (r2 * big_r);
        const double ax = mu * ri[0] + w * w * sx, ay = mu * ri[1] + w * w * sy, az = mu * ri[2];
        const double pp = ax * ux + ay * uy + az * uz + 2 * w * (qy * ux - qx * uy) - w * w * (px * ux + py * uy);
        const double gp = qx * qx + qy * qy + qz * qz + px * ax + py * ay + pz * az;
        // h = rho.up - d sin(level): zero exactly where the elevation is the level, and
        // smooth across a whole pass where sin(el) = rho.up / d peaks sharply with 1 / d.
        const double n0 = ri[0] * sx + ri[1] * sy + ri[2] * sz;
        const double site_r = std::sqrt(sx * sx + sy * sy + sz * sz);
        // c = r.s / |r| (|s| is constant) and its first two derivatives, with s' = w z x s.
        const double n1 = vi[0] * sx + vi[1] * sy + vi[2] * sz + w * (ri[1] * sx - ri[0] * sy);
        const double n2 = mu * n0 + 2 * w * (vi[1] * sx - vi[0] * sy) - w * w * (ri[0] * sx + ri[1] * sy);
        const double r1 = (ri[0] * vi[0] + ri[1] * vi[1] + ri[2] * vi[2]) / big_r;
        const double r_2 = (vi[0] * vi[0] + vi[1] * vi[1] + vi[2] * vi[2] + mu * r2) / big_r - r1 * r1 / big_r;
        o[i] = el;
        o[n + i] = el_rate;
        // The second derivative of sin(el) = p/d.
        o[2 * n + i] = pp / d - (2 * q * g + p * gp) / (d2 * d) + 3 * p * g * g / (d2 * d2 * d);
        o[3 * n + i] = p - d * sin_level;
        o[4 * n + i] = q - g / d * sin_level;
        o[5 * n + i] = pp - (gp / d - g * g / (d2 * d)) * sin_level;
        o[6 * n + i] = std::acos(std::clamp(n0 / (big_r * site_r), -1.0, 1.0));
        o[7 * n + i] = n1 / big_r - n0 * r1 / r2;
        o[8 * n + i] = n2 / big_r - (2 * n1 * r1 + n0 * r_2) / r2 + 2 * n0 * r1 * r1 / (r2 * big_r);
    }
    Py_END_ALLOW_THREADS return out.release();
}

// --- the Earth's shadow -------------------------------------------------------------------

// Fraction of the Sun's disc seen from the satellite at r past a spherical
// body of radius Rb at the origin, the Sun of radius Rs being at sun. The
// discs are those of the apparent angular radii, as flat discs of uniform
// brightness: 1 outside the penumbra cone, 0 inside the umbra cone, the
// lens-shaped overlap of two discs between (Montenbruck and Gill, Satellite
// Orbits, 3.4.2). The cone surfaces are where the discs touch: c = a + b
// (penumbra) and c = b - a (umbra). Inside the body the fraction is 0.
double visible_fraction(const double r[3], const double sun[3], double Rb, double Rs) {
    const double s[3] = {sun[0] - r[0], sun[1] - r[1], sun[2] - r[2]};
    const double ds = std::sqrt(s[0] * s[0] + s[1] * s[1] + s[2] * s[2]);
    const double dr = std::sqrt(r[0] * r[0] + r[1] * r[1] + r[2] * r[2]);
    if (std::isnan(ds + dr)) return ds + dr;
    if (dr <= Rb) return 0.0;
    if (ds <= Rs) return std::nan("");    // inside the Sun: no disc to see
    const double a = std::asin(Rs / ds);  // the Sun's apparent radius
    const double b = std::asin(Rb / dr);  // the body's
    // Angle between the directions to the Sun and to the body's centre (-r),
    // from the cross and dot products, accurate at every angle.
    const double cx = -(s[1] * r[2] - s[2] * r[1]), cy = -(s[2] * r[0] - s[0] * r[2]),
                 cz = -(s[0] * r[1] - s[1] * r[0]);
    const double c = std::atan2(std::sqrt(cx * cx + cy * cy + cz * cz), -(s[0] * r[0] + s[1] * r[1] + s[2] * r[2]));
    if (c >= a + b) return 1.0;
    if (c <= b - a) return 0.0;
    if (c <= a - b) return 1.0 - (b * b) / (a * a);  // the body crosses the Sun's disc inside it
    const double x = (c * c + a * a - b * b) / (2.0 * c);
    const double y = std::sqrt(std::max(0.0, a * a - x * x));
    const double hidden =
        a * a * std::acos(std::clamp(x / a, -1.0, 1.0)) + b * b * std::acos(std::clamp((c - x) / b, -1.0, 1.0)) - c * y;
    return std::clamp(1.0 - hidden / (pi * a * a), 0.0, 1.0);
}

struct ShadowArgs {
    Points r, sun;
    double Rb = 0.0, Rs = 0.0;
    npy_intp n = 0;
    bool single = false;
};

bool read_shadow_args(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      ShadowArgs& out) {
    static constexpr const char* names[] = {"r_sat", "r_sun", "body_radius", "sun_radius"};
    const velmar::Signature sig{function, names, 4, 2, 4};
    PyObject* a[4];
    if (!velmar::bind_fastcall(sig, args, nargs, kwnames, a)) return false;
    if (!read_points(a[0], "r_sat", out.r) || !read_points(a[1], "r_sun", out.sun)) return false;
    if (!pair_rows(out.r, "r_sat", out.sun, "r_sun")) return false;
    if (!read_radius(a[2], earth, "body_radius", out.Rb) || !read_radius(a[3], sun, "sun_radius", out.Rs)) return false;
    out.single = out.r.single && out.sun.single;
    out.n = out.r.single ? out.sun.n : out.r.n;
    return true;
}

template <typename Store> void shadow_loop(const ShadowArgs& s, Store store) {
    const double* r = s.r.data();
    const double* q = s.sun.data();
    const npy_intp rstep = s.r.single ? 0 : 3, qstep = s.sun.single ? 0 : 3;
    for (npy_intp i = 0; i < s.n; ++i) store(i, visible_fraction(r + rstep * i, q + qstep * i, s.Rb, s.Rs));
}

PyObject* shadow(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    ShadowArgs s;
    if (!read_shadow_args("shadow", args, nargs, kwnames, s)) return nullptr;
    Ref out = Ref::steal(PyArray_SimpleNew(s.single ? 0 : 1, &s.n, NPY_DOUBLE));
    if (!out) return nullptr;
    double* y = doubles(out);
    Py_BEGIN_ALLOW_THREADS shadow_loop(s, [y](npy_intp i, double f) { y[i] = f; });
    Py_END_ALLOW_THREADS return finish(std::move(out));
}

PyObject* sunlit(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    ShadowArgs s;
    if (!read_shadow_args("sunlit", args, nargs, kwnames, s)) return nullptr;
    Ref out = Ref::steal(PyArray_SimpleNew(s.single ? 0 : 1, &s.n, NPY_BOOL));
    if (!out) return nullptr;
    auto* y = static_cast<npy_bool*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
    Py_BEGIN_ALLOW_THREADS shadow_loop(s, [y](npy_intp i, double f) { y[i] = f > 0.0; });
    Py_END_ALLOW_THREADS return finish(std::move(out));
}

// --- module -------------------------------------------------------------------------------

// The record dtype `name` of velmar.datamodel.structured, checked to be the
// packed float64 records this module writes (a replaced attribute would
// otherwise have the loops write past each row).
PyArray_Descr* import_record(PyObject* structured, const char* name, std::initializer_list<const char*> fields,
                             const char* layout) {
    Ref dtype = Ref::steal(PyObject_GetAttrString(structured, name));
    if (!dtype) return nullptr;
    bool ok = PyArray_DescrCheck(dtype.get());
    if (ok) {
        auto* d = reinterpret_cast<PyArray_Descr*>(dtype.get());
        ok = PyDataType_HASFIELDS(d) && PyDataType_ELSIZE(d) == static_cast<npy_intp>(8 * fields.size()) &&
             PyTuple_GET_SIZE(PyDataType_NAMES(d)) == static_cast<Py_ssize_t>(fields.size());
        Py_ssize_t k = 0;
        for (const char* field : fields) {
            if (!ok) break;
            PyObject* entry = PyDict_GetItemString(PyDataType_FIELDS(d), field);  // borrowed (descr, offset)
            ok = entry && PyTuple_Check(entry) && PyTuple_GET_SIZE(entry) >= 2 &&
                 PyArray_DescrCheck(PyTuple_GET_ITEM(entry, 0)) &&
                 reinterpret_cast<PyArray_Descr*>(PyTuple_GET_ITEM(entry, 0))->type_num == NPY_DOUBLE &&
                 PyArray_ISNBO(reinterpret_cast<PyArray_Descr*>(PyTuple_GET_ITEM(entry, 0))->byteorder) &&
                 PyLong_AsSsize_t(PyTuple_GET_ITEM(entry, 1)) == 8 * k;
            ++k;
        }
    }
    if (!ok) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, velmar::msg::record_layout, name, layout);
        return nullptr;
    }
    return reinterpret_cast<PyArray_Descr*>(dtype.release());
}

PyMethodDef methods[] = {{"itrf_to_geodetic", VELMAR_FASTCALL(itrf_to_geodetic),
                          "itrf_to_geodetic(r, ellipsoid=None)\n--\n\n"
                          "Geodetic latitude, longitude and height of Earth-fixed positions on\n"
                          "`ellipsoid` (WGS84 when None).\n\n"
                          "r: positions in m, shape (3,) or (N, 3). Returns LLA_dtype records\n"
                          "(velmar.datamodel.structured): lat in [-pi/2, pi/2] rad, lon in (-pi, pi]\n"
                          "rad, alt in m above the ellipsoid; one record (a numpy scalar) for (3,).\n\n"
                          "Closed form (Vermeille 2004), exact to the last digits at every distance from\n"
                          "the centre to far beyond the Moon. Within about 43 km of the centre several\n"
                          "normals of the ellipsoid pass through a point; the one to the nearest surface\n"
                          "point is taken (on the equatorial plane there, the sign of z picks the\n"
                          "hemisphere). On the rotation axis lon is 0; the centre is lat = pi/2 (z = +0.0)\n"
                          "or -pi/2 (z = -0.0), alt = -b. NaN in, NaN out."},
                         {"geodetic_to_itrf", VELMAR_FASTCALL(geodetic_to_itrf),
                          "geodetic_to_itrf(lat, lon=None, alt=0.0, ellipsoid=None)\n--\n\n"
                          "Earth-fixed positions (m) of geodetic coordinates on `ellipsoid` (WGS84 when\n"
                          "None).\n\n"
                          "lat, lon in rad and alt in m, numbers or arrays broadcast together; or lat\n"
                          "alone as a record array with fields lat, lon and alt (LLA_dtype, GeoState_dt).\n"
                          "Returns shape (..., 3): (3,) for numbers, (N, 3) for N points. A latitude\n"
                          "outside [-pi/2, pi/2] (degrees given as radians?) raises ValueError."},
                         {"topocentric", VELMAR_FASTCALL(topocentric),
                          "topocentric(r_itrf, v_itrf, station, ellipsoid=None)\n--\n\n"
                          "Azimuth, elevation, range and range rate of Earth-fixed states seen from a\n"
                          "ground station.\n\n"
                          "r_itrf (m) and v_itrf (m/s): ITRF positions and velocities, shape (3,) or\n"
                          "(N, 3); v_itrf may be None. station: an ENU frame, its origin geodetic on\n"
                          "`ellipsoid` (WGS84 when None). Returns AERR_dtype records (azimuth, elevation, range,\n"
                          "range_rate in rad, rad, m, m/s), or AER_dtype records\n"
                          "(velmar.datamodel.structured) when v_itrf is None. Azimuth runs from north\n"
                          "through east in [0, 2 pi); elevation is from the plane normal to the\n"
                          "ellipsoid at the station. Geometric: no refraction, no light time, no\n"
                          "aberration. At zero range, azimuth, elevation and range rate are NaN."},
                         {"sun_position", VELMAR_FASTCALL(sun_position),
                          "sun_position(time)\n--\n\n"
                          "Geocentric position of the Sun (m) in GCRF-aligned axes at each epoch of time\n"
                          "(a Time, or anything Time() accepts): shape (3,) for one epoch, (N, 3).\n\n"
                          "Meeus, Astronomical Algorithms (2nd ed.), ch. 25, low-precision series (mean\n"
                          "longitude, mean anomaly, equation of centre) with the annual aberration, so it\n"
                          "is the direction in which the Sun is seen from the geocentre, turned from the\n"
                          "mean equator and equinox of date to J2000 by the IAU 1976 precession. Good to\n"
                          "0.01 deg in direction from 1950 to 2050 (about 0.003 deg in practice) and to\n"
                          "about 1e-5 in distance."},
                         {"shadow", VELMAR_FASTCALL(shadow),
                          "shadow(r_sat, r_sun, body_radius=None, sun_radius=None)\n--\n\n"
                          "Fraction of the Sun's disc visible from each satellite position: 1 sunlit,\n"
                          "0 in the umbra, between in the penumbra.\n\n"
                          "r_sat and r_sun: positions (m) in the same body-centred axes, shape (3,) or\n"
                          "(N, 3), a single one going with every row of the other. Conical umbra and\n"
                          "penumbra of a spherical body (radius body_radius) and a spherical Sun\n"
                          "(radius sun_radius), read from Earth.Re and Sun.Re when None: the\n"
                          "overlap of the two apparent discs, taken flat and uniformly bright\n"
                          "(Montenbruck and Gill, Satellite Orbits, 3.4.2). 0 inside the body."},
                         {"sunlit", VELMAR_FASTCALL(sunlit),
                          "sunlit(r_sat, r_sun, body_radius=None, sun_radius=None)\n--\n\n"
                          "True where any part of the Sun's disc is visible (shadow(...) > 0): outside\n"
                          "the umbra, so the penumbra counts as sunlit."},
                         {"_look_geometry", VELMAR_FASTCALL(look_geometry),
                          "_look_geometry(t, r, v, site, up, rate, row, level)\n--\n\n"
                          "The look geometry velmar.passes searches on (private)."},
                         {nullptr, nullptr, 0, nullptr}};

// The neighbours' types, all used here (see velmar::TypeBinding). A
// station's origin is read from its C fields, so ENU's layout must match.
const velmar::TypeBinding type_bindings[] = {
    {"velmar.mathtools.ellipsoid.ellipsoid", "Ellipsoid", sizeof(PyObject), &ellipsoid_type},
    {"velmar.frames.frames", "ENU", sizeof(velmar::ENUObject), &enu_type},
    {"velmar.time.time", "Time", sizeof(velmar::time::TimeObject), &time_type},
    {"velmar.bodies.bodies", "Earth", sizeof(PyObject), &earth},
    {"velmar.bodies.bodies", "Sun", sizeof(PyObject), &sun},
};

int exec_geodetic(PyObject* module) {
    if (!velmar::import_numpy() || !velmar::import_types(type_bindings)) return -1;
    if (!(wgs84 = velmar::import_object("velmar.mathtools.ellipsoid.ellipsoid", "WGS84"))) return -1;
    Ref structured = Ref::steal(PyImport_ImportModule("velmar.datamodel.structured"));
    if (!structured) return -1;
    if (!(lla_descr = import_record(structured.get(), "LLA_dtype", {"lat", "lon", "alt"}, "lat, lon, alt (float64)")))
        return -1;
    if (!(aer_descr = import_record(structured.get(), "AER_dtype", {"azimuth", "elevation", "range"},
                                    "azimuth, elevation, range (float64)")))
        return -1;
    Ref fields = Ref::steal(
        Py_BuildValue("[(ss)(ss)(ss)(ss)]", "azimuth", "=f8", "elevation", "=f8", "range", "=f8", "range_rate", "=f8"));
    if (!fields) return -1;
    PyArray_Descr* made = nullptr;
    if (!PyArray_DescrConverter(fields.get(), &made)) return -1;
    aerr_descr = made;
    if (PyModule_AddObjectRef(module, "AERR_dtype", reinterpret_cast<PyObject*>(aerr_descr)) < 0) return -1;
    return 0;
}

}  // namespace

VELMAR_MODULE(geodetic,
              "Geodetic and topocentric coordinates, the Sun's position and the Earth's shadow.\n\n"
              "AERR_dtype: azimuth, elevation, range and range_rate (float64 each; rad, rad, m,\n"
              "m/s): the AER_dtype record of velmar.datamodel.structured with the range rate.",
              methods, exec_geodetic)

// Position and velocity transformations between TEME, ITRF and GCRF.
//
// TEME to ITRF follows the convention used with SGP4 output (Vallado et al.
// 2006): the IAU-82 Greenwich mean sidereal time at UT1, then polar motion
// without the TIO locator s'. ITRF to GCRF is the IAU 2006/2000A CIO-based
// chain: polar motion with s', the Earth rotation angle, and the celestial
// to intermediate matrix from X + dX, Y + dY and s.
//
// The Python side (velmar.frames._orientation) checks the arguments and
// gathers the Earth orientation at every epoch in whole-array calls (EOP,
// pyerfa's xys06a); the rotations run here, one epoch at a time, without the
// interpreter lock. The sidereal angle, the Earth rotation angle, the polar
// motion matrix, s' and the celestial-to-intermediate matrix are the SOFA
// formulas (gmst82, era00, pom00, sp00, c2ixys) written out, so that a
// million epochs need no (N, 3, 3) temporaries; the tests hold them to
// pyerfa's results.
//
// Velocities take the Earth's rotation (rate corrected by the excess length
// of day) into account; the far slower motion of the pole and of the
// precession-nutation (under 1e-4 m/s in low orbit) is left out, as in the
// usual TEME convention.
#define VELMAR_NUMPY_IMPORT
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>

#include "velmar/_native/args.hpp"
#include "velmar/_native/buffer.hpp"
#include "velmar/_native/module.hpp"
#include "velmar/_native/numpy.hpp"
#include "velmar/mathtools/angles.hpp"
#include "velmar/units/units.hpp"

namespace {

using velmar::Ref;

using velmar::two_pi;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
// Arcseconds and seconds of time to radians.
using velmar::units::arcsec;
constexpr double time_second = 7.272205216643039903848712e-5;
constexpr double days_per_century = 36525.0;
// The Earth's nominal rotation rate (rad/s) for a day of 86400 SI seconds.
constexpr double earth_rate = 7.292115146706979e-5;

// Things fetched once at import; the module is loaded once per process.
PyObject* prepare = nullptr;  // velmar.frames._orientation.prepare
PyObject* frame_teme = nullptr;
PyObject* frame_itrf = nullptr;
PyObject* frame_gcrf = nullptr;
double grid_step = 0.0;  // _orientation.GRID_STEP_DAYS

enum class Frame { teme, itrf, gcrf };
// What the Earth orientation must cover (values of _orientation's NONE, TERRESTRIAL, CELESTIAL).
enum Need : long { need_none = 0, need_terrestrial = 1, need_celestial = 2 };

// --- rotations ---------------------------------------------------------------------

struct Mat {
    double m[3][3];
};
struct Vec {
    double x, y, z;
};

constexpr Mat identity() { return Mat{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}}; }

Mat mul(const Mat& a, const Mat& b) {
    Mat c;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) c.m[i][j] = a.m[i][0] * b.m[0][j] + a.m[i][1] * b.m[1][j] + a.m[i][2] * b.m[2][j];
    return c;
}

// The SOFA rotations of the reference frame (iauRx, iauRy, iauRz) applied on
// the left of `r`.
Mat rot_y(double theta, const Mat& r) {
    const double s = std::sin(theta), c = std::cos(theta);
    return mul(Mat{{{c, 0, -s}, {0, 1, 0}, {s, 0, c}}}, r);
}
Mat rot_z(double psi, const Mat& r) {
    const double s = std::sin(psi), c = std::cos(psi);
    return mul(Mat{{{c, s, 0}, {-s, c, 0}, {0, 0, 1}}}, r);
}

Vec apply(const Mat& a, const Vec& v) {
    return {a.m[0][0] * v.x + a.m[0][1] * v.y + a.m[0][2] * v.z, a.m[1][0] * v.x + a.m[1][1] * v.y + a.m[1][2] * v.z,
            a.m[2][0] * v.x + a.m[2][1] * v.y + a.m[2][2] * v.z};
}
Vec apply_transposed(const Mat& a, const Vec& v) {
    return {a.m[0][0] * v.x + a.m[1][0] * v.y + a.m[2][0] * v.z, a.m[0][1] * v.x + a.m[1][1] * v.y + a.m[2][1] * v.z,
            a.m[0][2] * v.x + a.m[1][2] * v.y + a.m[2][2] * v.z};
}

// A rotation of the frame about z by angle (c = cos, s = sin) and its inverse.
Vec spin(double c, double s, const Vec& v) { return {c * v.x + s * v.y, -s * v.x + c * v.y, v.z}; }
Vec unspin(double c, double s, const Vec& v) { return {c * v.x - s * v.y, s * v.x + c * v.y, v.z}; }

double normalise_angle(double a) {
    double w = std::fmod(a, two_pi);
    if (w < 0.0) w += two_pi;
    return w;
}

// Greenwich mean sidereal time, IAU 1982, of the UT1 date J2000 + days +
// fraction (gmst82 with the fraction as the second part of the date).
// fmod(fraction, 1), skipping the library call for the usual fraction in [0, 1), where it is exact.
double day_part(double fraction) { return fraction >= 0.0 && fraction < 1.0 ? fraction : std::fmod(fraction, 1.0); }

double gmst82(double days, double fraction) {
    constexpr double A = 24110.54841 - 43200.0, B = 8640184.812866, C = 0.093104, D = -6.2e-6;
    const double t = (fraction + days) / days_per_century;
    const double f = 86400.0 * day_part(fraction);
    return normalise_angle(time_second * ((A + (B + (C + D * t) * t) * t) + f));
}

// Earth rotation angle, IAU 2000, of the same UT1 date (era00).
double era00(double days, double fraction) {
    const double t = fraction + days;
    const double f = day_part(fraction);
    return normalise_angle(two_pi * (f + 0.7790572732640 + 0.00273781191135448 * t));
}

// Polar motion matrix, ITRS = W * TIRS (pom00): Rx(-yp) Ry(-xp) Rz(sp),
// multiplied out, since it is made once per epoch.
// Cosine and sine of an angle; for the pole's few arcseconds by their series,
// which there agree with the library's to the last bit or the one after it
// (below 2e-5 rad the first omitted terms are under 1e-20 of the result)
// at a fraction of the cost of two calls per epoch.
void cos_sin(double a, double& c, double& s) {
    if (std::fabs(a) < 2e-5) {
        const double a2 = a * a;
        c = 1.0 - 0.5 * a2;
        s = a - a * a2 * (1.0 / 6.0);
        return;
    }
    c = std::cos(a);
    s = std::sin(a);
}

Mat polar_motion(double xp, double yp, double sp) {
    double cx, sx, cy, sy;
    cos_sin(xp, cx, sx);
    cos_sin(yp, cy, sy);
    const Mat w{{{cx, 0.0, sx}, {sx * sy, cy, -sy * cx}, {-sx * cy, sy, cx * cy}}};
    if (sp == 0.0) return w;
    const double c = std::cos(sp), s = std::sin(sp);
    return mul(w, Mat{{{c, s, 0.0}, {-s, c, 0.0}, {0.0, 0.0, 1.0}}});
}

// The TIO locator s' of IAU 2000 at TT Julian centuries since J2000 (sp00).
double tio_locator(double tt_centuries) { return -47e-6 * arcsec * tt_centuries; }

// Celestial to intermediate matrix from the CIP's X, Y and the CIO locator s (c2ixys).
Mat celestial_to_intermediate(double x, double y, double s) {
    const double r2 = x * x + y * y;
    const double e = r2 > 0.0 ? std::atan2(y, x) : 0.0;
    const double d = std::atan(std::sqrt(r2 / (1.0 - r2)));
    return rot_z(-(e + s), rot_y(d, rot_z(e, identity())));
}

// X, Y, s at TT day t from samples every `step` days from `start`, by the
// 8-point Lagrange polynomial around t. NaN where the stencil would leave the
// grid (the grid is laid out to cover every epoch, so this is only a guard).
struct Grid {
    const double* values = nullptr;  // (count, 3)
    npy_intp count = 0;
    double start = 0.0, step = 1.0;

    void at(double t, double out[3]) const {
        constexpr int points = 8;
        const double u = (t - start) / step;
        const double base = std::floor(u) - (points / 2 - 1);
        if (!(base >= 0.0) || base + points > static_cast<double>(count)) {
            out[0] = out[1] = out[2] = nan;
            return;
        }
        const auto k0 = static_cast<npy_intp>(base);
        const double x = u - base;  // position within the stencil, in [3, 4)
        out[0] = out[1] = out[2] = 0.0;
        for (int j = 0; j < points; ++j) {
            double w = 1.0;
            for (int m = 0; m < points; ++m)
                if (m != j) w *= (x - m) / static_cast<double>(j - m);
            const double* row = values + 3 * (k0 + j);
            out[0] += w * row[0];
            out[1] += w * row[1];
            out[2] += w * row[2];
        }
    }
};

// Per-epoch inputs laid out by _orientation.prepare: rows of a (K, N) array.
enum Row { ut1_days, ut1_fraction, pm_x, pm_y, lod, tt_days, dX, dY, cip_x, cip_y, cio_s };

struct Job {
    Frame from, to;
    npy_intp n = 0;
    const double* r_in = nullptr;
    const double* v_in = nullptr;  // may be null
    double* r_out = nullptr;
    double* v_out = nullptr;
    const double* p = nullptr;  // (K, N)
    Grid grid;
    bool use_grid = false;

    double param(Row row, npy_intp i) const { return p[static_cast<npy_intp>(row) * n + i]; }
};

// TEME <-> ITRF at epoch i; `forward` is TEME to ITRF.
void teme_itrf(const Job& job, npy_intp i, Vec& r, Vec& v, bool forward, bool with_v) {
    const double g = gmst82(job.param(ut1_days, i), job.param(ut1_fraction, i));
    const double c = std::cos(g), s = std::sin(g);
    const double w = earth_rate * (1.0 - job.param(lod, i) / 86400.0);
    const Mat W = polar_motion(job.param(pm_x, i), job.param(pm_y, i), 0.0);
    if (forward) {
        const Vec pef = spin(c, s, r);
        if (with_v) {
            const Vec vp = spin(c, s, v);
            v = apply(W, Vec{vp.x + w * pef.y, vp.y - w * pef.x, vp.z});
        }
        r = apply(W, pef);
    } else {
        const Vec pef = apply_transposed(W, r);
        if (with_v) {
            const Vec vp = apply_transposed(W, v);
            v = unspin(c, s, Vec{vp.x - w * pef.y, vp.y + w * pef.x, vp.z});
        }
        r = unspin(c, s, pef);
    }
}

// ITRF <-> GCRF at epoch i; `forward` is ITRF to GCRF.
void itrf_gcrf(const Job& job, npy_intp i, Vec& r, Vec& v, bool forward, bool with_v) {
    const double t = job.param(tt_days, i);
    double xys[3];
    if (job.use_grid) {
        job.grid.at(t, xys);
    } else {
        xys[0] = job.param(cip_x, i);
        xys[1] = job.param(cip_y, i);
        xys[2] = job.param(cio_s, i);
    }
    const Mat C = celestial_to_intermediate(xys[0] + job.param(dX, i), xys[1] + job.param(dY, i), xys[2]);
    const double theta = era00(job.param(ut1_days, i), job.param(ut1_fraction, i));
    const double c = std::cos(theta), s = std::sin(theta);
    const double w = earth_rate * (1.0 - job.param(lod, i) / 86400.0);
    const Mat W = polar_motion(job.param(pm_x, i), job.param(pm_y, i), tio_locator(t / days_per_century));
    if (forward) {
        const Vec tirs = apply_transposed(W, r);
        if (with_v) {
            const Vec vt = apply_transposed(W, v);
            v = apply_transposed(C, unspin(c, s, Vec{vt.x - w * tirs.y, vt.y + w * tirs.x, vt.z}));
        }
        r = apply_transposed(C, unspin(c, s, tirs));
    } else {
        const Vec tirs = spin(c, s, apply(C, r));
        if (with_v) {
            const Vec vt = spin(c, s, apply(C, v));
            v = apply(W, Vec{vt.x + w * tirs.y, vt.y - w * tirs.x, vt.z});
        }
        r = apply(W, tirs);
    }
}

// Every epoch of the job; touches no Python object, so it runs without the lock.
void run(const Job& job) {
    const bool with_v = job.v_in != nullptr;
    for (npy_intp i = 0; i < job.n; ++i) {
        Vec r{job.r_in[3 * i], job.r_in[3 * i + 1], job.r_in[3 * i + 2]};
        Vec v{0.0, 0.0, 0.0};
        if (with_v) v = Vec{job.v_in[3 * i], job.v_in[3 * i + 1], job.v_in[3 * i + 2]};
        // TEME and GCRF both meet ITRF first.
        if (job.from == Frame::teme && job.to != Frame::teme) teme_itrf(job, i, r, v, true, with_v);
        if (job.from == Frame::gcrf && job.to != Frame::gcrf) itrf_gcrf(job, i, r, v, false, with_v);
        if (job.to == Frame::teme && job.from != Frame::teme) teme_itrf(job, i, r, v, false, with_v);
        if (job.to == Frame::gcrf && job.from != Frame::gcrf) itrf_gcrf(job, i, r, v, true, with_v);
        double* ro = job.r_out + 3 * i;
        ro[0] = r.x, ro[1] = r.y, ro[2] = r.z;
        if (with_v) {
            double* vo = job.v_out + 3 * i;
            vo[0] = v.x, vo[1] = v.y, vo[2] = v.z;
        }
    }
}

// --- Earth orientation from the bulletins' interpolators ----------------------------
//
// velmar.iers.eop.EOP evaluates scipy objects (CubicSpline for polar motion,
// LOD and the pole offsets; interp1d, which hands over to numpy.interp, for
// TAI-UT1) through a Python call and a masked copy per quantity, some 10-20
// ms each for a million epochs. _orientation hands their own tables here
// instead, when they are of those exact kinds, and they are evaluated with the
// same arithmetic: scipy's piece search and power sum, numpy.interp's slope
// form, and EOP's rule of NaN (or `fill`) outside the first and last sample.
// The tests hold the results to EOP's, bit for bit.

// Index j of the piece with x[j] <= t < x[j+1] (the last piece when t is the
// last sample), for x[0] <= t <= x[m-1]; `guess` is the previous epoch's
// piece, right or one short for sorted epochs. Whatever x holds, the result
// stays in [0, m-2].
npy_intp piece_of(const velmar::View1D<double>& x, npy_intp m, double t, npy_intp guess) {
    if (guess + 1 < m && x[guess] <= t && t < x[guess + 1]) return guess;
    if (guess + 2 < m && x[guess + 1] <= t && t < x[guess + 2]) return guess + 1;
    npy_intp lo = 0, hi = m - 1;
    while (hi - lo > 1) {
        const npy_intp mid = lo + (hi - lo) / 2;
        if (x[mid] <= t)
            lo = mid;
        else
            hi = mid;
    }
    return lo;
}

// The walk both evaluators share: an epoch outside [x[0], x[m-1]] (or NaN)
// gets `fill` and is counted; any other gets value(j, t) of the piece j that
// holds it. Runs without the interpreter lock: it touches only the views.
template <class Value> npy_intp walk_pieces(const velmar::View1D<double>& x, const velmar::View1D<double>& t,
                                            velmar::View1D<double>& out, double fill, Value value) {
    const npy_intp m = x.size();
    npy_intp outside = 0;
    Py_BEGIN_ALLOW_THREADS const double first = x[0], last = x[m - 1];
    npy_intp j = 0;
    for (npy_intp i = 0; i < t.size(); ++i) {
        const double ti = t[i];
        if (!(ti >= first && ti <= last)) {
            out[i] = fill;
            ++outside;
            continue;
        }
        j = piece_of(x, m, ti, j);
        out[i] = value(j, ti);
    }
    Py_END_ALLOW_THREADS return outside;
}

// Epoch views shared by the evaluators: t read, out written, of one length.
bool epochs_and_out(PyObject* t_obj, PyObject* out_obj, velmar::View1D<double>& t, velmar::View1D<double>& out) {
    if (!t.acquire(t_obj) || !out.acquire(out_obj, true)) return false;
    if (t.size() != out.size()) {
        PyErr_Format(PyExc_ValueError, velmar::msg::transforms_epochs_results, t.size(), out.size());
        return false;
    }
    return true;
}

bool samples_view(PyObject* obj, velmar::View1D<double>& x) {
    if (!x.acquire(obj)) return false;
    if (x.size() < 2) {
        PyErr_Format(PyExc_ValueError, velmar::msg::transforms_two_samples, x.size());
        return false;
    }
    return true;
}

// _cubic_into(x, c, t, out, fill) -> number of epochs outside [x[0], x[-1]]
// (or NaN), which get `fill`; the others the piecewise cubic of breakpoints x
// and coefficients c (4, m-1), highest power first, as scipy's PPoly sums it.
PyObject* py_cubic_into(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"x", "c", "t", "out", "fill"};
    static constexpr velmar::Signature sig{"_cubic_into", names, 5, 5, 5};
    PyObject* a[5];
    if (!velmar::bind_fastcall(sig, args, nargs, kwnames, a)) return nullptr;
    double fill;
    if (!velmar::read_double(a[4], fill)) return nullptr;
    velmar::View1D<double> x, t, out;
    velmar::View2D<double> c;
    if (!samples_view(a[0], x) || !c.acquire(a[1]) || !epochs_and_out(a[2], a[3], t, out)) return nullptr;
    const npy_intp m = x.size();
    if (c.shape(0) != 4 || c.shape(1) != m - 1) {
        PyErr_Format(PyExc_ValueError, velmar::msg::transforms_cubic_shape, c.shape(0), c.shape(1), m);
        return nullptr;
    }
    const npy_intp outside = walk_pieces(x, t, out, fill, [&](npy_intp j, double ti) {
        const double s = ti - x[j];
        const double s2 = s * s;
        return c(3, j) + c(2, j) * s + c(1, j) * s2 + c(0, j) * (s2 * s);
    });
    return PyLong_FromSsize_t(outside);
}

// _linear_into(x, y, t, out) -> number of epochs outside [x[0], x[-1]] (or
// NaN), which get NaN; the others numpy.interp(t, x, y).
PyObject* py_linear_into(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"x", "y", "t", "out"};
    static constexpr velmar::Signature sig{"_linear_into", names, 4, 4, 4};
    PyObject* a[4];
    if (!velmar::bind_fastcall(sig, args, nargs, kwnames, a)) return nullptr;
    velmar::View1D<double> x, y, t, out;
    if (!samples_view(a[0], x) || !y.acquire(a[1]) || !epochs_and_out(a[2], a[3], t, out)) return nullptr;
    const npy_intp m = x.size();
    if (y.size() != m) {
        PyErr_Format(PyExc_ValueError, velmar::msg::transforms_values_samples, y.size(), m);
        return nullptr;
    }
    const npy_intp outside = walk_pieces(x, t, out, nan, [&](npy_intp j, double ti) {
        if (ti == x[m - 1]) return y[m - 1];
        if (x[j] == ti) return y[j];
        const double slope = (y[j + 1] - y[j]) / (x[j + 1] - x[j]);
        double value = slope * (ti - x[j]) + y[j];
        if (std::isnan(value)) {  // numpy.interp's second try, from the right end
            value = slope * (ti - x[j + 1]) + y[j + 1];
            if (std::isnan(value) && y[j] == y[j + 1]) value = y[j];
        }
        return value;
    });
    return PyLong_FromSsize_t(outside);
}

// _ut1_rows(tai_ns, tai_ut1, days, fraction, tt): from the TAI nanoseconds
// since J2000 and TAI-UT1 (s), the whole days, the UT1 day fraction and, when
// tt is not None, the TT days since J2000; numpy's floor divmod and float
// arithmetic, operation for operation. fraction may be tai_ut1 itself: each
// element is read before it is written.
PyObject* py_ut1_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"tai_ns", "tai_ut1", "days", "fraction", "tt"};
    static constexpr velmar::Signature sig{"_ut1_rows", names, 5, 5, 5};
    PyObject* a[5];
    if (!velmar::bind_fastcall(sig, args, nargs, kwnames, a)) return nullptr;
    velmar::View1D<std::int64_t> ns;
    velmar::View1D<double> tai_ut1, days, fraction, tt;
    if (!ns.acquire(a[0]) || !epochs_and_out(a[1], a[2], tai_ut1, days) || !fraction.acquire(a[3], true) ||
        (a[4] != Py_None && !tt.acquire(a[4], true)))
        return nullptr;
    const npy_intp n = ns.size();
    if (tai_ut1.size() != n || fraction.size() != n || (tt.held() && tt.size() != n)) {
        PyErr_SetString(PyExc_ValueError, velmar::msg::transforms_ut1_rows_lengths);
        return nullptr;
    }
    constexpr std::int64_t ns_per_day = 86'400'000'000'000;
    Py_BEGIN_ALLOW_THREADS for (npy_intp i = 0; i < n; ++i) {
        std::int64_t d = ns[i] / ns_per_day, rest = ns[i] % ns_per_day;
        if (rest < 0) rest += ns_per_day, --d;
        const double seconds = static_cast<double>(rest) * 1e-9;
        days[i] = static_cast<double>(d);
        const double offset = tai_ut1[i];
        fraction[i] = (seconds - offset) / 86400.0;
        if (tt.held()) tt[i] = static_cast<double>(d) + (seconds + 32.184) / 86400.0;
    }
    Py_END_ALLOW_THREADS Py_RETURN_NONE;
}

// --- binding -----------------------------------------------------------------------

// An array handed back by prepare: float64 of the given shape (any number of
// rows when rows < 0), C-contiguous unless `any_layout`. prepare makes fresh
// arrays, but it is Python, so its results are checked.
bool check_array(PyObject* obj, npy_intp rows, npy_intp cols, const char* what, bool any_layout = false) {
    if (!PyArray_Check(obj)) {
        PyErr_Format(PyExc_SystemError, velmar::msg::transforms_not_array, what);
        return false;
    }
    auto* a = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_TYPE(a) != NPY_DOUBLE || PyArray_NDIM(a) != 2 || !(any_layout || PyArray_IS_C_CONTIGUOUS(a)) ||
        (rows >= 0 && PyArray_DIM(a, 0) != rows) || PyArray_DIM(a, 1) != cols) {
        PyErr_Format(PyExc_SystemError, velmar::msg::transforms_wrong_layout, what);
        return false;
    }
    return true;
}

// Positions or velocities handed back by prepare: float64 (rows, 3) of any layout.
bool check_vectors(PyObject* obj, npy_intp rows, const char* what) { return check_array(obj, rows, 3, what, true); }

const double* data_of(PyObject* obj) {
    return static_cast<const double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(obj)));
}

Need need_of(Frame from, Frame to) {
    if (from == to) return need_none;
    if (from == Frame::gcrf || to == Frame::gcrf) return need_celestial;
    return need_terrestrial;
}

// Shared body of every public function: prepare, run, shape the result.
PyObject* transform_arrays(PyObject* time, PyObject* r, PyObject* v, PyObject* eop, Frame from, Frame to) {
    const Need need = need_of(from, to);
    Ref need_obj = Ref::steal(PyLong_FromLong(need));
    if (!need_obj) return nullptr;
    Ref prepared = Ref::steal(
        PyObject_CallFunctionObjArgs(prepare, time, r, v ? v : Py_None, eop ? eop : Py_None, need_obj.get(), nullptr));
    if (!prepared) return nullptr;
    if (!PyTuple_Check(prepared.get()) || PyTuple_GET_SIZE(prepared.get()) != 6) {
        PyErr_SetString(PyExc_SystemError, velmar::msg::transforms_prepare_result);
        return nullptr;
    }
    PyObject* flat_obj = PyTuple_GET_ITEM(prepared.get(), 0);
    PyObject* r_arr = PyTuple_GET_ITEM(prepared.get(), 1);
    PyObject* v_arr = PyTuple_GET_ITEM(prepared.get(), 2);
    PyObject* params = PyTuple_GET_ITEM(prepared.get(), 3);
    PyObject* grid = PyTuple_GET_ITEM(prepared.get(), 4);
    const int flat = PyObject_IsTrue(flat_obj);
    if (flat < 0) return nullptr;
    double grid_start;
    if (!velmar::read_double(PyTuple_GET_ITEM(prepared.get(), 5), grid_start)) return nullptr;

    if (!check_vectors(r_arr, -1, "r")) return nullptr;
    Job job;
    job.from = from;
    job.to = to;
    job.n = PyArray_DIM(reinterpret_cast<PyArrayObject*>(r_arr), 0);
    const npy_intp rows_needed = need == need_none ? 0 : need == need_terrestrial ? 5 : 11;
    if (v_arr != Py_None && !check_vectors(v_arr, job.n, "v")) return nullptr;
    if (!check_array(params, rows_needed, job.n, "the Earth orientation")) return nullptr;
    if (grid != Py_None) {
        if (need != need_celestial || !check_array(grid, -1, 3, "the X, Y, s grid")) return nullptr;
        job.use_grid = true;
        job.grid.values = data_of(grid);
        job.grid.count = PyArray_DIM(reinterpret_cast<PyArrayObject*>(grid), 0);
        job.grid.start = grid_start;
        job.grid.step = grid_step;
    }

    // The inputs may be the caller's arrays: they are copied into the
    // results while the lock is held, and the loop then works on the results
    // in place (each epoch is read whole before it is written), so nothing
    // the caller's threads do can reach it.
    const npy_intp shape[2] = {job.n, 3};
    Ref r_out = Ref::steal(velmar::new_double_array(2, shape));
    if (!r_out ||
        PyArray_CopyInto(reinterpret_cast<PyArrayObject*>(r_out.get()), reinterpret_cast<PyArrayObject*>(r_arr)) < 0)
        return nullptr;
    Ref v_out;
    if (v_arr != Py_None) {
        v_out = Ref::steal(velmar::new_double_array(2, shape));
        if (!v_out || PyArray_CopyInto(reinterpret_cast<PyArrayObject*>(v_out.get()),
                                       reinterpret_cast<PyArrayObject*>(v_arr)) < 0)
            return nullptr;
    }
    job.r_in = data_of(r_out.get());
    job.v_in = v_out ? data_of(v_out.get()) : nullptr;
    job.r_out = const_cast<double*>(data_of(r_out.get()));
    job.v_out = v_out ? const_cast<double*>(data_of(v_out.get())) : nullptr;
    job.p = data_of(params);

    Py_BEGIN_ALLOW_THREADS run(job);
    Py_END_ALLOW_THREADS

        if (flat) {
        // One epoch given as (3,) vectors gets (3,) vectors back.
        npy_intp flat_shape[1] = {3};
        PyArray_Dims dims{flat_shape, 1};
        r_out = Ref::steal(PyArray_Newshape(reinterpret_cast<PyArrayObject*>(r_out.get()), &dims, NPY_CORDER));
        if (!r_out) return nullptr;
        if (v_out) {
            v_out = Ref::steal(PyArray_Newshape(reinterpret_cast<PyArrayObject*>(v_out.get()), &dims, NPY_CORDER));
            if (!v_out) return nullptr;
        }
    }
    if (!v_out) v_out = Ref::borrow(Py_None);
    return PyTuple_Pack(2, r_out.get(), v_out.get());
}

PyObject* public_transform(const char* name, Frame from, Frame to, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    static constexpr const char* names[] = {"time", "r", "v", "eop"};
    const velmar::Signature sig{name, names, 4, 2, 4};
    PyObject* a[4];
    if (!velmar::bind_fastcall(sig, args, nargs, kwnames, a)) return nullptr;
    return transform_arrays(a[0], a[1], a[2], a[3], from, to);
}

#define VELMAR_TRANSFORM(NAME, FROM, TO)                                                         \
    PyObject* py_##NAME(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) { \
        return public_transform(#NAME, Frame::FROM, Frame::TO, args, nargs, kwnames);            \
    }
VELMAR_TRANSFORM(teme_to_itrf, teme, itrf)
VELMAR_TRANSFORM(itrf_to_teme, itrf, teme)
VELMAR_TRANSFORM(itrf_to_gcrf, itrf, gcrf)
VELMAR_TRANSFORM(gcrf_to_itrf, gcrf, itrf)
#undef VELMAR_TRANSFORM

bool frame_of(PyObject* obj, const char* argname, Frame& out) {
    if (obj == frame_teme)
        out = Frame::teme;
    else if (obj == frame_itrf)
        out = Frame::itrf;
    else if (obj == frame_gcrf)
        out = Frame::gcrf;
    else {
        PyErr_Format(PyExc_ValueError, velmar::msg::transform_frame, argname, obj);
        return false;
    }
    return true;
}

PyObject* py_transform(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"time", "r", "v", "from_frame", "to_frame", "eop"};
    static constexpr velmar::Signature sig{"transform", names, 6, 5, 6};
    PyObject* a[6];
    if (!velmar::bind_fastcall(sig, args, nargs, kwnames, a)) return nullptr;
    Frame from, to;
    if (!frame_of(a[3], "from_frame", from) || !frame_of(a[4], "to_frame", to)) return nullptr;
    return transform_arrays(a[0], a[1], a[2] == Py_None ? nullptr : a[2], a[5], from, to);
}

#define VELMAR_DOC_PAIR(NAME, FROM, TO)                                                                       \
    #NAME                                                                                                     \
        "($module, time, r, v=None, eop=None)\n--\n\n"                                                        \
        "Positions r (m) and optionally velocities v (m/s) in " FROM " at the epochs `time`, in " TO          \
        ".\n\n"                                                                                               \
        "time is a velmar Time of N epochs with r, v of shape (N, 3), or one epoch with r, v of shape (3,)\n" \
        "(or (N, 3), all at that epoch). eop is None for velmar's bulletins (velmar.iers.eop.EOP) or an\n"    \
        "EOPValues. Returns (r, v) as new arrays, v None when not given. Epochs outside the Earth\n"          \
        "orientation data give NaN rows and one RuntimeWarning naming the data's span."

PyMethodDef methods[] = {
    {"teme_to_itrf", VELMAR_FASTCALL(py_teme_to_itrf), VELMAR_DOC_PAIR(teme_to_itrf, "TEME", "ITRF")},
    {"itrf_to_teme", VELMAR_FASTCALL(py_itrf_to_teme), VELMAR_DOC_PAIR(itrf_to_teme, "ITRF", "TEME")},
    {"itrf_to_gcrf", VELMAR_FASTCALL(py_itrf_to_gcrf), VELMAR_DOC_PAIR(itrf_to_gcrf, "ITRF", "GCRF")},
    {"gcrf_to_itrf", VELMAR_FASTCALL(py_gcrf_to_itrf), VELMAR_DOC_PAIR(gcrf_to_itrf, "GCRF", "ITRF")},
    {"transform", VELMAR_FASTCALL(py_transform),
     "transform($module, time, r, v, from_frame, to_frame, eop=None)\n--\n\n"
     "Positions r (m) and velocities v (m/s, or None) from one of TEME, ITRF, GCRF to another,\n"
     "through ITRF. Same arguments and result as teme_to_itrf; the same frame twice gives copies."},
    {"_cubic_into", VELMAR_FASTCALL(py_cubic_into),
     "_cubic_into($module, x, c, t, out, fill)\n--\n\n"
     "Piecewise cubic (breakpoints x, coefficients c (4, m-1)) at t into out, `fill` outside x[0]..x[-1];\n"
     "returns how many epochs were outside. For velmar.frames._orientation."},
    {"_linear_into", VELMAR_FASTCALL(py_linear_into),
     "_linear_into($module, x, y, t, out)\n--\n\n"
     "numpy.interp(t, x, y) into out, NaN outside x[0]..x[-1]; returns how many epochs were outside."},
    {"_ut1_rows", VELMAR_FASTCALL(py_ut1_rows),
     "_ut1_rows($module, tai_ns, tai_ut1, days, fraction, tt)\n--\n\n"
     "Whole days, UT1 day fraction and (tt not None) TT days since J2000 from TAI ns and TAI-UT1."},
    {nullptr, nullptr, 0, nullptr}};

bool fetch(const char* module_name, const char* attr, PyObject*& out) {
    Ref module = Ref::steal(PyImport_ImportModule(module_name));
    if (!module) return false;
    out = PyObject_GetAttrString(module.get(), attr);
    return out != nullptr;
}

int exec_transforms(PyObject* module) {
    if (!velmar::import_numpy()) return -1;
    if (!fetch("velmar.frames._orientation", "prepare", prepare) ||
        !fetch("velmar.frames.frames", "TEME", frame_teme) || !fetch("velmar.frames.frames", "ITRF", frame_itrf) ||
        !fetch("velmar.frames.frames", "GCRF", frame_gcrf))
        return -1;
    PyObject* step = nullptr;
    if (!fetch("velmar.frames._orientation", "GRID_STEP_DAYS", step)) return -1;
    const bool read = velmar::read_double(step, grid_step);
    Py_DECREF(step);
    if (!read) return -1;
    PyObject* eop_values = nullptr;
    if (!fetch("velmar.frames._orientation", "EOPValues", eop_values)) return -1;
    Ref values = Ref::steal(eop_values);
    Ref module_name = Ref::steal(PyUnicode_FromString("velmar.frames.transforms"));
    if (!module_name || PyObject_SetAttrString(values.get(), "__module__", module_name.get()) < 0) return -1;
    return PyModule_AddObjectRef(module, "EOPValues", values.get());
}

}  // namespace

VELMAR_MODULE(transforms,
              "Position and velocity transformations between TEME, ITRF and GCRF, with Earth orientation\n"
              "from velmar's EOP or given explicitly (EOPValues).",
              methods, exec_transforms)

// Earth orientation parameters and time-scale offsets at given epochs,
// interpolated from the IERS Bulletin A and C tables.
//
// EOP is a plain Python class (instances keep a __dict__, users may add to
// them); only its methods and property getters are native. The interpolators
// are class attributes built on first use and shared by every instance, so a
// spline over the ~20,000 daily samples is fitted once per process. They are
// always read and written through the module's own name `EOP`, so that every
// subclass shares the one cache, and assigned only once they exist, so that a
// failed build leaves None behind and the next access tries again.
//
// An interpolator answers only between the first and the last sample it was
// fitted on: a spline extrapolated a year past its data gives polar motion of
// radians, so outside that span a quantity is NaN (TAI-UTC excepted, see
// dat). Inside it the interpolator's own values are returned untouched.
#define VELMAR_NUMPY_IMPORT
#include <cmath>
#include <limits>
#include <vector>

#include "velmar/_native/args.hpp"
#include "velmar/_native/buffer.hpp"
#include "velmar/_native/function.hpp"
#include "velmar/_native/module.hpp"
#include "velmar/_native/numpy.hpp"

namespace {

using velmar::Ref;

// TT - TAI, exact by definition.
constexpr double tt_minus_tai = 32.184;

// Interned names and constants, made once at import. The module can only be
// loaded once per process, so plain statics are safe.
struct Names {
    PyObject* EOP;
    PyObject* numpy;
    PyObject* CubicSpline;
    PyObject* interp1d;
    PyObject* BulletinA;
    PyObject* BulletinC;
    PyObject* isnan;
    PyObject* mjd_utc;
    PyObject* mjd_ut1;
    PyObject* pm_x;
    PyObject* pm_y;
    PyObject* lod;
    PyObject* dX_IAU2000A;
    PyObject* dY_IAU2000A;
    PyObject* dut;
    PyObject* dat;
    PyObject* TAI_UT1;
    PyObject* x;
    PyObject* previous;
    PyObject* linear;
    PyObject* extrapolate;
    PyObject* step_keywords;    // ("kind", "assume_sorted", "fill_value")
    PyObject* linear_keywords;  // ("kind", "assume_sorted")
    PyObject* tt_minus_tai;
};
Names names{};

// Borrowed: every function object of the module holds its type, and the type
// holds the module, so the module outlives any call that could use this.
PyObject* eop_module = nullptr;

enum Slot {
    pm_x_spline,
    pm_y_spline,
    lod_spline,
    dX_spline,
    dY_spline,
    dat_interpolator,
    TAI_UT1_interpolator,
    dat_mjd_ut1_interpolator,
    TAI_UT1_mjd_ut1_interpolator,
    slot_count
};

struct SlotInfo {
    const char* name;
    const char* annotation;
};

constexpr SlotInfo slot_info[slot_count] = {
    {"_pm_x_spline", "CubicSpline | None"},
    {"_pm_y_spline", "CubicSpline | None"},
    {"_lod_spline", "CubicSpline | None"},
    {"_dX_spline", "CubicSpline | None"},
    {"_dY_spline", "CubicSpline | None"},
    {"_dat_interpolator", "Callable | None"},
    {"_TAI_UT1_interpolator", "Callable | None"},
    {"_dat_mjd_ut1_interpolator", "Callable | None"},
    {"_TAI_UT1_mjd_ut1_interpolator", "Callable | None"},
};
PyObject* slot_names[slot_count] = {};

// ------------------------------------------------------------------ helpers

PyObject* module_global(PyObject* name) { return PyObject_GetAttr(eop_module, name); }

// `attribute` of a fresh, argument-less construction of the bulletin class
// currently bound to `bulletin` in the module (tests and users may rebind it).
PyObject* read_new_bulletin(PyObject* bulletin, PyObject* attribute) {
    Ref cls = Ref::steal(module_global(bulletin));
    if (!cls) return nullptr;
    Ref object = Ref::steal(PyObject_CallNoArgs(cls.get()));
    if (!object) return nullptr;
    return PyObject_GetAttr(object.get(), attribute);
}

PyObject* cubic_spline(PyObject* x, PyObject* y) {
    Ref fit = Ref::steal(module_global(names.CubicSpline));
    if (!fit) return nullptr;
    PyObject* args[] = {x, y};
    return PyObject_Vectorcall(fit.get(), args, 2, nullptr);
}

// interp1d(x, y, kind="previous", assume_sorted=True, fill_value="extrapolate")
PyObject* step_function(PyObject* x, PyObject* y) {
    Ref make = Ref::steal(module_global(names.interp1d));
    if (!make) return nullptr;
    PyObject* args[] = {x, y, names.previous, Py_True, names.extrapolate};
    return PyObject_Vectorcall(make.get(), args, 2, names.step_keywords);
}

// interp1d(x, y, kind="linear", assume_sorted=True): no fill value, so an
// epoch outside the samples raises rather than extrapolating an offset (the
// quantities never hand it one: they are NaN there, see evaluate_in_span).
PyObject* linear_function(PyObject* x, PyObject* y) {
    Ref make = Ref::steal(module_global(names.interp1d));
    if (!make) return nullptr;
    PyObject* args[] = {x, y, names.linear, Py_True};
    return PyObject_Vectorcall(make.get(), args, 2, names.linear_keywords);
}

// The slot's value evaluated at `epochs`, read from the class through the
// module name. Used while building, at the bulletins' own epochs.
PyObject* evaluate_slot(Slot slot, PyObject* epochs) {
    Ref cls = Ref::steal(module_global(names.EOP));
    if (!cls) return nullptr;
    Ref interpolator = Ref::steal(PyObject_GetAttr(cls.get(), slot_names[slot]));
    if (!interpolator) return nullptr;
    return PyObject_CallOneArg(interpolator.get(), epochs);
}

// What a quantity gives at an epoch outside [first, last] sample epoch of its
// interpolator. A NaN epoch is outside every span and gives NaN.
enum class Outside {
    nan,        // NaN before and after the samples
    hold_ends,  // TAI-UTC: the first value before the first step, the last after the last
};

// Epochs: an ndarray (or subclass) viewable as one-dimensional float64. None
// is refused with one message, by the constructor and by every quantity of an
// instance whose epochs were rebound to None.
bool require_epochs(PyObject* value, const char* argname, const char* scale, velmar::View1D<double>& view) {
    if (value == Py_None) {
        PyErr_Format(PyExc_TypeError, velmar::msg::eop_epochs_none, argname, scale);
        return false;
    }
    return velmar::require_instance(value, &PyArray_Type, argname, false) && view.acquire(value);
}

// Whether every epoch lies in [first, last] (NaN does not). Most calls ask
// about epochs that all do, and this walk, about 1 ns an epoch, is all that
// masking costs them.
bool all_within(const velmar::View1D<double>& t, double first, double last) {
    for (Py_ssize_t i = 0; i < t.size(); ++i)
        if (!(t[i] >= first && t[i] <= last)) return false;
    return true;
}

// First and last sample epoch of an interpolator, from its `x` (CubicSpline
// and interp1d both keep their sample epochs there). A callable without `x`
// was put in the slot by hand and answers for its own range: `known` is false.
bool sample_span(PyObject* interpolator, bool& known, double& first, double& last) {
    known = false;
    Ref x = Ref::steal(PyObject_GetAttr(interpolator, names.x));
    if (!x) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    velmar::View1D<double> samples;
    if (!samples.acquire(x.get())) return false;
    if (samples.size() == 0) return true;
    first = samples[0];
    last = samples[samples.size() - 1];
    known = true;
    return true;
}

// `interpolator` (the value of `slot`) at `epochs` (checked by
// require_epochs), masked outside its samples. When every epoch lies inside,
// the interpolator's own result is returned. Otherwise the outside epochs are
// replaced by the first sample epoch before the call (the linear
// interpolators raise beyond their samples, and one such epoch must not fail
// the whole array) and set in a copy of the result afterwards. The
// interpolators work epoch by epoch, so the epochs inside get the same values
// either way.
PyObject* evaluate_in_span(Slot slot, PyObject* interpolator, PyObject* epochs, Outside outside) {
    bool known;
    double first = 0.0, last = 0.0;
    if (!sample_span(interpolator, known, first, last)) return nullptr;
    if (!known) return PyObject_CallOneArg(interpolator, epochs);

    // After its last step TAI-UTC keeps its last value, which the step
    // function gives itself; only earlier and NaN epochs need a hand.
    const bool upper = outside == Outside::nan;
    {
        velmar::View1D<double> t;
        if (!t.acquire(epochs)) return nullptr;
        if (all_within(t, first, upper ? last : std::numeric_limits<double>::infinity())) {
            t.release();
            return PyObject_CallOneArg(interpolator, epochs);
        }
    }
    // The stand-in epochs are of the caller's array class, so the
    // interpolator takes or refuses them as it does the caller's (scipy
    // refuses masked arrays). Making one may run the subclass's Python code,
    // so no view is held across it.
    if (!PyArray_Check(epochs)) {  // checked before, but its class may have been reassigned since
        PyErr_Format(PyExc_RuntimeError, velmar::msg::eop_epochs_changed, slot_names[slot]);
        return nullptr;
    }
    Ref safe_epochs = Ref::steal(PyArray_NewLikeArray(reinterpret_cast<PyArrayObject*>(epochs), NPY_CORDER,
                                                      PyArray_DescrFromType(NPY_DOUBLE), 1));
    if (!safe_epochs) return nullptr;
    // Which epochs are outside, noted while the epochs are viewed, so that
    // nothing the call does to the caller's array afterwards matters.
    std::vector<bool> nan_at;
    Py_ssize_t n;
    {
        velmar::View1D<double> t, safe;
        if (!t.acquire(epochs) || !safe.acquire(safe_epochs.get(), true)) return nullptr;
        n = t.size();
        if (safe.size() != n) {
            PyErr_Format(PyExc_RuntimeError, velmar::msg::eop_epochs_changed, slot_names[slot]);
            return nullptr;
        }
        nan_at.assign(static_cast<std::size_t>(n), false);
        for (Py_ssize_t k = 0; k < n; ++k) {
            const double value = t[k];
            const bool in = value >= first && !(upper && value > last);
            // Before the first step TAI-UTC holds its first value: the value at `first`.
            safe[k] = in ? value : first;
            nan_at[static_cast<std::size_t>(k)] = !in && (upper || std::isnan(value));
        }
    }
    Ref values = Ref::steal(PyObject_CallOneArg(interpolator, safe_epochs.get()));
    if (!values) return nullptr;
    Ref result = Ref::steal(PyArray_FROMANY(values.get(), NPY_DOUBLE, 1, 1, NPY_ARRAY_CARRAY | NPY_ARRAY_ENSURECOPY));
    if (!result) return nullptr;
    auto* array = reinterpret_cast<PyArrayObject*>(result.get());
    if (PyArray_SIZE(array) != n) {
        PyErr_Format(PyExc_ValueError, velmar::msg::eop_result_size, slot_names[slot],
                     static_cast<Py_ssize_t>(PyArray_SIZE(array)), n);
        return nullptr;
    }
    double* out = static_cast<double*>(PyArray_DATA(array));
    for (Py_ssize_t k = 0; k < n; ++k)
        if (nan_at[static_cast<std::size_t>(k)]) out[k] = std::numeric_limits<double>::quiet_NaN();
    return result.release();
}

// ------------------------------------------------------------------ recipes

// Bulletin A column `column` against MJD(UTC); with `drop_nan` only the
// samples where the column holds a number (LOD and the pole offsets end
// before the table does).
PyObject* build_spline(PyObject* column, bool drop_nan) {
    Ref x = Ref::steal(read_new_bulletin(names.BulletinA, names.mjd_utc));
    if (!x) return nullptr;
    Ref y = Ref::steal(read_new_bulletin(names.BulletinA, column));
    if (!y) return nullptr;
    if (!drop_nan) return cubic_spline(x.get(), y.get());
    Ref numpy = Ref::steal(module_global(names.numpy));
    if (!numpy) return nullptr;
    Ref isnan = Ref::steal(PyObject_GetAttr(numpy.get(), names.isnan));
    if (!isnan) return nullptr;
    Ref missing = Ref::steal(PyObject_CallOneArg(isnan.get(), y.get()));
    if (!missing) return nullptr;
    Ref select = Ref::steal(PyNumber_Invert(missing.get()));
    if (!select) return nullptr;
    Ref x_given = Ref::steal(PyObject_GetItem(x.get(), select.get()));
    if (!x_given) return nullptr;
    Ref y_given = Ref::steal(PyObject_GetItem(y.get(), select.get()));
    if (!y_given) return nullptr;
    return cubic_spline(x_given.get(), y_given.get());
}

PyObject* build_dat(PyObject*) {
    Ref x = Ref::steal(read_new_bulletin(names.BulletinC, names.mjd_utc));
    if (!x) return nullptr;
    Ref y = Ref::steal(read_new_bulletin(names.BulletinC, names.dat));
    if (!y) return nullptr;
    return step_function(x.get(), y.get());
}

// TAI-UT1 is continuous across a leap second while UT1-UTC jumps, so it is
// TAI-UT1 that is interpolated between the Bulletin A samples.
PyObject* build_TAI_UT1(PyObject* self) {
    Ref x = Ref::steal(read_new_bulletin(names.BulletinA, names.mjd_utc));
    if (!x) return nullptr;
    Ref dat = Ref::steal(PyObject_GetAttr(self, names.dat));  // fills the TAI-UTC slot
    if (!dat) return nullptr;
    Ref d = Ref::steal(evaluate_slot(dat_interpolator, x.get()));
    if (!d) return nullptr;
    Ref dut = Ref::steal(read_new_bulletin(names.BulletinA, names.dut));
    if (!dut) return nullptr;
    Ref y = Ref::steal(PyNumber_Subtract(d.get(), dut.get()));
    if (!y) return nullptr;
    return linear_function(x.get(), y.get());
}

PyObject* build_dat_mjd_ut1(PyObject*) {
    Ref cls = Ref::steal(module_global(names.BulletinC));
    if (!cls) return nullptr;
    Ref c = Ref::steal(PyObject_CallNoArgs(cls.get()));
    if (!c) return nullptr;
    Ref x = Ref::steal(PyObject_GetAttr(c.get(), names.mjd_ut1));
    if (!x) return nullptr;
    Ref y = Ref::steal(PyObject_GetAttr(c.get(), names.dat));
    if (!y) return nullptr;
    return step_function(x.get(), y.get());
}

PyObject* build_TAI_UT1_mjd_ut1(PyObject*) {
    Ref cls = Ref::steal(module_global(names.BulletinA));
    if (!cls) return nullptr;
    Ref a = Ref::steal(PyObject_CallNoArgs(cls.get()));
    if (!a) return nullptr;
    Ref x = Ref::steal(PyObject_GetAttr(a.get(), names.mjd_ut1));
    if (!x) return nullptr;
    Ref d = Ref::steal(evaluate_slot(dat_mjd_ut1_interpolator, x.get()));
    if (!d) return nullptr;
    Ref dut = Ref::steal(PyObject_GetAttr(a.get(), names.dut));
    if (!dut) return nullptr;
    Ref y = Ref::steal(PyNumber_Subtract(d.get(), dut.get()));
    if (!y) return nullptr;
    return linear_function(x.get(), y.get());
}

PyObject* build(Slot slot, PyObject* self) {
    switch (slot) {
        case pm_x_spline: return build_spline(names.pm_x, false);
        case pm_y_spline: return build_spline(names.pm_y, false);
        case lod_spline: return build_spline(names.lod, true);
        case dX_spline: return build_spline(names.dX_IAU2000A, true);
        case dY_spline: return build_spline(names.dY_IAU2000A, true);
        case dat_interpolator: return build_dat(self);
        case TAI_UT1_interpolator: return build_TAI_UT1(self);
        case dat_mjd_ut1_interpolator: return build_dat_mjd_ut1(self);
        case TAI_UT1_mjd_ut1_interpolator: return build_TAI_UT1_mjd_ut1(self);
        case slot_count: break;
    }
    PyErr_SetString(PyExc_SystemError, velmar::msg::eop_unknown_slot);
    return nullptr;
}

// Fill the slot if it is None. The class attribute is assigned only once the
// interpolator exists, so a build that raises leaves None.
bool ensure_slot(PyObject* cls, Slot slot, PyObject* self) {
    Ref current = Ref::steal(PyObject_GetAttr(cls, slot_names[slot]));
    if (!current) return false;
    if (current.get() != Py_None) return true;
    Ref built = Ref::steal(build(slot, self));
    return built && PyObject_SetAttr(cls, slot_names[slot], built.get()) == 0;
}

// Quantity of `self` through the slot: build on first use, then evaluate at
// the instance's epochs as they are now, masked outside the samples.
PyObject* slot_quantity(PyObject* self, Slot slot) {
    Ref epochs = Ref::steal(PyObject_GetAttr(self, names.mjd_utc));
    if (!epochs) return nullptr;
    {
        velmar::View1D<double> view;  // checks only
        if (!require_epochs(epochs.get(), "mjd_utc", "UTC", view)) return nullptr;
    }
    Ref cls = Ref::steal(module_global(names.EOP));
    if (!cls || !ensure_slot(cls.get(), slot, self)) return nullptr;
    Ref interpolator = Ref::steal(PyObject_GetAttr(cls.get(), slot_names[slot]));
    if (!interpolator) return nullptr;
    return evaluate_in_span(slot, interpolator.get(), epochs.get(),
                            slot == dat_interpolator ? Outside::hold_ends : Outside::nan);
}

// ------------------------------------------------------------------ methods

PyObject* init(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* params[] = {"self", "mjd_utc"};
    static constexpr velmar::Signature sig{"__init__", params, 2, 2, 2};
    PyObject* a[2];
    if (!velmar::bind_fastcall(sig, args, nargs, kwnames, a)) return nullptr;
    {
        velmar::View1D<double> view;  // checks only; released at once
        if (!require_epochs(a[1], "mjd_utc", "UTC", view)) return nullptr;
    }
    if (PyObject_SetAttr(a[0], names.mjd_utc, a[1]) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* get_TT_UT1_from_mjd_ut1(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* params[] = {"cls", "mjd_ut1"};
    static constexpr velmar::Signature sig{"get_TT_UT1_from_mjd_ut1", params, 2, 2, 2};
    PyObject* a[2];
    if (!velmar::bind_fastcall(sig, args, nargs, kwnames, a)) return nullptr;
    {
        velmar::View1D<double> view;  // checks only; evaluate_in_span views the epochs itself
        if (!require_epochs(a[1], "mjd_ut1", "UT1", view)) return nullptr;
    }
    // The class through the module name, not `cls`: subclasses share the cache.
    Ref cls = Ref::steal(module_global(names.EOP));
    if (!cls) return nullptr;
    if (!ensure_slot(cls.get(), dat_mjd_ut1_interpolator, nullptr)) return nullptr;
    if (!ensure_slot(cls.get(), TAI_UT1_mjd_ut1_interpolator, nullptr)) return nullptr;
    Ref interpolator = Ref::steal(PyObject_GetAttr(cls.get(), slot_names[TAI_UT1_mjd_ut1_interpolator]));
    if (!interpolator) return nullptr;
    Ref tai_ut1 = Ref::steal(evaluate_in_span(TAI_UT1_mjd_ut1_interpolator, interpolator.get(), a[1], Outside::nan));
    if (!tai_ut1) return nullptr;
    return PyNumber_Add(tai_ut1.get(), names.tt_minus_tai);
}

// ------------------------------------------------------------------ properties

bool bind_self(const char* getter, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject*& self) {
    static constexpr const char* params[] = {"self"};
    const velmar::Signature sig{getter, params, 1, 1, 1};
    return velmar::bind_fastcall(sig, args, nargs, kwnames, &self);
}

template <Slot slot> PyObject* slot_getter(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* getters[] = {"pm_x", "pm_y", "lod", "dX", "dY", "dat", "TAI_UT1"};
    PyObject* self;
    if (!bind_self(getters[slot], args, nargs, kwnames, self)) return nullptr;
    return slot_quantity(self, slot);
}

// UT1-UTC as TAI-UTC (a step function) minus TAI-UT1 (piecewise linear):
// it jumps by exactly the leap second where TAI-UTC steps.
PyObject* dut_getter(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* self;
    if (!bind_self("dut", args, nargs, kwnames, self)) return nullptr;
    Ref dat = Ref::steal(PyObject_GetAttr(self, names.dat));
    if (!dat) return nullptr;
    Ref tai_ut1 = Ref::steal(PyObject_GetAttr(self, names.TAI_UT1));
    if (!tai_ut1) return nullptr;
    return PyNumber_Subtract(dat.get(), tai_ut1.get());
}

PyObject* TT_UT1_getter(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* self;
    if (!bind_self("TT_UT1", args, nargs, kwnames, self)) return nullptr;
    Ref tai_ut1 = Ref::steal(PyObject_GetAttr(self, names.TAI_UT1));
    if (!tai_ut1) return nullptr;
    return PyNumber_Add(names.tt_minus_tai, tai_ut1.get());
}

// ------------------------------------------------------------------ class

constexpr const char* class_doc =
    "Earth Orientation Parameters (EOP).\n"
    "\n"
    "The EOP are the data needed to describe the irregularities of the Earth's\n"
    "rotation. They are periodically estimated and published by the IERS\n"
    "(International Earth Rotation and Reference Systems Service) through its\n"
    "bulletins. EOP objects give quick access to those data and to their\n"
    "interpolation at a set of epochs.\n"
    "\n"
    "Each quantity is known only over the samples it is interpolated from: at\n"
    "epochs before the first or after the last Bulletin A sample that gives a\n"
    "value for it (LOD and the pole offsets end before polar motion and UT1-UTC\n"
    "do), and at NaN epochs, it is NaN, element by element. TAI - UTC is the\n"
    "exception, see `dat`. Inside that span the values are those of the\n"
    "interpolators.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "mjd_utc : ndarray\n"
    "    float64 array of shape (N,): the epochs, as modified Julian dates (MJD)\n"
    "    on the UTC time scale.\n"
    "\n"
    "References\n"
    "----------\n"
    ".. [1] IERS, \"Earth Orientation Parameters\".\n"
    ".. [2] \"Interpolating IERS Earth Orientation Data\".\n"
    ".. [3] \"Explanatory Supplement to IERS Bulletins A and B\".\n";

constexpr const char* init_doc = "EOP.__init__(self, ndarray mjd_utc) -> None";

constexpr const char* get_TT_UT1_doc =
    "EOP.get_TT_UT1_from_mjd_ut1(cls, ndarray mjd_ut1) -> ndarray[double]\n"
    "\n"
    "TT - UT1 (in seconds) for epochs given as MJD(UT1).\n"
    "\n"
    "On first invocation, builds two cached interpolators: TAI - UTC against\n"
    "MJD(UT1) from Bulletin C (stepwise, previous value) and TAI - UT1 against\n"
    "MJD(UT1) from Bulletin A (linear). It then evaluates TAI - UT1 at each\n"
    "input epoch and adds the constant TT - TAI (32.184 s). At epochs outside\n"
    "the Bulletin A samples, and at NaN epochs, the result is NaN.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "mjd_ut1 : ndarray\n"
    "    Array of shape (N,): MJD values on the UT1 time scale.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "tt_ut1 : ndarray\n"
    "    Array of shape (N,): TT - UT1 in seconds.\n";

struct Property {
    const char* name;
    const char* qualname;
    velmar::FastImpl getter;
    const char* doc;
};

const Property properties[] = {
    {"pm_x", "EOP.pm_x", slot_getter<pm_x_spline>,
     "EOP.pm_x(self) -> ndarray[double]\n\nPolar motion - x (in radians)"},
    {"pm_y", "EOP.pm_y", slot_getter<pm_y_spline>,
     "EOP.pm_y(self) -> ndarray[double]\n\nPolar motion - y (in radians)"},
    {"dut", "EOP.dut", dut_getter, "EOP.dut(self) -> ndarray[double]\n\nThe difference UT1 - UTC (in seconds)"},
    {"lod", "EOP.lod", slot_getter<lod_spline>, "EOP.lod(self) -> ndarray[double]\n\nLength of Day (in seconds)"},
    {"dX", "EOP.dX", slot_getter<dX_spline>,
     "EOP.dX(self) -> ndarray[double]\n\nIAU2000A Celestial Pole Offset Series - X (in radians)\n\n"
     "Used to compute Earth's nutation"},
    {"dY", "EOP.dY", slot_getter<dY_spline>,
     "EOP.dY(self) -> ndarray[double]\n\nIAU2000A Celestial Pole Offset Series - Y (in radians)\n\n"
     "Used to compute Earth's nutation"},
    {"dat", "EOP.dat", slot_getter<dat_interpolator>,
     "EOP.dat(self) -> ndarray[double]\n\nThe difference TAI - UTC (in seconds)\n\n"
     "The step of IERS Bulletin C in force at each epoch. Before 1972 it is 10 s,\n"
     "the value of 1972-01-01, as velmar.time.Time takes it: UTC before 1972 ran on\n"
     "rubber seconds with fractional offsets, so velmar fixes the 1972 value and\n"
     "every historical epoch has one reading, which differs from the true offset by\n"
     "up to about 10 s before 1972. After the last step of the table its value\n"
     "holds on, as in Time. NaN at a NaN epoch."},
    {"TAI_UT1", "EOP.TAI_UT1", slot_getter<TAI_UT1_interpolator>,
     "EOP.TAI_UT1(self) -> ndarray[double]\n\nThe difference TAI - UT1 (in seconds)"},
    {"TT_UT1", "EOP.TT_UT1", TT_UT1_getter,
     "EOP.TT_UT1(self) -> ndarray[double]\n\nThe difference TT - UT1 (in seconds)"},
};

bool set_item(PyObject* dict, const char* key, PyObject* value) {
    return value && PyDict_SetItemString(dict, key, value) == 0;
}

PyObject* make_class(PyObject* module) {
    Ref ns = Ref::steal(PyDict_New());
    if (!ns) return nullptr;
    Ref module_name = Ref::steal(PyObject_GetAttrString(module, "__name__"));
    Ref qualname = Ref::steal(PyUnicode_FromString("EOP"));
    Ref doc = Ref::steal(PyUnicode_FromString(class_doc));
    Ref annotations = Ref::steal(PyDict_New());
    if (!set_item(ns.get(), "__module__", module_name.get()) || !set_item(ns.get(), "__qualname__", qualname.get()) ||
        !set_item(ns.get(), "__doc__", doc.get()) || !set_item(ns.get(), "__annotations__", annotations.get()))
        return nullptr;
    for (const SlotInfo& slot : slot_info) {
        Ref annotation = Ref::steal(PyUnicode_FromString(slot.annotation));
        if (!set_item(annotations.get(), slot.name, annotation.get()) || !set_item(ns.get(), slot.name, Py_None))
            return nullptr;
    }
    const velmar::FunctionSpec methods[] = {
        {"__init__", "EOP.__init__", init, velmar::Binding::method, init_doc, "(self, mjd_utc)", {{"return", "None"}}},
        {"get_TT_UT1_from_mjd_ut1",
         "EOP.get_TT_UT1_from_mjd_ut1",
         get_TT_UT1_from_mjd_ut1,
         velmar::Binding::classmethod,
         get_TT_UT1_doc,
         "(cls, mjd_ut1)",
         {{"return", "ndarray[double]"}}},
    };
    for (const auto& method : methods)
        if (!velmar::add_function(module, ns.get(), method)) return nullptr;
    for (const Property& p : properties) {
        Ref getter = Ref::steal(velmar::make_function(
            module,
            {p.name, p.qualname, p.getter, velmar::Binding::method, p.doc, "(self)", {{"return", "ndarray[double]"}}}));
        if (!getter) return nullptr;
        Ref prop = Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyProperty_Type), getter.get()));
        if (!set_item(ns.get(), p.name, prop.get())) return nullptr;
    }
    return PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O)O", "EOP",
                                 reinterpret_cast<PyObject*>(&PyBaseObject_Type), ns.get());
}

// ------------------------------------------------------------------ module

bool intern(PyObject*& slot, const char* text) { return (slot = PyUnicode_InternFromString(text)) != nullptr; }

bool make_names() {
    Names& n = names;
    if (!intern(n.EOP, "EOP") || !intern(n.numpy, "numpy") || !intern(n.CubicSpline, "CubicSpline") ||
        !intern(n.interp1d, "interp1d") || !intern(n.BulletinA, "BulletinA") || !intern(n.BulletinC, "BulletinC") ||
        !intern(n.isnan, "isnan") || !intern(n.mjd_utc, "mjd_utc") || !intern(n.mjd_ut1, "mjd_ut1") ||
        !intern(n.pm_x, "pm_x") || !intern(n.pm_y, "pm_y") || !intern(n.lod, "lod") ||
        !intern(n.dX_IAU2000A, "dX_IAU2000A") || !intern(n.dY_IAU2000A, "dY_IAU2000A") || !intern(n.dut, "dut") ||
        !intern(n.dat, "dat") || !intern(n.TAI_UT1, "TAI_UT1") || !intern(n.x, "x") ||
        !intern(n.previous, "previous") || !intern(n.linear, "linear") || !intern(n.extrapolate, "extrapolate"))
        return false;
    for (int i = 0; i < slot_count; ++i)
        if (!intern(slot_names[i], slot_info[i].name)) return false;
    n.step_keywords = Py_BuildValue("(sss)", "kind", "assume_sorted", "fill_value");
    n.linear_keywords = Py_BuildValue("(ss)", "kind", "assume_sorted");
    n.tt_minus_tai = PyFloat_FromDouble(tt_minus_tai);
    return n.step_keywords && n.linear_keywords && n.tt_minus_tai;
}

// `from <module> import <name>` into the module's namespace.
bool import_into(PyObject* module, const char* from, const char* name) {
    Ref source = Ref::steal(PyImport_ImportModule(from));
    if (!source) return false;
    Ref value = Ref::steal(PyObject_GetAttrString(source.get(), name));
    return value && PyModule_AddObjectRef(module, name, value.get()) == 0;
}

int exec_eop(PyObject* module) {
    if (!velmar::import_numpy() || !make_names()) return -1;
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy || PyModule_AddObjectRef(module, "numpy", numpy.get()) < 0) return -1;
    if (!import_into(module, "scipy.interpolate", "CubicSpline") ||
        !import_into(module, "scipy.interpolate", "interp1d") ||
        !import_into(module, "velmar.iers.bulletins", "BulletinA") ||
        !import_into(module, "velmar.iers.bulletins", "BulletinC") || !import_into(module, "typing", "Callable"))
        return -1;
    eop_module = module;
    Ref cls = Ref::steal(make_class(module));
    if (!cls || PyModule_AddObjectRef(module, "EOP", cls.get()) < 0) {
        eop_module = nullptr;
        return -1;
    }
    return 0;
}

}  // namespace

VELMAR_MODULE(eop, "Earth orientation parameters and time-scale offsets interpolated from the IERS bulletins.", nullptr,
              exec_eop)

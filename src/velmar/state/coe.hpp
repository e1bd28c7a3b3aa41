// Conversions between the true, eccentric and mean anomalies of an elliptic
// orbit (0 <= ecc < 1). They are inline and built into each module that uses
// them; the two functions they rest on, the polar angle atan2_asymmetric and
// Kepler's equation c_eca_from_mea, are reached through native pointers bound
// when the module is imported (Kepler::bind).
//
// Error convention: a function returns -1.0 with a Python exception pending to
// report failure; -1.0 with nothing pending is an ordinary angle. Only a -1.0
// result costs a look at the exception state, so the hot path never takes the
// interpreter lock. The two functions bound today cannot fail; the check stays
// because what sits behind the pointers is the exporting modules' to change.
#pragma once
#include <cmath>

#include "velmar/_native/exports.hpp"
#include "velmar/mathtools/sincos.hpp"
// after Python.h, which exports.hpp brings in
#include <frameobject.h>

namespace velmar::coe {

using AngleFunction = double (*)(double const, double const);

struct Kepler {
    AngleFunction atan2_asymmetric = nullptr;  // (y, x) -> polar angle of (x, y)
    AngleFunction eca_from_mea = nullptr;      // (mea, ecc) -> eccentric anomaly

    [[nodiscard]] bool bind() {
        return import_function("velmar.mathtools.misc.misc", "atan2_asymmetric", signature::double_of_two_doubles,
                               atan2_asymmetric) &&
               import_function("velmar.state.coe", "c_eca_from_mea", signature::double_of_two_doubles, eca_from_mea);
    }
};

// Adds a line for `function` to the traceback of the pending exception, so a
// failure inside the outside functions shows where it passed through.
inline void add_traceback(const char* function) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyCodeObject* code = PyCode_NewEmpty("velmar/state/coe.hpp", function, 0);
    PyObject* globals = PyDict_New();
    PyFrameObject* frame = (code && globals) ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    Py_XDECREF(globals);
    Py_XDECREF(code);
    PyErr_Restore(type, value, tb);  // an error of the frame's creation must not replace the real one
    if (frame) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

// Asks, holding the interpreter lock, whether the outside call that returned
// -1.0 raised.
inline bool failed(double result, const char* where) {
    if (result != -1.0) return false;
    PyGILState_STATE gil = PyGILState_Ensure();
    const bool pending = PyErr_Occurred() != nullptr;
    if (pending) add_traceback(where);
    PyGILState_Release(gil);
    return pending;
}

// s = sqrt(1 - ecc^2), computed once by callers that convert many angles.
inline double semi_minor_ratio(double ecc) { return std::sqrt(1.0 - ecc * ecc); }

inline double c_eca_from_tra(const Kepler& k, double tra, double ecc, double s) {
    double sin_tra, cos_tra;
    sin_cos(tra, sin_tra, cos_tra);
    const double eca = k.atan2_asymmetric(s * sin_tra, cos_tra + ecc);
    return failed(eca, "c_eca_from_tra") ? -1.0 : eca;
}

inline double c_tra_from_eca(const Kepler& k, double eca, double ecc, double s) {
    double sin_eca, cos_eca;
    sin_cos(eca, sin_eca, cos_eca);
    const double tra = k.atan2_asymmetric(s * sin_eca, cos_eca - ecc);
    return failed(tra, "c_tra_from_eca") ? -1.0 : tra;
}

inline double c_tra_from_mea(const Kepler& k, double mea, double ecc, double s) {
    const double eca = k.eca_from_mea(mea, ecc);
    if (failed(eca, "c_tra_from_mea")) return -1.0;
    return c_tra_from_eca(k, eca, ecc, s);
}

inline double c_mea_from_tra(const Kepler& k, double tra, double ecc, double s) {
    const double eca = c_eca_from_tra(k, tra, ecc, s);
    if (eca == -1.0 && PyErr_Occurred()) return -1.0;
    double sin_eca, cos_eca;
    sin_cos(eca, sin_eca, cos_eca);
    return eca - ecc * sin_eca;
}

// The same conversions with s computed here.
inline double c_eca_from_tra(const Kepler& k, double tra, double ecc) {
    return c_eca_from_tra(k, tra, ecc, semi_minor_ratio(ecc));
}
inline double c_tra_from_eca(const Kepler& k, double eca, double ecc) {
    return c_tra_from_eca(k, eca, ecc, semi_minor_ratio(ecc));
}
inline double c_tra_from_mea(const Kepler& k, double mea, double ecc) {
    return c_tra_from_mea(k, mea, ecc, semi_minor_ratio(ecc));
}
inline double c_mea_from_tra(const Kepler& k, double tra, double ecc) {
    return c_mea_from_tra(k, tra, ecc, semi_minor_ratio(ecc));
}

}  // namespace velmar::coe

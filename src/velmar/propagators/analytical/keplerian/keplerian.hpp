// C layout of velmar.propagators.analytical.keplerian.keplerian.Keplerian and
// its table of native operations, for modules that hold a Keplerian (the
// satellite) and call it without going through Python.
#pragma once
#include "velmar/_native/buffer.hpp"
#include "velmar/propagators/propagators.hpp"

namespace velmar {

struct KeplerianTable {
    // The base's three operations in the base's order; the gravity gradient is
    // the two-body one, the other two are the base's own.
    PropagatorTable base;
    // True anomalies (rad) at the elapsed times dt (s, any stride) from a true
    // anomaly tra0 with eccentricity ecc and mean motion mm (rad/s): a new
    // one-dimensional float64 array, or nullptr with an exception set.
    PyObject* (*propagate_tra)(PyObject* self, const View1D<double>& dt, double tra0, double ecc, double mm);
    // COEEphemeris of the COE `coe` at the epochs of the Time `time`: a new
    // reference, or nullptr with an exception set.
    PyObject* (*c_propagate_state)(PyObject* self, PyObject* time, PyObject* coe);
    // Jacobian of the two-body equations of motion at position r (m), written
    // to out[36] row-major. Touches no Python object; returns 0.
    int (*c_state_jacobian)(PyObject* self, const double r[3], double out[36]);
};

struct KeplerianObject {
    PropagatorObject base;  // base.table points at a KeplerianTable
    double GM;              // m^3/s^2, fixed at construction
};

inline const KeplerianTable* keplerian_table(PyObject* self) noexcept {
    return reinterpret_cast<const KeplerianTable*>(reinterpret_cast<PropagatorObject*>(self)->table);
}

}  // namespace velmar

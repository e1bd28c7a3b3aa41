// C layout of velmar.propagators.propagators.Propagator and its table of
// native operations. A derived type's table starts with a PropagatorTable (the
// base's entries, in the base's order) and appends its own, so a caller that
// holds any propagator can reach the base's operations through `table`.
#pragma once
#include "velmar/_native/ref.hpp"

namespace velmar {

struct PropagatorTable {
    // Gravity gradient d(acceleration)/d(position) at epoch t (seconds of the
    // caller's choosing), position r (m) and velocity v (m/s), written to
    // out[9] row-major. 0, or -1 with an exception set.
    int (*gravity_gradient)(PyObject* self, double t, const double r[3], const double v[3], double out[9]);
    // Acceleration (m/s^2) at t, r, v, written to out[3]. 0 or -1.
    int (*acceleration)(PyObject* self, double t, const double r[3], const double v[3], double out[3]);
    // State derivative d(r, v)/dt at t for the state x = (r, v), written to out[6]. 0 or -1.
    int (*state_derivative)(PyObject* self, double t, const double x[6], double out[6]);
};

struct PropagatorObject {
    PyObject_HEAD const PropagatorTable* table;
};

}  // namespace velmar

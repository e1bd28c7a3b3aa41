// C layouts of the state types of velmar.state.state. The two-body propagator
// reads these fields directly, without Python attribute lookups.
#pragma once
#include "velmar/_native/ref.hpp"

namespace velmar {

struct StateObject {
    PyObject_HEAD PyObject* dict;  // instance attributes
    PyObject* epoch;               // scalar Time
    PyObject* frame;               // frame object
    double GM;                     // m^3/s^2
};

struct StateVectorObject {
    StateObject base;
    double r[3];  // m
    double v[3];  // m/s
};

struct COEObject {
    StateObject base;
    double ecc;  // dimensionless
    double sma;  // m (negative for hyperbolic orbits)
    double inc;  // rad
    double raa;  // rad
    double arp;  // rad
    double tra;  // rad
    double slr;  // m
};

struct GeoStateObject {
    StateObject base;
    double lat, lon, alt;  // rad, rad, m
};

}  // namespace velmar

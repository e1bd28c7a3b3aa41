// C layouts of the ephemeris types of velmar.state.ephemeris.
#pragma once
#include "velmar/_native/ref.hpp"

namespace velmar {

struct EphemerisObject {
    PyObject_HEAD
    PyObject* dict;   // instance attributes
    PyObject* time;   // Time holding the N epochs
    PyObject* frame;  // frame object
    double GM;        // m^3/s^2
};

struct StateVectorEphemerisObject {
    EphemerisObject base;
    PyObject* r;  // N x 3 float64 ndarray, C-contiguous, m
    PyObject* v;  // N x 3 float64 ndarray, C-contiguous, m/s
};

struct COEEphemerisObject {
    EphemerisObject base;
    // One-dimensional float64 ndarrays of length N.
    PyObject* ecc;
    PyObject* sma;
    PyObject* inc;
    PyObject* raa;
    PyObject* arp;
    PyObject* tra;
    PyObject* slr;
};

struct GeoStateEphemerisObject {
    EphemerisObject base;
    PyObject* lla;  // N x 3 float64 ndarray
};

}  // namespace velmar

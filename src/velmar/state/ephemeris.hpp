// C layouts of the ephemeris types of velmar.state.ephemeris.
#pragma once
#include "velmar/_native/ref.hpp"

namespace velmar {

struct EphemerisObject {
    PyObject_HEAD PyObject* dict;  // instance attributes
    PyObject* time;                // Time holding the N epochs
    PyObject* frame;               // frame object
    double GM;                     // m^3/s^2
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

// Native constructors exported by velmar.state.ephemeris (`__capi__`) for
// modules that compute the arrays themselves: the ephemeris takes the arrays
// as they are, without a copy. time is a Time, frame a Frame, GM positive and
// finite; every array is one made by new_fixed_array (numpy.hpp), float64,
// C-contiguous, with one row per epoch, and is made read-only. The arguments
// are borrowed. A new reference, or nullptr with an exception set.
namespace ephemeris_api {
// StateVectorEphemeris(time, frame, r, v, GM): r and v of shape (N, 3).
using NewSV = PyObject* (*)(PyObject* time, PyObject* frame, double const GM, PyObject* r, PyObject* v);
inline constexpr const char* new_sv_signature =
    "PyObject * (PyObject * , PyObject * , double const , PyObject * , PyObject * )";
// COEEphemeris(time, frame, ecc, sma, inc, raa, arp, tra, GM, slr): the seven
// element arrays of shape (N,) in that order (ecc, sma, inc, raa, arp, tra, slr).
using NewCOE = PyObject* (*)(PyObject* time, PyObject* frame, double const GM, PyObject* const* elements);
inline constexpr const char* new_coe_signature =
    "PyObject * (PyObject * , PyObject * , double const , PyObject * const * )";
}  // namespace ephemeris_api

}  // namespace velmar

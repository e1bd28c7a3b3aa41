// C layouts of velmar.propagators.analytical.sgp4.tle.TLE and ELSET, shared by
// the tle module's translation units: ELSET reads the stored fields of its TLE
// members directly. No other module includes it; the satellite module binds
// the two types by name and never looks inside them.
#pragma once
#include <cstdint>

#include "velmar/utils/representable.hpp"

namespace velmar {

struct TLEObject;

// Native operations of TLE, inherited by subclasses. A natively derived type
// starts its own table with these entries, in this order, and appends its own.
// Each returns 0, or -1 with an exception set. The package has no such type
// yet; the table stays because construction reads the lines through it, and
// that is what lets one replace the line readers.
struct TLETable {
    int (*parse_line1)(TLEObject* self);  // satno_text and epoch
    int (*parse_line2)(TLEObject* self);  // the six mean elements
};

struct TLEObject {
    RepresentableObject base;
    const TLETable* table;
    char line1[70];  // 69 bytes of text and a terminating zero
    char line2[70];
    char satno_text[6];  // columns 3-7 of line 1, zero-terminated
    // A Time; None until line 1 has been read; nullptr while the epoch is
    // known only as `epoch_ns` (the Time is made on first use: a catalogue
    // of a million sets need not hold a million of them).
    PyObject* epoch;
    double inc;  // rad
    double raa;  // rad
    double ecc;
    double mea;             // rad
    double arp;             // rad
    double mnm;             // rad/s
    double sma;             // m
    double orp;             // s
    double eca;             // rad
    double tra;             // rad
    double pge;             // m above Earth.Re
    double apg;             // m above Earth.Re
    std::int64_t epoch_ns;  // TAI ns since J2000 (a UTC Time's int64), when `epoch` is nullptr
};

struct ELSETObject {
    RepresentableObject base;
    PyObject* epoch;  // an array Time of the member epochs; None until built
    std::int32_t satno;
    PyObject* members;  // list of TLE, in epoch order
    // One-dimensional float64 numpy arrays, one entry per member.
    PyObject* ecc;
    PyObject* sma;
    PyObject* inc;
    PyObject* raa;
    PyObject* arp;
    PyObject* tra;
    PyObject* mnm;
    PyObject* orp;
    PyObject* eca;
    PyObject* mea;
    PyObject* pge;
    PyObject* apg;
};

}  // namespace velmar

// What the translation units of the tle module share: the neighbours bound at
// import and the interned attribute names. Private to this module (its
// symbols are hidden in the shared object).
#pragma once
#include <cstdint>
#include <vector>

#include "velmar/propagators/analytical/sgp4/tle.hpp"
#include "velmar/state/coe.hpp"
#include "velmar/time/time.hpp"

namespace velmar::tle_module {

struct Names {
    PyObject* jd;
    PyObject* int64;
    PyObject* satno;
    PyObject* satname;
    PyObject* satname_slot;  // "_satname"
    PyObject* index;
    PyObject* size;
    PyObject* getitem_integral;
    PyObject* getitem_integral_slice;
    PyObject* getitem_selection;
    PyObject* tolist;
    PyObject* strip;
    PyObject* utc;
    PyObject* repr;
    PyObject* name;
    PyObject* GM;
    PyObject* Re;
    PyObject* line1;
    PyObject* line2;
    PyObject* create_formatted_form;
    PyObject* create_formatted_frame;
    PyObject* format_as_property;
    PyObject* numbers;
    PyObject* Integral;
    PyObject* numpy;
    PyObject* array;
    PyObject* sort;
    PyObject* key;
};

struct Bound {
    PyObject* module;    // this module (borrowed: sys.modules keeps it)
    PyTypeObject* time;  // velmar.time.time.Time (its C layout is read)
    // Time's native constructors: a single epoch from TAI nanoseconds and a
    // scale number; the epoch of a decimal day of year on the UTC clock (see
    // velmar/time/epochs.hpp: 1, 0 when it cannot say, -1 on error).
    PyObject* (*time_of_ns)(std::int64_t ns, int scale);
    int (*epoch_of_year_day)(std::int64_t year, int negative, std::uint64_t mantissa, int decimals, std::int64_t* tai);
    PyTypeObject* earth;  // velmar.bodies.bodies.Earth (GM, Re)
    PyObject* teme;       // the TEME frame object
    double deg, rev, day, hour, km;
    coe::Kepler kepler;      // atan2_asymmetric and c_eca_from_mea
    PyObject* epoch_getter;  // operator.attrgetter("epoch"), the sort key
    PyObject* jd_keywords;   // ("format",)
    PyObject* one;           // 1.0
    PyTypeObject* tle;       // the classes of this module
    PyTypeObject* elset;
    Names names;
};

extern Bound bound;

// Create the classes and add them to the module; false with an exception set.
[[nodiscard]] bool add_tle_type(PyObject* module, PyObject* representable);
[[nodiscard]] bool add_elset_type(PyObject* module, PyObject* representable);
// TLE(line1, line2) straight from the bytes of two lines whose first 69
// bytes (all that TLE keeps) are ASCII: the same object, without the two str.
[[nodiscard]] PyObject* new_tle_from_ascii(const char* line1, size_t size1, const char* line2, size_t size2);
// A TLE's epoch as a Time, made on first use (borrowed; nullptr with an
// exception set), and its int64 without making it: false when the epoch is
// not a single-epoch Time (a subclass may store anything).
[[nodiscard]] PyObject* tle_epoch(TLEObject* tle);
[[nodiscard]] bool tle_epoch_int64(const TLEObject* tle, std::int64_t& out);
// ELSET(*members, satname=satname) from a list of TLE that the caller holds
// and no Python code can reach: the same collection, without the argument
// tuple. `epochs`, when given, are the int64 of the members' epochs (exact TLE
// with single-epoch Time epochs), in list order; they are consumed, and a list
// already in epoch order becomes the collection's own. `satno`, when given
// with them, is the int every member's `satno` reads as.
[[nodiscard]] PyObject* new_elset_of(PyObject* members, PyObject* satname, std::vector<std::int64_t>* epochs,
                                     PyObject* satno);
// The catalogue reader's native pass (catalog.cpp), a private function of the module.
[[nodiscard]] bool add_catalog_functions(PyObject* module);

}  // namespace velmar::tle_module

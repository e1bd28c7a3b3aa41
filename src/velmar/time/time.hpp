// C layout of velmar.time.time.Time, for modules that read epochs natively
// (import the type with velmar::import_type(..., sizeof(velmar::time::TimeObject))).
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <cstdint>

namespace velmar::time {

// The scale on which a Time reads its input and shows its epochs; the stored
// integers are always TAI.
enum class Scale : int { utc = 0, tai = 1, tt = 2 };

struct TimeObject {
    PyObject_HEAD
        // nullptr for a single epoch; otherwise a read-only one-dimensional int64
        // ndarray whose memory nobody can unlock, so instances can share it.
        PyObject* epochs;
    // The single epoch: nanoseconds of TAI since 2000-01-01T12:00:00 TAI.
    std::int64_t ns;
    Scale scale;
};

}  // namespace velmar::time

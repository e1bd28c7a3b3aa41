// C layout of velmar.utils.representable.Representable, the base of TLE and
// ELSET. Natively derived types start with this struct.
#pragma once
#include "velmar/_native/ref.hpp"

namespace velmar {

struct RepresentableObject {
    PyObject_HEAD PyObject* dict;  // instance attributes (__dictoffset__)
};

}  // namespace velmar

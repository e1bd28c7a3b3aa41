// Array arguments of the state and ephemeris classes. Whatever the caller
// passes (list, tuple, array of any real dtype, any strides) is copied into a
// new C-contiguous float64 array that the object owns, so later changes to the
// caller's array cannot reach a state or an ephemeris, and the native loops
// walk plain pointers.
#pragma once
#include "velmar/_native/messages.hpp"
#include "velmar/_native/numpy.hpp"

namespace velmar::arrays {

// A new C-contiguous float64 copy of `obj` with `ndim` dimensions; an entry of
// `shape` that is -1 accepts any length. `expected` spells the shape for the
// message, e.g. "(N, 3)". nullptr with ValueError naming `name` when the
// values are not real numbers or the shape differs.
[[nodiscard]] inline PyObject* float64_copy(PyObject* obj, const char* name, int ndim, const npy_intp* shape,
                                            const char* expected) {
    Ref given = Ref::steal(PyArray_FROM_O(obj));
    if (!given) return nullptr;
    auto* a = reinterpret_cast<PyArrayObject*>(given.get());
    Ref float64 = Ref::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_DOUBLE)));
    if (!float64) return nullptr;
    // Integers and narrower floats convert exactly enough; complex numbers,
    // text and objects do not convert without losing meaning.
    if (!PyArray_CanCastTypeTo(PyArray_DESCR(a), reinterpret_cast<PyArray_Descr*>(float64.get()),
                               NPY_SAFE_CASTING)) {
        PyErr_Format(PyExc_ValueError, velmar::msg::array_not_real, name,
                     reinterpret_cast<PyObject*>(PyArray_DESCR(a)));
        return nullptr;
    }
    bool matches = PyArray_NDIM(a) == ndim;
    for (int d = 0; matches && d < ndim; ++d) matches = shape[d] < 0 || PyArray_DIM(a, d) == shape[d];
    if (!matches) {
        Ref got = Ref::steal(PyObject_GetAttrString(given.get(), "shape"));
        if (!got) return nullptr;
        PyErr_Format(PyExc_ValueError, velmar::msg::array_shape, name, expected, got.get());
        return nullptr;
    }
    // FromArray steals the descriptor reference.
    PyObject* copy = PyArray_FromArray(a, reinterpret_cast<PyArray_Descr*>(float64.release()),
                                       NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_ENSURECOPY);
    return copy;
}

// Number of rows (first dimension) of an array made by float64_copy.
inline npy_intp rows(PyObject* array) { return PyArray_DIM(reinterpret_cast<PyArrayObject*>(array), 0); }

inline double* data(PyObject* array) {
    return static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
}

// Stored arrays are handed out as they are, so they are made read-only: a
// state or an ephemeris never changes after construction.
inline void freeze(PyObject* array) {
    PyArray_CLEARFLAGS(reinterpret_cast<PyArrayObject*>(array), NPY_ARRAY_WRITEABLE);
}

}  // namespace velmar::arrays

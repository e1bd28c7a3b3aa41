// Array arguments of the state and ephemeris classes. Whatever the caller
// passes (list, tuple, array of any real dtype, any strides) is copied into a
// new C-contiguous float64 array over memory no array owns (numpy.hpp), so
// later changes to the caller's array cannot reach a state or an ephemeris,
// nobody can resize what the object keeps, and the native loops walk plain
// pointers once check_shape has vouched for the lengths.
#pragma once
#include "velmar/_native/messages.hpp"
#include "velmar/_native/numpy.hpp"

namespace velmar::arrays {

// `obj` as an array (maybe `obj` itself) whose values convert to float64 and
// whose shape is `shape` (see float64_copy); nullptr with the same errors.
// For callers that copy it into memory of their own.
[[nodiscard]] inline PyObject* float64_source(PyObject* obj, const char* name, int ndim, const npy_intp* shape,
                                              const char* expected) {
    Ref given = Ref::steal(PyArray_FROM_O(obj));
    if (!given) return nullptr;
    auto* a = reinterpret_cast<PyArrayObject*>(given.get());
    Ref float64 = Ref::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_DOUBLE)));
    if (!float64) return nullptr;
    // Integers and narrower floats convert exactly enough; complex numbers,
    // text and objects do not convert without losing meaning.
    if (!PyArray_CanCastTypeTo(PyArray_DESCR(a), reinterpret_cast<PyArray_Descr*>(float64.get()), NPY_SAFE_CASTING)) {
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
    return given.release();
}

// A new C-contiguous float64 copy of `obj` with `ndim` dimensions; an entry of
// `shape` that is -1 accepts any length. `expected` spells the shape for the
// message, e.g. "(N, 3)". nullptr with ValueError naming `name` when the
// values are not real numbers or the shape differs.
[[nodiscard]] inline PyObject* float64_copy(PyObject* obj, const char* name, int ndim, const npy_intp* shape,
                                            const char* expected) {
    Ref given = Ref::steal(float64_source(obj, name, ndim, shape, expected));
    if (!given) return nullptr;
    auto* a = reinterpret_cast<PyArrayObject*>(given.get());
    Ref copy = Ref::steal(velmar::new_fixed_array(NPY_DOUBLE, ndim, PyArray_DIMS(a)));
    if (!copy || PyArray_CopyInto(reinterpret_cast<PyArrayObject*>(copy.get()), a) < 0) return nullptr;
    return copy.release();
}

// Number of rows (first dimension) of an array made by float64_copy.
inline npy_intp rows(PyObject* array) { return PyArray_DIM(reinterpret_cast<PyArrayObject*>(array), 0); }

inline double* data(PyObject* array) {
    return static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
}

// Stored arrays are read-only: a state or an ephemeris never changes after
// construction.
inline void freeze(PyObject* array) { velmar::freeze_fixed(array); }

// A float64, C-contiguous array of `rows` rows (and `columns` columns; 0: one
// dimension). The arrays an ephemeris keeps are made so and cannot be
// reshaped from Python, but a native loop checks before it trusts a length:
// a mismatch is a ValueError naming `name`, never a read past the end.
[[nodiscard]] inline bool check_shape(PyObject* array, const char* name, npy_intp rows, int columns) {
    const char* expected = columns ? "(N, 3)" : "(N,)";
    if (!array || !PyArray_Check(array)) {
        PyErr_Format(PyExc_ValueError, velmar::msg::array_shape, name, expected, Py_None);
        return false;
    }
    auto* a = reinterpret_cast<PyArrayObject*>(array);
    const int ndim = columns ? 2 : 1;
    if (PyArray_TYPE(a) != NPY_DOUBLE || !PyArray_IS_C_CONTIGUOUS(a) || PyArray_NDIM(a) != ndim ||
        (columns && PyArray_DIM(a, 1) != columns)) {
        Ref got = Ref::steal(PyObject_GetAttrString(array, "shape"));
        if (got) PyErr_Format(PyExc_ValueError, velmar::msg::array_shape, name, expected, got.get());
        return false;
    }
    if (PyArray_DIM(a, 0) != rows) {
        PyErr_Format(PyExc_ValueError, velmar::msg::ephemeris_length_mismatch, name,
                     static_cast<Py_ssize_t>(PyArray_DIM(a, 0)), columns ? "rows" : "values",
                     static_cast<Py_ssize_t>(rows));
        return false;
    }
    return true;
}

}  // namespace velmar::arrays

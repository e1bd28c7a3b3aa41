// numpy's C API for a velmar module. Each extension is its own shared object
// with hidden symbols, so one table name serves every module. The translation
// unit that holds the module definition defines VELMAR_NUMPY_IMPORT before
// including this header and calls velmar::import_numpy() in its exec slot;
// other translation units of the same module only include it.
#pragma once
#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL velmar_ARRAY_API
#ifndef VELMAR_NUMPY_IMPORT
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

#include "ref.hpp"

namespace velmar {

#ifdef VELMAR_NUMPY_IMPORT
[[nodiscard]] inline bool import_numpy() { return PyArray_ImportNumPyAPI() >= 0; }
#endif

// A new, uninitialised one-dimensional float64 array of length n.
[[nodiscard]] inline PyObject* new_double_array(npy_intp n) {
    return PyArray_SimpleNew(1, &n, NPY_DOUBLE);
}

// A new, uninitialised float64 array of the given shape.
[[nodiscard]] inline PyObject* new_double_array(int ndim, const npy_intp* shape) {
    return PyArray_SimpleNew(ndim, const_cast<npy_intp*>(shape), NPY_DOUBLE);
}

// A new array object sharing `array`'s data (writes through it are seen by
// every holder of the storage), as numpy.asarray over a buffer would give.
[[nodiscard]] inline PyObject* new_view(PyObject* array) {
    return PyArray_View(reinterpret_cast<PyArrayObject*>(array), nullptr, nullptr);
}

}  // namespace velmar

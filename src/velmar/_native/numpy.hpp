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
[[nodiscard]] inline PyObject* new_double_array(npy_intp n) { return PyArray_SimpleNew(1, &n, NPY_DOUBLE); }

// A new, uninitialised float64 array of the given shape.
[[nodiscard]] inline PyObject* new_double_array(int ndim, const npy_intp* shape) {
    return PyArray_SimpleNew(ndim, const_cast<npy_intp*>(shape), NPY_DOUBLE);
}

// --- arrays over memory no caller can reach ----------------------------------------
//
// numpy resizes an array that owns its memory (`resize`, even with the write
// flag cleared), and anyone holding an array may set its shape. A native
// loop that trusts a stored array's length would then read past the end. So
// what an object keeps is an array over memory held by a capsule: the array
// that owns the memory (made by numpy, so numpy's allocator, its huge pages
// and its tracemalloc accounting apply) sits inside the capsule, where no
// Python code can reach it; the capsule has no buffer, so once the write flag
// is cleared nothing can set it again; and what is handed out is a new array
// object over the same memory (new_fixed_view), whose base is the capsule,
// never the stored array itself, so no caller can change the stored shape.

namespace detail {
inline constexpr const char* fixed_memory_name = "velmar.fixed_memory";
inline void release_fixed_memory(PyObject* capsule) {
    Py_XDECREF(static_cast<PyObject*>(PyCapsule_GetPointer(capsule, fixed_memory_name)));
}
}  // namespace detail

// A new C-contiguous array of `typenum` (a fixed-size type) and the given
// shape over fresh, uninitialised memory that only a capsule holds. It is
// writable until the caller clears the flag (freeze_fixed) after filling it.
[[nodiscard]] inline PyObject* new_fixed_array(int typenum, int ndim, const npy_intp* shape) {
    Ref owner = Ref::steal(PyArray_SimpleNew(ndim, const_cast<npy_intp*>(shape), typenum));
    if (!owner) return nullptr;
    auto* o = reinterpret_cast<PyArrayObject*>(owner.get());
    void* data = PyArray_DATA(o);
    PyArray_Descr* descr = PyArray_DESCR(o);
    Ref memory = Ref::steal(PyCapsule_New(owner.get(), detail::fixed_memory_name, detail::release_fixed_memory));
    if (!memory) return nullptr;
    static_cast<void>(owner.release());  // the capsule holds it now
    Py_INCREF(descr);                    // NewFromDescr steals it
    Ref array = Ref::steal(PyArray_NewFromDescr(&PyArray_Type, descr, ndim, const_cast<npy_intp*>(shape), nullptr, data,
                                                NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_WRITEABLE, nullptr));
    if (!array) return nullptr;
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), memory.release()) < 0) return nullptr;
    return array.release();
}

// True when `obj` is an array over memory of new_fixed_array (the array
// itself or a view of new_fixed_view).
[[nodiscard]] inline bool is_fixed_array(PyObject* obj) {
    if (!PyArray_Check(obj)) return false;
    PyObject* base = PyArray_BASE(reinterpret_cast<PyArrayObject*>(obj));
    return base && PyCapsule_IsValid(base, detail::fixed_memory_name);
}

// Makes an array of new_fixed_array read-only for good.
inline void freeze_fixed(PyObject* array) {
    PyArray_CLEARFLAGS(reinterpret_cast<PyArrayObject*>(array), NPY_ARRAY_WRITEABLE);
}

// A new array object over the memory of `array` (made by new_fixed_array),
// with its dtype, shape and write flag, and the memory's capsule as base.
[[nodiscard]] inline PyObject* new_fixed_view(PyObject* array) {
    auto* a = reinterpret_cast<PyArrayObject*>(array);
    PyArray_Descr* descr = PyArray_DESCR(a);
    Py_INCREF(descr);
    Ref view =
        Ref::steal(PyArray_NewFromDescr(&PyArray_Type, descr, PyArray_NDIM(a), PyArray_DIMS(a), PyArray_STRIDES(a),
                                        PyArray_DATA(a), PyArray_FLAGS(a) & NPY_ARRAY_WRITEABLE, nullptr));
    if (!view) return nullptr;
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(view.get()), Py_NewRef(PyArray_BASE(a))) < 0)
        return nullptr;
    return view.release();
}

}  // namespace velmar

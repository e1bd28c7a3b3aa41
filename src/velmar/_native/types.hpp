// Small pieces shared by the extension types.
#pragma once
#include "messages.hpp"
#include "ref.hpp"

namespace velmar {

// Pickling hooks for types whose state cannot be rebuilt from a pickle (they
// hold native buffers or references built by their constructor).
inline PyObject* refuse_pickling(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, msg::no_default_reduce);
    return nullptr;
}

// tp_dealloc of a garbage-collected heap type, given its tp_clear.
template <int (*clear)(PyObject*)> void gc_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    clear(self);
    type->tp_free(self);
    Py_DECREF(type);  // each instance of a heap type holds a reference to it
}

// Creates a heap type from `type_spec` (deriving from `base`, or from object)
// and adds it to the module under its short name. Returns a new reference.
[[nodiscard]] inline PyTypeObject* add_type(PyObject* module, PyType_Spec* type_spec, PyTypeObject* base = nullptr) {
    Ref type = Ref::steal(PyType_FromModuleAndSpec(module, type_spec, reinterpret_cast<PyObject*>(base)));
    if (!type || PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(type.get())) < 0) return nullptr;
    return reinterpret_cast<PyTypeObject*>(type.release());
}

}  // namespace velmar

// Put these two entries in a type's PyMethodDef table to refuse pickling.
#define VELMAR_REFUSE_PICKLING                                        \
    {"__reduce__", velmar::refuse_pickling, METH_NOARGS,              \
     "__reduce__($self, /)\n--\n\nNot picklable: raises TypeError."}, \
        {"__reduce_ex__", velmar::refuse_pickling, METH_O,            \
         "__reduce_ex__($self, protocol, /)\n--\n\nNot picklable: raises TypeError."}

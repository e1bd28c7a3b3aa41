// Native exports between velmar's extension modules.
//
// An exporting module keeps a dict `__capi__` of capsules; each capsule's name
// is the C signature text of what it points to (for example
// "double (double const , double const )"), so an importer built against a
// different declaration is refused at import instead of crashing later.
// Types are looked up as ordinary module attributes and checked for their
// basic size, since an importer may read or extend their C layout.
#pragma once
#include <cstddef>
#include <cstring>
#include <initializer_list>

#include "messages.hpp"
#include "ref.hpp"

namespace velmar {

// Signature texts shared by exporters and importers.
namespace signature {
inline constexpr const char* double_of_two_doubles = "double (double const , double const )";
inline constexpr const char* double_value = "double";
inline constexpr const char* object_value = "PyObject *";
inline constexpr const char* time_of_ns = "PyObject * (int64_t const , int const )";
inline constexpr const char* epoch_of_year_day =
    "int (int64_t const , int const , uint64_t const , int const , int64_t * )";
}  // namespace signature

// --- exporting side ---------------------------------------------------------

// Add `pointer` to the module's `__capi__` under `name`, tagged with `signature`
// (a string literal: the capsule keeps the pointer, not a copy).
[[nodiscard]] inline bool export_pointer(PyObject* module, const char* name, void* pointer, const char* signature) {
    Ref capi = Ref::steal(PyObject_GetAttrString(module, "__capi__"));
    if (!capi) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        capi = Ref::steal(PyDict_New());
        if (!capi || PyObject_SetAttrString(module, "__capi__", capi.get()) < 0) return false;
    }
    Ref capsule = Ref::steal(PyCapsule_New(pointer, signature, nullptr));
    return capsule && PyDict_SetItemString(capi.get(), name, capsule.get()) == 0;
}

template <typename F>
[[nodiscard]] inline bool export_function(PyObject* module, const char* name, F* function, const char* signature) {
    return export_pointer(module, name, reinterpret_cast<void*>(function), signature);
}

// A variable that lives as long as the module (a double constant, or a
// PyObject* slot holding a module-owned object).
template <typename T>
[[nodiscard]] inline bool export_variable(PyObject* module, const char* name, T* variable, const char* signature) {
    return export_pointer(module, name, static_cast<void*>(variable), signature);
}

// --- importing side ---------------------------------------------------------

// Look up `name` in the `__capi__` of module `module_name` (importing it) and
// check its signature. Returns the raw pointer or nullptr with ImportError set.
[[nodiscard]] inline void* import_pointer(const char* module_name, const char* name, const char* signature) {
    Ref module = Ref::steal(PyImport_ImportModule(module_name));
    if (!module) return nullptr;
    Ref capi = Ref::steal(PyObject_GetAttrString(module.get(), "__capi__"));
    if (!capi || !PyDict_Check(capi.get())) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, msg::capi_missing_module, module_name);
        return nullptr;
    }
    PyObject* capsule = PyDict_GetItemString(capi.get(), name);  // borrowed
    if (!capsule || !PyCapsule_CheckExact(capsule)) {
        PyErr_Format(PyExc_ImportError, msg::capi_missing_name, module_name, name);
        return nullptr;
    }
    const char* found = PyCapsule_GetName(capsule);
    if (!found || std::strcmp(found, signature) != 0) {
        PyErr_Format(PyExc_ImportError, msg::capi_wrong_signature, name, module_name, found ? found : "", signature);
        return nullptr;
    }
    return PyCapsule_GetPointer(capsule, found);
}

template <typename F>
[[nodiscard]] inline bool import_function(const char* module_name, const char* name, const char* signature, F*& out) {
    void* p = import_pointer(module_name, name, signature);
    if (!p) return false;
    out = reinterpret_cast<F*>(p);
    return true;
}

// A double constant: copied, since constants never change.
[[nodiscard]] inline bool import_double(const char* module_name, const char* name, double& out) {
    void* p = import_pointer(module_name, name, signature::double_value);
    if (!p) return false;
    out = *static_cast<double*>(p);
    return true;
}

// An object variable: a new reference to the object it holds now.
[[nodiscard]] inline PyObject* import_object(const char* module_name, const char* name) {
    void* p = import_pointer(module_name, name, signature::object_value);
    if (!p) return nullptr;
    PyObject* value = *static_cast<PyObject**>(p);
    Py_XINCREF(value);
    if (!value) PyErr_Format(PyExc_ImportError, msg::capi_missing_name, module_name, name);
    return value;
}

// The type `module.name`, which must be a type whose instances are at least
// `basic_size` bytes (the layout the importer was compiled against).
// Returns a new reference or nullptr with an exception set.
[[nodiscard]] inline PyTypeObject* import_type(const char* module_name, const char* name, Py_ssize_t basic_size) {
    Ref module = Ref::steal(PyImport_ImportModule(module_name));
    if (!module) return nullptr;
    Ref type = Ref::steal(PyObject_GetAttrString(module.get(), name));
    if (!type) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, msg::capi_missing_name, module_name, name);
        return nullptr;
    }
    if (!PyType_Check(type.get())) {
        PyErr_Format(PyExc_ImportError, msg::capi_not_a_type, module_name, name);
        return nullptr;
    }
    auto* t = reinterpret_cast<PyTypeObject*>(type.get());
    if (t->tp_basicsize < basic_size) {
        PyErr_Format(PyExc_ImportError, msg::capi_type_size, module_name, name, t->tp_basicsize, basic_size);
        return nullptr;
    }
    return reinterpret_cast<PyTypeObject*>(type.release());
}

// A module's table of the types it binds at import, the one way a module
// reaches another's types: each is checked (module, name, basic size) and,
// where `keep` is given, kept there as a new reference for the life of the
// process. An entry with a `keep` slot is a type the module uses; one without
// is bound only so that a missing or mismatched neighbour fails the import.
// A module's objects are bound the same way: import_object for those it uses,
// check_objects for those it only checks.
struct TypeBinding {
    const char* module;
    const char* name;
    Py_ssize_t size;      // the C layout the importer reads, or sizeof(PyObject)
    PyTypeObject** keep;  // where to keep it, or nullptr
};

template <std::size_t N> [[nodiscard]] inline bool import_types(const TypeBinding (&bindings)[N]) {
    for (const TypeBinding& b : bindings) {
        PyTypeObject* type = import_type(b.module, b.name, b.size);
        if (!type) return false;
        if (b.keep) {
            PyTypeObject* old = *b.keep;
            *b.keep = type;
            Py_XDECREF(old);
        } else {
            Py_DECREF(type);
        }
    }
    return true;
}

// Object variables bound only to check that the neighbour exports them.
[[nodiscard]] inline bool check_objects(const char* module_name, std::initializer_list<const char*> names) {
    for (const char* name : names) {
        PyObject* object = import_object(module_name, name);
        if (!object) return false;
        Py_DECREF(object);
    }
    return true;
}

}  // namespace velmar

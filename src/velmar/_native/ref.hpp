// Owning reference to a Python object. Every local that owns a reference is a
// Ref, so an early `return nullptr` on an error path never leaks.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>
// Member tables (T_DOUBLE, READONLY, ...); before 3.12 it needs Python.h first.
#include <structmember.h>
#include <utility>

namespace velmar {

class Ref {
public:
    Ref() noexcept = default;
    // Take over a new reference (typically straight from a C API call); a
    // nullptr is kept as the "failed" state and tested with `!ref`.
    [[nodiscard]] static Ref steal(PyObject* o) noexcept { return Ref(o); }
    // Share a borrowed reference: adds one.
    [[nodiscard]] static Ref borrow(PyObject* o) noexcept {
        Py_XINCREF(o);
        return Ref(o);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hand the reference to the caller (a C API return value, a stealing setter).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    // A new reference for the caller while this Ref keeps its own.
    [[nodiscard]] PyObject* new_reference() const noexcept {
        Py_XINCREF(p_);
        return p_;
    }
    void reset() noexcept { Py_CLEAR(p_); }

private:
    explicit Ref(PyObject* o) noexcept : p_(o) {}
    PyObject* p_ = nullptr;
};

// Replace a stored strong reference (a struct field) with a new one, releasing
// the old value only after the new one is in place.
inline void replace_field(PyObject*& field, PyObject* value) noexcept {
    PyObject* old = field;
    Py_XINCREF(value);
    field = value;
    Py_XDECREF(old);
}

}  // namespace velmar

// Binding of positional and keyword arguments to named parameters, with the
// host's own error texts, for vectorcall (METH_FASTCALL | METH_KEYWORDS) and
// for tuple/dict calls (tp_init, tp_new).
//
//   static constexpr const char* names[] = {"time", "state"};
//   static constexpr velmar::Signature sig{"propagate_state", names, 2, 2, 2};
//   PyObject* a[2];
//   if (!velmar::bind_fastcall(sig, args, nargs, kwnames, a)) return nullptr;
//
// Bound values are borrowed; a parameter that was not given is nullptr.
//
// Such a function enters a PyMethodDef table as
//   {"propagate_state", VELMAR_FASTCALL(propagate_state), doc},
// which fills the function and flags fields; VELMAR_CFUNCTION(f) is the
// function field alone, for other flags (METH_FASTCALL without keywords,
// METH_STATIC added).
#pragma once
#include <cmath>

#include "messages.hpp"
#include "ref.hpp"

namespace velmar {

struct Signature {
    const char* function;         // name shown in messages, e.g. "__init__"
    const char* const* names;     // every parameter, positional ones first
    Py_ssize_t count;             // number of names
    Py_ssize_t required;          // the first `required` parameters must be given
    Py_ssize_t positional;        // how many may be given by position; the rest are keyword-only
    bool extra_keywords = false;  // accept and ignore unknown keywords (**kwargs)
};

namespace args_detail {

inline bool count_error(const Signature& sig, Py_ssize_t given) {
    const bool exact = sig.required == sig.positional;
    Py_ssize_t expected;
    const char* how;
    if (given < sig.required) {
        expected = sig.required;
        how = "at least";
    } else {
        expected = sig.positional;
        how = "at most";
    }
    if (exact) how = "exactly";
    PyErr_Format(PyExc_TypeError, msg::arg_count, sig.function, how, expected, expected == 1 ? "" : "s", given);
    return false;
}

inline Py_ssize_t find(const Signature& sig, PyObject* key) {
    // The names are C strings, so there is no interned object to match a key
    // by identity: each is compared as text. With the few parameters a
    // function has, that costs less than the call itself.
    for (Py_ssize_t i = 0; i < sig.count; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, sig.names[i]) == 0) return i;
    }
    return -1;
}

inline bool bind_keyword(const Signature& sig, PyObject* key, PyObject* value, PyObject** out) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, msg::keywords_must_be_strings, sig.function);
        return false;
    }
    const Py_ssize_t i = find(sig, key);
    if (i < 0) {
        if (sig.extra_keywords) return true;
        PyErr_Format(PyExc_TypeError, msg::unexpected_keyword, sig.function, key);
        return false;
    }
    if (out[i]) {
        PyErr_Format(PyExc_TypeError, msg::keyword_given_twice, sig.function, key);
        return false;
    }
    out[i] = value;
    return true;
}

inline bool check_required(const Signature& sig, Py_ssize_t nargs, PyObject** out) {
    for (Py_ssize_t i = nargs; i < sig.required; ++i) {
        if (!out[i]) return count_error(sig, nargs);
    }
    return true;
}

}  // namespace args_detail

[[nodiscard]] inline bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames, PyObject** out) {
    for (Py_ssize_t i = 0; i < sig.count; ++i) out[i] = nullptr;
    if (nargs > sig.positional) return args_detail::count_error(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (!args_detail::bind_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
        }
    }
    return args_detail::check_required(sig, nargs, out);
}

[[nodiscard]] inline bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    for (Py_ssize_t i = 0; i < sig.count; ++i) out[i] = nullptr;
    const Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
    if (nargs > sig.positional) return args_detail::count_error(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!args_detail::bind_keyword(sig, key, value, out)) return false;
        }
    }
    return args_detail::check_required(sig, nargs, out);
}

// A function that takes no arguments at all (METH_NOARGS gives a different
// text, so methods that must reject arguments with the count text use this).
[[nodiscard]] inline bool bind_none(const char* function, Py_ssize_t nargs, PyObject* kwnames) {
    const Signature s{function, nullptr, 0, 0, 0};
    if (nargs > 0) return args_detail::count_error(s, nargs);
    // Any keyword is unexpected; the values are never read (there are no args here).
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0)
        return args_detail::bind_keyword(s, PyTuple_GET_ITEM(kwnames, 0), nullptr, nullptr);
    return true;
}

// "Argument 'x' has incorrect type (expected T, got U)".
inline bool incorrect_type(PyObject* value, const char* argname, const char* expected) {
    PyErr_Format(PyExc_TypeError, msg::incorrect_type, argname, expected, Py_TYPE(value)->tp_name);
    return false;
}

// A number as float() converts it (__float__, else __index__), with float()'s
// own errors; given `argname`, a value of a type float() refuses is reported
// as "Argument 'x' has incorrect type (expected float, got U)" instead.
[[nodiscard]] inline bool read_double(PyObject* value, double& out, const char* argname = nullptr) {
    out = PyFloat_AsDouble(value);
    if (out != -1.0 || !PyErr_Occurred()) return true;
    if (!argname || !PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    PyErr_Clear();
    return incorrect_type(value, argname, "float");
}

// Exactly `type` (a subclass is refused), or None when `none_ok`.
[[nodiscard]] inline bool require_exact_type(PyObject* value, PyTypeObject* type, const char* argname,
                                             bool none_ok = true) {
    if (Py_IS_TYPE(value, type) || (none_ok && value == Py_None)) return true;
    return incorrect_type(value, argname, type->tp_name);
}

// Exactly `str`, or None when `none_ok`.
[[nodiscard]] inline bool require_exact_str(PyObject* value, const char* argname, bool none_ok = true) {
    return require_exact_type(value, &PyUnicode_Type, argname, none_ok);
}

// An instance of `type` or of a subclass, or None when `none_ok`.
[[nodiscard]] inline bool require_instance(PyObject* value, PyTypeObject* type, const char* argname,
                                           bool none_ok = true) {
    if ((none_ok && value == Py_None) || PyObject_TypeCheck(value, type)) return true;
    return incorrect_type(value, argname, type->tp_name);
}

// A gravitational parameter, already converted to a double. Every two-body
// formula divides by it or takes its square root, so anything but a positive
// finite value would give numbers with no meaning rather than an error.
[[nodiscard]] inline bool require_valid_gm(double GM) {
    if (GM > 0.0 && std::isfinite(GM)) return true;
    Ref value = Ref::steal(PyFloat_FromDouble(GM));
    if (value) PyErr_Format(PyExc_ValueError, msg::gm_not_positive, value.get());
    return false;
}

// A GM argument as float() converts it; when it is not given or None, the GM
// of `earth` (the Earth class), read now so that a change to Earth.GM is seen.
// Either way it must be positive and finite.
[[nodiscard]] inline bool read_gm(PyObject* value, PyTypeObject* earth, double& out) {
    Ref fallback;
    if (!value || value == Py_None) {
        fallback = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(earth), "GM"));
        if (!fallback) return false;
        value = fallback.get();
    }
    return read_double(value, out) && require_valid_gm(out);
}

}  // namespace velmar

// The cast through void (*)() keeps -Wcast-function-type quiet.
#define VELMAR_CFUNCTION(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))
#define VELMAR_FASTCALL(f) VELMAR_CFUNCTION(f), METH_FASTCALL | METH_KEYWORDS

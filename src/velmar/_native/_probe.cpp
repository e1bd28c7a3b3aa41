// A private extension that exercises the native helper layer from Python, the
// way CPython tests its C API through _testcapi. Only the tests use it.
#define VELMAR_NUMPY_IMPORT
#include <cmath>

#include "velmar/_native/args.hpp"
#include "velmar/_native/buffer.hpp"
#include "velmar/_native/exports.hpp"
#include "velmar/_native/function.hpp"
#include "velmar/_native/module.hpp"
#include "velmar/_native/numpy.hpp"

namespace {

using velmar::Ref;

// bind(text, number=None, *, flag=None): text must be exactly str.
PyObject* bind(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"text", "number", "flag"};
    static constexpr velmar::Signature sig{"bind", names, 3, 1, 2};
    PyObject* a[3];
    if (!velmar::bind_fastcall(sig, args, nargs, kwnames, a)) return nullptr;
    if (!velmar::require_exact_str(a[0], "text", false)) return nullptr;
    return Py_BuildValue("(OOO)", a[0], a[1] ? a[1] : Py_None, a[2] ? a[2] : Py_None);
}

// sum_doubles(values): sum of a one-dimensional float64 buffer, any stride.
PyObject* sum_doubles(PyObject*, PyObject* values) {
    velmar::View1D<double> v;
    if (!v.acquire(values)) return nullptr;
    double total = 0.0;
    for (Py_ssize_t i = 0; i < v.size(); ++i) total += v[i];
    return PyFloat_FromDouble(total);
}

// sum_int64(values): sum of a one-dimensional int64 buffer.
PyObject* sum_int64(PyObject*, PyObject* values) {
    velmar::View1D<std::int64_t> v;
    if (!v.acquire(values)) return nullptr;
    long long total = 0;
    for (Py_ssize_t i = 0; i < v.size(); ++i) total += v[i];
    return PyLong_FromLongLong(total);
}

// fill_rows(matrix, value): writes value into every element of an N x M float64 buffer.
PyObject* fill_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) return PyErr_Format(PyExc_TypeError, "fill_rows() takes 2 arguments");
    velmar::View2D<double> m;
    if (!m.acquire(args[0], true)) return nullptr;
    const double value = PyFloat_AsDouble(args[1]);
    if (value == -1.0 && PyErr_Occurred()) return nullptr;
    for (Py_ssize_t i = 0; i < m.shape(0); ++i)
        for (Py_ssize_t j = 0; j < m.shape(1); ++j) m(i, j) = value;
    Py_RETURN_NONE;
}

double polar_radius(double const y, double const x) { return std::hypot(x, y); }
double exported_constant = 42.5;

// call_native(module, name, signature, y, x): import a native function by
// name and signature and call it.
PyObject* call_native(PyObject*, PyObject* args) {
    const char *module, *name, *signature;
    double y, x;
    if (!PyArg_ParseTuple(args, "sssdd", &module, &name, &signature, &y, &x)) return nullptr;
    double (*f)(double, double) = nullptr;
    if (!velmar::import_function(module, name, signature, f)) return nullptr;
    return PyFloat_FromDouble(f(y, x));
}

// read_constant(module, name): import a native double by name.
PyObject* read_constant(PyObject*, PyObject* args) {
    const char *module, *name;
    if (!PyArg_ParseTuple(args, "ss", &module, &name)) return nullptr;
    double value = 0.0;
    if (!velmar::import_double(module, name, value)) return nullptr;
    return PyFloat_FromDouble(value);
}

// import_type(module, name, basic_size)
PyObject* import_type(PyObject*, PyObject* args) {
    const char *module, *name;
    Py_ssize_t size;
    if (!PyArg_ParseTuple(args, "ssn", &module, &name, &size)) return nullptr;
    return reinterpret_cast<PyObject*>(velmar::import_type(module, name, size));
}

// Implementations behind the function objects of the class `Annotated`.
PyObject* scale(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"self", "factor"};
    static constexpr velmar::Signature sig{"scale", names, 2, 2, 2};
    PyObject* a[2];
    if (!velmar::bind_fastcall(sig, args, nargs, kwnames, a)) return nullptr;
    return Py_BuildValue("(OO)", a[0], a[1]);
}

PyObject* owner(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"cls"};
    static constexpr velmar::Signature sig{"owner", names, 1, 1, 1};
    PyObject* a[1];
    if (!velmar::bind_fastcall(sig, args, nargs, kwnames, a)) return nullptr;
    return Py_NewRef(a[0]);
}

PyObject* answer(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"self"};
    static constexpr velmar::Signature sig{"answer", names, 1, 1, 1};
    PyObject* a[1];
    if (!velmar::bind_fastcall(sig, args, nargs, kwnames, a)) return nullptr;
    return PyLong_FromLong(42);
}

PyMethodDef methods[] = {
    {"bind", VELMAR_FASTCALL(bind), "bind(text, number=None, *, flag=None)\n--\n\n"},
    {"sum_doubles", sum_doubles, METH_O, "sum_doubles(values, /)\n--\n\n"},
    {"sum_int64", sum_int64, METH_O, "sum_int64(values, /)\n--\n\n"},
    {"fill_rows", VELMAR_CFUNCTION(fill_rows), METH_FASTCALL, "fill_rows(matrix, value, /)\n--\n\n"},
    {"call_native", call_native, METH_VARARGS, "call_native(module, name, signature, y, x, /)\n--\n\n"},
    {"read_constant", read_constant, METH_VARARGS, "read_constant(module, name, /)\n--\n\n"},
    {"import_type", import_type, METH_VARARGS, "import_type(module, name, basic_size, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr}};

int exec_probe(PyObject* module) {
    if (!velmar::import_numpy()) return -1;
    if (!velmar::export_function(module, "polar_radius", polar_radius, velmar::signature::double_of_two_doubles))
        return -1;
    if (!velmar::export_variable(module, "exported_constant", &exported_constant, velmar::signature::double_value))
        return -1;
    Ref ns = Ref::steal(PyDict_New());
    if (!ns) return -1;
    const velmar::FunctionSpec specs[] = {
        {"scale",
         "Annotated.scale",
         scale,
         velmar::Binding::method,
         "Annotated.scale(self, factor) -> tuple",
         "(self, factor)",
         {{"factor", "float"}, {"return", "tuple"}}},
        {"owner", "Annotated.owner", owner, velmar::Binding::classmethod, nullptr, "(cls)", {}},
    };
    for (const auto& s : specs)
        if (!velmar::add_function(module, ns.get(), s)) return -1;
    Ref getter = Ref::steal(velmar::make_function(module, {"answer",
                                                           "Annotated.answer",
                                                           answer,
                                                           velmar::Binding::method,
                                                           "Annotated.answer: int",
                                                           nullptr,
                                                           {{"return", "int"}}}));
    if (!getter) return -1;
    Ref prop = Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyProperty_Type), getter.get()));
    if (!prop || PyDict_SetItemString(ns.get(), "answer", prop.get()) < 0) return -1;
    Ref modname = Ref::steal(PyObject_GetAttrString(module, "__name__"));
    if (!modname || PyDict_SetItemString(ns.get(), "__module__", modname.get()) < 0) return -1;
    Ref cls = Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O)O", "Annotated",
                                               reinterpret_cast<PyObject*>(&PyBaseObject_Type), ns.get()));
    return cls && PyModule_AddObjectRef(module, "Annotated", cls.get()) == 0 ? 0 : -1;
}

}  // namespace

VELMAR_MODULE(_probe, "Exercises velmar's native helper layer (tests only).", methods, exec_probe)

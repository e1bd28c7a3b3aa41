// Reference ellipsoids of revolution, defined by the semi-major axis `a` and
// the flattening `f`; the semi-minor axis `b` and the squared eccentricity
// `e2` follow. Ellipsoids are immutable values: equal when `a` and `f` are.
#include <cmath>

#include "velmar/_native/args.hpp"
#include "velmar/_native/exports.hpp"
#include "velmar/_native/module.hpp"
#include "velmar/_native/types.hpp"

namespace {

using velmar::Ref;

struct EllipsoidObject {
    PyObject_HEAD double a;  // semi-major axis, m
    double f;                // flattening
    double b;                // semi-minor axis a (1 - f), m
    double e2;               // first eccentricity squared f (2 - f)
};

// Exported natively; each slot owns its ellipsoid for the life of the process.
PyObject* wgs72_slot = nullptr;
PyObject* wgs84_slot = nullptr;
PyObject* grs80_slot = nullptr;

EllipsoidObject* as_ellipsoid(PyObject* self) { return reinterpret_cast<EllipsoidObject*>(self); }

PyObject* make(PyTypeObject* type, double a, double f) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    auto* e = as_ellipsoid(self);
    e->a = a;
    e->f = f;
    e->b = a * (1.0 - f);
    e->e2 = f * (2.0 - f);
    return self;
}

// Ellipsoid(a, f)
PyObject* ellipsoid_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr const char* names[] = {"a", "f"};
    static constexpr velmar::Signature sig{"Ellipsoid", names, 2, 2, 2};
    PyObject* v[2];
    if (!velmar::bind_tuple(sig, args, kwargs, v)) return nullptr;
    double a, f;
    if (!velmar::read_double(v[0], a, "a") || !velmar::read_double(v[1], f, "f")) return nullptr;
    if (!(std::isfinite(a) && a > 0.0)) {
        PyErr_Format(PyExc_ValueError, velmar::msg::ellipsoid_axis, v[0]);
        return nullptr;
    }
    if (!(f >= 0.0 && f < 1.0)) {
        PyErr_Format(PyExc_ValueError, velmar::msg::ellipsoid_flattening, v[1]);
        return nullptr;
    }
    return make(type, a, f);
}

void ellipsoid_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* ellipsoid_repr(PyObject* self) {
    Ref a = Ref::steal(PyFloat_FromDouble(as_ellipsoid(self)->a));
    Ref f = Ref::steal(PyFloat_FromDouble(as_ellipsoid(self)->f));
    if (!a || !f) return nullptr;
    return PyUnicode_FromFormat("Ellipsoid(a=%R, f=%R)", a.get(), f.get());
}

PyObject* ellipsoid_richcompare(PyObject* self, PyObject* other, int op) {
    if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(other, Py_TYPE(self))) Py_RETURN_NOTIMPLEMENTED;
    const EllipsoidObject* x = as_ellipsoid(self);
    const EllipsoidObject* y = as_ellipsoid(other);
    const bool equal = x->a == y->a && x->f == y->f;
    return PyBool_FromLong(equal == (op == Py_EQ));
}

Py_hash_t ellipsoid_hash(PyObject* self) {
    Ref key = Ref::steal(Py_BuildValue("(dd)", as_ellipsoid(self)->a, as_ellipsoid(self)->f));
    return key ? PyObject_Hash(key.get()) : -1;
}

PyObject* ellipsoid_reduce(PyObject* self, PyObject*) {
    return Py_BuildValue("O(dd)", reinterpret_cast<PyObject*>(Py_TYPE(self)), as_ellipsoid(self)->a,
                         as_ellipsoid(self)->f);
}

PyMemberDef members[] = {
    {"a", T_DOUBLE, offsetof(EllipsoidObject, a), READONLY, "Semi-major (equatorial) axis (m)."},
    {"f", T_DOUBLE, offsetof(EllipsoidObject, f), READONLY, "Flattening (a - b) / a."},
    {"b", T_DOUBLE, offsetof(EllipsoidObject, b), READONLY, "Semi-minor (polar) axis a (1 - f) (m)."},
    {"e2", T_DOUBLE, offsetof(EllipsoidObject, e2), READONLY, "First eccentricity squared f (2 - f)."},
    {nullptr, 0, 0, 0, nullptr}};

PyMethodDef methods[] = {{"__reduce__", ellipsoid_reduce, METH_NOARGS, "__reduce__($self, /)\n--\n\n"},
                         {nullptr, nullptr, 0, nullptr}};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("Ellipsoid(a, f)\n--\n\nA reference ellipsoid of revolution: semi-major axis a "
                                  "(m, finite and positive) and flattening f (in [0, 1)).")},
    {Py_tp_new, reinterpret_cast<void*>(ellipsoid_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(ellipsoid_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(ellipsoid_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(ellipsoid_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(ellipsoid_hash)},
    {Py_tp_members, members},
    {Py_tp_methods, methods},
    {0, nullptr}};

PyType_Spec ellipsoid_type_spec = {"velmar.mathtools.ellipsoid.ellipsoid.Ellipsoid", sizeof(EllipsoidObject), 0,
                                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};

struct Defined {
    const char* name;
    double a;
    double inverse_f;
    PyObject** slot;
};

// The defining constants of each ellipsoid: a and 1/f.
const Defined defined[] = {
    {"WGS72", 6378135.0, 298.26, &wgs72_slot},
    {"WGS84", 6378137.0, 298.257223563, &wgs84_slot},
    {"GRS80", 6378137.0, 298.257222101, &grs80_slot},
};

int exec_ellipsoid(PyObject* module) {
    Ref type = Ref::steal(reinterpret_cast<PyObject*>(velmar::add_type(module, &ellipsoid_type_spec)));
    if (!type) return -1;
    for (const Defined& d : defined) {
        Ref object = Ref::steal(make(reinterpret_cast<PyTypeObject*>(type.get()), d.a, 1.0 / d.inverse_f));
        if (!object || PyModule_AddObjectRef(module, d.name, object.get()) < 0) return -1;
        *d.slot = object.release();
        if (!velmar::export_variable(module, d.name, d.slot, velmar::signature::object_value)) return -1;
    }
    return 0;
}

}  // namespace

VELMAR_MODULE(ellipsoid, "Reference ellipsoids: Ellipsoid(a, f) and the WGS72, WGS84 and GRS80 ellipsoids.", nullptr,
              exec_ellipsoid)

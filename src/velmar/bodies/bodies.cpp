// Celestial bodies as classes: a body's constants are class attributes
// (`Earth.GM`, `Earth.Re`), read at the moment of use by the modules that
// need them, so a user may set another value for a study (`Earth.GM = ...`).
// The classes are therefore left mutable.
#include "velmar/_native/module.hpp"
#include "velmar/_native/types.hpp"

namespace {

using velmar::Ref;

struct Body {
    const char* qualified_name;  // the type keeps a pointer to it
    const char* doc;
    double GM;  // m^3/s^2
    double Re;  // m
};

PyType_Slot base_slots[] = {
    {Py_tp_doc, const_cast<char*>("A celestial body. Subclasses carry the body's constants as class attributes:\n"
                                  "GM, gravitational parameter (m^3/s^2), and Re, equatorial radius (m).")},
    {0, nullptr}};

PyType_Spec base_spec = {"velmar.bodies.bodies.CelestialBody", sizeof(PyObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, base_slots};

const Body bodies[] = {
    {"velmar.bodies.bodies.Earth",
     "The Earth. GM = 3.986004418e14 m^3/s^2 (IERS Conventions 2010, WGS 84); Re = 6378137.0 m (WGS 84 / GRS 80 "
     "equatorial radius).",
     3.986004418e14, 6378137.0},
    {"velmar.bodies.bodies.Sun",
     "The Sun. GM = 1.32712440041279419e20 m^3/s^2 (JPL DE440); Re = 6.957e8 m (IAU 2015 Resolution B3 nominal "
     "solar radius).",
     1.32712440041279419e20, 6.957e8},
    {"velmar.bodies.bodies.Moon",
     "The Moon. GM = 4.902800118e12 m^3/s^2 (JPL DE440); Re = 1737400.0 m (IAU mean radius, used as the "
     "equatorial radius of a spherical Moon).",
     4.902800118e12, 1737400.0},
};

bool set_constant(PyObject* type, const char* name, double value) {
    Ref number = Ref::steal(PyFloat_FromDouble(value));
    return number && PyObject_SetAttrString(type, name, number.get()) == 0;
}

int exec_bodies(PyObject* module) {
    Ref base = Ref::steal(reinterpret_cast<PyObject*>(velmar::add_type(module, &base_spec)));
    if (!base) return -1;
    for (const Body& body : bodies) {
        PyType_Slot slots[] = {{Py_tp_doc, const_cast<char*>(body.doc)}, {0, nullptr}};
        PyType_Spec spec = {body.qualified_name, sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, slots};
        Ref type = Ref::steal(PyType_FromModuleAndSpec(module, &spec, base.get()));
        if (!type) return -1;
        if (!set_constant(type.get(), "GM", body.GM) || !set_constant(type.get(), "Re", body.Re)) return -1;
        if (PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(type.get())) < 0) return -1;
    }
    return 0;
}

}  // namespace

VELMAR_MODULE(bodies,
              "Celestial bodies (Earth, Sun, Moon) as classes whose attributes GM (m^3/s^2) and Re (m) are the "
              "body's constants.",
              nullptr, exec_bodies)

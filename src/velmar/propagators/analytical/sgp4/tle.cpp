// The element-set module: TLE (tle_record.cpp) and ELSET (elset.cpp). This
// unit binds the neighbours the two classes rest on, once, at import.
#define VELMAR_NUMPY_IMPORT
#include "velmar/_native/module.hpp"
#include "velmar/_native/numpy.hpp"
#include "velmar/propagators/analytical/sgp4/tle_module.hpp"

namespace velmar::tle_module {

Bound bound{};

namespace {

PyTypeObject* representable = nullptr;  // the base of TLE and ELSET

// The neighbours' types (see velmar::TypeBinding): those with a slot are used
// by the two classes, the others are only checked, so that a package built
// from mismatched sources fails at import rather than at first use elsewhere.
const TypeBinding type_bindings[] = {
    {"velmar.time.time", "Time", sizeof(time::TimeObject), &bound.time},
    {"velmar.frames.frames", "Frame", sizeof(PyObject), nullptr},
    {"velmar.frames.frames", "_GCRF", sizeof(PyObject), nullptr},
    {"velmar.frames.frames", "_ITRF", sizeof(PyObject), nullptr},
    {"velmar.frames.frames", "_TEME", sizeof(PyObject), nullptr},
    {"velmar.frames.frames", "ENU", sizeof(PyObject), nullptr},
    {"velmar.mathtools.ellipsoid.ellipsoid", "Ellipsoid", sizeof(PyObject), nullptr},
    {"velmar.bodies.bodies", "CelestialBody", sizeof(PyObject), nullptr},
    {"velmar.bodies.bodies", "Earth", sizeof(PyObject), &bound.earth},
    {"velmar.bodies.bodies", "Sun", sizeof(PyObject), nullptr},
    {"velmar.bodies.bodies", "Moon", sizeof(PyObject), nullptr},
    {"velmar.utils.representable", "Representable", sizeof(RepresentableObject), &representable},
};

bool intern(PyObject*& slot, const char* text) {
    slot = PyUnicode_InternFromString(text);
    return slot != nullptr;
}

bool intern_names(Names& n) {
    return intern(n.jd, "jd") && intern(n.int64, "int64") && intern(n.satno, "satno") && intern(n.satname, "satname") &&
           intern(n.satname_slot, "_satname") && intern(n.index, "index") && intern(n.size, "size") &&
           intern(n.getitem_integral, "_getitem_integral") &&
           intern(n.getitem_integral_slice, "_getitem_integral_slice") &&
           intern(n.getitem_selection, "_getitem_selection") && intern(n.tolist, "tolist") &&
           intern(n.strip, "strip") && intern(n.utc, "utc") && intern(n.repr, "__repr__") && intern(n.name, "name") &&
           intern(n.GM, "GM") && intern(n.Re, "Re") && intern(n.line1, "line1") && intern(n.line2, "line2") &&
           intern(n.create_formatted_form, "_create_formatted_form") &&
           intern(n.create_formatted_frame, "_create_formatted_frame") &&
           intern(n.format_as_property, "_format_as_property") && intern(n.numbers, "numbers") &&
           intern(n.Integral, "Integral") && intern(n.numpy, "numpy") && intern(n.array, "array") &&
           intern(n.sort, "sort") && intern(n.key, "key");
}

bool add_python_imports(PyObject* module) {
    for (const char* name : {"numpy", "numbers"}) {
        Ref imported = Ref::steal(PyImport_ImportModule(name));
        if (!imported || PyModule_AddObjectRef(module, name, imported.get()) < 0) return false;
    }
    Ref op = Ref::steal(PyImport_ImportModule("operator"));
    if (!op) return false;
    bound.epoch_getter = PyObject_CallMethod(op.get(), "attrgetter", "s", "epoch");
    return bound.epoch_getter != nullptr;
}

bool add_native_bindings(PyObject* module) {
    if (!import_types(type_bindings)) return false;
    if (!import_function("velmar.time.time", "time_of_ns", signature::time_of_ns, bound.time_of_ns) ||
        !import_function("velmar.time.time", "epoch_of_year_day", signature::epoch_of_year_day,
                         bound.epoch_of_year_day))
        return false;
    // TEME is used; the other frame objects and the ellipsoids are only checked.
    bound.teme = import_object("velmar.frames.frames", "TEME");
    if (!bound.teme || !check_objects("velmar.frames.frames", {"GCRF", "ITRF"}) ||
        !check_objects("velmar.mathtools.ellipsoid.ellipsoid", {"WGS72", "WGS84", "GRS80"}))
        return false;
    const char* units = "velmar.units.units";
    if (!import_double(units, "deg", bound.deg) || !import_double(units, "rev", bound.rev) ||
        !import_double(units, "day", bound.day) || !import_double(units, "hour", bound.hour) ||
        !import_double(units, "km", bound.km))
        return false;
    if (!bound.kepler.bind()) return false;
    // The classes reach Time under this name in the module namespace too, as
    // users of the module expect.
    return PyModule_AddObjectRef(module, "Time", reinterpret_cast<PyObject*>(bound.time)) == 0;
}

int exec_tle(PyObject* module) {
    bound.module = module;
    if (!import_numpy() || !intern_names(bound.names)) return -1;
    if (!add_python_imports(module) || !add_native_bindings(module)) return -1;
    bound.jd_keywords = Py_BuildValue("(s)", "format");
    bound.one = PyFloat_FromDouble(1.0);
    if (!bound.jd_keywords || !bound.one) return -1;
    PyObject* base = reinterpret_cast<PyObject*>(representable);
    if (!add_tle_type(module, base) || !add_elset_type(module, base)) return -1;
    if (!add_catalog_functions(module)) return -1;
    return 0;
}

}  // namespace
}  // namespace velmar::tle_module

VELMAR_MODULE(tle, "Two-line element sets of Earth satellites (TLE) and epoch-ordered collections of them (ELSET).",
              nullptr, velmar::tle_module::exec_tle)

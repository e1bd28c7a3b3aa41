// Unit constants: multiply to convert into SI, divide to convert out of it
// (`30 * deg` is radians, `sma / km` is kilometres). Each is a Python float
// and, for the extension modules, a native double exported by name.
#include "velmar/_native/exports.hpp"
#include "velmar/_native/module.hpp"
#include "velmar/units/units.hpp"

namespace {

// Copies of units.hpp's constants, not const: exported by address, and the
// export API takes a plain pointer. Nothing writes them.
double m = velmar::units::m;
double km = velmar::units::km;
double s = velmar::units::s;
double ms = velmar::units::ms;
double minute = velmar::units::minute;
double hour = velmar::units::hour;
double day = velmar::units::day;
double rad = velmar::units::rad;
double deg = velmar::units::deg;
double rev = velmar::units::rev;
double arcsec = velmar::units::arcsec;
double mas = velmar::units::mas;

struct Unit {
    const char* name;
    double* value;
};

const Unit units[] = {
    {"m", &m},     {"km", &km},   {"s", &s},     {"ms", &ms},   {"minute", &minute}, {"hour", &hour},
    {"day", &day}, {"rad", &rad}, {"deg", &deg}, {"rev", &rev}, {"arcsec", &arcsec}, {"mas", &mas},
};

int exec_units(PyObject* module) {
    using velmar::Ref;
    Ref all = Ref::steal(PyList_New(0));
    if (!all) return -1;
    for (const Unit& unit : units) {
        Ref value = Ref::steal(PyFloat_FromDouble(*unit.value));
        if (!value || PyModule_AddObjectRef(module, unit.name, value.get()) < 0) return -1;
        if (!velmar::export_variable(module, unit.name, unit.value, velmar::signature::double_value)) return -1;
        Ref name = Ref::steal(PyUnicode_FromString(unit.name));
        if (!name || PyList_Append(all.get(), name.get()) < 0) return -1;
    }
    return PyModule_AddObjectRef(module, "__all__", all.get());
}

}  // namespace

VELMAR_MODULE(units,
              "Unit constants in SI: multiply a value by a unit to get SI, divide an SI value by a unit to "
              "get that unit (``30 * deg`` in radians, ``sma / km`` in kilometres).",
              nullptr, exec_units)

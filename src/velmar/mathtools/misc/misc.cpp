// Small numeric helpers shared across velmar. atan2_asymmetric is exported
// natively: the anomaly conversions call it once per epoch and must not go
// through Python.
#include "velmar/_native/args.hpp"
#include "velmar/_native/exports.hpp"
#include "velmar/_native/module.hpp"
#include "velmar/mathtools/angles.hpp"

namespace {

using velmar::Ref;

// The exported form of velmar::polar_angle (its signature is the capsule's).
double atan2_asymmetric(double const y, double const x) { return velmar::polar_angle(y, x); }

PyObject* py_atan2_asymmetric(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"y", "x"};
    static constexpr velmar::Signature sig{"atan2_asymmetric", names, 2, 2, 2};
    PyObject* a[2];
    if (!velmar::bind_fastcall(sig, args, nargs, kwnames, a)) return nullptr;
    double y, x;
    if (!velmar::read_double(a[0], y) || !velmar::read_double(a[1], x)) return nullptr;
    return PyFloat_FromDouble(atan2_asymmetric(y, x));
}

PyMethodDef methods[] = {{"atan2_asymmetric", VELMAR_FASTCALL(py_atan2_asymmetric),
                          "atan2_asymmetric($module, y, x)\n--\n\n"
                          "Polar angle of the point (x, y) in radians, in [0, 2 pi).\n\n"
                          "The two-argument arctangent moved into one whole turn: y = 0 with x > 0\n"
                          "gives 0, the angle grows counter-clockwise and never reaches 2 pi.\n"
                          "NaN in either argument gives NaN."},
                         {nullptr, nullptr, 0, nullptr}};

int exec_misc(PyObject* module) {
    return velmar::export_function(module, "atan2_asymmetric", atan2_asymmetric,
                                   velmar::signature::double_of_two_doubles)
               ? 0
               : -1;
}

}  // namespace

VELMAR_MODULE(misc, "Small numeric helpers: the polar angle atan2_asymmetric.", methods, exec_misc)

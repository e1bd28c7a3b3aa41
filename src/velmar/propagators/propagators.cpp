// Propagator: the base class of velmar's orbit propagators.
//
// It holds nothing but the pointer to its table of native operations
// (propagators.hpp). A native subclass sets its own table in tp_new after the
// base's tp_new has run, starting it with the base's entries and replacing
// those it implements; a Python subclass keeps the base's table and supplies
// propagate_state in Python. The base knows no force model, so its gravity
// gradient and acceleration refuse with NotImplementedError; its state
// derivative is generic, built on whatever acceleration the table holds.
#define VELMAR_NUMPY_IMPORT
#include "velmar/propagators/propagators.hpp"

#include "velmar/_native/args.hpp"
#include "velmar/_native/buffer.hpp"
#include "velmar/_native/messages.hpp"
#include "velmar/_native/module.hpp"
#include "velmar/_native/types.hpp"
#include "velmar/_native/numpy.hpp"

namespace {

using velmar::PropagatorObject;
using velmar::PropagatorTable;
using velmar::Ref;

PyObject* propagate_state_name = nullptr;  // interned "propagate_state", set in exec

const PropagatorTable* table_of(PyObject* self) { return reinterpret_cast<PropagatorObject*>(self)->table; }

// NotImplementedError naming the object's class; the native operations'
// failure value.
int refuse(PyObject* self, const char* format, const char* operation) {
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(self)));
    if (name) PyErr_Format(PyExc_NotImplementedError, format, name.get(), operation);
    return -1;
}

// --- the base's native operations (called holding the interpreter lock) ------

int gravity_gradient(PyObject* self, double, const double*, const double*, double*) {
    return refuse(self, velmar::msg::no_force_model, "gravity_gradient");
}

int acceleration(PyObject* self, double, const double*, const double*, double*) {
    return refuse(self, velmar::msg::no_force_model, "acceleration");
}

// d(r, v)/dt = (v, a(t, r, v)), with the acceleration of the object's own
// table. `out` may be `x` itself.
int state_derivative(PyObject* self, double t, const double x[6], double out[6]) {
    const double r[3] = {x[0], x[1], x[2]};
    const double v[3] = {x[3], x[4], x[5]};
    double a[3];
    if (table_of(self)->acceleration(self, t, r, v, a) < 0) return -1;
    for (int k = 0; k < 3; ++k) {
        out[k] = v[k];
        out[3 + k] = a[k];
    }
    return 0;
}

const PropagatorTable base_table = {gravity_gradient, acceleration, state_derivative};

// --- construction ------------------------------------------------------------

constexpr const char* gm_names[] = {"GM"};
constexpr velmar::Signature gm_signature{"__init__", gm_names, 1, 0, 1};

bool accepts(PyObject* args, PyObject* kwargs) {
    PyObject* gm;  // whatever a subclass makes of it; the base stores nothing
    return velmar::bind_tuple(gm_signature, args, kwargs, &gm);
}

int propagator_init(PyObject* self, PyObject* args, PyObject* kwargs);

// Like object.__new__ and object.__init__, each of the pair leaves the
// arguments to the other when only the other is overridden, so a Python
// subclass may give its own __init__ any signature. Called directly (a native
// subclass's tp_new, super().__init__(...)) each accepts no argument or GM.
PyObject* propagator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    const bool init_owns_arguments = type->tp_new == propagator_new && type->tp_init != propagator_init;
    if (!init_owns_arguments && !accepts(args, kwargs)) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    reinterpret_cast<PropagatorObject*>(self)->table = &base_table;
    return self;
}

int propagator_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyTypeObject* type = Py_TYPE(self);
    const bool new_owns_arguments = type->tp_init == propagator_init && type->tp_new != propagator_new;
    return new_owns_arguments || accepts(args, kwargs) ? 0 : -1;
}

void propagator_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// --- Python methods ----------------------------------------------------------

PyObject* propagate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"time_array", "initial_state"};
    static constexpr velmar::Signature sig{"propagate", names, 2, 2, 2};
    PyObject* a[2];
    if (!velmar::bind_fastcall(sig, args, nargs, kwnames, a)) return nullptr;
    // Looked up on the instance, so a Python subclass (or an instance
    // attribute) supplies it.
    PyObject* call[3] = {self, a[0], a[1]};
    return PyObject_VectorcallMethod(propagate_state_name, call, 3, nullptr);
}

PyObject* propagate_state(PyObject* self, PyObject* const*, Py_ssize_t, PyObject*) {
    refuse(self, velmar::msg::not_implemented_by, "propagate_state");
    return nullptr;
}

// Read-only float64 vector of `length` elements; false with ValueError set.
bool read_vector(PyObject* value, const char* name, Py_ssize_t length, double* out) {
    velmar::View1D<double> view;
    if (!view.acquire(value)) return false;
    if (view.size() != length) {
        PyErr_Format(PyExc_ValueError, velmar::msg::buffer_length, name, length, 0, view.size());
        return false;
    }
    for (Py_ssize_t k = 0; k < length; ++k) out[k] = view[k];
    return true;
}

PyObject* new_array(int ndim, const npy_intp* shape, const double* values) {
    PyObject* array = velmar::new_double_array(ndim, shape);
    if (!array) return nullptr;
    npy_intp n = 1;
    for (int d = 0; d < ndim; ++d) n *= shape[d];
    double* data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
    for (npy_intp k = 0; k < n; ++k) data[k] = values[k];
    return array;
}

// _gravity_gradient(t, r, v) and _acceleration(t, r, v): table entries 1 and 2.
template <int entry>
PyObject* position_velocity_operation(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"t", "r", "v"};
    static constexpr velmar::Signature sig{entry == 1 ? "_gravity_gradient" : "_acceleration", names, 3, 3, 3};
    PyObject* a[3];
    if (!velmar::bind_fastcall(sig, args, nargs, kwnames, a)) return nullptr;
    double r[3], v[3], out[9];
    double t;
    if (!velmar::read_double(a[0], t)) return nullptr;
    if (!read_vector(a[1], "r", 3, r) || !read_vector(a[2], "v", 3, v)) return nullptr;
    if constexpr (entry == 1) {
        if (table_of(self)->gravity_gradient(self, t, r, v, out) < 0) return nullptr;
        static constexpr npy_intp shape[] = {3, 3};
        return new_array(2, shape, out);
    } else {
        if (table_of(self)->acceleration(self, t, r, v, out) < 0) return nullptr;
        static constexpr npy_intp shape[] = {3};
        return new_array(1, shape, out);
    }
}

// _state_derivative(t, x): table entry 3.
PyObject* py_state_derivative(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"t", "x"};
    static constexpr velmar::Signature sig{"_state_derivative", names, 2, 2, 2};
    PyObject* a[2];
    if (!velmar::bind_fastcall(sig, args, nargs, kwnames, a)) return nullptr;
    double x[6], out[6];
    double t;
    if (!velmar::read_double(a[0], t)) return nullptr;
    if (!read_vector(a[1], "x", 6, x)) return nullptr;
    if (table_of(self)->state_derivative(self, t, x, out) < 0) return nullptr;
    static constexpr npy_intp shape[] = {6};
    return new_array(1, shape, out);
}

PyMethodDef propagator_methods[] = {
    {"propagate", VELMAR_FASTCALL(propagate),
     "propagate($self, time_array, initial_state)\n--\n\n"
     "Propagate initial_state to the epochs of time_array.\n\n"
     "Returns self.propagate_state(time_array, initial_state): each propagator\n"
     "class supplies propagate_state."},
    {"propagate_state", VELMAR_FASTCALL(propagate_state),
     "propagate_state($self, time, state, **kwargs)\n--\n\n"
     "Propagate state to the epochs of time. The base class has no propagation\n"
     "model and raises NotImplementedError naming the class."},
    {"_gravity_gradient", VELMAR_FASTCALL(position_velocity_operation<1>),
     "_gravity_gradient($self, t, r, v)\n--\n\n"
     "The native gravity gradient d(acceleration)/d(position) at epoch t (s),\n"
     "position r (m) and velocity v (m/s), as a 3 x 3 float64 array (1/s^2)."},
    {"_acceleration", VELMAR_FASTCALL(position_velocity_operation<2>),
     "_acceleration($self, t, r, v)\n--\n\n"
     "The native acceleration (m/s^2) at epoch t (s), position r (m) and velocity v (m/s)."},
    {"_state_derivative", VELMAR_FASTCALL(py_state_derivative),
     "_state_derivative($self, t, x)\n--\n\n"
     "The native state derivative (v, a) at epoch t (s) for the state x = (r, v) (m, m/s)."},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot propagator_slots[] = {
    {Py_tp_doc, const_cast<char*>("Propagator(GM=None)\n--\n\n"
                                  "Base class of velmar's orbit propagators.\n\n"
                                  "A propagator turns one initial state into an ephemeris at many epochs:\n"
                                  "propagate(time_array, initial_state) calls the class's\n"
                                  "propagate_state(time_array, initial_state). The base accepts (and ignores)\n"
                                  "one gravitational parameter GM, which its subclasses interpret, and holds\n"
                                  "no data of its own. Subclass it natively or in Python.")},
    {Py_tp_new, reinterpret_cast<void*>(propagator_new)},
    {Py_tp_init, reinterpret_cast<void*>(propagator_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(propagator_dealloc)},
    {Py_tp_methods, propagator_methods},
    {0, nullptr}};

// Not tracked by the garbage collector: the base holds no references. A Python
// subclass gets an instance dict and, with it, tracking of its own.
PyType_Spec propagator_spec = {"velmar.propagators.propagators.Propagator", sizeof(PropagatorObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE, propagator_slots};

int exec_propagators(PyObject* module) {
    if (!velmar::import_numpy()) return -1;
    if (!propagate_state_name && !(propagate_state_name = PyUnicode_InternFromString("propagate_state"))) return -1;
    Ref type = Ref::steal(reinterpret_cast<PyObject*>(velmar::add_type(module, &propagator_spec)));
    return type ? 0 : -1;
}

}  // namespace

VELMAR_MODULE(propagators, "The base class of velmar's orbit propagators.", nullptr, exec_propagators)

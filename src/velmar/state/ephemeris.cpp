// Ephemerides: the states of one orbit at N epochs, held as arrays. A
// StateVectorEphemeris holds N x 3 positions and velocities, a COEEphemeris
// seven element arrays; both convert into each other in one native loop.
// Like the states they are immutable: their arrays are read-only, and each
// access hands out a new array object over the stored memory, which nobody can
// resize or reshape (numpy.hpp). Every native loop still checks first that
// the lengths it relies on agree with the number of epochs.
#define VELMAR_NUMPY_IMPORT
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "velmar/_native/args.hpp"
#include "velmar/_native/exports.hpp"
#include "velmar/_native/module.hpp"
#include "velmar/_native/numpy.hpp"
#include "velmar/_native/types.hpp"
#include "velmar/frames/geodetic.hpp"
#include "velmar/state/arrays.hpp"
#include "velmar/state/batch.hpp"
#include "velmar/state/conversions.hpp"
#include "velmar/state/ephemeris.hpp"
#include "velmar/state/frame_change.hpp"
#include "velmar/state/state.hpp"
#include "velmar/time/time.hpp"

namespace {

using velmar::COEEphemerisObject;
using velmar::COEObject;
using velmar::EphemerisObject;
using velmar::GeoStateEphemerisObject;
using velmar::Ref;
using velmar::StateObject;
using velmar::StateVectorEphemerisObject;
using velmar::StateVectorObject;
namespace arrays = velmar::arrays;
namespace conv = velmar::conversions;

PyTypeObject* time_type = nullptr;
PyTypeObject* frame_type = nullptr;
PyTypeObject* earth = nullptr;  // the Earth class: its GM is the default
PyTypeObject* state_vector_type = nullptr;
PyTypeObject* coe_type = nullptr;

PyTypeObject* sv_ephemeris_type = nullptr;
PyTypeObject* coe_ephemeris_type = nullptr;
PyObject* itrf = nullptr;  // the frame of geodetic coordinates
velmar::geodetic::Shape wgs84(1.0, 0.0);
velmar::batch::Kernels kernels;  // the array kernels of velmar.state.coe

EphemerisObject* as_eph(PyObject* self) { return reinterpret_cast<EphemerisObject*>(self); }
StateVectorEphemerisObject* as_sve(PyObject* self) { return reinterpret_cast<StateVectorEphemerisObject*>(self); }
COEEphemerisObject* as_coee(PyObject* self) { return reinterpret_cast<COEEphemerisObject*>(self); }

// --- construction helpers -----------------------------------------------------

// The epochs, their number, the frame and GM shared by every ephemeris.
struct Common {
    Ref time;
    PyObject* frame = nullptr;  // borrowed from the arguments
    double GM = 0.0;
    Py_ssize_t size = 0;
};

// The number of epochs of a Time: 1 for a single epoch.
Py_ssize_t epoch_count(PyObject* time) {
    PyObject* epochs = reinterpret_cast<velmar::time::TimeObject*>(time)->epochs;
    return epochs ? PyArray_SIZE(reinterpret_cast<PyArrayObject*>(epochs)) : 1;
}

// time: a Time is kept as it is, anything else goes through Time(time).
// GM: as float() converts it, Earth's GM (read now) when not given; positive
// and finite.
bool read_common(PyObject* time, PyObject* frame, PyObject* gm, Common& out) {
    if (!velmar::require_instance(frame, frame_type, "frame", false)) return false;
    out.frame = frame;
    if (!velmar::read_gm(gm, earth, out.GM)) return false;
    out.time = PyObject_TypeCheck(time, time_type)
                   ? Ref::borrow(time)
                   : Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(time_type), time));
    if (!out.time) return false;
    out.size = epoch_count(out.time.get());
    return true;
}

// A float64 copy of `obj` with one row per epoch (`columns` = 0: one value
// per epoch), or nullptr with ValueError naming the argument.
PyObject* per_epoch(PyObject* obj, const char* name, Py_ssize_t size, int columns) {
    const npy_intp shape[2] = {-1, columns};
    Ref array = Ref::steal(columns ? arrays::float64_copy(obj, name, 2, shape, "(N, 3)")
                                   : arrays::float64_copy(obj, name, 1, shape, "(N,)"));
    if (!array) return nullptr;
    if (arrays::rows(array.get()) != size) {
        PyErr_Format(PyExc_ValueError, velmar::msg::ephemeris_length_mismatch, name,
                     static_cast<Py_ssize_t>(arrays::rows(array.get())), columns ? "rows" : "values", size);
        return nullptr;
    }
    arrays::freeze(array.get());
    return array.release();
}

PyObject* allocate(PyTypeObject* type, PyObject* time, PyObject* frame, double GM) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    as_eph(self)->time = Py_NewRef(time);
    as_eph(self)->frame = Py_NewRef(frame);
    as_eph(self)->GM = GM;
    return self;
}

// The epoch of row i as a scalar Time. A single-epoch Time (a propagation to
// one instant) is its own row 0.
PyObject* epoch_at(PyObject* time, Py_ssize_t i) {
    if (!reinterpret_cast<velmar::time::TimeObject*>(time)->epochs) return Py_NewRef(time);
    Ref index = Ref::steal(PyLong_FromSsize_t(i));
    return index ? PyObject_GetItem(time, index.get()) : nullptr;
}

// A new state of `type` (StateVector or COE, whose layouts this module
// shares) at row i, with the common fields set.
PyObject* allocate_state(PyTypeObject* type, PyObject* self, Py_ssize_t i) {
    Ref epoch = Ref::steal(epoch_at(as_eph(self)->time, i));
    if (!epoch) return nullptr;
    PyObject* state = type->tp_alloc(type, 0);
    if (!state) return nullptr;
    auto* s = reinterpret_cast<StateObject*>(state);
    s->epoch = epoch.release();
    s->frame = Py_NewRef(as_eph(self)->frame);
    s->GM = as_eph(self)->GM;
    return state;
}

bool check_index(PyObject* self, Py_ssize_t i, Py_ssize_t size) {
    if (i >= 0 && i < size) return true;
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(self)));
    if (name) PyErr_Format(PyExc_IndexError, velmar::msg::index_out_of_range, name.get());
    return false;
}

// A getter handing out a new array object over the stored array `field` of
// an ephemeris of layout `Object`: what the caller gets can be neither resized
// nor reshaped in a way the ephemeris would see.
template <typename Object, PyObject* Object::* field> PyObject* get_array(PyObject* self, void* name) {
    PyObject* array = reinterpret_cast<Object*>(self)->*field;
    if (!array) {
        PyErr_Format(PyExc_AttributeError, velmar::msg::ephemeris_array_unset, Py_TYPE(self)->tp_name,
                     static_cast<const char*>(name));
        return nullptr;
    }
    return velmar::new_fixed_view(array);
}

// --- Ephemeris ----------------------------------------------------------------

int eph_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_eph(self)->dict);
    Py_VISIT(as_eph(self)->time);
    Py_VISIT(as_eph(self)->frame);
    return 0;
}

int eph_clear(PyObject* self) {
    Py_CLEAR(as_eph(self)->dict);
    Py_CLEAR(as_eph(self)->time);
    Py_CLEAR(as_eph(self)->frame);
    return 0;
}

PyObject* eph_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr const char* names[] = {"time", "frame", "GM"};
    static constexpr velmar::Signature sig{"Ephemeris", names, 3, 2, 3};
    PyObject* a[3];
    if (!velmar::bind_tuple(sig, args, kwargs, a)) return nullptr;
    Common c;
    if (!read_common(a[0], a[1], a[2], c)) return nullptr;
    return allocate(type, c.time.get(), c.frame, c.GM);
}

PyObject* eph_get_size(PyObject* self, void*) { return PyLong_FromSsize_t(epoch_count(as_eph(self)->time)); }

PyObject* eph_to_sv(PyObject* self, PyObject*) {
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(self)));
    if (name) PyErr_Format(PyExc_NotImplementedError, velmar::msg::no_to_sv, name.get());
    return nullptr;
}

template <typename Size> PyObject* eph_repr(PyObject* self) {
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(self)));
    if (!name) return nullptr;
    const Py_ssize_t n = Size::of(self);
    if (n < 0) return nullptr;
    return PyUnicode_FromFormat("<%U of %zd epochs in %R>", name.get(), n, as_eph(self)->frame);
}

struct TimeSize {
    static Py_ssize_t of(PyObject* self) { return epoch_count(as_eph(self)->time); }
};

PyMemberDef eph_members[] = {
    {"time", T_OBJECT_EX, offsetof(EphemerisObject, time), READONLY, "Epochs of the ephemeris (a Time)."},
    {"frame", T_OBJECT_EX, offsetof(EphemerisObject, frame), READONLY, "Reference frame (a Frame)."},
    {"GM", T_DOUBLE, offsetof(EphemerisObject, GM), READONLY, "Gravitational parameter of the central body, m^3/s^2."},
    {"__dictoffset__", T_PYSSIZET, offsetof(EphemerisObject, dict), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyGetSetDef eph_getset[] = {{"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
                            {"size", eph_get_size, nullptr, "Number of epochs N (int).", nullptr},
                            {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef eph_methods[] = {
    {"to_sv", eph_to_sv, METH_NOARGS,
     "to_sv($self, /)\n--\n\nThe same states as a StateVectorEphemeris. Subclasses provide it."},
    {nullptr, nullptr, 0, nullptr}};

constexpr unsigned long eph_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;

PyType_Slot eph_slots[] = {
    {Py_tp_doc, const_cast<char*>("Ephemeris(time, frame, GM=None)\n--\n\n"
                                  "States of one orbit at N epochs: the base of the ephemeris classes.\n\n"
                                  "time is anything Time() accepts; frame is a Frame; GM is the\n"
                                  "gravitational parameter of the central body in m^3/s^2 (Earth.GM, read at\n"
                                  "construction, when None).")},
    {Py_tp_new, reinterpret_cast<void*>(eph_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(velmar::gc_dealloc<eph_clear>)},
    {Py_tp_traverse, reinterpret_cast<void*>(eph_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(eph_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(eph_repr<TimeSize>)},
    {Py_tp_members, eph_members},
    {Py_tp_getset, eph_getset},
    {Py_tp_methods, eph_methods},
    {0, nullptr}};

PyType_Spec eph_spec = {"velmar.state.ephemeris.Ephemeris", sizeof(EphemerisObject), 0, eph_flags, eph_slots};

// --- StateVectorEphemeris ---------------------------------------------------------

// The stored arrays are not visited: they refer to nothing but their memory,
// so they close no cycle, and the collector's referents would otherwise hand
// them to Python, which could reshape them.
int sve_traverse(PyObject* self, visitproc visit, void* arg) { return eph_traverse(self, visit, arg); }

int sve_clear(PyObject* self) {
    Py_CLEAR(as_sve(self)->r);
    Py_CLEAR(as_sve(self)->v);
    return eph_clear(self);
}

// Takes over r and v (frozen N x 3 float64 arrays).
PyObject* new_sv_ephemeris(PyTypeObject* type, PyObject* time, PyObject* frame, double GM, Ref r, Ref v) {
    PyObject* self = allocate(type, time, frame, GM);
    if (!self) return nullptr;
    as_sve(self)->r = r.release();
    as_sve(self)->v = v.release();
    return self;
}

PyObject* sve_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr const char* names[] = {"time", "frame", "r", "v", "GM"};
    static constexpr velmar::Signature sig{"StateVectorEphemeris", names, 5, 4, 5};
    PyObject* a[5];
    if (!velmar::bind_tuple(sig, args, kwargs, a)) return nullptr;
    Common c;
    if (!read_common(a[0], a[1], a[4], c)) return nullptr;
    Ref r = Ref::steal(per_epoch(a[2], "r", c.size, 3));
    if (!r) return nullptr;
    Ref v = Ref::steal(per_epoch(a[3], "v", c.size, 3));
    if (!v) return nullptr;
    return new_sv_ephemeris(type, c.time.get(), c.frame, c.GM, std::move(r), std::move(v));
}

// The number of epochs, once r and v are checked to hold one row each; -1 with
// ValueError when they do not.
Py_ssize_t sve_length(PyObject* self) {
    const Py_ssize_t n = epoch_count(as_eph(self)->time);
    if (!arrays::check_shape(as_sve(self)->r, "StateVectorEphemeris.r", n, 3) ||
        !arrays::check_shape(as_sve(self)->v, "StateVectorEphemeris.v", n, 3))
        return -1;
    return n;
}

struct SVSize {
    static Py_ssize_t of(PyObject* self) { return sve_length(self); }
};

PyObject* sve_get_size(PyObject* self, void*) {
    const Py_ssize_t n = sve_length(self);
    return n < 0 ? nullptr : PyLong_FromSsize_t(n);
}

PyObject* sve_item(PyObject* self, Py_ssize_t i) {
    const Py_ssize_t n = sve_length(self);
    if (n < 0 || !check_index(self, i, n)) return nullptr;
    PyObject* state = allocate_state(state_vector_type, self, i);
    if (!state) return nullptr;
    const double* r = arrays::data(as_sve(self)->r) + 3 * i;
    const double* v = arrays::data(as_sve(self)->v) + 3 * i;
    auto* sv = reinterpret_cast<StateVectorObject*>(state);
    for (int k = 0; k < 3; ++k) sv->r[k] = r[k], sv->v[k] = v[k];
    return state;
}

PyObject* sve_to_sv(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyObject* sve_to_coe(PyObject* self, PyObject*) {
    if (!velmar::frame_change::require_inertial(as_eph(self)->frame, "StateVectorEphemeris")) return nullptr;
    const npy_intp n = sve_length(self);
    if (n < 0) return nullptr;
    const double GM = as_eph(self)->GM;
    // Held for the loop, which runs without the interpreter lock.
    const Ref held_r = Ref::borrow(as_sve(self)->r), held_v = Ref::borrow(as_sve(self)->v);
    const double* r = arrays::data(held_r.get());
    const double* v = arrays::data(held_v.get());
    Ref out[7];
    double* column[7];
    for (int k = 0; k < 7; ++k) {
        if (!(out[k] = Ref::steal(velmar::new_fixed_array(NPY_DOUBLE, 1, &n)))) return nullptr;
        column[k] = arrays::data(out[k].get());
    }
    npy_intp radial_at = -1;
    Py_BEGIN_ALLOW_THREADS for (npy_intp i = 0; i < n; ++i) {
        if (conv::radial(r + 3 * i, v + 3 * i)) {
            radial_at = i;
            break;
        }
        const conv::Elements e = conv::elements(GM, r + 3 * i, v + 3 * i);
        column[0][i] = e.ecc, column[1][i] = e.sma, column[2][i] = e.inc, column[3][i] = e.raa;
        column[4][i] = e.arp, column[5][i] = e.tra, column[6][i] = e.slr;
    }
    Py_END_ALLOW_THREADS if (radial_at >= 0) {
        PyErr_Format(PyExc_ValueError,
                     "StateVectorEphemeris.to_coe(): the state at index %zd has zero angular momentum (r and v "
                     "are parallel), so radial motion has no orbital plane and no classical elements",
                     static_cast<Py_ssize_t>(radial_at));
        return nullptr;
    }
    PyObject* coee = allocate(coe_ephemeris_type, as_eph(self)->time, as_eph(self)->frame, GM);
    if (!coee) return nullptr;
    PyObject** fields[7] = {&as_coee(coee)->ecc, &as_coee(coee)->sma, &as_coee(coee)->inc, &as_coee(coee)->raa,
                            &as_coee(coee)->arp, &as_coee(coee)->tra, &as_coee(coee)->slr};
    for (int k = 0; k < 7; ++k) {
        arrays::freeze(out[k].get());
        *fields[k] = out[k].release();
    }
    return coee;
}

PyObject* sve_to_frame(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject *target, *eop;
    if (!velmar::frame_change::bind_to_frame(args, nargs, kwnames, target, eop)) return nullptr;
    if (sve_length(self) < 0) return nullptr;
    // Views over the stored (read-only) arrays; transform copies them.
    Ref r = Ref::steal(velmar::new_fixed_view(as_sve(self)->r));
    if (!r) return nullptr;
    Ref v = Ref::steal(velmar::new_fixed_view(as_sve(self)->v));
    if (!v) return nullptr;
    return velmar::frame_change::to_frame(sv_ephemeris_type, as_eph(self)->time, as_eph(self)->frame, as_eph(self)->GM,
                                          r.get(), v.get(), target, eop);
}

PyGetSetDef sve_getset[] = {
    {"r", get_array<StateVectorEphemerisObject, &StateVectorEphemerisObject::r>, nullptr,
     "Positions, m: a read-only N x 3 float64 array, one row per epoch.", const_cast<char*>("r")},
    {"v", get_array<StateVectorEphemerisObject, &StateVectorEphemerisObject::v>, nullptr,
     "Velocities, m/s: a read-only N x 3 float64 array, one row per epoch.", const_cast<char*>("v")},
    {"size", sve_get_size, nullptr, "Number of epochs N (int).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef sve_methods[] = {
    {"to_sv", sve_to_sv, METH_NOARGS, "to_sv($self, /)\n--\n\nThis ephemeris itself."},
    {"to_coe", sve_to_coe, METH_NOARGS,
     "to_coe($self, /)\n--\n\n"
     "The classical elements at every epoch, as a COEEphemeris of the same time, frame\n"
     "and GM, with the conventions of StateVector.to_coe(). Raises ValueError naming the\n"
     "first epoch whose angular momentum is zero, and refuses an Earth-fixed frame (ITRF, ENU):\n"
     "osculating elements belong to an inertial frame."},
    {"to_frame", VELMAR_FASTCALL(sve_to_frame),
     "to_frame($self, /, frame, eop=None)\n--\n\n"
     "These states in another frame, as a new StateVectorEphemeris of the same time and GM,\n"
     "transformed at every epoch in one native pass.\n\n" VELMAR_TO_FRAME_DOC_TAIL},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot sve_slots[] = {
    {Py_tp_doc, const_cast<char*>("StateVectorEphemeris(time, frame, r, v, GM=None)\n--\n\n"
                                  "Positions and velocities of one orbit at N epochs.\n\n"
                                  "time holds the N epochs (anything Time() accepts); r (m) and v (m/s) are N x 3\n"
                                  "arrays of real numbers, copied; GM in m^3/s^2 (Earth.GM when None). eph[i] is\n"
                                  "the StateVector at epoch i, and iterating gives them in order.")},
    {Py_tp_new, reinterpret_cast<void*>(sve_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(velmar::gc_dealloc<sve_clear>)},
    {Py_tp_traverse, reinterpret_cast<void*>(sve_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(sve_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(eph_repr<SVSize>)},
    {Py_sq_length, reinterpret_cast<void*>(sve_length)},
    {Py_sq_item, reinterpret_cast<void*>(sve_item)},
    {Py_tp_getset, sve_getset},
    {Py_tp_methods, sve_methods},
    {0, nullptr}};

PyType_Spec sve_spec = {"velmar.state.ephemeris.StateVectorEphemeris", sizeof(StateVectorEphemerisObject), 0, eph_flags,
                        sve_slots};

// --- COEEphemeris -------------------------------------------------------------------

constexpr int element_count = 7;
constexpr const char* element_names[element_count] = {"ecc", "sma", "inc", "raa", "arp", "tra", "slr"};

PyObject** element_field(PyObject* self, int k) {
    COEEphemerisObject* e = as_coee(self);
    PyObject** fields[element_count] = {&e->ecc, &e->sma, &e->inc, &e->raa, &e->arp, &e->tra, &e->slr};
    return fields[k];
}

// The element arrays are not visited, as in sve_traverse.
int coee_traverse(PyObject* self, visitproc visit, void* arg) { return eph_traverse(self, visit, arg); }

int coee_clear(PyObject* self) {
    for (int k = 0; k < element_count; ++k) Py_CLEAR(*element_field(self, k));
    return eph_clear(self);
}

PyObject* coee_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr const char* names[] = {"time", "frame", "ecc", "sma", "inc", "raa", "arp", "tra", "GM", "slr"};
    static constexpr velmar::Signature sig{"COEEphemeris", names, 10, 8, 10};
    PyObject* a[10];
    if (!velmar::bind_tuple(sig, args, kwargs, a)) return nullptr;
    Common c;
    if (!read_common(a[0], a[1], a[8], c)) return nullptr;
    PyObject* given[element_count] = {a[2], a[3], a[4], a[5], a[6], a[7], a[9]};
    Ref column[element_count];
    for (int k = 0; k < element_count; ++k) {
        if (k == 6 && (!given[k] || given[k] == Py_None)) break;
        if (!(column[k] = Ref::steal(per_epoch(given[k], element_names[k], c.size, 0)))) return nullptr;
    }
    const double* ecc = arrays::data(column[0].get());
    for (Py_ssize_t i = 0; i < c.size; ++i) {
        if (ecc[i] < 0.0) {
            Ref value = Ref::steal(PyFloat_FromDouble(ecc[i]));
            if (value) PyErr_Format(PyExc_ValueError, velmar::msg::negative_eccentricities, value.get(), i);
            return nullptr;
        }
    }
    // The sign of sma follows the kind of conic, as for a single COE: the
    // other sign would give a mirrored position and a NaN velocity.
    const double* sma = arrays::data(column[1].get());
    for (Py_ssize_t i = 0; i < c.size; ++i) {
        if ((ecc[i] < 1.0 && sma[i] <= 0.0) || (ecc[i] > 1.0 && sma[i] >= 0.0)) {
            Ref a = Ref::steal(PyFloat_FromDouble(sma[i]));
            Ref e = Ref::steal(PyFloat_FromDouble(ecc[i]));
            if (a && e)
                PyErr_Format(PyExc_ValueError,
                             ecc[i] < 1.0 ? velmar::msg::elliptic_sma_at : velmar::msg::hyperbolic_sma_at, a.get(),
                             e.get(), i);
            return nullptr;
        }
    }
    if (!column[6]) {
        // slr not given: derived from sma and ecc, as for a single COE.
        const npy_intp n = c.size;
        if (!(column[6] = Ref::steal(velmar::new_fixed_array(NPY_DOUBLE, 1, &n)))) return nullptr;
        double* slr = arrays::data(column[6].get());
        for (Py_ssize_t i = 0; i < c.size; ++i) slr[i] = sma[i] * (1.0 - ecc[i] * ecc[i]);
        arrays::freeze(column[6].get());
    }
    PyObject* self = allocate(type, c.time.get(), c.frame, c.GM);
    if (!self) return nullptr;
    for (int k = 0; k < element_count; ++k) *element_field(self, k) = column[k].release();
    return self;
}

constexpr const char* element_labels[element_count] = {"COEEphemeris.ecc", "COEEphemeris.sma", "COEEphemeris.inc",
                                                       "COEEphemeris.raa", "COEEphemeris.arp", "COEEphemeris.tra",
                                                       "COEEphemeris.slr"};

// The number of epochs, once every element array is checked to hold one value
// per epoch; -1 with ValueError naming the first that does not.
Py_ssize_t coee_length(PyObject* self) {
    const Py_ssize_t n = epoch_count(as_eph(self)->time);
    for (int k = 0; k < element_count; ++k)
        if (!arrays::check_shape(*element_field(self, k), element_labels[k], n, 0)) return -1;
    return n;
}

struct COESize {
    static Py_ssize_t of(PyObject* self) { return coee_length(self); }
};

PyObject* coee_get_size(PyObject* self, void*) {
    const Py_ssize_t n = coee_length(self);
    return n < 0 ? nullptr : PyLong_FromSsize_t(n);
}

PyObject* coee_item(PyObject* self, Py_ssize_t i) {
    const Py_ssize_t n = coee_length(self);
    if (n < 0 || !check_index(self, i, n)) return nullptr;
    PyObject* state = allocate_state(coe_type, self, i);
    if (!state) return nullptr;
    auto* c = reinterpret_cast<COEObject*>(state);
    double* fields[element_count] = {&c->ecc, &c->sma, &c->inc, &c->raa, &c->arp, &c->tra, &c->slr};
    for (int k = 0; k < element_count; ++k) *fields[k] = arrays::data(*element_field(self, k))[i];
    return state;
}

PyObject* coee_to_coe(PyObject* self, PyObject*) { return Py_NewRef(self); }

// One pass over the epochs. A propagated orbit keeps inc, raa and arp (and
// slr) from one epoch to the next, so the rotation and the speed scale are
// only recomputed when they change: one sine-cosine pair per epoch instead of
// four, taken a block at a time by the array kernels of velmar.state.coe.
// The loop runs without the interpreter lock on arrays this call holds.
PyObject* coee_to_sv(PyObject* self, PyObject*) {
    const npy_intp n = coee_length(self);
    if (n < 0) return nullptr;
    const double GM = as_eph(self)->GM;
    COEEphemerisObject* e = as_coee(self);
    const Ref held[] = {Ref::borrow(e->ecc), Ref::borrow(e->inc), Ref::borrow(e->raa),
                        Ref::borrow(e->arp), Ref::borrow(e->tra), Ref::borrow(e->slr)};
    const double* ecc = arrays::data(held[0].get());
    const double* inc = arrays::data(held[1].get());
    const double* raa = arrays::data(held[2].get());
    const double* arp = arrays::data(held[3].get());
    const double* tra = arrays::data(held[4].get());
    const double* slr = arrays::data(held[5].get());
    const npy_intp shape[2] = {n, 3};
    Ref r = Ref::steal(velmar::new_fixed_array(NPY_DOUBLE, 2, shape));
    if (!r) return nullptr;
    Ref v = Ref::steal(velmar::new_fixed_array(NPY_DOUBLE, 2, shape));
    if (!v) return nullptr;
    double* R = arrays::data(r.get());
    double* V = arrays::data(v.get());
    Py_BEGIN_ALLOW_THREADS conv::Orientation o;
    // NaN never compares equal, so the first epoch always sets them.
    double last_inc = NAN, last_raa = NAN, last_arp = NAN, last_slr = NAN, speed_scale = NAN;
    constexpr npy_intp block = 256;
    double sin_tra[block], cos_tra[block];
    for (npy_intp start = 0; start < n; start += block) {
        const npy_intp m = std::min(block, n - start);
        kernels.sin_cos(tra + start, sin_tra, cos_tra, m);
        for (npy_intp j = 0; j < m; ++j) {
            const npy_intp i = start + j;
            if (inc[i] != last_inc || raa[i] != last_raa || arp[i] != last_arp) {
                o.set(inc[i], raa[i], arp[i]);
                last_inc = inc[i], last_raa = raa[i], last_arp = arp[i];
            }
            if (slr[i] != last_slr) {
                speed_scale = std::sqrt(GM / slr[i]);
                last_slr = slr[i];
            }
            conv::place(o, ecc[i], slr[i], speed_scale, sin_tra[j], cos_tra[j], R + 3 * i, V + 3 * i);
        }
    }
    Py_END_ALLOW_THREADS arrays::freeze(r.get());
    arrays::freeze(v.get());
    return new_sv_ephemeris(sv_ephemeris_type, as_eph(self)->time, as_eph(self)->frame, GM, std::move(r), std::move(v));
}

#define VELMAR_ELEMENT(field, doc) \
    {#field, get_array<COEEphemerisObject, &COEEphemerisObject::field>, nullptr, doc, const_cast<char*>(#field)}

PyGetSetDef coee_getset[] = {VELMAR_ELEMENT(ecc, "Eccentricities (read-only float64, N)."),
                             VELMAR_ELEMENT(sma, "Semi-major axes, m (read-only float64, N)."),
                             VELMAR_ELEMENT(inc, "Inclinations, rad (read-only float64, N)."),
                             VELMAR_ELEMENT(raa, "Right ascensions of the ascending node, rad (read-only float64, N)."),
                             VELMAR_ELEMENT(arp, "Arguments of perigee, rad (read-only float64, N)."),
                             VELMAR_ELEMENT(tra, "True anomalies, rad (read-only float64, N)."),
                             VELMAR_ELEMENT(slr, "Semi-latera recta, m (read-only float64, N)."),
                             {"size", coee_get_size, nullptr, "Number of epochs N (int).", nullptr},
                             {nullptr, nullptr, nullptr, nullptr, nullptr}};

#undef VELMAR_ELEMENT

PyMethodDef coee_methods[] = {{"to_coe", coee_to_coe, METH_NOARGS, "to_coe($self, /)\n--\n\nThis ephemeris itself."},
                              {"to_sv", coee_to_sv, METH_NOARGS,
                               "to_sv($self, /)\n--\n\n"
                               "Positions and velocities at every epoch, as a StateVectorEphemeris of the same\n"
                               "time, frame and GM, computed as COE.to_sv() does (from slr, so hyperbolic\n"
                               "elements convert too) in one native loop."},
                              {nullptr, nullptr, 0, nullptr}};

PyType_Slot coee_slots[] = {
    {Py_tp_doc, const_cast<char*>("COEEphemeris(time, frame, ecc, sma, inc, raa, arp, tra, GM=None, slr=None)\n--\n\n"
                                  "Classical orbital elements of one orbit at N epochs.\n\n"
                                  "Each element is a one-dimensional array of N real numbers, copied, in the\n"
                                  "units of COE (m, rad; sma positive where ecc < 1, negative where ecc > 1,\n"
                                  "ValueError otherwise); GM in m^3/s^2 (Earth.GM when None). slr, the\n"
                                  "semi-latus rectum in m, is sma (1 - ecc^2) when not given. eph[i] is the COE\n"
                                  "at epoch i, and iterating gives them in order.")},
    {Py_tp_new, reinterpret_cast<void*>(coee_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(velmar::gc_dealloc<coee_clear>)},
    {Py_tp_traverse, reinterpret_cast<void*>(coee_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(coee_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(eph_repr<COESize>)},
    {Py_sq_length, reinterpret_cast<void*>(coee_length)},
    {Py_sq_item, reinterpret_cast<void*>(coee_item)},
    {Py_tp_getset, coee_getset},
    {Py_tp_methods, coee_methods},
    {0, nullptr}};

PyType_Spec coee_spec = {"velmar.state.ephemeris.COEEphemeris", sizeof(COEEphemerisObject), 0, eph_flags, coee_slots};

// --- GeoStateEphemeris ----------------------------------------------------------------

GeoStateEphemerisObject* as_geoe(PyObject* self) { return reinterpret_cast<GeoStateEphemerisObject*>(self); }

// lla is not visited, as in sve_traverse.
int geoe_traverse(PyObject* self, visitproc visit, void* arg) { return eph_traverse(self, visit, arg); }

int geoe_clear(PyObject* self) {
    Py_CLEAR(as_geoe(self)->lla);
    return eph_clear(self);
}

PyObject* geoe_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr const char* names[] = {"time", "frame", "lla", "GM"};
    static constexpr velmar::Signature sig{"GeoStateEphemeris", names, 4, 3, 4};
    PyObject* a[4];
    if (!velmar::bind_tuple(sig, args, kwargs, a)) return nullptr;
    Common c;
    if (!read_common(a[0], a[1], a[3], c)) return nullptr;
    Ref lla = Ref::steal(per_epoch(a[2], "lla", c.size, 3));
    if (!lla) return nullptr;
    PyObject* self = allocate(type, c.time.get(), c.frame, c.GM);
    if (self) as_geoe(self)->lla = lla.release();
    return self;
}

Py_ssize_t geoe_length(PyObject* self) {
    const Py_ssize_t n = epoch_count(as_eph(self)->time);
    return arrays::check_shape(as_geoe(self)->lla, "GeoStateEphemeris.lla", n, 3) ? n : -1;
}

struct GeoSize {
    static Py_ssize_t of(PyObject* self) { return geoe_length(self); }
};

PyObject* geoe_get_size(PyObject* self, void*) {
    const Py_ssize_t n = geoe_length(self);
    return n < 0 ? nullptr : PyLong_FromSsize_t(n);
}

// Each row a place at rest on the rotating Earth, as GeoState.to_sv().
PyObject* geoe_to_sv(PyObject* self, PyObject*) {
    if (as_eph(self)->frame != itrf) {
        Ref name = Ref::steal(PyType_GetName(Py_TYPE(self)));
        if (name)
            PyErr_Format(PyExc_ValueError, velmar::msg::geodetic_frame, PyUnicode_AsUTF8(name.get()),
                         as_eph(self)->frame);
        return nullptr;
    }
    const npy_intp n = geoe_length(self);
    if (n < 0) return nullptr;
    const npy_intp shape[2] = {n, 3};
    Ref r = Ref::steal(velmar::new_fixed_array(NPY_DOUBLE, 2, shape));
    if (!r) return nullptr;
    Ref v = Ref::steal(velmar::new_fixed_array(NPY_DOUBLE, 2, shape));
    if (!v) return nullptr;
    const double* lla = arrays::data(as_geoe(self)->lla);
    double* x = arrays::data(r.get());
    double* dx = arrays::data(v.get());
    npy_intp bad = -1;
    Py_BEGIN_ALLOW_THREADS for (npy_intp i = 0; i < n; ++i) {
        if (std::fabs(lla[3 * i]) > std::numbers::pi / 2) {
            bad = i;
            break;
        }
        velmar::geodetic::to_cartesian(wgs84, lla[3 * i], lla[3 * i + 1], lla[3 * i + 2], x + 3 * i);
        dx[3 * i] = dx[3 * i + 1] = dx[3 * i + 2] = 0.0;
    }
    Py_END_ALLOW_THREADS if (bad >= 0) {
        Ref lat = Ref::steal(PyFloat_FromDouble(lla[3 * bad]));
        if (lat) PyErr_Format(PyExc_ValueError, velmar::msg::latitude_range, lat.get(), static_cast<Py_ssize_t>(bad));
        return nullptr;
    }
    arrays::freeze(r.get());
    arrays::freeze(v.get());
    return new_sv_ephemeris(sv_ephemeris_type, as_eph(self)->time, itrf, as_eph(self)->GM, std::move(r), std::move(v));
}

PyMethodDef geoe_methods[] = {{"to_sv", geoe_to_sv, METH_NOARGS,
                               "to_sv($self, /)\n--\n\n"
                               "The ITRF positions of the rows (WGS84), as a StateVectorEphemeris of the same\n"
                               "time and GM with zero velocities: each row is a place fixed to the Earth, as\n"
                               "in GeoState.to_sv() (the rows carry no rates, and no velocity is made up\n"
                               "from neighbouring rows). The frame must be ITRF (ValueError otherwise), and a\n"
                               "latitude outside [-pi/2, pi/2] raises ValueError naming its row."},
                              {nullptr, nullptr, 0, nullptr}};

PyGetSetDef geoe_getset[] = {
    {"lla", get_array<GeoStateEphemerisObject, &GeoStateEphemerisObject::lla>, nullptr,
     "Geodetic latitude (rad), longitude (rad) and height (m): a read-only N x 3 float64 array.",
     const_cast<char*>("lla")},
    {"size", geoe_get_size, nullptr, "Number of epochs N (int).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot geoe_slots[] = {
    {Py_tp_doc, const_cast<char*>("GeoStateEphemeris(time, frame, lla, GM=None)\n--\n\n"
                                  "Geodetic positions at N epochs: lla is an N x 3 array of latitude (rad),\n"
                                  "longitude (rad) and height (m), copied; GM in m^3/s^2 (Earth.GM when None).\n"
                                  "The coordinates are on WGS84 in an Earth-fixed frame (ITRF).")},
    {Py_tp_new, reinterpret_cast<void*>(geoe_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(velmar::gc_dealloc<geoe_clear>)},
    {Py_tp_traverse, reinterpret_cast<void*>(geoe_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(geoe_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(eph_repr<GeoSize>)},
    {Py_sq_length, reinterpret_cast<void*>(geoe_length)},
    {Py_tp_getset, geoe_getset},
    {Py_tp_methods, geoe_methods},
    {0, nullptr}};

PyType_Spec geoe_spec = {"velmar.state.ephemeris.GeoStateEphemeris", sizeof(GeoStateEphemerisObject), 0, eph_flags,
                         geoe_slots};

// --- native constructors (ephemeris.hpp) ---------------------------------------------

// The common arguments of the native constructors, which other modules pass.
bool native_common(PyObject* time, PyObject* frame, double GM) {
    if (!PyObject_TypeCheck(time, time_type) || !PyObject_TypeCheck(frame, frame_type)) {
        PyErr_SetString(PyExc_SystemError, velmar::msg::native_ephemeris_arguments);
        return false;
    }
    return velmar::require_valid_gm(GM);
}

// An array handed to a native constructor: fixed memory of the right shape.
bool adoptable(PyObject* array, const char* name, npy_intp rows, int columns) {
    if (!array || !velmar::is_fixed_array(array)) {
        PyErr_Format(PyExc_SystemError, velmar::msg::native_ephemeris_array, name);
        return false;
    }
    return arrays::check_shape(array, name, rows, columns);
}

PyObject* c_new_sv_ephemeris(PyObject* time, PyObject* frame, double const GM, PyObject* r, PyObject* v) {
    if (!native_common(time, frame, GM)) return nullptr;
    const Py_ssize_t n = epoch_count(time);
    if (!adoptable(r, "r", n, 3) || !adoptable(v, "v", n, 3)) return nullptr;
    arrays::freeze(r);
    arrays::freeze(v);
    return new_sv_ephemeris(sv_ephemeris_type, time, frame, GM, Ref::borrow(r), Ref::borrow(v));
}

PyObject* c_new_coe_ephemeris(PyObject* time, PyObject* frame, double const GM, PyObject* const* elements) {
    if (!native_common(time, frame, GM)) return nullptr;
    const Py_ssize_t n = epoch_count(time);
    for (int k = 0; k < element_count; ++k)
        if (!adoptable(elements[k], element_names[k], n, 0)) return nullptr;
    PyObject* self = allocate(coe_ephemeris_type, time, frame, GM);
    if (!self) return nullptr;
    for (int k = 0; k < element_count; ++k) {
        arrays::freeze(elements[k]);
        *element_field(self, k) = Py_NewRef(elements[k]);
    }
    return self;
}

// --- module -------------------------------------------------------------------------

// The neighbours' types, all used here (see velmar::TypeBinding). Rows become
// states by filling their C fields, so the state layouts must match.
const velmar::TypeBinding type_bindings[] = {
    {"velmar.time.time", "Time", sizeof(velmar::time::TimeObject), &time_type},
    {"velmar.frames.frames", "Frame", sizeof(PyObject), &frame_type},
    {"velmar.state.state", "StateVector", sizeof(StateVectorObject), &state_vector_type},
    {"velmar.state.state", "COE", sizeof(COEObject), &coe_type},
    {"velmar.bodies.bodies", "Earth", sizeof(PyObject), &earth},
};

int exec_ephemeris(PyObject* module) {
    if (!velmar::import_numpy() || !velmar::import_types(type_bindings)) return -1;
    if (!(itrf = velmar::import_object("velmar.frames.frames", "ITRF"))) return -1;
    if (!velmar::geodetic::read_wgs84(wgs84)) return -1;
    if (!kernels.bind()) return -1;

    PyTypeObject* base = velmar::add_type(module, &eph_spec, nullptr);
    if (!base) return -1;
    Ref own_base = Ref::steal(reinterpret_cast<PyObject*>(base));
    if (!(sv_ephemeris_type = velmar::add_type(module, &sve_spec, base))) return -1;
    if (!(coe_ephemeris_type = velmar::add_type(module, &coee_spec, base))) return -1;
    Ref geo = Ref::steal(reinterpret_cast<PyObject*>(velmar::add_type(module, &geoe_spec, base)));
    if (!geo) return -1;
    namespace api = velmar::ephemeris_api;
    return velmar::export_function(module, "c_new_sv_ephemeris", c_new_sv_ephemeris, api::new_sv_signature) &&
                   velmar::export_function(module, "c_new_coe_ephemeris", c_new_coe_ephemeris, api::new_coe_signature)
               ? 0
               : -1;
}

}  // namespace

VELMAR_MODULE(ephemeris,
              "Ephemerides: the states of one orbit at many epochs (StateVectorEphemeris, COEEphemeris, "
              "GeoStateEphemeris), kinds of Ephemeris.",
              nullptr, exec_ephemeris)

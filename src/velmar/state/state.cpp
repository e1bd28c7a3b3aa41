// Orbital states at one epoch: position-velocity (StateVector), classical
// elements (COE) and geodetic (GeoState), all kinds of State. They are
// immutable values; the two-body propagator reads their C fields directly.
#define VELMAR_NUMPY_IMPORT
#include <cstring>
#include <string>

#include "velmar/_native/args.hpp"
#include "velmar/_native/exports.hpp"
#include "velmar/_native/module.hpp"
#include "velmar/_native/numpy.hpp"
#include "velmar/_native/types.hpp"
#include "velmar/frames/geodetic.hpp"
#include "velmar/state/arrays.hpp"
#include "velmar/state/conversions.hpp"
#include "velmar/state/frame_change.hpp"
#include "velmar/state/state.hpp"
#include "velmar/time/time.hpp"

namespace {

using velmar::COEObject;
using velmar::GeoStateObject;
using velmar::Ref;
using velmar::StateObject;
using velmar::StateVectorObject;

PyTypeObject* time_type = nullptr;
PyTypeObject* frame_type = nullptr;
PyTypeObject* earth = nullptr;  // the Earth class: its GM is the default
PyObject* itrf = nullptr;       // the frame of geodetic coordinates
velmar::geodetic::Shape wgs84(1.0, 0.0);

PyTypeObject* state_type = nullptr;
PyTypeObject* state_vector_type = nullptr;
PyTypeObject* coe_type = nullptr;

StateObject* as_state(PyObject* self) { return reinterpret_cast<StateObject*>(self); }
StateVectorObject* as_sv(PyObject* self) { return reinterpret_cast<StateVectorObject*>(self); }
COEObject* as_coe(PyObject* self) { return reinterpret_cast<COEObject*>(self); }

// --- construction helpers -----------------------------------------------------

// The epoch as a scalar Time: a Time is kept as it is, anything else goes
// through Time(epoch).
PyObject* scalar_time(PyObject* epoch) {
    Ref time = PyObject_TypeCheck(epoch, time_type)
                   ? Ref::borrow(epoch)
                   : Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(time_type), epoch));
    if (!time) return nullptr;
    if (reinterpret_cast<velmar::time::TimeObject*>(time.get())->epochs) {
        Ref shape = Ref::steal(PyObject_GetAttrString(time.get(), "shape"));
        if (shape) PyErr_Format(PyExc_ValueError, velmar::msg::epoch_not_scalar, shape.get());
        return nullptr;
    }
    return time.release();
}

// A new state of `type` with its common fields set; the caller fills the rest.
PyObject* allocate(PyTypeObject* type, PyObject* epoch, PyObject* frame, double GM) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    StateObject* s = as_state(self);
    s->epoch = Py_NewRef(epoch);
    s->frame = Py_NewRef(frame);
    s->GM = GM;
    return self;
}

// Checks the frame, reads GM, converts the epoch, then allocates.
PyObject* allocate_checked(PyTypeObject* type, PyObject* epoch, PyObject* frame, PyObject* gm) {
    if (!velmar::require_instance(frame, frame_type, "frame", false)) return nullptr;
    double GM;
    if (!velmar::read_gm(gm, earth, GM)) return nullptr;
    Ref time = Ref::steal(scalar_time(epoch));
    if (!time) return nullptr;
    return allocate(type, time.get(), frame, GM);
}

// --- State ----------------------------------------------------------------------

int state_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_state(self)->dict);
    Py_VISIT(as_state(self)->epoch);
    Py_VISIT(as_state(self)->frame);
    return 0;
}

int state_clear(PyObject* self) {
    Py_CLEAR(as_state(self)->dict);
    Py_CLEAR(as_state(self)->epoch);
    Py_CLEAR(as_state(self)->frame);
    return 0;
}

PyObject* state_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr const char* names[] = {"epoch", "frame", "GM"};
    static constexpr velmar::Signature sig{"State", names, 3, 2, 3};
    PyObject* a[3];
    if (!velmar::bind_tuple(sig, args, kwargs, a)) return nullptr;
    return allocate_checked(type, a[0], a[1], a[2]);
}

PyObject* state_to_sv(PyObject* self, PyObject*) {
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(self)));
    if (!name) return nullptr;
    PyErr_Format(PyExc_NotImplementedError, velmar::msg::no_to_sv, name.get());
    return nullptr;
}

// Any state that can become a position-velocity state has elements.
PyObject* state_to_coe(PyObject* self, PyObject*) {
    Ref sv = Ref::steal(PyObject_CallMethod(self, "to_sv", nullptr));
    if (!sv) return nullptr;
    return PyObject_CallMethod(sv.get(), "to_coe", nullptr);
}

// "Name(epoch=..., frame=..., <fields>, GM=...)"; `fields` is already text.
PyObject* state_repr(PyObject* self, const std::string& fields) {
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(self)));
    if (!name) return nullptr;
    Ref gm = Ref::steal(PyFloat_FromDouble(as_state(self)->GM));
    if (!gm) return nullptr;
    return PyUnicode_FromFormat("%U(epoch=%R, frame=%R, %s, GM=%R)", name.get(), as_state(self)->epoch,
                                as_state(self)->frame, fields.c_str(), gm.get());
}

void append_double(std::string& out, double x) {
    char* text = PyOS_double_to_string(x, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (text) {
        out += text;
        PyMem_Free(text);
    }
}

void append_vector(std::string& out, const char* name, const double x[3]) {
    out += name;
    out += "=[";
    for (int k = 0; k < 3; ++k) {
        if (k) out += ", ";
        append_double(out, x[k]);
    }
    out += "]";
}

void append_field(std::string& out, const char* name, double x) {
    if (!out.empty()) out += ", ";
    out += name;
    out += "=";
    append_double(out, x);
}

PyObject* state_base_repr(PyObject* self) {
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(self)));
    Ref gm = Ref::steal(PyFloat_FromDouble(as_state(self)->GM));
    if (!name || !gm) return nullptr;
    return PyUnicode_FromFormat("%U(epoch=%R, frame=%R, GM=%R)", name.get(), as_state(self)->epoch,
                                as_state(self)->frame, gm.get());
}

PyMemberDef state_members[] = {
    {"epoch", T_OBJECT_EX, offsetof(StateObject, epoch), READONLY, "Epoch of the state (a scalar Time)."},
    {"frame", T_OBJECT_EX, offsetof(StateObject, frame), READONLY, "Reference frame of the state (a Frame)."},
    {"GM", T_DOUBLE, offsetof(StateObject, GM), READONLY, "Gravitational parameter of the central body, m^3/s^2."},
    {"__dictoffset__", T_PYSSIZET, offsetof(StateObject, dict), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyGetSetDef dict_getset[] = {{"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
                             {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef state_methods[] = {
    {"to_sv", state_to_sv, METH_NOARGS,
     "to_sv($self, /)\n--\n\nThe same state as a StateVector. Subclasses provide it."},
    {"to_coe", state_to_coe, METH_NOARGS,
     "to_coe($self, /)\n--\n\nThe same state as classical elements (COE), by way of to_sv()."},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot state_slots[] = {
    {Py_tp_doc, const_cast<char*>("State(epoch, frame, GM=None)\n--\n\n"
                                  "An orbital state at one epoch: the base of StateVector, COE and GeoState.\n\n"
                                  "epoch is anything Time() accepts (one epoch); frame is a Frame; GM is the\n"
                                  "gravitational parameter of the central body in m^3/s^2 (Earth.GM, read at\n"
                                  "construction, when None), positive and finite in every kind of State.")},
    {Py_tp_new, reinterpret_cast<void*>(state_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(velmar::gc_dealloc<state_clear>)},
    {Py_tp_traverse, reinterpret_cast<void*>(state_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(state_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(state_base_repr)},
    {Py_tp_members, state_members},
    {Py_tp_getset, dict_getset},
    {Py_tp_methods, state_methods},
    {0, nullptr}};

constexpr unsigned long state_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;

PyType_Spec state_spec = {"velmar.state.state.State", sizeof(StateObject), 0, state_flags, state_slots};

// --- StateVector ------------------------------------------------------------------

bool read_vector(PyObject* obj, const char* name, double out[3]) {
    static constexpr npy_intp shape[] = {3};
    Ref array = Ref::steal(velmar::arrays::float64_copy(obj, name, 1, shape, "(3,)"));
    if (!array) return false;
    const double* x = velmar::arrays::data(array.get());
    for (int k = 0; k < 3; ++k) out[k] = x[k];
    return true;
}

PyObject* new_vector(const double x[3]) {
    Ref array = Ref::steal(velmar::new_double_array(3));
    if (!array) return nullptr;
    double* y = velmar::arrays::data(array.get());
    for (int k = 0; k < 3; ++k) y[k] = x[k];
    return array.release();
}

PyObject* sv_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr const char* names[] = {"epoch", "frame", "r", "v", "GM"};
    static constexpr velmar::Signature sig{"StateVector", names, 5, 4, 5};
    PyObject* a[5];
    if (!velmar::bind_tuple(sig, args, kwargs, a)) return nullptr;
    double r[3], v[3];
    if (!read_vector(a[2], "r", r) || !read_vector(a[3], "v", v)) return nullptr;
    PyObject* self = allocate_checked(type, a[0], a[1], a[4]);
    if (!self) return nullptr;
    for (int k = 0; k < 3; ++k) {
        as_sv(self)->r[k] = r[k];
        as_sv(self)->v[k] = v[k];
    }
    return self;
}

PyObject* sv_get_r(PyObject* self, void*) { return new_vector(as_sv(self)->r); }
PyObject* sv_get_v(PyObject* self, void*) { return new_vector(as_sv(self)->v); }

PyObject* sv_to_sv(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyObject* sv_to_coe(PyObject* self, PyObject*) {
    namespace conv = velmar::conversions;
    StateVectorObject* sv = as_sv(self);
    if (!velmar::frame_change::require_inertial(sv->base.frame, "StateVector")) return nullptr;
    if (conv::radial(sv->r, sv->v)) {
        PyErr_SetString(PyExc_ValueError,
                        "StateVector.to_coe(): the state has zero angular momentum (r and v are parallel), "
                        "so radial motion has no orbital plane and no classical elements");
        return nullptr;
    }
    const conv::Elements e = conv::elements(sv->base.GM, sv->r, sv->v);
    PyObject* out = allocate(coe_type, sv->base.epoch, sv->base.frame, sv->base.GM);
    if (!out) return nullptr;
    COEObject* c = as_coe(out);
    c->ecc = e.ecc, c->sma = e.sma, c->inc = e.inc, c->raa = e.raa;
    c->arp = e.arp, c->tra = e.tra, c->slr = e.slr;
    return out;
}

PyObject* sv_to_frame(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject *target, *eop;
    if (!velmar::frame_change::bind_to_frame(args, nargs, kwnames, target, eop)) return nullptr;
    StateVectorObject* sv = as_sv(self);
    Ref r = Ref::steal(new_vector(sv->r));
    if (!r) return nullptr;
    Ref v = Ref::steal(new_vector(sv->v));
    if (!v) return nullptr;
    return velmar::frame_change::to_frame(state_vector_type, sv->base.epoch, sv->base.frame, sv->base.GM, r.get(),
                                          v.get(), target, eop);
}

PyObject* sv_repr(PyObject* self) {
    std::string fields;
    append_vector(fields, "r", as_sv(self)->r);
    fields += ", ";
    append_vector(fields, "v", as_sv(self)->v);
    return state_repr(self, fields);
}

PyGetSetDef sv_getset[] = {{"r", sv_get_r, nullptr, "Position, m (a new float64 array of 3 components).", nullptr},
                           {"v", sv_get_v, nullptr, "Velocity, m/s (a new float64 array of 3 components).", nullptr},
                           {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef sv_methods[] = {
    {"to_sv", sv_to_sv, METH_NOARGS, "to_sv($self, /)\n--\n\nThis state itself."},
    {"to_coe", sv_to_coe, METH_NOARGS,
     "to_coe($self, /)\n--\n\n"
     "The classical elements of this state, as a COE of the same epoch, frame and GM.\n\n"
     "Where an element is undefined it takes a conventional value:\n"
     "- circular orbit (ecc below 1e-14, reported as 0): arp = 0 and tra is measured\n"
     "  from the ascending node (the argument of latitude);\n"
     "- equatorial orbit (inc below 1e-14 from 0 or pi, reported as 0 or pi): raa = 0\n"
     "  and arp is measured from the x axis in the direction of motion;\n"
     "- circular and equatorial: both, so tra is the true longitude.\n"
     "Angles are in [0, 2 pi). slr is h^2 / GM, exact for every eccentricity; sma\n"
     "comes from the energy (negative for a hyperbola, infinite for a parabola).\n\n"
     "Raises ValueError when the angular momentum is zero (radial motion), and in an\n"
     "Earth-fixed frame (ITRF, ENU): osculating elements belong to an inertial frame."},
    {"to_frame", VELMAR_FASTCALL(sv_to_frame),
     "to_frame($self, /, frame, eop=None)\n--\n\n"
     "This state in another frame, as a new StateVector of the same epoch and GM.\n\n" VELMAR_TO_FRAME_DOC_TAIL},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot sv_slots[] = {
    {Py_tp_doc, const_cast<char*>("StateVector(epoch, frame, r, v, GM=None)\n--\n\n"
                                  "Position-velocity state at one epoch.\n\n"
                                  "r is the position in m and v the velocity in m/s, each three real numbers;\n"
                                  "GM is the gravitational parameter of the central body in m^3/s^2, positive\n"
                                  "and finite (Earth.GM when None).")},
    {Py_tp_new, reinterpret_cast<void*>(sv_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(velmar::gc_dealloc<state_clear>)},
    {Py_tp_traverse, reinterpret_cast<void*>(state_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(state_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(sv_repr)},
    {Py_tp_getset, sv_getset},
    {Py_tp_methods, sv_methods},
    {0, nullptr}};

PyType_Spec sv_spec = {"velmar.state.state.StateVector", sizeof(StateVectorObject), 0, state_flags, sv_slots};

// --- COE --------------------------------------------------------------------------

PyObject* coe_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr const char* names[] = {"epoch", "frame", "ecc", "sma", "inc", "raa", "arp", "tra", "GM"};
    static constexpr velmar::Signature sig{"COE", names, 9, 8, 9};
    PyObject* a[9];
    if (!velmar::bind_tuple(sig, args, kwargs, a)) return nullptr;
    double x[6];
    for (int k = 0; k < 6; ++k)
        if (!velmar::read_double(a[2 + k], x[k])) return nullptr;
    const double ecc = x[0], sma = x[1];
    // Hyperbolic elements are accepted (sma < 0): whoever uses them decides.
    if (ecc < 0.0) {
        PyErr_Format(PyExc_ValueError, velmar::msg::negative_eccentricity, a[2]);
        return nullptr;
    }
    // An ellipse with no positive size, or a hyperbola with a positive one,
    // has no position: its slr would be negative or zero, and the states made
    // from it a mirrored position with a NaN velocity.
    if ((ecc < 1.0 && sma <= 0.0) || (ecc > 1.0 && sma >= 0.0)) {
        PyErr_Format(PyExc_ValueError, ecc < 1.0 ? velmar::msg::elliptic_sma : velmar::msg::hyperbolic_sma, a[3], a[2]);
        return nullptr;
    }
    PyObject* self = allocate_checked(type, a[0], a[1], a[8]);
    if (!self) return nullptr;
    COEObject* c = as_coe(self);
    c->ecc = ecc, c->sma = sma, c->inc = x[2], c->raa = x[3], c->arp = x[4], c->tra = x[5];
    c->slr = sma * (1.0 - ecc * ecc);
    return self;
}

PyObject* coe_to_coe(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyObject* coe_to_sv(PyObject* self, PyObject*) {
    namespace conv = velmar::conversions;
    COEObject* c = as_coe(self);
    conv::Orientation o;
    o.set(c->inc, c->raa, c->arp);
    PyObject* out = allocate(state_vector_type, c->base.epoch, c->base.frame, c->base.GM);
    if (!out) return nullptr;
    conv::place(o, c->ecc, c->slr, std::sqrt(c->base.GM / c->slr), c->tra, as_sv(out)->r, as_sv(out)->v);
    return out;
}

PyObject* coe_repr(PyObject* self) {
    COEObject* c = as_coe(self);
    std::string fields;
    append_field(fields, "ecc", c->ecc);
    append_field(fields, "sma", c->sma);
    append_field(fields, "inc", c->inc);
    append_field(fields, "raa", c->raa);
    append_field(fields, "arp", c->arp);
    append_field(fields, "tra", c->tra);
    return state_repr(self, fields);
}

PyMemberDef coe_members[] = {
    {"ecc", T_DOUBLE, offsetof(COEObject, ecc), READONLY, "Eccentricity (>= 0; above 1 for a hyperbola)."},
    {"sma", T_DOUBLE, offsetof(COEObject, sma), READONLY, "Semi-major axis, m (negative for a hyperbola)."},
    {"inc", T_DOUBLE, offsetof(COEObject, inc), READONLY, "Inclination, rad."},
    {"raa", T_DOUBLE, offsetof(COEObject, raa), READONLY,
     "Right ascension of the ascending node, rad (0 for an equatorial orbit)."},
    {"arp", T_DOUBLE, offsetof(COEObject, arp), READONLY,
     "Argument of perigee, rad (0 for a circular orbit; from the x axis for an equatorial one)."},
    {"tra", T_DOUBLE, offsetof(COEObject, tra), READONLY,
     "True anomaly, rad (from the ascending node for a circular orbit)."},
    {"slr", T_DOUBLE, offsetof(COEObject, slr), READONLY,
     "Semi-latus rectum, m: sma (1 - ecc^2), positive for ellipses and hyperbolas."},
    {nullptr, 0, 0, 0, nullptr}};

PyMethodDef coe_methods[] = {{"to_coe", coe_to_coe, METH_NOARGS, "to_coe($self, /)\n--\n\nThis state itself."},
                             {"to_sv", coe_to_sv, METH_NOARGS,
                              "to_sv($self, /)\n--\n\n"
                              "The position and velocity of this state, as a StateVector of the same epoch,\n"
                              "frame and GM: the perifocal position slr / (1 + ecc cos tra) (cos tra, sin tra)\n"
                              "and velocity sqrt(GM / slr) (-sin tra, ecc + cos tra), turned into the frame by\n"
                              "the rotation R3(-raa) R1(-inc) R3(-arp)."},
                             {nullptr, nullptr, 0, nullptr}};

PyType_Slot coe_slots[] = {
    {Py_tp_doc, const_cast<char*>("COE(epoch, frame, ecc, sma, inc, raa, arp, tra, GM=None)\n--\n\n"
                                  "Classical orbital elements at one epoch.\n\n"
                                  "ecc eccentricity (>= 0, hyperbolic orbits included), sma semi-major axis in m\n"
                                  "(positive when ecc < 1, negative when ecc > 1), inc inclination, raa right\n"
                                  "ascension of the ascending node, arp argument of perigee and tra true anomaly\n"
                                  "in rad; GM in m^3/s^2, positive and finite (Earth.GM when None). The\n"
                                  "semi-latus rectum slr = sma (1 - ecc^2) is derived.\n\n"
                                  "Conventions where an element is undefined: a circular orbit (ecc = 0) has\n"
                                  "arp = 0 and tra measured from the ascending node; an equatorial orbit (inc = 0\n"
                                  "or pi) has raa = 0 and arp measured from the x axis; a circular equatorial\n"
                                  "orbit has tra equal to the true longitude.")},
    {Py_tp_new, reinterpret_cast<void*>(coe_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(velmar::gc_dealloc<state_clear>)},
    {Py_tp_traverse, reinterpret_cast<void*>(state_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(state_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(coe_repr)},
    {Py_tp_members, coe_members},
    {Py_tp_methods, coe_methods},
    {0, nullptr}};

PyType_Spec coe_spec = {"velmar.state.state.COE", sizeof(COEObject), 0, state_flags, coe_slots};

// --- GeoState ---------------------------------------------------------------------

PyObject* geo_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr const char* names[] = {"epoch", "frame", "lat", "lon", "alt", "GM"};
    static constexpr velmar::Signature sig{"GeoState", names, 6, 5, 6};
    PyObject* a[6];
    if (!velmar::bind_tuple(sig, args, kwargs, a)) return nullptr;
    double x[3];
    for (int k = 0; k < 3; ++k)
        if (!velmar::read_double(a[2 + k], x[k])) return nullptr;
    PyObject* self = allocate_checked(type, a[0], a[1], a[5]);
    if (!self) return nullptr;
    auto* g = reinterpret_cast<GeoStateObject*>(self);
    g->lat = x[0], g->lon = x[1], g->alt = x[2];
    return self;
}

// A GeoState is a place on the rotating Earth: its position in ITRF, at rest
// there (a GeoState carries no rates, and a point given only by where it is
// has no motion of its own in the Earth-fixed frame).
PyObject* geo_to_sv(PyObject* self, PyObject*) {
    auto* g = reinterpret_cast<GeoStateObject*>(self);
    if (g->base.frame != itrf) {
        Ref name = Ref::steal(PyType_GetName(Py_TYPE(self)));
        if (name)
            PyErr_Format(PyExc_ValueError, velmar::msg::geodetic_frame, PyUnicode_AsUTF8(name.get()), g->base.frame);
        return nullptr;
    }
    if (std::fabs(g->lat) > std::numbers::pi / 2) {
        Ref lat = Ref::steal(PyFloat_FromDouble(g->lat));
        if (lat) PyErr_Format(PyExc_ValueError, velmar::msg::latitude_range_one, lat.get());
        return nullptr;
    }
    PyObject* out = allocate(state_vector_type, g->base.epoch, itrf, g->base.GM);
    if (!out) return nullptr;
    velmar::geodetic::to_cartesian(wgs84, g->lat, g->lon, g->alt, as_sv(out)->r);
    for (int k = 0; k < 3; ++k) as_sv(out)->v[k] = 0.0;
    return out;
}

PyMethodDef geo_methods[] = {{"to_sv", geo_to_sv, METH_NOARGS,
                              "to_sv($self, /)\n--\n\n"
                              "The ITRF position of this geodetic position on WGS84, as a StateVector of the\n"
                              "same epoch and GM with zero velocity: a GeoState is a place fixed to the\n"
                              "Earth (it has no rates). Its frame must be ITRF (ValueError otherwise), and a\n"
                              "latitude outside [-pi/2, pi/2] raises ValueError."},
                             {nullptr, nullptr, 0, nullptr}};

PyObject* geo_repr(PyObject* self) {
    auto* g = reinterpret_cast<GeoStateObject*>(self);
    std::string fields;
    append_field(fields, "lat", g->lat);
    append_field(fields, "lon", g->lon);
    append_field(fields, "alt", g->alt);
    return state_repr(self, fields);
}

PyMemberDef geo_members[] = {
    {"lat", T_DOUBLE, offsetof(GeoStateObject, lat), READONLY, "Geodetic latitude, rad."},
    {"lon", T_DOUBLE, offsetof(GeoStateObject, lon), READONLY, "Longitude, rad."},
    {"alt", T_DOUBLE, offsetof(GeoStateObject, alt), READONLY, "Height above the ellipsoid, m."},
    {nullptr, 0, 0, 0, nullptr}};

PyType_Slot geo_slots[] = {
    {Py_tp_doc, const_cast<char*>("GeoState(epoch, frame, lat, lon, alt, GM=None)\n--\n\n"
                                  "Geodetic position at one epoch: latitude and longitude in rad, height in m;\n"
                                  "GM in m^3/s^2 (Earth.GM when None).\n"
                                  "The coordinates are on WGS84 in an Earth-fixed frame (ITRF); to_sv() gives\n"
                                  "the ITRF position at rest on the rotating Earth.")},
    {Py_tp_new, reinterpret_cast<void*>(geo_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(velmar::gc_dealloc<state_clear>)},
    {Py_tp_traverse, reinterpret_cast<void*>(state_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(state_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(geo_repr)},
    {Py_tp_members, geo_members},
    {Py_tp_methods, geo_methods},
    {0, nullptr}};

PyType_Spec geo_spec = {"velmar.state.state.GeoState", sizeof(GeoStateObject), 0, state_flags, geo_slots};

// --- module -----------------------------------------------------------------------

// The neighbours' types, all used here (see velmar::TypeBinding).
const velmar::TypeBinding type_bindings[] = {
    {"velmar.time.time", "Time", sizeof(velmar::time::TimeObject), &time_type},
    {"velmar.frames.frames", "Frame", sizeof(PyObject), &frame_type},
    {"velmar.bodies.bodies", "Earth", sizeof(PyObject), &earth},
};

int exec_state(PyObject* module) {
    if (!velmar::import_numpy() || !velmar::import_types(type_bindings)) return -1;
    if (!(itrf = velmar::import_object("velmar.frames.frames", "ITRF"))) return -1;
    if (!velmar::geodetic::read_wgs84(wgs84)) return -1;

    if (!(state_type = velmar::add_type(module, &state_spec, nullptr))) return -1;
    if (!(state_vector_type = velmar::add_type(module, &sv_spec, state_type))) return -1;
    if (!(coe_type = velmar::add_type(module, &coe_spec, state_type))) return -1;
    Ref geo = Ref::steal(reinterpret_cast<PyObject*>(velmar::add_type(module, &geo_spec, state_type)));
    return geo ? 0 : -1;
}

}  // namespace

VELMAR_MODULE(state, "Orbital states at one epoch: StateVector, COE and GeoState, kinds of State.", nullptr, exec_state)

// Reference frames. A frame is an immutable tag carried by states and
// ephemerides: GCRF (celestial), ITRF (terrestrial), TEME (the frame of
// two-line elements), and local east-north-up frames. The three global
// frames are singletons, so identity is equality and `_TEME()` hands back TEME.
#include <cmath>
#include <numbers>

#include "velmar/_native/args.hpp"
#include "velmar/_native/exports.hpp"
#include "velmar/_native/module.hpp"
#include "velmar/_native/types.hpp"
#include "velmar/frames/frames.hpp"

namespace {

using velmar::ENUObject;
using velmar::FrameObject;
using velmar::Ref;

// The singletons, exported natively by address; each slot owns its object
// for the life of the process (the module cannot be initialised twice).
PyObject* gcrf_slot = nullptr;
PyObject* itrf_slot = nullptr;
PyObject* teme_slot = nullptr;

PyTypeObject* frame_type = nullptr;
PyTypeObject* enu_type = nullptr;

FrameObject* as_frame(PyObject* self) { return reinterpret_cast<FrameObject*>(self); }

PyObject* allocate(PyTypeObject* type, PyObject* name) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self) as_frame(self)->name = Py_NewRef(name);
    return self;
}

void frame_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    if (PyType_HasFeature(type, Py_TPFLAGS_HAVE_GC)) PyObject_GC_UnTrack(self);
    Py_CLEAR(as_frame(self)->name);
    type->tp_free(self);
    Py_DECREF(type);
}

// Frame(name): a named frame of the user's own.
PyObject* frame_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr const char* names[] = {"name"};
    static constexpr velmar::Signature sig{"Frame", names, 1, 1, 1};
    PyObject* a[1];
    if (!velmar::bind_tuple(sig, args, kwargs, a)) return nullptr;
    if (!velmar::require_exact_str(a[0], "name", false)) return nullptr;
    if (PyUnicode_GetLength(a[0]) == 0) {
        PyErr_SetString(PyExc_ValueError, velmar::msg::frame_name_empty);
        return nullptr;
    }
    return allocate(type, a[0]);
}

PyObject* frame_repr(PyObject* self) {
    if (self == gcrf_slot || self == itrf_slot || self == teme_slot) return Py_NewRef(as_frame(self)->name);
    Ref type_name = Ref::steal(PyType_GetName(Py_TYPE(self)));
    if (!type_name) return nullptr;
    if (PyObject_TypeCheck(self, enu_type)) {
        auto* e = reinterpret_cast<ENUObject*>(self);
        Ref lat = Ref::steal(PyFloat_FromDouble(e->lat));
        Ref lon = Ref::steal(PyFloat_FromDouble(e->lon));
        Ref alt = Ref::steal(PyFloat_FromDouble(e->alt));
        if (!lat || !lon || !alt) return nullptr;
        return PyUnicode_FromFormat("%U(lat=%R, lon=%R, alt=%R)", type_name.get(), lat.get(), lon.get(), alt.get());
    }
    return PyUnicode_FromFormat("%U(%R)", type_name.get(), as_frame(self)->name);
}

PyObject* frame_str(PyObject* self) { return Py_NewRef(as_frame(self)->name); }

// The global frames pickle by reference (so they stay singletons); others by value.
PyObject* frame_reduce(PyObject* self, PyObject*) {
    if (self == gcrf_slot || self == itrf_slot || self == teme_slot) return Py_NewRef(as_frame(self)->name);
    if (PyObject_TypeCheck(self, enu_type)) {
        auto* e = reinterpret_cast<ENUObject*>(self);
        return Py_BuildValue("O(ddd)", reinterpret_cast<PyObject*>(Py_TYPE(self)), e->lat, e->lon, e->alt);
    }
    return Py_BuildValue("O(O)", reinterpret_cast<PyObject*>(Py_TYPE(self)), as_frame(self)->name);
}

PyMemberDef frame_members[] = {{"name", T_OBJECT_EX, offsetof(FrameObject, name), READONLY, "Name of the frame (str)."},
                               {nullptr, 0, 0, 0, nullptr}};

PyMethodDef frame_methods[] = {{"__reduce__", frame_reduce, METH_NOARGS, "__reduce__($self, /)\n--\n\n"},
                               {nullptr, nullptr, 0, nullptr}};

PyType_Slot frame_slots[] = {{Py_tp_doc, const_cast<char*>("Frame(name)\n--\n\nA reference frame, known by its name.")},
                             {Py_tp_new, reinterpret_cast<void*>(frame_new)},
                             {Py_tp_dealloc, reinterpret_cast<void*>(frame_dealloc)},
                             {Py_tp_repr, reinterpret_cast<void*>(frame_repr)},
                             {Py_tp_str, reinterpret_cast<void*>(frame_str)},
                             {Py_tp_members, frame_members},
                             {Py_tp_methods, frame_methods},
                             {0, nullptr}};

PyType_Spec frame_spec = {"velmar.frames.frames.Frame", sizeof(FrameObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE, frame_slots};

// _GCRF(), _ITRF(), _TEME(): the one frame of that type.
template <PyObject** slot, const char* const* name>
PyObject* singleton_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    static constexpr velmar::Signature sig{*name, nullptr, 0, 0, 0};
    PyObject* unused[1];
    if (!velmar::bind_tuple(sig, args, kwargs, unused)) return nullptr;
    return Py_NewRef(*slot);
}

constexpr const char* gcrf_type_name = "_GCRF";
constexpr const char* itrf_type_name = "_ITRF";
constexpr const char* teme_type_name = "_TEME";

PyType_Slot gcrf_slots[] = {
    {Py_tp_doc, const_cast<char*>("_GCRF()\n--\n\nGeocentric Celestial Reference Frame. Its only instance is GCRF.")},
    {Py_tp_new, reinterpret_cast<void*>(singleton_new<&gcrf_slot, &gcrf_type_name>)},
    {0, nullptr}};
PyType_Slot itrf_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("_ITRF()\n--\n\nInternational Terrestrial Reference Frame. Its only instance is ITRF.")},
    {Py_tp_new, reinterpret_cast<void*>(singleton_new<&itrf_slot, &itrf_type_name>)},
    {0, nullptr}};
PyType_Slot teme_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("_TEME()\n--\n\nTrue Equator, Mean Equinox frame of two-line elements. Its only instance is "
                       "TEME.")},
    {Py_tp_new, reinterpret_cast<void*>(singleton_new<&teme_slot, &teme_type_name>)},
    {0, nullptr}};

constexpr unsigned singleton_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
PyType_Spec gcrf_spec = {"velmar.frames.frames._GCRF", sizeof(FrameObject), 0, singleton_flags, gcrf_slots};
PyType_Spec itrf_spec = {"velmar.frames.frames._ITRF", sizeof(FrameObject), 0, singleton_flags, itrf_slots};
PyType_Spec teme_spec = {"velmar.frames.frames._TEME", sizeof(FrameObject), 0, singleton_flags, teme_slots};

// --- ENU ---------------------------------------------------------------------

// A finite float argument; other numbers are converted as float() would.
bool read_finite(PyObject* value, const char* argname, double& out) {
    if (!velmar::read_double(value, out, argname)) return false;
    if (!std::isfinite(out)) {
        PyErr_Format(PyExc_ValueError, velmar::msg::enu_origin_not_finite, argname, value);
        return false;
    }
    return true;
}

PyObject* enu_name = nullptr;  // "ENU", owned for the life of the process

// ENU(lat, lon, alt=0.0): the local east-north-up frame at a geodetic origin.
PyObject* enu_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr const char* names[] = {"lat", "lon", "alt"};
    static constexpr velmar::Signature sig{"ENU", names, 3, 2, 3};
    PyObject* a[3];
    if (!velmar::bind_tuple(sig, args, kwargs, a)) return nullptr;
    double lat, lon, alt = 0.0;
    if (!read_finite(a[0], "lat", lat) || !read_finite(a[1], "lon", lon)) return nullptr;
    if (a[2] && !read_finite(a[2], "alt", alt)) return nullptr;
    if (std::fabs(lat) > std::numbers::pi / 2) {
        PyErr_Format(PyExc_ValueError, velmar::msg::enu_latitude_range, a[0]);
        return nullptr;
    }
    PyObject* self = allocate(type, enu_name);
    if (!self) return nullptr;
    auto* e = reinterpret_cast<ENUObject*>(self);
    e->lat = lat;
    e->lon = lon;
    e->alt = alt;
    return self;
}

PyMemberDef enu_members[] = {
    {"lat", T_DOUBLE, offsetof(ENUObject, lat), READONLY, "Geodetic latitude of the origin (rad)."},
    {"lon", T_DOUBLE, offsetof(ENUObject, lon), READONLY, "Longitude of the origin (rad)."},
    {"alt", T_DOUBLE, offsetof(ENUObject, alt), READONLY, "Height of the origin above the ellipsoid (m)."},
    {nullptr, 0, 0, 0, nullptr}};

PyType_Slot enu_slots[] = {
    {Py_tp_doc, const_cast<char*>("ENU(lat, lon, alt=0.0)\n--\n\nLocal east-north-up frame at a geodetic origin "
                                  "(latitude and longitude in rad, height in m).")},
    {Py_tp_new, reinterpret_cast<void*>(enu_new)},
    {Py_tp_members, enu_members},
    {0, nullptr}};

PyType_Spec enu_spec = {"velmar.frames.frames.ENU", sizeof(ENUObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE, enu_slots};

// --- module ------------------------------------------------------------------

bool add_singleton(PyObject* module, PyType_Spec* type_spec, PyTypeObject* base, const char* name, PyObject*& slot) {
    Ref type = Ref::steal(reinterpret_cast<PyObject*>(velmar::add_type(module, type_spec, base)));
    if (!type) return false;
    Ref text = Ref::steal(PyUnicode_InternFromString(name));
    if (!text) return false;
    Ref object = Ref::steal(allocate(reinterpret_cast<PyTypeObject*>(type.get()), text.get()));
    if (!object || PyModule_AddObjectRef(module, name, object.get()) < 0) return false;
    slot = object.release();
    return velmar::export_variable(module, name, &slot, velmar::signature::object_value);
}

int exec_frames(PyObject* module) {
    if (!(frame_type = velmar::add_type(module, &frame_spec))) return -1;
    PyTypeObject* base = frame_type;
    if (!add_singleton(module, &gcrf_spec, base, "GCRF", gcrf_slot)) return -1;
    if (!add_singleton(module, &itrf_spec, base, "ITRF", itrf_slot)) return -1;
    if (!add_singleton(module, &teme_spec, base, "TEME", teme_slot)) return -1;
    if (!(enu_name = PyUnicode_InternFromString("ENU"))) return -1;
    if (!(enu_type = velmar::add_type(module, &enu_spec, base))) return -1;
    return 0;
}

}  // namespace

VELMAR_MODULE(frames, "Reference frames: the global frames GCRF, ITRF, TEME and local east-north-up frames.", nullptr,
              exec_frames)

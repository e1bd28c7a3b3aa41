// Satellite: one satellite's epochs, initial state, and optionally its
// propagator, ephemeris, name and description.

#include "velmar/_native/args.hpp"
#include "velmar/_native/exports.hpp"
#include "velmar/_native/module.hpp"
#include "velmar/_native/types.hpp"

namespace {

using velmar::Ref;

// Types bound at import. Only the three this module checks arguments against
// are kept; the others are bound to make the import fail early when a
// neighbour is missing or was built from other sources.
PyTypeObject* time_type = nullptr;
PyTypeObject* propagator_type = nullptr;
PyTypeObject* sv_ephemeris_type = nullptr;

struct SatelliteObject {
    PyObject_HEAD PyObject* dict;
    PyObject* weakrefs;
    PyObject* time;         // Time
    PyObject* state;        // whatever the caller gave
    PyObject* propagator;   // Propagator or None
    PyObject* ephemeris;    // StateVectorEphemeris or None
    PyObject* name;         // str or None
    PyObject* description;  // str or None
    bool initialised;       // __init__ has completed once
};

SatelliteObject* as_satellite(PyObject* o) { return reinterpret_cast<SatelliteObject*>(o); }

PyObject* satellite_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    SatelliteObject* s = as_satellite(self);
    for (PyObject** field : {&s->time, &s->state, &s->propagator, &s->ephemeris, &s->name, &s->description})
        *field = Py_NewRef(Py_None);
    return self;
}

// The stored form of a name or description: exact str or None; stripped text,
// None turned into the text "None" first (as the setters have always stored it).
PyObject* normalised_text(PyObject* value, const char* argname) {
    if (!velmar::require_exact_str(value, argname)) return nullptr;
    Ref text = Ref::steal(PyObject_Str(value));
    if (!text) return nullptr;
    return PyObject_CallMethod(text.get(), "strip", nullptr);
}

// The epochs are fixed once the satellite is made: calling __init__ again on a
// live object would swap its Time and reset its name under whoever holds it.
bool refuse_second_init(PyObject* self) {
    if (!as_satellite(self)->initialised) return true;
    PyErr_Format(PyExc_TypeError, velmar::msg::already_initialised, Py_TYPE(self)->tp_name);
    return false;
}

int satellite_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr const char* names[] = {"time", "state", "propagator", "ephemeris", "name", "description"};
    static constexpr velmar::Signature sig{"__init__", names, 6, 2, 6};
    if (!refuse_second_init(self)) return -1;
    PyObject* a[6];
    if (!velmar::bind_tuple(sig, args, kwargs, a)) return -1;
    for (int i = 2; i < 6; ++i)
        if (!a[i]) a[i] = Py_None;
    if (!velmar::require_instance(a[2], propagator_type, "propagator") ||
        !velmar::require_instance(a[3], sv_ephemeris_type, "ephemeris") || !velmar::require_exact_str(a[4], "name") ||
        !velmar::require_exact_str(a[5], "description"))
        return -1;
    // A name given to the constructor is kept as the setter would keep it; an
    // absent one stays None rather than becoming the text "None".
    Ref name = a[4] == Py_None ? Ref::borrow(Py_None) : Ref::steal(normalised_text(a[4], "name"));
    Ref description = a[5] == Py_None ? Ref::borrow(Py_None) : Ref::steal(normalised_text(a[5], "description"));
    if (!name || !description) return -1;
    Ref time = Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(time_type), a[0]));
    if (!time) return -1;
    // Time(...) and str() may run user code that initialised this object meanwhile.
    if (!refuse_second_init(self)) return -1;
    SatelliteObject* s = as_satellite(self);
    velmar::replace_field(s->time, time.get());
    velmar::replace_field(s->state, a[1]);
    velmar::replace_field(s->propagator, a[2]);
    velmar::replace_field(s->ephemeris, a[3]);
    velmar::replace_field(s->name, name.get());
    velmar::replace_field(s->description, description.get());
    s->initialised = true;
    return 0;
}

int satellite_traverse(PyObject* self, visitproc visit, void* arg) {
    SatelliteObject* s = as_satellite(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(s->dict);
    Py_VISIT(s->time);
    Py_VISIT(s->state);
    Py_VISIT(s->propagator);
    Py_VISIT(s->ephemeris);
    return 0;
}

// Clearing breaks cycles; the slots go back to None so that the object stays
// usable by any finaliser that still reads it.
int satellite_clear(PyObject* self) {
    SatelliteObject* s = as_satellite(self);
    Py_CLEAR(s->dict);
    for (PyObject** field : {&s->time, &s->state, &s->propagator, &s->ephemeris})
        velmar::replace_field(*field, Py_None);
    return 0;
}

void satellite_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    SatelliteObject* s = as_satellite(self);
    if (s->weakrefs) PyObject_ClearWeakRefs(self);
    Py_CLEAR(s->dict);
    for (PyObject** field : {&s->time, &s->state, &s->propagator, &s->ephemeris, &s->name, &s->description})
        Py_CLEAR(*field);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* get_field(PyObject* self, void* offset) {
    PyObject* value =
        *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + reinterpret_cast<std::size_t>(offset));
    return Py_NewRef(value ? value : Py_None);
}

int set_text(PyObject* self, PyObject* value, void* offset, const char* argname) {
    if (!value) {
        PyErr_SetString(PyExc_NotImplementedError, velmar::msg::no_delete);
        return -1;
    }
    Ref text = Ref::steal(normalised_text(value, argname));
    if (!text) return -1;
    velmar::replace_field(
        *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + reinterpret_cast<std::size_t>(offset)),
        text.get());
    return 0;
}

int set_name(PyObject* self, PyObject* value, void* offset) { return set_text(self, value, offset, "name"); }
int set_description(PyObject* self, PyObject* value, void* offset) {
    return set_text(self, value, offset, "description");
}

void* offset_of(std::size_t offset) { return reinterpret_cast<void*>(offset); }

PyGetSetDef getset[] = {
    {"time", get_field, nullptr, "Satellite.time: Time", offset_of(offsetof(SatelliteObject, time))},
    {"name", get_field, set_name, "Satellite.name: str | None", offset_of(offsetof(SatelliteObject, name))},
    {"description", get_field, set_description, "Satellite.description: str | None",
     offset_of(offsetof(SatelliteObject, description))},
    {"state", get_field, nullptr, "Satellite.state: State (the initial state given to the constructor)",
     offset_of(offsetof(SatelliteObject, state))},
    {"propagator", get_field, nullptr, "Satellite.propagator: Propagator | None",
     offset_of(offsetof(SatelliteObject, propagator))},
    {"ephemeris", get_field, nullptr, "Satellite.ephemeris: StateVectorEphemeris | None",
     offset_of(offsetof(SatelliteObject, ephemeris))},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMemberDef members[] = {{"_time", T_OBJECT, offsetof(SatelliteObject, time), READONLY, nullptr},
                         {"__dictoffset__", T_PYSSIZET, offsetof(SatelliteObject, dict), READONLY, nullptr},
                         {"__weaklistoffset__", T_PYSSIZET, offsetof(SatelliteObject, weakrefs), READONLY, nullptr},
                         {nullptr, 0, 0, 0, nullptr}};

PyMethodDef methods[] = {VELMAR_REFUSE_PICKLING, {nullptr, nullptr, 0, nullptr}};

constexpr const char* satellite_doc =
    "Satellite(time, state, propagator=None, ephemeris=None, name=None, description=None)\n"
    "--\n\n"
    "One satellite: its epochs (a Time made from `time`), its initial state, and\n"
    "optionally a propagator (a Propagator such as Keplerian), an ephemeris (a\n"
    "StateVectorEphemeris), a name and a description (exact str; stored without\n"
    "leading and trailing whitespace). The epochs are fixed once the satellite is\n"
    "made: calling __init__ again raises TypeError.";

PyType_Slot slots[] = {{Py_tp_doc, const_cast<char*>(satellite_doc)},
                       {Py_tp_new, reinterpret_cast<void*>(satellite_new)},
                       {Py_tp_init, reinterpret_cast<void*>(satellite_init)},
                       {Py_tp_dealloc, reinterpret_cast<void*>(satellite_dealloc)},
                       {Py_tp_traverse, reinterpret_cast<void*>(satellite_traverse)},
                       {Py_tp_clear, reinterpret_cast<void*>(satellite_clear)},
                       {Py_tp_getset, getset},
                       {Py_tp_members, members},
                       {Py_tp_methods, methods},
                       {0, nullptr}};

PyType_Spec satellite_type_spec = {"velmar.satellite.satellite.Satellite", sizeof(SatelliteObject), 0,
                                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots};

// The neighbours' types (see velmar::TypeBinding): those with a slot are used
// here, the others are only checked, so that a package built from mismatched
// sources fails at import rather than at first use elsewhere.
const velmar::TypeBinding type_bindings[] = {
    {"velmar.time.time", "Time", sizeof(PyObject), &time_type},
    {"velmar.frames.frames", "Frame", sizeof(PyObject), nullptr},
    {"velmar.frames.frames", "_GCRF", sizeof(PyObject), nullptr},
    {"velmar.frames.frames", "_ITRF", sizeof(PyObject), nullptr},
    {"velmar.frames.frames", "_TEME", sizeof(PyObject), nullptr},
    {"velmar.frames.frames", "ENU", sizeof(PyObject), nullptr},
    {"velmar.state.state", "State", sizeof(PyObject), nullptr},
    {"velmar.state.state", "StateVector", sizeof(PyObject), nullptr},
    {"velmar.state.state", "COE", sizeof(PyObject), nullptr},
    {"velmar.state.state", "GeoState", sizeof(PyObject), nullptr},
    {"velmar.state.ephemeris", "Ephemeris", sizeof(PyObject), nullptr},
    {"velmar.state.ephemeris", "StateVectorEphemeris", sizeof(PyObject), &sv_ephemeris_type},
    {"velmar.state.ephemeris", "COEEphemeris", sizeof(PyObject), nullptr},
    {"velmar.state.ephemeris", "GeoStateEphemeris", sizeof(PyObject), nullptr},
    {"velmar.propagators.propagators", "Propagator", sizeof(PyObject), &propagator_type},
    {"velmar.propagators.analytical.keplerian.keplerian", "Keplerian", sizeof(PyObject), nullptr},
    {"velmar.propagators.analytical.sgp4.tle", "TLE", sizeof(PyObject), nullptr},
    {"velmar.propagators.analytical.sgp4.tle", "ELSET", sizeof(PyObject), nullptr},
};

int exec_satellite(PyObject* module) {
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy || PyModule_AddObjectRef(module, "numpy", numpy.get()) < 0) return -1;
    // Annotation-only names, bound so that the module's namespace matches its stubs.
    for (auto [from, name] : {std::pair{"typing", "Iterable"}, std::pair{"velmar.typing", "DatetimeLike"}}) {
        Ref m = Ref::steal(PyImport_ImportModule(from));
        if (!m) return -1;
        Ref value = Ref::steal(PyObject_GetAttrString(m.get(), name));
        if (!value || PyModule_AddObjectRef(module, name, value.get()) < 0) return -1;
    }
    if (!velmar::import_types(type_bindings) ||
        !velmar::check_objects("velmar.frames.frames", {"GCRF", "ITRF", "TEME"}))
        return -1;
    Ref type = Ref::steal(reinterpret_cast<PyObject*>(velmar::add_type(module, &satellite_type_spec)));
    return type ? 0 : -1;
}

}  // namespace

VELMAR_MODULE(satellite, "The package's object for one satellite.", nullptr, exec_satellite)

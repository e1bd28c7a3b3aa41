// A function object for the places where a native function must look like a
// Python one: it carries __annotations__, __doc__, __name__, __qualname__,
// __module__ and __text_signature__ (so inspect.signature and help() work),
// and binds as a method, a class method, or serves as a property getter.
//
// The implementation receives every argument, `self` or `cls` first, through
// vectorcall:  PyObject* impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
//
//   static const velmar::FunctionSpec propagate_state_function{
//       "propagate_state", "Keplerian.propagate_state", propagate_state_impl,
//       velmar::Binding::method, doc, "(self, time, state, **kwargs)",
//       {{"time", "DatetimeLike"}, {"state", "State"}, {"return", "StateVectorEphemeris"}}};
//   PyObject* f = velmar::make_function(module, propagate_state_function);
#pragma once
#include <cstddef>
#include <initializer_list>
#include <utility>

#include "messages.hpp"
#include "ref.hpp"

namespace velmar {

using FastImpl = PyObject* (*)(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

enum class Binding { function, method, classmethod };

struct FunctionSpec {
    const char* name;
    const char* qualname;
    FastImpl impl;
    Binding binding;
    const char* doc;             // may be nullptr
    const char* text_signature;  // may be nullptr, e.g. "(self, time, state, **kwargs)"
    std::initializer_list<std::pair<const char*, const char*>> annotations;
};

namespace function_detail {

struct Function {
    PyObject_HEAD vectorcallfunc vectorcall;
    FastImpl impl;
    Binding binding;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;
    PyObject* text_signature;
    PyObject* dict;
};

inline PyObject* call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return reinterpret_cast<Function*>(self)->impl(args, PyVectorcall_NARGS(nargsf), kwnames);
}

inline PyObject* descr_get(PyObject* self, PyObject* obj, PyObject* type) {
    auto* f = reinterpret_cast<Function*>(self);
    if (f->binding == Binding::classmethod) {
        PyObject* owner = type ? type : reinterpret_cast<PyObject*>(Py_TYPE(obj));
        return PyMethod_New(self, owner);
    }
    if (f->binding == Binding::method && obj && obj != Py_None) return PyMethod_New(self, obj);
    return Py_NewRef(self);
}

inline int traverse(PyObject* self, visitproc visit, void* arg) {
    auto* f = reinterpret_cast<Function*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->module);
    Py_VISIT(f->annotations);
    Py_VISIT(f->dict);
    return 0;
}

inline int clear(PyObject* self) {
    auto* f = reinterpret_cast<Function*>(self);
    Py_CLEAR(f->module);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->dict);
    return 0;
}

inline void dealloc(PyObject* self) {
    auto* f = reinterpret_cast<Function*>(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->text_signature);
    type->tp_free(self);
    Py_DECREF(type);
}

inline PyObject* repr(PyObject* self) {
    return PyUnicode_FromFormat("<velmar function %U>", reinterpret_cast<Function*>(self)->qualname);
}

inline PyObject* get_annotations(PyObject* self, void*) {
    auto* f = reinterpret_cast<Function*>(self);
    if (!f->annotations && !(f->annotations = PyDict_New())) return nullptr;
    return Py_NewRef(f->annotations);
}

inline int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, msg::annotations_not_dict);
        return -1;
    }
    replace_field(reinterpret_cast<Function*>(self)->annotations, value);
    return 0;
}

inline PyObject* get_text_signature(PyObject* self, void*) {
    PyObject* s = reinterpret_cast<Function*>(self)->text_signature;
    return Py_NewRef(s ? s : Py_None);
}

inline PyMemberDef members[] = {{"__vectorcalloffset__", T_PYSSIZET, offsetof(Function, vectorcall), READONLY, nullptr},
                                {"__dictoffset__", T_PYSSIZET, offsetof(Function, dict), READONLY, nullptr},
                                {"__name__", T_OBJECT_EX, offsetof(Function, name), READONLY, nullptr},
                                {"__qualname__", T_OBJECT_EX, offsetof(Function, qualname), READONLY, nullptr},
                                {"__module__", T_OBJECT_EX, offsetof(Function, module), 0, nullptr},
                                {"__doc__", T_OBJECT, offsetof(Function, doc), 0, nullptr},
                                {nullptr, 0, 0, 0, nullptr}};

inline PyGetSetDef getset[] = {{"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
                               {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
                               {nullptr, nullptr, nullptr, nullptr, nullptr}};

inline PyType_Slot slots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
                              {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
                              {Py_tp_clear, reinterpret_cast<void*>(clear)},
                              {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
                              {Py_tp_descr_get, reinterpret_cast<void*>(descr_get)},
                              {Py_tp_repr, reinterpret_cast<void*>(repr)},
                              {Py_tp_members, members},
                              {Py_tp_getset, getset},
                              {0, nullptr}};

inline PyType_Spec spec = {"velmar.function", sizeof(Function), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                               Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
                           slots};

}  // namespace function_detail

// Make a function object. The function type is created once per module (the
// first call passes the module it lives in) and kept on the module as
// `_function_type` so it lives exactly as long as the module's functions.
[[nodiscard]] inline PyObject* make_function(PyObject* module, const FunctionSpec& s) {
    using namespace function_detail;
    Ref type = Ref::steal(PyObject_GetAttrString(module, "_function_type"));
    if (!type) {
        PyErr_Clear();
        type = Ref::steal(PyType_FromModuleAndSpec(module, &spec, nullptr));
        if (!type || PyObject_SetAttrString(module, "_function_type", type.get()) < 0) return nullptr;
    }
    Ref self = Ref::steal(PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(type.get()), 0));
    if (!self) return nullptr;
    auto* f = reinterpret_cast<Function*>(self.get());
    f->vectorcall = call;
    f->impl = s.impl;
    f->binding = s.binding;
    if (!(f->name = PyUnicode_InternFromString(s.name))) return nullptr;
    if (!(f->qualname = PyUnicode_FromString(s.qualname ? s.qualname : s.name))) return nullptr;
    if (!(f->module = PyObject_GetAttrString(module, "__name__"))) return nullptr;
    f->doc = s.doc ? PyUnicode_FromString(s.doc) : Py_NewRef(Py_None);
    if (!f->doc) return nullptr;
    if (s.text_signature && !(f->text_signature = PyUnicode_FromString(s.text_signature))) return nullptr;
    if (!(f->annotations = PyDict_New())) return nullptr;
    for (const auto& [key, value] : s.annotations) {
        Ref text = Ref::steal(PyUnicode_FromString(value));
        if (!text || PyDict_SetItemString(f->annotations, key, text.get()) < 0) return nullptr;
    }
    return self.release();
}

// Make a function and store it under its name in `owner` (a dict: a class
// namespace, or a module's __dict__).
[[nodiscard]] inline bool add_function(PyObject* module, PyObject* owner_dict, const FunctionSpec& s) {
    Ref f = Ref::steal(make_function(module, s));
    return f && PyDict_SetItemString(owner_dict, s.name, f.get()) == 0;
}

}  // namespace velmar

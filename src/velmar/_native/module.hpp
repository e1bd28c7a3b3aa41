// Multi-phase module initialisation with two guards: the module's C statics
// (imported types, bound functions) are objects of the main interpreter, so
// every other interpreter is refused; and a second module object would rebind
// those statics under the first one's feet, so re-initialisation is refused.
//
//   static int exec_structured(PyObject* module);   // 0, or -1 with an exception
//   VELMAR_MODULE(structured, "doc", nullptr, exec_structured)
#pragma once
#include "messages.hpp"
#include "ref.hpp"

namespace velmar::module_detail {

// Only the main interpreter may hold the statics. Keying this on the first
// interpreter to arrive instead would let a short-lived subinterpreter lock
// the main one out for the life of the process.
inline bool in_main_interpreter() {
    if (PyInterpreterState_Get() == PyInterpreterState_Main()) return true;
    PyErr_SetString(PyExc_ImportError, msg::interpreter_change);
    return false;
}

inline PyObject* create(PyObject* module_spec) {
    if (!in_main_interpreter()) return nullptr;
    Ref name = Ref::steal(PyObject_GetAttrString(module_spec, "name"));
    if (!name) return nullptr;
    return PyModule_NewObject(name.get());
}

// `instance` holds a strong reference to the module whose exec ran: a borrowed
// pointer would outlive a module dropped from sys.modules, and a new module
// object allocated at the same address would then be taken for the old one and
// left empty. Executing the live module again (importlib.reload) is a no-op.
inline int exec(PyObject* module, PyObject*& instance, const char* short_name, int (*body)(PyObject*)) {
    if (!in_main_interpreter()) return -1;
    if (instance) {
        if (instance == module) return 0;
        PyErr_Format(PyExc_RuntimeError, msg::reinitialisation, short_name);
        return -1;
    }
    instance = Py_NewRef(module);
    if (body(module) < 0) {
        Py_CLEAR(instance);  // a failed import may be retried
        return -1;
    }
    return 0;
}

}  // namespace velmar::module_detail

#if PY_VERSION_HEX >= 0x030C0000
// The create slot itself refuses every interpreter but the main one with a
// clear message, so the host is told not to refuse it first with a vaguer one.
#define VELMAR_MODULE_INTERPRETER_SLOT {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#else
#define VELMAR_MODULE_INTERPRETER_SLOT
#endif

#define VELMAR_MODULE(NAME, DOC, METHODS, EXEC)                                                                 \
    namespace {                                                                                                 \
    PyObject* velmar_module_instance_ = nullptr;                                                                \
    PyObject* velmar_module_create_(PyObject* module_spec, PyModuleDef*) {                                      \
        return velmar::module_detail::create(module_spec);                                                      \
    }                                                                                                           \
    int velmar_module_exec_(PyObject* module) {                                                                 \
        return velmar::module_detail::exec(module, velmar_module_instance_, #NAME, EXEC);                       \
    }                                                                                                           \
    PyModuleDef_Slot velmar_module_slots_[] = {{Py_mod_create, reinterpret_cast<void*>(velmar_module_create_)}, \
                                               {Py_mod_exec, reinterpret_cast<void*>(velmar_module_exec_)},     \
                                               VELMAR_MODULE_INTERPRETER_SLOT{0, nullptr}};                     \
    PyModuleDef velmar_module_def_ = {PyModuleDef_HEAD_INIT, #NAME,   DOC,     0,      METHODS,                 \
                                      velmar_module_slots_,  nullptr, nullptr, nullptr};                        \
    }                                                                                                           \
    PyMODINIT_FUNC PyInit_##NAME(void) { return PyModuleDef_Init(&velmar_module_def_); }

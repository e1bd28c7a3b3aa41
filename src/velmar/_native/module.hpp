// Multi-phase module initialisation with two guards: the module's C statics
// (imported types, bound functions) belong to one interpreter, so a second
// interpreter is refused; and a second module object would rebind those
// statics under the first one's feet, so re-initialisation is refused.
//
//   static int exec_structured(PyObject* module);   // 0, or -1 with an exception
//   VELMAR_MODULE(structured, "doc", nullptr, exec_structured)
#pragma once
#include <cstdint>

#include "messages.hpp"
#include "ref.hpp"

namespace velmar::module_detail {

inline PyObject* create(PyObject* module_spec, std::int64_t& main_interpreter) {
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return nullptr;
    if (main_interpreter == -1) {
        main_interpreter = current;
    } else if (main_interpreter != current) {
        PyErr_SetString(PyExc_ImportError, msg::interpreter_change);
        return nullptr;
    }
    Ref name = Ref::steal(PyObject_GetAttrString(module_spec, "name"));
    if (!name) return nullptr;
    return PyModule_NewObject(name.get());
}

inline int exec(PyObject* module, PyObject*& instance, const char* short_name, int (*body)(PyObject*)) {
    if (instance) {
        if (instance == module) return 0;
        PyErr_Format(PyExc_RuntimeError, msg::reinitialisation, short_name);
        return -1;
    }
    instance = module;  // borrowed: sys.modules keeps the module alive
    if (body(module) < 0) {
        instance = nullptr;  // a failed import may be retried
        return -1;
    }
    return 0;
}

}  // namespace velmar::module_detail

#if PY_VERSION_HEX >= 0x030C0000
// The create slot itself refuses a second interpreter with a clear message, so
// the host is told not to refuse it first with a vaguer one.
#define VELMAR_MODULE_INTERPRETER_SLOT {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#else
#define VELMAR_MODULE_INTERPRETER_SLOT
#endif

#define VELMAR_MODULE(NAME, DOC, METHODS, EXEC)                                                  \
    namespace {                                                                                  \
    std::int64_t velmar_main_interpreter_ = -1;                                                  \
    PyObject* velmar_module_instance_ = nullptr;                                                 \
    PyObject* velmar_module_create_(PyObject* module_spec, PyModuleDef*) {                              \
        return velmar::module_detail::create(module_spec, velmar_main_interpreter_);                    \
    }                                                                                            \
    int velmar_module_exec_(PyObject* module) {                                                  \
        return velmar::module_detail::exec(module, velmar_module_instance_, #NAME, EXEC);        \
    }                                                                                            \
    PyModuleDef_Slot velmar_module_slots_[] = {                                                  \
        {Py_mod_create, reinterpret_cast<void*>(velmar_module_create_)},                         \
        {Py_mod_exec, reinterpret_cast<void*>(velmar_module_exec_)},                             \
        VELMAR_MODULE_INTERPRETER_SLOT{0, nullptr}};                                             \
    PyModuleDef velmar_module_def_ = {PyModuleDef_HEAD_INIT, #NAME, DOC, 0, METHODS,             \
                                      velmar_module_slots_, nullptr, nullptr, nullptr};          \
    }                                                                                            \
    PyMODINIT_FUNC PyInit_##NAME(void) { return PyModuleDef_Init(&velmar_module_def_); }

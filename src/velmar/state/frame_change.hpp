// What StateVector and StateVectorEphemeris share about frames: the refusal
// of classical elements in an Earth-fixed frame, and to_frame(), which hands
// the vectors to velmar.frames.transforms. That module is imported at call
// time, through Python: it sits above the states (it needs EOP and pyerfa),
// so binding it natively at import would make the layers depend on each other.
#pragma once
#include "velmar/_native/args.hpp"
#include "velmar/_native/messages.hpp"
#include "velmar/_native/ref.hpp"

// The end of both to_frame docstrings (a literal, to be joined to theirs).
#define VELMAR_TO_FRAME_DOC_TAIL                                                                   \
    "frame is one of TEME, ITRF, GCRF (the state's own frame gives an equal new object); eop is\n" \
    "None for velmar's Earth orientation bulletins or a velmar.frames.transforms.EOPValues.\n"     \
    "Epochs outside the Earth orientation data give NaN and one RuntimeWarning."

namespace velmar::frame_change {

// False with ValueError when `frame` is ITRF or an ENU frame: osculating
// elements in a rotating frame would mix the Earth's spin into the orbit.
[[nodiscard]] inline bool require_inertial(PyObject* frame, const char* owner) {
    Ref frames = Ref::steal(PyImport_ImportModule("velmar.frames.frames"));
    if (!frames) return false;
    Ref itrf = Ref::steal(PyObject_GetAttrString(frames.get(), "ITRF"));
    if (!itrf) return false;
    Ref enu = Ref::steal(PyObject_GetAttrString(frames.get(), "ENU"));
    if (!enu) return false;
    int earth_fixed = frame == itrf.get();
    if (!earth_fixed && PyType_Check(enu.get())) {
        earth_fixed = PyObject_IsInstance(frame, enu.get());
        if (earth_fixed < 0) return false;
    }
    if (!earth_fixed) return true;
    PyErr_Format(PyExc_ValueError, msg::earth_fixed_elements, owner, frame);
    return false;
}

// type(time, target, r', v', GM) with r', v' the vectors taken from `frame`
// to `target` by velmar.frames.transforms.transform; the constructor checks
// what transform returned.
[[nodiscard]] inline PyObject* to_frame(PyTypeObject* type, PyObject* time, PyObject* frame, double GM, PyObject* r,
                                        PyObject* v, PyObject* target, PyObject* eop) {
    Ref transforms = Ref::steal(PyImport_ImportModule("velmar.frames.transforms"));
    if (!transforms) return nullptr;
    Ref transform = Ref::steal(PyObject_GetAttrString(transforms.get(), "transform"));
    if (!transform) return nullptr;
    Ref gm = Ref::steal(PyFloat_FromDouble(GM));
    if (!gm) return nullptr;
    Ref moved = Ref::steal(
        PyObject_CallFunctionObjArgs(transform.get(), time, r, v, frame, target, eop ? eop : Py_None, nullptr));
    if (!moved) return nullptr;
    if (!PyTuple_Check(moved.get()) || PyTuple_GET_SIZE(moved.get()) != 2) {
        PyErr_Format(PyExc_TypeError, msg::conversion_result, "velmar.frames.transforms", "transform",
                     Py_TYPE(moved.get())->tp_name, "a tuple (r, v)");
        return nullptr;
    }
    return PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(type), time, target,
                                        PyTuple_GET_ITEM(moved.get(), 0), PyTuple_GET_ITEM(moved.get(), 1), gm.get(),
                                        nullptr);
}

// Binds to_frame(frame, eop=None); false with TypeError set.
[[nodiscard]] inline bool bind_to_frame(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject*& target,
                                        PyObject*& eop) {
    static constexpr const char* names[] = {"frame", "eop"};
    static constexpr Signature sig{"to_frame", names, 2, 1, 2};
    PyObject* a[2];
    if (!bind_fastcall(sig, args, nargs, kwnames, a)) return false;
    target = a[0];
    eop = a[1];
    return true;
}

}  // namespace velmar::frame_change

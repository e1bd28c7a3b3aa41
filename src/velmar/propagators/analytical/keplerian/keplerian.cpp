// Two-body (Keplerian) propagation of one orbital state to any number of
// epochs, and the Jacobian of the two-body equations of motion along an
// ephemeris.
//
// Only the anomaly moves under two-body motion, so a propagation is one pass
// over the epochs. With velmar's own Kepler solver bound, propagate_state
// makes positions and velocities in that one pass (mean anomaly, the array
// solver, sine and cosine, the conic), a block of epochs at a time and without
// the interpreter lock, and hands the arrays to the ephemeris without a copy.
// With any other solver bound it keeps the per-epoch calls through the
// pointers: true anomalies, an element ephemeris, then its to_sv().
#define VELMAR_NUMPY_IMPORT
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "velmar/_native/args.hpp"
#include "velmar/_native/buffer.hpp"
#include "velmar/_native/exports.hpp"
#include "velmar/_native/function.hpp"
#include "velmar/_native/module.hpp"
#include "velmar/_native/numpy.hpp"
#include "velmar/_native/types.hpp"
#include "velmar/propagators/analytical/keplerian/keplerian.hpp"
#include "velmar/state/batch.hpp"
#include "velmar/state/coe.hpp"
#include "velmar/state/conversions.hpp"
#include "velmar/state/ephemeris.hpp"
#include "velmar/state/state.hpp"

namespace {

using velmar::COEObject;
using velmar::KeplerianObject;
using velmar::Ref;
using velmar::StateVectorEphemerisObject;

// Bound in the exec slot and kept for the life of the process: the module
// cannot be loaded twice, and plain pointers (no destructors) stay valid
// through interpreter shutdown.
PyTypeObject* time_type = nullptr;
PyTypeObject* state_type = nullptr;
PyTypeObject* state_vector_type = nullptr;
PyTypeObject* coe_type = nullptr;
PyTypeObject* sv_ephemeris_type = nullptr;
PyTypeObject* coe_ephemeris_type = nullptr;
PyTypeObject* propagator_type = nullptr;
PyTypeObject* keplerian_type = nullptr;
PyObject* str_to_coe = nullptr;
PyObject* str_to_sv = nullptr;
PyObject* str_reshape = nullptr;
PyObject* str_size = nullptr;
PyObject* minus_one = nullptr;

// float(Earth.GM) as it was when the module was imported.
double default_GM = 0.0;

velmar::coe::Kepler kepler;
velmar::batch::Kernels kernels;
velmar::ephemeris_api::NewSV new_sv_ephemeris = nullptr;
velmar::ephemeris_api::NewCOE new_coe_ephemeris = nullptr;
velmar::KeplerianTable table;

// The array kernels serve only when the bound solver is the one they agree
// with; any other keeps the per-epoch calls.
bool own_solver() { return kepler.eca_from_mea == kernels.solver; }

// Epochs between two looks at pending signals (Ctrl-C) in a long loop.
constexpr Py_ssize_t signal_stride = 65536;
// Epochs a block of the array kernels takes: their scratch stays in cache.
constexpr Py_ssize_t block = 256;

// Loops shorter than this keep the interpreter lock: letting it go and
// taking it back would cost more than the loop (a one-epoch propagation).
constexpr Py_ssize_t unlock_from = 2048;

// The interpreter lock let go for a loop of n epochs (when it is long enough
// for that to pay) and taken back now and then to run signal handlers: a
// KeyboardInterrupt ends the loop with its exception set.
class Unlocked {
public:
    explicit Unlocked(Py_ssize_t n) : state_(n >= unlock_from ? PyEval_SaveThread() : nullptr) {}
    ~Unlocked() {
        if (state_) PyEval_RestoreThread(state_);
    }
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;
    // False (lock held, exception set) when a signal handler raised.
    [[nodiscard]] bool check_signals() {
        if (!state_) return PyErr_CheckSignals() == 0;
        PyEval_RestoreThread(state_);
        state_ = nullptr;
        if (PyErr_CheckSignals() < 0) return false;
        state_ = PyEval_SaveThread();
        return true;
    }

private:
    PyThreadState* state_;
};

KeplerianObject* as_keplerian(PyObject* self) { return reinterpret_cast<KeplerianObject*>(self); }

// --- the gravity gradient and the Jacobian -------------------------------------

// G = GM / |r|^5 (3 r r^T - |r|^2 I), with one square root and one division.
void gravity_gradient(double GM, const double r[3], double G[9]) {
    const double x = r[0], y = r[1], z = r[2];
    const double q = (x * x + y * y) + z * z;
    const double rho = std::sqrt(q);
    const double f = GM / (rho * (q * q));
    G[0] = (3 * x * x - q) * f;
    G[4] = (3 * y * y - q) * f;
    G[8] = (3 * z * z - q) * f;
    G[1] = G[3] = 3 * x * y * f;
    G[2] = G[6] = 3 * x * z * f;
    G[5] = G[7] = 3 * y * z * f;
}

// The base's first operation; the gradient of two-body gravity depends on
// neither the epoch nor the velocity.
int c_gravity_gradient(PyObject* self, double, const double r[3], const double[3], double out[9]) {
    gravity_gradient(as_keplerian(self)->GM, r, out);
    return 0;
}

// Row by row rather than a clear and a scatter: every entry is stored once.
void jacobian_at(double GM, const double r[3], double out[36]) {
    double G[9];
    gravity_gradient(GM, r, G);
    for (int m = 0; m < 3; ++m) {
        double* upper = out + 6 * m;
        double* lower = out + 6 * (3 + m);
        for (int n = 0; n < 3; ++n) {
            upper[n] = 0.0;
            upper[3 + n] = m == n ? 1.0 : 0.0;
            lower[n] = G[3 * m + n];
            lower[3 + n] = 0.0;
        }
    }
}

int c_state_jacobian(PyObject* self, const double r[3], double out[36]) {
    jacobian_at(as_keplerian(self)->GM, r, out);
    return 0;
}

// --- propagation ----------------------------------------------------------------

// The mean anomalies mm dt + M0 of the epochs [start, start + m).
void mean_anomalies(const velmar::View1D<double>& dt, Py_ssize_t start, Py_ssize_t m, double mm, double M0,
                    double* out) {
    // The mean anomaly is not reduced to one turn: Kepler's equation takes
    // any real value, and reducing here would cost precision for nothing.
    if (dt.contiguous()) {
        const double* t = dt.data() + start;
        for (Py_ssize_t i = 0; i < m; ++i) out[i] = mm * t[i] + M0;
    } else {
        for (Py_ssize_t i = 0; i < m; ++i) out[i] = mm * dt[start + i] + M0;
    }
}

PyObject* propagate_tra(PyObject*, const velmar::View1D<double>& dt, double tra0, double ecc, double mm) {
    const Py_ssize_t n = dt.size();
    Ref out = Ref::steal(velmar::new_double_array(n));
    if (!out) return nullptr;
    double* tra = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
    const double s = velmar::coe::semi_minor_ratio(ecc);
    if (own_solver()) {
        double M0;
        kernels.mea_from_tra(&tra0, ecc, &M0, 1);
        Unlocked unlocked(n);
        for (Py_ssize_t start = 0; start < n; start += block) {
            const Py_ssize_t m = std::min(block, n - start);
            mean_anomalies(dt, start, m, mm, M0, tra + start);
            kernels.tra_from_mea(tra + start, ecc, tra + start, m);
            if ((start + m) % signal_stride == 0 && start + m < n && !unlocked.check_signals()) return nullptr;
        }
        return out.release();
    }
    const double M0 = velmar::coe::c_mea_from_tra(kepler, tra0, ecc, s);
    if (M0 == -1.0 && PyErr_Occurred()) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const double value = velmar::coe::c_tra_from_mea(kepler, mm * dt[i] + M0, ecc, s);
        if (value == -1.0 && PyErr_Occurred()) return nullptr;
        tra[i] = value;
    }
    return out.release();
}

// A new one-dimensional array over fixed memory (numpy.hpp) holding `value`
// n times, for an ephemeris to take as it is.
PyObject* constant_array(npy_intp n, double value) {
    PyObject* array = velmar::new_fixed_array(NPY_DOUBLE, 1, &n);
    if (!array) return nullptr;
    double* data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
    std::fill(data, data + n, value);
    return array;
}

// The elapsed seconds from the epoch of the COE `c` to the epochs of `time`:
// a float for a single epoch, else a one-dimensional C-contiguous float64
// array this call alone holds (a copy when Time's subtraction hands out an
// array anyone else could reach), so that the loops may read it without the
// interpreter lock.
PyObject* elapsed_seconds(PyObject* time, const COEObject* c) {
    PyObject* epoch = c->base.epoch ? c->base.epoch : Py_None;
    Ref flat;
    {
        Ref elapsed = Ref::steal(PyNumber_Subtract(time, epoch));
        if (!elapsed || PyFloat_Check(elapsed.get())) return elapsed.release();
        flat = Ref::steal(PyObject_CallMethodOneArg(elapsed.get(), str_reshape, minus_one));
        if (!flat) return nullptr;
    }
    Ref array = Ref::steal(PyArray_FROM_OTF(flat.get(), NPY_DOUBLE, NPY_ARRAY_IN_ARRAY));
    if (!array) return nullptr;
    auto* a = reinterpret_cast<PyArrayObject*>(array.get());
    if (PyArray_NDIM(a) != 1) {
        PyErr_Format(PyExc_ValueError, velmar::msg::buffer_ndim, 1, PyArray_NDIM(a));
        return nullptr;
    }
    // Ours alone: no other reference to the array, and its memory owned by it
    // or by a base array nothing else refers to (reshape gives a view).
    bool alone = Py_REFCNT(array.get()) == (array.get() == flat.get() ? 2 : 1);
    PyObject* base = PyArray_BASE(a);
    if (base) {
        alone = alone && PyArray_Check(base) && Py_REFCNT(base) == 1 &&
                !PyArray_BASE(reinterpret_cast<PyArrayObject*>(base)) &&
                PyArray_CHKFLAGS(reinterpret_cast<PyArrayObject*>(base), NPY_ARRAY_OWNDATA);
    } else {
        alone = alone && PyArray_CHKFLAGS(a, NPY_ARRAY_OWNDATA);
    }
    flat.reset();
    return alone ? array.release() : PyArray_NewCopy(a, NPY_CORDER);
}

// The elapsed seconds as an array (one value for a single epoch).
PyObject* elapsed_array(PyObject* time, const COEObject* c) {
    Ref elapsed = Ref::steal(elapsed_seconds(time, c));
    if (!elapsed || !PyFloat_Check(elapsed.get())) return elapsed.release();
    PyObject* array = velmar::new_double_array(1);
    if (array)
        *static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array))) = PyFloat_AS_DOUBLE(elapsed.get());
    return array;
}

PyObject* c_propagate_state(PyObject* self, PyObject* time, PyObject* coe) {
    const COEObject* c = reinterpret_cast<COEObject*>(coe);
    Ref dt_array = Ref::steal(elapsed_array(time, c));
    if (!dt_array) return nullptr;
    velmar::View1D<double> dt;
    if (!dt.acquire(dt_array.get())) return nullptr;
    const Py_ssize_t n = dt.size();
    const double GM = as_keplerian(self)->GM;
    const double mean_motion = std::sqrt(GM / c->sma) / c->sma;

    Ref tra = Ref::steal(velmar::keplerian_table(self)->propagate_tra(self, dt, c->tra, c->ecc, mean_motion));
    if (!tra) return nullptr;
    // The elapsed times are no longer needed; drop them before the ephemeris
    // is built so that they do not add to the peak memory of a long run.
    dt.release();
    dt_array.reset();

    // Element arrays over fixed memory, which the ephemeris takes as they are:
    // the true anomalies are copied into one (the table's propagate_tra gives
    // an ordinary array), the constants filled in.
    const double constants[6] = {c->ecc, c->sma, c->inc, c->raa, c->arp, c->slr};
    Ref arrays[7];
    for (int k = 0; k < 6; ++k) {
        arrays[k < 5 ? k : 6] = Ref::steal(constant_array(n, constants[k]));
        if (!arrays[k < 5 ? k : 6]) return nullptr;
    }
    arrays[5] = Ref::steal(velmar::new_fixed_array(NPY_DOUBLE, 1, &n));
    if (!arrays[5] || PyArray_CopyInto(reinterpret_cast<PyArrayObject*>(arrays[5].get()),
                                       reinterpret_cast<PyArrayObject*>(tra.get())) < 0)
        return nullptr;
    tra.reset();
    PyObject* frame = c->base.frame ? c->base.frame : Py_None;
    PyObject* elements[7];
    for (int k = 0; k < 7; ++k) elements[k] = arrays[k].get();
    return new_coe_ephemeris(time, frame, GM, elements);
}

// Positions and velocities of the COE `coe` at the epochs of `time`, in one
// pass: a StateVectorEphemeris. For velmar's own solver only.
PyObject* propagate_fused(PyObject* self, PyObject* time, PyObject* coe) {
    const COEObject* c = reinterpret_cast<COEObject*>(coe);
    Ref elapsed = Ref::steal(elapsed_seconds(time, c));
    if (!elapsed) return nullptr;
    const bool single = PyFloat_Check(elapsed.get());
    const double one = single ? PyFloat_AS_DOUBLE(elapsed.get()) : 0.0;
    const double* dt =
        single ? &one : static_cast<const double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(elapsed.get())));
    const npy_intp n = single ? 1 : PyArray_DIM(reinterpret_cast<PyArrayObject*>(elapsed.get()), 0);
    const npy_intp shape[2] = {n, 3};
    Ref r = Ref::steal(velmar::new_fixed_array(NPY_DOUBLE, 2, shape));
    if (!r) return nullptr;
    Ref v = Ref::steal(velmar::new_fixed_array(NPY_DOUBLE, 2, shape));
    if (!v) return nullptr;
    double* R = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(r.get())));
    double* V = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(v.get())));

    const double GM = as_keplerian(self)->GM;
    const double e = c->ecc, a = c->sma;
    const double mm = std::sqrt(GM / a) / a;
    double M0;
    kernels.mea_from_tra(&c->tra, e, &M0, 1);
    velmar::conversions::Orientation o;
    o.set(c->inc, c->raa, c->arp);
    const double orbit[velmar::batch::two_body_orbit_size] = {e, a, GM, o.P[0], o.P[1], o.P[2], o.Q[0], o.Q[1], o.Q[2]};
    {
        Unlocked unlocked(n);
        double M[block];
        for (npy_intp start = 0; start < n; start += block) {
            const npy_intp m = std::min<npy_intp>(block, n - start);
            for (npy_intp i = 0; i < m; ++i) M[i] = mm * dt[start + i] + M0;
            kernels.two_body(M, m, orbit, R + 3 * start, V + 3 * start);
            if ((start + m) % signal_stride == 0 && start + m < n && !unlocked.check_signals()) return nullptr;
        }
    }
    elapsed.reset();  // not part of the peak memory of what follows
    PyObject* frame = c->base.frame ? c->base.frame : Py_None;
    return new_sv_ephemeris(time, frame, GM, r.get(), v.get());
}

// --- Python methods ---------------------------------------------------------------

// The first argument of a method made with function.hpp: the instance, which
// must be a Keplerian when the method is called through the class.
bool bind_self(PyObject* const* args, Py_ssize_t nargs, const char* name, const char* qualname, PyObject*& self) {
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, velmar::msg::unbound_needs_argument, qualname);
        return false;
    }
    self = args[0];
    if (!PyObject_TypeCheck(self, keplerian_type)) {
        PyErr_Format(PyExc_TypeError, velmar::msg::descriptor_wrong_self, name, "Keplerian", Py_TYPE(self)->tp_name);
        return false;
    }
    return true;
}

bool conversion_failed(PyObject* source, const char* method, PyObject* result, PyTypeObject* expected) {
    PyErr_Format(PyExc_TypeError, velmar::msg::conversion_result, Py_TYPE(source)->tp_name, method,
                 result == Py_None ? "None" : Py_TYPE(result)->tp_name, expected->tp_name);
    return false;
}

// The classical elements of any State: a COE as it is, a StateVector through
// to_coe(), anything else through to_sv().to_coe().
PyObject* classical_elements(PyObject* state) {
    if (PyObject_TypeCheck(state, coe_type)) return Py_NewRef(state);
    Ref source = Ref::borrow(state);
    if (!PyObject_TypeCheck(state, state_vector_type)) {
        source = Ref::steal(PyObject_CallMethodNoArgs(state, str_to_sv));
        if (!source) return nullptr;
        // None would only fail later, with a message that hides which
        // conversion went wrong.
        if (source.get() == Py_None) {
            conversion_failed(state, "to_sv", Py_None, state_vector_type);
            return nullptr;
        }
    }
    Ref coe = Ref::steal(PyObject_CallMethodNoArgs(source.get(), str_to_coe));
    if (!coe) return nullptr;
    if (!PyObject_TypeCheck(coe.get(), coe_type)) {
        conversion_failed(source.get(), "to_coe", coe.get(), coe_type);
        return nullptr;
    }
    return coe.release();
}

PyObject* propagate_state(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* self;
    if (!bind_self(args, nargs, "propagate_state", "Keplerian.propagate_state", self)) return nullptr;
    static constexpr const char* names[] = {"time", "state"};
    static constexpr velmar::Signature sig{"propagate_state", names, 2, 2, 2, true};
    PyObject* a[2];
    if (!velmar::bind_fastcall(sig, args + 1, nargs - 1, kwnames, a)) return nullptr;
    if (!velmar::require_instance(a[1], state_type, "state", false)) return nullptr;

    Ref epochs = Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(time_type), a[0]));
    if (!epochs) return nullptr;
    Ref coe = Ref::steal(classical_elements(a[1]));
    if (!coe) return nullptr;
    if (reinterpret_cast<COEObject*>(coe.get())->ecc >= 1.0) {
        PyErr_SetNone(PyExc_NotImplementedError);
        return nullptr;
    }
    if (velmar::keplerian_table(self)->c_propagate_state == c_propagate_state && own_solver())
        return propagate_fused(self, epochs.get(), coe.get());
    Ref elements = Ref::steal(velmar::keplerian_table(self)->c_propagate_state(self, epochs.get(), coe.get()));
    if (!elements) return nullptr;
    Ref states = Ref::steal(PyObject_CallMethodNoArgs(elements.get(), str_to_sv));
    if (!states) return nullptr;
    if (!PyObject_TypeCheck(states.get(), sv_ephemeris_type)) {
        conversion_failed(elements.get(), "to_sv", states.get(), sv_ephemeris_type);
        return nullptr;
    }
    return states.release();
}

// eph.size, read through Python as any attribute: it may be computed.
bool read_size(PyObject* eph, Py_ssize_t& size) {
    Ref value = Ref::steal(PyObject_GetAttr(eph, str_size));
    if (!value) return false;
    size = PyNumber_AsSsize_t(value.get(), PyExc_OverflowError);
    return !(size == -1 && PyErr_Occurred());
}

PyObject* jacobian(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* self;
    if (!bind_self(args, nargs, "jacobian", "Keplerian.jacobian", self)) return nullptr;
    static constexpr const char* names[] = {"eph"};
    static constexpr velmar::Signature sig{"jacobian", names, 1, 1, 1};
    PyObject* eph;
    if (!velmar::bind_fastcall(sig, args + 1, nargs - 1, kwnames, &eph)) return nullptr;
    if (!velmar::require_instance(eph, sv_ephemeris_type, "eph", false)) return nullptr;

    Py_ssize_t n = 0;
    if (!read_size(eph, n)) return nullptr;
    const npy_intp shape[3] = {n, 6, 6};
    // The own operation writes every entry, so the result need not be cleared
    // first; another might not.
    const auto* operations = velmar::keplerian_table(self);
    const bool own = operations->c_state_jacobian == c_state_jacobian;
    Ref result = Ref::steal(own ? PyArray_EMPTY(3, const_cast<npy_intp*>(shape), NPY_DOUBLE, 0)
                                : PyArray_ZEROS(3, const_cast<npy_intp*>(shape), NPY_DOUBLE, 0));
    if (!result) return nullptr;
    Py_ssize_t count = 0;
    if (!read_size(eph, count)) return nullptr;
    // The rows past a count that shrank since the first read stay as zeros.
    if (own && count < n) {
        const Py_ssize_t first = count > 0 ? count : 0;
        std::memset(static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(result.get()))) + 36 * first, 0,
                    sizeof(double) * 36 * (n - first));
    }
    if (count <= 0) return result.release();
    if (count > n) {
        PyErr_Format(PyExc_ValueError, velmar::msg::ephemeris_size_changed, n, count);
        return nullptr;
    }

    const auto* e = reinterpret_cast<StateVectorEphemerisObject*>(eph);
    for (auto [array, what] : {std::pair{e->r, "position"}, std::pair{e->v, "velocity"}}) {
        if (!array || array == Py_None) {
            PyErr_Format(PyExc_AttributeError, velmar::msg::ephemeris_array_unset, Py_TYPE(eph)->tp_name, what);
            return nullptr;
        }
    }
    velmar::View2D<double> r;
    if (!r.acquire(e->r)) return nullptr;
    if (r.shape(1) < 3) {
        PyErr_Format(PyExc_ValueError, velmar::msg::buffer_length, "jacobian: eph position array", Py_ssize_t{3}, 1,
                     r.shape(1));
        return nullptr;
    }
    if (count > r.shape(0)) {
        PyErr_Format(PyExc_ValueError, velmar::msg::ephemeris_size_rows, count, r.shape(0));
        return nullptr;
    }

    // Each matrix is written straight into its place in the result: a 288-byte
    // copy from a scratch matrix cost more than computing it. On failure the
    // partly written result is dropped.
    double* out = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(result.get())));
    if (own) {
        // Pure arithmetic on a view this call holds: no lock needed.
        const double GM = as_keplerian(self)->GM;
        const bool contiguous = r.contiguous();
        const double* rows = r.data();
        const Py_ssize_t width = r.shape(1);
        Py_BEGIN_ALLOW_THREADS for (Py_ssize_t i = 0; i < count; ++i) {
            const double position[3] = {contiguous ? rows[width * i] : r(i, 0),
                                        contiguous ? rows[width * i + 1] : r(i, 1),
                                        contiguous ? rows[width * i + 2] : r(i, 2)};
            jacobian_at(GM, position, out + 36 * i);
        }
        Py_END_ALLOW_THREADS return result.release();
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        const double position[3] = {r(i, 0), r(i, 1), r(i, 2)};
        if (operations->c_state_jacobian(self, position, out + 36 * i) < 0) return nullptr;
    }
    return result.release();
}

// --- the type -------------------------------------------------------------------

PyObject* keplerian_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    Ref self = Ref::steal(propagator_type->tp_new(type, args, kwargs));
    if (!self) return nullptr;
    static constexpr const char* names[] = {"GM"};
    static constexpr velmar::Signature sig{"__init__", names, 1, 0, 1};
    PyObject* gm_argument;
    if (!velmar::bind_tuple(sig, args, kwargs, &gm_argument)) return nullptr;
    double GM = default_GM;
    if (gm_argument) {
        Ref value = Ref::steal(PyNumber_Float(gm_argument));
        if (!value) return nullptr;
        GM = PyFloat_AS_DOUBLE(value.get());
        if (!velmar::require_valid_gm(GM)) return nullptr;
    }
    KeplerianObject* k = as_keplerian(self.get());
    k->base.table = &table.base;
    k->GM = GM;
    return self.release();
}

void keplerian_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* get_GM(PyObject* self, void*) { return PyFloat_FromDouble(as_keplerian(self)->GM); }

PyGetSetDef keplerian_getset[] = {
    {"GM", get_GM, nullptr, PyDoc_STR("Gravitational parameter used for propagation (m^3/s^2)."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef keplerian_methods[] = {VELMAR_REFUSE_PICKLING, {nullptr, nullptr, 0, nullptr}};

// The class text starts with a signature line that shows the default GM, so it
// is written once the default is known.
constexpr const char* class_doc_format =
    "Keplerian(GM=%s)\n--\n\n"
    "Keplerian (two-body) orbit propagator.\n"
    "\n"
    "Propagates an orbital state under unperturbed two-body motion: the\n"
    "classical elements stay fixed and the mean anomaly advances with the\n"
    "mean motion. Perturbations (J2, drag, lunisolar) are ignored.\n"
    "Parabolic and hyperbolic orbits (ecc >= 1.0) are not valid.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "GM : float, optional\n"
    "    Gravitational parameter used for propagation, in m^3/s^2.\n"
    "    Defaults to Earth's. Zero, negative, NaN or infinite values\n"
    "    raise ValueError.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> propagator = Keplerian(GM=398600.4418e9)\n"
    ">>> ephemeris = propagator.propagate(time_array, initial_state)\n";
char class_doc[2048];

constexpr const char* propagate_state_doc =
    "Propagate a single initial state to one or more epochs (public API).\n"
    "\n"
    "The state is turned into classical elements (a COE as it is, a\n"
    "StateVector through to_coe(), any other State through\n"
    "to_sv().to_coe()); the mean anomaly advances with the mean motion\n"
    "sqrt(GM / sma) / sma while the other elements stay fixed.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "time : DatetimeLike\n"
    "    Target epoch or epochs: anything Time accepts.\n"
    "state : State\n"
    "    Initial orbital state.\n"
    "**kwargs\n"
    "    Accepted and ignored.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "StateVectorEphemeris\n"
    "    Position and velocity at every target epoch, in the frame of the\n"
    "    state, with this propagator's GM.\n"
    "\n"
    "Raises\n"
    "------\n"
    "NotImplementedError\n"
    "    For a parabolic or hyperbolic orbit (ecc >= 1.0).\n";

constexpr const char* jacobian_doc =
    "Compute the Jacobian matrices (\xe2\x88\x82"
    "f/\xe2\x88\x82"
    "x) along an ephemeris trajectory.\n"
    "\n"
    "For the state x = (r, v) and the two-body equations of motion\n"
    "dr/dt = v, dv/dt = -GM r / |r|^3, the Jacobian is [[0, I], [G, 0]]\n"
    "with the gravity gradient G = GM / |r|^5 (3 r r^T - |r|^2 I).\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "eph : StateVectorEphemeris\n"
    "    Ephemeris for which to compute Jacobians.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "jac : numpy.ndarray, shape (N, 6, 6)\n"
    "    Jacobian matrices at each epoch.\n";

PyType_Slot keplerian_slots[] = {{Py_tp_doc, class_doc},
                                 {Py_tp_new, reinterpret_cast<void*>(keplerian_new)},
                                 {Py_tp_dealloc, reinterpret_cast<void*>(keplerian_dealloc)},
                                 {Py_tp_getset, keplerian_getset},
                                 {Py_tp_methods, keplerian_methods},
                                 {0, nullptr}};

// Not tracked by the garbage collector: a Keplerian holds no references.
PyType_Spec keplerian_spec = {"velmar.propagators.analytical.keplerian.keplerian.Keplerian", sizeof(KeplerianObject), 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, keplerian_slots};

// --- module ---------------------------------------------------------------------

PyTypeObject* earth_type = nullptr;  // read once, for the default GM

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
    {"velmar.bodies.bodies", "CelestialBody", sizeof(PyObject), nullptr},
    {"velmar.bodies.bodies", "Earth", sizeof(PyObject), &earth_type},
    {"velmar.bodies.bodies", "Sun", sizeof(PyObject), nullptr},
    {"velmar.bodies.bodies", "Moon", sizeof(PyObject), nullptr},
    {"velmar.state.state", "State", sizeof(velmar::StateObject), &state_type},
    {"velmar.state.state", "StateVector", sizeof(velmar::StateObject), &state_vector_type},
    {"velmar.state.state", "COE", sizeof(COEObject), &coe_type},
    {"velmar.state.state", "GeoState", sizeof(PyObject), nullptr},
    {"velmar.state.ephemeris", "Ephemeris", sizeof(PyObject), nullptr},
    {"velmar.state.ephemeris", "StateVectorEphemeris", sizeof(StateVectorEphemerisObject), &sv_ephemeris_type},
    {"velmar.state.ephemeris", "COEEphemeris", sizeof(PyObject), &coe_ephemeris_type},
    {"velmar.state.ephemeris", "GeoStateEphemeris", sizeof(PyObject), nullptr},
    {"velmar.propagators.propagators", "Propagator", sizeof(velmar::PropagatorObject), &propagator_type},
};

bool bind_types() {
    return velmar::import_types(type_bindings) &&
           velmar::check_objects("velmar.frames.frames", {"GCRF", "ITRF", "TEME"});
}

// Python-level names: numpy, and DatetimeLike for the annotations.
bool bind_python_names(PyObject* module) {
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy || PyModule_AddObjectRef(module, "numpy", numpy.get()) < 0) return false;
    Ref typing = Ref::steal(PyImport_ImportModule("velmar.typing"));
    if (!typing) return false;
    Ref alias = Ref::steal(PyObject_GetAttrString(typing.get(), "DatetimeLike"));
    return alias && PyModule_AddObjectRef(module, "DatetimeLike", alias.get()) == 0;
}

bool read_default_GM() {
    Ref gm = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(earth_type), "GM"));
    if (!gm) return false;
    Ref value = Ref::steal(PyNumber_Float(gm.get()));
    if (!value) return false;
    default_GM = PyFloat_AS_DOUBLE(value.get());
    return true;
}

bool make_constants() {
    for (auto [slot, text] : {std::pair{&str_to_coe, "to_coe"}, std::pair{&str_to_sv, "to_sv"},
                              std::pair{&str_reshape, "reshape"}, std::pair{&str_size, "size"}}) {
        if (!(*slot = PyUnicode_InternFromString(text))) return false;
    }
    return (minus_one = PyLong_FromLong(-1)) != nullptr;
}

// Entries 2 and 3 are the base's own, read from the table a plain Propagator
// carries.
bool fill_table() {
    Ref base = Ref::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(propagator_type)));
    if (!base) return false;
    const velmar::PropagatorTable* inherited = reinterpret_cast<velmar::PropagatorObject*>(base.get())->table;
    table.base.gravity_gradient = c_gravity_gradient;
    table.base.acceleration = inherited ? inherited->acceleration : nullptr;
    table.base.state_derivative = inherited ? inherited->state_derivative : nullptr;
    table.propagate_tra = propagate_tra;
    table.c_propagate_state = c_propagate_state;
    table.c_state_jacobian = c_state_jacobian;
    return true;
}

bool make_type(PyObject* module) {
    char gm_text[64];
    {
        char* repr = PyOS_double_to_string(default_GM, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
        if (!repr) return false;
        std::snprintf(gm_text, sizeof gm_text, "%s", repr);
        PyMem_Free(repr);
    }
    std::snprintf(class_doc, sizeof class_doc, class_doc_format, gm_text);
    Ref bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(propagator_type)));
    if (!bases) return false;
    Ref type = Ref::steal(PyType_FromModuleAndSpec(module, &keplerian_spec, bases.get()));
    if (!type) return false;
    const velmar::FunctionSpec methods[] = {
        {"propagate_state",
         "Keplerian.propagate_state",
         propagate_state,
         velmar::Binding::method,
         propagate_state_doc,
         "(self, time, state, **kwargs)",
         {{"time", "DatetimeLike"}, {"state", "State"}, {"return", "StateVectorEphemeris"}}},
        {"jacobian",
         "Keplerian.jacobian",
         jacobian,
         velmar::Binding::method,
         jacobian_doc,
         "(self, eph)",
         {{"eph", "StateVectorEphemeris"}, {"return", "numpy.ndarray"}}},
    };
    for (const velmar::FunctionSpec& s : methods) {
        Ref f = Ref::steal(velmar::make_function(module, s));
        if (!f || PyObject_SetAttrString(type.get(), s.name, f.get()) < 0) return false;
    }
    if (PyModule_AddObjectRef(module, "Keplerian", type.get()) < 0) return false;
    keplerian_type = reinterpret_cast<PyTypeObject*>(type.release());
    return true;
}

int exec_keplerian(PyObject* module) {
    if (!velmar::import_numpy()) return -1;
    if (!bind_python_names(module) || !bind_types() || !kepler.bind() || !kernels.bind() ||
        !velmar::import_function("velmar.state.ephemeris", "c_new_sv_ephemeris",
                                 velmar::ephemeris_api::new_sv_signature, new_sv_ephemeris) ||
        !velmar::import_function("velmar.state.ephemeris", "c_new_coe_ephemeris",
                                 velmar::ephemeris_api::new_coe_signature, new_coe_ephemeris) ||
        !read_default_GM() || !make_constants() || !fill_table() || !make_type(module))
        return -1;
    return 0;
}

}  // namespace

VELMAR_MODULE(keplerian, "Two-body (Keplerian) orbit propagation and its Jacobian.", nullptr, exec_keplerian)

// The array forms of the anomaly conversions and of the trigonometric
// kernels, exported by velmar.state.coe beside the one-value solver
// c_eca_from_mea. Each walks plain float64 arrays, touches no Python object
// and may run without the interpreter lock; input and output may be the same
// array. Each runs on the widest instruction set the processor has (chosen
// when velmar.state.coe is imported), and every set gives the same bits as
// the one-value functions.
#pragma once
#include "velmar/_native/exports.hpp"

namespace velmar::batch {

// out[i] = f(in[i], ecc)
using AnomalyBatch = void (*)(const double* in, double ecc, double* out, Py_ssize_t n);
// s[i], c[i] = sin(x[i]), cos(x[i])
using SinCosBatch = void (*)(const double* x, double* s, double* c, Py_ssize_t n);
// out[i] = atan2(y[i], x[i])
using Atan2Batch = void (*)(const double* y, const double* x, double* out, Py_ssize_t n);
// Positions r[3 i..3 i + 2] and velocities v[...] on an ellipse at the mean
// anomalies mea[i]; orbit = {ecc, sma, GM, P[3], Q[3]} with P and Q the
// inertial directions of periapsis and of the perifocal y axis.
using TwoBodyBatch = void (*)(const double* mea, Py_ssize_t n, const double* orbit, double* r, double* v);
inline constexpr int two_body_orbit_size = 9;

namespace signature {
inline constexpr const char* anomaly = "void (double const * , double const , double * , Py_ssize_t const )";
inline constexpr const char* sin_cos = "void (double const * , double * , double * , Py_ssize_t const )";
inline constexpr const char* atan2 = "void (double const * , double const * , double * , Py_ssize_t const )";
inline constexpr const char* two_body =
    "void (double const * , Py_ssize_t const , double const * , double * , double * )";
}  // namespace signature

struct Kernels {
    AnomalyBatch eca_from_mea = nullptr;
    AnomalyBatch tra_from_mea = nullptr;
    AnomalyBatch tra_from_eca = nullptr;
    AnomalyBatch eca_from_tra = nullptr;
    AnomalyBatch mea_from_tra = nullptr;
    SinCosBatch sin_cos = nullptr;
    Atan2Batch atan2 = nullptr;
    TwoBodyBatch two_body = nullptr;
    // velmar's own one-value solver, to tell whether a bound solver is it.
    double (*solver)(double const, double const) = nullptr;

    [[nodiscard]] bool bind() {
        constexpr const char* m = "velmar.state.coe";
        return import_function(m, "c_eca_from_mea_batch", signature::anomaly, eca_from_mea) &&
               import_function(m, "c_tra_from_mea_batch", signature::anomaly, tra_from_mea) &&
               import_function(m, "c_tra_from_eca_batch", signature::anomaly, tra_from_eca) &&
               import_function(m, "c_eca_from_tra_batch", signature::anomaly, eca_from_tra) &&
               import_function(m, "c_mea_from_tra_batch", signature::anomaly, mea_from_tra) &&
               import_function(m, "c_sin_cos_batch", signature::sin_cos, sin_cos) &&
               import_function(m, "c_atan2_batch", signature::atan2, atan2) &&
               import_function(m, "c_two_body_batch", signature::two_body, two_body) &&
               import_function(m, "batch_solver", velmar::signature::double_of_two_doubles, solver);
    }
};

}  // namespace velmar::batch

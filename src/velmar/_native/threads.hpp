// Letting other threads run while a native loop works on memory it owns.
//
//   if (!velmar::for_blocks(n, [&](Py_ssize_t begin, Py_ssize_t end) {
//           for (Py_ssize_t i = begin; i < end; ++i) out[i] = f(in[i]);
//       }))
//       return nullptr;                       // KeyboardInterrupt (or another
//                                             // signal handler's error) set
//
// The body runs without the interpreter lock: it must not touch a Python
// object, raise, or read memory another thread could free or resize meanwhile
// (hold a reference to every array it reads, and read only fixed-size arrays
// or the buffer views that pin them, never a list or a resizable bytearray).
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <type_traits>
#include <utility>

namespace velmar {

// Below this many items the lock's round trip (two atomic handovers and,
// under contention, a wake-up of the waiting thread) costs more than the
// other threads gain.
inline constexpr Py_ssize_t release_threshold = 4096;

// Items between two signal checks: long enough that the check is free, short
// enough that Ctrl-C answers within milliseconds.
inline constexpr Py_ssize_t signal_block = 65536;

// Releases the interpreter lock for its lifetime (when `release` is true) and
// takes it back on every exit path. Construct it with the lock held.
class ReleaseGil {
public:
    explicit ReleaseGil(bool release = true) noexcept : state_(release ? PyEval_SaveThread() : nullptr) {}
    ReleaseGil(const ReleaseGil&) = delete;
    ReleaseGil& operator=(const ReleaseGil&) = delete;
    ~ReleaseGil() {
        if (state_) PyEval_RestoreThread(state_);
    }

private:
    PyThreadState* state_;
};

// Runs body(begin, end) over [0, n) in blocks of `block` items, the lock
// released during each block when n reaches `threshold`; between two blocks it
// takes the lock back and runs the pending signal handlers. False, with the
// handler's exception set, when one raised (the remaining blocks are skipped);
// a signal arriving during the last block is left to the interpreter.
template <typename Body> [[nodiscard]] bool for_blocks(Py_ssize_t n, Body&& body, Py_ssize_t block = signal_block,
                                                       Py_ssize_t threshold = release_threshold) {
    static_assert(std::is_invocable_v<Body&, Py_ssize_t, Py_ssize_t>, "body(begin, end)");
    if (block < 1) block = 1;
    const bool release = n >= threshold;
    for (Py_ssize_t begin = 0; begin < n;) {
        const Py_ssize_t end = n - begin > block ? begin + block : n;
        {
            ReleaseGil unlocked(release);
            body(begin, end);
        }
        begin = end;
        if (begin < n && PyErr_CheckSignals() < 0) return false;
    }
    return true;
}

}  // namespace velmar

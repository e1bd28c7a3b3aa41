// Typed views over the buffer protocol (numpy arrays, memoryviews, ...) with
// the host's buffer texts, any stride.
//
//   velmar::View1D<double> t;
//   if (!t.acquire(obj)) return nullptr;      // ValueError/TypeError set
//   for (Py_ssize_t i = 0; i < t.size(); ++i) sum += t[i];
#pragma once
#include <cstdint>
#include <cstring>
#include <utility>

#include "messages.hpp"
#include "ref.hpp"

namespace velmar {

template <typename T> struct BufferItem;
template <> struct BufferItem<double> {
    static constexpr const char* name = "double";
    static bool matches(char code) { return code == 'd'; }
};
template <> struct BufferItem<std::int64_t> {
    static constexpr const char* name = "int64_t";
    static bool matches(char code) { return code == 'l' || code == 'q'; }
};

namespace buffer_detail {

// How the host names a struct-module format character in its messages.
inline const char* describe(char code, bool complex) {
    switch (code) {
        case '?': return "'bool'";
        case 'c': return "'char'";
        case 'b': return "'signed char'";
        case 'B': return "'unsigned char'";
        case 'h': return "'short'";
        case 'H': return "'unsigned short'";
        case 'i': return "'int'";
        case 'I': return "'unsigned int'";
        case 'l': return "'long'";
        case 'L': return "'unsigned long'";
        case 'q': return "'long long'";
        case 'Q': return "'unsigned long long'";
        case 'e': return "'half'";
        case 'f': return complex ? "'complex float'" : "'float'";
        case 'd': return complex ? "'complex double'" : "'double'";
        case 'g': return complex ? "'complex long double'" : "'long double'";
        case 'T': return "a struct";
        case 'O': return "Python object";
        case 'P': return "a pointer";
        case 's':
        case 'p': return "a string";
        case 0: return "end";
        default: return "unparsable format string";
    }
}

// Checks a buffer's format and item size against T; false with ValueError set.
template <typename T> bool check_format(const Py_buffer& buf) {
    const char* f = buf.format ? buf.format : "B";
    bool big_endian = false;
    if (*f == '@' || *f == '=' || *f == '<' || *f == '>' || *f == '!') {
        big_endian = (*f == '>' || *f == '!');
        ++f;
    }
    while (*f >= '0' && *f <= '9') ++f;  // a repeat count of 1
    if (big_endian && sizeof(T) > 1) {
        PyErr_SetString(PyExc_ValueError, msg::buffer_big_endian);
        return false;
    }
    const bool complex = (*f == 'Z');
    const char code = complex ? f[1] : (*f == 'T' && f[1] == '{' ? 'T' : *f);
    if (complex || !BufferItem<T>::matches(code) || (code != 0 && f[1] != 0)) {
        PyErr_Format(PyExc_ValueError, msg::buffer_dtype, "'", BufferItem<T>::name, "'", describe(code, complex));
        return false;
    }
    if (buf.itemsize != static_cast<Py_ssize_t>(sizeof(T))) {
        PyErr_Format(PyExc_ValueError, msg::buffer_itemsize, buf.itemsize, buf.itemsize == 1 ? "" : "s",
                     BufferItem<T>::name, static_cast<Py_ssize_t>(sizeof(T)), sizeof(T) == 1 ? "" : "s");
        return false;
    }
    return true;
}

}  // namespace buffer_detail

// A view of an N-dimensional buffer of T. Move-only; releases the buffer when
// it goes out of scope.
template <typename T, int N> class View {
public:
    View() noexcept { std::memset(&buf_, 0, sizeof buf_); }
    View(const View&) = delete;
    View& operator=(const View&) = delete;
    View(View&& other) noexcept : buf_(other.buf_), held_(std::exchange(other.held_, false)) {}
    View& operator=(View&& other) noexcept {
        if (this != &other) {
            release();
            buf_ = other.buf_;
            held_ = std::exchange(other.held_, false);
        }
        return *this;
    }
    ~View() { release(); }

    // Acquire a view of `obj`; false with an exception set on failure. Read-only
    // buffers are fine unless `writable` is asked for.
    [[nodiscard]] bool acquire(PyObject* obj, bool writable = false) {
        release();
        int flags = PyBUF_FORMAT | PyBUF_STRIDES;
        if (writable) flags |= PyBUF_WRITABLE;
        if (PyObject_GetBuffer(obj, &buf_, flags) < 0) return false;
        held_ = true;
        if (buf_.ndim != N) {
            PyErr_Format(PyExc_ValueError, msg::buffer_ndim, N, buf_.ndim);
            release();
            return false;
        }
        if (!buffer_detail::check_format<T>(buf_)) {
            release();
            return false;
        }
        return true;
    }
    void release() noexcept {
        if (held_) {
            PyBuffer_Release(&buf_);
            held_ = false;
        }
    }

    bool held() const noexcept { return held_; }
    Py_ssize_t shape(int axis) const noexcept { return buf_.shape[axis]; }
    Py_ssize_t size() const noexcept { return N == 0 ? 1 : buf_.shape[0] * (N > 1 ? tail_size() : 1); }
    PyObject* owner() const noexcept { return buf_.obj; }

    T& operator[](Py_ssize_t i) const noexcept
        requires(N == 1)
    {
        return *reinterpret_cast<T*>(static_cast<char*>(buf_.buf) + i * buf_.strides[0]);
    }
    T& operator()(Py_ssize_t i, Py_ssize_t j) const noexcept
        requires(N == 2)
    {
        return *reinterpret_cast<T*>(static_cast<char*>(buf_.buf) + i * buf_.strides[0] + j * buf_.strides[1]);
    }
    // Contiguous storage allows a plain pointer walk in hot loops.
    bool contiguous() const noexcept {
        Py_ssize_t expected = static_cast<Py_ssize_t>(sizeof(T));
        for (int d = N - 1; d >= 0; --d) {
            if (buf_.shape[d] > 1 && buf_.strides[d] != expected) return false;
            expected *= buf_.shape[d];
        }
        return true;
    }
    T* data() const noexcept { return static_cast<T*>(buf_.buf); }

private:
    Py_ssize_t tail_size() const noexcept {
        Py_ssize_t n = 1;
        for (int d = 1; d < N; ++d) n *= buf_.shape[d];
        return n;
    }
    Py_buffer buf_;
    bool held_ = false;
};

template <typename T> using View1D = View<T, 1>;
template <typename T> using View2D = View<T, 2>;

// For checks that only validate an argument: acquire and release at once.
template <typename T, int N = 1> [[nodiscard]] inline bool check_buffer(PyObject* obj) {
    View<T, N> view;
    return view.acquire(obj);
}

}  // namespace velmar

// The catalogue reader's native pass. The bytes of a two- or three-line
// element-set file, pulled a chunk at a time from a Python callable, are split
// into lines, paired, screened (checksum and the column format of every field
// velmar reads) and turned into TLE objects, grouped by satellite when asked,
// in one go and without holding the file. velmar.io opens and decompresses
// the source, diagnoses the rows the screen flags line by line, and words
// every message; TLE itself decides what a set's fields are.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <new>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "velmar/_native/args.hpp"
#include "velmar/_native/threads.hpp"
#include "velmar/propagators/analytical/sgp4/tle_module.hpp"

namespace velmar::tle_module {
namespace {

constexpr size_t line_width = 69;
// No line of a catalogue comes near this; a source without line breaks (a
// binary file, /dev/zero) would otherwise be gathered whole as one line.
constexpr size_t longest_line = size_t{1} << 20;

// The problems of the file's structure, as velmar.io words them.
enum Structure : long { lone_line1 = 1, lone_line2 = 2, lone_name = 3 };

// str.strip()'s ASCII whitespace, so that lengths agree with the diagnosis.
bool is_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1c && c <= 0x1f); }
bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

size_t stripped_size(const char* s, size_t n) {
    while (n && is_space(static_cast<unsigned char>(s[n - 1]))) --n;
    return n;
}

bool is_blank(const char* s, size_t n) { return stripped_size(s, n) == 0; }

// "1 " or "2 " and then what there is of a satellite-number field: digits and
// blanks, the first column possibly a letter (the alphanumeric numbers). Such
// a line is an element line whatever its length, so that a line cut short by
// a broken download is reported, not taken for a name. A line of full length
// after "1 " or "2 " is an element line whatever its number field holds: taken
// for a name, its set would vanish without a word.
bool is_element_line(const char* s, size_t n) {
    n = stripped_size(s, n);
    if (n < 3 || (s[0] != '1' && s[0] != '2') || s[1] != ' ') return false;
    if (n >= 69) return true;
    const size_t end = std::min<size_t>(n, 7);
    for (size_t k = 2; k < end; ++k) {
        const auto c = static_cast<unsigned char>(s[k]);
        if (c == ' ' || is_digit(c) || (k == 2 && c >= 'A' && c <= 'Z')) continue;
        return false;
    }
    return true;
}

// What a byte may be, as bits; a column of the screen accepts the bytes that
// share a bit with its requirement.
enum ByteClass : unsigned char { digit = 1, blank = 2, point = 4, other = 8 };
constexpr char digit_bits = digit, blank_bits = blank, point_bits = point, other_bits = other;

struct ByteTable {
    unsigned char kind[256];
    unsigned char weight[256];  // its count in the checksum
    constexpr ByteTable() : kind(), weight() {
        for (int c = 1; c < 0x80; ++c) kind[c] = other;  // NUL and non-ASCII bytes pass no column
        for (int c = '0'; c <= '9'; ++c) {
            kind[c] = digit;
            weight[c] = static_cast<unsigned char>(c - '0');
        }
        kind[static_cast<int>(' ')] = blank;
        kind[static_cast<int>('.')] = point;
        weight[static_cast<int>('-')] = 1;
    }
};
constexpr ByteTable byte_table{};

// Per line number, per column, the classes of byte accepted there, from the
// masks velmar.io builds out of the same table its diagnosis reads: 'D' a
// digit, 'S' a digit or a blank, '.' the decimal point, anything else any
// ASCII byte but NUL. Column 69 is the checksum digit.
struct Forms {
    unsigned char accept[2][line_width];
#if defined(__SSE2__)
    // The same as five 16-byte blocks from columns 1, 17, 33, 49 and 54 (the
    // last overlaps the fourth), with 0xFF where a column counts in the
    // checksum for the first time.
    alignas(16) unsigned char block_accept[2][5][16];
    alignas(16) unsigned char block_counts[2][5][16];
#endif
};

#if defined(__SSE2__)
constexpr size_t block_start[5] = {0, 16, 32, 48, line_width - 16};

void prepare_blocks(Forms& forms) {
    for (int which = 0; which < 2; ++which) {
        for (int b = 0; b < 5; ++b) {
            for (size_t k = 0; k < 16; ++k) {
                const size_t column = block_start[b] + k;
                forms.block_accept[which][b][k] = forms.accept[which][column];
                const bool first_time = b < 4 || column >= 64;
                forms.block_counts[which][b][k] = first_time && column < line_width - 1 ? 0xFF : 0;
            }
        }
    }
}

// The classes of 16 bytes as bits: digit 1, blank 2, point 4, and 8 for any
// ASCII byte but NUL (digits too); NUL and non-ASCII bytes have none.
inline __m128i byte_classes(__m128i c, __m128i digit_mask) {
    const __m128i blank_mask = _mm_cmpeq_epi8(c, _mm_set1_epi8(' '));
    const __m128i point_mask = _mm_cmpeq_epi8(c, _mm_set1_epi8('.'));
    const __m128i valid_mask = _mm_cmpgt_epi8(c, _mm_setzero_si128());
    return _mm_or_si128(_mm_or_si128(_mm_and_si128(digit_mask, _mm_set1_epi8(digit_bits)),
                                     _mm_and_si128(blank_mask, _mm_set1_epi8(blank_bits))),
                        _mm_or_si128(_mm_and_si128(point_mask, _mm_set1_epi8(point_bits)),
                                     _mm_and_si128(valid_mask, _mm_set1_epi8(other_bits))));
}
#endif

// True when the line would pass every check of the per-line diagnosis.
bool passes(const Forms& forms, int which, const char* s, size_t n) {
    if (stripped_size(s, n) < line_width) return false;
    const auto* bytes = reinterpret_cast<const unsigned char*>(s);
    const unsigned char check = bytes[line_width - 1];
    if (byte_table.kind[check] != digit) return false;
    unsigned sum = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    __m128i refused = zero, total = zero;
    for (int b = 0; b < 5; ++b) {
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + block_start[b]));
        const __m128i accept = _mm_load_si128(reinterpret_cast<const __m128i*>(forms.block_accept[which][b]));
        const __m128i counts = _mm_load_si128(reinterpret_cast<const __m128i*>(forms.block_counts[which][b]));
        const __m128i from_zero = _mm_sub_epi8(c, _mm_set1_epi8('0'));
        const __m128i digit_mask = _mm_cmpeq_epi8(_mm_min_epu8(from_zero, _mm_set1_epi8(9)), from_zero);
        refused = _mm_or_si128(refused, _mm_cmpeq_epi8(_mm_and_si128(byte_classes(c, digit_mask), accept), zero));
        const __m128i minus = _mm_and_si128(_mm_cmpeq_epi8(c, _mm_set1_epi8('-')), _mm_set1_epi8(1));
        const __m128i weight = _mm_or_si128(_mm_and_si128(digit_mask, from_zero), minus);
        total = _mm_add_epi64(total, _mm_sad_epu8(_mm_and_si128(weight, counts), zero));
    }
    if (_mm_movemask_epi8(refused)) return false;
    sum = static_cast<unsigned>(_mm_cvtsi128_si32(total) + _mm_cvtsi128_si32(_mm_srli_si128(total, 8)));
#else
    const unsigned char* accept = forms.accept[which];
    unsigned refused = 0;
    for (size_t k = 0; k < line_width - 1; ++k) {
        refused |= (byte_table.kind[bytes[k]] & accept[k]) == 0;
        sum += byte_table.weight[bytes[k]];
    }
    if (refused) return false;
#endif
    return sum % 10 == static_cast<unsigned>(check - '0');
}

// No byte at or above 0x80.
bool is_ascii(const char* s, size_t n) {
    std::uint64_t high = 0;
    size_t k = 0;
    for (; k + 8 <= n; k += 8) {
        std::uint64_t w;
        std::memcpy(&w, s + k, 8);
        high |= w;
    }
    for (; k < n; ++k) high |= static_cast<unsigned char>(s[k]);
    return (high & 0x8080808080808080ull) == 0;
}

// Bytes as text: UTF-8 when they are, Latin-1 otherwise (every byte a
// character), which reads the name lines catalogue services write.
PyObject* decode_text(const char* s, size_t n) {
    PyObject* text = PyUnicode_DecodeUTF8(s, static_cast<Py_ssize_t>(n), nullptr);
    if (text || !PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return text;
    PyErr_Clear();
    return PyUnicode_DecodeLatin1(s, static_cast<Py_ssize_t>(n), nullptr);
}

// TLE(line1, line2). Lines whose first 69 bytes (all that TLE keeps) are
// ASCII take TLE's own constructor path from the bytes; any other line goes
// in whole, decoded, for TLE to refuse or read as it does.
PyObject* new_tle(const std::string& line1, const char* s2, size_t n2) {
    const char* s[2] = {line1.data(), s2};
    const size_t n[2] = {line1.size(), n2};
    if (is_ascii(s[0], std::min(n[0], line_width)) && is_ascii(s[1], std::min(n[1], line_width)))
        return new_tle_from_ascii(s[0], n[0], s[1], n[1]);
    Ref text[2];
    for (int i = 0; i < 2; ++i) {
        text[i] = Ref::steal(decode_text(s[i], n[i]));
        if (!text[i]) return nullptr;
    }
    PyObject* args[] = {text[0].get(), text[1].get()};
    return PyObject_Vectorcall(reinterpret_cast<PyObject*>(bound.tle), args, 2, nullptr);
}

// The satellite number of a TLE as its `satno` attribute gives it. The plain
// forms (blanks, then digits, then blanks) are read here; anything else is
// asked of the attribute itself. `number` is set for an int, `text` for a str.
bool satellite_number(PyObject* tle, bool& is_number, long& number, std::string& text) {
    if (Py_IS_TYPE(tle, bound.tle)) {
        const char* field = reinterpret_cast<TLEObject*>(tle)->satno_text;
        const size_t n = strnlen(field, 5);
        size_t k = 0;
        while (k < n && field[k] == ' ') ++k;
        const size_t first = k;
        long value = 0;
        while (k < n && is_digit(static_cast<unsigned char>(field[k]))) value = value * 10 + (field[k++] - '0');
        const size_t digits = k - first;
        while (k < n && field[k] == ' ') ++k;
        if (digits > 0 && k == n) {
            is_number = true;
            number = value;
            return true;
        }
    }
    Ref satno = Ref::steal(PyObject_GetAttr(tle, bound.names.satno));
    if (!satno) return false;
    if (PyLong_Check(satno.get())) {
        number = PyLong_AsLong(satno.get());
        if (number == -1 && PyErr_Occurred()) return false;
        is_number = true;
        return true;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_Check(satno.get()) ? PyUnicode_AsUTF8AndSize(satno.get(), &size) : nullptr;
    if (!utf8) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "TLE.satno is neither an int nor a str");
        return false;
    }
    is_number = false;
    text.assign(utf8, static_cast<size_t>(size));
    return true;
}

// 64-bit mix of the two stored lines; equal lines give equal hashes. Four
// independent lanes, so that the multiplications overlap.
std::uint64_t lines_hash(const TLEObject* t) {
    unsigned char bytes[160] = {};
    std::memcpy(bytes, t->line1, 70);
    std::memcpy(bytes + 70, t->line2, 70);
    constexpr std::uint64_t k = 0x9E3779B97F4A7C15ull;
    std::uint64_t h0 = 0x243F6A8885A308D3ull, h1 = 0x13198A2E03707344ull, h2 = 0xA4093822299F31D0ull,
                  h3 = 0x082EFA98EC4E6C89ull;
    const auto mix = [](std::uint64_t h, const unsigned char* at) {
        std::uint64_t w;
        std::memcpy(&w, at, 8);
        h = (h ^ w) * k;
        return h ^ (h >> 29);
    };
    for (size_t at = 0; at < sizeof bytes; at += 32) {
        h0 = mix(h0, bytes + at);
        h1 = mix(h1, bytes + at + 8);
        h2 = mix(h2, bytes + at + 16);
        h3 = mix(h3, bytes + at + 24);
    }
    std::uint64_t out = h0;
    for (const std::uint64_t h : {h1, h2, h3}) {
        out = (out ^ h) * k;
        out ^= out >> 29;
    }
    return out;
}

bool same_lines(const TLEObject* a, const TLEObject* b) {
    return std::memcmp(a->line1, b->line1, 70) == 0 && std::memcmp(a->line2, b->line2, 70) == 0;
}

// The sets of one satellite kept so far, by the hash of their lines: open
// addressing with linear probing, so that a duplicate is found as it is read,
// at the cost of 16 bytes a slot. One table per satellite stays in the cache
// where one for the whole file would not. Each slot owns a reference to its
// TLE: the group's list cannot be trusted to keep it, since read() runs
// Python code between chunks that may reach the list (gc.get_objects) and
// empty it.
class SeenLines {
public:
    SeenLines() = default;
    SeenLines(const SeenLines&) = delete;
    SeenLines& operator=(const SeenLines&) = delete;
    SeenLines(SeenLines&& other) noexcept : slots_(std::move(other.slots_)), count_(other.count_) {
        other.slots_.clear();
        other.count_ = 0;
    }
    SeenLines& operator=(SeenLines&&) = delete;
    ~SeenLines() { clear(); }

    // Lets go of every set kept, leaving an empty table.
    void clear() {
        std::vector<Slot> kept;
        kept.swap(slots_);
        count_ = 0;
        for (const Slot& slot : kept) Py_XDECREF(reinterpret_cast<PyObject*>(const_cast<TLEObject*>(slot.tle)));
    }

    // 1 when a set with the same two lines was inserted before (`tle` is not
    // kept), 0 when `tle` is new and now inserted, -1 with an exception set.
    int insert(PyObject* tle) {
        if (!Py_IS_TYPE(tle, bound.tle)) {
            PyErr_SetString(PyExc_TypeError, "the catalogue pass built something other than a TLE");
            return -1;
        }
        const auto* t = reinterpret_cast<const TLEObject*>(tle);
        if (2 * (count_ + 1) > slots_.size()) grow();
        const std::uint64_t hash = lines_hash(t);
        for (size_t i = hash & (slots_.size() - 1);; i = (i + 1) & (slots_.size() - 1)) {
            Slot& slot = slots_[i];
            if (!slot.tle) {
                slot = {hash, t};
                Py_INCREF(tle);
                ++count_;
                return 0;
            }
            if (slot.hash == hash && same_lines(slot.tle, t)) return 1;
        }
    }

private:
    struct Slot {
        std::uint64_t hash;
        const TLEObject* tle;
    };

    void grow() {
        std::vector<Slot> old(slots_.empty() ? 64 : 2 * slots_.size(), Slot{0, nullptr});
        old.swap(slots_);
        for (const Slot& slot : old) {
            if (!slot.tle) continue;
            size_t i = slot.hash & (slots_.size() - 1);
            while (slots_[i].tle) i = (i + 1) & (slots_.size() - 1);
            slots_[i] = slot;
        }
    }

    std::vector<Slot> slots_;
    size_t count_ = 0;
};

struct Group {
    Ref key;      // int, or the str of an alphanumeric number
    Ref members;  // list of TLE, in file order
    std::string name;
    bool named = false;
    SeenLines seen;  // when duplicates are dropped
    // The int64 of the members' epochs, read while each set is still in the
    // cache, so that the collection is ordered without visiting them again.
    std::vector<std::int64_t> epochs;
    bool timed = true;  // every member an exact TLE with a single-epoch Time
};

// The int64 of a TLE's epoch when it is an exact TLE with a single-epoch Time.
bool epoch_int64(PyObject* tle, std::int64_t& out) {
    return Py_IS_TYPE(tle, bound.tle) && tle_epoch_int64(reinterpret_cast<TLEObject*>(tle), out);
}

// What a line of the file is, and whether it passes the screen; found
// without the interpreter lock, acted on with it.
enum class LineKind : unsigned char { blank, name, line1, line2, too_long };

struct Mark {
    const char* s;  // into the chunk (a bytes object the pass holds) or the pass's own joined line
    size_t n;
    LineKind kind;
    bool passes;  // an element line that passes the column screen (with `verify`)
};

// Lines screened in one go without the lock; between two such runs the sets
// are built and signals answered.
constexpr size_t marks_per_run = static_cast<size_t>(signal_block);
// A chunk shorter than this (a few thousand lines) is screened with the lock held.
constexpr Py_ssize_t unlocked_chunk = release_threshold * static_cast<Py_ssize_t>(line_width);

class Pass {
public:
    Pass(const Forms& forms, bool verify, bool group, bool drop)
        : forms_(forms), verify_(verify), group_(group), drop_(group && drop) {}

    [[nodiscard]] bool start() {
        problems_ = Ref::steal(PyList_New(0));
        flagged_ = Ref::steal(PyList_New(0));
        sets_ = Ref::steal(PyList_New(0));
        return problems_ && flagged_ && sets_;
    }

    // The bytes of one chunk (which the caller holds); lines may run across chunks.
    [[nodiscard]] bool feed(const char* p, const char* end) {
        const bool unlock = end - p >= unlocked_chunk;
        while (p < end) {
            {
                ReleaseGil unlocked(unlock);
                p = split(p, end);
            }
            for (const Mark& m : marks_) {
                if (m.kind == LineKind::too_long) return fits(m.n);
                if (!line(m)) return false;
            }
            if (p < end && PyErr_CheckSignals() < 0) return false;
        }
        return true;
    }

    [[nodiscard]] bool finish() {
        if (!carry_.empty()) {
            const Mark m = mark(carry_.data(), carry_.size());
            if (m.kind == LineKind::too_long) return fits(m.n);
            if (!line(m)) return false;
            carry_.clear();
        }
        if (pending_ && !problem(pending_, lone_line1)) return false;
        if (has_name_ && !problem(name_number_, lone_name)) return false;
        pending_ = 0;
        has_name_ = false;
        return true;
    }

    // (sets, problems, flagged, element lines, pairs, dropped duplicates)
    PyObject* result() {
        if (group_) {
            for (Group& g : groups_) {
                Ref name;
                if (g.named) {
                    name = Ref::steal(name_text(g.name));
                    if (!name) return nullptr;
                }
                PyObject* satname = name ? name.get() : Py_None;
                // A satellite with an integer number becomes its ELSET here,
                // each group in turn, so that its list is gone before the next
                // collection's arrays are made; a refused file needs none.
                Ref members = std::move(g.members);
                const Ref list = Ref::borrow(members.get());
                if (PyLong_CheckExact(g.key.get()) && !failed_) {
                    // The group's key is the number every member reads as.
                    members =
                        Ref::steal(new_elset_of(members.get(), satname, g.timed ? &g.epochs : nullptr, g.key.get()));
                    if (!members) return nullptr;
                }
                if (!PyObject_GC_IsTracked(list.get())) PyObject_GC_Track(list.get());
                g.seen.clear();
                g.epochs = {};
                Ref entry = Ref::steal(PyTuple_Pack(3, g.key.get(), satname, members.get()));
                if (!entry || PyList_Append(sets_.get(), entry.get()) < 0) return nullptr;
            }
            groups_.clear();
        }
        return Py_BuildValue("(OOOnnn)", sets_.get(), problems_.get(), flagged_.get(), element_lines_, pairs_,
                             dropped_);
    }

private:
    // False with ValueError when the line being read has grown past any catalogue line.
    [[nodiscard]] bool fits(size_t size) const {
        if (size <= longest_line) return true;
        PyErr_Format(PyExc_ValueError, "line %zd runs past %zu bytes without a line break: not element-set text",
                     number_ + 1, longest_line);
        return false;
    }

    // The mark of one line: reads nothing but its bytes and the forms, so it
    // runs without the lock.
    Mark mark(const char* s, size_t n) const {
        if (n > longest_line) return {s, n, LineKind::too_long, false};
        if (is_element_line(s, n)) {
            const int which = s[0] == '1' ? 0 : 1;
            return {s, n, which ? LineKind::line2 : LineKind::line1, verify_ && passes(forms_, which, s, n)};
        }
        return {s, n, is_blank(s, n) ? LineKind::blank : LineKind::name, false};
    }

    // Splits [p, end) into marks_, up to marks_per_run lines or a line too
    // long; returns where it stopped. A line cut by the chunk's end waits in
    // carry_; the one it completes is copied to joined_, which its mark
    // points into. No Python object is touched.
    const char* split(const char* p, const char* end) {
        marks_.clear();
        const char* next_lf = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        const char* next_cr = static_cast<const char*>(std::memchr(p, '\r', static_cast<size_t>(end - p)));
        while (p < end && marks_.size() < marks_per_run) {
            if (after_cr_) {
                after_cr_ = false;
                if (*p == '\n') {
                    ++p;
                    continue;
                }
            }
            if (next_lf && next_lf < p)
                next_lf = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
            if (next_cr && next_cr < p)
                next_cr = static_cast<const char*>(std::memchr(p, '\r', static_cast<size_t>(end - p)));
            const char* stop = !next_lf ? next_cr : !next_cr ? next_lf : std::min(next_lf, next_cr);
            if (!stop) {
                const size_t size = carry_.size() + static_cast<size_t>(end - p);
                if (size > longest_line) {
                    marks_.push_back({p, size, LineKind::too_long, false});
                } else {
                    carry_.append(p, end);
                }
                return end;
            }
            if (carry_.empty()) {
                marks_.push_back(mark(p, static_cast<size_t>(stop - p)));
            } else {
                carry_.append(p, stop);
                joined_.swap(carry_);
                carry_.clear();
                marks_.push_back(mark(joined_.data(), joined_.size()));
            }
            after_cr_ = *stop == '\r';
            p = stop + 1;
            if (marks_.back().kind == LineKind::too_long) return end;
        }
        return p;
    }

    [[nodiscard]] bool line(const Mark& m) {
        const char* s = m.s;
        const size_t n = m.n;
        ++number_;
        if (m.kind == LineKind::line1 || m.kind == LineKind::line2) {
            ++element_lines_;
            if (m.kind == LineKind::line1) {
                if (pending_ && !problem(pending_, lone_line1)) return false;
                pending_ = number_;
                line1_.assign(s, n);
                line1_passes_ = m.passes;
                return true;
            }
            if (!pending_) return problem(number_, lone_line2);
            if (!pair(s, n, m.passes)) return false;
            pending_ = 0;
            has_name_ = false;
            return true;
        }
        if (m.kind == LineKind::blank) return true;
        if (pending_) {
            if (!problem(pending_, lone_line1)) return false;
            pending_ = 0;
        }
        name_.assign(s, n);
        has_name_ = true;
        name_number_ = number_;
        return true;
    }

    [[nodiscard]] bool problem(Py_ssize_t at, Structure what) {
        if (!verify_) return true;
        failed_ = true;
        Ref entry = Ref::steal(Py_BuildValue("(nl)", at, static_cast<long>(what)));
        return entry && PyList_Append(problems_.get(), entry.get()) == 0;
    }

    [[nodiscard]] bool pair(const char* s2, size_t n2, bool passes2) {
        ++pairs_;
        if (verify_) {
            const char* s1 = line1_.data();
            const size_t n1 = line1_.size();
            if (!line1_passes_ || !passes2 || std::memcmp(s1 + 2, s2 + 2, 5) != 0) {
                failed_ = true;
                Ref entry = Ref::steal(Py_BuildValue("(ny#ny#)", pending_, s1, static_cast<Py_ssize_t>(n1), number_, s2,
                                                     static_cast<Py_ssize_t>(n2)));
                return entry && PyList_Append(flagged_.get(), entry.get()) == 0;
            }
        }
        if (failed_) return true;  // the file is refused: nothing more to build
        // A screened pair is ASCII in the columns TLE keeps.
        Ref tle =
            Ref::steal(verify_ ? new_tle_from_ascii(line1_.data(), line1_.size(), s2, n2) : new_tle(line1_, s2, n2));
        if (!tle) return false;
        return group_ ? add_to_group(tle) : add_to_list(tle);
    }

    // A name line's text: decoded, stripped, without a leading "0 "; nullptr
    // with an exception set. An empty result is None.
    static PyObject* name_text(const std::string& raw) {
        Ref text = Ref::steal(decode_text(raw.data(), raw.size()));
        if (!text) return nullptr;
        Ref stripped = Ref::steal(PyObject_CallMethodNoArgs(text.get(), bound.names.strip));
        if (!stripped) return nullptr;
        if (PyUnicode_GET_LENGTH(stripped.get()) >= 2 && PyUnicode_READ_CHAR(stripped.get(), 0) == '0' &&
            PyUnicode_READ_CHAR(stripped.get(), 1) == ' ') {
            Ref rest = Ref::steal(PyUnicode_Substring(stripped.get(), 2, PyUnicode_GET_LENGTH(stripped.get())));
            if (!rest) return nullptr;
            stripped = Ref::steal(PyObject_CallMethodNoArgs(rest.get(), bound.names.strip));
            if (!stripped) return nullptr;
        }
        if (PyUnicode_GET_LENGTH(stripped.get()) == 0) return Py_NewRef(Py_None);
        return stripped.release();
    }

    [[nodiscard]] bool add_to_list(const Ref& tle) {
        PyObject* name = Py_None;
        if (has_name_) {
            // Consecutive sets of one satellite usually share a name: one str.
            if (!last_name_ || name_ != last_raw_) {
                last_name_ = Ref::steal(name_text(name_));
                if (!last_name_) return false;
                last_raw_ = name_;
            }
            name = last_name_.get();
        }
        Ref entry = Ref::steal(PyTuple_Pack(2, name, tle.get()));
        return entry && PyList_Append(sets_.get(), entry.get()) == 0;
    }

    [[nodiscard]] bool add_to_group(const Ref& tle) {
        bool is_number = false;
        long number = 0;
        std::string text;
        if (!satellite_number(tle.get(), is_number, number, text)) return false;
        size_t index;
        if (is_number && have_last_ && number == last_number_) {
            index = last_group_;
        } else {
            const size_t next = groups_.size();
            bool fresh;
            if (is_number) {
                auto [where, inserted] = by_number_.try_emplace(number, next);
                index = where->second;
                fresh = inserted;
            } else {
                auto [where, inserted] = by_text_.try_emplace(text, next);
                index = where->second;
                fresh = inserted;
            }
            if (fresh) {
                Group g;
                g.key = Ref::steal(
                    is_number ? PyLong_FromLong(number)
                              : PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
                g.members = Ref::steal(PyList_New(0));
                if (!g.key || !g.members) return false;
                // Out of the collector's sight until its collection is built:
                // read() and gc callbacks run Python code during the pass, and
                // a list handed out by gc.get_objects() could be emptied or
                // filled with other objects under the collection built from it.
                PyObject_GC_UnTrack(g.members.get());
                groups_.push_back(std::move(g));
            }
            have_last_ = is_number;
            last_number_ = number;
            last_group_ = index;
        }
        Group& g = groups_[index];
        if (has_name_ && !is_blank(name_.data(), name_.size())) {
            g.name = name_;
            g.named = true;
        }
        if (drop_) {
            const int seen = g.seen.insert(tle.get());
            if (seen < 0) return false;
            if (seen) {
                ++dropped_;  // the same two lines as a set already kept
                return true;
            }
        }
        if (g.timed) {
            std::int64_t ns;
            if (epoch_int64(tle.get(), ns)) {
                g.epochs.push_back(ns);
            } else {
                g.timed = false;
                g.epochs = {};
            }
        }
        return PyList_Append(g.members.get(), tle.get()) == 0;
    }

    const Forms& forms_;
    const bool verify_;
    const bool group_;
    const bool drop_;
    bool failed_ = false;
    bool after_cr_ = false;
    std::string carry_;
    std::string joined_;
    std::vector<Mark> marks_;
    Py_ssize_t number_ = 0;  // of the line being read, from 1
    Py_ssize_t element_lines_ = 0;
    Py_ssize_t pairs_ = 0;
    Py_ssize_t dropped_ = 0;
    Py_ssize_t pending_ = 0;  // line number of a line 1 waiting for its line 2
    std::string line1_;
    bool line1_passes_ = false;
    bool has_name_ = false;
    Py_ssize_t name_number_ = 0;
    std::string name_;
    std::string last_raw_;
    Ref last_name_;
    Ref problems_;  // [(line number, Structure)]
    Ref flagged_;   // [(line number, line 1 bytes, line number, line 2 bytes)]
    Ref sets_;      // [(name, TLE)], or at the end [(key, name, [TLE])]
    std::vector<Group> groups_;
    std::unordered_map<long, size_t> by_number_;
    std::unordered_map<std::string, size_t> by_text_;
    bool have_last_ = false;
    long last_number_ = 0;
    size_t last_group_ = 0;
};

bool read_forms(PyObject* masks, Forms& forms) {
    if (!PyTuple_CheckExact(masks) || PyTuple_GET_SIZE(masks) != 2) {
        PyErr_SetString(PyExc_TypeError, "masks must be a tuple of two bytes objects of 69 bytes");
        return false;
    }
    for (int i = 0; i < 2; ++i) {
        PyObject* mask = PyTuple_GET_ITEM(masks, i);
        if (!PyBytes_CheckExact(mask) || PyBytes_GET_SIZE(mask) != static_cast<Py_ssize_t>(line_width)) {
            PyErr_SetString(PyExc_TypeError, "masks must be a tuple of two bytes objects of 69 bytes");
            return false;
        }
        const char* form = PyBytes_AS_STRING(mask);
        for (size_t k = 0; k < line_width; ++k)
            forms.accept[i][k] = form[k] == 'D'   ? digit
                                 : form[k] == 'S' ? digit | blank
                                 : form[k] == '.' ? point
                                                  : digit | blank | point | other;
    }
#if defined(__SSE2__)
    prepare_blocks(forms);
#endif
    return true;
}

bool flag(PyObject* value, bool& out) {
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) return false;
    out = truth != 0;
    return true;
}

constexpr const char* scan_names[] = {"read", "masks", "verify", "group", "drop_duplicates"};
constexpr Signature scan_signature{"_scan_catalog", scan_names, 5, 5, 5};

PyObject* scan(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[5];
    if (!bind_fastcall(scan_signature, args, nargs, kwnames, a)) return nullptr;
    PyObject* read = a[0];
    Forms forms;
    bool verify = false, group = false, drop = false;
    if (!read_forms(a[1], forms) || !flag(a[2], verify) || !flag(a[3], group) || !flag(a[4], drop)) return nullptr;
    Pass pass(forms, verify, group, drop);
    if (!pass.start()) return nullptr;
    for (;;) {
        Ref chunk = Ref::steal(PyObject_CallNoArgs(read));
        if (!chunk) return nullptr;
        if (!PyBytes_Check(chunk.get())) {
            PyErr_Format(PyExc_TypeError, "read() returned %.200s, not bytes", Py_TYPE(chunk.get())->tp_name);
            return nullptr;
        }
        const Py_ssize_t size = PyBytes_GET_SIZE(chunk.get());
        if (size == 0) break;
        const char* data = PyBytes_AS_STRING(chunk.get());
        if (!pass.feed(data, data + size)) return nullptr;
        if (PyErr_CheckSignals() < 0) return nullptr;
    }
    if (!pass.finish()) return nullptr;
    return pass.result();
}

PyObject* scan_catalog(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    try {
        return scan(args, nargs, kwnames);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyMethodDef catalog_functions[] = {
    {"_scan_catalog", VELMAR_FASTCALL(scan_catalog),
     "_scan_catalog(read, masks, verify, group, drop_duplicates)\n--\n\n"
     "The catalogue reader's native pass (velmar.io uses it; not an API). Calls read() for bytes until it\n"
     "returns b'' and returns (sets, problems, flagged, element_lines, pairs, dropped): sets are\n"
     "(name, TLE) in file order, or with `group` (satno, name, ELSET) per satellite in order of first\n"
     "appearance ([TLE] in file order for an alphanumeric satno, and for every satellite of a file with\n"
     "problems or flagged pairs); problems are (line number, code) of the file's structure; flagged are\n"
     "(line number, line 1, line number, line 2) of the pairs the column screen refuses (with `verify`)."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

bool add_catalog_functions(PyObject* module) { return PyModule_AddFunctions(module, catalog_functions) == 0; }

}  // namespace velmar::tle_module

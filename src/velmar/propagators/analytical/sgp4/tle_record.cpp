// TLE: one two-line element set, read by fixed columns into buffers inside
// the object, with its epoch as a Time, its mean elements in SI units, the
// elements derived from them, and its printed form.
#include <algorithm>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <locale.h>

#include "velmar/_native/args.hpp"
#include "velmar/_native/types.hpp"
#include "velmar/mathtools/angles.hpp"
#include "velmar/propagators/analytical/sgp4/tle_module.hpp"

namespace velmar::tle_module {
namespace {

constexpr Py_ssize_t line_width = 69;

// --- reading numbers the way atoi and atof do in the classic locale ---------
//
// The C library's atof follows the process locale, so a host that has set a
// decimal comma would read "51.6416" as 51. Every field is therefore read
// against the "C" locale, and only from its own columns (copied into a
// terminated scratch buffer, so no conversion can run into the next field).

bool is_c_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

int read_int(const char* s) {
    while (is_c_space(*s)) ++s;
    bool negative = false;
    if (*s == '+' || *s == '-') negative = (*s++ == '-');
    int value = 0;
    while (is_digit(*s)) value = value * 10 + (*s++ - '0');  // two columns: cannot overflow
    return negative ? -value : value;
}

locale_t classic_locale() {
    static const locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return c;
}

constexpr double powers_of_ten[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                    1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};

// A plain decimal: blanks, a sign, digits with at most one point among them
// and nothing after them that strtod would read on (an exponent, hexadecimal).
struct Decimal {
    bool negative;
    std::uint64_t mantissa;  // the digits, point left out
    int decimals;            // digits after the point
};

// Such a decimal of 1 to 15 digits (every well-formed field); false for
// anything else: exponents, hexadecimal, inf, nan, no digits, more digits.
bool read_decimal(const char* field, Decimal& out) {
    const char* s = field;
    while (is_c_space(*s)) ++s;
    out.negative = false;
    if (*s == '+' || *s == '-') out.negative = (*s++ == '-');
    std::uint64_t mantissa = 0;
    int digits = 0, decimals = 0;
    for (; is_digit(*s); ++s, ++digits) mantissa = mantissa * 10 + static_cast<unsigned>(*s - '0');
    if (*s == '.') {
        for (++s; is_digit(*s); ++s, ++digits, ++decimals) mantissa = mantissa * 10 + static_cast<unsigned>(*s - '0');
    }
    const char next = *s;
    if (digits == 0 || digits > 15 || next == 'e' || next == 'E' || next == 'x' || next == 'X') return false;
    out.mantissa = mantissa;
    out.decimals = decimals;
    return true;
}

double parse_double(const char* field) {
    // Plain decimals of at most 15 digits are exact integers over an exact
    // power of ten, so one division gives the correctly rounded value, which
    // is what strtod returns. Anything else goes to strtod itself.
    Decimal d;
    if (!read_decimal(field, d)) {
        locale_t c = classic_locale();
        return c ? strtod_l(field, nullptr, c) : std::strtod(field, nullptr);
    }
    const double value = static_cast<double>(d.mantissa) / powers_of_ten[d.decimals];
    return d.negative ? -value : value;
}

// Columns `first` to `first + width - 1` (zero-based offset `first`).
template <size_t N> void copy_field(char (&scratch)[N], const char* line, int first, int width) {
    static_assert(N >= 13);
    std::memcpy(scratch, line + first, static_cast<size_t>(width));
    scratch[width] = '\0';
}

double field_double(const char* line, int first, int width) {
    char scratch[16];
    copy_field(scratch, line, first, width);
    return parse_double(scratch);
}

// --- storing a line ----------------------------------------------------------

// After the first `kept` bytes of a line: blanks to column 69, and zeros
// after an embedded NUL, as strncpy leaves it.
void pad_line(char (&out)[70], Py_ssize_t kept) {
    std::memset(out + kept, ' ', static_cast<size_t>(line_width - kept));
    if (void* nul = std::memchr(out, '\0', line_width))
        std::memset(nul, '\0', static_cast<size_t>(out + line_width - static_cast<char*>(nul)));
    out[line_width] = '\0';
}

// The line padded with blanks or cut to 69 characters, as bytes, into `out`
// (zero-filled after an embedded NUL, as strncpy leaves it).
bool store_line(PyObject* text, char (&out)[70], int which) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    const Py_ssize_t kept = length < line_width ? length : line_width;
    if (PyUnicode_IS_ASCII(text)) {
        std::memcpy(out, PyUnicode_1BYTE_DATA(text), static_cast<size_t>(kept));
    } else {
        // The format counts columns in bytes: a multi-byte character would
        // shift every later field, so such a line is refused here.
        const int kind = PyUnicode_KIND(text);
        const void* data = PyUnicode_DATA(text);
        for (Py_ssize_t i = 0; i < kept; ++i) {
            const Py_UCS4 c = PyUnicode_READ(kind, data, i);
            if (c < 128) {
                out[i] = static_cast<char>(c);
                continue;
            }
            if (c >= 0xD800 && c <= 0xDFFF) {
                // A lone surrogate cannot be encoded at all: let the codec say so.
                Ref head = Ref::steal(PyUnicode_Substring(text, 0, kept));
                if (head) Ref::steal(PyUnicode_AsUTF8String(head.get())).reset();
                if (!PyErr_Occurred()) PyErr_SetString(PyExc_UnicodeError, velmar::msg::unencodable_line);
                return false;
            }
            Ref character = Ref::steal(PyUnicode_Substring(text, i, i + 1));
            if (character)
                PyErr_Format(PyExc_ValueError,
                             "line %d of the TLE has a non-ASCII character %R at column %zd; two-line element "
                             "sets are ASCII text, read by byte columns",
                             which, character.get(), i + 1);
            return false;
        }
    }
    pad_line(out, kept);
    return true;
}

// --- the native operations -------------------------------------------------

// Time(year text).jd - 1.0: the Julian date of day 0 of the year, as a
// borrowed reference (nullptr with an exception set). It depends on the year
// alone and Time is immutable, so each year's value is built once and kept:
// rebuilding it was a third of the cost of a record. A two-digit field gives
// -9 to 99, so the pivot reaches the years 1957 to 2056 and no others.
constexpr int first_year = 1957;
PyObject* day_zero_cache[100];

PyObject* day_zero_of(int year) {
    PyObject*& day_zero = day_zero_cache[year - first_year];
    if (day_zero) return day_zero;
    Ref year_text = Ref::steal(PyUnicode_FromFormat("%d", year));
    if (!year_text) return nullptr;
    PyObject* one_arg[] = {year_text.get()};
    Ref year_start = Ref::steal(PyObject_Vectorcall(reinterpret_cast<PyObject*>(bound.time), one_arg, 1, nullptr));
    if (!year_start) return nullptr;
    Ref jd = Ref::steal(PyObject_GetAttr(year_start.get(), bound.names.jd));
    if (!jd) return nullptr;
    day_zero = PyNumber_Subtract(jd.get(), bound.one);  // held for the life of the process
    return day_zero;
}

int parse_line1(TLEObject* self) {
    std::memcpy(self->satno_text, self->line1 + 2, 5);
    self->satno_text[5] = '\0';

    char scratch[16];
    copy_field(scratch, self->line1, 18, 2);
    const int yy = read_int(scratch);
    const int year = yy < 57 ? 2000 + yy : 1900 + yy;
    char day_field[16];
    copy_field(day_field, self->line1, 20, 12);

    // The epoch is Time(Time(year).jd - 1.0 + day, format='jd'): the exact
    // Julian date keeps the whole day and its fraction apart through `- 1.0`
    // and `+ day`, which a single float64 near 2.45e6 could not (it resolves
    // only about 40 microseconds). Time evaluates it natively whenever it
    // stays exact; the expression itself is left for the other days.
    std::int64_t tai = 0;
    Decimal decimal;
    const int exact = read_decimal(day_field, decimal)
                          ? bound.epoch_of_year_day(year, decimal.negative, decimal.mantissa, decimal.decimals, &tai)
                          : 0;
    if (exact < 0) return -1;
    if (exact) {
        self->epoch_ns = tai;  // the Time itself is made when first asked for
        Py_CLEAR(self->epoch);
        return 0;
    }
    PyObject* day_zero = day_zero_of(year);
    if (!day_zero) return -1;
    Ref day_value = Ref::steal(PyFloat_FromDouble(parse_double(day_field)));
    if (!day_value) return -1;
    Ref epoch_jd = Ref::steal(PyNumber_Add(day_zero, day_value.get()));
    if (!epoch_jd) return -1;
    PyObject* jd_args[] = {epoch_jd.get(), bound.names.jd};
    Ref epoch = Ref::steal(PyObject_Vectorcall(reinterpret_cast<PyObject*>(bound.time), jd_args, 1, bound.jd_keywords));
    if (!epoch) return -1;
    PyObject* previous = self->epoch;
    self->epoch = epoch.release();
    Py_XDECREF(previous);
    return 0;
}

int parse_line2(TLEObject* self) {
    const char* line = self->line2;
    self->inc = field_double(line, 8, 8) * bound.deg;
    self->raa = field_double(line, 17, 8) * bound.deg;
    char scratch[16] = ".";
    std::memcpy(scratch + 1, line + 26, 7);  // the eccentricity's decimal point is implied
    scratch[8] = '\0';
    self->ecc = parse_double(scratch);
    self->arp = field_double(line, 34, 8) * bound.deg;
    self->mea = field_double(line, 43, 8) * bound.deg;
    self->mnm = field_double(line, 52, 11) * bound.rev / bound.day;
    return 0;
}

const TLETable tle_table = {parse_line1, parse_line2};

// Earth.GM and Earth.Re are read for each set: they are class attributes of
// the bodies module and belong to it (a user may set them).
bool earth_constant(PyObject* name, double& out) {
    Ref value = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(bound.earth), name));
    if (!value) return false;
    return read_double(value.get(), out);
}

// The two constants as last read, while Earth's attribute version stands:
// the interpreter gives a class a new version tag whenever it or a base is
// changed, and until then a float in its dictionary is what the attribute
// reads as (its metaclass being `type`, nothing else can intervene).
struct EarthConstants {
    unsigned int version = 0;  // 0: nothing kept
    double gm = 0.0, re = 0.0;
};
EarthConstants earth_kept;

bool earth_unchanged() {
    const PyTypeObject* earth = bound.earth;
    return earth_kept.version != 0 && (earth->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) &&
           earth->tp_version_tag == earth_kept.version;
}

void keep_earth_constants(double gm, double re) {
    PyTypeObject* earth = bound.earth;
    earth_kept.version = 0;
    if (!Py_IS_TYPE(earth, &PyType_Type)) return;
    PyObject* gm_value = _PyType_Lookup(earth, bound.names.GM);  // borrowed
    PyObject* re_value = _PyType_Lookup(earth, bound.names.Re);
    if (!(earth->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) || !gm_value || !re_value || !PyFloat_CheckExact(gm_value) ||
        !PyFloat_CheckExact(re_value) || PyFloat_AS_DOUBLE(gm_value) != gm || PyFloat_AS_DOUBLE(re_value) != re)
        return;
    earth_kept = {earth->tp_version_tag, gm, re};
}

bool derive_elements(TLEObject* self) {
    const bool kept = earth_unchanged();
    double gm = earth_kept.gm, re = earth_kept.re;
    if (!kept && !earth_constant(bound.names.GM, gm)) return false;
    self->sma = std::cbrt((gm / self->mnm) / self->mnm);
    self->orp = std::sqrt(self->sma / gm) * (self->sma * two_pi);
    const double eca = bound.kepler.eca_from_mea(self->mea, self->ecc);
    if (coe::failed(eca, "c_eca_from_mea")) return false;
    self->eca = eca;
    const double tra = coe::c_tra_from_eca(bound.kepler, self->eca, self->ecc);
    if (tra == -1.0 && PyErr_Occurred()) return false;
    self->tra = tra;
    if (!kept && !earth_constant(bound.names.Re, re)) return false;
    self->pge = (1.0 - self->ecc) * self->sma - re;
    self->apg = (self->ecc + 1.0) * self->sma - re;
    if (!kept) keep_earth_constants(gm, re);
    return true;
}

// --- construction ------------------------------------------------------------

// Everything TLE reads from its two stored lines.
PyObject* read_lines(Ref object) {
    auto* self = reinterpret_cast<TLEObject*>(object.get());
    if (self->table->parse_line1(self) < 0 || PyErr_Occurred()) return nullptr;
    if (self->table->parse_line2(self) < 0 || PyErr_Occurred()) return nullptr;
    if (!derive_elements(self)) return nullptr;
    return object.release();
}

PyObject* construct(PyTypeObject* type, PyObject* line1, PyObject* line2, PyObject* strict_validation) {
    // None is refused here too: nothing after this point can read it.
    if (!require_exact_str(line1, "line1", false) || !require_exact_str(line2, "line2", false)) return nullptr;
    if (strict_validation && PyObject_IsTrue(strict_validation) < 0) return nullptr;  // no other effect
    Ref object = Ref::steal(type->tp_alloc(type, 0));
    if (!object) return nullptr;
    auto* self = reinterpret_cast<TLEObject*>(object.get());
    self->table = &tle_table;
    self->epoch = Py_NewRef(Py_None);
    if (!store_line(line1, self->line1, 1) || !store_line(line2, self->line2, 2)) return nullptr;
    return read_lines(std::move(object));
}

constexpr const char* init_names[] = {"line1", "line2", "strict_validation"};
constexpr Signature init_signature{"__init__", init_names, 3, 2, 3};

PyObject* tle_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* a[3];
    if (!bind_tuple(init_signature, args, kwargs, a)) return nullptr;
    return construct(type, a[0], a[1], a[2]);
}

// TLE(line1, line2) without building an argument tuple: most of the cost of a
// record is in its two Time constructions, and the tuple would add to it.
// Installed only while __init__ is object's, which has nothing to do.
PyObject* tle_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* t = reinterpret_cast<PyTypeObject*>(type);
    PyObject* a[3];
    if (!bind_fastcall(init_signature, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    return construct(t, a[0], a[1], a[2]);
}

int tle_traverse(PyObject* object, visitproc visit, void* arg) {
    auto* self = reinterpret_cast<TLEObject*>(object);
    Py_VISIT(Py_TYPE(object));
    Py_VISIT(self->base.dict);
    Py_VISIT(self->epoch);
    return 0;
}

int tle_clear(PyObject* object) {
    Py_CLEAR(reinterpret_cast<TLEObject*>(object)->base.dict);
    return 0;
}

void tle_dealloc(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    PyObject_GC_UnTrack(object);
    auto* self = reinterpret_cast<TLEObject*>(object);
    Py_CLEAR(self->base.dict);
    Py_CLEAR(self->epoch);
    type->tp_free(object);
    Py_DECREF(type);
}

// --- attributes ---------------------------------------------------------------

PyObject* get_line1(PyObject* object, void*) {
    return PyUnicode_DecodeUTF8(reinterpret_cast<TLEObject*>(object)->line1, line_width, nullptr);
}

PyObject* get_line2(PyObject* object, void*) {
    return PyUnicode_DecodeUTF8(reinterpret_cast<TLEObject*>(object)->line2, line_width, nullptr);
}

PyObject* get_satno(PyObject* object, void*) {
    const char* text = reinterpret_cast<TLEObject*>(object)->satno_text;
    Ref raw = Ref::steal(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(strnlen(text, 5)), nullptr));
    if (!raw) return nullptr;
    Ref stripped = Ref::steal(PyObject_CallMethodNoArgs(raw.get(), bound.names.strip));
    if (!stripped) return nullptr;
    PyObject* number = PyNumber_Long(stripped.get());
    if (number || !PyErr_ExceptionMatches(PyExc_ValueError)) return number;
    PyErr_Clear();  // a catalogue number with letters (Alpha-5) stays text
    return stripped.release();
}

PyObject* get_epoch(PyObject* object, void*) {
    PyObject* epoch = tle_epoch(reinterpret_cast<TLEObject*>(object));
    return epoch ? Py_NewRef(epoch) : nullptr;
}

PyGetSetDef tle_getset[] = {
    {"epoch", get_epoch, nullptr, "TLE.epoch: Time\n\nEpoch of the elements.", nullptr},
    {"line1", get_line1, nullptr, "TLE.line1: str\n\nLine 1 as stored: 69 characters.", nullptr},
    {"line2", get_line2, nullptr, "TLE.line2: str\n\nLine 2 as stored: 69 characters.", nullptr},
    {"satno", get_satno, nullptr,
     "TLE.satno: int | str\n\nSatellite catalogue number (columns 3-7 of line 1): an int, or the stripped text "
     "when it is not a number.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

#define VELMAR_TLE_DOUBLE(field, doc) {#field, T_DOUBLE, offsetof(TLEObject, field), READONLY, doc}

PyMemberDef tle_members[] = {VELMAR_TLE_DOUBLE(inc, "TLE.inc: float\n\nInclination, rad."),
                             VELMAR_TLE_DOUBLE(raa, "TLE.raa: float\n\nRight ascension of the ascending node, rad."),
                             VELMAR_TLE_DOUBLE(ecc, "TLE.ecc: float\n\nEccentricity, dimensionless."),
                             VELMAR_TLE_DOUBLE(mea, "TLE.mea: float\n\nMean anomaly at epoch, rad."),
                             VELMAR_TLE_DOUBLE(arp, "TLE.arp: float\n\nArgument of perigee, rad."),
                             VELMAR_TLE_DOUBLE(mnm, "TLE.mnm: float\n\nMean motion, rad/s."),
                             VELMAR_TLE_DOUBLE(sma, "TLE.sma: float\n\nSemi-major axis, m."),
                             VELMAR_TLE_DOUBLE(orp, "TLE.orp: float\n\nOrbital period, s."),
                             VELMAR_TLE_DOUBLE(eca, "TLE.eca: float\n\nEccentric anomaly at epoch, rad."),
                             VELMAR_TLE_DOUBLE(tra, "TLE.tra: float\n\nTrue anomaly at epoch, rad."),
                             VELMAR_TLE_DOUBLE(pge, "TLE.pge: float\n\nPerigee altitude above Earth.Re, m."),
                             VELMAR_TLE_DOUBLE(apg, "TLE.apg: float\n\nApogee altitude above Earth.Re, m."),
                             {"__dictoffset__", T_PYSSIZET, offsetof(RepresentableObject, dict), READONLY, nullptr},
                             {nullptr, 0, 0, 0, nullptr}};

#undef VELMAR_TLE_DOUBLE

// --- printed form -------------------------------------------------------------

PyObject* get_header(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!bind_none("_get_header", nargs, kwnames)) return nullptr;
    return PyUnicode_FromString("Two-line Elements (TLE)");
}

// format(value, ".Nf") followed by the unit label.
PyObject* fixed(double value, int decimals, const char* unit) {
    char* digits = PyOS_double_to_string(value, 'f', decimals, 0, nullptr);
    if (!digits) return nullptr;
    PyObject* text = PyUnicode_FromFormat("%s%s", digits, unit);
    PyMem_Free(digits);
    return text;
}

struct Row {
    const char* label;
    double si;
    double operational;
    int decimals;
    const char* si_unit;
    const char* operational_unit;
};

// {"SI units": {label: text, ...}, "Op. units": {label: text, ...}}
PyObject* element_table(const Row* rows, size_t count) {
    Ref si = Ref::steal(PyDict_New());
    Ref op = Ref::steal(PyDict_New());
    if (!si || !op) return nullptr;
    for (size_t i = 0; i < count; ++i) {
        const Row& r = rows[i];
        Ref a = Ref::steal(fixed(r.si, r.decimals, r.si_unit));
        if (!a || PyDict_SetItemString(si.get(), r.label, a.get()) < 0) return nullptr;
        Ref b = Ref::steal(fixed(r.operational, r.decimals, r.operational_unit));
        if (!b || PyDict_SetItemString(op.get(), r.label, b.get()) < 0) return nullptr;
    }
    Ref table = Ref::steal(PyDict_New());
    if (!table || PyDict_SetItemString(table.get(), "SI units", si.get()) < 0 ||
        PyDict_SetItemString(table.get(), "Op. units", op.get()) < 0)
        return nullptr;
    return table.release();
}

// format(piece, "") for anything that is not already a str.
bool append_text(PyObject* pieces, PyObject* piece) {
    if (!piece) return false;
    Ref text = Ref::steal(PyUnicode_CheckExact(piece) ? Py_NewRef(piece) : PyObject_Format(piece, nullptr));
    return text && PyList_Append(pieces, text.get()) == 0;
}

bool append_literal(PyObject* pieces, const char* literal) {
    Ref text = Ref::steal(PyUnicode_FromString(literal));
    return text && PyList_Append(pieces, text.get()) == 0;
}

PyObject* get_body(PyObject* object, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!bind_none("_get_body", nargs, kwnames)) return nullptr;
    auto* self = reinterpret_cast<TLEObject*>(object);
    const Names& n = bound.names;

    PyObject* epoch = tle_epoch(self);
    if (!epoch) return nullptr;
    Ref utc = Ref::steal(PyObject_GetAttr(epoch, n.utc));
    if (!utc) return nullptr;
    Ref epoch_text = Ref::steal(PyObject_CallMethodNoArgs(utc.get(), n.repr));
    if (!epoch_text) return nullptr;
    Ref frame_name = Ref::steal(PyObject_GetAttr(bound.teme, n.name));
    if (!frame_name) return nullptr;
    Ref form_data = Ref::steal(PyDict_New());
    if (!form_data || PyDict_SetItemString(form_data.get(), "epoch", epoch_text.get()) < 0 ||
        PyDict_SetItemString(form_data.get(), "frame", frame_name.get()) < 0)
        return nullptr;
    Ref form = Ref::steal(PyObject_CallMethodOneArg(object, n.create_formatted_form, form_data.get()));
    if (!form) return nullptr;

    const double deg = bound.deg, km = bound.km;
    const Row orbital[] = {
        {"ecc", self->ecc, self->ecc, 5, "", ""},
        {"sma", self->sma, self->sma / km, 3, " m", " km"},
        {"inc", self->inc, self->inc / deg, 3, " rad", " deg"},
        {"raa", self->raa, self->raa / deg, 3, " rad", " deg"},
        {"arp", self->arp, self->arp / deg, 3, " rad", " deg"},
        {"tra", self->tra, self->tra / deg, 3, " rad", " deg"},
    };
    Ref data_coe = Ref::steal(element_table(orbital, std::size(orbital)));
    if (!data_coe) return nullptr;
    Ref frame_coe = Ref::steal(PyObject_CallMethodOneArg(object, n.create_formatted_frame, data_coe.get()));
    if (!frame_coe) return nullptr;

    const double rev_per_day = bound.rev / bound.day;
    const Row derived[] = {
        {"orp", self->orp, self->orp / bound.hour, 3, " s", " hour"},
        {"mnm", self->mnm, self->mnm / rev_per_day, 3, " rad/s", " rev/day"},
        {"mea", self->mea, self->mea / deg, 3, " rad", " deg"},
        {"eca", self->eca, self->eca / deg, 3, " rad", " deg"},
        {"pge", self->pge, self->pge / km, 3, " m", " km"},
        {"apg", self->apg, self->apg / km, 3, " m", " km"},
    };
    Ref data_der = Ref::steal(element_table(derived, std::size(derived)));
    if (!data_der) return nullptr;
    Ref frame_der = Ref::steal(PyObject_CallMethodOneArg(object, n.create_formatted_frame, data_der.get()));
    if (!frame_der) return nullptr;

    Ref pieces = Ref::steal(PyList_New(0));
    if (!pieces) return nullptr;
    PyObject* list = pieces.get();
    Ref orbital_title = Ref::steal(PyUnicode_FromString("Orbital Elements:"));
    Ref derived_title = Ref::steal(PyUnicode_FromString("Derived Elements:"));
    if (!orbital_title || !derived_title) return nullptr;
    if (!append_text(list, Ref::steal(PyObject_GetAttr(object, n.line1)).get()) || !append_literal(list, "\n") ||
        !append_text(list, Ref::steal(PyObject_GetAttr(object, n.line2)).get()) ||
        !append_literal(list, "\n{fence}\n") || !append_text(list, form.get()) ||
        !append_literal(list, "\n{fence}\n") ||
        !append_text(list,
                     Ref::steal(PyObject_CallMethodOneArg(object, n.format_as_property, orbital_title.get())).get()) ||
        !append_literal(list, "\n") || !append_text(list, frame_coe.get()) || !append_literal(list, "\n{fence}\n") ||
        !append_text(list,
                     Ref::steal(PyObject_CallMethodOneArg(object, n.format_as_property, derived_title.get())).get()) ||
        !append_literal(list, "\n") || !append_text(list, frame_der.get()))
        return nullptr;
    Ref empty = Ref::steal(PyUnicode_FromString(""));
    if (!empty) return nullptr;
    return PyUnicode_Join(empty.get(), list);
}

PyMethodDef tle_methods[] = {
    {"_get_header", VELMAR_FASTCALL(get_header),
     "_get_header($self, /)\n--\n\nHeader of the printed form: \"Two-line Elements (TLE)\"."},
    {"_get_body", VELMAR_FASTCALL(get_body),
     "_get_body($self, /)\n--\n\nBody of the printed form: the two lines, the epoch and frame, then the orbital "
     "and derived elements in SI and operational units."},
    VELMAR_REFUSE_PICKLING,
    {nullptr, nullptr, 0, nullptr}};

constexpr const char tle_doc[] =
    "TLE(line1, line2, strict_validation=False)\n--\n\n"
    "One two-line element set of an Earth satellite, read by fixed columns.\n"
    "\n"
    "The lines are kept verbatim (padded with blanks or cut to 69 characters) and\n"
    "nothing is validated: checksums, line numbers and the satellite number of\n"
    "line 2 are not read, and a field that holds no number reads as 0.\n"
    "strict_validation is accepted for compatibility and has no effect.\n"
    "\n"
    "The epoch is a Time, exact to the microsecond; the elements are in SI units\n"
    "(rad, m, s, rad/s). Lines with non-ASCII characters are refused with\n"
    "ValueError, since the format's columns are byte positions.";

PyType_Slot tle_slots[] = {{Py_tp_doc, const_cast<char*>(tle_doc)},
                           {Py_tp_new, reinterpret_cast<void*>(tle_new)},
                           {Py_tp_dealloc, reinterpret_cast<void*>(tle_dealloc)},
                           {Py_tp_traverse, reinterpret_cast<void*>(tle_traverse)},
                           {Py_tp_clear, reinterpret_cast<void*>(tle_clear)},
                           {Py_tp_members, tle_members},
                           {Py_tp_getset, tle_getset},
                           {Py_tp_methods, tle_methods},
                           {0, nullptr}};

PyType_Spec tle_spec = {"velmar.propagators.analytical.sgp4.tle.TLE", sizeof(TLEObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
                        tle_slots};

}  // namespace

PyObject* tle_epoch(TLEObject* tle) {
    if (!tle->epoch) tle->epoch = bound.time_of_ns(tle->epoch_ns, static_cast<int>(time::Scale::utc));
    return tle->epoch;
}

bool tle_epoch_int64(const TLEObject* tle, std::int64_t& out) {
    if (!tle->epoch) {
        out = tle->epoch_ns;
        return true;
    }
    if (!Py_IS_TYPE(tle->epoch, bound.time)) return false;
    const auto* t = reinterpret_cast<const time::TimeObject*>(tle->epoch);
    if (t->epochs) return false;
    out = t->ns;
    return true;
}

PyObject* new_tle_from_ascii(const char* line1, size_t size1, const char* line2, size_t size2) {
    PyTypeObject* type = bound.tle;
    Ref object = Ref::steal(type->tp_alloc(type, 0));
    if (!object) return nullptr;
    auto* self = reinterpret_cast<TLEObject*>(object.get());
    self->table = &tle_table;
    self->epoch = Py_NewRef(Py_None);
    const auto kept1 = static_cast<Py_ssize_t>(std::min<size_t>(size1, line_width));
    const auto kept2 = static_cast<Py_ssize_t>(std::min<size_t>(size2, line_width));
    std::memcpy(self->line1, line1, static_cast<size_t>(kept1));
    pad_line(self->line1, kept1);
    std::memcpy(self->line2, line2, static_cast<size_t>(kept2));
    pad_line(self->line2, kept2);
    return read_lines(std::move(object));
}

bool add_tle_type(PyObject* module, PyObject* representable) {
    Ref bases = Ref::steal(PyTuple_Pack(1, representable));
    if (!bases) return false;
    Ref type = Ref::steal(PyType_FromModuleAndSpec(module, &tle_spec, bases.get()));
    if (!type) return false;
    auto* tle = reinterpret_cast<PyTypeObject*>(type.get());
    if (tle->tp_init == PyBaseObject_Type.tp_init) tle->tp_vectorcall = tle_vectorcall;  // never inherited
    if (PyModule_AddObjectRef(module, "TLE", type.get()) < 0) return false;
    bound.tle = reinterpret_cast<PyTypeObject*>(type.release());
    return true;
}

}  // namespace velmar::tle_module

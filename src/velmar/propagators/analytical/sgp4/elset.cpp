// ELSET: the element sets of one satellite, sorted by epoch, with one float64
// array per element and all epochs as one array Time; indexable by position,
// integer slice, time range, mask or index array, iterable, and walkable in
// consecutive pairs.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <vector>

#include "velmar/_native/args.hpp"
#include "velmar/_native/buffer.hpp"
#include "velmar/_native/numpy.hpp"
#include "velmar/_native/types.hpp"
#include "velmar/propagators/analytical/sgp4/tle_module.hpp"

namespace velmar::tle_module {
namespace {

using Elements = PyObject* ELSETObject::*;

// The element arrays in the order they are allocated.
constexpr Elements allocation_order[] = {&ELSETObject::sma, &ELSETObject::ecc, &ELSETObject::inc, &ELSETObject::arp,
                                         &ELSETObject::raa, &ELSETObject::tra, &ELSETObject::mnm, &ELSETObject::orp,
                                         &ELSETObject::eca, &ELSETObject::mea, &ELSETObject::pge, &ELSETObject::apg};

ELSETObject* as_elset(PyObject* o) { return reinterpret_cast<ELSETObject*>(o); }
TLEObject* as_tle(PyObject* o) { return reinterpret_cast<TLEObject*>(o); }

double* data_of(PyObject* array) { return static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array))); }

bool integer_attribute(PyObject* object, PyObject* name, std::int64_t& out) {
    Ref value = Ref::steal(PyObject_GetAttr(object, name));
    if (!value) return false;
    out = PyLong_AsLongLong(value.get());
    return !(out == -1 && PyErr_Occurred());
}

// --- construction ------------------------------------------------------------

// Reads ahead of a loop over scattered objects: a catalogue's members were
// built long before their collection, and are no longer in the cache.
inline void prefetch_object(const void* object) {
#if defined(__GNUC__) || defined(__clang__)
    // The lines of a TLE that are read here: its type, its satellite number
    // and epoch, and its elements.
    const char* p = static_cast<const char*>(object);
    __builtin_prefetch(p);
    __builtin_prefetch(p + offsetof(TLEObject, satno_text));
    __builtin_prefetch(p + offsetof(TLEObject, inc));
    __builtin_prefetch(p + offsetof(TLEObject, apg));
#else
    (void)object;
#endif
}
constexpr Py_ssize_t prefetch_distance = 24;

// Members that are exactly TLE with single-epoch Time epochs are ordered by
// the epochs' int64 (which orders them as `<` does). Anything else goes the
// general way: Python's sort with the `epoch` attribute as key. False means
// "take the general way"; no exception is left. `items` are held by the
// caller and out of reach of Python code while this runs.
bool order_by_int64(PyObject* const* items, Py_ssize_t n, std::vector<Py_ssize_t>& order,
                    std::vector<std::int64_t>& keys) {
    keys.resize(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (i + prefetch_distance < n) prefetch_object(items[i + prefetch_distance]);
        PyObject* member = items[i];
        if (!Py_IS_TYPE(member, bound.tle) || !tle_epoch_int64(as_tle(member), keys[static_cast<size_t>(i)]))
            return false;
    }
    order.resize(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) order[static_cast<size_t>(i)] = i;
    if (!std::is_sorted(keys.begin(), keys.end()))
        std::stable_sort(order.begin(), order.end(), [&](Py_ssize_t a, Py_ssize_t b) {
            return keys[static_cast<size_t>(a)] < keys[static_cast<size_t>(b)];
        });
    return true;
}

// `given` is a tuple or a list the caller holds (Python cannot resize it).
// `known`, when given, holds the epochs' int64 of a list of exact TLE that no
// Python code can reach: in epoch order, that list becomes the members as it is.
PyObject* sorted_members(PyObject* given, std::vector<std::int64_t>& epochs, bool& have_epochs,
                         std::vector<std::int64_t>* known = nullptr) {
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(given);
    PyObject* const* items = PySequence_Fast_ITEMS(given);
    std::vector<Py_ssize_t> order;
    std::vector<std::int64_t> keys;
    if (known && PyList_CheckExact(given) && known->size() == static_cast<size_t>(n)) {
        if (std::is_sorted(known->begin(), known->end())) {
            have_epochs = true;
            epochs.swap(*known);
            return Py_NewRef(given);
        }
        keys.swap(*known);
        order.resize(static_cast<size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) order[static_cast<size_t>(i)] = i;
        std::stable_sort(order.begin(), order.end(), [&](Py_ssize_t a, Py_ssize_t b) {
            return keys[static_cast<size_t>(a)] < keys[static_cast<size_t>(b)];
        });
        have_epochs = true;
    } else {
        have_epochs = order_by_int64(items, n, order, keys);
    }
    if (!have_epochs) {
        Ref members = Ref::steal(PySequence_List(given));
        if (!members) return nullptr;
        PyObject* call[] = {members.get(), bound.epoch_getter};
        Ref kwnames = Ref::steal(PyTuple_Pack(1, bound.names.key));
        if (!kwnames) return nullptr;
        Ref done = Ref::steal(
            PyObject_VectorcallMethod(bound.names.sort, call, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
        return done ? members.release() : nullptr;
    }
    Ref members = Ref::steal(PyList_New(n));
    if (!members) return nullptr;
    epochs.resize(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_ssize_t k = order[static_cast<size_t>(i)];
        PyList_SET_ITEM(members.get(), i, Py_NewRef(items[k]));
        epochs[static_cast<size_t>(i)] = keys[static_cast<size_t>(k)];
    }
    return members.release();
}

// The one satellite number of all members, as the `satno` attribute gives it.
// The check holds whatever the interpreter's assertion mode: with it switched
// off, a mixed collection would otherwise be built under one of its numbers.
// `members` is a tuple: a member's `satno` may run code that finds and
// changes any list (the garbage collector hands out every one).
PyObject* common_satno(PyObject* members, bool exact_members) {
    const Py_ssize_t n = PyTuple_GET_SIZE(members);
    if (n == 0) {
        PyErr_SetNone(PyExc_AssertionError);
        return nullptr;
    }
    if (exact_members) {
        // Equal text gives equal numbers; only differing texts need the set.
        const char* first = as_tle(PyTuple_GET_ITEM(members, 0))->satno_text;
        Py_ssize_t i = 1;
        for (; i < n; ++i) {
            if (i + prefetch_distance < n) prefetch_object(PyTuple_GET_ITEM(members, i + prefetch_distance));
            if (std::memcmp(as_tle(PyTuple_GET_ITEM(members, i))->satno_text, first, 6) != 0) break;
        }
        if (i == n) return PyObject_GetAttr(PyTuple_GET_ITEM(members, 0), bound.names.satno);
    }
    Ref numbers = Ref::steal(PySet_New(nullptr));
    if (!numbers) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref satno = Ref::steal(PyObject_GetAttr(PyTuple_GET_ITEM(members, i), bound.names.satno));
        if (!satno || PySet_Add(numbers.get(), satno.get()) < 0) return nullptr;
    }
    if (PySet_GET_SIZE(numbers.get()) != 1) {
        PyErr_SetNone(PyExc_AssertionError);
        return nullptr;
    }
    return PySet_Pop(numbers.get());
}

bool to_int32(PyObject* value, std::int32_t& out) {
    Ref number;
    if (PyLong_Check(value)) {
        number = Ref::borrow(value);
    } else if (Py_TYPE(value)->tp_as_number && Py_TYPE(value)->tp_as_number->nb_index) {
        number = Ref::steal(PyNumber_Index(value));
        if (!number) return false;
    } else {
        PyErr_SetString(PyExc_TypeError, msg::integer_required);
        return false;
    }
    const long long v = PyLong_AsLongLong(number.get());
    if (v == -1 && PyErr_Occurred()) return false;
    if (v < INT32_MIN || v > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, velmar::msg::int_overflow);
        return false;
    }
    out = static_cast<std::int32_t>(v);
    return true;
}

bool fill_arrays(ELSETObject* self, const std::vector<std::int64_t>& known_epochs, bool have_epochs,
                 PyObject* epoch_array, Py_ssize_t n) {
    // The arrays were made for n members: a list changed since (by code the
    // garbage collector ran) is refused rather than read past either end.
    if (PyList_GET_SIZE(self->members) != n || (have_epochs && known_epochs.size() != static_cast<size_t>(n))) {
        PyErr_SetString(PyExc_RuntimeError, msg::elset_members_changed);
        return false;
    }
    auto* epochs = static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(epoch_array)));
    double* ecc = data_of(self->ecc);
    double* sma = data_of(self->sma);
    double* inc = data_of(self->inc);
    double* raa = data_of(self->raa);
    double* arp = data_of(self->arp);
    double* tra = data_of(self->tra);
    double* mnm = data_of(self->mnm);
    double* orp = data_of(self->orp);
    double* eca = data_of(self->eca);
    double* mea = data_of(self->mea);
    double* pge = data_of(self->pge);
    double* apg = data_of(self->apg);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (i + prefetch_distance < n) prefetch_object(PyList_GET_ITEM(self->members, i + prefetch_distance));
        PyObject* member = PyList_GET_ITEM(self->members, i);
        if (!PyObject_TypeCheck(member, bound.tle)) {
            PyErr_Format(PyExc_TypeError, msg::cannot_convert, Py_TYPE(member)->tp_name, "TLE");
            return false;
        }
        TLEObject* t = as_tle(member);
        if (have_epochs) {
            epochs[i] = known_epochs[static_cast<size_t>(i)];
        } else if (!tle_epoch_int64(t, epochs[i])) {
            PyObject* epoch = tle_epoch(t);
            if (!epoch || !integer_attribute(epoch, bound.names.int64, epochs[i])) return false;
        }
        ecc[i] = t->ecc;
        sma[i] = t->sma;
        inc[i] = t->inc;
        raa[i] = t->raa;
        arp[i] = t->arp;
        tra[i] = t->tra;
        mnm[i] = t->mnm;
        orp[i] = t->orp;
        eca[i] = t->eca;
        mea[i] = t->mea;
        pge[i] = t->pge;
        apg[i] = t->apg;
    }
    return true;
}

// An ELSET of type `type` from `given` (a tuple or a list the caller holds).
PyObject* build_elset(PyTypeObject* type, PyObject* given, PyObject* satname,
                      std::vector<std::int64_t>* known = nullptr, PyObject* known_satno = nullptr) {
    Ref object = Ref::steal(type->tp_alloc(type, 0));
    if (!object) return nullptr;
    ELSETObject* self = as_elset(object.get());
    self->epoch = Py_NewRef(Py_None);
    self->members = Py_NewRef(Py_None);
    if (!require_exact_str(satname, "satname")) return nullptr;

    Ref dict = Ref::steal(PyObject_GenericGetDict(object.get(), nullptr));
    if (!dict || PyDict_SetItem(dict.get(), bound.names.satname_slot, satname) < 0) return nullptr;

    std::vector<std::int64_t> epochs;
    bool have_epochs = false;
    Ref sorted = Ref::steal(sorted_members(given, epochs, have_epochs, known));
    if (!sorted) return nullptr;
    Ref members;
    if (known_satno && have_epochs && sorted.get() == given) {
        // The caller's own list, in epoch order, of members whose number it
        // knows: nothing below runs Python code, so it is kept as it is.
        members = std::move(sorted);
        if (!to_int32(known_satno, self->satno)) return nullptr;
    } else {
        // The members are checked in a tuple, and the list kept is made from
        // it once every check that runs Python code is done, so that the list
        // walked below is the one that was checked.
        Ref checked = Ref::steal(PySequence_Tuple(sorted.get()));
        if (!checked) return nullptr;
        sorted.reset();
        Ref satno = Ref::steal(common_satno(checked.get(), have_epochs));
        if (!satno || !to_int32(satno.get(), self->satno)) return nullptr;
        members = Ref::steal(PySequence_List(checked.get()));
        if (!members) return nullptr;
    }
    replace_field(self->members, members.get());

    npy_intp n = PyList_GET_SIZE(members.get());
    Ref epoch_array = Ref::steal(PyArray_ZEROS(1, &n, NPY_INT64, 0));
    if (!epoch_array) return nullptr;
    // Memory no array owns (numpy.hpp): the arrays handed out write through
    // to it, but nobody can resize it under the collection.
    for (Elements field : allocation_order) {
        self->*field = new_fixed_array(NPY_DOUBLE, 1, &n);
        if (!(self->*field)) return nullptr;
    }
    if (!fill_arrays(self, epochs, have_epochs, epoch_array.get(), static_cast<Py_ssize_t>(n))) return nullptr;

    Ref epoch = Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(bound.time), epoch_array.get()));
    if (!epoch) return nullptr;
    replace_field(self->epoch, epoch.get());
    return object.release();
}

PyObject* elset_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr const char* names[] = {"satname"};
    static constexpr Signature signature{"__init__", names, 1, 0, 0};
    PyObject* a[1];
    if (!bind_tuple(signature, nullptr, kwargs, a)) return nullptr;
    return build_elset(type, args, a[0] ? a[0] : Py_None);
}

int elset_traverse(PyObject* object, visitproc visit, void* arg) {
    ELSETObject* self = as_elset(object);
    Py_VISIT(Py_TYPE(object));
    Py_VISIT(self->base.dict);
    Py_VISIT(self->epoch);
    Py_VISIT(self->members);
    return 0;
}

int elset_clear(PyObject* object) {
    ELSETObject* self = as_elset(object);
    Py_CLEAR(self->base.dict);
    // The members stay: size and indexing read the list without a check.
    return 0;
}

void elset_dealloc(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    PyObject_GC_UnTrack(object);
    ELSETObject* self = as_elset(object);
    Py_CLEAR(self->base.dict);
    Py_CLEAR(self->epoch);
    Py_CLEAR(self->members);
    for (Elements field : allocation_order) Py_CLEAR(self->*field);
    type->tp_free(object);
    Py_DECREF(type);
}

// --- attributes ---------------------------------------------------------------

Py_ssize_t member_count(ELSETObject* self) { return PyList_Check(self->members) ? PyList_GET_SIZE(self->members) : 0; }

PyObject* get_size(PyObject* object, void*) { return PyLong_FromSsize_t(member_count(as_elset(object))); }

PyObject* get_satname(PyObject* object, void*) { return PyObject_GetAttr(object, bound.names.satname_slot); }

PyObject* get_satno(PyObject* object, void*) { return PyLong_FromLong(as_elset(object)->satno); }

PyObject* get_epoch(PyObject* object, void*) { return Py_NewRef(as_elset(object)->epoch); }

// A new array object over the stored data: writes through it are kept, but
// neither it nor anything reachable from it can resize the storage.
PyObject* get_elements(PyObject* object, void* closure) {
    const auto offset = reinterpret_cast<std::uintptr_t>(closure);
    PyObject* array = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(object) + offset);
    if (!array) return PyErr_Format(PyExc_AttributeError, velmar::msg::elset_not_built);
    return new_fixed_view(array);
}

#define VELMAR_ELEMENTS(field)                                           \
    {#field, get_elements, nullptr, "ELSET." #field ": ndarray[double]", \
     reinterpret_cast<void*>(static_cast<std::uintptr_t>(offsetof(ELSETObject, field)))}

PyGetSetDef elset_getset[] = {{"size", get_size, nullptr, "ELSET.size: int", nullptr},
                              {"satname", get_satname, nullptr, "ELSET.satname: str", nullptr},
                              {"satno", get_satno, nullptr, "ELSET.satno: int | str", nullptr},
                              {"epoch", get_epoch, nullptr, nullptr, nullptr},
                              VELMAR_ELEMENTS(ecc),
                              VELMAR_ELEMENTS(sma),
                              VELMAR_ELEMENTS(inc),
                              VELMAR_ELEMENTS(raa),
                              VELMAR_ELEMENTS(arp),
                              VELMAR_ELEMENTS(tra),
                              VELMAR_ELEMENTS(mnm),
                              VELMAR_ELEMENTS(orp),
                              VELMAR_ELEMENTS(eca),
                              VELMAR_ELEMENTS(mea),
                              VELMAR_ELEMENTS(pge),
                              VELMAR_ELEMENTS(apg),
                              {nullptr, nullptr, nullptr, nullptr, nullptr}};

#undef VELMAR_ELEMENTS

PyMemberDef elset_members[] = {{"__dictoffset__", T_PYSSIZET, offsetof(RepresentableObject, dict), READONLY, nullptr},
                               {nullptr, 0, 0, 0, nullptr}};

// --- selection ----------------------------------------------------------------

PyObject* call_method(PyObject* self, PyObject* name, PyObject* argument) {
    PyObject* args[] = {self, argument};
    return PyObject_VectorcallMethod(name, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// A new ELSET (never a subclass) of the given members, without a name.
PyObject* new_elset(PyObject* members) {
    Ref tuple = Ref::steal(PySequence_Tuple(members));
    if (!tuple) return nullptr;
    return PyObject_Call(reinterpret_cast<PyObject*>(bound.elset), tuple.get(), nullptr);
}

PyObject* module_attribute(PyObject* name) { return PyObject_GetAttr(bound.module, name); }

// isinstance(item, numbers.Integral), with `numbers` looked up in the module.
int is_integral(PyObject* item) {
    if (PyLong_Check(item)) return 1;
    Ref numbers = Ref::steal(module_attribute(bound.names.numbers));
    if (!numbers) return -1;
    Ref integral = Ref::steal(PyObject_GetAttr(numbers.get(), bound.names.Integral));
    if (!integral) return -1;
    return PyObject_IsInstance(item, integral.get());
}

// The int64 of a time-range bound, which must be one epoch: the range is a
// comparison with every member epoch, and several epochs would not make one.
bool bound_epoch(PyObject* value, const char* which, std::int64_t& out) {
    PyObject* args[] = {value};
    Ref time = Ref::steal(PyObject_Vectorcall(reinterpret_cast<PyObject*>(bound.time), args, 1, nullptr));
    if (!time) return false;
    Ref integers = Ref::steal(PyObject_GetAttr(time.get(), bound.names.int64));
    if (!integers) return false;
    if (!PyLong_Check(integers.get())) {
        Ref array = Ref::steal(PyArray_FROM_O(integers.get()));
        if (!array) return false;
        const npy_intp count = PyArray_SIZE(reinterpret_cast<PyArrayObject*>(array.get()));
        if (count != 1) {
            PyErr_Format(PyExc_ValueError,
                         "the %s of an ELSET time range holds %zd epochs; a bound must be a single epoch", which,
                         static_cast<Py_ssize_t>(count));
            return false;
        }
        Ref flat = Ref::steal(PyArray_Ravel(reinterpret_cast<PyArrayObject*>(array.get()), NPY_CORDER));
        if (!flat) return false;
        integers = Ref::steal(PySequence_GetItem(flat.get(), 0));
        if (!integers) return false;
        integers = Ref::steal(PyNumber_Index(integers.get()));
        if (!integers) return false;
    }
    out = PyLong_AsLongLong(integers.get());
    return !(out == -1 && PyErr_Occurred());
}

// Members with start <= epoch < stop, either bound optional (None).
PyObject* select_time_range(PyObject* object, PySliceObject* range) {
    ELSETObject* self = as_elset(object);
    Ref epochs = Ref::steal(PyObject_GetAttr(self->epoch, bound.names.int64));
    if (!epochs) return nullptr;
    std::int64_t start = 0, stop = 0;
    const bool has_start = range->start != Py_None, has_stop = range->stop != Py_None;
    if (has_start && !bound_epoch(range->start, "start", start)) return nullptr;
    if (has_stop && !bound_epoch(range->stop, "stop", stop)) return nullptr;
    View1D<std::int64_t> view;
    if (!view.acquire(epochs.get())) return nullptr;
    npy_intp n = member_count(self);
    Ref mask = Ref::steal(PyArray_ZEROS(1, &n, NPY_BOOL, 0));
    if (!mask) return nullptr;
    auto* selected = static_cast<npy_bool*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(mask.get())));
    const Py_ssize_t count = std::min<Py_ssize_t>(n, view.size());
    for (Py_ssize_t i = 0; i < count; ++i) {
        const std::int64_t e = view[i];
        selected[i] = (!has_start || e >= start) && (!has_stop || e < stop);
    }
    view.release();
    return call_method(object, bound.names.getitem_selection, mask.get());
}

PyObject* elset_subscript(PyObject* self, PyObject* item) {
    const Names& n = bound.names;
    int integral = is_integral(item);
    if (integral < 0) return nullptr;
    if (integral) return call_method(self, n.getitem_integral, item);
    if (Py_IS_TYPE(item, &PySlice_Type)) {
        auto* range = reinterpret_cast<PySliceObject*>(item);
        for (PyObject* part : {range->start, range->stop, range->step}) {
            integral = is_integral(part);
            if (integral < 0) return nullptr;
            if (integral) return call_method(self, n.getitem_integral_slice, item);
        }
        return select_time_range(self, range);
    }
    Ref numpy = Ref::steal(module_attribute(n.numpy));
    if (!numpy) return nullptr;
    Ref array_function = Ref::steal(PyObject_GetAttr(numpy.get(), n.array));
    if (!array_function) return nullptr;
    Ref selection = Ref::steal(PyObject_CallOneArg(array_function.get(), item));
    if (!selection) return nullptr;
    return call_method(self, n.getitem_selection, selection.get());
}

PyObject* getitem_method(PyObject* self, PyObject* item) { return elset_subscript(self, item); }

PyObject* getitem_integral(PyObject* object, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"item"};
    static constexpr Signature signature{"_getitem_integral", names, 1, 1, 1};
    PyObject* a[1];
    if (!bind_fastcall(signature, args, nargs, kwnames, a)) return nullptr;
    PyObject* item = a[0];
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero) return nullptr;
    const int non_negative = PyObject_RichCompareBool(item, zero.get(), Py_GE);
    if (non_negative < 0) return nullptr;
    Ref position;
    if (non_negative) {
        position = Ref::borrow(item);
    } else {
        Ref size = Ref::steal(PyObject_GetAttr(object, bound.names.size));
        if (!size) return nullptr;
        position = Ref::steal(PyNumber_Add(size.get(), item));
        if (!position) return nullptr;
    }
    const Py_ssize_t i = PyNumber_AsSsize_t(position.get(), PyExc_IndexError);
    if (i == -1 && PyErr_Occurred()) return nullptr;
    if (i < 0 || i >= member_count(as_elset(object))) {
        PyErr_SetString(PyExc_IndexError, velmar::msg::list_index_out_of_range);
        return nullptr;
    }
    return Py_NewRef(PyList_GET_ITEM(as_elset(object)->members, i));
}

PyObject* getitem_integral_slice(PyObject* object, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"item"};
    static constexpr Signature signature{"_getitem_integral_slice", names, 1, 1, 1};
    PyObject* a[1];
    if (!bind_fastcall(signature, args, nargs, kwnames, a)) return nullptr;
    if (!require_exact_type(a[0], &PySlice_Type, "item", false)) return nullptr;
    Ref selected = Ref::steal(PyObject_GetItem(as_elset(object)->members, a[0]));
    if (!selected) return nullptr;
    return new_elset(selected.get());
}

// numpy.array(member list): an object array, made directly when every member
// is exactly a TLE (which numpy would take as an opaque object anyway).
PyObject* member_array(ELSETObject* self) {
    PyObject* members = self->members;
    const Py_ssize_t n = PyList_GET_SIZE(members);
    bool plain = true;
    for (Py_ssize_t i = 0; i < n && plain; ++i) plain = Py_IS_TYPE(PyList_GET_ITEM(members, i), bound.tle);
    if (!plain) {
        Ref numpy = Ref::steal(module_attribute(bound.names.numpy));
        if (!numpy) return nullptr;
        Ref array_function = Ref::steal(PyObject_GetAttr(numpy.get(), bound.names.array));
        if (!array_function) return nullptr;
        return PyObject_CallOneArg(array_function.get(), members);
    }
    npy_intp length = n;
    PyObject* array = PyArray_ZEROS(1, &length, NPY_OBJECT, 0);
    if (!array) return nullptr;
    auto** items = static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
    for (Py_ssize_t i = 0; i < n; ++i) Py_XSETREF(items[i], Py_NewRef(PyList_GET_ITEM(members, i)));
    return array;
}

PyObject* getitem_selection(PyObject* object, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"selection"};
    static constexpr Signature signature{"_getitem_selection", names, 1, 1, 1};
    PyObject* a[1];
    if (!bind_fastcall(signature, args, nargs, kwnames, a)) return nullptr;
    Ref members = Ref::steal(member_array(as_elset(object)));
    if (!members) return nullptr;
    Ref picked = Ref::steal(PyObject_GetItem(members.get(), a[0]));
    if (!picked) return nullptr;
    Ref selected = Ref::steal(PyObject_CallMethodNoArgs(picked.get(), bound.names.tolist));
    if (!selected) return nullptr;
    return new_elset(selected.get());
}

// --- iteration: the cursor `index` lives in the instance dictionary ---------

PyObject* elset_iter(PyObject* self) {
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero || PyObject_SetAttr(self, bound.names.index, zero.get()) < 0) return nullptr;
    return Py_NewRef(self);
}

PyObject* elset_iternext(PyObject* self) {
    const Names& n = bound.names;
    Ref index = Ref::steal(PyObject_GetAttr(self, n.index));
    if (!index) return nullptr;
    Ref size = Ref::steal(PyObject_GetAttr(self, n.size));
    if (!size) return nullptr;
    const int more = PyObject_RichCompareBool(index.get(), size.get(), Py_LT);
    if (more <= 0) return nullptr;  // the end, or an error
    Ref one = Ref::steal(PyLong_FromLong(1));
    if (!one) return nullptr;
    Ref next = Ref::steal(PyNumber_Add(index.get(), one.get()));
    if (!next || PyObject_SetAttr(self, n.index, next.get()) < 0) return nullptr;
    index = Ref::steal(PyObject_GetAttr(self, n.index));
    if (!index) return nullptr;
    Ref position = Ref::steal(PyNumber_Subtract(index.get(), one.get()));
    if (!position) return nullptr;
    return PyObject_GetItem(self, position.get());
}

PyObject* iter_method(PyObject* self, PyObject*) { return elset_iter(self); }

PyObject* next_method(PyObject* self, PyObject*) {
    PyObject* item = elset_iternext(self);
    if (!item && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
    return item;
}

// --- pairwise(): consecutive members, each fetched once through indexing ----

struct PairsObject {
    PyObject_HEAD PyObject* elset;
    PyObject* current;  // the first member of the next pair
    Py_ssize_t position;
    Py_ssize_t size;
    enum State : int { created, running, finished } state;
    // Set while a step fetches members: the fetch runs Python code (a
    // subclass's __getitem__), which must not advance or finish the walk
    // under the step, as it would free the member the step is about to pair.
    bool busy;
};

PyTypeObject* pairs_type = nullptr;

void pairs_finish(PairsObject* self) {
    self->state = PairsObject::finished;
    Py_CLEAR(self->current);
    Py_CLEAR(self->elset);
}

PyObject* fetch(PyObject* elset, Py_ssize_t position) {
    Ref index = Ref::steal(PyLong_FromSsize_t(position));
    return index ? PyObject_GetItem(elset, index.get()) : nullptr;
}

PyObject* pairs_step(PairsObject* self) {
    if (self->state == PairsObject::finished) return nullptr;
    if (self->state == PairsObject::created) {
        self->current = fetch(self->elset, 0);
        Ref size = self->current ? Ref::steal(PyObject_GetAttr(self->elset, bound.names.size)) : Ref();
        self->size = size ? PyNumber_AsSsize_t(size.get(), PyExc_OverflowError) : -1;
        if (!size || (self->size == -1 && PyErr_Occurred())) {
            pairs_finish(self);
            return nullptr;
        }
        self->position = 1;
        self->state = PairsObject::running;
    }
    if (self->position >= self->size) {
        pairs_finish(self);
        return nullptr;
    }
    Ref following = Ref::steal(fetch(self->elset, self->position));
    if (!following) {
        pairs_finish(self);
        return nullptr;
    }
    PyObject* pair = PyTuple_Pack(2, self->current, following.get());
    if (!pair) {
        pairs_finish(self);
        return nullptr;
    }
    Py_SETREF(self->current, following.release());
    ++self->position;
    return pair;
}

PyObject* pairs_next(PyObject* object) {
    auto* self = reinterpret_cast<PairsObject*>(object);
    if (self->busy) {
        PyErr_SetString(PyExc_ValueError, velmar::msg::pairs_running);
        return nullptr;
    }
    self->busy = true;
    PyObject* pair = pairs_step(self);
    self->busy = false;
    return pair;
}

int pairs_traverse(PyObject* object, visitproc visit, void* arg) {
    auto* self = reinterpret_cast<PairsObject*>(object);
    Py_VISIT(Py_TYPE(object));
    Py_VISIT(self->elset);
    Py_VISIT(self->current);
    return 0;
}

int pairs_clear(PyObject* object) {
    auto* self = reinterpret_cast<PairsObject*>(object);
    Py_CLEAR(self->elset);
    Py_CLEAR(self->current);
    self->state = PairsObject::finished;
    return 0;
}

PyType_Slot pairs_slots[] = {
    {Py_tp_doc, const_cast<char*>("Consecutive pairs (current, next) of the members of an ELSET.")},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(pairs_next)},
    {Py_tp_traverse, reinterpret_cast<void*>(pairs_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(pairs_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(gc_dealloc<pairs_clear>)},
    {0, nullptr}};

PyType_Spec pairs_spec = {
    "velmar.propagators.analytical.sgp4.tle.ELSETPairs", sizeof(PairsObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    pairs_slots};

PyObject* pairwise(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!bind_none("pairwise", nargs, kwnames)) return nullptr;
    auto* pairs = PyObject_GC_New(PairsObject, pairs_type);
    if (!pairs) return nullptr;
    pairs->elset = Py_NewRef(self);
    pairs->current = nullptr;
    pairs->position = 0;
    pairs->size = 0;
    pairs->state = PairsObject::created;
    pairs->busy = false;
    PyObject_GC_Track(pairs);
    return reinterpret_cast<PyObject*>(pairs);
}

// --- printed form -------------------------------------------------------------

PyObject* get_header(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!bind_none("_get_header", nargs, kwnames)) return nullptr;
    Ref satname = Ref::steal(PyObject_GetAttr(self, bound.names.satname));
    if (!satname) return nullptr;
    Ref satno = Ref::steal(PyObject_GetAttr(self, bound.names.satno));
    if (!satno) return nullptr;
    Ref name_text = Ref::steal(PyObject_Format(satname.get(), nullptr));
    if (!name_text) return nullptr;
    Ref number_text = Ref::steal(PyObject_Format(satno.get(), nullptr));
    if (!number_text) return nullptr;
    return PyUnicode_FromFormat("ELSET %U (%U)", name_text.get(), number_text.get());
}

PyObject* get_body(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!bind_none("_get_body", nargs, kwnames)) return nullptr;
    return PyUnicode_FromFormat("%zd elements", member_count(as_elset(self)));
}

PyMethodDef elset_methods[] = {
    {"__getitem__", getitem_method, METH_O | METH_COEXIST,
     "ELSET.__getitem__(self, item: Any) -> Ephemeris | State\n"
     "\n"
     "Integer/slice indexing uses positional indices.\n"
     "String-based or datetime slices select by epoch.\n"
     "Boolean/integer arrays select by mask.\n"
     "\n"
     "An integer gives the member TLE itself; every other selector gives a new\n"
     "ELSET (without the name). A time range is half-open: start <= epoch < stop."},
    {"_getitem_integral", VELMAR_FASTCALL(getitem_integral),
     "ELSET._getitem_integral(self, item: numbers.Integral) -> TLE\n\nThe member at that position (negative "
     "positions count from the end)."},
    {"_getitem_integral_slice", VELMAR_FASTCALL(getitem_integral_slice),
     "_getitem_integral_slice($self, /, item)\n--\n\nThe members that slicing the member list gives, "
     "as a new ELSET in epoch order."},
    {"_getitem_selection", VELMAR_FASTCALL(getitem_selection),
     "ELSET._getitem_selection(self, selection: ndarray[bool | int]) -> ELSET\n\nThe members a boolean mask or "
     "an integer index array selects, as a new ELSET in epoch order."},
    {"__iter__", iter_method, METH_NOARGS | METH_COEXIST,
     "ELSET.__iter__(self) -> ELSET\n\nReset the cursor `index` to 0 and return the collection itself."},
    {"__next__", next_method, METH_NOARGS | METH_COEXIST,
     "ELSET.__next__(self) -> TLE\n\nThe member at the cursor `index`, which then moves on."},
    {"pairwise", VELMAR_FASTCALL(pairwise),
     "ELSET.pairwise(self) -> Iterator[tuple[TLE, TLE]]\n\nYields:\n    Consecutive state pairs (current, next)."},
    {"_get_header", VELMAR_FASTCALL(get_header),
     "_get_header($self, /)\n--\n\nHeader of the printed form: \"ELSET <satname> (<satno>)\"."},
    {"_get_body", VELMAR_FASTCALL(get_body),
     "_get_body($self, /)\n--\n\nBody of the printed form: the number of members."},
    VELMAR_REFUSE_PICKLING,
    {nullptr, nullptr, 0, nullptr}};

constexpr const char elset_doc[] =
    "ELSET(*tles, satname=None)\n--\n\n"
    "The element sets of one satellite, sorted by epoch (a stable sort: equal\n"
    "epochs keep their order), with one float64 array per element in SI units\n"
    "and all epochs as one Time. All members must share one satellite number,\n"
    "and there must be at least one: AssertionError otherwise, whatever the\n"
    "interpreter's assertion mode.\n"
    "\n"
    "Element arrays are writable views of the collection's storage. Index by\n"
    "position, integer slice, time range (half-open), mask or index array;\n"
    "iterate; walk consecutive pairs with pairwise().";

PyType_Slot elset_slots[] = {{Py_tp_doc, const_cast<char*>(elset_doc)},
                             {Py_tp_new, reinterpret_cast<void*>(elset_new)},
                             {Py_tp_dealloc, reinterpret_cast<void*>(elset_dealloc)},
                             {Py_tp_traverse, reinterpret_cast<void*>(elset_traverse)},
                             {Py_tp_clear, reinterpret_cast<void*>(elset_clear)},
                             {Py_mp_subscript, reinterpret_cast<void*>(elset_subscript)},
                             {Py_tp_iter, reinterpret_cast<void*>(elset_iter)},
                             {Py_tp_iternext, reinterpret_cast<void*>(elset_iternext)},
                             {Py_tp_getset, elset_getset},
                             {Py_tp_members, elset_members},
                             {Py_tp_methods, elset_methods},
                             {0, nullptr}};

PyType_Spec elset_spec = {"velmar.propagators.analytical.sgp4.tle.ELSET", sizeof(ELSETObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
                          elset_slots};

}  // namespace

PyObject* new_elset_of(PyObject* members, PyObject* satname, std::vector<std::int64_t>* epochs, PyObject* satno) {
    return build_elset(bound.elset, members, satname, epochs, satno);
}

bool add_elset_type(PyObject* module, PyObject* representable) {
    bound.elset = add_type(module, &elset_spec, reinterpret_cast<PyTypeObject*>(representable));
    pairs_type = bound.elset ? add_type(module, &pairs_spec) : nullptr;
    return pairs_type != nullptr;
}

}  // namespace velmar::tle_module

// numpy record types for arrays of coordinates, dates and orbital elements:
// one record per epoch, fields by name, packed (numpy's default layout).
#include <initializer_list>

#include "velmar/_native/module.hpp"

namespace {

struct Field {
    const char* name;
    const char* type;  // attribute of numpy
};

struct Record {
    const char* name;
    std::initializer_list<Field> fields;
};

const Record records[] = {
    {"SurfCoord_dtype", {{"lat", "double"}, {"lon", "double"}}},
    {"LLA_dtype", {{"lat", "double"}, {"lon", "double"}, {"alt", "double"}}},
    {"ENU_dtype", {{"u_east", "double"}, {"u_north", "double"}, {"u_up", "double"}}},
    {"AER_dtype", {{"azimuth", "double"}, {"elevation", "double"}, {"range", "double"}}},
    {"DTF_dtype",
     {{"year", "uint16"},
      {"month", "uint8"},
      {"day", "uint8"},
      {"hour", "uint8"},
      {"minute", "uint8"},
      {"second", "double"}}},
    {"GeoState_dt",
     {{"lat", "double"},
      {"lon", "double"},
      {"alt", "double"},
      {"lat_dot", "double"},
      {"lon_dot", "double"},
      {"alt_dot", "double"}}},
    {"COE_dt",
     {{"ecc", "double"},
      {"sma", "double"},
      {"inc", "double"},
      {"raa", "double"},
      {"arp", "double"},
      {"tra", "double"},
      {"slr", "double"}}},
};

// dtype([(name, numpy.<type>), ...])
PyObject* make_record(PyObject* numpy, PyObject* dtype, const Record& record) {
    using velmar::Ref;
    Ref fields = Ref::steal(PyList_New(0));
    if (!fields) return nullptr;
    for (const Field& field : record.fields) {
        Ref type = Ref::steal(PyObject_GetAttrString(numpy, field.type));
        if (!type) return nullptr;
        Ref pair = Ref::steal(Py_BuildValue("(sO)", field.name, type.get()));
        if (!pair || PyList_Append(fields.get(), pair.get()) < 0) return nullptr;
    }
    return PyObject_CallOneArg(dtype, fields.get());
}

int exec_structured(PyObject* module) {
    using velmar::Ref;
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy || PyModule_AddObjectRef(module, "numpy", numpy.get()) < 0) return -1;
    Ref dtype = Ref::steal(PyObject_GetAttrString(numpy.get(), "dtype"));
    if (!dtype || PyModule_AddObjectRef(module, "dtype", dtype.get()) < 0) return -1;
    for (const Record& record : records) {
        Ref type = Ref::steal(make_record(numpy.get(), dtype.get(), record));
        if (!type || PyModule_AddObjectRef(module, record.name, type.get()) < 0) return -1;
    }
    return 0;
}

}  // namespace

VELMAR_MODULE(structured, "numpy structured record types of velmar (coordinates, dates, orbital elements).", nullptr,
              exec_structured)

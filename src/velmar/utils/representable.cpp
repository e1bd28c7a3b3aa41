// Representable: the base of the package's printable records (TLE, ELSET).
// A subclass says what to show through `_get_header()` and `_get_body()`;
// this base lays it out: the header, a rule under it, then the body, where
// every line that is exactly "{fence}" becomes a rule as wide as the block.
// It also offers the building blocks that bodies are made of: aligned
// "label : value" forms, tables with one column per group, and headings.
//
// The layout works on UTF-8 copies of the texts; widths count code points.
#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "velmar/_native/args.hpp"
#include "velmar/_native/module.hpp"
#include "velmar/_native/types.hpp"
#include "velmar/utils/representable.hpp"

namespace {

using velmar::Ref;
using velmar::RepresentableObject;

constexpr std::string_view fence = "{fence}";
constexpr char header_rule = '=';
constexpr char fence_rule = '-';
constexpr std::string_view column_gap = "   ";

// --- text helpers ------------------------------------------------------------

std::size_t width(std::string_view text) {
    // Code points: every byte that does not continue a UTF-8 sequence.
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

void pad_right(std::string& text, std::size_t to) {
    const std::size_t w = width(text);
    if (w < to) text.append(to - w, ' ');
}

std::string padded_left(std::string_view text, std::size_t to) {
    const std::size_t w = width(text);
    std::string out(w < to ? to - w : 0, ' ');
    out.append(text);
    return out;
}

void strip_right(std::string& text) {
    const auto end = text.find_last_not_of(' ');
    text.erase(end == std::string::npos ? 0 : end + 1);
}

std::vector<std::string> split_lines(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find('\n', start);
        lines.emplace_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos) return lines;
        start = end + 1;
    }
}

std::string join_lines(const std::vector<std::string>& lines) {
    std::string out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i) out += '\n';
        out += lines[i];
    }
    return out;
}

// UTF-8 copy of a str; false with an exception set (a lone surrogate).
bool utf8_of_str(PyObject* text, std::string& out) {
    Py_ssize_t size = 0;
    const char* bytes = PyUnicode_AsUTF8AndSize(text, &size);
    if (!bytes) return false;
    out.assign(bytes, static_cast<std::size_t>(size));
    return true;
}

// UTF-8 of str(value): labels and values given as numbers still print.
bool utf8_of(PyObject* value, std::string& out) {
    Ref text = Ref::steal(PyObject_Str(value));
    return text && utf8_of_str(text.get(), out);
}

PyObject* to_str(const std::string& text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

// --- the printed form --------------------------------------------------------

// self.<method>(), which must return a str.
bool call_text_method(PyObject* self, const char* method, std::string& out) {
    Ref result = Ref::steal(PyObject_CallMethod(self, method, nullptr));
    if (!result) return false;
    if (!PyUnicode_Check(result.get())) {
        PyErr_Format(PyExc_TypeError, velmar::msg::must_return_str, Py_TYPE(self)->tp_name, method,
                     Py_TYPE(result.get())->tp_name);
        return false;
    }
    return utf8_of_str(result.get(), out);
}

PyObject* printed_form(PyObject* self) {
    std::string header, body;
    if (!call_text_method(self, "_get_header", header) || !call_text_method(self, "_get_body", body)) return nullptr;
    std::vector<std::string> lines = split_lines(header);
    const std::size_t header_lines = lines.size();
    if (!body.empty())
        for (std::string& line : split_lines(body)) lines.push_back(std::move(line));
    std::size_t rule = 0;
    for (const std::string& line : lines)
        if (line != fence) rule = std::max(rule, width(line));
    for (std::string& line : lines)
        if (line == fence) line.assign(rule, fence_rule);
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(header_lines), std::string(rule, header_rule));
    return to_str(join_lines(lines));
}

// --- building blocks ---------------------------------------------------------

// The defaults of the two methods a subclass must provide.
PyObject* missing_method(PyObject* self, const char* method) {
    PyErr_Format(PyExc_NotImplementedError,
                 "%.200s does not define %s(): a Representable subclass must define _get_header() and "
                 "_get_body() to be printed",
                 Py_TYPE(self)->tp_name, method);
    return nullptr;
}

PyObject* get_header(PyObject* self, PyObject*) { return missing_method(self, "_get_header"); }
PyObject* get_body(PyObject* self, PyObject*) { return missing_method(self, "_get_body"); }

bool require_dict(PyObject* value, const char* argname) {
    return velmar::require_instance(value, &PyDict_Type, argname, false);
}

// The items of a dict as a new list of (key, value) pairs that only the
// caller holds. str() of a key or value runs the caller's code, which may
// change or empty the dict; the pairs keep every key and value alive, and the
// walk over them is the one it started as.
PyObject* items_snapshot(PyObject* dict) { return PyDict_Items(dict); }

PyObject* pair_key(PyObject* items, Py_ssize_t i) { return PyTuple_GET_ITEM(PyList_GET_ITEM(items, i), 0); }
PyObject* pair_value(PyObject* items, Py_ssize_t i) { return PyTuple_GET_ITEM(PyList_GET_ITEM(items, i), 1); }

// label : value, labels padded to the widest.
PyObject* create_formatted_form(PyObject*, PyObject* data) {
    if (!require_dict(data, "data")) return nullptr;
    std::vector<std::string> labels, values;
    Ref items = Ref::steal(items_snapshot(data));
    if (!items) return nullptr;
    std::size_t label_width = 0;
    for (Py_ssize_t i = 0, n = PyList_GET_SIZE(items.get()); i < n; ++i) {
        std::string label, text;
        if (!utf8_of(pair_key(items.get(), i), label) || !utf8_of(pair_value(items.get(), i), text)) return nullptr;
        label_width = std::max(label_width, width(label));
        labels.push_back(std::move(label));
        values.push_back(std::move(text));
    }
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < labels.size(); ++i) {
        std::string line = labels[i];
        pad_right(line, label_width);
        line += " : ";
        line += values[i];
        strip_right(line);
        lines.push_back(std::move(line));
    }
    return to_str(join_lines(lines));
}

// One table cell, "<number>[ <unit>]": the number is aligned on its decimal
// point (or its end, when it has none) with the rest of its column.
struct Cell {
    std::string whole;  // the number up to its decimal point
    std::string rest;   // the decimal point, the decimals, then " unit"
};

Cell split_cell(const std::string& text) {
    const std::size_t space = text.find(' ');
    const std::size_t dot = text.find('.');
    if (dot != std::string::npos && dot < space) return {text.substr(0, dot), text.substr(dot)};
    if (space != std::string::npos) return {text.substr(0, space), text.substr(space)};
    return {text, {}};
}

// A table: one column per outer key (its title), one row per label, labels
// in order of first appearance; a label missing from a column leaves its
// cell blank.
PyObject* create_formatted_frame(PyObject*, PyObject* data) {
    if (!require_dict(data, "data")) return nullptr;
    std::vector<std::string> labels;
    std::vector<std::string> titles;
    std::vector<std::vector<std::pair<std::string, std::string>>> entries;
    Ref columns = Ref::steal(items_snapshot(data));
    if (!columns) return nullptr;
    // Every column is taken as it is now, before any str() runs, so the table
    // is that of the data as it was when the call began.
    const Py_ssize_t n = PyList_GET_SIZE(columns.get());
    std::vector<Ref> column_items;
    for (Py_ssize_t c = 0; c < n; ++c) {
        PyObject* column = pair_value(columns.get(), c);
        if (!PyDict_Check(column)) {
            PyErr_Format(PyExc_TypeError, velmar::msg::frame_column_not_dict, pair_key(columns.get(), c),
                         Py_TYPE(column)->tp_name);
            return nullptr;
        }
        if (!column_items.emplace_back(Ref::steal(items_snapshot(column)))) return nullptr;
    }
    for (Py_ssize_t c = 0; c < n; ++c) {
        std::string title_text;
        if (!utf8_of(pair_key(columns.get(), c), title_text)) return nullptr;
        titles.push_back(std::move(title_text));
        auto& column_entries = entries.emplace_back();
        PyObject* items = column_items[static_cast<std::size_t>(c)].get();
        for (Py_ssize_t i = 0, m = PyList_GET_SIZE(items); i < m; ++i) {
            std::string label, text;
            if (!utf8_of(pair_key(items, i), label) || !utf8_of(pair_value(items, i), text)) return nullptr;
            if (std::find(labels.begin(), labels.end(), label) == labels.end()) labels.push_back(label);
            column_entries.emplace_back(std::move(label), std::move(text));
        }
    }
    if (titles.empty()) return PyUnicode_FromString("");

    std::size_t label_width = 0;
    for (const std::string& label : labels) label_width = std::max(label_width, width(label));
    std::vector<std::string> lines(1, std::string(label_width, ' '));
    for (const std::string& label : labels) {
        lines.push_back(label);
        pad_right(lines.back(), label_width);
    }

    for (std::size_t c = 0; c < titles.size(); ++c) {
        std::vector<Cell> cells(labels.size());
        for (const auto& [label, text] : entries[c]) {
            const auto row = std::find(labels.begin(), labels.end(), label) - labels.begin();
            cells[static_cast<std::size_t>(row)] = split_cell(text);
        }
        std::size_t whole_width = 0;
        for (const Cell& cell : cells) whole_width = std::max(whole_width, width(cell.whole));
        std::vector<std::string> texts;
        std::size_t column_width = width(titles[c]);
        for (const Cell& cell : cells) {
            texts.push_back(padded_left(cell.whole, whole_width) + cell.rest);
            column_width = std::max(column_width, width(texts.back()));
        }
        // The title is centred over the column.
        const std::size_t slack = column_width - width(titles[c]);
        std::string title_text(slack / 2, ' ');
        title_text += titles[c];
        pad_right(title_text, column_width);
        lines[0] += column_gap;
        lines[0] += title_text;
        for (std::size_t r = 0; r < texts.size(); ++r) {
            pad_right(texts[r], column_width);
            lines[r + 1] += column_gap;
            lines[r + 1] += texts[r];
        }
    }
    for (std::string& line : lines) strip_right(line);
    return to_str(join_lines(lines));
}

// A heading within a body: the title on its own line, as given.
PyObject* format_as_property(PyObject*, PyObject* title) {
    if (!velmar::require_instance(title, &PyUnicode_Type, "title", false)) return nullptr;
    return PyObject_Str(title);
}

// --- the type ----------------------------------------------------------------

int traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<RepresentableObject*>(self)->dict);
    return 0;
}

int clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<RepresentableObject*>(self)->dict);
    return 0;
}

PyMethodDef methods[] = {
    {"_get_header", get_header, METH_NOARGS,
     "_get_header($self, /)\n--\n\nThe first line of the printed form. Subclasses must define it."},
    {"_get_body", get_body, METH_NOARGS,
     "_get_body($self, /)\n--\n\nThe printed form below the header; a line \"{fence}\" becomes a rule. "
     "Subclasses must define it."},
    {"_create_formatted_form", create_formatted_form, METH_O,
     "_create_formatted_form($self, data, /)\n--\n\nAligned \"label : value\" lines, one per item of the dict "
     "`data`, joined by line breaks."},
    {"_create_formatted_frame", create_formatted_frame, METH_O,
     "_create_formatted_frame($self, data, /)\n--\n\nA table from a dict of column title to a dict of label to "
     "text: one column per title, one row per label, numbers aligned on their decimal point."},
    {"_format_as_property", format_as_property, METH_O,
     "_format_as_property($self, title, /)\n--\n\nThe title as a heading line within a body."},
    {nullptr, nullptr, 0, nullptr}};

PyMemberDef members[] = {{"__dictoffset__", T_PYSSIZET, offsetof(RepresentableObject, dict), READONLY, nullptr},
                         {nullptr, 0, 0, 0, nullptr}};

PyGetSetDef getset[] = {{"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
                        {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot slots[] = {
    {Py_tp_doc,
     const_cast<char*>("Base of the package's printable records. repr() and str() show _get_header(), a rule, then "
                       "_get_body(), whose lines \"{fence}\" become rules as wide as the widest line.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(velmar::gc_dealloc<clear>)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(clear)},
    {Py_tp_repr, reinterpret_cast<void*>(printed_form)},
    {Py_tp_str, reinterpret_cast<void*>(printed_form)},
    {Py_tp_methods, methods},
    {Py_tp_members, members},
    {Py_tp_getset, getset},
    {0, nullptr}};

PyType_Spec representable_type_spec = {
    "velmar.utils.representable.Representable", sizeof(RepresentableObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE, slots};

int exec_representable(PyObject* module) {
    Ref type = Ref::steal(reinterpret_cast<PyObject*>(velmar::add_type(module, &representable_type_spec)));
    return type ? 0 : -1;
}

}  // namespace

VELMAR_MODULE(representable, "Representable, the base that prints the package's records.", nullptr, exec_representable)

// JSON text identical to the host's json.dumps for the settings we use.
#pragma once
#include "common/py.hpp"
#include "core/buffer.hpp"

#include <string>
#include <string_view>

namespace aw {

using JsonBuf = Buffer;

struct JsonOptions {
    bool ensure_ascii = true;
    bool sort_keys = false;
    bool default_str = false;  // default=str; otherwise TypeError as json.dumps
    int indent = -1;           // -1: one line with ", " and ": "
    // Optional conversion tried before default=str for values JSON cannot
    // represent: a new reference to write instead, or nullptr (no error) to
    // fall through.
    PyObject* (*convert)(PyObject*) = nullptr;
    // Report a value that contains itself as RecursionError (as a deep copy
    // made before serializing would) instead of json's ValueError.
    bool cycles_as_recursion = false;
};

// Appends a str (exact or not: its characters) as a JSON string literal.
void json_write_str(JsonBuf& out, PyObject* s, bool ensure_ascii);

// Appends the JSON text of the common plain values (exact str, None, bools,
// empty list or dict) directly; false when v needs the full writer. Runs no
// Python code.
inline bool json_write_simple(JsonBuf& out, PyObject* v, bool ensure_ascii) {
    if (PyUnicode_CheckExact(v)) {
        json_write_str(out, v, ensure_ascii);
        return true;
    }
    if (v == Py_None) { out.put("null", 4); return true; }
    if (v == Py_True) { out.put("true", 4); return true; }
    if (v == Py_False) { out.put("false", 5); return true; }
    if (PyList_CheckExact(v) && PyList_GET_SIZE(v) == 0) { out.put("[]", 2); return true; }
    if (PyDict_CheckExact(v) && PyDict_GET_SIZE(v) == 0) { out.put("{}", 2); return true; }
    return false;
}

// Appends an exact list of exact str on one line ("[\"a\", \"b\"]"); false,
// with nothing written, for anything else. Runs no Python code.
bool json_write_str_list(JsonBuf& out, PyObject* v, bool ensure_ascii);

// Appends the JSON text of v. Returns false with a Python error set
// (TypeError, ValueError for cycles, RecursionError for deep nesting).
bool json_write(JsonBuf& out, PyObject* v, const JsonOptions& opt);
bool json_write(std::string& out, PyObject* v, const JsonOptions& opt);

// len() of the text json_write would append with ensure_ascii off (the
// sizes we report), without writing it.
bool json_size(PyObject* v, JsonOptions opt, size_t& code_points);

// The same length for values made only of exact str, int, float, bool, None
// and exact tuples, lists and dicts with str keys, nested a few levels at
// most: false (no error set) for anything else, which the full count then
// measures. Runs no Python code. Lists and dicts are counted only in the
// first owned_levels levels, which the caller made and holds alone: only
// then is the size the same whenever the value is measured.
bool json_plain_size(PyObject* v, size_t& code_points, int owned_levels = 0);

// Appends s as a JSON string literal (UTF-8 in, escapes as json.dumps).
void json_write_string(JsonBuf& out, std::string_view s, bool ensure_ascii);
void json_write_string(std::string& out, std::string_view s, bool ensure_ascii);

}  // namespace aw

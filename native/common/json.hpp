// JSON text identical to the host's json.dumps for the settings we use.
#pragma once
#include "common/py.hpp"

#include <string>
#include <string_view>

namespace aw {

struct JsonOptions {
    bool ensure_ascii = true;
    bool sort_keys = false;
    bool default_str = false;  // default=str; otherwise TypeError as json.dumps
    int indent = -1;           // -1: one line with ", " and ": "
    // Optional conversion tried before default=str for values JSON cannot
    // represent: a new reference to write instead, or nullptr (no error) to
    // fall through.
    PyObject* (*convert)(PyObject*) = nullptr;
};

// Appends the JSON text of v. Returns false with a Python error set
// (TypeError, ValueError for cycles, RecursionError for deep nesting).
bool json_write(std::string& out, PyObject* v, const JsonOptions& opt);

// Appends s as a JSON string literal (UTF-8 in, escapes as json.dumps).
void json_write_string(std::string& out, std::string_view s, bool ensure_ascii);

}  // namespace aw

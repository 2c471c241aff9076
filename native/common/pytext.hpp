// Bridges between Python objects and UTF-8 text, with the host's own rules.
#pragma once
#include "common/py.hpp"

#include <string>
#include <string_view>

namespace aw {

// Appends a str (subclasses included) as UTF-8; lone surrogates are kept.
void append_str(std::string& out, PyObject* s);
std::string to_utf8(PyObject* s);

// A new str from UTF-8 produced by this library (surrogates allowed).
PyObject* new_str(std::string_view s);

// repr(float): shortest round-trip digits, Python's exponent thresholds.
// Writes at most 32 characters to buf and returns their count.
size_t float_repr(char* buf, double x);
void append_float_repr(std::string& out, double x);

// Appends str(v). Returns false with a Python error set on failure.
bool append_plain_text(std::string& out, PyObject* v);

// Python's truth value of a loose input value; -1 on error.
inline int is_present(PyObject* v) { return v == nullptr || v == Py_None ? 0 : PyObject_IsTrue(v); }

}  // namespace aw

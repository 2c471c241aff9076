// Bridges between Python objects and UTF-8 text, with the host's own rules.
#pragma once
#include "common/py.hpp"

#include "core/text.hpp"

#include <cstring>
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

// Borrowed UTF-8 view of a str; ASCII strings are not copied.
struct TextView {
    std::string storage;
    std::string_view view;
    explicit TextView(PyObject* s) {
        if (PyUnicode_IS_ASCII(s)) {
            view = std::string_view(static_cast<const char*>(PyUnicode_DATA(s)),
                                    static_cast<size_t>(PyUnicode_GET_LENGTH(s)));
        } else {
            append_str(storage, s);
            view = storage;
        }
    }
};

// TypeError "fn() argument 'arg' must be str, not ..." unless v is a str.
bool require_str(PyObject* v, const char* fn, const char* arg);
// TypeError "... must be a real number, not ..." unless v is a numbers.Real.
bool require_real(PyObject* v, const char* fn, const char* arg);

// Adds the str items of a caller's iterable (only they can equal a token).
bool load_words(PyObject* iterable, WordSet& out);

// estimate_tokens for a text of n code points, by the host's arithmetic:
// natively for a float or int divisor, else the divisor's own operators;
// TypeError for a divisor that is no numbers.Real.
PyObject* estimate_tokens_for(Py_ssize_t n, PyObject* chars_per_token);

// Calls fn(index, item) for each item " ".join(seq) takes, with join's
// TypeError for a non-str item; false with a Python error set. fn must run no
// Python code (the items are read in place).
template <class Fn>
bool for_each_join_item(PyObject* seq, Fn&& fn) {
    Ref items(PySequence_Fast(seq, "can only join an iterable"));
    if (!items) return false;
    for (Py_ssize_t i = 0, n = PySequence_Fast_GET_SIZE(items.get()); i < n; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
        if (!PyUnicode_Check(item)) {
            PyErr_Format(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found", i,
                         Py_TYPE(item)->tp_name);
            return false;
        }
        fn(i, item);
    }
    return true;
}

// a == b for two exact str (no Python code runs: their equality is their text).
inline bool same_text(PyObject* a, PyObject* b) {
    if (a == b) return true;
#if PY_VERSION_HEX < 0x030C0000
    if (!PyUnicode_IS_READY(a) || !PyUnicode_IS_READY(b)) return PyUnicode_Compare(a, b) == 0;
#endif
    const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    if (n != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(n) * PyUnicode_KIND(a)) == 0;
}

// Python's truth value of a loose input value; -1 on error.
inline int is_present(PyObject* v) {
    if (v == nullptr || v == Py_None) return 0;
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_CheckExact(v) && PyUnicode_IS_READY(v)) return PyUnicode_GET_LENGTH(v) != 0;
#else
    if (PyUnicode_CheckExact(v)) return PyUnicode_GET_LENGTH(v) != 0;
#endif
    return PyObject_IsTrue(v);
}

}  // namespace aw

#include "common/pytext.hpp"

#include "common/unicode.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace aw {

void append_str(std::string& out, PyObject* s) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const void* data = PyUnicode_DATA(s);
    int kind = PyUnicode_KIND(s);
    if (PyUnicode_IS_ASCII(s)) {
        out.append(static_cast<const char*>(data), static_cast<size_t>(n));
        return;
    }
    out.reserve(out.size() + static_cast<size_t>(n) * 2);
    for (Py_ssize_t i = 0; i < n; ++i) utf8_append(out, PyUnicode_READ(kind, data, i));
}

std::string to_utf8(PyObject* s) {
    std::string out;
    append_str(out, s);
    return out;
}

PyObject* new_str(std::string_view s) {
    if (is_ascii(s)) {
        PyObject* r = PyUnicode_New(static_cast<Py_ssize_t>(s.size()), 127);
        if (r) std::memcpy(PyUnicode_DATA(r), s.data(), s.size());
        return r;
    }
    return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogatepass");
}

void append_float_repr(std::string& out, double x) {
    if (std::isnan(x)) { out += "nan"; return; }
    if (std::isinf(x)) { out += x < 0 ? "-inf" : "inf"; return; }
    if (x == 0) { out += std::signbit(x) ? "-0.0" : "0.0"; return; }
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
    // buf: [-]d[.ddd]e[+-]xx
    const char* p = buf;
    const char* end = res.ptr;
    if (*p == '-') { out.push_back('-'); ++p; }
    char digits[32];
    int nd = 0;
    const char* q = p;
    for (; q < end && *q != 'e'; ++q)
        if (*q != '.') digits[nd++] = *q;
    int exp10 = 0;
    std::from_chars(q + 1 + (q[1] == '+'), end, exp10);
    int decpt = exp10 + 1;  // digits are 0.d1d2... * 10^decpt
    if (decpt <= -4 || decpt > 16) {
        out.push_back(digits[0]);
        if (nd > 1) { out.push_back('.'); out.append(digits + 1, nd - 1); }
        out.push_back('e');
        out.push_back(exp10 < 0 ? '-' : '+');
        int e = exp10 < 0 ? -exp10 : exp10;
        if (e < 10) out.push_back('0');
        out += std::to_string(e);
    } else if (decpt <= 0) {
        out += "0.";
        out.append(static_cast<size_t>(-decpt), '0');
        out.append(digits, nd);
    } else if (decpt >= nd) {
        out.append(digits, nd);
        out.append(static_cast<size_t>(decpt - nd), '0');
        out += ".0";
    } else {
        out.append(digits, decpt);
        out.push_back('.');
        out.append(digits + decpt, nd - decpt);
    }
}

bool append_plain_text(std::string& out, PyObject* v) {
    if (PyUnicode_CheckExact(v)) { append_str(out, v); return true; }
    if (v == Py_None) { out += "None"; return true; }
    if (v == Py_True) { out += "True"; return true; }
    if (v == Py_False) { out += "False"; return true; }
    if (PyLong_CheckExact(v)) {
        int overflow = 0;
        long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (!overflow) { out += std::to_string(x); return true; }
    } else if (PyFloat_CheckExact(v)) {
        append_float_repr(out, PyFloat_AS_DOUBLE(v));
        return true;
    }
    Ref s(PyObject_Str(v));
    if (!s) return false;
    append_str(out, s.get());
    return true;
}

}  // namespace aw

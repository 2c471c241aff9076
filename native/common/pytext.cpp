#include "common/pytext.hpp"

#include "core/unicode.hpp"

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

size_t float_repr(char* out, double x) {
    char* o = out;
    auto put = [&](const char* s, size_t n) { std::memcpy(o, s, n); o += n; };
    if (std::isnan(x)) { put("nan", 3); return 3; }
    if (std::isinf(x)) {
        if (x < 0) put("-inf", 4); else put("inf", 3);
        return static_cast<size_t>(o - out);
    }
    if (x == 0) {
        if (std::signbit(x)) put("-0.0", 4); else put("0.0", 3);
        return static_cast<size_t>(o - out);
    }
    // A decimal of at most six places that reads back as x is its shortest
    // repr: no two decimals of up to 15 digits read back as the same double.
    // Scores are such decimals (rounded to six places).
    const double ax = std::fabs(x);
    if (ax >= 1e-4 && ax < 1e9) {
        const long long r = static_cast<long long>(std::nearbyint(ax * 1e6));
        if (static_cast<double>(r) / 1e6 == ax) {
            if (x < 0) *o++ = '-';
            o = std::to_chars(o, o + 20, r / 1000000).ptr;
            *o++ = '.';
            long long frac = r % 1000000;
            int width = 6;
            if (frac == 0) width = 1;
            else
                while (frac % 10 == 0) { frac /= 10; --width; }
            for (int k = width - 1; k >= 0; --k, frac /= 10) o[k] = static_cast<char>('0' + frac % 10);
            return static_cast<size_t>(o + width - out);
        }
    }
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
    // buf: [-]d[.ddd]e[+-]xx
    const char* p = buf;
    const char* end = res.ptr;
    if (*p == '-') { *o++ = '-'; ++p; }
    char digits[32];
    int nd = 0;
    const char* q = p;
    for (; q < end && *q != 'e'; ++q)
        if (*q != '.') digits[nd++] = *q;
    int exp10 = 0;
    std::from_chars(q + 1 + (q[1] == '+'), end, exp10);
    int decpt = exp10 + 1;  // digits are 0.d1d2... * 10^decpt
    if (decpt <= -4 || decpt > 16) {
        *o++ = digits[0];
        if (nd > 1) { *o++ = '.'; put(digits + 1, static_cast<size_t>(nd - 1)); }
        *o++ = 'e';
        *o++ = exp10 < 0 ? '-' : '+';
        int e = exp10 < 0 ? -exp10 : exp10;
        if (e < 10) *o++ = '0';
        o = std::to_chars(o, o + 4, e).ptr;
    } else if (decpt <= 0) {
        put("0.", 2);
        for (int k = 0; k < -decpt; ++k) *o++ = '0';
        put(digits, static_cast<size_t>(nd));
    } else if (decpt >= nd) {
        put(digits, static_cast<size_t>(nd));
        for (int k = 0; k < decpt - nd; ++k) *o++ = '0';
        put(".0", 2);
    } else {
        put(digits, static_cast<size_t>(decpt));
        *o++ = '.';
        put(digits + decpt, static_cast<size_t>(nd - decpt));
    }
    return static_cast<size_t>(o - out);
}

void append_float_repr(std::string& out, double x) {
    char buf[40];
    out.append(buf, float_repr(buf, x));
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

bool require_str(PyObject* v, const char* fn, const char* arg) {
    if (PyUnicode_Check(v)) return true;
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be str, not %.200s", fn, arg, Py_TYPE(v)->tp_name);
    return false;
}

bool require_real(PyObject* v, const char* fn, const char* arg) {
    if (PyFloat_Check(v) || PyLong_Check(v)) return true;
    Ref numbers(PyImport_ImportModule("numbers"));
    Ref real(numbers ? PyObject_GetAttrString(numbers.get(), "Real") : nullptr);
    int is_real = real ? PyObject_IsInstance(v, real.get()) : -1;
    if (is_real < 0) return false;
    if (!is_real)
        PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be a real number, not %.200s", fn, arg,
                     Py_TYPE(v)->tp_name);
    return is_real;
}

bool load_words(PyObject* iterable, WordSet& out) {
    Ref it(PyObject_GetIter(iterable));
    if (!it) return false;
    while (PyObject* item = PyIter_Next(it.get())) {
        Ref hold(item);
        if (PyUnicode_Check(item)) out.add(to_utf8(item));
    }
    return !PyErr_Occurred();
}

namespace {
// max(1, c) for an int c, by the host's comparison.
PyObject* at_least_one(Ref c) {
    if (!c) return nullptr;
    Ref one(PyLong_FromLong(1));
    int gt = one ? PyObject_RichCompareBool(c.get(), one.get(), Py_GT) : -1;
    if (gt < 0) return nullptr;
    return gt ? c.release() : one.release();
}
}  // namespace

PyObject* estimate_tokens_for(Py_ssize_t n, PyObject* cpt) {
    // checked first, as the host checks it, even for an empty text
    if (cpt && !require_real(cpt, "estimate_tokens", "chars_per_token")) return nullptr;
    if (n == 0) return PyLong_FromLong(0);
    double divisor = 4.0;
    bool native = true;
    if (cpt) {
        if (PyFloat_CheckExact(cpt)) {
            divisor = PyFloat_AS_DOUBLE(cpt);
        } else if (PyLong_CheckExact(cpt) || PyBool_Check(cpt)) {
            int overflow = 0;
            long long d = PyLong_AsLongLongAndOverflow(cpt, &overflow);
            if (overflow || d > (1LL << 53) || d < -(1LL << 53)) native = false;
            else divisor = static_cast<double>(d);
            if (!overflow && d == 0) {
                PyErr_SetString(PyExc_ZeroDivisionError, "division by zero");
                return nullptr;
            }
        } else {
            native = false;
        }
    }
    if (native) {
        if (divisor == 0.0) {
            PyErr_SetString(PyExc_ZeroDivisionError, "float division by zero");
            return nullptr;
        }
        // a NaN or an infinity raises here as math.ceil does
        return PyLong_FromDouble(estimate_tokens(static_cast<size_t>(n), divisor));
    }
    // Any other number type: the host's own division and ceiling.
    Ref len(PyLong_FromSsize_t(n));
    Ref q(len ? PyNumber_TrueDivide(len.get(), cpt) : nullptr);
    if (!q) return nullptr;
    if (PyFloat_Check(q.get())) return at_least_one(Ref(PyLong_FromDouble(std::ceil(PyFloat_AS_DOUBLE(q.get())))));
    Ref math(PyImport_ImportModule("math"));
    return at_least_one(Ref(math ? PyObject_CallMethod(math.get(), "ceil", "O", q.get()) : nullptr));
}

}  // namespace aw

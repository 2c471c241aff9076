#include "common/json.hpp"

#include "common/pytext.hpp"
#include "core/unicode.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <unordered_set>
#include <vector>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace aw {

namespace {
const char kHex[] = "0123456789abcdef";

// The length of the run at the start of p[0, n) that JSON writes as is: no
// control character, '"' or '\\' (and, for ASCII output, no byte from 0x7F up).
inline size_t plain_run(const char* p, size_t n, bool ensure_ascii) {
    size_t i = 0;
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\'), below = _mm_set1_epi8(0x1F),
                  del = _mm_set1_epi8(0x7F);
    auto hits = [&](__m128i v) {
        __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                                   _mm_cmpeq_epi8(_mm_min_epu8(v, below), v));
        if (ensure_ascii)  // DEL, and every byte from 0x80 (negative as signed)
            hit = _mm_or_si128(_mm_or_si128(hit, _mm_cmpeq_epi8(v, del)), _mm_cmplt_epi8(v, _mm_setzero_si128()));
        return static_cast<unsigned>(_mm_movemask_epi8(hit));
    };
    for (; i + 16 <= n; i += 16)
        if (unsigned m = hits(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)))) return i + __builtin_ctz(m);
    if (i < n) {  // the tail, in a padded copy (never read past the text)
        alignas(16) char tail[16] = {};
        const size_t left = n - i;
        JsonBuf::copy_short(tail, p + i, left);
        unsigned m = hits(_mm_load_si128(reinterpret_cast<const __m128i*>(tail))) & ((1u << left) - 1);
        return m ? i + __builtin_ctz(m) : n;
    }
    return n;
#else
    for (; i < n; ++i) {
        const unsigned char b = static_cast<unsigned char>(p[i]);
        if (b < 0x20 || b == '"' || b == '\\' || (ensure_ascii && b >= 0x7F)) break;
    }
    return i;
#endif
}

void append_u_escape(JsonBuf& out, uint32_t c) {
    char e[6] = {'\\', 'u', kHex[(c >> 12) & 0xF], kHex[(c >> 8) & 0xF], kHex[(c >> 4) & 0xF], kHex[c & 0xF]};
    out.put(e, 6);
}
}  // namespace

void json_write_string(std::string& out, std::string_view s, bool ensure_ascii) {
    JsonBuf b;
    json_write_string(b, s, ensure_ascii);
    out.append(b.view());
}

void json_write_string(JsonBuf& out, std::string_view s, bool ensure_ascii) {
    const size_t n = s.size();
    auto run_end = [&](size_t i) { return i + plain_run(s.data() + i, n - i, ensure_ascii); };
    size_t run = run_end(0);
    if (run == n) {  // nothing to escape: the common case, written in one go
        char* at = out.extend(n + 2);
        at[0] = '"';
        JsonBuf::copy(at + 1, s.data(), n);
        at[n + 1] = '"';
        return;
    }
    out.put('"');
    for (size_t i = 0;; run = run_end(i)) {
        out.put(s.data() + i, run - i);
        i = run;
        if (i >= n) break;
        unsigned char b = static_cast<unsigned char>(s[i]);
        if (b >= 0x80) {
            uint32_t cp;
            size_t len = utf8_next(s, i, cp);
            if (cp >= 0x10000) {
                uint32_t v = cp - 0x10000;
                append_u_escape(out, 0xD800 | (v >> 10));
                append_u_escape(out, 0xDC00 | (v & 0x3FF));
            } else {
                append_u_escape(out, cp);
            }
            i += len;
            continue;
        }
        switch (b) {
            case '"': out.put("\\\"", 2); break;
            case '\\': out.put("\\\\", 2); break;
            case '\n': out.put("\\n", 2); break;
            case '\r': out.put("\\r", 2); break;
            case '\t': out.put("\\t", 2); break;
            case '\b': out.put("\\b", 2); break;
            case '\f': out.put("\\f", 2); break;
            default: append_u_escape(out, b);
        }
        ++i;
    }
    out.put('"');
}

namespace {

// Strong references to a dict's keys and values, on the stack when few.
class Snapshot {
public:
    explicit Snapshot(size_t n) : p_(n <= 32 ? small_ : new PyObject*[n]) {}
    ~Snapshot() {
        for (size_t i = 0; i < n_; ++i) Py_DECREF(p_[i]);
        if (p_ != small_) delete[] p_;
    }
    Snapshot(const Snapshot&) = delete;
    Snapshot& operator=(const Snapshot&) = delete;
    void push(PyObject* o) { p_[n_++] = Py_NewRef(o); }
    size_t size() const { return n_; }
    PyObject* operator[](size_t i) const { return p_[i]; }

private:
    PyObject* small_[32];
    PyObject** p_;
    size_t n_ = 0;
};

}  // namespace

void json_write_str(JsonBuf& out, PyObject* s, bool ensure_ascii) {
    if (PyUnicode_IS_ASCII(s)) {
        json_write_string(out, std::string_view(static_cast<const char*>(PyUnicode_DATA(s)),
                                                static_cast<size_t>(PyUnicode_GET_LENGTH(s))),
                          ensure_ascii);
    } else {
        json_write_string(out, to_utf8(s), ensure_ascii);
    }
}

bool json_write_str_list(JsonBuf& out, PyObject* v, bool ensure_ascii) {
    if (!PyList_CheckExact(v)) return false;
    const Py_ssize_t n = PyList_GET_SIZE(v);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!PyUnicode_CheckExact(PyList_GET_ITEM(v, i))) return false;
    out.put('[');
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (i) out.put(", ", 2);
        json_write_str(out, PyList_GET_ITEM(v, i), ensure_ascii);
    }
    out.put(']');
    return true;
}

namespace {

// A float as json.dumps writes it (NaN and the infinities by name); its length.
size_t float_text(char* buf, double x) {
    const std::string_view name = std::isnan(x) ? "NaN" : !std::isinf(x) ? "" : x > 0 ? "Infinity" : "-Infinity";
    if (name.empty()) return float_repr(buf, x);
    std::memcpy(buf, name.data(), name.size());
    return name.size();
}

// Where the writer's text goes: a buffer, or a count of the code points the
// text would have (sizes are measured without writing the text).
struct BufOut {
    JsonBuf& buf;
    void put(const char* p, size_t n) { buf.put(p, n); }
    void put(std::string_view t) { buf.put(t); }
    void put(char c) { buf.put(c); }
    void string(std::string_view utf8, bool ensure_ascii) { json_write_string(buf, utf8, ensure_ascii); }
    void string(PyObject* s, bool ensure_ascii) { json_write_str(buf, s, ensure_ascii); }
};

// Counts for ensure_ascii=False text only; everything put() directly is ASCII.
struct CountOut {
    size_t chars = 0;
    void put(const char*, size_t n) { chars += n; }
    void put(std::string_view t) { chars += t.size(); }
    void put(char) { ++chars; }
    // A literal of n code points, one more for '"' and '\\' and the five short
    // escapes, five more for any other control character.
    static size_t escape_extra(uint32_t c) {
        return (c == '"' || c == '\\' || c == '\n' || c == '\r' || c == '\t' || c == '\b' || c == '\f') ? 1 : 5;
    }
    template <class Unit>
    static size_t literal(const Unit* p, size_t n) {
        size_t extra = 0;
        for (size_t i = 0; i < n; ++i) {
            const uint32_t c = p[i];
            if (c >= 0x20 && c != '"' && c != '\\') continue;
            extra += escape_extra(c);
        }
        return n + 2 + extra;
    }
    // One byte a code point: the bytes that need escapes are found in blocks.
    static size_t literal(const Py_UCS1* p, size_t n) {
        size_t extra = 0;
        const char* text = reinterpret_cast<const char*>(p);
        for (size_t i = plain_run(text, n, false); i < n; i += 1 + plain_run(text + i + 1, n - i - 1, false))
            extra += escape_extra(p[i]);
        return n + 2 + extra;
    }
    void string(std::string_view utf8, bool) {
        JsonBuf b;
        json_write_string(b, utf8, false);
        chars += count_code_points(b.view());
    }
    void string(PyObject* s, bool) {
#if PY_VERSION_HEX < 0x030C0000
        if (!PyUnicode_IS_READY(s)) return string(to_utf8(s), false);
#endif
        const void* data = PyUnicode_DATA(s);
        const size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(s));
        switch (PyUnicode_KIND(s)) {
            case PyUnicode_1BYTE_KIND: chars += literal(static_cast<const Py_UCS1*>(data), n); break;
            case PyUnicode_2BYTE_KIND: chars += literal(static_cast<const Py_UCS2*>(data), n); break;
            default: chars += literal(static_cast<const Py_UCS4*>(data), n); break;
        }
    }
};

template <class Out>
class Writer {
public:
    Writer(Out& out, const JsonOptions& opt) : out_(out), opt_(opt) {}

    bool value(PyObject* v, int level) {
        if (PyUnicode_Check(v)) { string(v); return true; }
        if (v == Py_None) { out_.put("null", 4); return true; }
        if (v == Py_True) { out_.put("true", 4); return true; }
        if (v == Py_False) { out_.put("false", 5); return true; }
        // the common exact kinds first (their checks cost no subtype walk)
        if (PyDict_CheckExact(v)) return object(v, level);
        if (PyList_CheckExact(v)) return array(v, level);
        if (PyFloat_CheckExact(v)) { real(PyFloat_AS_DOUBLE(v)); return true; }
        if (PyLong_Check(v)) return integer(v);
        if (PyFloat_Check(v)) { real(PyFloat_AS_DOUBLE(v)); return true; }
        if (PyList_Check(v) || PyTuple_Check(v)) return array(v, level);
        if (PyDict_Check(v)) return object(v, level);
        return fallback(v, level);
    }

private:
    Out& out_;
    const JsonOptions& opt_;
    std::vector<PyObject*> markers_;  // containers on the current path

    void string(PyObject* s) { out_.string(s, opt_.ensure_ascii); }

    bool integer(PyObject* v) {
        int overflow = 0;
        long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (!overflow && !(x == -1 && PyErr_Occurred())) {
            char buf[24];
            auto r = std::to_chars(buf, buf + sizeof buf, x);
            out_.put(buf, static_cast<size_t>(r.ptr - buf));
            return true;
        }
        PyErr_Clear();
        Ref s(PyLong_Type.tp_repr(v));  // int.__repr__, as json does for subclasses
        if (!s) return false;
        out_.put(to_utf8(s.get()));
        return true;
    }

    void real(double x) {
        char buf[40];
        out_.put(buf, float_text(buf, x));
    }

    bool enter(PyObject* v) {
        if (std::find(markers_.begin(), markers_.end(), v) != markers_.end()) {
            if (opt_.cycles_as_recursion)
                PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while copying a value");
            else
                PyErr_SetString(PyExc_ValueError, "Circular reference detected");
            return false;
        }
        markers_.push_back(v);
        return true;
    }
    void leave(PyObject*) { markers_.pop_back(); }

    void newline(int level) {
        out_.put('\n');
        for (size_t k = static_cast<size_t>(opt_.indent) * static_cast<size_t>(level); k; --k) out_.put(' ');
    }
    void item_separator(int level) {
        if (opt_.indent >= 0) { out_.put(','); newline(level); }
        else out_.put(", ", 2);
    }

    bool array(PyObject* v, int level) {
        Ref seq(PySequence_Fast(v, "expected a sequence"));
        if (!seq) return false;
        if (PySequence_Fast_GET_SIZE(seq.get()) == 0) { out_.put("[]", 2); return true; }
        RecursionGuard guard(" while encoding a JSON object");
        if (!guard.ok() || !enter(v)) return false;
        out_.put('[');
        if (opt_.indent >= 0) newline(level + 1);
        // A default=str hook may shrink the list while we walk it.
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
            if (i) item_separator(level + 1);
            Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(seq.get(), i));
            if (!value(item.get(), level + 1)) return false;
        }
        if (opt_.indent >= 0) newline(level);
        out_.put(']');
        leave(v);
        return true;
    }

    bool key(PyObject* k) {
        if (PyUnicode_Check(k)) { string(k); return true; }
        std::string text;
        if (k == Py_True) text = "true";
        else if (k == Py_False) text = "false";
        else if (k == Py_None) text = "null";
        else if (PyLong_Check(k)) {
            Ref s(PyLong_Type.tp_repr(k));
            if (!s) return false;
            append_str(text, s.get());
        } else {
            PyErr_Format(PyExc_TypeError, "keys must be str, int, float, bool or None, not %s",
                         Py_TYPE(k)->tp_name);
            return false;
        }
        out_.string(std::string_view(text), opt_.ensure_ascii);
        return true;
    }

    bool object(PyObject* v, int level) {
        if (PyDict_GET_SIZE(v) == 0) { out_.put("{}", 2); return true; }
        RecursionGuard guard(" while encoding a JSON object");
        if (!guard.ok() || !enter(v)) return false;
        if (PyDict_CheckExact(v) && !opt_.sort_keys) return plain_object(v, level);
        Ref items(PyMapping_Items(v));
        if (!items) return false;
        if (opt_.sort_keys && !sort_items(items.get())) return false;
        out_.put('{');
        if (opt_.indent >= 0) newline(level + 1);
        Py_ssize_t n = PyList_GET_SIZE(items.get());
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* pair = PyList_GET_ITEM(items.get(), i);
            if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
                PyErr_SetString(PyExc_ValueError, "items must return 2-tuples");
                return false;
            }
            if (i) item_separator(level + 1);
            PyObject* k = PyTuple_GET_ITEM(pair, 0);
            if (PyFloat_Check(k)) {
                out_.put('"');
                real(PyFloat_AS_DOUBLE(k));
                out_.put('"');
            } else if (!key(k)) {
                return false;
            }
            out_.put(": ", 2);
            if (!value(PyTuple_GET_ITEM(pair, 1), level + 1)) return false;
        }
        if (opt_.indent >= 0) newline(level);
        out_.put('}');
        leave(v);
        return true;
    }

    // An exact dict in insertion order, from a snapshot of its entries (a
    // default=str hook may change the dict while we write).
    bool plain_object(PyObject* v, int level) {
        Snapshot entries(static_cast<size_t>(PyDict_GET_SIZE(v)) * 2);
        Py_ssize_t pos = 0;
        PyObject *k, *val;
        while (PyDict_Next(v, &pos, &k, &val)) {
            entries.push(k);
            entries.push(val);
        }
        out_.put('{');
        if (opt_.indent >= 0) newline(level + 1);
        for (size_t i = 0; i < entries.size(); i += 2) {
            if (i) item_separator(level + 1);
            PyObject* key_obj = entries[i];
            if (PyUnicode_Check(key_obj)) {
                string(key_obj);
            } else if (PyFloat_Check(key_obj)) {
                out_.put('"');
                real(PyFloat_AS_DOUBLE(key_obj));
                out_.put('"');
            } else if (!key(key_obj)) {
                return false;
            }
            out_.put(": ", 2);
            if (!value(entries[i + 1], level + 1)) return false;
        }
        if (opt_.indent >= 0) newline(level);
        out_.put('}');
        leave(v);
        return true;
    }

    // sorted(d.items()): natively when every key is an exact str (keys are
    // then distinct, so the order is code-point order of the keys), else by
    // the host's own list sort.
    static bool sort_items(PyObject* items) {
        Py_ssize_t n = PyList_GET_SIZE(items);
        std::vector<std::pair<std::string, PyObject*>> keyed;
        keyed.reserve(static_cast<size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* pair = PyList_GET_ITEM(items, i);
            PyObject* k = PyTuple_Check(pair) && PyTuple_GET_SIZE(pair) == 2 ? PyTuple_GET_ITEM(pair, 0) : nullptr;
            if (!k || !PyUnicode_CheckExact(k)) return PyList_Sort(items) == 0;
            keyed.emplace_back(to_utf8(k), pair);
        }
        std::stable_sort(keyed.begin(), keyed.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        std::vector<PyObject*> order;
        order.reserve(keyed.size());
        for (auto& kv : keyed) { Py_INCREF(kv.second); order.push_back(kv.second); }
        for (Py_ssize_t i = 0; i < n; ++i) PyList_SetItem(items, i, order[static_cast<size_t>(i)]);
        return true;
    }

    bool fallback(PyObject* v, int level) {
        if (opt_.convert) {
            Ref c(opt_.convert(v));
            if (c) {
                RecursionGuard guard(" while encoding a JSON object");
                return guard.ok() && value(c.get(), level);
            }
            if (PyErr_Occurred()) return false;
        }
        if (!opt_.default_str) {
            PyErr_Format(PyExc_TypeError, "Object of type %s is not JSON serializable", Py_TYPE(v)->tp_name);
            return false;
        }
        if (!enter(v)) return false;
        Ref s(PyObject_Str(v));
        if (!s) return false;
        bool ok = value(s.get(), level);
        leave(v);
        return ok;
    }
};

}  // namespace

bool json_write(JsonBuf& out, PyObject* v, const JsonOptions& opt) {
    if (json_write_simple(out, v, opt.ensure_ascii)) return true;
    BufOut to{out};
    Writer<BufOut> w(to, opt);
    return w.value(v, 0);
}

bool json_size(PyObject* v, JsonOptions opt, size_t& code_points) {
    opt.ensure_ascii = false;
    CountOut count;
    Writer<CountOut> w(count, opt);
    if (!w.value(v, 0)) return false;
    code_points = count.chars;
    return true;
}

namespace {

bool plain_size(PyObject* v, CountOut& out, int depth, int owned) {
    if (PyUnicode_CheckExact(v)) {
        out.string(v, false);
        return true;
    }
    if (v == Py_None || v == Py_True) { out.chars += 4; return true; }
    if (v == Py_False) { out.chars += 5; return true; }
    if (PyFloat_CheckExact(v)) {
        char buf[40];
        out.chars += float_text(buf, PyFloat_AS_DOUBLE(v));
        return true;
    }
    if (PyLong_CheckExact(v)) {
        int overflow = 0;
        const long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow || (x == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            return false;
        }
        char buf[24];
        out.chars += static_cast<size_t>(std::to_chars(buf, buf + sizeof buf, x).ptr - buf);
        return true;
    }
    if (depth >= 8) return false;  // deep or circular: the full count reports it
    const bool list = PyList_CheckExact(v);
    if ((list && owned > 0) || PyTuple_CheckExact(v)) {
        const Py_ssize_t n = list ? PyList_GET_SIZE(v) : PyTuple_GET_SIZE(v);
        out.chars += n ? 2 * static_cast<size_t>(n) : 2;  // brackets and ", " between items
        for (Py_ssize_t i = 0; i < n; ++i)
            if (!plain_size(list ? PyList_GET_ITEM(v, i) : PyTuple_GET_ITEM(v, i), out, depth + 1, owned - 1))
                return false;
        return true;
    }
    if (PyDict_CheckExact(v) && owned > 0) {
        const Py_ssize_t n = PyDict_GET_SIZE(v);
        out.chars += n ? 4 * static_cast<size_t>(n) : 2;  // braces, ": " and ", " between items
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(v, &pos, &key, &value)) {
            if (!PyUnicode_CheckExact(key)) return false;
            out.string(key, false);
            if (!plain_size(value, out, depth + 1, owned - 1)) return false;
        }
        return true;
    }
    return false;
}

}  // namespace

bool json_plain_size(PyObject* v, size_t& code_points, int owned_levels) {
    CountOut count;
    if (!plain_size(v, count, 0, owned_levels)) return false;
    code_points = count.chars;
    return true;
}

bool json_write(std::string& out, PyObject* v, const JsonOptions& opt) {
    JsonBuf b;
    if (!json_write(b, v, opt)) return false;
    out.append(b.view());
    return true;
}

}  // namespace aw

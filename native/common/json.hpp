// JSON text identical to the host's json.dumps for the settings we use.
#pragma once
#include "common/py.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

namespace aw {

// Growable output buffer for JSON text (cheaper than std::string appends).
class JsonBuf {
public:
    JsonBuf() = default;
    JsonBuf(const JsonBuf&) = delete;
    JsonBuf& operator=(const JsonBuf&) = delete;
    ~JsonBuf() { std::free(p_); }
    void put(const char* s, size_t n) {
        copy(extend(n), s, n);
    }
    // Room for n more bytes at the end, to be written at the pointer returned.
    char* extend(size_t n) {
        if (n > cap_ - size_) grow(n);
        char* at = p_ + size_;
        size_ += n;
        return at;
    }
    // Short pieces (most of a JSON text) are copied inline: a memcpy call
    // costs more than the copy.
    static void copy(char* d, const char* s, size_t n) {
        if (n > 16) std::memcpy(d, s, n);
        else copy_short(d, s, n);
    }
    static void copy_short(char* d, const char* s, size_t n) {  // n <= 16
        if (n >= 8) {
            uint64_t a, b;
            std::memcpy(&a, s, 8);
            std::memcpy(&b, s + n - 8, 8);
            std::memcpy(d, &a, 8);
            std::memcpy(d + n - 8, &b, 8);
        } else if (n >= 4) {
            uint32_t a, b;
            std::memcpy(&a, s, 4);
            std::memcpy(&b, s + n - 4, 4);
            std::memcpy(d, &a, 4);
            std::memcpy(d + n - 4, &b, 4);
        } else if (n) {
            d[0] = s[0];
            d[n / 2] = s[n / 2];
            d[n - 1] = s[n - 1];
        }
    }
    void put(std::string_view s) { put(s.data(), s.size()); }
    void put(char c) {
        if (size_ == cap_) grow(1);
        p_[size_++] = c;
    }
    void reserve(size_t n) {
        if (n > cap_ - size_) grow(n);
    }
    void clear() { size_ = 0; }
    size_t size() const { return size_; }
    std::string_view view() const { return std::string_view(p_, size_); }

private:
    void grow(size_t n) {
        size_t cap = cap_ ? cap_ : 256;
        while (cap - size_ < n) cap *= 2;
        char* p = static_cast<char*>(std::realloc(p_, cap));
        if (!p) throw std::bad_alloc();
        p_ = p;
        cap_ = cap;
    }
    char* p_ = nullptr;
    size_t size_ = 0, cap_ = 0;
};

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

// Appends the JSON text of v. Returns false with a Python error set
// (TypeError, ValueError for cycles, RecursionError for deep nesting).
bool json_write(JsonBuf& out, PyObject* v, const JsonOptions& opt);
bool json_write(std::string& out, PyObject* v, const JsonOptions& opt);

// len() of the text json_write would append with ensure_ascii off (the
// sizes we report), without writing it.
bool json_size(PyObject* v, JsonOptions opt, size_t& code_points);

// Appends s as a JSON string literal (UTF-8 in, escapes as json.dumps).
void json_write_string(JsonBuf& out, std::string_view s, bool ensure_ascii);
void json_write_string(std::string& out, std::string_view s, bool ensure_ascii);

}  // namespace aw

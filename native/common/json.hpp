// JSON text identical to the host's json.dumps for the settings we use.
#pragma once
#include "common/py.hpp"

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
        if (n > cap_ - size_) grow(n);
        std::memcpy(p_ + size_, s, n);
        size_ += n;
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

// Appends the JSON text of the common plain values (exact str, None, bools,
// empty list or dict) directly; false when v needs the full writer.
bool json_write_simple(JsonBuf& out, PyObject* v, bool ensure_ascii);

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

#pragma once
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

namespace aw {

// Growable byte buffer for text written piece by piece (cheaper than
// std::string appends); movable, so a full buffer can be handed on whole.
class Buffer {
public:
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    Buffer(Buffer&& o) noexcept { swap(o); }
    Buffer& operator=(Buffer&& o) noexcept {
        swap(o);
        return *this;
    }
    ~Buffer() { std::free(p_); }
    void swap(Buffer& o) noexcept {
        std::swap(p_, o.p_);
        std::swap(size_, o.size_);
        std::swap(cap_, o.cap_);
    }
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
        if (n > 32) {
            std::memcpy(d, s, n);
        } else if (n > 16) {  // two overlapping 16-byte moves
            char a[16], b[16];
            std::memcpy(a, s, 16);
            std::memcpy(b, s + n - 16, 16);
            std::memcpy(d, a, 16);
            std::memcpy(d + n - 16, b, 16);
        } else {
            copy_short(d, s, n);
        }
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

}  // namespace aw

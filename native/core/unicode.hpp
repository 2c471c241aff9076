// UTF-8 text handling shared by both modules.
//
// Text is kept as UTF-8 in which lone surrogates (legal in Python strings) are
// written as ordinary 3-byte sequences, so every Python string round-trips.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace aw {

// Decodes the code point starting at s[i]; returns its byte length (>= 1).
// Input produced by this library is always well formed.
inline size_t utf8_next(std::string_view s, size_t i, uint32_t& cp) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) { cp = c; return 1; }
    size_t n = s.size();
    if (c >= 0xF0 && i + 3 < n) {
        cp = ((c & 0x07u) << 18) | ((s[i + 1] & 0x3Fu) << 12) | ((s[i + 2] & 0x3Fu) << 6) | (s[i + 3] & 0x3Fu);
        return 4;
    }
    if (c >= 0xE0 && i + 2 < n) {
        cp = ((c & 0x0Fu) << 12) | ((s[i + 1] & 0x3Fu) << 6) | (s[i + 2] & 0x3Fu);
        return 3;
    }
    if (c >= 0xC0 && i + 1 < n) {
        cp = ((c & 0x1Fu) << 6) | (s[i + 1] & 0x3Fu);
        return 2;
    }
    cp = 0xFFFD;  // malformed: never produced by our own encoder
    return 1;
}

inline void utf8_append(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Number of code points (Python's len()).
inline size_t count_code_points(std::string_view s) {
    // Every byte but a continuation byte (10xxxxxx) starts a code point.
    size_t n = s.size(), cont = 0, i = 0;
#if defined(__SSE2__)
    // 16 bytes a step: per-byte counters, summed every 255 steps (before
    // they can overflow).
    const __m128i zero = _mm_setzero_si128(), top2 = _mm_set1_epi8(static_cast<char>(0xC0)),
                  cont_mark = _mm_set1_epi8(static_cast<char>(0x80));
    while (i + 16 <= n) {
        __m128i counts = zero;
        for (int step = 0; step < 255 && i + 16 <= n; ++step, i += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.data() + i));
            counts = _mm_sub_epi8(counts, _mm_cmpeq_epi8(_mm_and_si128(v, top2), cont_mark));
        }
        const __m128i sums = _mm_sad_epu8(counts, zero);
        cont += static_cast<size_t>(_mm_cvtsi128_si32(sums)) + static_cast<size_t>(_mm_extract_epi16(sums, 4));
    }
#endif
    for (; i + 8 <= n; i += 8) {
        uint64_t x;
        std::memcpy(&x, s.data() + i, 8);
        // one bit per continuation byte, summed by a multiply (no popcount
        // instruction is assumed)
        uint64_t marks = (x & ~(x << 1) & 0x8080808080808080ULL) >> 7;
        cont += static_cast<size_t>((marks * 0x0101010101010101ULL) >> 56);
    }
    for (; i < n; ++i) cont += (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80;
    return n - cont;
}

inline bool is_ascii(std::string_view s) {
    size_t i = 0;
    uint64_t acc = 0;
    for (; i + 8 <= s.size(); i += 8) {
        uint64_t x;
        std::memcpy(&x, s.data() + i, 8);
        acc |= x;
    }
    for (; i < s.size(); ++i) acc |= static_cast<unsigned char>(s[i]);
    return (acc & 0x8080808080808080ULL) == 0;
}

// Character classes as the host's str methods define them (ASCII inline,
// the rest from tables).
bool is_alnum_table(uint32_t cp);
bool is_space_table(uint32_t cp);
bool is_decimal_table(uint32_t cp);
inline bool is_alnum(uint32_t cp) {  // str.isalnum
    if (cp < 0x80) return (cp | 0x20) - 'a' < 26 || cp - '0' < 10;
    return is_alnum_table(cp);
}
inline bool is_space(uint32_t cp) {  // str.isspace
    if (cp < 0x80) return cp == ' ' || (cp >= 0x09 && cp <= 0x0D) || (cp >= 0x1C && cp <= 0x1F);
    return is_space_table(cp);
}
inline bool is_decimal(uint32_t cp) {  // str.isdecimal
    if (cp < 0x80) return cp - '0' < 10;
    return is_decimal_table(cp);
}
int decimal_value(uint32_t cp);  // unicodedata.decimal for is_decimal code points
bool is_case_ignorable(uint32_t cp);
bool is_cased(uint32_t cp);  // cased and not case-ignorable

// Case data of the host's regular expressions (IGNORECASE).
bool re_cased(uint32_t cp);
uint32_t re_lower(uint32_t cp);
// The other forms the host adds to a cased literal's lowercase form (two
// code points, the second possibly 0), or null.
const uint32_t* re_extra_cases(uint32_t lowered);
// Appends every non-ASCII code point that re_lower maps to another.
void re_lower_sources(std::vector<uint32_t>& out);

// Single-code-point lowercase mapping (U+0130 and U+03A3 excluded: they need
// lower_append's full mapping and context).
uint32_t lower_simple(uint32_t cp);

// Appends str.lower() of text (full mapping, final sigma) to out.
void lower_append(std::string_view text, std::string& out);

// Identifier splitting: '_', '-', '.' become spaces, a space goes before
// every ASCII capital that is not the first character, then str.lower().
void split_identifier_append(std::string_view text, std::string& out);

// Calls fn(std::string_view) for every maximal run of [a-zA-Z0-9_] in text.
template <class Fn>
inline void for_each_word(std::string_view text, Fn&& fn) {
    size_t i = 0, n = text.size();
    while (i < n) {
        while (i < n) {
            unsigned char c = static_cast<unsigned char>(text[i]);
            if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || (c >= 'A' && c <= 'Z')) break;
            ++i;
        }
        size_t start = i;
        while (i < n) {
            unsigned char c = static_cast<unsigned char>(text[i]);
            if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || (c >= 'A' && c <= 'Z'))) break;
            ++i;
        }
        if (i > start) fn(text.substr(start, i - start));
    }
}

}  // namespace aw

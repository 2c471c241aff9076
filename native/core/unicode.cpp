#include "core/unicode.hpp"

#include <algorithm>
#include <vector>

namespace aw {
namespace {
#include "core/unicode_data.inc"

// The one lookup of every table: the first row whose last column (a range's
// end) or first column (a key) is not below cp.
template <size_t N, size_t W>
size_t lower_row(const uint32_t (&table)[N][W], uint32_t cp, size_t column) {
    size_t lo = 0, hi = N;
    while (lo < hi) {
        size_t mid = (lo + hi) / 2;
        if (table[mid][column] < cp) lo = mid + 1;
        else hi = mid;
    }
    return lo;
}
template <size_t N>
bool in_ranges(const uint32_t (&table)[N][2], uint32_t cp) {
    size_t row = lower_row(table, cp, 1);
    return row < N && table[row][0] <= cp;
}
// The row keyed by cp (first column), or null.
template <size_t N, size_t W>
const uint32_t* keyed_row(const uint32_t (&table)[N][W], uint32_t cp) {
    size_t row = lower_row(table, cp, 0);
    return row < N && table[row][0] == cp ? table[row] : nullptr;
}

inline bool is_ascii_upper(uint32_t c) { return c >= 'A' && c <= 'Z'; }
}  // namespace

bool is_alnum_table(uint32_t cp) { return in_ranges(kAlnum, cp); }
bool is_space_table(uint32_t cp) { return in_ranges(kSpace, cp); }
bool is_decimal_table(uint32_t cp) { return in_ranges(kDecimal, cp); }
int decimal_value(uint32_t cp) {
    if (cp < 0x80) return static_cast<int>(cp - '0');
    // Every run of decimal digits starts at a zero.
    return static_cast<int>((cp - kDecimal[lower_row(kDecimal, cp, 1)][0]) % 10);
}

bool is_case_ignorable(uint32_t cp) { return in_ranges(kCaseIgnorable, cp); }
bool is_cased(uint32_t cp) { return in_ranges(kCasedNotIgnorable, cp); }

uint32_t lower_simple(uint32_t cp) {
    if (cp < 0x80) return is_ascii_upper(cp) ? cp + 32 : cp;
    const uint32_t* row = keyed_row(kLowerMap, cp);
    return row ? row[1] : cp;
}

bool re_cased(uint32_t cp) { return in_ranges(kReCased, cp); }

const uint32_t* re_extra_cases(uint32_t lowered) {
    const uint32_t* row = keyed_row(kReExtraCases, lowered);
    return row ? row + 1 : nullptr;
}

uint32_t re_lower(uint32_t cp) {
    if (cp < 0x80) return cp - 'A' < 26 ? cp + 32 : cp;
    const uint32_t* row = keyed_row(kReLower, cp);
    return row ? row[1] : cp;
}

void re_lower_sources(std::vector<uint32_t>& out) {
    for (const auto& row : kReLower)
        if (row[0] >= 0x80) out.push_back(row[0]);
}

namespace {
// Final_Sigma: cased (case-ignorable)* SIGMA not followed by (case-ignorable)* cased.
bool final_sigma(std::string_view text, size_t at, size_t len) {
    // backwards
    size_t j = at;
    bool found = false;
    uint32_t c = 0;
    while (j > 0) {
        size_t k = j - 1;
        while (k > 0 && (static_cast<unsigned char>(text[k]) & 0xC0) == 0x80) --k;
        utf8_next(text, k, c);
        j = k;
        if (!is_case_ignorable(c)) { found = true; break; }
    }
    if (!found || !is_cased(c)) return false;
    size_t i = at + len;
    while (i < text.size()) {
        i += utf8_next(text, i, c);
        if (!is_case_ignorable(c)) return !is_cased(c);
    }
    return true;
}
}  // namespace

void lower_append(std::string_view text, std::string& out) {
    size_t i = 0, n = text.size();
    // The ASCII part (mostly all of it) is written in place.
    const size_t base = out.size();
    out.resize(base + n);
    char* d = out.data() + base;
    for (; i < n; ++i) {
        const unsigned char b = static_cast<unsigned char>(text[i]);
        if (b >= 0x80) break;
        d[i] = static_cast<char>(is_ascii_upper(b) ? b + 32 : b);
    }
    out.resize(base + i);
    while (i < n) {
        unsigned char b = static_cast<unsigned char>(text[i]);
        if (b < 0x80) {
            out.push_back(static_cast<char>(is_ascii_upper(b) ? b + 32 : b));
            ++i;
            continue;
        }
        uint32_t cp;
        size_t len = utf8_next(text, i, cp);
        if (cp == 0x130) {
            out.push_back('i');
            utf8_append(out, 0x307);
        } else if (cp == 0x3A3) {
            utf8_append(out, final_sigma(text, i, len) ? 0x3C2 : 0x3C3);
        } else {
            utf8_append(out, lower_simple(cp));
        }
        i += len;
    }
}

void split_identifier_append(std::string_view text, std::string& out) {
    auto sep = [](unsigned char c) { return c == '_' || c == '-' || c == '.'; };
    if (is_ascii(text)) {
        // written in place: at most two bytes a byte
        const size_t base = out.size();
        out.resize(base + 2 * text.size());
        char* const start = out.data() + base;
        char* d = start;
        for (size_t i = 0; i < text.size(); ++i) {
            unsigned char c = static_cast<unsigned char>(text[i]);
            if (sep(c)) {
                *d++ = ' ';
            } else if (is_ascii_upper(c)) {
                if (i > 0) *d++ = ' ';
                *d++ = static_cast<char>(c + 32);
            } else {
                *d++ = static_cast<char>(c);
            }
        }
        out.resize(base + static_cast<size_t>(d - start));
        return;
    }
    // Final sigma looks at neighbours in the rewritten text, so rewrite first.
    std::string tmp;
    tmp.reserve(text.size() + text.size() / 4);
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (sep(c)) {
            tmp.push_back(' ');
        } else {
            if (is_ascii_upper(c) && i > 0) tmp.push_back(' ');
            tmp.push_back(static_cast<char>(c));
        }
    }
    lower_append(tmp, out);
}

}  // namespace aw

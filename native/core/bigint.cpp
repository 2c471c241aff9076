#include "core/bigint.hpp"

#include "core/unicode.hpp"

#include <algorithm>

namespace aw {

// Digits as ASCII (Unicode decimal digits mapped), other characters kept.
std::string ascii_digits(std::string_view text) {
    if (is_ascii(text)) return std::string(text);
    std::string out;
    for (size_t i = 0; i < text.size();) {
        uint32_t cp;
        i += utf8_next(text, i, cp);
        if (cp < 0x80) out.push_back(static_cast<char>(cp));
        else if (is_decimal(cp)) out.push_back(static_cast<char>('0' + decimal_value(cp)));
        else utf8_append(out, cp);
    }
    return out;
}

std::string decimal_digits(std::string_view digits) {
    std::string a = ascii_digits(digits);
    size_t nz = a.find_first_not_of('0');
    return nz == std::string::npos ? std::string("0") : a.substr(nz);
}

namespace {
using Limb = uint64_t;
using Big = std::vector<Limb>;  // little-endian, no high zero limbs

void trim(Big& a) {
    while (!a.empty() && a.back() == 0) a.pop_back();
}

// out[0..) += a, from limb `at`; out must be long enough for the carry.
void add_into(Big& out, const Limb* a, size_t na, size_t at) {
    unsigned __int128 carry = 0;
    size_t i = 0;
    for (; i < na; ++i) {
        carry += static_cast<unsigned __int128>(out[at + i]) + a[i];
        out[at + i] = static_cast<Limb>(carry);
        carry >>= 64;
    }
    for (size_t k = at + i; carry; ++k) {
        carry += out[k];
        out[k] = static_cast<Limb>(carry);
        carry >>= 64;
    }
}

// out -= a (out >= a)
void sub_from(Big& out, const Big& a) {
    unsigned __int128 borrow = 0;
    for (size_t i = 0; i < out.size(); ++i) {
        unsigned __int128 d = static_cast<unsigned __int128>(i < a.size() ? a[i] : 0) + borrow;
        borrow = out[i] < d;
        out[i] = static_cast<Limb>(out[i] - static_cast<Limb>(d));
    }
}

Big mul(const Limb* a, size_t na, const Limb* b, size_t nb);

Big school(const Limb* a, size_t na, const Limb* b, size_t nb) {
    Big out(na + nb, 0);
    for (size_t i = 0; i < na; ++i) {
        unsigned __int128 carry = 0;
        for (size_t j = 0; j < nb; ++j) {
            carry += static_cast<unsigned __int128>(a[i]) * b[j] + out[i + j];
            out[i + j] = static_cast<Limb>(carry);
            carry >>= 64;
        }
        out[i + nb] = static_cast<Limb>(carry);
    }
    return out;
}

Big mul(const Limb* a, size_t na, const Limb* b, size_t nb) {
    if (na < nb) return mul(b, nb, a, na);
    if (nb == 0) return Big();
    if (nb <= 32) {
        Big out = school(a, na, b, nb);
        trim(out);
        return out;
    }
    size_t m = na / 2;
    if (nb <= m) {  // lopsided: split the long factor only
        Big lo = mul(a, m, b, nb), hi = mul(a + m, na - m, b, nb);
        Big out(na + nb + 1, 0);
        add_into(out, lo.data(), lo.size(), 0);
        add_into(out, hi.data(), hi.size(), m);
        trim(out);
        return out;
    }
    // a = a1 B + a0, b = b1 B + b0 with B = 2^(64 m)
    auto sum = [m](const Limb* x, size_t n) {
        Big s(x, x + std::min(m, n));
        s.resize(std::max(m, n - m) + 1, 0);
        add_into(s, x + m, n - m, 0);
        trim(s);
        return s;
    };
    Big z0 = mul(a, m, b, m), z2 = mul(a + m, na - m, b + m, nb - m);
    Big sa = sum(a, na), sb = sum(b, nb);
    Big z1 = mul(sa.data(), sa.size(), sb.data(), sb.size());
    sub_from(z1, z0);
    sub_from(z1, z2);
    trim(z1);
    Big out(na + nb + 2, 0);
    add_into(out, z0.data(), z0.size(), 0);
    add_into(out, z1.data(), z1.size(), m);
    add_into(out, z2.data(), z2.size(), 2 * m);
    trim(out);
    return out;
}

constexpr size_t kChunk = 1024;  // digits converted directly

Big small_from_ascii(std::string_view s) {
    Big out;
    for (size_t i = 0; i < s.size();) {
        size_t take = std::min<size_t>(19, s.size() - i);
        Limb chunk = 0, scale = 1;
        for (size_t k = 0; k < take; ++k) {
            chunk = chunk * 10 + static_cast<Limb>(s[i + k] - '0');
            scale *= 10;
        }
        i += take;
        unsigned __int128 carry = chunk;
        for (Limb& l : out) {
            carry += static_cast<unsigned __int128>(l) * scale;
            l = static_cast<Limb>(carry);
            carry >>= 64;
        }
        if (carry) out.push_back(static_cast<Limb>(carry));
    }
    trim(out);
    return out;
}

Big from_ascii(std::string_view s, std::vector<Big>& powers) {
    if (s.size() <= kChunk) return small_from_ascii(s);
    size_t j = 0;
    while ((kChunk << (j + 1)) < s.size()) ++j;
    size_t low_len = kChunk << j;
    while (powers.size() <= j)
        powers.push_back(powers.empty() ? small_from_ascii("1" + std::string(kChunk, '0'))
                                        : mul(powers.back().data(), powers.back().size(), powers.back().data(),
                                              powers.back().size()));
    Big high = from_ascii(s.substr(0, s.size() - low_len), powers);
    Big low = from_ascii(s.substr(s.size() - low_len), powers);
    Big out = mul(high.data(), high.size(), powers[j].data(), powers[j].size());
    out.resize(std::max(out.size(), low.size()) + 1, 0);
    add_into(out, low.data(), low.size(), 0);
    trim(out);
    return out;
}

}  // namespace

std::vector<uint64_t> decimal_to_limbs(std::string_view digits) {
    std::vector<Big> powers;
    return from_ascii(digits, powers);
}

}  // namespace aw

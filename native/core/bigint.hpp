// Decimal digit runs of any length as exact integers: converted here rather
// than by the host's integer arithmetic (a million digits would take about a
// second there): 64-bit limbs, Karatsuba products, halves joined by cached
// powers of ten.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace aw {

// text with every Unicode decimal digit written as its ASCII digit; other
// characters kept.
std::string ascii_digits(std::string_view text);

// A run of decimal digits (any script) in canonical form: ASCII, no leading
// zeros, "0" for zero.
std::string decimal_digits(std::string_view digits);

// The value of a run of ASCII digits as little-endian 64-bit limbs, without
// high zero limbs (empty for zero).
std::vector<uint64_t> decimal_to_limbs(std::string_view ascii);

}  // namespace aw

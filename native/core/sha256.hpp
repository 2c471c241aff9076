#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace aw {

// SHA-256 over data given in pieces.
class Sha256 {
public:
    void update(std::string_view data);
    std::string hex();  // lowercase hexadecimal digest; ends the hash

private:
    uint32_t h_[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    unsigned char pending_[64];
    size_t pending_n_ = 0;
    uint64_t total_ = 0;
};

// Lowercase hexadecimal SHA-256 digest of data.
std::string sha256_hex(std::string_view data);

}  // namespace aw

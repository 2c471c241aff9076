#pragma once
#include "core/buffer.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

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

// SHA-256 and code-point count of a UTF-8 text handed over in pieces, worked
// on by a thread of its own, so the caller goes on meanwhile. Where no thread
// can be started the pieces are taken on the caller's thread.
class BackgroundDigest {
public:
    BackgroundDigest() = default;
    BackgroundDigest(const BackgroundDigest&) = delete;
    BackgroundDigest& operator=(const BackgroundDigest&) = delete;
    ~BackgroundDigest();  // waits for the worker
    // Takes piece's text without copying it; piece is left empty (with room
    // from an earlier piece when one is free).
    void add(Buffer& piece);
    // Waits for every piece; the digest in hexadecimal and the code points.
    std::string finish(size_t& code_points);

private:
    void run();
    void take(std::string_view piece);
    Sha256 sha_;
    size_t code_points_ = 0;
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<Buffer> queue_;
    std::vector<Buffer> spare_;  // taken pieces, emptied, for add to hand back
    static constexpr size_t kMaxQueued = 16;
    bool closed_ = false;
    bool tried_ = false;
    bool threaded_ = false;
    std::thread worker_;
};

}  // namespace aw

#include "core/sha256.hpp"

#include <system_error>

#include "core/unicode.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

#if defined(__x86_64__)
#include <immintrin.h>
#define AW_HAVE_SHANI 1
#endif

namespace aw {
namespace {
const uint32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

inline uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void block(uint32_t h[8], const unsigned char* p) {
    uint32_t w[64];
    for (int i = 0; i < 16; ++i)
        w[i] = (uint32_t(p[4 * i]) << 24) | (uint32_t(p[4 * i + 1]) << 16) | (uint32_t(p[4 * i + 2]) << 8) | p[4 * i + 3];
    for (int i = 16; i < 64; ++i) {
        uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
    for (int i = 0; i < 64; ++i) {
        uint32_t S1 = rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25);
        uint32_t ch = (e & f) ^ (~e & g);
        uint32_t t1 = hh + S1 + ch + K[i] + w[i];
        uint32_t S0 = rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22);
        uint32_t mj = (a & b) ^ (a & c) ^ (b & c);
        uint32_t t2 = S0 + mj;
        hh = g; g = f; f = e; e = d + t1; d = c; c = b; b = a; a = t1 + t2;
    }
    h[0] += a; h[1] += b; h[2] += c; h[3] += d; h[4] += e; h[5] += f; h[6] += g; h[7] += hh;
}
#ifdef AW_HAVE_SHANI
// The same compression with the CPU's SHA extensions (Intel's published
// instruction sequence); chosen at run time when the CPU has them.
__attribute__((target("sha,sse4.1"))) void blocks_shani(uint32_t h[8], const unsigned char* p, size_t nblocks) {
    const __m128i MASK = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    __m128i TMP = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&h[0]));
    __m128i STATE1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&h[4]));
    TMP = _mm_shuffle_epi32(TMP, 0xB1);
    STATE1 = _mm_shuffle_epi32(STATE1, 0x1B);
    __m128i STATE0 = _mm_alignr_epi8(TMP, STATE1, 8);
    STATE1 = _mm_blend_epi16(STATE1, TMP, 0xF0);
    auto k4 = [](int i) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(&K[i])); };
    for (; nblocks; --nblocks, p += 64) {
    const __m128i ABEF_SAVE = STATE0, CDGH_SAVE = STATE1;
    __m128i MSG, MSG0, MSG1, MSG2, MSG3;

    MSG0 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 0)), MASK);
    MSG1 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)), MASK);
    MSG2 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32)), MASK);
    MSG3 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48)), MASK);

    // rounds 0-3
    MSG = _mm_add_epi32(MSG0, k4(0));
    STATE1 = _mm_sha256rnds2_epu32(STATE1, STATE0, MSG);
    STATE0 = _mm_sha256rnds2_epu32(STATE0, STATE1, _mm_shuffle_epi32(MSG, 0x0E));
    // rounds 4-7
    MSG = _mm_add_epi32(MSG1, k4(4));
    STATE1 = _mm_sha256rnds2_epu32(STATE1, STATE0, MSG);
    STATE0 = _mm_sha256rnds2_epu32(STATE0, STATE1, _mm_shuffle_epi32(MSG, 0x0E));
    MSG0 = _mm_sha256msg1_epu32(MSG0, MSG1);
    // rounds 8-11
    MSG = _mm_add_epi32(MSG2, k4(8));
    STATE1 = _mm_sha256rnds2_epu32(STATE1, STATE0, MSG);
    STATE0 = _mm_sha256rnds2_epu32(STATE0, STATE1, _mm_shuffle_epi32(MSG, 0x0E));
    MSG1 = _mm_sha256msg1_epu32(MSG1, MSG2);
    // rounds 12-59, four at a time, the message registers taking turns
#define AW_SHA_ROUNDS(cur, prev, next, k)                                          \
    MSG = _mm_add_epi32(cur, k4(k));                                               \
    STATE1 = _mm_sha256rnds2_epu32(STATE1, STATE0, MSG);                           \
    TMP = _mm_alignr_epi8(cur, prev, 4);                                           \
    next = _mm_sha256msg2_epu32(_mm_add_epi32(next, TMP), cur);                    \
    STATE0 = _mm_sha256rnds2_epu32(STATE0, STATE1, _mm_shuffle_epi32(MSG, 0x0E));  \
    prev = _mm_sha256msg1_epu32(prev, cur);
    AW_SHA_ROUNDS(MSG3, MSG2, MSG0, 12)
    AW_SHA_ROUNDS(MSG0, MSG3, MSG1, 16)
    AW_SHA_ROUNDS(MSG1, MSG0, MSG2, 20)
    AW_SHA_ROUNDS(MSG2, MSG1, MSG3, 24)
    AW_SHA_ROUNDS(MSG3, MSG2, MSG0, 28)
    AW_SHA_ROUNDS(MSG0, MSG3, MSG1, 32)
    AW_SHA_ROUNDS(MSG1, MSG0, MSG2, 36)
    AW_SHA_ROUNDS(MSG2, MSG1, MSG3, 40)
    AW_SHA_ROUNDS(MSG3, MSG2, MSG0, 44)
    AW_SHA_ROUNDS(MSG0, MSG3, MSG1, 48)
    AW_SHA_ROUNDS(MSG1, MSG0, MSG2, 52)
    AW_SHA_ROUNDS(MSG2, MSG1, MSG3, 56)
#undef AW_SHA_ROUNDS
    // rounds 60-63
    MSG = _mm_add_epi32(MSG3, k4(60));
    STATE1 = _mm_sha256rnds2_epu32(STATE1, STATE0, MSG);
    STATE0 = _mm_sha256rnds2_epu32(STATE0, STATE1, _mm_shuffle_epi32(MSG, 0x0E));

    STATE0 = _mm_add_epi32(STATE0, ABEF_SAVE);
    STATE1 = _mm_add_epi32(STATE1, CDGH_SAVE);
    }
    TMP = _mm_shuffle_epi32(STATE0, 0x1B);
    STATE1 = _mm_shuffle_epi32(STATE1, 0xB1);
    STATE0 = _mm_blend_epi16(TMP, STATE1, 0xF0);
    STATE1 = _mm_alignr_epi8(STATE1, TMP, 8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&h[0]), STATE0);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&h[4]), STATE1);
}

bool has_shani() {
    static const bool yes = __builtin_cpu_supports("sha") && __builtin_cpu_supports("sse4.1");
    return yes;
}
#endif

void compress(uint32_t h[8], const unsigned char* p, size_t nblocks = 1) {
#ifdef AW_HAVE_SHANI
    if (has_shani()) { blocks_shani(h, p, nblocks); return; }
#endif
    for (; nblocks; --nblocks, p += 64) block(h, p);
}
}  // namespace

void Sha256::update(std::string_view data) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(data.data());
    size_t n = data.size();
    if (n == 0) return;  // an empty view may have no data pointer
    total_ += n;
    if (pending_n_) {
        size_t take = std::min(n, 64 - pending_n_);
        std::memcpy(pending_ + pending_n_, p, take);
        pending_n_ += take;
        p += take;
        n -= take;
        if (pending_n_ < 64) return;
        compress(h_, pending_);
        pending_n_ = 0;
    }
    if (n >= 64) {
        compress(h_, p, n / 64);
        p += n / 64 * 64;
        n %= 64;
    }
    std::memcpy(pending_, p, n);
    pending_n_ = n;
}

std::string Sha256::hex() {
    unsigned char tail[128] = {0};
    std::memcpy(tail, pending_, pending_n_);
    tail[pending_n_] = 0x80;
    size_t len = pending_n_ + 1 + 8 <= 64 ? 64 : 128;
    uint64_t bits = total_ * 8;
    for (int k = 0; k < 8; ++k) tail[len - 1 - k] = static_cast<unsigned char>(bits >> (8 * k));
    compress(h_, tail);
    if (len == 128) compress(h_, tail + 64);
    static const char digits[] = "0123456789abcdef";
    std::string out(64, '0');
    for (int k = 0; k < 8; ++k)
        for (int j = 0; j < 8; ++j) out[8 * k + j] = digits[(h_[k] >> (28 - 4 * j)) & 0xF];
    return out;
}

std::string sha256_hex(std::string_view data) {
    Sha256 h;
    h.update(data);
    return h.hex();
}

void BackgroundDigest::take(std::string_view piece) {
    sha_.update(piece);
    code_points_ += count_code_points(piece);
}

void BackgroundDigest::add(Buffer& piece) {
    if (!tried_) {
        tried_ = true;
        try {
            worker_ = std::thread([this] { run(); });
            threaded_ = true;
        } catch (const std::system_error&) {
            // no thread to be had: take pieces here
        }
    }
    if (!threaded_) {
        take(piece.view());
        piece.clear();
        return;
    }
    {
        // a bounded queue: a slow hash holds the writer back rather than
        // keeping the whole text twice
        std::unique_lock<std::mutex> lock(m_);
        cv_.wait(lock, [this] { return queue_.size() < kMaxQueued; });
        queue_.push_back(std::move(piece));
        if (!spare_.empty()) {
            piece = std::move(spare_.back());
            spare_.pop_back();
        }
    }
    piece.clear();
    cv_.notify_all();
}

void BackgroundDigest::run() {
    for (;;) {
        Buffer piece;
        {
            std::unique_lock<std::mutex> lock(m_);
            cv_.wait(lock, [this] { return closed_ || !queue_.empty(); });
            if (queue_.empty()) return;
            piece = std::move(queue_.front());
            queue_.pop_front();
        }
        cv_.notify_all();
        take(piece.view());
        try {
            std::lock_guard<std::mutex> lock(m_);
            spare_.push_back(std::move(piece));
        } catch (const std::bad_alloc&) {
            // no room to keep it: the writer allocates its own
        }
    }
}

std::string BackgroundDigest::finish(size_t& code_points) {
    if (worker_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(m_);
            closed_ = true;
        }
        cv_.notify_all();
        worker_.join();
    }
    code_points = code_points_;
    return sha_.hex();
}

BackgroundDigest::~BackgroundDigest() {
    if (!worker_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(m_);
        closed_ = true;
        queue_.clear();
    }
    cv_.notify_all();
    worker_.join();
}

}  // namespace aw

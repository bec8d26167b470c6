#include "core/Sha256.h"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TQ_SHA_X86 1
#endif

namespace tallyquill {

namespace {

constexpr uint32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr std::array<uint32_t, 8> kInitial = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                              0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

inline uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void portableBlocks(uint32_t* state, const unsigned char* p, size_t blocks)
{
    for (; blocks > 0; --blocks, p += 64) {
        uint32_t w[64];
        for (int i = 0; i < 16; ++i)
            w[i] = uint32_t(p[4 * i]) << 24 | uint32_t(p[4 * i + 1]) << 16 | uint32_t(p[4 * i + 2]) << 8
                   | uint32_t(p[4 * i + 3]);
        for (int i = 16; i < 64; ++i) {
            const uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        for (int i = 0; i < 64; ++i) {
            const uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + K[i] + w[i];
            const uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
}

#ifdef TQ_SHA_X86
// Four rounds per step with the SHA extensions; the state travels as the
// (ABEF, CDGH) pair those instructions take.
__attribute__((target("sha,sse4.1"))) void instructionBlocks(uint32_t* state, const unsigned char* p, size_t blocks)
{
    const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    __m128i tmp = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[0])), 0xB1);
    __m128i state1 = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[4])), 0x1B);
    __m128i state0 = _mm_alignr_epi8(tmp, state1, 8);
    state1 = _mm_blend_epi16(state1, tmp, 0xF0);
    for (; blocks > 0; --blocks, p += 64) {
        const __m128i abef = state0, cdgh = state1;
        __m128i w[4];
#pragma GCC unroll 16
        for (int g = 0; g < 16; ++g) {
            __m128i& now = w[g & 3];
            if (g < 4) {
                now = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * g)), byteSwap);
            } else {
                // w[g] = msg2(msg1(w[g-4], w[g-3]) + the words seven back, w[g-1])
                __m128i next = _mm_sha256msg1_epu32(now, w[(g - 3) & 3]);
                next = _mm_add_epi32(next, _mm_alignr_epi8(w[(g - 1) & 3], w[(g - 2) & 3], 4));
                now = _mm_sha256msg2_epu32(next, w[(g - 1) & 3]);
            }
            __m128i msg = _mm_add_epi32(now, _mm_loadu_si128(reinterpret_cast<const __m128i*>(&K[4 * g])));
            state1 = _mm_sha256rnds2_epu32(state1, state0, msg);
            msg = _mm_shuffle_epi32(msg, 0x0E);
            state0 = _mm_sha256rnds2_epu32(state0, state1, msg);
        }
        state0 = _mm_add_epi32(state0, abef);
        state1 = _mm_add_epi32(state1, cdgh);
    }
    tmp = _mm_shuffle_epi32(state0, 0x1B);
    state1 = _mm_shuffle_epi32(state1, 0xB1);
    state0 = _mm_blend_epi16(tmp, state1, 0xF0);
    state1 = _mm_alignr_epi8(state1, tmp, 8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[0]), state0);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[4]), state1);
}
#endif

} // namespace

bool Sha256::hasInstructions()
{
#ifdef TQ_SHA_X86
    static const bool has = __builtin_cpu_supports("sha") && __builtin_cpu_supports("sse4.1");
    return has;
#else
    return false;
#endif
}

Sha256::Sha256() : Sha256(hasInstructions() ? Path::Instructions : Path::Portable) {}

Sha256::Sha256(Path path) : blocks_(portableBlocks)
{
#ifdef TQ_SHA_X86
    if (path == Path::Instructions && hasInstructions())
        blocks_ = instructionBlocks;
#else
    (void)path;
#endif
    reset();
}

void Sha256::reset()
{
    state_ = kInitial;
    pendingSize_ = 0;
    total_ = 0;
}

void Sha256::add(const void* data, size_t size)
{
    auto p = static_cast<const unsigned char*>(data);
    total_ += size;
    if (pendingSize_ > 0) {
        const size_t n = std::min(size, pending_.size() - pendingSize_);
        std::memcpy(pending_.data() + pendingSize_, p, n);
        pendingSize_ += n;
        p += n;
        size -= n;
        if (pendingSize_ < pending_.size())
            return;
        blocks_(state_.data(), pending_.data(), 1);
        pendingSize_ = 0;
    }
    if (size >= 64) {
        blocks_(state_.data(), p, size / 64);
        p += size / 64 * 64;
        size %= 64;
    }
    std::memcpy(pending_.data(), p, size);
    pendingSize_ = size;
}

QByteArray Sha256::finish()
{
    const uint64_t bits = total_ * 8;
    unsigned char tail[72] = {0x80};
    const size_t padding = (pendingSize_ < 56 ? 56 : 120) - pendingSize_;
    for (int i = 0; i < 8; ++i)
        tail[padding + size_t(i)] = static_cast<unsigned char>(bits >> (56 - 8 * i));
    add(tail, padding + 8);
    QByteArray out(32, Qt::Uninitialized);
    for (size_t i = 0; i < 8; ++i)
        for (size_t b = 0; b < 4; ++b)
            out[qsizetype(4 * i + b)] = char(state_[i] >> (24 - 8 * b));
    reset();
    return out;
}

} // namespace tallyquill

// SHA-256 (FIPS 180-4). The block functions share one padding and length
// logic: the x86 SHA extensions where the CPU has them, else unrolled scalar
// rounds (built a second time for CPUs with BMI2 rotates). The choice is made
// once from CPUID. Whole blocks are hashed straight from the caller's buffer;
// only the padded tail is ever copied, into one local block.
#include "digest/sha256.h"

#include <bit>
#include <cstdio>
#include <cstring>
#include <utility>

#if defined(__x86_64__) || defined(__i386__)
#define SHA256_X86 1
#include <cpuid.h>
#include <immintrin.h>
#endif

extern "C" {

alignas(64) const uint32_t ROUND_CONSTANTS[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

// The initial hash value is published as bytes, but holds host-order words.
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define SHA256_HOST_WORD(w) (w) & 0xff, ((w) >> 8) & 0xff, ((w) >> 16) & 0xff, ((w) >> 24) & 0xff
#else
#define SHA256_HOST_WORD(w) ((w) >> 24) & 0xff, ((w) >> 16) & 0xff, ((w) >> 8) & 0xff, (w) & 0xff
#endif
alignas(16) const unsigned char DEFAULT_SHA256[32] = {
    SHA256_HOST_WORD(0x6a09e667u), SHA256_HOST_WORD(0xbb67ae85u),
    SHA256_HOST_WORD(0x3c6ef372u), SHA256_HOST_WORD(0xa54ff53au),
    SHA256_HOST_WORD(0x510e527fu), SHA256_HOST_WORD(0x9b05688cu),
    SHA256_HOST_WORD(0x1f83d9abu), SHA256_HOST_WORD(0x5be0cd19u),
};
#undef SHA256_HOST_WORD

sha256_converter p_convert_int32_to_big_endian = convert_int32_big_endian;
sha256_converter p_convert_int64_to_big_endian = convert_int64_big_endian;

}  // extern "C"

namespace {

constexpr char SPACED_FORMAT[] = "%08x %08x %08x %08x %08x %08x %08x %08x";
constexpr std::size_t SPACED_SIZE = 72;

using block_function = void (*)(uint32_t* h, const unsigned char* data, std::size_t blocks);

// Byte shifts rather than a cast: correct on any host, and the compiler turns
// them into a single byte-swapping load.
inline uint32_t load_big_endian32(const unsigned char* p)
{
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

inline void store_big_endian64(unsigned char* p, uint64_t value)
{
    for (int i = 7; i >= 0; --i, value >>= 8)
        p[i] = static_cast<unsigned char>(value);
}

// ---- portable block function ----------------------------------------------

// Nested rotations need one scratch register where three separate ones need
// three; on x86 without three-operand rotates that saves the copies.
inline uint32_t big_sigma0(uint32_t x) { return std::rotr(std::rotr(std::rotr(x, 9) ^ x, 11) ^ x, 2); }
inline uint32_t big_sigma1(uint32_t x) { return std::rotr(std::rotr(std::rotr(x, 14) ^ x, 5) ^ x, 6); }
inline uint32_t small_sigma0(uint32_t x) { return std::rotr(std::rotr(x, 11) ^ x, 7) ^ (x >> 3); }
inline uint32_t small_sigma1(uint32_t x) { return std::rotr(std::rotr(x, 2) ^ x, 17) ^ (x >> 10); }
inline uint32_t choose(uint32_t e, uint32_t f, uint32_t g) { return ((f ^ g) & e) ^ g; }
inline uint32_t majority(uint32_t a, uint32_t b, uint32_t c) { return ((a ^ b) & (b ^ c)) ^ b; }

// Round I, with the working variables renamed instead of moved: a..h of round I
// live in s[(0 - I) & 7] .. s[(7 - I) & 7]. The schedule keeps only the last
// 16 words, W[I] overwriting W[I - 16] in place. Constant indices throughout
// let the compiler keep all of it in registers.
template <int I>
[[gnu::always_inline]] inline void portable_round(uint32_t (&s)[8], uint32_t (&w)[16],
                                                  const unsigned char* block)
{
    constexpr int a = (0 - I) & 7, b = (1 - I) & 7, c = (2 - I) & 7, d = (3 - I) & 7;
    constexpr int e = (4 - I) & 7, f = (5 - I) & 7, g = (6 - I) & 7, h = (7 - I) & 7;
    if constexpr (I < 16)
        w[I] = load_big_endian32(block + 4 * I);
    else
        w[I & 15] += small_sigma1(w[(I - 2) & 15]) + w[(I - 7) & 15] + small_sigma0(w[(I - 15) & 15]);
    // Sums ordered so that the chain from e to the next e is as short as can be.
    const uint32_t t1 = (s[h] + ROUND_CONSTANTS[I] + w[I & 15]) + choose(s[e], s[f], s[g]) + big_sigma1(s[e]);
    s[d] += t1;
    s[h] = t1 + big_sigma0(s[a]) + majority(s[a], s[b], s[c]);
}

template <int... I>
[[gnu::always_inline]] inline void portable_rounds(uint32_t (&s)[8], uint32_t (&w)[16],
                                                   const unsigned char* block,
                                                   std::integer_sequence<int, I...>)
{
    (portable_round<I>(s, w, block), ...);
}

[[gnu::always_inline]] inline void portable_blocks_body(uint32_t* h, const unsigned char* data,
                                                       std::size_t blocks)
{
    for (; blocks > 0; --blocks, data += SHA256_BLOCK_SIZE) {
        uint32_t s[8];
        uint32_t w[16];
        std::memcpy(s, h, sizeof s);
        portable_rounds(s, w, data, std::make_integer_sequence<int, 64>{});
        for (int i = 0; i < 8; ++i)
            h[i] += s[i];
    }
}

void portable_blocks(uint32_t* h, const unsigned char* data, std::size_t blocks)
{
    portable_blocks_body(h, data, blocks);
}

#ifdef SHA256_X86
// The same rounds where the CPU has three-operand rotates (rorx): most of the
// register copies of the plain build go away, a fifth or more of the time.
[[gnu::target("bmi2")]] void portable_bmi2_blocks(uint32_t* h, const unsigned char* data,
                                                  std::size_t blocks)
{
    portable_blocks_body(h, data, blocks);
}
#endif

// ---- SHA extensions block function ----------------------------------------

#ifdef SHA256_X86
#define SHA256_NI_TARGET gnu::target("sha,sse4.1")

// Four rounds G*4 .. G*4+3. The instructions keep the state as (A,B,E,F) and
// (C,D,G,H); the schedule words of the last four groups rotate through m[].
template <int G>
[[SHA256_NI_TARGET, gnu::always_inline]] inline void sha_ni_group(__m128i& abef, __m128i& cdgh,
                                                                 __m128i (&m)[4],
                                                                 const unsigned char* block,
                                                                 __m128i byte_order)
{
    constexpr int cur = G & 3, next = (G + 1) & 3, prev = (G + 3) & 3;
    if constexpr (G < 4)
        m[cur] = _mm_shuffle_epi8(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * G)), byte_order);
    __m128i words = _mm_add_epi32(
        m[cur], _mm_load_si128(reinterpret_cast<const __m128i*>(ROUND_CONSTANTS + 4 * G)));
    cdgh = _mm_sha256rnds2_epu32(cdgh, abef, words);
    if constexpr (G >= 3 && G < 15) {
        m[next] = _mm_add_epi32(m[next], _mm_alignr_epi8(m[cur], m[prev], 4));
        m[next] = _mm_sha256msg2_epu32(m[next], m[cur]);
    }
    words = _mm_shuffle_epi32(words, 0x0e);
    abef = _mm_sha256rnds2_epu32(abef, cdgh, words);
    if constexpr (G >= 1 && G < 13)
        m[prev] = _mm_sha256msg1_epu32(m[prev], m[cur]);
}

template <int... G>
[[SHA256_NI_TARGET, gnu::always_inline]] inline void sha_ni_rounds(__m128i& abef, __m128i& cdgh,
                                                                  const unsigned char* block,
                                                                  __m128i byte_order,
                                                                  std::integer_sequence<int, G...>)
{
    __m128i m[4];
    (sha_ni_group<G>(abef, cdgh, m, block, byte_order), ...);
}

[[SHA256_NI_TARGET]] void sha_ni_blocks(uint32_t* h, const unsigned char* data, std::size_t blocks)
{
    const __m128i byte_order = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
    const __m128i dcba = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(h)), 0xb1);
    const __m128i efgh = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(h + 4)), 0x1b);
    __m128i abef = _mm_alignr_epi8(dcba, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, dcba, 0xf0);

    for (; blocks > 0; --blocks, data += SHA256_BLOCK_SIZE) {
        const __m128i abef_before = abef;
        const __m128i cdgh_before = cdgh;
        sha_ni_rounds(abef, cdgh, data, byte_order, std::make_integer_sequence<int, 16>{});
        abef = _mm_add_epi32(abef, abef_before);
        cdgh = _mm_add_epi32(cdgh, cdgh_before);
    }

    const __m128i feba = _mm_shuffle_epi32(abef, 0x1b);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xb1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(h), _mm_blend_epi16(feba, dchg, 0xf0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(h + 4), _mm_alignr_epi8(dchg, feba, 8));
}

struct cpu_features {
    bool sha_ni;
    bool bmi2;
};

cpu_features read_cpu_features()
{
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx))
        return {};
    const bool sse41 = (ecx & bit_SSE4_1) != 0 && (ecx & bit_SSSE3) != 0;
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx))
        return {};
    return {sse41 && (ebx & bit_SHA) != 0, (ebx & bit_BMI2) != 0};
}

const cpu_features& cpu()
{
    static const cpu_features features = read_cpu_features();
    return features;
}
#endif

block_function detected_blocks()
{
#ifdef SHA256_X86
    static const block_function chosen = cpu().sha_ni ? sha_ni_blocks
                                         : cpu().bmi2 ? portable_bmi2_blocks
                                                      : portable_blocks;
    return chosen;
#else
    return portable_blocks;
#endif
}

block_function forced_blocks = nullptr;

inline void hash_blocks(uint32_t* h, const unsigned char* data, std::size_t blocks)
{
    (forced_blocks != nullptr ? forced_blocks : detected_blocks())(h, data, blocks);
}

int format_spaced(char* out, const sha256_digest& d)
{
    return std::snprintf(out, SPACED_SIZE, SPACED_FORMAT, d.h[0], d.h[1], d.h[2], d.h[3], d.h[4],
                         d.h[5], d.h[6], d.h[7]);
}

}  // namespace

void sha256_concatenated_hex(const sha256_digest& d, char (&hex)[65])
{
    std::snprintf(hex, sizeof hex, "%08x%08x%08x%08x%08x%08x%08x%08x", d.h[0], d.h[1], d.h[2], d.h[3], d.h[4],
                  d.h[5], d.h[6], d.h[7]);
}

// ---- incremental form -------------------------------------------------------

void sha256_begin(sha256_stream* stream)
{
    // The incremental form stands in for sha256, so it leaves the converter
    // pointers as sha256 would.
    p_convert_int64_to_big_endian = convert_int64_little_endian;
    p_convert_int32_to_big_endian = convert_int32_little_endian;
    std::memcpy(stream->h, DEFAULT_SHA256, sizeof stream->h);
    stream->length = 0;
}

void sha256_feed_blocks(sha256_stream* stream, const unsigned char* data, std::size_t blocks)
{
    if (blocks == 0)
        return;
    hash_blocks(stream->h, data, blocks);
    stream->length += uint64_t{blocks} * SHA256_BLOCK_SIZE;
}

sha256_digest sha256_finish(sha256_stream* stream, const unsigned char* tail, std::size_t tail_length)
{
    // Whole blocks in the tail are fed first; the padding needs less than one.
    sha256_feed_blocks(stream, tail, tail_length / SHA256_BLOCK_SIZE);
    tail += tail_length / SHA256_BLOCK_SIZE * SHA256_BLOCK_SIZE;
    tail_length %= SHA256_BLOCK_SIZE;

    unsigned char block[SHA256_BLOCK_SIZE] = {};
    if (tail_length > 0)
        std::memcpy(block, tail, tail_length);
    block[tail_length] = 0x80;
    if (tail_length >= 56) {
        // No room for the length: the marker's block goes out alone.
        hash_blocks(stream->h, block, 1);
        std::memset(block, 0, sizeof block);
    }
    store_big_endian64(block + 56, (stream->length + tail_length) * 8);
    hash_blocks(stream->h, block, 1);

    sha256_digest digest;
    std::memcpy(digest.h, stream->h, sizeof digest.h);
    return digest;
}

// ---- engine selection for tests and benchmarks ------------------------------

namespace {

block_function engine_blocks(sha256_engine engine)
{
    switch (engine) {
    case sha256_engine::automatic:
        return detected_blocks();
    case sha256_engine::portable:
        return portable_blocks;
#ifdef SHA256_X86
    case sha256_engine::portable_bmi2:
        return cpu().bmi2 ? portable_bmi2_blocks : nullptr;
    case sha256_engine::sha_ni:
        return cpu().sha_ni ? sha_ni_blocks : nullptr;
#else
    case sha256_engine::portable_bmi2:
    case sha256_engine::sha_ni:
        break;
#endif
    }
    return nullptr;
}

}  // namespace

bool sha256_use_engine(sha256_engine engine)
{
    const block_function blocks = engine_blocks(engine);
    if (blocks == nullptr)
        return false;
    forced_blocks = engine == sha256_engine::automatic ? nullptr : blocks;
    return true;
}

sha256_engine sha256_active_engine()
{
    const block_function active = forced_blocks != nullptr ? forced_blocks : detected_blocks();
    for (auto engine : {sha256_engine::portable, sha256_engine::portable_bmi2, sha256_engine::sha_ni})
        if (active == engine_blocks(engine))
            return engine;
    return sha256_engine::portable;
}

// ---- exported functions -----------------------------------------------------

extern "C" {

sha256_digest sha256(const void* data, uint64_t length)
{
    sha256_stream stream;
    sha256_begin(&stream);
    // Block positions are counted in 64 bits; a size_t may be narrower.
    auto bytes = static_cast<const unsigned char*>(data);
    constexpr uint64_t most_blocks = SIZE_MAX / SHA256_BLOCK_SIZE;
    for (uint64_t blocks = length / SHA256_BLOCK_SIZE; blocks > 0;) {
        const auto n = static_cast<std::size_t>(blocks < most_blocks ? blocks : most_blocks);
        sha256_feed_blocks(&stream, bytes, n);
        bytes += n * SHA256_BLOCK_SIZE;
        blocks -= n;
    }
    return sha256_finish(&stream, bytes, static_cast<std::size_t>(length % SHA256_BLOCK_SIZE));
}

sha256_digest sha256_string(const char* text)
{
    return sha256(text, std::strlen(text));
}

int sha256_hexdigest(char* out, const void* data, uint64_t length)
{
    return format_spaced(out, sha256(data, length));
}

int string_sha256_hexdigest(char* out, const char* text)
{
    return sha256_hexdigest(out, text, std::strlen(text));
}

int debug_print_digest(sha256_digest digest, int newline)
{
    const sha256_digest& d = digest;
    const int printed = std::printf(SPACED_FORMAT, d.h[0], d.h[1], d.h[2], d.h[3], d.h[4], d.h[5],
                                    d.h[6], d.h[7]);
    return newline != 0 ? std::putchar('\n') : printed;
}

void swap_bytes(unsigned char* a, unsigned char* b)
{
    const unsigned char t = *a;
    *a = *b;
    *b = t;
}

void* convert_int32_little_endian(void* bytes)
{
    auto p = static_cast<unsigned char*>(bytes);
    swap_bytes(p, p + 3);
    swap_bytes(p + 1, p + 2);
    return bytes;
}

void* convert_int64_little_endian(void* bytes)
{
    auto p = static_cast<unsigned char*>(bytes);
    for (int i = 0; i < 4; ++i)
        swap_bytes(p + i, p + 7 - i);
    return bytes;
}

void* convert_int32_big_endian(void* bytes) { return bytes; }

void* convert_int64_big_endian(void* bytes) { return bytes; }

int little_endian()
{
    const uint16_t one = 1;
    unsigned char first;
    std::memcpy(&first, &one, 1);
    return first;
}

uint32_t rotate_right(uint32_t value, uint32_t count)
{
    return std::rotr(value, static_cast<int>(count % 32));
}

}  // extern "C"

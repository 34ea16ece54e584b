// SHA-256 (FIPS 180-4) over a buffer in memory, its text forms, and the
// byte-order helpers it is built on.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

struct sha256_digest {
    uint32_t h[8];  // H0..H7 in host byte order
};

using sha256_converter = void* (*)(void* bytes);

extern const uint32_t ROUND_CONSTANTS[64];
extern const unsigned char DEFAULT_SHA256[32];
extern sha256_converter p_convert_int32_to_big_endian;
extern sha256_converter p_convert_int64_to_big_endian;

sha256_digest sha256(const void* data, uint64_t length);
sha256_digest sha256_string(const char* text);
int sha256_hexdigest(char* out, const void* data, uint64_t length);
int string_sha256_hexdigest(char* out, const char* text);
int debug_print_digest(sha256_digest digest, int newline);

void* convert_int32_little_endian(void* bytes);
void* convert_int64_little_endian(void* bytes);
void* convert_int32_big_endian(void* bytes);
void* convert_int64_big_endian(void* bytes);
int little_endian();
void swap_bytes(unsigned char* a, unsigned char* b);
uint32_t rotate_right(uint32_t value, uint32_t count);

}  // extern "C"

// The digest works on blocks of this many bytes; readers that hand it whole
// blocks read in multiples of it.
inline constexpr std::size_t SHA256_BLOCK_SIZE = 64;

// Incremental form used to hash a large mapping piece by piece. Not exported.
struct sha256_stream {
    uint32_t h[8];
    uint64_t length;  // bytes fed so far
};

// Also points the converter pointers as every call of sha256 does.
void sha256_begin(sha256_stream* stream);
// Feeds whole blocks; `blocks` counts blocks, not bytes.
void sha256_feed_blocks(sha256_stream* stream, const unsigned char* data, std::size_t blocks);
// Hashes the last `tail_length` (< SHA256_BLOCK_SIZE) bytes with the padding. A longer tail
// is accepted: its whole blocks are fed first.
sha256_digest sha256_finish(sha256_stream* stream, const unsigned char* tail, std::size_t tail_length);

// The form archive names carry: 64 lowercase hexadecimal digits and a NUL.
// Not exported.
void sha256_concatenated_hex(const sha256_digest& digest, char (&hex)[65]);

// SHA-256 of a byte stream that arrives in pieces of any length; whole
// blocks are hashed straight from the caller's buffer. Not exported.
struct stream_digest {
    sha256_stream stream;
    unsigned char tail[SHA256_BLOCK_SIZE];  // bytes short of a whole block
    std::size_t tail_length;
};
void digest_begin(stream_digest* digest);
void digest_feed(stream_digest* digest, const void* data, std::size_t length);
// Ends the digest and writes it as 64 lowercase hexadecimal digits and a NUL.
void digest_hex(stream_digest* digest, char (&hex)[65]);

// Which block function the digests use; for tests and benchmarks. Not exported.
// `portable_bmi2` is the portable code built for CPUs with BMI2 rotates.
enum class sha256_engine { automatic, portable, portable_bmi2, sha_ni };
// Every later digest uses `engine`; returns false, changing nothing, when this
// CPU lacks it. `automatic` restores the choice made from CPUID.
bool sha256_use_engine(sha256_engine engine);
// The engine that the next digest will use (never `automatic`).
sha256_engine sha256_active_engine();

// sha256 against OpenSSL on arbitrary inputs, with every block engine this
// CPU has, and the incremental interface against the one-shot function,
// fed in pieces whose sizes the input's first byte chooses.
#include <openssl/sha.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "digest/sha256.h"

namespace {

[[noreturn]] void fail(const char* what, std::size_t size)
{
    std::fprintf(stderr, "sha256_fuzz: %s (input of %zu bytes)\n", what, size);
    std::abort();
}

bool same(const sha256_digest& a, const sha256_digest& b)
{
    return std::memcmp(a.h, b.h, sizeof a.h) == 0;
}

sha256_digest openssl_digest(const uint8_t* data, std::size_t size)
{
    std::array<unsigned char, SHA256_DIGEST_LENGTH> bytes;
    SHA256(data, size, bytes.data());
    sha256_digest d;
    for (std::size_t i = 0; i < 8; ++i)
        d.h[i] = uint32_t{bytes[4 * i]} << 24 | uint32_t{bytes[4 * i + 1]} << 16 |
                 uint32_t{bytes[4 * i + 2]} << 8 | bytes[4 * i + 3];
    return d;
}

sha256_digest in_pieces(const uint8_t* data, std::size_t size, unsigned piece_blocks)
{
    sha256_stream stream;
    sha256_begin(&stream);
    std::size_t done = 0;
    for (std::size_t blocks = (size - done) / 64; blocks > 0; blocks = (size - done) / 64) {
        const std::size_t n = blocks < piece_blocks ? blocks : piece_blocks;
        sha256_feed_blocks(&stream, data + done, n);
        done += n * 64;
    }
    return sha256_finish(&stream, data + done, size - done);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const sha256_digest want = openssl_digest(data, size);
    const unsigned piece_blocks = size > 0 ? 1u + data[0] % 8u : 1u;
    for (const sha256_engine engine : {sha256_engine::portable, sha256_engine::portable_bmi2, sha256_engine::sha_ni}) {
        if (!sha256_use_engine(engine))
            continue;
        if (!same(sha256(data, size), want))
            fail("sha256 differs from OpenSSL", size);
        if (p_convert_int32_to_big_endian != convert_int32_little_endian ||
            p_convert_int64_to_big_endian != convert_int64_little_endian)
            fail("sha256 left the converter pointers wrong", size);
        if (!same(in_pieces(data, size, piece_blocks), want))
            fail("the incremental digest differs from the one-shot one", size);
    }
    sha256_use_engine(sha256_engine::automatic);

    char text[72];
    char expected[72];
    std::snprintf(expected, sizeof expected, "%08x %08x %08x %08x %08x %08x %08x %08x", want.h[0], want.h[1],
                  want.h[2], want.h[3], want.h[4], want.h[5], want.h[6], want.h[7]);
    if (sha256_hexdigest(text, data, size) != 71 || std::strcmp(text, expected) != 0)
        fail("sha256_hexdigest text differs", size);
    return 0;
}

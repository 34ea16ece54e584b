// sha256 against OpenSSL on arbitrary inputs, with every block engine this
// CPU has, in one piece and fed in pieces whose sizes the input's first
// byte chooses.
#include <openssl/sha.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "digest/sha256.h"

namespace {

bool equals_openssl(const sha256_digest& d, const unsigned char* want)
{
    for (std::size_t i = 0; i < 32; ++i)
        if (static_cast<unsigned char>(d.h[i / 4] >> (24 - 8 * (i % 4))) != want[i]) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    unsigned char want[SHA256_DIGEST_LENGTH];
    SHA256(data, size, want);
    const std::size_t piece = size > 0 ? 1u + data[0] % 8u : 1u;
    for (const sha256_engine engine : {sha256_engine::portable, sha256_engine::portable_bmi2, sha256_engine::sha_ni}) {
        if (!sha256_use_engine(engine)) continue;
        sha256_stream stream;
        sha256_begin(&stream);
        std::size_t done = 0;
        for (std::size_t n; (n = std::min(piece, (size - done) / 64)) > 0; done += 64 * n)
            sha256_feed_blocks(&stream, data + done, n);
        if (!equals_openssl(sha256(data, size), want) || !equals_openssl(sha256_finish(&stream, data + done, size - done), want)) {
            std::fprintf(stderr, "sha256_fuzz: digest of %zu bytes differs from OpenSSL\n", size);
            std::abort();
        }
    }
    sha256_use_engine(sha256_engine::automatic);
    return 0;
}

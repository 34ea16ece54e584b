// sha256 against OpenSSL on arbitrary inputs, with every block engine this
// CPU has, in one piece and fed in pieces of 1 to 8 blocks (the input's
// first byte chooses).
#include <endian.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cstdint>

#include "check.h"
#include "digest/sha256.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    sha256_digest want;
    SHA256(data, size, reinterpret_cast<unsigned char*>(want.h));
    for (uint32_t& word : want.h) word = be32toh(word);
    const auto equals_openssl = [&want](const sha256_digest& d) { return std::equal(d.h, d.h + 8, want.h); };
    const std::size_t piece = size > 0 ? 1u + data[0] % 8u : 1u;
    for (const sha256_engine engine : {sha256_engine::portable, sha256_engine::portable_bmi2, sha256_engine::sha_ni}) {
        if (!sha256_use_engine(engine)) continue;
        sha256_stream stream;
        sha256_begin(&stream);
        std::size_t done = 0;
        for (std::size_t n; (n = std::min(piece, (size - done) / 64)) > 0; done += 64 * n)
            sha256_feed_blocks(&stream, data + done, n);
        check(equals_openssl(sha256(data, size)), "sha256 differs from OpenSSL");
        check(equals_openssl(sha256_finish(&stream, data + done, size - done)), "the stream differs from OpenSSL");
    }
    return 0;
}

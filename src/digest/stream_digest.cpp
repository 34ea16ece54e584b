#include <algorithm>
#include <cstring>

#include "digest/sha256.h"

void digest_begin(stream_digest* digest)
{
    sha256_begin(&digest->stream);
    digest->tail_length = 0;
}

void digest_feed(stream_digest* digest, const void* data, std::size_t length)
{
    auto bytes = static_cast<const unsigned char*>(data);
    if (digest->tail_length > 0) {
        const std::size_t taken = std::min(length, sizeof digest->tail - digest->tail_length);
        std::memcpy(digest->tail + digest->tail_length, bytes, taken);
        digest->tail_length += taken;
        bytes += taken;
        length -= taken;
        if (digest->tail_length < sizeof digest->tail) return;
        sha256_feed_blocks(&digest->stream, digest->tail, 1);
        digest->tail_length = 0;
    }
    // Whole blocks straight from the caller's buffer: no copy.
    sha256_feed_blocks(&digest->stream, bytes, length / SHA256_BLOCK_SIZE);
    digest->tail_length = length % SHA256_BLOCK_SIZE;
    std::memcpy(digest->tail, bytes + length / SHA256_BLOCK_SIZE * SHA256_BLOCK_SIZE, digest->tail_length);
}

void digest_hex(stream_digest* digest, char (&hex)[65])
{
    sha256_concatenated_hex(sha256_finish(&digest->stream, digest->tail, digest->tail_length), hex);
}

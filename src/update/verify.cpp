#include <fcntl.h>
#include <libgen.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "digest/sha256.h"
#include "update/update_options.h"

namespace {

// Pages behind the cursor are released in pieces of this size, so that
// hashing an archive of any size keeps only a little of it resident.
constexpr std::size_t RELEASE_CHUNK = std::size_t{1} << 20;

sha256_digest hash_mapping(const unsigned char* data, std::size_t size)
{
    sha256_stream stream;
    sha256_begin(&stream);
    std::size_t done = 0;
    while (size - done >= RELEASE_CHUNK) {
        sha256_feed_blocks(&stream, data + done, RELEASE_CHUNK / 64);
        madvise(const_cast<unsigned char*>(data + done), RELEASE_CHUNK, MADV_DONTNEED);
        done += RELEASE_CHUNK;
    }
    const std::size_t blocks = (size - done) / 64;
    sha256_feed_blocks(&stream, data + done, blocks);
    done += blocks * 64;
    return sha256_finish(&stream, data + done, size - done);
}

// Hashes the open archive through a read-only mapping. Returns false after
// reporting a failure.
bool hash_archive(int fd, sha256_digest* digest)
{
    struct stat status {};
    if (fstat(fd, &status) != 0) {
        perror("fstat");
        return false;
    }
    if (!std::in_range<std::size_t>(status.st_size)) {
        printf("%s: archive of %lld bytes is too large to be verified on this system\n",
               update_options.archive_path, static_cast<long long>(status.st_size));
        return false;
    }
    const auto size = static_cast<std::size_t>(status.st_size);
    void* const mapping = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    if (mapping == MAP_FAILED) {
        perror("mmap");
        return false;
    }
    madvise(mapping, size, MADV_SEQUENTIAL);
    *digest = hash_mapping(static_cast<const unsigned char*>(mapping), size);
    munmap(mapping, size);
    return true;
}

}  // namespace

int verify_archive_name()
{
    // The descriptor stays open for the reader, so that the bytes extracted
    // are the bytes verified even if the file is replaced in between.
    const int fd = open(update_options.archive_path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        perror("open failed");
        return -1;
    }
    sha256_digest digest;
    if (!hash_archive(fd, &digest)) return -1;

    char calculated[65];
    sha256_concatenated_hex(digest, calculated);

    // POSIX basename may modify its argument, hence the copy.
    char* const copy = strdup(update_options.archive_path);
    if (copy == nullptr) {
        perror("strdup");
        return -1;
    }
    const char* const expected = basename(copy);

    if (strcmp(expected, calculated) != 0) {
        puts("Ooops, sha256 check failed!?");
        printf("expected   >%s<\n", expected);
        printf("calculated >%s<\n", calculated);
        return -1;
    }
    printf("Checksum ok (%s)\n", calculated);
    return fd;
}

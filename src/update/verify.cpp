#include <fcntl.h>
#include <libgen.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "digest/sha256.h"
#include "state/update_options.h"
#include "update/stages.h"

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
        sha256_feed_blocks(&stream, data + done, RELEASE_CHUNK / SHA256_BLOCK_SIZE);
        madvise(const_cast<unsigned char*>(data + done), RELEASE_CHUNK, MADV_DONTNEED);
        done += RELEASE_CHUNK;
    }
    const std::size_t blocks = (size - done) / SHA256_BLOCK_SIZE;
    sha256_feed_blocks(&stream, data + done, blocks);
    done += blocks * SHA256_BLOCK_SIZE;
    return sha256_finish(&stream, data + done, size - done);
}

// A page of the mapping that cannot be read (the file was cut short under
// it, a stick was pulled, a sector failed) raises SIGBUS. While the archive
// is hashed, such a fault inside the mapping jumps back to hash_guarded.
sigjmp_buf unreadable_page;
const unsigned char* mapping_begin;
const unsigned char* mapping_end;

void on_bus_error(int /*signal*/, siginfo_t* info, void* /*context*/)
{
    const auto* const address = static_cast<const unsigned char*>(info->si_addr);
    if (address >= mapping_begin && address < mapping_end) siglongjmp(unreadable_page, 1);
    // Not the archive's fault: the faulting access repeats and ends the
    // process as it would have without this handler.
    signal(SIGBUS, SIG_DFL);
}

// Hashes the mapping; false, after reporting it, when a page of it could
// not be read.
bool hash_guarded(const unsigned char* data, std::size_t size, sha256_digest* digest)
{
    mapping_begin = data;
    mapping_end = data + size;
    struct sigaction guard {};
    guard.sa_sigaction = on_bus_error;
    guard.sa_flags = SA_SIGINFO;
    sigemptyset(&guard.sa_mask);
    struct sigaction previous {};
    sigaction(SIGBUS, &guard, &previous);
    if (sigsetjmp(unreadable_page, 1) != 0) {
        sigaction(SIGBUS, &previous, nullptr);
        printf("%s: archive could not be read while it was verified (cut short, or a failing medium)\n",
               update_options.archive_path);
        return false;
    }
    *digest = hash_mapping(data, size);
    sigaction(SIGBUS, &previous, nullptr);
    return true;
}

// Hashes the open archive through a read-only mapping. Returns false after
// reporting a failure.
bool hash_archive(int fd, verified_archive* archive, sha256_digest* digest)
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
    const bool hashed = hash_guarded(static_cast<const unsigned char*>(mapping), size, digest);
    munmap(mapping, size);
    archive->length = size;
    return hashed;
}

}  // namespace

int verify_archive_name(verified_archive* archive)
{
    // The descriptor stays open for the reader, so that a file renamed over
    // the name in between is not read; the reader checks the bytes again.
    const int fd = open(update_options.archive_path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        perror("open failed");
        return -1;
    }
    sha256_digest digest;
    if (!hash_archive(fd, archive, &digest)) return -1;

    char (&calculated)[65] = archive->digest;
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
    archive->fd = fd;
    return fd;
}

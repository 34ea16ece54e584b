#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "contract/update_archive.h"
#include "digest/sha256.h"
#include "indicators/fb.h"
#include "indicators/leds.h"
#include "state/update_options.h"
#include "update/stages.h"

namespace {

constexpr int EXTRACT_FLAGS = ARCHIVE_EXTRACT_OWNER | ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_TIME |
                              ARCHIVE_EXTRACT_ACL | ARCHIVE_EXTRACT_FFLAGS;
static_assert(EXTRACT_FLAGS == 0x67);

// One sweep of the bar is the screen's height.
static_assert(ACTIVITY_BAR_HEIGHT == FB_HEIGHT);

constexpr const char* UBIFS_RO_ERROR = "/sys/kernel/debug/ubifs/ubi0_0/ro_error";

const char* error_text(struct archive* reader)
{
    const char* const text = archive_error_string(reader);
    return text != nullptr ? text : "unknown error";
}

// Makes UBIFS turn read-only, as a real I/O error in the flash would.
void simulate_ubifs_error(int ubifs_error_fd)
{
    puts("Simulating I/O error in UBIFS layer");
    [[maybe_unused]] const ssize_t ignored = write(ubifs_error_fd, "1\n", 2);
}

// The second read of the archive, the one extracted. The verification
// hashed `length` bytes through a mapping; the reader gets those bytes once
// more through the same descriptor and never one beyond them, and they are
// hashed again as they go, so that a file rewritten in place, grown, cut
// short or a medium that answers differently the second time is found out.
struct second_read {
    int fd;
    uint64_t length;
    const char* digest;  // the verified one
    uint64_t handed_out;
    stream_digest digest_so_far;
    bool failed;  // a read failed: the bytes cannot be checked
    bool ended;   // the last, short block has been read
    unsigned char block[READ_BLOCK_SIZE];
};
static_assert(READ_BLOCK_SIZE % SHA256_BLOCK_SIZE == 0, "whole blocks are hashed as they are read");

second_read archive_bytes;

// Reads the next block of the verified bytes into r->block and hashes it.
// Returns its length: 0 after the verified length or where
// the file now ends, -1 with errno set when it cannot be read.
ssize_t read_block(second_read* r)
{
    if (r->ended) return 0;
    const auto wanted = static_cast<std::size_t>(std::min<uint64_t>(r->length - r->handed_out, sizeof r->block));
    std::size_t got = 0;
    while (got < wanted) {
        const ssize_t n = read(r->fd, r->block + got, wanted - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            r->failed = true;
            return -1;
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    r->handed_out += got;
    digest_feed(&r->digest_so_far, r->block, got);
    r->ended = got < sizeof r->block;
    return static_cast<ssize_t>(got);
}

la_ssize_t read_verified(struct archive* reader, void* /*client_data*/, const void** block)
{
    const ssize_t n = read_block(&archive_bytes);
    if (n < 0) archive_set_error(reader, errno, "Error reading fd %d", archive_bytes.fd);
    *block = archive_bytes.block;
    return n;
}

// Reads what the reader left of the verified bytes and compares the second
// digest with the verified one. Returns false after reporting a difference,
// or a failed read (the reader has reported one of its own already).
bool read_bytes_were_verified(second_read* r)
{
    if (r->failed) return false;
    ssize_t n = 0;
    while ((n = read_block(r)) > 0) {}
    if (n < 0) {
        perror("read");
        return false;
    }
    char calculated[65];
    digest_hex(&r->digest_so_far, calculated);
    if (std::strcmp(calculated, r->digest) == 0) return true;
    puts("Ooops, the archive changed after its check!?");
    printf("verified   >%s<\n", r->digest);
    printf("read again >%s<\n", calculated);
    puts("The tree is partly written from bytes that were not the verified ones:");
    puts("run the update again with an intact archive to complete it.");
    return false;
}

}  // namespace

int setup_error_injection()
{
    if (update_options.fail_after_files == 0) return 0;
    const int fd = open(UBIFS_RO_ERROR, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        perror("open failed for debugfs");
        return fd;
    }
    printf("!! UBIFS will fail after %u files have been written !!\n",
           update_options.fail_after_files);
    return fd;
}

int open_archive_reader(const verified_archive& archive, struct archive** reader)
{
    second_read& r = archive_bytes;
    r.fd = archive.fd;
    r.length = archive.length;
    r.digest = archive.digest;
    digest_begin(&r.digest_so_far);

    struct archive* const created = archive_read_new();
    if (created == nullptr) {
        puts("Unable to create archive reader");
        return ARCHIVE_FATAL;
    }
    archive_read_support_format_tar(created);
    archive_read_support_filter_all(created);
    archive_read_extract_set_progress_callback(created, blink_leds, nullptr);
    // No skip callback: the bytes of a skipped entry are read, so hashed, too.
    const int status = archive_read_open(created, nullptr, nullptr, read_verified, nullptr);
    if (status != ARCHIVE_OK) {
        printf("Unable to open file: %s\n", error_text(created));
        archive_read_free(created);
        return status;
    }
    *reader = created;
    return ARCHIVE_OK;
}

int extract_archive(struct archive* reader, int fb_fd, int ubifs_error_fd)
{
    puts("unpack...");
    int32_t entries_seen = 0;   // header reads that did not end the loop
    int32_t entries_drawn = 0;  // entries handed to extraction
    int result = 0;
    while (true) {
        if (ubifs_error_fd >= 1 &&
            static_cast<uint32_t>(entries_seen) == update_options.fail_after_files) {
            simulate_ubifs_error(ubifs_error_fd);
        }
        struct archive_entry* entry = nullptr;
        int status = archive_read_next_header(reader, &entry);
        blink_leds(nullptr);
        if (status == ARCHIVE_WARN && only_a_name_left_unconverted(reader)) status = ARCHIVE_OK;
        if (status == ARCHIVE_EOF) break;
        if (status == ARCHIVE_RETRY) {
            ++entries_seen;
            continue;
        }
        if (status != ARCHIVE_OK) {
            // What was written so far is synced, but the update is incomplete.
            printf("archive_read_next_header() failed: (%d) %s\n", status, error_text(reader));
            result = UPDATE_FAILED;
            break;
        }
        const char* const path = archive_entry_pathname(entry);
        if (path != nullptr && path == KERNEL_IMAGE_ENTRY) {
            sync();
            ++entries_seen;
            continue;
        }
        ++entries_drawn;
        if (fb_fd >= 1) fb_draw_progress(entries_drawn, 0, 0, FB_BAR_WIDTH, ACTIVITY_BAR_HEIGHT, 0xffff);
        status = archive_read_extract(reader, entry, EXTRACT_FLAGS);
        if (status != ARCHIVE_OK) {
            printf("archive_read_extract() failed for %s: (%d) %s\n",
                   path != nullptr ? path : "(no path name)", status, error_text(reader));
            exit(UPDATE_FAILED);
        }
        ++entries_seen;
    }
    if (!read_bytes_were_verified(&archive_bytes)) result = UPDATE_FAILED;
    blink_leds(nullptr);
    archive_read_close(reader);
    archive_read_free(reader);
    puts("sync");
    sync();
    return result;
}

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "indicators/fb.h"
#include "indicators/leds.h"
#include "update/archive_layout.h"
#include "update/update_options.h"

namespace {

constexpr int EXTRACT_FLAGS = ARCHIVE_EXTRACT_OWNER | ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_TIME |
                              ARCHIVE_EXTRACT_ACL | ARCHIVE_EXTRACT_FFLAGS;
static_assert(EXTRACT_FLAGS == 0x67);

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

}  // namespace

int setup_error_injection()
{
    const int fd = open(UBIFS_RO_ERROR, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        perror("open failed for debugfs");
        return fd;
    }
    printf("!! UBIFS will fail after %u files have been written !!\n",
           update_options.fail_after_files);
    return fd;
}

int open_archive_reader(int archive_fd, struct archive** reader)
{
    struct archive* const created = archive_read_new();
    if (created == nullptr) {
        puts("Unable to create archive reader");
        return ARCHIVE_FATAL;
    }
    archive_read_support_format_tar(created);
    archive_read_support_filter_all(created);
    archive_read_extract_set_progress_callback(created, blink_leds, nullptr);
    const int status = archive_read_open_fd(created, archive_fd, READ_BLOCK_SIZE);
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
            result = -1;
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
            exit(-1);
        }
        ++entries_seen;
    }
    blink_leds(nullptr);
    archive_read_close(reader);
    archive_read_free(reader);
    puts("sync");
    sync();
    return result;
}

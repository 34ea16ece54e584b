// The tool's one process-wide state record and the stages that main runs.
#pragma once

#include <cstdint>
#include <sys/time.h>

struct archive;

struct update_options_t {
    const char* archive_path;    // FILENAME, pointing into argv; null until seen
    uint32_t fail_after_files;   // -e count; 0 disables error injection
    int silent;                  // 1 after -s: LEDs 1 and 2 stay untouched
    int led1_fd;                 // brightness file of LED 1, negative if absent
    int led2_fd;                 // brightness file of LED 2, negative if absent
    int led_state;               // phase of the alternating LEDs, 0 or 1
    struct timeval last_toggle;  // time of the last LED swap
    uint16_t* fb_mem;            // first page of the framebuffer, RGB565
};

extern update_options_t update_options;

// Command line. Returns false when the usage has to be printed.
bool parse_command_line(int argc, char** argv);
struct count_conversion {
    uint32_t value;
    const char* end;  // first character not consumed
};
count_conversion convert_count(const char* text);
// Prints the usage and ends the process with status 1.
[[noreturn]] void print_usage(const char* program);
const char* program_name(int argc, char** argv);

// Preconditions; each prints its own refusal.
bool running_as_root();
bool root_is_local();

// What the verification hands to the reader: the archive's descriptor, how
// many of its bytes were hashed and their digest, which its name holds.
struct verified_archive {
    int fd;
    uint64_t length;
    char digest[65];
};
// Fills *archive; returns its read-only descriptor, or -1.
int verify_archive_name(verified_archive* archive);

int setup_error_injection();
// Returns libarchive's status of the open; *reader is set only on success.
// The reader gets no byte beyond the length verified and hashes every byte
// it gets, for extract_archive to compare with the verified digest.
int open_archive_reader(const verified_archive& archive, struct archive** reader);
// Returns 0 when the working directory was purged, -1 when it could not be
// determined (nothing is deleted then).
int purge_working_directory();
// Returns 0 after a complete extraction, -1 after a failed header read or
// when the bytes read were not the verified ones; a failed entry ends the
// process with status 255.
int extract_archive(struct archive* reader, int fb_fd, int ubifs_error_fd);

// The update, stage by stage, in the order main runs them. Each stage
// reports its own failure; main only decides whether the next one runs.
// The indicators' stages, setup_leds and setup_framebuffer, come from
// indicators/.
#pragma once

#include <cstdint>

struct archive;

// How the tool ends when it does not complete the update.
inline constexpr int UPDATE_REFUSED = 1;  // before the checks of the archive: nothing is touched
inline constexpr int UPDATE_FAILED = -1;  // exit status 255: see each stage for what is touched

// The command line fills update_options; false when the usage has to be
// printed.
const char* program_name(int argc, char** argv);
bool parse_command_line(int argc, char** argv);
// Prints the usage and ends the process with UPDATE_REFUSED.
[[noreturn]] void print_usage(const char* program);

// The UBIFS error-injection file when -e asks for it: its descriptor, 0
// when not asked, negative when it cannot be opened.
int setup_error_injection();

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

// Returns libarchive's status of the open; *reader is set only on success.
// The reader gets no byte beyond the length verified and hashes every byte
// it gets, for extract_archive to compare with the verified digest.
int open_archive_reader(const verified_archive& archive, struct archive** reader);

// Returns 0 when the working directory was purged, -1 when it could not be
// determined (nothing is deleted then).
int purge_working_directory();

// Returns 0 after a complete extraction, UPDATE_FAILED after a failed
// header read or when the bytes read were not the verified ones (the tree
// is partly written then); a failed entry ends the process with
// UPDATE_FAILED at once.
int extract_archive(struct archive* reader, int fb_fd, int ubifs_error_fd);

// firmware-pack: makes update archives and checks them before they reach a
// device. The stages that main runs.
#pragma once

#include <cstddef>
#include <cstdint>

#include "digest/sha256.h"

// Exit statuses, in the order of severity; check's is the worst finding.
enum pack_status : int {
    PACK_CLEAN = 0,     // create: the archive is written; check: nothing to report
    PACK_WARNINGS = 1,  // check: the device would take it, but look at the warnings
    PACK_REFUSED = 2,   // check: it must not go to the devices
    PACK_ERROR = 3,     // bad command line, or a file could not be read or written
};

enum class compression { none, gzip, bzip2, xz, zstd, lz4 };

struct pack_options {
    const char* command;          // "create", "check" or "artifact"
    const char* tree;             // create: DIR
    const char* output_dir;       // create: OUTDIR
    const char* kernel;           // create: --kernel FILE, or null
    compression filter;           // create: --compress
    const char* archive;          // check, artifact: ARCHIVE
    const char* artifact_name;    // artifact: --name NAME
    const char* device_type;      // artifact: --device-type TYPE
    const char* artifact;         // artifact: ARTIFACT, the file to write
    char* const* passed_on;       // artifact: the arguments after "--", for mender-artifact
    int passed_on_count;
};

// Command line. Returns false after printing why it is not usable; --help
// prints the usage and ends the process with status 0.
bool parse_pack_command_line(int argc, char** argv, pack_options* options);
void print_pack_usage(const char* program);

pack_status create_archive(const pack_options& options);
pack_status check_archive(const char* archive_path);
// Checks the archive and, unless it is refused, makes a Mender artifact of
// it for the update module firmware-update. The status is check's, or
// PACK_ERROR when mender-artifact fails.
pack_status make_artifact(const pack_options& options);

// A bar on standard error while long work runs, if it is a terminal.
struct progress {
    const char* label;
    uint64_t total;
    int shown;  // per mille drawn last; -1 while nothing is drawn
};
progress progress_start(const char* label, uint64_t total);
void progress_update(progress* bar, uint64_t done);
void progress_end(progress* bar);
// Prints a line on standard error, clearing the bar first if one is shown.
[[gnu::format(printf, 1, 2)]] void complain(const char* format, ...);

// SHA-256 of a byte stream that arrives in pieces of any length.
struct stream_digest {
    sha256_stream stream;
    unsigned char tail[64];  // bytes short of a whole block
    std::size_t tail_length;
};
void digest_begin(stream_digest* digest);
void digest_feed(stream_digest* digest, const void* data, std::size_t length);
// Ends the digest and writes it as 64 lowercase hexadecimal digits and a NUL.
void digest_hex(stream_digest* digest, char (&hex)[65]);

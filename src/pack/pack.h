// firmware-pack: makes update archives and checks them before they reach a
// device. Its commands, and what their files share.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "digest/sha256.h"

struct archive;
struct archive_entry;

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

// libarchive's time_t is its own build's: a long, 32 bits on the device's
// architecture, where this program's time_t has 64. Times pass as longs.
long entry_mtime(struct archive_entry* entry);
long entry_atime(struct archive_entry* entry);
void entry_set_mtime(struct archive_entry* entry, long seconds);

// check's model of the device's tree during an update: what its purge
// keeps, then every entry applied in order as the device's libarchive
// applies it (owner, mode, times, ACLs, file flags; no safety flag).
enum class node_kind : unsigned char { directory, file, symlink, other };
struct tree_node {
    node_kind kind;
    bool kept;      // the device's own: a preserved path or a parent of one, never empty
    bool finished;  // the device opens it again at the end: a directory's or a lasting flag's entry
};
struct device_tree {
    std::map<std::string, tree_node> nodes;  // by path below the top, "a/b"; "" is the top
    uint64_t written;                        // entries the device writes into the tree
};

// Why an entry must not reach the devices; none when the device writes it.
enum class tree_problem {
    none,
    empty_name,
    directory_name,
    absolute,
    parent_component,
    name_too_long,
    through_link,
    top_not_directory,
    replaces_kept_directory,
    replaces_filled_directory,
    directory_over_link,
    replaces_unfinished,
    special_file_flags,
    link_carries_data,
    link_target_not_a_name,
    link_target_missing,
    link_to_kernel_image,
    link_to_directory,
    link_to_itself,
    link_to_preserved_elsewhere,
};

struct entry_outcome {
    tree_problem problem;
    bool in_target;       // the problem lies in the hard link's target, not the entry's path
    std::string subject;  // the path the problem names, "./a"
    uint64_t bytes;       // the length of a name too long, the data of a hard link that carries some
    std::string normal;   // where the entry lands: "a/b", "" for the top
    std::string_view preserved;         // the preserved path it lands under, or empty
    std::string_view target_preserved;  // the preserved path a hard link's target is under
};

void tree_after_purge(device_tree* tree);
// Applies one entry that is not the kernel image; a refused one changes nothing.
entry_outcome tree_apply(device_tree* tree, struct archive_entry* entry);

// A bar on standard error while long work runs, if it is a terminal.
struct progress {
    const char* label;
    uint64_t total;
    int shown;  // per mille drawn last; -1 while nothing is drawn
};
progress progress_start(const char* label, uint64_t total);
void progress_update(progress* bar, uint64_t done);
void progress_end(progress* bar);

// Messages: one line each on standard error, the bar cleared first if one
// is shown. An error of this command, after "firmware-pack: ":
[[gnu::format(printf, 1, 2)]] void complain(const char* format, ...);
// A line that starts with `lead`:
[[gnu::format(printf, 2, 0)]] void say(const char* lead, const char* format, va_list arguments);
// What libarchive says went wrong with `handle`; a fixed text when it says
// nothing.
const char* archive_message(struct archive* handle);


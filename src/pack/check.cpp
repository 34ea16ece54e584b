#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <string_view>
#include <utility>

#include "contract/update_archive.h"
#include "pack/pack.h"

namespace {

struct input {
    int fd;
    stream_digest digest;
    uint64_t bytes_read;
    progress bar;
    char buffer[READ_BLOCK_SIZE];
};

// Hands libarchive the archive's bytes and hashes them on the way, so that
// the archive is read once.
la_ssize_t read_block(struct archive* reader, void* data, const void** buffer)
{
    auto* const in = static_cast<input*>(data);
    ssize_t n;
    do {
        n = read(in->fd, in->buffer, sizeof in->buffer);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (reader != nullptr) archive_set_error(reader, errno, "read failed: %s", std::strerror(errno));
        return -1;
    }
    digest_feed(&in->digest, in->buffer, static_cast<std::size_t>(n));
    in->bytes_read += static_cast<uint64_t>(n);
    progress_update(&in->bar, in->bytes_read);
    *buffer = in->buffer;
    return n;
}

// What the checks found; the worst decides the exit status.
struct findings {
    const char* archive;
    int refusals;
    int warnings;
};

// Prints "ARCHIVE: KIND: " and the finding.
[[gnu::format(printf, 3, 0)]] void report(const findings& found, const char* kind, const char* format,
                                          va_list arguments)
{
    const std::string lead = std::string(found.archive) + ": " + kind + ": ";
    say(lead.c_str(), format, arguments);
}

[[gnu::format(printf, 2, 3)]] void refuse(findings* found, const char* format, ...)
{
    ++found->refusals;
    va_list arguments;
    va_start(arguments, format);
    report(*found, "refused", format, arguments);
    va_end(arguments);
}

[[gnu::format(printf, 2, 3)]] void warn(findings* found, const char* format, ...)
{
    ++found->warnings;
    va_list arguments;
    va_start(arguments, format);
    report(*found, "warning", format, arguments);
    va_end(arguments);
}

constexpr const char* REMAKE = "make the archive with firmware-pack create from the tree as it should be on the device";
constexpr const char* STOPS = "the device stops there, after its purge";

// Refuses an entry that the device would write outside its tree, or fail to
// write after its purge.
void report_problem(findings* found, const char* quoted, const char* target, const entry_outcome& outcome)
{
    const std::string linked = outcome.in_target ? std::string(quoted) + ": a hard link to " + target : quoted;
    const char* const what = linked.c_str();
    const char* const subject = outcome.subject.c_str();
    switch (outcome.problem) {
    case tree_problem::none: return;
    case tree_problem::empty_name:
        refuse(found, "%s: an empty name, which no file can have: the device stops there, after its purge; %s",
               what, REMAKE);
        return;
    case tree_problem::directory_name:
        refuse(found, "%s: not a directory, but its name ends in / or /.: the device sets some attributes (an "
               "ACL) through the name as it is stored, and then stops there, after its purge; %s", what, REMAKE);
        return;
    case tree_problem::absolute:
        refuse(found, "%s: an absolute path, which leads outside the device's tree; %s", what, REMAKE);
        return;
    case tree_problem::parent_component:
        refuse(found, "%s: a \"..\" component, which leads out of the device's tree; %s", what, REMAKE);
        return;
    case tree_problem::name_too_long:
        // Names land as the archive's bytes, whatever they are; only their
        // length can stop the device, which no file system takes past 255.
        refuse(found, "%s: a name of %llu bytes, longer than the 255 any file system on the device takes; "
               "shorten it", what, static_cast<unsigned long long>(outcome.bytes));
        return;
    case tree_problem::through_link:
        refuse(found, "%s: leads through the symbolic link %s that an earlier entry makes, so it is written "
               "wherever that link points; store the content at the link's target instead", what, subject);
        return;
    case tree_problem::top_not_directory:
        refuse(found, "%s: the top of the tree as something other than a directory, which cannot replace the "
               "directory being updated: %s; store the top as a directory", what, STOPS);
        return;
    case tree_problem::replaces_kept_directory:
        refuse(found, "%s: not a directory, where the device keeps the directory %s for the paths it preserves: "
               "it cannot remove that directory, and stops there after its purge; store a directory there",
               what, subject);
        return;
    case tree_problem::replaces_filled_directory:
        refuse(found, "%s: not a directory, over the directory %s that earlier entries fill: the device cannot "
               "remove a directory that is not empty, and stops there after its purge; leave out one of them",
               what, subject);
        return;
    case tree_problem::directory_over_link:
        refuse(found, "%s: a directory over the symbolic link %s that an earlier entry makes: the device keeps "
               "the link and applies the directory's owner and attributes to it or through it; store either "
               "the link or the directory", what, subject);
        return;
    case tree_problem::replaces_unfinished:
        refuse(found, "%s: replaces %s, which an earlier entry makes and the device finishes only at the end "
               "of the extraction, on whatever is at that path then: the earlier entry's mode, times, ACL or "
               "flags would land on what replaces it, a FIFO would block the device; leave out one of them",
               what, subject);
        return;
    case tree_problem::special_file_flags:
        refuse(found, "%s: a FIFO or device node with the immutable or append-only flag: the device opens it "
               "at the end of the extraction to set the flag, and a FIFO blocks it for ever; leave the flag out",
               what);
        return;
    case tree_problem::link_carries_data:
        refuse(found, "%s: a hard link that carries %llu bytes of data: the device writes them, and the entry's "
               "mode, ACL and times, into the link's target, through a symbolic link too; make the archive "
               "with firmware-pack create, which stores hard links without data", what,
               static_cast<unsigned long long>(outcome.bytes));
        return;
    case tree_problem::link_target_not_a_name:
        refuse(found, "%s, which names no file (empty, or ending in / or .): %s; store the target's path",
               what, STOPS);
        return;
    case tree_problem::link_target_missing:
        refuse(found, "%s: no earlier entry makes %s, so the device cannot link it and stops there, after its "
               "purge; store the target before the link", what, subject);
        return;
    case tree_problem::link_to_kernel_image:
        refuse(found, "%s: the kernel image, which the device never writes into its tree: %s; link to a file "
               "of the tree instead", what, STOPS);
        return;
    case tree_problem::link_to_directory:
        refuse(found, "%s: %s is, or becomes for this entry's own path, a directory, which Linux does not link: "
               "the device stops there, after its purge; link to a file", what, subject);
        return;
    case tree_problem::link_to_itself:
        refuse(found, "%s: its own path: the device removes the file and then has nothing to link, %s; "
               "leave the entry out", what, STOPS);
        return;
    case tree_problem::link_to_preserved_elsewhere:
        refuse(found, "%s: %s is under a preserved path and no earlier entry makes it: on a device without "
               "that file the update stops after its purge; store the file before the link, or leave the "
               "link out", what, subject);
        return;
    }
}

// The paths that the purge keeps, and what a hard link shares with them.
void report_preserved(findings* found, const char* quoted, const entry_outcome& outcome)
{
    if (!outcome.preserved.empty()) {
        warn(found, "%s: under the preserved path %.*s, which the device keeps: this entry overwrites it on "
             "every device; leave it out of the tree unless every device must get exactly this",
             quoted, static_cast<int>(outcome.preserved.size()), outcome.preserved.data());
    }
    if (!outcome.target_preserved.empty()) {
        warn(found, "%s: a hard link to a file under the preserved path %.*s, which the device keeps: the tree "
             "gets another name for that file; leave the link out unless every device must have it",
             quoted, static_cast<int>(outcome.target_preserved.size()), outcome.target_preserved.data());
    }
}

// Content that the device takes as it is but a release engineer should see.
void check_kind_and_mode(findings* found, const char* quoted, struct archive_entry* entry)
{
    const auto type = archive_entry_filetype(entry);
    const auto mode = static_cast<unsigned>(archive_entry_perm(entry));
    switch (type) {
    case AE_IFCHR:
    case AE_IFBLK:
        warn(found, "%s: a %s device node, which the device creates in its tree; make sure the tree needs it",
             quoted, type == AE_IFCHR ? "character" : "block");
        break;
    case AE_IFIFO:
        warn(found, "%s: a FIFO, which the device creates in its tree; make sure the tree needs it", quoted);
        break;
    case AE_IFSOCK:
        warn(found, "%s: a socket, which the device writes as an empty regular file; leave it out", quoted);
        break;
    default: break;
    }
    if (type == AE_IFREG && (mode & (S_ISUID | S_ISGID)) != 0) {
        warn(found, "%s: a set-ID program (mode %04o): it runs with its owner's or group's rights on every "
             "device; make sure it must", quoted, mode & 07777);
    }
    if (type != AE_IFLNK && (mode & S_IWOTH) != 0 && (mode & S_ISVTX) == 0) {
        warn(found, "%s: world-writable (mode %04o) without the sticky bit: any user of the device may change "
             "or replace what is there; take the others' write permission away unless it must stay",
             quoted, mode & 07777);
    }
}

// Immutable and append-only files cannot be deleted, nor can anything in
// such a directory: the next update's purge leaves them, and its
// extraction then fails where it meets them.
// UBIFS, the device's file system, takes no other flag: the disk writer
// sets the others right after the entry, fails, and the update stops. The
// lasting ones it sets after the archive's end, where failures go unseen.
constexpr unsigned long UBIFS_FLAGS = FS_COMPR_FL | FS_SYNC_FL | FS_APPEND_FL | FS_IMMUTABLE_FL | FS_DIRSYNC_FL;

std::string flag_names(unsigned long flags)
{
    struct archive_entry* const only = archive_entry_new();
    archive_entry_set_fflags(only, flags, 0);
    const char* const text = archive_entry_fflags_text(only);
    char number[24];
    std::snprintf(number, sizeof number, "0x%lx", flags);
    std::string names = text != nullptr && *text != '\0' ? text : number;
    archive_entry_free(only);
    return names;
}

void check_flags(findings* found, const char* quoted, struct archive_entry* entry,
                 const entry_outcome& outcome)
{
    const auto type = archive_entry_filetype(entry);
    unsigned long set = 0, clear = 0;
    archive_entry_fflags(entry, &set, &clear);
    if (const unsigned long foreign = set & ~(UBIFS_FLAGS | FS_JOURNAL_DATA_FL);
        foreign != 0 && (type == AE_IFREG || type == AE_IFDIR)) {
        refuse(found, "%s: file flags (%s) that the device's file system, UBIFS, does not take: the device "
               "stops there, after its purge; clear them with chattr", quoted, flag_names(foreign).c_str());
    }
    const unsigned long lasting = set & (FS_IMMUTABLE_FL | FS_APPEND_FL);
    if (lasting == 0 || (type != AE_IFREG && type != AE_IFDIR)) return;
    const char* const flag = (lasting & FS_IMMUTABLE_FL) != 0 ? "immutable" : "append-only";
    if (type == AE_IFDIR && outcome.preserved.empty()) {
        refuse(found, "%s: the %s flag on a directory that the next update's purge must empty: it cannot, "
               "and that update fails; clear the flag (chattr -i -a)", quoted, flag);
    } else {
        warn(found, "%s: the %s flag: nothing can replace it until the flag is cleared, and the next update "
             "fails where it does; clear the flag (chattr -i -a) unless that is meant", quoted, flag);
    }
}

// Names are looked up in the device's own user database, during an update
// the half-written tree's, and libarchive keeps the first answer for a name.
// Each name is reported once, at its first entry.
using names_seen = std::set<std::string>;

void check_name_lookup(findings* found, names_seen* seen, const char* quoted, const char* name,
                       const char* what)
{
    if (name == nullptr || *name == '\0' || !seen->insert(what + std::string(name)).second) return;
    warn(found, "%s: %s '%s': the device looks the name up in its own user database, during an update the "
         "half-written tree's, and may find another number or none; make the archive with firmware-pack "
         "create, which stores numbers only", quoted, what, name);
}

// The checks Linux makes of a POSIX ACL, whose failure stops the device.
const char* acl_fault(struct archive_entry* entry, int type)
{
    if (archive_entry_acl_reset(entry, type) == 0) return nullptr;
    int kind = 0, permissions = 0, tag = 0, id = 0, owners = 0, masks = 0, named = 0;
    const char* name = nullptr;
    std::set<std::pair<int, int>> qualifiers;
    bool duplicate = false;
    while (archive_entry_acl_next(entry, type, &kind, &permissions, &tag, &id, &name) == ARCHIVE_OK) {
        if (tag == ARCHIVE_ENTRY_ACL_USER_OBJ || tag == ARCHIVE_ENTRY_ACL_GROUP_OBJ ||
            tag == ARCHIVE_ENTRY_ACL_OTHER) {
            ++owners;
        } else if (tag == ARCHIVE_ENTRY_ACL_MASK) {
            ++masks;
        } else {
            ++named;
            duplicate = duplicate || !qualifiers.insert({tag, id}).second;
        }
    }
    if (duplicate) return "two entries for the same user or group";
    if (masks > 1 || (named > 0 && masks == 0)) return "named users or groups without one mask entry";
    if (type == ARCHIVE_ENTRY_ACL_TYPE_DEFAULT) {
        if (archive_entry_filetype(entry) != AE_IFDIR) return "a default ACL on something not a directory";
        if (owners != 3) return "a default ACL without its user::, group:: and other:: entries";
    }
    return nullptr;
}

void check_acls(findings* found, names_seen* seen, const char* quoted, struct archive_entry* entry)
{
    const int types = archive_entry_acl_types(entry);
    if ((types & ARCHIVE_ENTRY_ACL_TYPE_NFS4) != 0) {
        warn(found, "%s: an NFSv4 ACL, which the device does not restore; use a POSIX ACL", quoted);
    }
    for (const int type : {ARCHIVE_ENTRY_ACL_TYPE_ACCESS, ARCHIVE_ENTRY_ACL_TYPE_DEFAULT}) {
        if (const char* fault = acl_fault(entry, type)) {
            refuse(found, "%s: an ACL that Linux refuses, with %s: the device stops there, after its purge; "
                   "correct it with setfacl and make the archive again", quoted, fault);
        }
        archive_entry_acl_reset(entry, type);
        int kind = 0, permissions = 0, tag = 0, id = 0;
        const char* name = nullptr;
        while (archive_entry_acl_next(entry, type, &kind, &permissions, &tag, &id, &name) == ARCHIVE_OK) {
            if (tag != ARCHIVE_ENTRY_ACL_USER && tag != ARCHIVE_ENTRY_ACL_GROUP) continue;
            if (id < 0) {
                refuse(found, "%s: an ACL entry for '%s' without a number: the device can only look the name up "
                       "in its own user database, and stops there after its purge if that does not know it; "
                       "make the archive with firmware-pack create, which stores numbers only",
                       quoted, name != nullptr ? name : "");
            } else if (name != nullptr && name != std::to_string(id)) {
                // Without a name, libarchive writes the number in its place.
                check_name_lookup(found, seen, quoted, name, "an ACL entry names");
            }
        }
    }
}

// Extended attributes, which the device does not restore, and times its
// 32-bit libarchive cannot hold.
void check_lost_metadata(findings* found, const char* quoted, struct archive_entry* entry)
{
    if (archive_entry_xattr_reset(entry) > 0) {
        // pax stores each twice, as libarchive and as another tar writes it.
        std::set<std::string> unique;
        const char* name = nullptr;
        const void* value = nullptr;
        size_t size = 0;
        while (archive_entry_xattr_next(entry, &name, &value, &size) == ARCHIVE_OK) {
            unique.insert(name != nullptr ? name : "");
        }
        std::string names;
        for (const std::string& one : unique) names += (names.empty() ? "" : ", ") + one;
        warn(found, "%s: extended attributes (%s), which the device does not restore: every device loses "
             "them; give the files what they need (such as capabilities) by other means", quoted, names.c_str());
    }
    // From 2038-01-19 on a 32-bit time wraps to 1901, below 0 it is 1969.
    for (const auto& [is_set, value] : {std::pair{archive_entry_mtime_is_set(entry) != 0, entry_mtime(entry)},
                                        std::pair{archive_entry_atime_is_set(entry) != 0, entry_atime(entry)}}) {
        if (is_set && (value < 0 || value > INT32_MAX)) {
            warn(found, "%s: a time of %ld seconds since 1970, outside 1970 to 2038-01-19, which the "
                 "device's 32-bit libarchive does not keep; set it in that range (firmware-pack create "
                 "clamps to SOURCE_DATE_EPOCH)", quoted, value);
            return;
        }
    }
}

// The checks of one entry whose header was read: where it lands, and
// what the device makes of it there.
void check_entry(findings* found, device_tree* tree, names_seen* seen, struct archive_entry* entry)
{
    const char* const path = archive_entry_pathname(entry);
    const std::string quoted_text = std::string("entry '") + (path != nullptr ? path : "") + "'";
    const char* const quoted = quoted_text.c_str();
    const entry_outcome outcome = tree_apply(tree, entry);
    if (outcome.problem != tree_problem::none) {
        report_problem(found, quoted, archive_entry_hardlink(entry), outcome);
        return;
    }
    report_preserved(found, quoted, outcome);
    // A hard link without data takes nothing from its entry but the name.
    if (archive_entry_hardlink(entry) != nullptr) return;
    check_kind_and_mode(found, quoted, entry);
    check_flags(found, quoted, entry, outcome);
    check_name_lookup(found, seen, quoted, archive_entry_uname(entry), "owner stored by the name");
    check_name_lookup(found, seen, quoted, archive_entry_gname(entry), "group stored by the name");
    check_acls(found, seen, quoted, entry);
    check_lost_metadata(found, quoted, entry);
}

struct summary {
    uint64_t entries = 0;
    uint64_t bytes = 0;  // file content
    bool kernel = false;
    std::string compression;
};

// Reads the archive to its end as the device does, checking each entry.
void read_entries(findings* found, struct archive* reader, summary* totals)
{
    static device_tree tree;
    tree_after_purge(&tree);
    names_seen seen;
    std::string previous;  // the last entry read, quoted
    while (true) {
        struct archive_entry* entry = nullptr;
        int status = archive_read_next_header(reader, &entry);
        if (status == ARCHIVE_EOF) break;
        if (status == ARCHIVE_WARN && only_a_name_left_unconverted(reader)) status = ARCHIVE_OK;
        if (status != ARCHIVE_OK) {
            // The device stops the update at such a header, after the purge.
            refuse(found, "the header of entry %llu (%s%s) cannot be read as the device reads it: \"%s\"; the "
                   "device would stop there with its tree half written. Make the archive again with firmware-pack "
                   "create", static_cast<unsigned long long>(totals->entries + 1),
                   previous.empty() ? "the first" : "after ", previous.c_str(), archive_message(reader));
            if (status != ARCHIVE_WARN) return;
        }
        ++totals->entries;
        const char* const path = archive_entry_pathname(entry);
        previous = std::string("entry '") + (path != nullptr ? path : "") + "'";
        if (status == ARCHIVE_OK) {
            if (path != nullptr && path == KERNEL_IMAGE_ENTRY) {
                totals->kernel = true;  // never written into the tree
            } else {
                check_entry(found, &tree, &seen, entry);
            }
        }
        if (archive_entry_filetype(entry) == AE_IFREG) totals->bytes += archive_entry_size(entry);
        if (archive_read_data_skip(reader) != ARCHIVE_OK) {
            refuse(found, "%s cannot be read to its end: \"%s\"; the archive is damaged or cut short",
                   previous.c_str(), archive_message(reader));
            return;
        }
    }
    if (tree.written == 0 && found->refusals == 0) {
        refuse(found, "no entry that the device writes into its tree (%s): after its purge the device would "
               "hold only the preserved paths; %s", totals->entries == 0 ? "the archive ends where it starts" :
               "only the kernel image", REMAKE);
    }
}

std::string filter_names(struct archive* reader)
{
    std::string names;
    // The last filter is the plain byte stream itself.
    for (int i = 0; i + 1 < archive_filter_count(reader); ++i) {
        names += (names.empty() ? "" : "+");
        names += archive_filter_name(reader, i);
    }
    return names.empty() ? "none" : names;
}

void check_name(findings* found, const char* archive_path, const char* digest)
{
    const std::string_view path = archive_path;
    const std::size_t slash = path.rfind('/');
    const std::string name(slash == std::string_view::npos ? path : path.substr(slash + 1));
    if (!is_digest_name(name)) {
        refuse(found, "the name '%s' is not a SHA-256 digest, and the device takes only an archive named by "
               "its digest; rename it to %s", name.c_str(), digest);
    } else if (name != digest) {
        refuse(found, "the name says %s, but the bytes' digest is %s: the archive changed after it was made; "
               "make it again with firmware-pack create", name.c_str(), digest);
    }
}

void print_summary(const char* archive_path, const summary& totals, const findings& found)
{
    const uint64_t drawn = totals.entries - (totals.kernel ? 1 : 0);
    std::printf("archive:      %s\n", archive_path);
    std::printf("read with:    %s\n", archive_version_details());
    std::printf("compression:  %s\n", totals.compression.c_str());
    std::printf("entries:      %llu\n", static_cast<unsigned long long>(totals.entries));
    std::printf("bytes:        %llu\n", static_cast<unsigned long long>(totals.bytes));
    std::printf("kernel image: %s\n", totals.kernel ? "present" : "absent");
    std::printf("activity bar: %llu.%llu sweeps of the screen (%d entries each)\n",
                static_cast<unsigned long long>(drawn / ACTIVITY_BAR_HEIGHT),
                static_cast<unsigned long long>(drawn % ACTIVITY_BAR_HEIGHT * 10 / ACTIVITY_BAR_HEIGHT),
                ACTIVITY_BAR_HEIGHT);
    if (found.refusals > 0) {
        std::printf("result:       refused (%d problems, %d warnings): do not send it to the devices\n",
                    found.refusals, found.warnings);
    } else if (found.warnings > 0) {
        std::printf("result:       %d warnings: the devices would take it; read them first\n", found.warnings);
    } else {
        std::printf("result:       clean: it may go to the devices\n");
    }
}

}  // namespace

pack_status check_archive(const char* archive_path)
{
    static input in;
    in.fd = open(archive_path, O_RDONLY | O_CLOEXEC);
    struct stat status {};
    if (in.fd < 0 || fstat(in.fd, &status) != 0) {
        complain("cannot read %s: %s", archive_path, std::strerror(errno));
        return PACK_ERROR;
    }
    // The device maps the archive: only a regular file can be one.
    if (!S_ISREG(status.st_mode)) {
        complain("cannot read %s: not a file", archive_path);
        close(in.fd);
        return PACK_ERROR;
    }
    digest_begin(&in.digest);
    in.bar = progress_start("firmware-pack: check", static_cast<uint64_t>(status.st_size));

    findings found{archive_path, 0, 0};
    summary totals;
    // The device's reader: tar in any of libarchive's filters.
    struct archive* const reader = archive_read_new();
    archive_read_support_format_tar(reader);
    archive_read_support_filter_all(reader);
    if (archive_read_open(reader, &in, nullptr, read_block, nullptr) != ARCHIVE_OK) {
        refuse(&found, "the device cannot open it: \"%s\"; it takes a tar archive, plain or compressed",
               archive_message(reader));
    } else {
        read_entries(&found, reader, &totals);
        totals.compression = filter_names(reader);
    }
    archive_read_free(reader);

    // The digest covers every byte, those after the end of the archive too.
    const void* rest = nullptr;
    while (read_block(nullptr, &in, &rest) > 0) {
    }
    progress_end(&in.bar);
    close(in.fd);
    char digest[65];
    digest_hex(&in.digest, digest);
    check_name(&found, archive_path, digest);

    print_summary(archive_path, totals, found);
    if (found.refusals > 0) return PACK_REFUSED;
    return found.warnings > 0 ? PACK_WARNINGS : PACK_CLEAN;
}

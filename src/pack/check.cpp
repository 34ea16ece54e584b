#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <string_view>

#include "pack/pack.h"
#include "update/archive_layout.h"

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

// Prints "ARCHIVE: KIND: " and `format`, which takes up to two strings.
void report(const findings& found, const char* kind, const char* format, const std::string& a, const std::string& b)
{
    char text[4096];
    std::snprintf(text, sizeof text, format, a.c_str(), b.c_str());
    complain("%s: %s: %s", found.archive, kind, text);
}

void refuse(findings* found, const char* format, const std::string& a, const std::string& b = "")
{
    ++found->refusals;
    report(*found, "refused", format, a, b);
}

void warn(findings* found, const char* format, const std::string& a, const std::string& b = "")
{
    ++found->warnings;
    report(*found, "warning", format, a, b);
}

// Where an entry's path leads below the tree: its components joined by "/",
// "." and empty ones left out ("" is the tree itself).
enum class escape { none, absolute, parent };

escape normalize(std::string_view path, std::string* normal)
{
    normal->clear();
    if (path.starts_with("/")) return escape::absolute;
    while (!path.empty()) {
        const std::size_t slash = path.find('/');
        const std::string_view part = path.substr(0, slash);
        path = slash == std::string_view::npos ? std::string_view{} : path.substr(slash + 1);
        if (part.empty() || part == ".") continue;
        if (part == "..") return escape::parent;
        if (!normal->empty()) *normal += '/';
        *normal += part;
    }
    return escape::none;
}

// The symbolic link, made by an earlier entry, that `normal` leads through
// (a parent directory of it), or null.
const std::string* link_on_the_way(const std::set<std::string>& links, const std::string& normal)
{
    if (links.empty()) return nullptr;
    for (std::size_t slash = normal.find('/'); slash != std::string::npos; slash = normal.find('/', slash + 1)) {
        const auto found = links.find(normal.substr(0, slash));
        if (found != links.end()) return &*found;
    }
    return nullptr;
}

constexpr const char* REMAKE = "make the archive with firmware-pack create from the tree as it should be on the device";

// Refuses a path (the entry's own, or a hard link's target) that would put
// what it names outside the tree.
bool path_stays_inside(findings* found, const std::string& what, const char* path,
                       const std::set<std::string>& links, std::string* normal)
{
    switch (normalize(path, normal)) {
    case escape::absolute:
        refuse(found, "%s: an absolute path, which leads outside the device's tree; %s", what, REMAKE);
        return false;
    case escape::parent:
        refuse(found, "%s: a \"..\" component, which leads out of the device's tree; %s", what, REMAKE);
        return false;
    case escape::none: break;
    }
    // Names land as the archive's bytes, whatever they are; only their
    // length can stop the device, which no file system takes past 255.
    for (std::size_t start = 0, end; start < normal->size(); start = end + 1) {
        end = std::min(normal->find('/', start), normal->size());
        if (end - start > NAME_MAX) {
            refuse(found, "%s: a name of %s bytes, longer than the 255 any file system on the device takes; "
                   "shorten it", what, std::to_string(end - start));
            return false;
        }
    }
    if (const std::string* link = link_on_the_way(links, *normal)) {
        refuse(found, "%s: leads through the symbolic link ./%s that an earlier entry makes, so it is written "
               "wherever that link points; store the content at the link's target instead",
               what, *link);
        return false;
    }
    return true;
}

// The checks of one entry whose header was read: where it lands, and
// whether the device keeps what is there.
void check_entry(findings* found, struct archive_entry* entry, std::set<std::string>* links)
{
    const char* const path = archive_entry_pathname(entry);
    const std::string quoted = std::string("entry '") + (path != nullptr ? path : "") + "'";
    std::string normal;
    if (!path_stays_inside(found, quoted, path != nullptr ? path : "", *links, &normal)) return;

    const auto type = archive_entry_filetype(entry);
    bool makes_link = type == AE_IFLNK;
    if (const char* const target = archive_entry_hardlink(entry)) {
        std::string target_normal;
        const std::string what = quoted + ": a hard link to " + target;
        if (!path_stays_inside(found, what, target, *links, &target_normal)) return;
        makes_link = links->count(target_normal) != 0;  // a hard link to a link is a link
    }
    // Any other entry replaces a link at its path, but for a directory: the
    // device keeps a link that is there and goes on writing through it.
    if (makes_link) {
        links->insert(normal);
    } else if (type != AE_IFDIR) {
        links->erase(normal);
    }

    const std::string below_root = "/" + normal;
    const std::string_view preserved = preserved_prefix(below_root);
    if (!preserved.empty()) {
        warn(found, "%s: under the preserved path %s, which the device keeps: this entry overwrites it on "
             "every device; leave it out of the tree unless every device must get exactly this",
             quoted, std::string(preserved));
    }
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
    std::set<std::string> links;
    std::string previous;  // the last entry read, quoted
    while (true) {
        struct archive_entry* entry = nullptr;
        int status = archive_read_next_header(reader, &entry);
        if (status == ARCHIVE_EOF) return;
        if (status == ARCHIVE_WARN && only_a_name_left_unconverted(reader)) status = ARCHIVE_OK;
        if (status != ARCHIVE_OK) {
            // The device stops the update at such a header, after the purge.
            const char* const text = archive_error_string(reader);
            const std::string which = std::to_string(totals->entries + 1) +
                                      (previous.empty() ? " (the first)" : " (after " + previous + ")");
            refuse(found, "the header of entry %s cannot be read as the device reads it: \"%s\"; the device "
                   "would stop there with its tree half written. Make the archive again with firmware-pack create",
                   which, text != nullptr ? text : "no message");
            if (status != ARCHIVE_WARN) return;
        }
        ++totals->entries;
        const char* const path = archive_entry_pathname(entry);
        previous = std::string("entry '") + (path != nullptr ? path : "") + "'";
        if (status == ARCHIVE_OK) {
            if (path != nullptr && path == KERNEL_IMAGE_ENTRY) {
                totals->kernel = true;  // never written into the tree
            } else {
                check_entry(found, entry, &links);
            }
        }
        if (archive_entry_filetype(entry) == AE_IFREG) totals->bytes += archive_entry_size(entry);
        if (archive_read_data_skip(reader) != ARCHIVE_OK) {
            refuse(found, "%s cannot be read to its end: \"%s\"; the archive is damaged or cut short", previous,
                   archive_error_string(reader));
            return;
        }
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

bool is_digest_name(std::string_view name)
{
    return name.size() == 64 && name.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

void check_name(findings* found, const char* archive_path, const char* digest)
{
    const std::string_view path = archive_path;
    const std::size_t slash = path.rfind('/');
    const std::string name(slash == std::string_view::npos ? path : path.substr(slash + 1));
    if (!is_digest_name(name)) {
        refuse(found, "the name '%s' is not a SHA-256 digest, and the device takes only an archive named by "
               "its digest; rename it to %s", name, digest);
    } else if (name != digest) {
        refuse(found, "the name says %s, but the bytes' digest is %s: the archive changed after it was made; "
               "make it again with firmware-pack create", name, digest);
    }
}

void print_summary(const char* archive_path, const summary& totals, const findings& found)
{
    const uint64_t drawn = totals.entries - (totals.kernel ? 1 : 0);
    std::printf("archive:      %s\n", archive_path);
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
        complain("firmware-pack: cannot read %s: %s", archive_path, std::strerror(errno));
        return PACK_ERROR;
    }
    // The device maps the archive: only a regular file can be one.
    if (!S_ISREG(status.st_mode)) {
        complain("firmware-pack: cannot read %s: not a file", archive_path);
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
        refuse(&found, "the device cannot open it: \"%s\"; it takes a tar "
               "archive, plain or compressed%s", archive_error_string(reader), "");
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

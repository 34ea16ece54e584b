#include <archive.h>
#include <archive_entry.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "contract/update_archive.h"
#include "pack/pack.h"

namespace {

// Large writes: the archive goes to the file in pieces of this size.
constexpr int WRITE_BLOCK_SIZE = 1 << 20;
// An uncompressed archive ends padded to the customary tar block size.
constexpr int TAR_BLOCK_SIZE = 10240;
constexpr std::size_t READ_CHUNK = 1 << 20;
constexpr const char* TEMPORARY_NAME = "/.firmware-pack-XXXXXX";

// The partial archive, removed if the run is interrupted.
char temporary_path[4096];

void remove_partial_archive(int signal_number)
{
    unlink(temporary_path);
    signal(signal_number, SIG_DFL);
    raise(signal_number);
}

// Blocks on their way to the file: the archive is built and compressed in
// this thread while a second one hashes and writes the blocks already made,
// so that on two cores the digest and the writes cost no time.
constexpr int QUEUED_BLOCKS = 4;

struct output {
    int fd;
    stream_digest digest;
    std::mutex lock;
    std::condition_variable changed;
    int first;      // the oldest queued block
    int queued;
    bool closing;   // no block will follow the queued ones
    int error;      // errno of a failed write; blocks after it are dropped
    std::size_t lengths[QUEUED_BLOCKS];
    unsigned char blocks[QUEUED_BLOCKS][WRITE_BLOCK_SIZE];
};

int write_all(int fd, const unsigned char* bytes, std::size_t length)
{
    for (std::size_t done = 0; done < length;) {
        const ssize_t n = write(fd, bytes + done, length - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

// The second thread's work: hashes and writes the queued blocks in order.
void write_queued(output* out)
{
    std::unique_lock guard(out->lock);
    while (true) {
        out->changed.wait(guard, [out] { return out->queued > 0 || out->closing; });
        if (out->queued == 0) return;
        const int index = out->first;
        const bool failed = out->error != 0;
        guard.unlock();
        int error = 0;
        if (!failed) {
            digest_feed(&out->digest, out->blocks[index], out->lengths[index]);
            error = write_all(out->fd, out->blocks[index], out->lengths[index]);
        }
        guard.lock();
        if (error != 0) out->error = error;
        out->first = (index + 1) % QUEUED_BLOCKS;
        --out->queued;
        out->changed.notify_all();
    }
}

// libarchive's writer callback: queues a copy of the block, its buffer being
// reused as soon as this returns.
la_ssize_t queue_block(struct archive* writer, void* data, const void* buffer, size_t length)
{
    auto* const out = static_cast<output*>(data);
    auto bytes = static_cast<const unsigned char*>(buffer);
    for (std::size_t done = 0; done < length;) {
        const std::size_t piece = std::min<std::size_t>(length - done, WRITE_BLOCK_SIZE);
        std::unique_lock guard(out->lock);
        out->changed.wait(guard, [out] { return out->queued < QUEUED_BLOCKS; });
        if (out->error != 0) {
            archive_set_error(writer, out->error, "cannot write %s: %s", temporary_path, std::strerror(out->error));
            return -1;
        }
        // The slot after the queued ones is this thread's until it is queued.
        const int index = (out->first + out->queued) % QUEUED_BLOCKS;
        guard.unlock();
        std::memcpy(out->blocks[index], bytes + done, piece);
        out->lengths[index] = piece;
        guard.lock();
        ++out->queued;
        out->changed.notify_all();
        done += piece;
    }
    return static_cast<la_ssize_t>(length);
}

// Ends the second thread once it has written every queued block; returns
// the errno of a failed write, or 0.
int finish_output(output* out, std::thread* writer_thread)
{
    {
        const std::lock_guard guard(out->lock);
        out->closing = true;
        out->changed.notify_all();
    }
    writer_thread->join();
    return out->error;
}

// Appends the paths below top/relative ("a/b") in byte order of their
// names, each directory right before its content, so that the archive does
// not depend on the order in which the file system lists directories.
bool list_tree(const std::string& top, const std::string& relative, std::vector<std::string>* paths)
{
    const std::string directory = relative.empty() ? top : top + "/" + relative;
    DIR* const stream = opendir(directory.c_str());
    if (stream == nullptr) {
        complain("cannot read directory %s: %s", directory.c_str(), std::strerror(errno));
        return false;
    }
    std::vector<std::pair<std::string, bool>> names;  // name, is a directory
    while (const dirent* entry = readdir(stream)) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        bool is_directory = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat status {};
            is_directory = fstatat(dirfd(stream), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
                           S_ISDIR(status.st_mode);
        }
        names.emplace_back(name, is_directory);
    }
    closedir(stream);
    std::sort(names.begin(), names.end());
    for (const auto& [name, is_directory] : names) {
        std::string path = relative.empty() ? name : relative + "/" + name;
        paths->push_back(path);
        if (is_directory && !list_tree(top, path, paths)) return false;
    }
    return true;
}

// Modification times after this are clamped to it; -1 when not set.
long long source_date_epoch()
{
    const char* const text = std::getenv("SOURCE_DATE_EPOCH");
    if (text == nullptr || *text == '\0') return -1;
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < 0) {
        complain("SOURCE_DATE_EPOCH=%s is not a number of seconds; ignored", text);
        return -1;
    }
    return value;
}

// Extended attributes in name order: the file system lists them in an order
// of its own, which a copy of the tree need not keep.
void sort_xattrs(struct archive_entry* entry)
{
    if (archive_entry_xattr_reset(entry) < 2) return;
    std::vector<std::pair<std::string, std::string>> attributes;
    const char* name = nullptr;
    const void* value = nullptr;
    size_t size = 0;
    while (archive_entry_xattr_next(entry, &name, &value, &size) == ARCHIVE_OK) {
        attributes.emplace_back(name, std::string(static_cast<const char*>(value), size));
    }
    std::sort(attributes.begin(), attributes.end());
    archive_entry_xattr_clear(entry);
    for (const auto& [attribute, bytes] : attributes) {
        archive_entry_xattr_add_entry(entry, attribute.c_str(), bytes.data(), bytes.size());
    }
}

// The device restores no extended attributes: what the tree keeps in them,
// such as file capabilities, is lost there.
void warn_of_xattrs(struct archive_entry* entry, const std::string& source)
{
    std::string names;
    const char* name = nullptr;
    const void* value = nullptr;
    size_t size = 0;
    for (archive_entry_xattr_reset(entry); archive_entry_xattr_next(entry, &name, &value, &size) == ARCHIVE_OK;) {
        names += (names.empty() ? "" : ", ") + std::string(name);
    }
    if (!names.empty()) {
        complain("warning: %s has extended attributes (%s), which the device does not restore",
                 source.c_str(), names.c_str());
    }
}

// Reads the metadata of `source` into `entry`, stored as `path`, with only
// what the same tree gives again: no access, change or creation times.
bool read_metadata(struct archive* disk, struct archive_entry* entry, const std::string& source,
                   const char* path, long long epoch)
{
    archive_entry_clear(entry);
    archive_entry_copy_sourcepath(entry, source.c_str());
    archive_entry_copy_pathname(entry, path);
    if (archive_read_disk_entry_from_file(disk, entry, -1, nullptr) != ARCHIVE_OK) {
        complain("cannot read %s: %s", source.c_str(), archive_message(disk));
        return false;
    }
    archive_entry_unset_atime(entry);
    archive_entry_unset_ctime(entry);
    archive_entry_unset_birthtime(entry);
    archive_entry_sparse_clear(entry);
    if (epoch >= 0 && entry_mtime(entry) >= epoch) entry_set_mtime(entry, static_cast<long>(epoch));
    sort_xattrs(entry);
    warn_of_xattrs(entry, source);
    return true;
}

bool copy_data(struct archive* writer, const std::string& source, int64_t size)
{
    static char buffer[READ_CHUNK];
    const int fd = open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        complain("cannot open %s: %s", source.c_str(), std::strerror(errno));
        return false;
    }
    int64_t left = size;
    while (left > 0) {
        const ssize_t n = read(fd, buffer, static_cast<std::size_t>(std::min<int64_t>(left, READ_CHUNK)));
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            complain("%s %s; make the archive again from a tree at rest",
                     source.c_str(), n < 0 ? std::strerror(errno) : "shrank while it was read");
            close(fd);
            return false;
        }
        if (archive_write_data(writer, buffer, static_cast<std::size_t>(n)) != n) {
            complain("%s", archive_message(writer));
            close(fd);
            return false;
        }
        left -= n;
    }
    close(fd);
    return true;
}

// Writes the header of `entry` and the content of `source`.
bool write_entry(struct archive* writer, struct archive_entry* entry, const std::string& source)
{
    const int status = archive_write_header(writer, entry);
    if (status == ARCHIVE_WARN) {
        complain("%s: %s", archive_entry_pathname(entry), archive_message(writer));
    } else if (status != ARCHIVE_OK) {
        complain("cannot add %s: %s", source.c_str(), archive_message(writer));
        return false;
    }
    const bool has_data = archive_entry_filetype(entry) == AE_IFREG && archive_entry_size(entry) > 0;
    return !has_data || copy_data(writer, source, archive_entry_size(entry));
}

int add_filter(struct archive* writer, compression filter)
{
    switch (filter) {
    case compression::none: return archive_write_add_filter_none(writer);
    case compression::gzip:
        if (const int status = archive_write_add_filter_gzip(writer); status != ARCHIVE_OK) return status;
        // The header's time stamp would make every run's bytes differ.
        return archive_write_set_filter_option(writer, "gzip", "timestamp", nullptr);
    case compression::bzip2: return archive_write_add_filter_bzip2(writer);
    case compression::xz: return archive_write_add_filter_xz(writer);
    case compression::zstd: return archive_write_add_filter_zstd(writer);
    case compression::lz4: return archive_write_add_filter_lz4(writer);
    }
    return ARCHIVE_FATAL;
}

struct archive* open_writer(compression filter, output* out)
{
    struct archive* const writer = archive_write_new();
    if (writer == nullptr) return nullptr;
    if (archive_write_set_format_pax(writer) != ARCHIVE_OK || add_filter(writer, filter) != ARCHIVE_OK ||
        archive_write_set_bytes_per_block(writer, WRITE_BLOCK_SIZE) != ARCHIVE_OK ||
        archive_write_set_bytes_in_last_block(writer, filter == compression::none ? TAR_BLOCK_SIZE : 1) !=
            ARCHIVE_OK ||
        archive_write_open2(writer, out, nullptr, queue_block, nullptr, nullptr) != ARCHIVE_OK) {
        complain("cannot start the archive: %s", archive_message(writer));
        archive_write_free(writer);
        return nullptr;
    }
    return writer;
}

// Writes the kernel image and then every entry of the tree. A tree entry
// shared by hard links is stored once, the later names as links to it.
bool write_entries(struct archive* writer, const pack_options& options, const std::vector<std::string>& paths)
{
    struct archive* const disk = archive_read_disk_new();
    struct archive_entry_linkresolver* const links = archive_entry_linkresolver_new();
    struct archive_entry* entry = archive_entry_new();
    // Owners and ACL entries as numbers only: the device would look names
    // up in its own user database, mid-update the half-written tree's.
    archive_read_disk_set_symlink_physical(disk);
    archive_entry_linkresolver_set_strategy(links, ARCHIVE_FORMAT_TAR_PAX_INTERCHANGE);
    const long long epoch = source_date_epoch();
    const std::string top = options.tree;

    bool ok = true;
    if (options.kernel != nullptr) {
        ok = read_metadata(disk, entry, options.kernel, KERNEL_IMAGE_ENTRY.data(), epoch);
        if (ok && archive_entry_filetype(entry) != AE_IFREG) {
            complain("the kernel image %s is not a regular file", options.kernel);
            ok = false;
        }
        ok = ok && write_entry(writer, entry, options.kernel);
    }
    progress bar = progress_start("firmware-pack: create", paths.size());
    for (std::size_t i = 0; ok && i < paths.size(); ++i) {
        const std::string& relative = paths[i];
        const std::string stored = relative == "." ? "./" : "./" + relative;
        const std::string source = relative == "." ? top : top + "/" + relative;
        ok = read_metadata(disk, entry, source, stored.c_str(), epoch);
        struct archive_entry* spare = nullptr;
        if (ok) archive_entry_linkify(links, &entry, &spare);
        ok = ok && write_entry(writer, entry, source);
        progress_update(&bar, i + 1);
    }
    progress_end(&bar);
    archive_entry_free(entry);
    archive_entry_linkresolver_free(links);
    archive_read_free(disk);
    return ok;
}

bool holds_kernel_image_path(const std::vector<std::string>& paths)
{
    return std::find(paths.begin(), paths.end(), KERNEL_IMAGE_PATH) != paths.end();
}

// Writes the archive to a temporary file in the output directory; returns
// its descriptor, or -1.
int create_temporary(const char* output_dir)
{
    const int written = std::snprintf(temporary_path, sizeof temporary_path, "%s%s", output_dir, TEMPORARY_NAME);
    if (written < 0 || static_cast<std::size_t>(written) >= sizeof temporary_path) {
        complain("output directory name too long: %s", output_dir);
        return -1;
    }
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) signal(signal_number, remove_partial_archive);
    const int fd = mkstemp(temporary_path);
    if (fd < 0) {
        complain("cannot create a file in %s: %s", output_dir, std::strerror(errno));
        return -1;
    }
    // mkstemp makes it private; the archive is for others to read.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    return fd;
}

}  // namespace

pack_status create_archive(const pack_options& options)
{
    // pax stores names as UTF-8: under C.UTF-8, where the build machine has
    // it, a UTF-8 name is stored as it is; any other is stored as its bytes
    // marked binary. Either way the device writes the very same bytes.
    std::setlocale(LC_CTYPE, "C.UTF-8");
    std::vector<std::string> paths{"."};
    if (!list_tree(options.tree, "", &paths)) return PACK_ERROR;
    if (options.kernel != nullptr && holds_kernel_image_path(paths)) {
        complain("%s already holds %.*s; remove it or leave out --kernel", options.tree,
                 static_cast<int>(KERNEL_IMAGE_PATH.size()), KERNEL_IMAGE_PATH.data());
        return PACK_ERROR;
    }

    static output out;  // its blocks are too large for the stack
    out.fd = create_temporary(options.output_dir);
    if (out.fd < 0) return PACK_ERROR;
    digest_begin(&out.digest);
    std::thread writer_thread(write_queued, &out);
    struct archive* const writer = open_writer(options.filter, &out);
    bool ok = writer != nullptr && write_entries(writer, options, paths);
    if (writer != nullptr && archive_write_close(writer) != ARCHIVE_OK) {
        if (ok) complain("%s", archive_message(writer));
        ok = false;
    }
    if (writer != nullptr) archive_write_free(writer);
    if (const int error = finish_output(&out, &writer_thread); error != 0 && ok) {
        complain("cannot write %s: %s", temporary_path, std::strerror(error));
        ok = false;
    }
    // On disk before it gets the name that says it is complete.
    if (ok && fsync(out.fd) != 0) {
        complain("cannot write %s: %s", temporary_path, std::strerror(errno));
        ok = false;
    }
    close(out.fd);

    char digest[65];
    digest_hex(&out.digest, digest);
    const std::string final_path = std::string(options.output_dir) + "/" + digest;
    if (ok && rename(temporary_path, final_path.c_str()) != 0) {
        complain("cannot rename %s to %s: %s", temporary_path, final_path.c_str(),
                 std::strerror(errno));
        ok = false;
    }
    if (!ok) {
        unlink(temporary_path);
        return PACK_ERROR;
    }
    std::printf("%s\n", final_path.c_str());
    return PACK_CLEAN;
}

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "contract/update_archive.h"
#include "update/stages.h"

namespace {

constexpr std::size_t PATH_BUFFER = 4096;

// Directories deeper than this below the innermost open one are reopened by
// name when the walk climbs back, so the descriptors in use stay bounded
// however deep the tree is.
constexpr std::size_t OPEN_LEVELS = 32;

constexpr int DIRECTORY_FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// One directory being emptied. Its entries are read in full before any is
// deleted, so the walk neither depends on readdir's behaviour under
// deletion nor needs the directory stream once it descends.
struct level {
    int fd;                       // -1 while closed to bound the descriptors
    dev_t device;                 // identity, checked when reopened by name
    ino_t inode;
    std::size_t path_length;      // length of its path below the root
    std::vector<char> entries;    // d_type byte, name, NUL; repeated
    std::size_t next;             // offset of the next entry to handle;
                                  // a parent's stays on the entered child
};

// Reads the entries of the directory open on `fd`, "." and ".." left out.
bool read_entries(int fd, std::vector<char>* entries)
{
    const int stream_fd = dup(fd);
    DIR* const stream = stream_fd < 0 ? nullptr : fdopendir(stream_fd);
    if (stream == nullptr) {
        if (stream_fd >= 0) close(stream_fd);
        return false;
    }
    while (const dirent* entry = readdir(stream)) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        entries->push_back(static_cast<char>(entry->d_type));
        entries->insert(entries->end(), name.begin(), name.end());
        entries->push_back('\0');
    }
    closedir(stream);
    return true;
}

// Opens the subdirectory `name` of `parent_fd` without following a link.
// Reports failures other than a vanished entry or one that is no longer a
// directory, which the caller handles by name.
int open_directory(int parent_fd, const char* name)
{
    const int fd = openat(parent_fd, name, DIRECTORY_FLAGS);
    if (fd < 0 && errno != ENOENT && errno != ENOTDIR && errno != ELOOP) perror("opendir failed");
    return fd;
}

bool same_directory(int fd, const level& expected)
{
    struct stat status {};
    return fstat(fd, &status) == 0 && status.st_dev == expected.device &&
           status.st_ino == expected.inode;
}

const char* current_name(const level& dir)
{
    return dir.entries.data() + dir.next + 1;
}

// Passes over the current entry; a level given up is left at its end.
void skip_entry(level* dir)
{
    if (dir->next < dir->entries.size()) dir->next += std::strlen(current_name(*dir)) + 2;
}

void close_level(level* dir)
{
    if (dir->fd >= 0) close(dir->fd);
    dir->fd = -1;
}

// Makes the descriptor of stack[index] available, reopening closed levels
// from the innermost open ancestor. A directory that was moved or replaced
// meanwhile is not the one the walk was emptying: -1.
int level_fd(std::vector<level>& stack, std::size_t index)
{
    std::size_t open_index = index;
    while (stack[open_index].fd < 0) --open_index;  // the root stays open
    for (std::size_t i = open_index + 1; i <= index; ++i) {
        const int fd = openat(stack[i - 1].fd, current_name(stack[i - 1]), DIRECTORY_FLAGS);
        if (fd < 0) return -1;
        stack[i].fd = fd;
        if (!same_directory(fd, stack[i])) {
            close_level(&stack[i]);
            return -1;
        }
        if (i > OPEN_LEVELS) close_level(&stack[i - OPEN_LEVELS]);
    }
    return stack[index].fd;
}

// Whether the innermost level is still the directory its parent's entry
// names. One lookup per directory: a directory moved away while it is
// emptied is given up at the next directory the walk enters or leaves.
bool still_in_parent(std::vector<level>& stack)
{
    const std::size_t index = stack.size() - 1;
    if (index == 0) return true;
    const int parent_fd = level_fd(stack, index - 1);
    struct stat status {};
    return parent_fd >= 0 &&
           fstatat(parent_fd, current_name(stack[index - 1]), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
           status.st_dev == stack[index].device && status.st_ino == stack[index].inode;
}

// Enters the subdirectory at the current entry of the innermost level.
// Returns false when it could not be entered.
bool enter(std::vector<level>& stack, const std::string& path, int fd)
{
    level child{fd, 0, 0, path.size(), {}, 0};
    struct stat status {};
    if (fstat(fd, &status) != 0 || !read_entries(fd, &child.entries)) {
        perror("opendir failed");
        close(fd);
        return false;
    }
    child.device = status.st_dev;
    child.inode = status.st_ino;
    stack.push_back(std::move(child));
    const std::size_t depth = stack.size() - 1;
    if (depth > OPEN_LEVELS) close_level(&stack[depth - OPEN_LEVELS]);
    return true;
}

// Removes the current entry of the innermost level, a directory after
// entering it; anything else, symbolic links included, is unlinked itself.
void remove_entry(std::vector<level>& stack, const std::string& path)
{
    level& dir = stack.back();
    const auto type = static_cast<unsigned char>(dir.entries[dir.next]);
    const char* const name = current_name(dir);

    if (type != DT_DIR && type != DT_UNKNOWN) {
        // The type is a hint from readdir: if the entry has become a
        // directory since, unlinkat refuses and it is looked at again.
        if (unlinkat(dir.fd, name, 0) == 0 || errno != EISDIR) return;
    }
    struct stat status {};
    if (fstatat(dir.fd, name, &status, AT_SYMLINK_NOFOLLOW) != 0) return;
    if (!S_ISDIR(status.st_mode)) {
        unlinkat(dir.fd, name, 0);
        return;
    }
    if (!still_in_parent(stack)) {
        dir.next = dir.entries.size();  // moved away meanwhile: give it up
        return;
    }
    const int fd = open_directory(dir.fd, name);
    if (fd >= 0 && enter(stack, path, fd)) return;
    if (fd < 0 && (errno == ENOTDIR || errno == ELOOP)) {
        unlinkat(dir.fd, name, 0);  // replaced by a non-directory meanwhile
    } else {
        // Unreadable, its contents stay; an empty one still goes.
        unlinkat(dir.fd, name, AT_REMOVEDIR);
    }
}

// Leaves the innermost level, whose entries are all handled, and removes
// it from its parent; it stays if something in it was preserved or could
// not be deleted. A level moved or replaced meanwhile is not the walk's any
// more and stays where it went; the walk goes on with the parent's other
// entries, unless the parent itself could not be found again.
void leave(std::vector<level>& stack)
{
    const bool in_place = still_in_parent(stack);
    close_level(&stack.back());
    stack.pop_back();
    level& parent = stack.back();
    if (parent.fd < 0) {
        parent.next = parent.entries.size();
        return;
    }
    if (in_place) unlinkat(parent.fd, current_name(parent), AT_REMOVEDIR);
    skip_entry(&parent);
}

void purge_directory(int root_fd)
{
    std::vector<level> stack;
    stack.push_back(level{root_fd, 0, 0, 0, {}, 0});
    if (!read_entries(root_fd, &stack.back().entries)) {
        perror("opendir failed");
        close(root_fd);
        return;
    }
    std::string path;  // the current entry's path below the root, "/a/b"
    while (true) {
        level& dir = stack.back();
        if (dir.next >= dir.entries.size()) {
            if (stack.size() == 1) break;
            leave(stack);
            continue;
        }
        path.resize(dir.path_length);
        path += '/';
        path += current_name(dir);
        if (!preserved_prefix(path).empty()) {
            skip_entry(&dir);
            continue;
        }
        const std::size_t depth = stack.size();
        remove_entry(stack, path);
        // An entered directory's entry is passed over when the walk leaves it.
        if (stack.size() == depth) skip_entry(&stack.back());
    }
    close_level(&stack.front());
}

}  // namespace

int purge_working_directory()
{
    char root[PATH_BUFFER];
    if (getcwd(root, sizeof root) == nullptr) {
        // Without a known root there is no telling what would be deleted.
        perror("getcwd");
        return -1;
    }
    puts("purge...");
    const int root_fd = open(".", DIRECTORY_FLAGS & ~O_NOFOLLOW);
    if (root_fd < 0) {
        if (errno != ENOENT) perror("opendir failed");
        return 0;
    }
    purge_directory(root_fd);
    return 0;
}

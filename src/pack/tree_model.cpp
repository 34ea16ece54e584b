// The device's tree during an update, as check foresees it. After the purge
// the tree holds the preserved paths and their parents, directories that
// the device cannot remove. Each entry then lands as libarchive's disk
// writer lands it with the device's flags, which include no safety flag:
// it creates missing parents and replaces a file in a parent's place, it
// replaces whatever is at the entry's path unless that is a directory
// (only an empty one gives way to a non-directory), it keeps a directory,
// or a symbolic link to one, for a directory entry, and it writes through
// every symbolic link on the way. A directory's mode, times and ACL, and
// the immutable and append-only flags of any entry, it sets only once the
// archive has ended, by opening the path again, whatever is there then.
#include <archive_entry.h>
#include <linux/fs.h>

#include <climits>

#include "contract/update_archive.h"
#include "pack/pack.h"

namespace {

// Components joined by "/", "." and empty ones left out, as libarchive
// cleans a path; "" is the top. A component too long for any file system
// is left in *normal.
tree_problem normalize(std::string_view path, std::string* normal)
{
    normal->clear();
    if (path.starts_with("/")) return tree_problem::absolute;
    while (!path.empty()) {
        const std::size_t slash = path.find('/');
        const std::string_view part = path.substr(0, slash);
        path = slash == std::string_view::npos ? std::string_view{} : path.substr(slash + 1);
        if (part.empty() || part == ".") continue;
        if (part == "..") return tree_problem::parent_component;
        if (part.size() > NAME_MAX) {
            *normal = part;
            return tree_problem::name_too_long;
        }
        if (!normal->empty()) *normal += '/';
        *normal += part;
    }
    return tree_problem::none;
}

const tree_node* find(const device_tree& tree, const std::string& normal)
{
    const auto at = tree.nodes.find(normal);
    return at == tree.nodes.end() ? nullptr : &at->second;
}

bool has_children(const device_tree& tree, const std::string& normal)
{
    if (normal.empty()) return tree.nodes.size() > 1;
    const auto next = tree.nodes.lower_bound(normal + "/");
    return next != tree.nodes.end() && next->first.starts_with(normal + "/");
}

std::string_view preserved_prefix_of(const std::string& normal)
{
    return normal.empty() ? std::string_view{} : preserved_prefix("/" + normal);
}

entry_outcome problem(tree_problem what, std::string subject, bool in_target = false)
{
    entry_outcome outcome{};
    outcome.problem = what;
    outcome.subject = std::move(subject);
    outcome.in_target = in_target;
    return outcome;
}

// Where `path` lands below the top, refusing what leaves the tree or passes
// through a symbolic link already in it.
entry_outcome follow(const device_tree& tree, const char* path, bool in_target)
{
    std::string normal;
    if (const tree_problem escape = normalize(path, &normal); escape != tree_problem::none) {
        entry_outcome outcome = problem(escape, "", in_target);
        if (escape == tree_problem::name_too_long) outcome.bytes = normal.size();
        return outcome;
    }
    for (std::size_t slash = normal.find('/'); slash != std::string::npos; slash = normal.find('/', slash + 1)) {
        const std::string parent = normal.substr(0, slash);
        if (const tree_node* node = find(tree, parent); node != nullptr && node->kind == node_kind::symlink) {
            return problem(tree_problem::through_link, "./" + parent, in_target);
        }
    }
    entry_outcome outcome{};
    outcome.normal = std::move(normal);
    return outcome;
}

// What a hard link (without data) to `target` makes: another name of the
// node there. Sets `outcome.problem` when the device cannot make it.
node_kind link_kind(const device_tree& tree, const char* target, entry_outcome* outcome)
{
    // linkat() takes the stored name as it is: a trailing "/" or "." asks
    // for a directory.
    const std::string_view raw = target;
    if (raw.empty() || raw.ends_with('/') || raw == "." || raw.ends_with("/.")) {
        *outcome = problem(tree_problem::link_target_not_a_name, std::string(raw), true);
        return node_kind::other;
    }
    entry_outcome to = follow(tree, target, true);
    if (to.problem != tree_problem::none) {
        *outcome = std::move(to);
        return node_kind::other;
    }
    const std::string quoted = "./" + to.normal;
    if (to.normal == outcome->normal) {
        *outcome = problem(tree_problem::link_to_itself, quoted, true);
        return node_kind::other;
    }
    const tree_node* const node = find(tree, to.normal);
    const std::string_view preserved = preserved_prefix_of(to.normal);
    if (node == nullptr) {
        *outcome = problem(!preserved.empty()                ? tree_problem::link_to_preserved_elsewhere
                           : to.normal == KERNEL_IMAGE_PATH ? tree_problem::link_to_kernel_image
                                                            : tree_problem::link_target_missing,
                           quoted, true);
        return node_kind::other;
    }
    // A target in the place of the entry's parent is unlinked for a
    // directory before the link is made.
    if (node->kind == node_kind::directory || outcome->normal.starts_with(to.normal + "/")) {
        *outcome = problem(tree_problem::link_to_directory, to.normal.empty() ? "./" : quoted, true);
        return node_kind::other;
    }
    outcome->target_preserved = preserved;
    return node->kind;
}

node_kind kind_of(struct archive_entry* entry)
{
    switch (archive_entry_filetype(entry)) {
    case AE_IFDIR: return node_kind::directory;
    case AE_IFLNK: return node_kind::symlink;
    case AE_IFCHR:
    case AE_IFBLK:
    case AE_IFIFO: return node_kind::other;
    default: return node_kind::file;  // the disk writer makes anything else a regular file
    }
}

// A file in a parent's place that the device opens again at the end, when
// a directory will have replaced it.
const std::string* unfinished_parent(const device_tree& tree, const std::string& normal)
{
    for (std::size_t slash = normal.find('/'); slash != std::string::npos; slash = normal.find('/', slash + 1)) {
        const auto at = tree.nodes.find(normal.substr(0, slash));
        if (at != tree.nodes.end() && at->second.kind != node_kind::directory && at->second.finished) {
            return &at->first;
        }
    }
    return nullptr;
}

// Missing parents become directories; a file in a parent's place is
// unlinked for one.
void make_parents(device_tree* tree, const std::string& normal)
{
    for (std::size_t slash = normal.find('/'); slash != std::string::npos; slash = normal.find('/', slash + 1)) {
        tree_node& parent = tree->nodes[normal.substr(0, slash)];
        if (parent.kind != node_kind::directory) parent = {node_kind::directory, false, false};
    }
}

bool has_lasting_flags(struct archive_entry* entry)
{
    unsigned long set = 0, clear = 0;
    archive_entry_fflags(entry, &set, &clear);
    return (set & (FS_IMMUTABLE_FL | FS_APPEND_FL | FS_JOURNAL_DATA_FL)) != 0;
}

}  // namespace

void tree_after_purge(device_tree* tree)
{
    tree->nodes.clear();
    tree->written = 0;
    tree->nodes[""] = {node_kind::directory, true, false};
    for (const std::string_view prefix : PRESERVED_PATHS) {
        const std::string path(prefix.substr(1));
        for (std::size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1)) {
            tree->nodes[path.substr(0, slash)] = {node_kind::directory, true, false};
        }
        tree->nodes[path] = {node_kind::directory, true, false};
    }
}

entry_outcome tree_apply(device_tree* tree, struct archive_entry* entry)
{
    const char* const path = archive_entry_pathname(entry);
    if (path == nullptr || *path == '\0') return problem(tree_problem::empty_name, "");
    entry_outcome outcome = follow(*tree, path, false);
    if (outcome.problem != tree_problem::none) return outcome;
    outcome.preserved = preserved_prefix_of(outcome.normal);

    node_kind kind = kind_of(entry);
    bool finished = kind == node_kind::directory || has_lasting_flags(entry);
    if (const char* const target = archive_entry_hardlink(entry)) {
        // The disk writer opens such a link's target and writes the data
        // and the entry's mode, ACL and times there, through a symbolic
        // link too.
        if (archive_entry_size(entry) > 0) {
            entry_outcome carries = problem(tree_problem::link_carries_data, "");
            carries.bytes = static_cast<uint64_t>(archive_entry_size(entry));
            return carries;
        }
        kind = link_kind(*tree, target, &outcome);
        if (outcome.problem != tree_problem::none) return outcome;
        finished = false;  // the link is all there is to it
    }

    const tree_node* const there = find(*tree, outcome.normal);
    const std::string quoted = outcome.normal.empty() ? "./" : "./" + outcome.normal;
    if (kind != node_kind::directory) {
        if (outcome.normal.empty()) return problem(tree_problem::top_not_directory, quoted);
        // Some attributes (an ACL) the writer sets through the name as stored.
        const std::string_view stored = path;
        if (stored.ends_with('/') || stored.ends_with("/.")) return problem(tree_problem::directory_name, "");
    }
    // Opened at the end to set a flag, a FIFO blocks the device for ever.
    if (finished && kind == node_kind::other) return problem(tree_problem::special_file_flags, quoted);
    if (there != nullptr && there->finished && !(kind == node_kind::directory && there->kind == kind)) {
        return problem(tree_problem::replaces_unfinished, quoted);
    }
    if (const std::string* parent = unfinished_parent(*tree, outcome.normal)) {
        return problem(tree_problem::replaces_unfinished, "./" + *parent);
    }
    if (kind == node_kind::directory) {
        // A directory entry keeps a link there and applies its owner and
        // attributes to it or through it.
        if (there != nullptr && there->kind == node_kind::symlink) {
            return problem(tree_problem::directory_over_link, quoted);
        }
    } else if (there != nullptr && there->kind == node_kind::directory) {
        if (there->kept) return problem(tree_problem::replaces_kept_directory, quoted);
        if (has_children(*tree, outcome.normal)) return problem(tree_problem::replaces_filled_directory, quoted);
    }
    const bool kept = there != nullptr && there->kept;
    finished = finished || (there != nullptr && there->finished);
    make_parents(tree, outcome.normal);
    tree->nodes[outcome.normal] = {kind, kept && kind == node_kind::directory, finished};
    ++tree->written;
    return outcome;
}

// An update killed at any point (a power cut, an impatient technician) is
// completed by running the same command again: the tree then equals what
// bsdtar extracts from the archive, with the preserved paths untouched. The
// kills are SIGKILLs raised by the preload library at the N-th call of a
// function, so every point is reproducible: the madvise calls of the hashing,
// the start of the purge, its deletions, and the archive reads of the
// extraction, spread over each phase.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "harness.h"

namespace {

using fwu::Scratch;

constexpr std::array<std::string_view, 7> PRESERVED_PREFIXES = {
    "/etc/belvonix", "/etc/dropbear", "/home/chrome", "/var/alsa",
    "/var/lib/bluetooth", "/var/lib/reports/finished", "/var/belvonix-1.0",
};

// Directories of every generated tree; the first five hold preserved paths
// on the device.
const std::vector<std::string> COMMON_DIRS = {"etc", "home", "var", "var/lib", "var/lib/reports", "usr", "usr/lib"};

struct random_numbers {
    std::uint32_t state;
    std::uint32_t below(std::size_t bound)
    {
        state = state * 1664525u + 1013904223u;
        return (state >> 8) % static_cast<std::uint32_t>(bound);
    }
};

void set_time(const std::string& path, long seconds)
{
    const timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

// A root file system of `files` entries below `base`, names tagged with
// `tag`: nested directories, files of mixed sizes (`large` of them over a
// mebibyte), modes with setuid, other owners, relative and absolute
// symbolic links, hard links, a read-only directory, fixed times.
void generate_tree(const std::string& base, char tag, int files, int large, std::uint32_t seed)
{
    random_numbers random{seed};
    std::vector<std::string> dirs = COMMON_DIRS;
    for (int i = 0; i < files / 12; ++i)
        dirs.push_back(dirs[random.below(dirs.size())] + "/" + tag + "d" + std::to_string(i));
    for (const std::string& dir : dirs) fwu::make_dirs(base + "/" + dir);
    constexpr unsigned MODES[] = {0644, 0644, 0755, 0600, 0444, 04755};
    std::vector<std::string> regular;
    for (int i = 0; i < files; ++i) {
        const std::string name = dirs[random.below(dirs.size())] + "/" + tag + std::to_string(i);
        const std::string path = base + "/" + name;
        const std::uint32_t kind = random.below(100);
        if (kind < 5) {
            const std::string target = kind == 0   ? "/bin/busybox"
                                       : kind == 1 ? "/"
                                                   : "../" + std::string(1, tag) + std::to_string(i / 2);
            ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0) << path;
        } else if (kind < 7 && !regular.empty()) {
            ASSERT_EQ(link(regular[random.below(regular.size())].c_str(), path.c_str()), 0) << path;
            continue;
        } else {
            const std::size_t size = i < large ? (std::size_t{3} << 19) + random.below(1 << 16)
                                     : kind < 80 ? random.below(2048) : 2048 + random.below(14000);
            std::string contents = name + "\n";
            contents.resize(std::max(size, contents.size()), static_cast<char>('a' + i % 26));
            fwu::write_file(path, contents, MODES[random.below(std::size(MODES))]);
            if (kind % 9 == 0) {
                ASSERT_EQ(lchown(path.c_str(), 1000, 1000), 0);
            }
            regular.push_back(path);
        }
        set_time(path, 1500000000L + 7919L * i);
    }
    chmod((base + "/" + dirs.back()).c_str(), 0555);
    for (std::size_t i = dirs.size(); i-- > 0;)
        set_time(base + "/" + dirs[i], 1400000000L + 86400L * static_cast<long>(i));
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::istringstream in(text);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::string path_of(const std::string& line)
{
    return line.substr(0, line.find(' '));
}

bool preserved(const std::string& line)
{
    const std::string path = "/" + path_of(line);
    return std::any_of(PRESERVED_PREFIXES.begin(), PRESERVED_PREFIXES.end(),
                       [&](std::string_view prefix) { return path.starts_with(prefix); });
}

std::set<std::string> paths_in(const std::vector<std::string>& lines)
{
    std::set<std::string> paths;
    for (const std::string& line : lines) paths.insert(path_of(line));
    return paths;
}

std::size_t count_in(const std::set<std::string>& paths, const std::set<std::string>& tree)
{
    return static_cast<std::size_t>(
        std::count_if(paths.begin(), paths.end(), [&](const std::string& p) { return tree.contains(p); }));
}

enum class phase { hashing, before_purge, purge, extraction };

struct kill_point {
    phase when;
    const char* function;
    int tenths;  // where in the phase's calls, 0 (the first) to 10 (the last)
};

constexpr kill_point KILL_POINTS[] = {
    {phase::hashing, "madvise", 0},     {phase::hashing, "madvise", 3},     {phase::hashing, "madvise", 7},
    {phase::hashing, "madvise", 10},    {phase::before_purge, "getcwd", 0}, {phase::purge, "unlinkat", 1},
    {phase::purge, "unlinkat", 2},      {phase::purge, "unlinkat", 3},      {phase::purge, "unlinkat", 5},
    {phase::purge, "unlinkat", 7},      {phase::purge, "unlinkat", 9},      {phase::purge, "unlinkat", 10},
    {phase::extraction, "read", 0},     {phase::extraction, "read", 1},     {phase::extraction, "read", 2},
    {phase::extraction, "read", 4},     {phase::extraction, "read", 6},     {phase::extraction, "read", 8},
    {phase::extraction, "read", 9},     {phase::extraction, "read", 10},
};

// One firmware: the archive of a generated tree, and what bsdtar makes of it.
struct firmware {
    std::string bytes;
    std::string digest;
    std::vector<std::string> reference;  // snapshot lines, sorted
};

firmware make_firmware(const Scratch& s, char tag, std::uint32_t seed)
{
    const std::string name = std::string("src/") + tag;
    generate_tree(s / name, tag, 2000, 3, seed);
    firmware f;
    f.bytes = fwu::tar_of_tree(s / name);
    f.digest = fwu::sha256_hex(f.bytes);
    fwu::write_file(s / (name + ".tar"), f.bytes);
    fwu::make_dirs(s / (name + "-ref"));
    EXPECT_EQ(fwu::run_host({"bsdtar", "-xp", "--acls", "--fflags", "--no-xattrs", "-f", s / (name + ".tar"), "-C",
                             s / (name + "-ref")})
                  .status,
              0);
    f.reference = lines_of(fwu::snapshot_tree(s / (name + "-ref"), true));
    for (const char* dir : {"in/", "root/var/belvonix-1.0/updates/"}) fwu::write_file(s / (dir + f.digest), f.bytes);
    return f;
}

// The first few lines that only one side has.
std::string difference(const std::vector<std::string>& got, const std::vector<std::string>& want)
{
    std::vector<std::string> extra, missing;
    std::set_difference(got.begin(), got.end(), want.begin(), want.end(), std::back_inserter(extra));
    std::set_difference(want.begin(), want.end(), got.begin(), got.end(), std::back_inserter(missing));
    std::string text;
    for (std::size_t i = 0; i < std::min<std::size_t>(extra.size(), 5); ++i) text += "+ " + extra[i] + "\n";
    for (std::size_t i = 0; i < std::min<std::size_t>(missing.size(), 5); ++i) text += "- " + missing[i] + "\n";
    return text;
}

// A directory that already exists keeps the time of the writes into it,
// with bsdtar as with the tool: the parents of the preserved paths do.
std::vector<std::string> without_parent_times(std::vector<std::string> lines, const std::vector<std::string>& kept)
{
    std::set<std::string> parents;
    for (const std::string& line : kept) {
        const std::string path = path_of(line);
        for (std::size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1))
            parents.insert(path.substr(0, slash));
    }
    for (std::string& line : lines)
        if (parents.contains(path_of(line))) line = line.substr(0, line.find(" mtime "));
    return lines;
}

// Some twenty updates of thousands of files take seconds on a tmpfs and
// minutes on a slow disk: the scratch directory gets one, mounted in a
// mount namespace private to this test process and taken down before the
// scratch directory is removed.
struct private_tmpfs {
    std::string path;
    explicit private_tmpfs(const Scratch& s) : path(s.path())
    {
        EXPECT_EQ(unshare(CLONE_NEWNS), 0);
        EXPECT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
        EXPECT_EQ(mount("tmpfs", path.c_str(), "tmpfs", MS_NODEV | MS_NOSUID, "size=512m,mode=0700"), 0);
        for (const char* dir : {"root", "dev", "class", "debug"}) fwu::make_dirs(s / dir);
    }
    ~private_tmpfs() { umount2(path.c_str(), MNT_DETACH); }
};

// The device alternates between two firmware trees: each run installs the
// other one over what the previous run left, first killed, then again.
TEST(Interrupted, RerunCompletesTheUpdate)
{
    Scratch s;
    const private_tmpfs fast(s);
    const firmware firmwares[2] = {make_firmware(s, 'a', 1), make_firmware(s, 'b', 2)};
    ASSERT_EQ(fwu::run_host({"bsdtar", "-xp", "-f", s / "src/a.tar", "-C", s.root()}).status, 0);
    fwu::make_tree(s.root(), {"etc/belvonix/id=device 7", "etc/belvonix/ssl/key=k", "etc/belvonix.conf=c",
                              "etc/dropbear/dropbear_rsa_host_key=h", "home/chrome/.config/prefs=p",
                              "var/alsa/asound.state=a", "var/lib/bluetooth/00:11/info=i",
                              "var/lib/reports/finished/r1=r", "var/lib/reports/pending/r2=r"});
    chmod(s.root().append("/etc").c_str(), 0700);
    std::vector<std::string> before = lines_of(fwu::snapshot_tree(s.root(), true));

    for (std::size_t i = 0; i < std::size(KILL_POINTS); ++i) {
        const firmware& target = firmwares[(i + 1) % 2];
        // Half of the runs read the archive beside the root, half below it
        // under a preserved path.
        const std::string archive = (i % 2 ? "var/belvonix-1.0/updates/" : "../in/") + target.digest;
        std::vector<std::string> kept;
        std::set<std::string> old_only, new_only = paths_in(target.reference);
        for (const std::string& line : before) {
            if (preserved(line)) {
                kept.push_back(line);
                continue;
            }
            if (!new_only.erase(path_of(line))) old_only.insert(path_of(line));
        }

        // The phase's calls of the counted function: the hashing releases a
        // mebibyte per madvise after a first one; the purge unlinks every
        // entry not preserved once; the reader's first read comes before
        // the purge.
        const kill_point& point = KILL_POINTS[i];
        const std::size_t calls[] = {1 + (target.bytes.size() >> 20), 1, before.size() - kept.size(),
                                     target.bytes.size() / 10240};
        const std::size_t first_call[] = {2, 1, 1, 2};
        const auto when = static_cast<std::size_t>(point.when);
        const std::size_t nth =
            first_call[when] + (calls[when] - first_call[when]) * static_cast<std::size_t>(point.tenths) / 10;
        std::string rule = std::string(point.function) + ":" + std::to_string(nth) + ":KILL";
        if (point.when == phase::extraction) rule += ":" + target.digest;
        SCOPED_TRACE(rule + ", archive " + archive);

        const fwu::RunResult killed = fwu::run_tool(s, {archive}, {.fail = {rule}});
        ASSERT_EQ(killed.status, 128 + SIGKILL) << killed.out << killed.err;
        const std::vector<std::string> after_kill = lines_of(fwu::snapshot_tree(s.root(), true));
        const std::set<std::string> tree = paths_in(after_kill);
        switch (point.when) {
        case phase::hashing:
        case phase::before_purge:
            EXPECT_EQ(difference(after_kill, before), "");
            break;
        case phase::purge:
            EXPECT_LT(count_in(old_only, tree), old_only.size());
            EXPECT_EQ(count_in(new_only, tree), 0u);
            break;
        case phase::extraction:
            EXPECT_EQ(count_in(old_only, tree), 0u);
            break;
        }

        const fwu::RunResult rerun = fwu::run_tool(s, {archive});
        ASSERT_EQ(rerun.status, 0) << rerun.out << rerun.err;
        EXPECT_TRUE(rerun.out.ends_with("unpack...\nsync\n")) << rerun.out;
        EXPECT_EQ(rerun.err, "");

        before = lines_of(fwu::snapshot_tree(s.root(), true));
        std::vector<std::string> updated;
        std::copy_if(before.begin(), before.end(), std::back_inserter(updated),
                     [](const std::string& line) { return !preserved(line); });
        std::vector<std::string> still_kept;
        std::copy_if(before.begin(), before.end(), std::back_inserter(still_kept), preserved);
        EXPECT_EQ(difference(still_kept, kept), "");
        EXPECT_EQ(difference(without_parent_times(updated, kept), without_parent_times(target.reference, kept)), "");
    }
}

}  // namespace

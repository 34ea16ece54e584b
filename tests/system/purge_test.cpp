// The purge on the real binary, run with an archive without entries so that
// what is left below the root is exactly what the purge kept. A failure to
// read a directory is reported, one of a single deletion is not; neither
// stops the update.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include "harness.h"

namespace {

// make_chain's arguments.
struct Chain {
    std::string component;
    int levels = 0;
};

struct PurgeRow {
    const char* name;
    std::vector<std::string> tree = {};  // make_tree entries; "{S}" the scratch directory
    const char* survivors;               // every path below the root afterwards
    std::vector<std::string> fail = {};
    const char* err = "";
    Chain chain = {};
};

class PurgeTest : public testing::TestWithParam<PurgeRow> {};

TEST_P(PurgeTest, KeepsExactlyThePreservedPaths)
{
    const PurgeRow& row = GetParam();
    fwu::Scratch s;
    for (std::string entry : row.tree) {
        if (const std::size_t at = entry.find("{S}"); at != std::string::npos) entry.replace(at, 3, s.path());
        fwu::make_tree(s.root(), {entry});
    }
    if (row.chain.levels > 0) fwu::make_chain(s.root(), row.chain.component, row.chain.levels);
    // Beside the root, and reachable from it only through links.
    fwu::make_tree(s.path(), {"outside/f=f", "outside/sub/g=g"});
    const std::string outside = fwu::snapshot_tree(s / "outside");
    const std::string archive = fwu::write_as_digest(s / "archive", fwu::host({"tar", "-cf", "-", "-T", "/dev/null"}));

    // However deep the tree, the walk keeps few descriptors open.
    const rlimit files{256, 256};
    setrlimit(RLIMIT_NOFILE, &files);
    const fwu::RunResult r = fwu::run_tool(s, {archive}, {.fail = row.fail});
    EXPECT_EQ(r.out, fwu::announced(archive) + "purge...\nunpack...\nsync\n");
    EXPECT_EQ(r.err, row.err);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(fwu::paths_below(s.root()), row.survivors);
    EXPECT_EQ(fwu::snapshot_tree(s / "outside"), outside);
}

INSTANTIATE_TEST_SUITE_P(Rows, PurgeTest, testing::Values(
    PurgeRow{.name = "preserved_paths",
        .tree = {"etc/belvonix/a", "etc/passwd", "usr/bin/x", "var/lib/reports/finished/x", "var/lib/reports/pending",
                  "etc/dropbear_keys", "etc/belvonix.conf", "home/chrome/.config/x", ".profile", "etc/dropbear/host_key",
                  "home/guest/x", "var/alsa/asound.state", "var/lib/bluetooth/00:11/info", "var/belvonix-1.0/state"},
        .survivors = "etc etc/belvonix etc/belvonix/a etc/belvonix.conf etc/dropbear etc/dropbear/host_key etc/dropbear_keys "
                      "home home/chrome home/chrome/.config home/chrome/.config/x var var/alsa var/alsa/asound.state "
                      "var/belvonix-1.0 var/belvonix-1.0/state var/lib var/lib/bluetooth var/lib/bluetooth/00:11 "
                      "var/lib/bluetooth/00:11/info var/lib/reports var/lib/reports/finished var/lib/reports/finished/x"},
    PurgeRow{.name = "empty_preserved_directories",
        .tree = {"etc/belvonix/", "etc/dropbear/", "home/chrome/", "var/alsa/", "var/lib/bluetooth/",
                  "var/lib/reports/finished/", "var/belvonix-1.0/"},
        .survivors = "etc etc/belvonix etc/dropbear home home/chrome var var/alsa var/belvonix-1.0 var/lib var/lib/bluetooth "
                      "var/lib/reports var/lib/reports/finished"},
    PurgeRow{.name = "near_misses_are_deleted",
        .tree = {"etc/belvoni", "home/chrom", "ETC/belvonix/f", "x/etc/belvonix/f", "etc/x/belvonix"}, .survivors = ""},
    // The rules refuse any open of "rootlink", so that a walk that followed
    // the link to "/" would fail loudly instead of emptying it.
    PurgeRow{.name = "hidden_files_links_and_a_fifo",
        .tree = {".profile", ".../f", "lib/libc.so", "lib64 -> lib", "rootlink -> /", "up -> ..", "out -> {S}/outside",
                  "dangling -> nowhere", "run/initctl|"},
        .survivors = "",
        .fail = {"open:1+:EACCES:rootlink", "openat:1+:EACCES:rootlink", "opendir:1+:EACCES:rootlink"}},
    PurgeRow{.name = "3000_levels", .survivors = "", .chain = {.component = "d", .levels = 3000}},
    PurgeRow{.name = "paths_over_4096_bytes", .survivors = "",
        .chain = {.component = std::string(250, 'x'), .levels = 20}},
    PurgeRow{.name = "root_cannot_be_opened", .tree = {"etc/passwd"}, .survivors = "etc etc/passwd",
        .fail = {"open:1:EACCES:."}, .err = "opendir failed: Permission denied\n"},
    PurgeRow{.name = "root_cannot_be_listed", .tree = {"etc/passwd"}, .survivors = "etc etc/passwd",
        .fail = {"fdopendir:1:EACCES"}, .err = "opendir failed: Permission denied\n"},
    // Their contents stay, but an empty one is still removed.
    PurgeRow{.name = "directory_cannot_be_opened", .tree = {"old/d/f", "shut/", "new"},
        .survivors = "old old/d old/d/f", .fail = {"openat:1:EACCES:old", "openat:1:EACCES:shut"},
        .err = "opendir failed: Permission denied\nopendir failed: Permission denied\n"},
    PurgeRow{.name = "directory_cannot_be_listed", .tree = {"unlisted/", "new"}, .survivors = "",
        .fail = {"fdopendir:1:EACCES:unlisted"}, .err = "opendir failed: Permission denied\n"},
    PurgeRow{.name = "directory_cannot_be_queried", .tree = {"old/d/f", "new"}, .survivors = "old old/d old/d/f",
        .fail = {"fstat:1:EIO:/root/old"}, .err = "opendir failed: Input/output error\n"},
    PurgeRow{.name = "directory_vanishes", .tree = {"old/d/f", "new"}, .survivors = "old old/d old/d/f",
        .fail = {"openat:1:ENOENT:old"}},
    PurgeRow{.name = "status_unreadable", .tree = {"keep/f", "file"}, .survivors = "keep keep/f",
        .fail = {"fstatat:1+:EIO"}},
    PurgeRow{.name = "a_file_cannot_be_deleted", .tree = {"old/stale", "new"}, .survivors = "old old/stale",
        .fail = {"unlinkat:1:EPERM:stale"}}),
    [](const auto& info) { return std::string(info.param.name); });

// A directory moved out of the root while it is emptied is given up once
// the walk notices, at the next directory it enters or leaves; the walk goes
// on with the other entries of its parent, the root here, listed before and
// after it.
TEST(PurgeRoot, GivesUpADirectoryMovedAway)
{
    fwu::Scratch s;
    std::vector<std::string> tree;
    for (int i = 0; i < 40; ++i) tree.push_back("s" + std::to_string(i) + (i % 2 ? "/f" : ""));
    tree.insert(tree.begin() + 20, {"a/b/t1=1", "a/c/t2=2"});
    fwu::make_tree(s.root(), tree);
    const std::string archive = fwu::write_as_digest(s / "archive", fwu::host({"tar", "-cf", "-", "-T", "/dev/null"}));
    const fwu::RunResult r = fwu::run_tool(
        s, {archive},
        {.fail = {"unlinkat:1:RENAME:t"}, .env = {"FWU_RENAME_FROM=" + s.root() + "/a", "FWU_RENAME_TO=" + s / "moved"}});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(fwu::paths_below(s.root()), "");
    // The file whose deletion raced the move is gone; the other directory stays.
    const std::string moved = fwu::paths_below(s / "moved");
    EXPECT_TRUE(moved == "b b/t1" || moved == "c c/t2") << moved;
}

// A working directory whose path does not fit the tool's buffer cannot be
// named: nothing is deleted.
TEST(PurgeRoot, RefusesAnUndeterminedRoot)
{
    fwu::Scratch s;
    fwu::make_chain(s.root(), std::string(250, 'w'), 20);
    std::string deep = "root";
    for (int i = 0; i < 20; ++i) deep += "/" + std::string(250, 'w');
    const std::string archive = fwu::write_as_digest(s / "archive", fwu::host({"tar", "-cf", "-", "-T", "/dev/null"}));
    const std::string before = fwu::paths_below(s.path());
    const fwu::RunResult r = fwu::run_tool(s, {archive}, {.cwd = deep});
    EXPECT_EQ(r.out, fwu::announced(archive));
    EXPECT_EQ(r.err, "getcwd: Numerical result out of range\n");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(fwu::paths_below(s.path()), before);
}

}  // namespace

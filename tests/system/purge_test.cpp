// The purge on the real binary, run with an archive without entries so that
// what is left below the root is exactly what the purge kept.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>

#include "harness.h"

namespace {

std::string announced(const std::string& archive)
{
    return "firmware-update: filename = '" + archive + "'\nChecksum ok (" + archive.substr(archive.rfind('/') + 1) +
           ")\n";
}

std::string empty_archive(const fwu::Scratch& s)
{
    const fwu::RunResult tar = fwu::run_host({"tar", "-cf", "-", "-T", "/dev/null"});
    EXPECT_EQ(tar.status, 0) << tar.err;
    return fwu::write_as_digest(s / "archive", tar.out);
}

std::vector<std::string> paths_below(const std::string& dir)
{
    std::istringstream lines(fwu::snapshot_tree(dir));
    std::vector<std::string> paths;
    for (std::string line; std::getline(lines, line);)
        paths.push_back(line.substr(0, line.find(' ')));
    return paths;
}

std::string chain(const std::string& component, int levels)
{
    std::string path;
    for (int i = 0; i < levels; ++i)
        path += component + "/";
    return path;
}

struct Row {
    const char* name;
    std::vector<std::string> tree;       // make_tree entries; "NAME|" a FIFO, "{S}" the scratch directory
    std::vector<std::string> survivors;  // everything below the root afterwards
    std::vector<std::string> fail = {};
    std::string err = "";
};

TEST(Purge, KeepsExactlyThePreservedPaths)
{
    const Row rows[] = {
        {"preserved paths",
         {"etc/belvonix/a", "etc/passwd", "usr/bin/x", "var/lib/reports/finished/x", "var/lib/reports/pending",
          "etc/dropbear_keys", "etc/belvonix.conf", "home/chrome/.config/x", ".profile", "etc/dropbear/host_key",
          "home/guest/x", "var/alsa/asound.state", "var/lib/bluetooth/00:11/info", "var/belvonix-1.0/state",
          "var/log/messages"},
         {"etc", "etc/belvonix", "etc/belvonix/a", "etc/belvonix.conf", "etc/dropbear", "etc/dropbear/host_key",
          "etc/dropbear_keys", "home", "home/chrome", "home/chrome/.config", "home/chrome/.config/x", "var",
          "var/alsa", "var/alsa/asound.state", "var/belvonix-1.0", "var/belvonix-1.0/state", "var/lib",
          "var/lib/bluetooth", "var/lib/bluetooth/00:11", "var/lib/bluetooth/00:11/info", "var/lib/reports",
          "var/lib/reports/finished", "var/lib/reports/finished/x"}},
        {"prefixes of characters, not of components",
         {"etc/belvonix-old/f", "home/chromebook/f", "var/alsa.bak", "var/lib/reports/finished.old/x",
          "var/belvonix-1.0.1/", "etc/belvoni", "home/chrom", "ETC/belvonix/f", "x/etc/belvonix/f", "etc/x/belvonix"},
         {"etc", "etc/belvonix-old", "etc/belvonix-old/f", "home", "home/chromebook", "home/chromebook/f", "var",
          "var/alsa.bak", "var/belvonix-1.0.1", "var/lib", "var/lib/reports", "var/lib/reports/finished.old",
          "var/lib/reports/finished.old/x"}},
        // The rules refuse any open of "rootlink", so that a walk that
        // followed the link to "/" would fail loudly instead of emptying it.
        {"hidden files, links and a FIFO",
         {".profile", ".ssh/known_hosts", ".../f", "lib/libc.so", "lib64 -> lib", "rootlink -> /", "up -> ..",
          "out -> {S}/outside", "dangling -> nowhere", "run/initctl|"},
         {},
         {"open:1+:EACCES:rootlink", "openat:1+:EACCES:rootlink", "opendir:1+:EACCES:rootlink"}},
        {"empty root", {}, {}},
        {"3000 levels", {chain("d", 3000) + "f"}, {}},
        {"paths over 4096 bytes", {chain(std::string(250, 'x'), 20) + "f", chain(std::string(250, 'y'), 17)}, {}},
        {"unreadable root",
         {"etc/passwd", "usr/bin/x"},
         {"etc", "etc/passwd", "usr", "usr/bin", "usr/bin/x"},
         {"fdopendir:1:EACCES"},
         "opendir failed: Permission denied\n"},
        {"unreadable status", {"keep/f", "file"}, {"keep", "keep/f"}, {"fstatat:1+:EIO"}},
        // Their contents stay, but an empty one is still removed.
        {"directories that cannot be opened or listed",
         {"shut/", "unlisted/", "full/f"},
         {"full", "full/f"},
         {"openat:1:EACCES:shut", "fdopendir:1:EACCES:unlisted", "openat:1:EACCES:full"},
         "opendir failed: Permission denied\nopendir failed: Permission denied\nopendir failed: Permission denied\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fwu::Scratch s;
        for (std::string entry : row.tree) {
            if (const std::size_t at = entry.find("{S}"); at != std::string::npos)
                entry.replace(at, 3, s.path());
            if (entry.back() == '|') {
                fwu::make_tree(s.root(), {entry.substr(0, entry.rfind('/') + 1)});
                ASSERT_EQ(mkfifo((s.root() + "/" + entry.substr(0, entry.size() - 1)).c_str(), 0600), 0);
            } else {
                fwu::make_tree(s.root(), {entry});
            }
        }
        // Beside the root, and reachable from it only through links.
        fwu::make_tree(s.path(), {"outside/f=f", "outside/sub/g=g", "beside=beside"});
        const std::string outside = fwu::snapshot_tree(s / "outside", true);
        const std::string archive = empty_archive(s);

        const fwu::RunResult r = fwu::run_tool(s, {archive}, {.fail = row.fail});
        EXPECT_EQ(r.out, announced(archive) + "purge...\nunpack...\nsync\n");
        EXPECT_EQ(r.err, row.err);
        EXPECT_EQ(r.status, 0);
        std::vector<std::string> expected = row.survivors;
        std::sort(expected.begin(), expected.end());
        std::vector<std::string> survivors = paths_below(s.root());
        std::sort(survivors.begin(), survivors.end());
        EXPECT_EQ(survivors, expected);
        EXPECT_EQ(fwu::snapshot_tree(s / "outside", true), outside);
        EXPECT_EQ(fwu::read_file(s / "beside"), "beside");
    }
}

// The reason getcwd gives, with the tool's 4096-byte buffer, in the
// directory `levels` times `component` below `base` (entered one step at a
// time: the whole path is too long for chdir).
std::string getcwd_error_in(const std::string& base, const std::string& component, int levels)
{
    const int here = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool entered = chdir(base.c_str()) == 0;
    for (int i = 0; i < levels; ++i)
        entered = entered && chdir(component.c_str()) == 0;
    char buffer[4096];
    std::string reason = entered && getcwd(buffer, sizeof buffer) == nullptr ? std::strerror(errno) : "no failure";
    if (fchdir(here) != 0)
        reason = "cannot return";
    close(here);
    return reason;
}

TEST(Purge, RefusesAnUndeterminedRoot)
{
    fwu::Scratch s;
    const std::string component(250, 'w');
    fwu::make_tree(s / chain(component, 20), {"etc/passwd=root", "usr/bin/x"});
    const std::string archive = empty_archive(s);
    const std::string before = fwu::snapshot_tree(s / component, true);

    const fwu::RunResult r = fwu::run_tool(s, {archive}, {.cwd = chain(component, 20)});
    EXPECT_EQ(r.out, announced(archive));
    EXPECT_EQ(r.err, "getcwd: " + getcwd_error_in(s.path(), component, 20) + "\n");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(fwu::snapshot_tree(s / component, true), before);
}

// A directory moved out of the root while it is emptied is given up once
// the walk notices: at the next directory it enters or leaves.
TEST(Purge, GivesUpADirectoryMovedAway)
{
    fwu::Scratch s;
    fwu::make_tree(s.root(), {"a/b/t1=1", "a/c/t2=2"});
    const std::string archive = empty_archive(s);
    const fwu::RunResult r = fwu::run_tool(
        s, {archive},
        {.fail = {"unlinkat:1:RENAME:t"},
         .env = {"FWU_RENAME_FROM=" + s.root() + "/a", "FWU_RENAME_TO=" + s.path() + "/moved"}});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(paths_below(s.root()), std::vector<std::string>{});
    // The file whose deletion raced the move is gone, the other directory stays.
    const std::vector<std::string> moved = paths_below(s / "moved");
    EXPECT_TRUE(moved == (std::vector<std::string>{"b", "b/t1"}) || moved == (std::vector<std::string>{"c", "c/t2"}))
        << ::testing::PrintToString(moved);
}

}  // namespace

// An update killed at any point (a power cut, an impatient technician) is
// completed by running the same command again: the tree then equals what
// bsdtar extracts from the archive, with the preserved paths untouched. The
// kills are SIGKILLs that the preload library raises at an event of the
// run: the archive mapped, the purge starting, a given file deleted or
// created.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "harness.h"

namespace {

// Firmware `tag` (a letter no hexadecimal digest holds, so that no rule
// matches the archive): 200 entries below the parents of the preserved
// paths and elsewhere; files of mixed sizes (one over a mebibyte), modes
// and owners, relative and absolute symbolic links, hard links, fixed times.
void generate(const std::string& base, char tag)
{
    const std::string dirs[] = {"etc", "home", "var/lib/reports", "usr/lib", "usr/bin"};
    constexpr unsigned MODES[] = {0644, 0755, 0600, 04755};
    std::string previous;
    for (int i = 0; i < 200; ++i) {
        const std::string dir = base + "/" + dirs[i % 5] + (i % 3 ? "" : "/" + std::string(1, tag) + "d" + std::to_string(i % 4));
        const std::string path = dir + "/" + tag + (i == 7 ? "big" : std::to_string(i));
        fwu::make_dirs(dir);
        if (i % 10 == 1) {
            ASSERT_EQ(symlink(i % 20 == 1 ? "/bin/busybox" : "../x", path.c_str()), 0);
        } else if (i % 10 == 2) {
            ASSERT_EQ(link(previous.c_str(), path.c_str()), 0);
        } else {
            fwu::write_file(path, std::string(i == 7 ? 1500000 : i * 37 % 3000, tag), MODES[i % 4]);
            ASSERT_EQ(i % 9 ? 0 : lchown(path.c_str(), 1000, 1000), 0);
            previous = path;
        }
    }
    fwu::host({"find", base, "-exec", "touch", "-h", "-d", "@1500000000", "{}", "+"});
}

enum class Phase { before_purge, purge, extraction };

struct Kill {
    const char* name;
    const char* rule;  // "@B@" stands for the archive's digest
    Phase phase;
};

class Interrupted : public testing::TestWithParam<Kill> {};

TEST_P(Interrupted, RerunCompletesTheUpdate)
{
    const Kill& kill = GetParam();
    fwu::Scratch s;
    ASSERT_NO_FATAL_FAILURE(generate(s / "p", 'p'));
    ASSERT_NO_FATAL_FAILURE(generate(s / "q", 'q'));
    // The device runs firmware p, with its own files in the preserved paths.
    fwu::write_file(s / "p.tar", fwu::tar_of_tree(s / "p"));
    fwu::host({"bsdtar", "-xp", "-C", s.root(), "-f", s / "p.tar"});
    const std::vector<std::string> kept = {"etc/belvonix/id=device 7", "etc/dropbear/host_key=h",
                                           "home/chrome/.config/settings=s", "var/lib/reports/finished/r1=r"};
    fwu::make_tree(s.root(), kept);
    fwu::make_tree(s.root(), {"var/lib/reports/waiting/r2=r"});
    const std::string archive = fwu::write_as_digest(s / "in", fwu::tar_of_tree(s / "q"));
    const std::string installed = fwu::paths_below(s.root());

    std::string rule = kill.rule;
    if (const std::size_t at = rule.find("@B@"); at != std::string::npos) rule.replace(at, 3, archive.substr(archive.rfind('/') + 1));
    const fwu::RunResult killed = fwu::run_tool(s, {archive}, {.fail = {rule}});
    ASSERT_EQ(killed.status, 128 + SIGKILL) << killed.out << killed.err;
    const std::string after_kill = fwu::paths_below(s.root());
    // Untouched before the purge; old files only in it; none after it.
    EXPECT_EQ(after_kill == installed, kill.phase == Phase::before_purge) << after_kill;
    EXPECT_EQ(after_kill.find("/p") != std::string::npos, kill.phase != Phase::extraction) << after_kill;
    EXPECT_EQ(after_kill.find("/q") != std::string::npos, kill.phase == Phase::extraction) << after_kill;

    const fwu::RunResult rerun = fwu::run_tool(s, {archive});
    ASSERT_EQ(rerun.status, 0) << rerun.out << rerun.err;
    EXPECT_EQ(rerun.err, "");
    for (const std::string& entry : kept) {
        const std::size_t equals = entry.find('=');
        EXPECT_EQ(fwu::read_file(s.root() + "/" + entry.substr(0, equals)), entry.substr(equals + 1));
    }
    // Less the preserved paths, the tree is firmware q as bsdtar extracts it.
    fwu::host({"rm", "-r", s.root() + "/etc/belvonix", s.root() + "/etc/dropbear", s.root() + "/home/chrome",
               s.root() + "/var/lib/reports/finished"});
    fwu::make_dirs(s / "reference");
    fwu::host({"bsdtar", "-xp", "-C", s / "reference", "-f", archive});
    EXPECT_EQ(fwu::snapshot_tree(s.root()), fwu::snapshot_tree(s / "reference"));
}

INSTANTIATE_TEST_SUITE_P(Points, Interrupted, testing::Values(
    Kill{"archive_mapped", "mmap:1:KILL:@B@", Phase::before_purge},
    Kill{"purge_starting", "getcwd:1:KILL", Phase::before_purge},
    Kill{"purge_deleting_a_file", "unlinkat:1:KILL:p100", Phase::purge},
    Kill{"extraction_creating_a_file", "open:1:KILL:q100", Phase::extraction},
    Kill{"extraction_writing_the_large_file", "write:2:KILL:/qbig", Phase::extraction}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

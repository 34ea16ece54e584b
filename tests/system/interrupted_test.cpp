// An update killed at any point (a power cut, an impatient technician) is
// completed by running the same command again: the tree then equals what
// bsdtar extracts from the archive, with the preserved paths untouched. The
// kills are SIGKILLs that the preload library raises at an event of the
// run: the archive mapped, the purge starting, a given file deleted or
// created.
#include <gtest/gtest.h>

#include <signal.h>

#include "harness.h"

namespace {

// Firmware `tag` (a letter no hexadecimal digest holds, so that no rule
// matches the archive): 200 files below the parents of the preserved paths
// and elsewhere, one of them over a mebibyte, at a fixed time.
void generate(const std::string& base, char tag)
{
    const std::string dirs[] = {"etc", "home", "var/lib/reports", "usr/lib", "usr/bin"};
    for (int i = 0; i < 200; ++i)
        fwu::write_file(base + "/" + dirs[i % 5] + "/" + tag + std::to_string(i), std::string(i == 7 ? 1500000 : i * 37, tag));
    fwu::host({"find", base, "-exec", "touch", "-h", "-d", "@1500000000", "{}", "+"});
}

struct Kill {
    const char* name;
    const char* rule;  // "@B@" stands for the archive's digest
};

class Interrupted : public testing::TestWithParam<Kill> {};

TEST_P(Interrupted, RerunCompletesTheUpdate)
{
    fwu::Scratch s;
    generate(s / "p", 'p');
    generate(s / "q", 'q');
    // The device runs firmware p, with its own files in the preserved paths.
    fwu::write_file(s / "p.tar", fwu::tar_of_tree(s / "p"));
    fwu::host({"bsdtar", "-xp", "-C", s.root(), "-f", s / "p.tar"});
    const std::vector<std::string> kept = {"etc/belvonix/id=device 7", "etc/dropbear/host_key=h",
                                           "home/chrome/.config/settings=s", "var/lib/reports/finished/r1=r"};
    fwu::make_tree(s.root(), kept);
    const std::string archive = fwu::write_as_digest(s / "in", fwu::tar_of_tree(s / "q"));

    std::string rule = GetParam().rule;
    if (const std::size_t at = rule.find("@B@"); at != std::string::npos) rule.replace(at, 3, archive.substr(archive.rfind('/') + 1));
    const fwu::RunResult killed = fwu::run_tool(s, {archive}, {.fail = {rule}});
    ASSERT_EQ(killed.status, 128 + SIGKILL) << killed.out << killed.err;

    const fwu::RunResult rerun = fwu::run_tool(s, {archive});
    ASSERT_EQ(rerun.status, 0) << rerun.out << rerun.err;
    for (const std::string& entry : kept) {
        const std::size_t equals = entry.find('=');
        EXPECT_EQ(fwu::read_file(s.root() + "/" + entry.substr(0, equals)), entry.substr(equals + 1));
    }
    // Less the preserved paths, the tree is firmware q as bsdtar extracts it.
    fwu::host({"rm", "-r", s.root() + "/etc/belvonix", s.root() + "/etc/dropbear", s.root() + "/home/chrome",
               s.root() + "/var/lib/reports/finished"});
    fwu::bsdtar_reference(archive, s / "reference");
    EXPECT_EQ(fwu::snapshot_tree(s.root()), fwu::snapshot_tree(s / "reference"));
}

INSTANTIATE_TEST_SUITE_P(Points, Interrupted, testing::Values(
    Kill{"archive_mapped", "mmap:1:KILL:@B@"},
    Kill{"purge_starting", "getcwd:1:KILL"},
    Kill{"purge_deleting_a_file", "unlinkat:1:KILL:p100"},
    Kill{"extraction_creating_a_file", "open:1:KILL:q100"},
    Kill{"extraction_writing_the_large_file", "write:2:KILL:/q7"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

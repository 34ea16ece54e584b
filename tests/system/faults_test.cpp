// Failing system calls, injected through the sandbox's preload library,
// one row per kind of failure in each stage after the checks (the archive's
// own calls are the verification tests', the purge's the purge tests'):
// each ends in a clear message and an honest exit status, and leaves
// nothing outside the root changed; the indicators never stop the update
// (the screen's failures are the screen tests').
#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "harness.h"

namespace {

constexpr const char* LED1 = "class/leds/belvonix:1/brightness";
constexpr const char* RO_ERROR = "debug/ubifs/ubi0_0/ro_error";

struct Fault {
    const char* name;
    std::string rule;  // "@A@" stands for the archive's digest
    const char* tail;  // stdout after "purge...\nunpack...\n"
    int status;
    const char* tree;  // every path below the root afterwards; "": as bsdtar extracts
    const char* unchanged = nullptr;  // a device file the fault keeps as it was
    bool inject = false;              // run with -e 1
};

class Faults : public testing::TestWithParam<Fault> {};

TEST_P(Faults, InjectedFailure)
{
    const Fault& f = GetParam();
    fwu::Scratch s;
    // Names hold letters that no hexadecimal digest does, so that a rule
    // matching them never counts the archive's own calls.
    fwu::make_tree(s / "src", {"sub/", "link -> one", "one=" + std::string(100000, 'a'), "sub/two=two"});
    const std::string bytes = fwu::host({"tar", "--mtime=@1500000000", "-C", s / "src", "-cf", "-", "one", "sub", "link"});
    const std::string archive = fwu::write_as_digest(s / "in", bytes);
    fwu::make_tree(s.root(), {"etc/belvonix/id=device 7", "old/d/stale=old"});
    fwu::add_devices(s);
    const std::string outside = fwu::snapshot_tree(s / "in", true);
    const std::string device = f.unchanged ? fwu::read_file(s / f.unchanged) : "";
    std::string rule = f.rule;
    if (const std::size_t at = rule.find("@A@"); at != std::string::npos) rule.replace(at, 3, fwu::sha256_hex(bytes));

    std::vector<std::string> args = {"../in/" + fwu::sha256_hex(bytes)};
    if (f.inject) args.insert(args.begin(), {"-e", "1"});
    const fwu::RunResult r = fwu::run_tool(s, args, {.fail = {rule}});
    // libarchive names the descriptor, whose number depends on what the test runner passes on.
    EXPECT_EQ(std::regex_replace(r.out, std::regex("fd [0-9]+"), "fd N"), fwu::announced(args.back(), f.inject ? "1" : "") + "purge...\nunpack...\n" + f.tail);
    EXPECT_EQ(r.status, f.status);
    EXPECT_EQ(fwu::snapshot_tree(s / "in", true), outside);
    if (f.unchanged) {
        EXPECT_EQ(fwu::read_file(s / f.unchanged), device);
    }
    if (*f.tree) {
        EXPECT_EQ(fwu::paths_below(s.root()), f.tree);
        return;
    }
    // A successful update holds every entry as bsdtar extracts it.
    std::istringstream reference(fwu::bsdtar_reference(archive, s / "reference"));
    const std::string tree = fwu::snapshot_tree(s.root(), true);
    for (std::string line; std::getline(reference, line);) EXPECT_NE(tree.find(line + "\n"), std::string::npos) << line;
    EXPECT_EQ(fwu::paths_below(s.root()), "etc etc/belvonix etc/belvonix/id link one sub sub/two");
}

INSTANTIATE_TEST_SUITE_P(Rows, Faults, testing::Values(
    Fault{"archive_read_fails_inside_an_entry", "read:2+:EIO:@A@",
          "archive_read_extract() failed for one: (-30) Error reading fd N\n", 255, "etc etc/belvonix etc/belvonix/id one"},
    Fault{"no_space_for_data", "write:1:ENOSPC:/root/one", "archive_read_extract() failed for one: (-20) Write failed\n",
          255, "etc etc/belvonix etc/belvonix/id one"},
    Fault{"read_only_file_system_for_a_new_file", "open:1:EROFS:sub/two",
          "archive_read_extract() failed for sub/two: (-20) Can't create 'sub/two'\n", 255,
          "etc etc/belvonix etc/belvonix/id one sub"},
    Fault{"leds_cannot_be_written", "write:1+:EIO:brightness", "sync\n", 0, "", LED1},
    Fault{"debug_switch_cannot_be_written", "write:1+:EIO:ro_error", "Simulating I/O error in UBIFS layer\nsync\n", 0, "",
          RO_ERROR, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

// The command line and the root and NFS checks on the real binary: every
// run stops with status 1 before anything in the scratch tree (working
// directory, LEDs, framebuffer, UBIFS switch) is touched, although a valid
// archive waits to be applied ("@" in the rows). A parsed -e count shows in
// the injection message; the reading of counts is the unit tests' business.
#include <gtest/gtest.h>

#include "harness.h"

namespace {

const std::string USAGE_TEXT =
    " [OPTIONS] FILENAME\n"
    "Extract firmware update\n\n"
    " [-s]\t\tsilent update, keep LEDs off (optional)\n"
    " [-e <num>]\tsimulate I/O error after writing num files (optional)\n"
    "\nThis tool wipes the entire filesystem before unpacking the archive - use with care!\n";
const std::string USAGE = "Usage: firmware-update" + USAGE_TEXT;
const std::string PARSE_ERROR = "Couldn't parse argument for -e option!\n\n" + USAGE;
const std::string NOT_ROOT = "You are not root, dude.\n";

struct LineRow {
    const char* name;
    std::vector<std::string> args;
    std::string out;
    fwu::As as = fwu::As::user;
    const char* statfs_root = "";
    const char* err = "";
};

class CommandLine : public testing::TestWithParam<LineRow> {};

TEST_P(CommandLine, StopsBeforeTouchingAnything)
{
    const LineRow& row = GetParam();
    fwu::Scratch s;
    fwu::make_tree(s.root(), {"etc/config=old", "link -> etc/config"});
    fwu::add_devices(s);
    fwu::make_tree(s / "new", {"etc/config=new"});
    const std::string archive = fwu::write_as_digest(s / "archives", fwu::tar_of_tree(s / "new"));
    const std::string before = fwu::snapshot_tree(s.path());
    std::vector<std::string> args;
    for (const std::string& arg : row.args) args.push_back(fwu::expand(arg, {{"@", archive}}));
    const fwu::RunResult r = fwu::run_tool(s, args, {.as = row.as, .statfs_root = row.statfs_root});
    EXPECT_EQ(r.out, fwu::expand(row.out, {{"@", archive}}));
    EXPECT_EQ(r.err, row.err);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(fwu::snapshot_tree(s.path()), before);
}

std::string accepted(const std::string& file, const std::string& count = "", const std::string& then = NOT_ROOT)
{
    return fwu::announced(file, count, false) + then;
}

INSTANTIATE_TEST_SUITE_P(Rows, CommandLine, testing::Values(
    LineRow{.name = "no_arguments", .args = {}, .out = USAGE},
    LineRow{.name = "count_missing", .args = {"@", "-e"}, .out = USAGE},
    LineRow{.name = "unknown_option", .args = {"-x", "@"}, .out = USAGE},
    LineRow{.name = "lone_dash", .args = {"-"}, .out = USAGE},
    LineRow{.name = "two_files", .args = {"@", "G"}, .out = USAGE},
    LineRow{.name = "count_not_a_number", .args = {"-e", "12abc", "@"}, .out = PARSE_ERROR},
    LineRow{.name = "count_is_an_option", .args = {"-e", "-s", "@"}, .out = PARSE_ERROR},
    LineRow{.name = "user", .args = {"@"}, .out = accepted("@")},
    LineRow{.name = "empty_file_name", .args = {""}, .out = accepted("")},
    LineRow{.name = "only_the_second_character_counts", .args = {"-silent", "-every", "0x10", "@"},
        .out = accepted("@", "16")},
    LineRow{.name = "count_shown_unsigned", .args = {"@", "-e", "-1"}, .out = accepted("@", "4294967295")},
    LineRow{.name = "last_count_wins", .args = {"-e", "5", "@", "-e", "0"}, .out = accepted("@")},
    LineRow{.name = "effective_uid_not_root", .args = {"-e", "1", "@"}, .out = accepted("@", "1"), .as = fwu::As::euid},
    LineRow{.name = "real_uid_not_root", .args = {"-e", "1", "@"}, .out = accepted("@", "1"), .as = fwu::As::setuid},
    LineRow{.name = "nfs_root", .args = {"-e", "1", "@"},
        .out = accepted("@", "1", "rootfs is mounted via NFS, not updating.\n"), .as = fwu::As::root,
        .statfs_root = "nfs"},
    LineRow{.name = "statfs_fails", .args = {"-e", "1", "@"}, .out = accepted("@", "1", ""), .as = fwu::As::root,
        .statfs_root = "EIO", .err = "statfs: Input/output error\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// The usage names the program as invoked; without an argument vector
// (which Linux turns into one empty string) the tool names itself.
TEST(ProgramName, AsInvoked)
{
    fwu::Scratch s;
    EXPECT_EQ(fwu::run_tool(s, {}, {.as = fwu::As::user, .argv0 = "/usr/sbin/fw up"}).out,
              "Usage: /usr/sbin/fw up" + USAGE_TEXT);
    EXPECT_EQ(fwu::run_tool(s, {}, {.as = fwu::As::user, .no_argv = true}).out, USAGE);
    // An empty name before arguments is a name, used as it is.
    EXPECT_EQ(fwu::run_tool(s, {"x"}, {.as = fwu::As::user, .argv0 = ""}).out,
              ": filename = 'x'\nYou are not root, dude.\n");
}

}  // namespace

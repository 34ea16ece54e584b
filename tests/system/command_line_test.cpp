// The command line on the real binary, run as a non-root user with a fake
// UBIFS switch present: a parsed -e count shows in the injection message,
// and the run stops at the root check. The reading of counts is the unit
// tests' business; here only the options and their wiring.
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

struct Line {
    const char* name;
    std::vector<std::string> args;
    std::string out;
};

class CommandLine : public testing::TestWithParam<Line> {};

TEST_P(CommandLine, PrintsAndStops)
{
    fwu::Scratch s;
    fwu::add_ro_error(s);
    const fwu::RunResult r = fwu::run_tool(s, GetParam().args, {.as = fwu::As::user});
    EXPECT_EQ(r.out, GetParam().out);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 1);
}

std::string accepted(const std::string& file, const std::string& count = "")
{
    return "firmware-update: filename = '" + file + "'\n" +
           (count.empty() ? "" : "!! UBIFS will fail after " + count + " files have been written !!\n") + NOT_ROOT;
}

INSTANTIATE_TEST_SUITE_P(Rows, CommandLine, testing::Values(
    Line{"no_arguments", {}, USAGE},
    Line{"count_missing", {"F", "-e"}, USAGE},
    Line{"unknown_option", {"-x", "F"}, USAGE},
    Line{"two_files", {"F", "G"}, USAGE},
    Line{"count_not_a_number", {"-e", "12abc", "F"}, PARSE_ERROR},
    Line{"count_is_an_option", {"-e", "-s", "F"}, PARSE_ERROR},
    Line{"file", {"F"}, accepted("F")},
    Line{"empty_file_name", {""}, accepted("")},
    Line{"only_the_second_character_counts", {"-silent", "-every", "0x10", "F"}, accepted("F", "16")},
    Line{"count_shown_unsigned", {"F", "-e", "-1"}, accepted("F", "4294967295")},
    Line{"last_count_wins", {"-e", "5", "F", "-e", "0"}, accepted("F")}),
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

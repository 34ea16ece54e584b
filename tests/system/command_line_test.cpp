// The command line, observed on the real binary. Every row runs as a
// non-root user with a fake UBIFS switch present, so a parsed -e count shows
// in the injection message and the run stops at the root check untouched.
#include <gtest/gtest.h>

#include "harness.h"

namespace {

const std::string USAGE =
    "Usage: firmware-update [OPTIONS] FILENAME\n"
    "Extract firmware update\n\n"
    " [-s]\t\tsilent update, keep LEDs off (optional)\n"
    " [-e <num>]\tsimulate I/O error after writing num files (optional)\n"
    "\nThis tool wipes the entire filesystem before unpacking the archive - use with care!\n";
const std::string PARSE_ERROR = "Couldn't parse argument for -e option!\n\n" + USAGE;

// What an accepted command line prints for file F and count N.
std::string accepted(const std::string& file, const char* count = nullptr)
{
    return "firmware-update: filename = '" + file + "'\n" +
           (count ? std::string("!! UBIFS will fail after ") + count + " files have been written !!\n" : "") +
           "You are not root, dude.\n";
}

struct Row {
    std::vector<std::string> args;
    std::string out;
    int status;
};

TEST(CommandLine, ParsesOptionsAndCounts)
{
    const Row rows[] = {
        // Usage errors.
        {{}, USAGE, 1},
        {{"-e"}, USAGE, 1},
        {{"F", "-e"}, USAGE, 1},
        {{"-x", "F"}, USAGE, 1},
        {{"-", "F"}, USAGE, 1},
        {{"F", "G"}, USAGE, 1},
        {{"", "F"}, USAGE, 1},
        {{"-s", "-s"}, USAGE, 1},
        // Counts that do not convert entirely.
        {{"-e", "12abc", "F"}, PARSE_ERROR, 1},
        {{"-e", "-s", "F"}, PARSE_ERROR, 1},
        {{"-e", "08", "F"}, PARSE_ERROR, 1},
        {{"-e", "0x", "F"}, PARSE_ERROR, 1},
        {{"-e", "abc", "F"}, PARSE_ERROR, 1},
        {{"-e", "5 ", "F"}, PARSE_ERROR, 1},
        {{"F", "-e", "1.5"}, PARSE_ERROR, 1},
        // Accepted command lines.
        {{"F"}, accepted("F"), 1},
        {{""}, accepted(""), 1},
        {{"F", "-s"}, accepted("F"), 1},
        {{"-s", "-silent", "F"}, accepted("F"), 1},
        {{"-e", "7", "F"}, accepted("F", "7"), 1},
        {{"-every", "7", "F"}, accepted("F", "7"), 1},
        {{"-e", "0x10", "F"}, accepted("F", "16"), 1},
        {{"-e", "0X1f", "F"}, accepted("F", "31"), 1},
        {{"-e", "010", "F"}, accepted("F", "8"), 1},
        {{"-e", "-1", "F"}, accepted("F", "4294967295"), 1},
        {{"-e", "-5", "F"}, accepted("F", "4294967291"), 1},
        {{"-e", "-0x10", "F"}, accepted("F", "4294967280"), 1},
        {{"-e", "4294967295", "F"}, accepted("F", "4294967295"), 1},
        {{"-e", "4294967296", "F"}, accepted("F", "4294967295"), 1},
        {{"-e", "99999999999999999999999", "F"}, accepted("F", "4294967295"), 1},
        {{"-e", "-4294967297", "F"}, accepted("F", "4294967295"), 1},
        {{"-e", " 5", "F"}, accepted("F", "5"), 1},
        {{"-e", "\t\n+5", "F"}, accepted("F", "5"), 1},
        {{"-e", "", "F"}, accepted("F"), 1},
        {{"-e", "0", "F"}, accepted("F"), 1},
        {{"-e", "00", "F"}, accepted("F"), 1},
        {{"-e", "5", "F", "-e", "6"}, accepted("F", "6"), 1},
        {{"-e", "5", "-e", "0", "F"}, accepted("F"), 1},
        {{"-e", "F", "3"}, PARSE_ERROR, 1},
    };
    fwu::Scratch scratch;
    fwu::add_ro_error(scratch);
    const std::string before = fwu::snapshot_tree(scratch.path(), true);
    for (const Row& row : rows) {
        std::string trace;
        for (const std::string& a : row.args)
            trace += "'" + a + "' ";
        SCOPED_TRACE("args: " + trace);
        fwu::RunResult r = fwu::run_tool(scratch, row.args, {.as = fwu::As::user});
        EXPECT_EQ(r.out, row.out);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, row.status);
    }
    EXPECT_EQ(fwu::snapshot_tree(scratch.path(), true), before);
}

// The program name is the argument vector's first element as given; with
// no argument vector at all (which Linux since 5.18 turns into a single
// empty string) the tool names itself.
TEST(CommandLine, ProgramName)
{
    fwu::Scratch scratch;
    fwu::RunResult given = fwu::run_tool(scratch, {}, {.as = fwu::As::user, .argv0 = "/usr/sbin/fw up"});
    EXPECT_EQ(given.out, "Usage: /usr/sbin/fw up [OPTIONS] FILENAME\n" + USAGE.substr(USAGE.find('\n') + 1));
    EXPECT_EQ(given.status, 1);
    fwu::RunResult none = fwu::run_tool(scratch, {}, {.as = fwu::As::user, .no_argv = true});
    EXPECT_EQ(none.out, USAGE);
    EXPECT_EQ(none.status, 1);
    // An empty name before arguments is a name, used as it is.
    fwu::RunResult empty = fwu::run_tool(scratch, {"x"}, {.as = fwu::As::user, .argv0 = ""});
    EXPECT_EQ(empty.out, ": filename = 'x'\nYou are not root, dude.\n");
    EXPECT_EQ(empty.status, 1);
}

}  // namespace

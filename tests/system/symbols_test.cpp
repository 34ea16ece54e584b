// The executable's dynamic symbol table defines exactly the names of
// exports.list, apart from what the toolchain puts there on its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <sstream>

#include "harness.h"

namespace {

// Symbols the linker and the C runtime may define in any executable, and
// versioned names (stdout@GLIBC_2.2.5): a library's variables that the
// x86-64 build copies in. A sanitizer build adds its runtime's names.
bool belongs_to_toolchain(const std::string& name)
{
    static const std::set<std::string> TOOLCHAIN = {"_edata", "_end", "__bss_start", "_init",
                                                    "_fini", "__data_start", "data_start", "__dso_handle"};
    return name.find('@') != std::string::npos || name.starts_with("__asan_") || TOOLCHAIN.contains(name);
}

TEST(Symbols, DynamicTableHoldsExactlyTheExportList)
{
    std::set<std::string> listed, exported;
    std::istringstream list(fwu::read_file(FWU_EXPORTS_LIST));
    for (std::string token; list >> token;)
        if (token != "{" && token != "};" && token.back() == ';') listed.insert(token.substr(0, token.size() - 1));
    // The C runtime's marker that the program uses today's stdio: without
    // it the 32-bit glibc switches the standard streams to old objects.
    listed.insert("_IO_stdin_used");
    std::istringstream lines(fwu::host({"nm", "-D", "--defined-only", fwu::TOOL_PATH}));
    for (std::string line; std::getline(lines, line);)
        if (const std::string name = line.substr(line.rfind(' ') + 1); !belongs_to_toolchain(name)) exported.insert(name);
    EXPECT_EQ(exported, listed);
}

// libarchive keeps the time_t of its own build while the tool's is 64-bit:
// none of the functions the tool calls may take a time or a structure
// holding one. A new import must be checked for that before it is added.
TEST(Symbols, LibarchiveCallsCarryNoTimes)
{
    std::set<std::string> imported;
    std::istringstream lines(fwu::host({"nm", "-D", "--undefined-only", fwu::TOOL_PATH}));
    for (std::string line; std::getline(lines, line);)
        if (const std::string name = line.substr(line.rfind(' ') + 1); name.starts_with("archive_")) imported.insert(name);
    EXPECT_EQ(imported, (std::set<std::string>{"archive_entry_pathname", "archive_error_string", "archive_read_close",
                                               "archive_read_extract", "archive_read_extract_set_progress_callback",
                                               "archive_read_free", "archive_read_new", "archive_read_next_header",
                                               "archive_read_open_fd", "archive_read_support_filter_all",
                                               "archive_read_support_format_tar"}));
}

}  // namespace

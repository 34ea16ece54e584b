// The executable's dynamic symbol table defines exactly the names of
// exports.list, apart from what the toolchain puts there on its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <sstream>
#include <string_view>

#include "harness.h"

namespace {

// Symbols the linker and the C runtime may define in any executable. None
// shows on today's builds, where the dynamic list keeps them out, but
// another binutils may export them, and they are not ours.
constexpr std::array<std::string_view, 8> TOOLCHAIN_SYMBOLS = {
    "_edata", "_end", "__bss_start", "_init", "_fini", "__data_start", "data_start", "__dso_handle",
};

// A versioned name (stdout@GLIBC_2.2.5) is a library's variable that the
// x86-64 build copies into the executable; its definition is the library's.
bool belongs_to_toolchain(const std::string& name)
{
    // A sanitizer build adds its runtime's options hook and variables.
    return name.find('@') != std::string::npos || name.starts_with("__asan_") ||
           std::find(TOOLCHAIN_SYMBOLS.begin(), TOOLCHAIN_SYMBOLS.end(), name) != TOOLCHAIN_SYMBOLS.end();
}

TEST(Symbols, DynamicTableHoldsExactlyTheExportList)
{
    std::vector<std::string> listed;
    std::istringstream list(fwu::read_file(FWU_EXPORTS_LIST));
    for (std::string token; list >> token;)
        if (token != "{" && token != "};" && token.back() == ';')
            listed.push_back(token.substr(0, token.size() - 1));
    ASSERT_GE(listed.size(), 19u);
    // The C runtime's marker that the program uses today's stdio: without
    // it the 32-bit glibc switches the standard streams to old objects.
    listed.push_back("_IO_stdin_used");

    fwu::RunResult nm = fwu::run_host({"nm", "-D", "--defined-only", fwu::TOOL_PATH});
    ASSERT_EQ(nm.status, 0) << nm.err;
    std::vector<std::string> exported;
    std::istringstream lines(nm.out);
    for (std::string line; std::getline(lines, line);) {
        std::string name = line.substr(line.rfind(' ') + 1);
        if (!belongs_to_toolchain(name))
            exported.push_back(name);
    }
    std::sort(listed.begin(), listed.end());
    std::sort(exported.begin(), exported.end());
    EXPECT_EQ(exported, listed);
}

// libarchive keeps the time_t of its own build while the tool is built
// with a 64-bit one: none of the functions the tool calls takes a time or
// a structure holding one. A new import must be checked for that.
TEST(Symbols, LibarchiveCallsCarryNoTimes)
{
    fwu::RunResult nm = fwu::run_host({"nm", "-D", "--undefined-only", fwu::TOOL_PATH});
    ASSERT_EQ(nm.status, 0) << nm.err;
    std::vector<std::string> imported;
    std::istringstream lines(nm.out);
    for (std::string line; std::getline(lines, line);) {
        std::string name = line.substr(line.rfind(' ') + 1);
        if (name.starts_with("archive_")) imported.push_back(name);
    }
    std::sort(imported.begin(), imported.end());
    EXPECT_EQ(imported, (std::vector<std::string>{
                            "archive_entry_pathname", "archive_error_string", "archive_read_close",
                            "archive_read_extract", "archive_read_extract_set_progress_callback",
                            "archive_read_free", "archive_read_new", "archive_read_next_header",
                            "archive_read_open_fd", "archive_read_support_filter_all",
                            "archive_read_support_format_tar"}));
}

}  // namespace

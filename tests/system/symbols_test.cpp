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
    static const std::set<std::string> TOOLCHAIN = {"_IO_stdin_used", "_edata", "_end", "__bss_start", "_init",
                                                    "_fini", "__data_start", "data_start", "__dso_handle"};
    return name.find('@') != std::string::npos || name.starts_with("__asan_") || TOOLCHAIN.contains(name);
}

TEST(Symbols, DynamicTableHoldsExactlyTheExportList)
{
    std::set<std::string> listed, exported;
    std::istringstream list(fwu::read_file(FWU_EXPORTS_LIST));
    for (std::string token; list >> token;)
        if (token != "{" && token != "};" && token.back() == ';') listed.insert(token.substr(0, token.size() - 1));
    std::istringstream lines(fwu::host({"nm", "-D", "--defined-only", fwu::TOOL_PATH}));
    for (std::string line; std::getline(lines, line);)
        if (const std::string name = line.substr(line.rfind(' ') + 1); !belongs_to_toolchain(name)) exported.insert(name);
    EXPECT_EQ(exported, listed);
}

}  // namespace

// The executable's dynamic symbol table defines exactly the names that the
// device's programs link against, apart from what the toolchain puts there on
// its own. The names are written out here, not read from exports.list, so
// that a name dropped from that list shows.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>

#include "harness.h"

namespace {

// The names that `nm -D FLAG` lists for the tool, less those the linker
// and the C runtime may define in any executable, versioned names
// (stdout@GLIBC_2.2.5: a library's variables that the x86-64 build copies
// in) and a sanitizer runtime's names.
std::set<std::string> dynamic_symbols(const char* flag)
{
    static const std::regex TOOLCHAIN("_edata|_end|__bss_start|_init|_fini|__data_start|data_start|__dso_handle|.*@.*|__asan_.*");
    std::set<std::string> names;
    std::istringstream lines(fwu::host({"nm", "-D", flag, fwu::TOOL_PATH}));
    for (std::string line; std::getline(lines, line);)
        if (const std::string name = line.substr(line.rfind(' ') + 1); !std::regex_match(name, TOOLCHAIN)) names.insert(name);
    return names;
}

TEST(Symbols, DynamicTableHoldsExactlyTheDeviceNames)
{
    EXPECT_EQ(dynamic_symbols("--defined-only"),
              (std::set<std::string>{
                  "main", "sha256", "sha256_string", "sha256_hexdigest", "string_sha256_hexdigest", "debug_print_digest",
                  "convert_int32_little_endian", "convert_int64_little_endian", "convert_int32_big_endian",
                  "convert_int64_big_endian", "little_endian", "swap_bytes", "rotate_right",
                  "p_convert_int32_to_big_endian", "p_convert_int64_to_big_endian", "ROUND_CONSTANTS", "DEFAULT_SHA256",
                  "fb_open", "fb_draw_progress",
                  // The C runtime's marker that the program uses today's stdio: without
                  // it the 32-bit glibc switches the standard streams to old objects.
                  "_IO_stdin_used"}));
}

// libarchive keeps the time_t of its own build while the tool's is 64-bit:
// none of the functions the tool calls may take a time or a structure
// holding one. A new import must be checked for that before it is added.
TEST(Symbols, LibarchiveCallsCarryNoTimes)
{
    std::set<std::string> imported;
    for (const std::string& name : dynamic_symbols("--undefined-only"))
        if (name.starts_with("archive_")) imported.insert(name);
    EXPECT_EQ(imported, (std::set<std::string>{"archive_entry_pathname", "archive_error_string", "archive_read_close",
                                               "archive_read_extract", "archive_read_extract_set_progress_callback",
                                               "archive_read_free", "archive_read_new", "archive_read_next_header",
                                               "archive_read_open", "archive_read_support_filter_all",
                                               "archive_read_support_format_tar", "archive_set_error"}));
}

}  // namespace

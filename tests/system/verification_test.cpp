// The archive's name against its SHA-256 digest (OpenSSL as the oracle).
// Every failure leaves the working tree untouched. Placeholders: {S} the
// scratch directory, {d} the digest of the file as written, {D} the same in
// uppercase, {c} the digest after a one-byte change, {Z} 64 zeros.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <regex>

#include "harness.h"

namespace {

// beyond_the_address_space: a sparse file of 4 GiB and 64 bytes.
enum class Content { tar, changed_byte, empty, none, not_an_archive, beyond_the_address_space };

struct Name {
    const char* name;
    Content content;
    const char* out;  // after the file name line
    const char* err;
    int status;
    std::vector<std::string> fail = {};
    const char* file = "archives/{d}";  // created below the scratch directory
    const char* arg = "../archives/{d}";
};

class Verification : public testing::TestWithParam<Name> {};

TEST_P(Verification, NameAgainstDigest)
{
    const Name& row = GetParam();
    if (row.content == Content::beyond_the_address_space && sizeof(void*) > 4) GTEST_SKIP() << "the 64-bit build maps it";
    fwu::Scratch s;
    fwu::make_tree(s.root(), {"etc/config=old", "empty/"});
    fwu::make_tree(s / "new", {"etc/config=new"});
    // This text's digest has words with leading zeros: 06439c1a 077c8690 ...
    std::string bytes = row.content == Content::not_an_archive ? "not an archive 180\n"
                        : row.content == Content::empty        ? ""
                                                               : fwu::tar_of_tree(s / "new");
    const std::string digest = fwu::sha256_hex(bytes);
    std::string upper = digest;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
    if (row.content == Content::changed_byte) bytes[bytes.size() / 2] ^= 1;
    const std::vector<std::pair<std::string, std::string>> values = {
        {"{S}", s.path()}, {"{d}", digest}, {"{D}", upper}, {"{c}", fwu::sha256_hex(bytes)}, {"{Z}", std::string(64, '0')}};
    const std::string file = fwu::expand(row.file, values), arg = fwu::expand(row.arg, values);
    if (row.content != Content::none) fwu::write_file(s / file, bytes);
    if (row.content == Content::beyond_the_address_space) {
        ASSERT_EQ(truncate((s / file).c_str(), (off_t{1} << 32) + 64), 0);  // sparse: no disk used
    }

    const std::string before = fwu::snapshot_tree(s.root(), true);
    fwu::RunResult r = fwu::run_tool(s, {arg}, {.fail = row.fail});
    const std::string out = fwu::announced(arg, "", false) + fwu::expand(row.out, values);
    // libarchive names the descriptor, whose number depends on what the test runner passes on.
    r.out = std::regex_replace(r.out, std::regex("fd [0-9]+"), "fd N");
    EXPECT_EQ(r.err, row.err);
    EXPECT_EQ(r.status, row.status);
    if (row.status == 0) {
        EXPECT_EQ(r.out, out + "purge...\nunpack...\nsync\n");
        EXPECT_EQ(fwu::read_file(s.root() + "/etc/config"), "new");
    } else {
        EXPECT_EQ(r.out, out);
        EXPECT_EQ(fwu::snapshot_tree(s.root(), true), before);
    }
}

constexpr const char* OK = "Checksum ok ({d})\n";
constexpr const char* MISMATCH = "Ooops, sha256 check failed!?\nexpected   >{D}<\ncalculated >{d}<\n";
constexpr const char* CHANGED = "Ooops, sha256 check failed!?\nexpected   >{d}<\ncalculated >{c}<\n";

INSTANTIATE_TEST_SUITE_P(Rows, Verification, testing::Values(
    Name{"absolute_path", Content::tar, OK, "", 0, {}, "archives/{d}", "{S}/archives/{d}"},
    Name{"relative_path", Content::tar, OK, "", 0, {}, "archives/{d}", "../archives/./{d}"},
    Name{"bare_name", Content::tar, OK, "", 0, {}, "root/{d}", "{d}"},
    Name{"uppercase_name", Content::tar, MISMATCH, "", 255, {}, "archives/{D}", "{S}/archives/{D}"},
    Name{"one_changed_byte", Content::changed_byte, CHANGED, "", 255},
    Name{"not_an_archive", Content::not_an_archive, "Checksum ok ({d})\nUnable to open file: Unrecognized archive format\n",
         "", 226},
    Name{"trailing_slash", Content::tar, "", "open failed: Not a directory\n", 255, {}, "archives/{d}", "../archives/{d}/"},
    Name{"empty_file", Content::empty, "", "mmap: Invalid argument\n", 255},
    Name{"missing_file", Content::none, "", "open failed: No such file or directory\n", 255},
    Name{"open_refused", Content::tar, "", "open failed: Permission denied\n", 255, {"open:1:EACCES:archives"}},
    Name{"fstat_fails", Content::tar, "", "fstat: Input/output error\n", 255, {"fstat:1:EIO:archives"}},
    Name{"mmap_fails", Content::tar, "", "mmap: Cannot allocate memory\n", 255, {"mmap:1:ENOMEM:archives"}},
    Name{"unreadable_for_the_reader", Content::tar, "Checksum ok ({d})\nUnable to open file: Error reading fd N\n", "",
         226, {"read:1:EIO:archives"}},
    // On the 32-bit build it is refused before a byte of it is hashed, not hashed as a shorter file.
    Name{"beyond_the_address_space", Content::beyond_the_address_space,
         "{S}/archives/{Z}: archive of 4294967360 bytes is too large to be verified on this system\n", "", 255, {},
         "archives/{Z}", "{S}/archives/{Z}"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

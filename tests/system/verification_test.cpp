// The archive's name against its SHA-256 digest (OpenSSL as the oracle).
// Every failure leaves the working tree untouched, with LED 3 off and the
// splash on the screen all the same. Placeholders: {S} the scratch
// directory, {d} the digest of the file as written, {D} the same in
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
    std::vector<std::string> env = {};
};

class Verification : public testing::TestWithParam<Name> {};

TEST_P(Verification, NameAgainstDigest)
{
    const Name& row = GetParam();
    if (row.content == Content::beyond_the_address_space && sizeof(void*) > 4) GTEST_SKIP() << "the 64-bit build maps it";
    fwu::Scratch s;
    fwu::make_tree(s.root(), {"etc/config=old", "empty/"});
    fwu::make_tree(s / "new", {"etc/config=new"});
    fwu::add_devices(s);
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
    std::vector<std::string> env;
    for (const std::string& assignment : row.env) env.push_back(fwu::expand(assignment, values));
    fwu::RunResult r = fwu::run_tool(s, {arg}, {.fail = row.fail, .env = env});
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
        EXPECT_EQ(fwu::read_file(s / "class/leds/alix:3/brightness"), "0\n");
        EXPECT_TRUE(fwu::read_file(s / "dev/fb0") == fwu::read_file(FWU_SPLASH_RAW));
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
    Name{"digest_and_an_extension", Content::tar, "Ooops, sha256 check failed!?\nexpected   >{d}.tar<\ncalculated >{d}<\n",
         "", 255, {}, "archives/{d}.tar", "../archives/{d}.tar"},
    Name{"one_changed_byte", Content::changed_byte, CHANGED, "", 255},
    Name{"not_an_archive", Content::not_an_archive, "Checksum ok ({d})\nUnable to open file: Unrecognized archive format\n",
         "", 226},
    Name{"trailing_slash", Content::tar, "", "open failed: Not a directory\n", 255, {}, "archives/{d}", "../archives/{d}/"},
    Name{"empty_file", Content::empty, "", "mmap: Invalid argument\n", 255},
    Name{"missing_file", Content::none, "", "open failed: No such file or directory\n", 255},
    Name{"open_refused", Content::tar, "", "open failed: Permission denied\n", 255, {"open:1:EACCES:archives"}},
    Name{"fstat_fails", Content::tar, "", "fstat: Input/output error\n", 255, {"fstat:1:EIO:archives"}},
    Name{"mmap_fails", Content::tar, "", "mmap: Cannot allocate memory\n", 255, {"mmap:1:ENOMEM:archives"}},
    // Cut to three bytes once mapped: its second page is gone (SIGBUS).
    Name{"cut_short_while_hashed", Content::tar,
         "../archives/{d}: archive could not be read while it was verified (cut short, or a failing medium)\n", "", 255,
         {"madvise:1:OVERWRITE"}, "archives/{d}", "../archives/{d}",
         {"FWU_OVERWRITE_FROM={S}/new/etc/config", "FWU_OVERWRITE_TO={S}/archives/{d}"}},
    Name{"unreadable_for_the_reader", Content::tar, "Checksum ok ({d})\nUnable to open file: Error reading fd N\n", "",
         226, {"read:1:EIO:archives"}},
    // On the 32-bit build it is refused before a byte of it is hashed, not hashed as a shorter file.
    Name{"beyond_the_address_space", Content::beyond_the_address_space,
         "{S}/archives/{Z}: archive of 4294967360 bytes is too large to be verified on this system\n", "", 255, {},
         "archives/{Z}", "{S}/archives/{Z}"}),
    [](const auto& info) { return std::string(info.param.name); });

// The bytes extracted are the bytes verified. Once the name has been
// checked, the archive changes under the tool (rewritten in place, grown, cut
// short), as another process, or a stick that answers the second read
// differently, would change it; then the same command is run again on the
// intact archive.
enum class Change { rewritten, appended, cut_at_an_entry };

struct Reread {
    const char* name;
    Change change;
    bool reported;     // the second read's digest is reported as not the verified one
    const char* tree;  // after the first run
    const char* c;     // what the first run wrote to c
};

class SecondRead : public testing::TestWithParam<Reread> {};

TEST_P(SecondRead, ExtractsOnlyVerifiedBytes)
{
    const Reread& row = GetParam();
    fwu::Scratch s;
    fwu::make_tree(s / "src", {"a=" + std::string(100000, 'a'), "b", "c=c\n", "evil=evil\n"});
    fwu::make_tree(s.root(), {"old/f=old"});
    const auto tar = [&](std::vector<std::string> members) {
        members.insert(members.begin(), {"tar", "--format=ustar", "-C", s / "src", "-cf", "-"});
        return fwu::host(members);
    };
    // a: header and 196 blocks; b: a header; c: a header and a block.
    constexpr std::size_t C_HEADER = 101376, C_END = 102400;
    std::string intact = tar({"a", "b", "c"}), changed = intact;
    if (row.change == Change::rewritten) changed[C_HEADER + 512] = 'x';
    if (row.change == Change::cut_at_an_entry) changed.resize(C_HEADER);
    if (row.change == Change::appended) {
        intact.resize(C_END);  // no end-of-archive blocks
        changed = intact + tar({"evil"});
    }
    const std::string archive = fwu::write_as_digest(s / "archives", intact);
    fwu::write_file(s / "changed", changed);
    // The purge's first call: the reader has taken the archive's first block.
    const fwu::RunResult r = fwu::run_tool(
        s, {archive}, {.fail = {"getcwd:1:OVERWRITE"}, .env = {"FWU_OVERWRITE_FROM=" + s / "changed", "FWU_OVERWRITE_TO=" + archive}});
    const std::string report = "Ooops, the archive changed after its check!?\nverified   >" + fwu::sha256_hex(intact) +
                               "<\nread again >" + fwu::sha256_hex(changed.substr(0, intact.size())) +
                               "<\nThe tree is partly written from bytes that were not the verified ones:\n"
                               "run the update again with an intact archive to complete it.\n";
    EXPECT_EQ(r.out, fwu::announced(archive) + "purge...\nunpack...\n" + (row.reported ? report : "") + "sync\n");
    EXPECT_EQ(r.status, row.reported ? 255 : 0);
    EXPECT_EQ(fwu::paths_below(s.root()), row.tree);
    if (*row.c) {
        EXPECT_EQ(fwu::read_file(s.root() + "/c"), row.c);
    }

    fwu::write_file(archive, intact);
    const fwu::RunResult again = fwu::run_tool(s, {archive});
    EXPECT_EQ(again.status, 0) << again.out;
    EXPECT_EQ(fwu::paths_below(s.root()), "a b c");
    EXPECT_EQ(fwu::read_file(s.root() + "/c"), "c\n");
}

INSTANTIATE_TEST_SUITE_P(Rows, SecondRead, testing::Values(
    Reread{"rewritten_in_place", Change::rewritten, true, "a b c", "x\n"},
    Reread{"appended_to_without_end_blocks", Change::appended, false, "a b c", "c\n"},
    Reread{"cut_short_at_an_entry", Change::cut_at_an_entry, true, "a b", ""}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

// The archive's name against its SHA-256 digest (OpenSSL as the oracle).
// Every failure leaves the working tree untouched, with LED 3 off and the
// splash on the screen all the same. Placeholders: {S} the scratch
// directory, {d} the digest of the file as written, {D} the same in
// uppercase, {c} the digest after a one-byte change, {Z} 64 zeros.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include "harness.h"

namespace {

// beyond_the_address_space: a sparse file of 4 GiB and 64 bytes.
enum class Content { tar, changed_byte, empty, none, not_an_archive, beyond_the_address_space };

struct NameRow {
    const char* name;
    Content content = Content::tar;
    const char* out;  // after the file name line
    const char* err = "";
    int status;
    std::vector<std::string> fail = {};
    const char* file = "archives/{d}";  // created below the scratch directory
    const char* arg = "../archives/{d}";
    std::vector<std::string> env = {};
};

class Verification : public testing::TestWithParam<NameRow> {};

TEST_P(Verification, NameAgainstDigest)
{
    const NameRow& row = GetParam();
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

    const std::string before = fwu::snapshot_tree(s.root());
    std::vector<std::string> env;
    for (const std::string& assignment : row.env) env.push_back(fwu::expand(assignment, values));
    const fwu::RunResult r = fwu::run_tool(s, {arg}, {.fail = row.fail, .env = env});
    const std::string out = fwu::announced(arg, "", false) + fwu::expand(row.out, values);
    EXPECT_EQ(r.err, row.err);
    EXPECT_EQ(r.status, row.status);
    if (row.status == 0) {
        EXPECT_EQ(r.out, out + "purge...\nunpack...\nsync\n");
        EXPECT_EQ(fwu::read_file(s.root() + "/etc/config"), "new");
    } else {
        EXPECT_EQ(r.out, out);
        EXPECT_EQ(fwu::snapshot_tree(s.root()), before);
        EXPECT_EQ(fwu::read_file(s / "class/leds/alix:3/brightness"), "0\n");
        EXPECT_TRUE(fwu::read_file(s / "dev/fb0") == fwu::read_file(FWU_SPLASH_RAW));
    }
}

constexpr const char* OK = "Checksum ok ({d})\n";
constexpr const char* MISMATCH = "Ooops, sha256 check failed!?\nexpected   >{D}<\ncalculated >{d}<\n";
constexpr const char* CHANGED = "Ooops, sha256 check failed!?\nexpected   >{d}<\ncalculated >{c}<\n";

INSTANTIATE_TEST_SUITE_P(Rows, Verification, testing::Values(
    NameRow{.name = "absolute_path", .out = OK, .status = 0, .arg = "{S}/archives/{d}"},
    NameRow{.name = "relative_path", .out = OK, .status = 0, .arg = "../archives/./{d}"},
    NameRow{.name = "bare_name", .out = OK, .status = 0, .file = "root/{d}", .arg = "{d}"},
    NameRow{.name = "uppercase_name", .out = MISMATCH, .status = 255, .file = "archives/{D}", .arg = "{S}/archives/{D}"},
    NameRow{.name = "digest_and_an_extension",
        .out = "Ooops, sha256 check failed!?\nexpected   >{d}.tar<\ncalculated >{d}<\n", .status = 255,
        .file = "archives/{d}.tar", .arg = "../archives/{d}.tar"},
    NameRow{.name = "one_changed_byte", .content = Content::changed_byte, .out = CHANGED, .status = 255},
    NameRow{.name = "not_an_archive", .content = Content::not_an_archive,
        .out = "Checksum ok ({d})\nUnable to open file: Unrecognized archive format\n", .status = 226},
    NameRow{.name = "trailing_slash", .out = "", .err = "open failed: Not a directory\n", .status = 255,
        .arg = "../archives/{d}/"},
    NameRow{.name = "empty_file", .content = Content::empty, .out = "", .err = "mmap: Invalid argument\n",
        .status = 255},
    NameRow{.name = "missing_file", .content = Content::none, .out = "",
        .err = "open failed: No such file or directory\n", .status = 255},
    NameRow{.name = "open_refused", .out = "", .err = "open failed: Permission denied\n", .status = 255,
        .fail = {"open:1:EACCES:archives"}},
    NameRow{.name = "fstat_fails", .out = "", .err = "fstat: Input/output error\n", .status = 255,
        .fail = {"fstat:1:EIO:archives"}},
    NameRow{.name = "mmap_fails", .out = "", .err = "mmap: Cannot allocate memory\n", .status = 255,
        .fail = {"mmap:1:ENOMEM:archives"}},
    // Cut to three bytes once mapped: its second page is gone (SIGBUS).
    NameRow{.name = "cut_short_while_hashed",
        .out = "../archives/{d}: archive could not be read while it was verified (cut short, or a failing medium)\n",
        .status = 255, .fail = {"madvise:1:OVERWRITE"},
        .env = {"FWU_OVERWRITE_FROM={S}/new/etc/config", "FWU_OVERWRITE_TO={S}/archives/{d}"}},
    NameRow{.name = "unreadable_for_the_reader", .out = "Checksum ok ({d})\nUnable to open file: Error reading fd N\n",
        .status = 226, .fail = {"read:1:EIO:archives"}},
    // On the 32-bit build it is refused before a byte of it is hashed, not hashed as a shorter file.
    NameRow{.name = "beyond_the_address_space", .content = Content::beyond_the_address_space,
        .out = "{S}/archives/{Z}: archive of 4294967360 bytes is too large to be verified on this system\n",
        .status = 255, .file = "archives/{Z}", .arg = "{S}/archives/{Z}"}),
    [](const auto& info) { return std::string(info.param.name); });

// The bytes extracted are the bytes verified. Once the name has been
// checked, the archive changes under the tool (rewritten in place, grown, cut
// short), as another process, or a stick that answers the second read
// differently, would change it; then the same command is run again on the
// intact archive.
enum class Change { rewritten, appended, cut_at_an_entry };

struct RereadRow {
    const char* name;
    Change change;
    bool reported;     // the second read's digest is reported as not the verified one
    const char* tree;  // after the first run
    const char* c;     // what the first run wrote to c
};

class SecondRead : public testing::TestWithParam<RereadRow> {};

TEST_P(SecondRead, ExtractsOnlyVerifiedBytes)
{
    const RereadRow& row = GetParam();
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
    RereadRow{.name = "rewritten_in_place", .change = Change::rewritten, .reported = true, .tree = "a b c", .c = "x\n"},
    RereadRow{.name = "appended_to_without_end_blocks", .change = Change::appended, .reported = false, .tree = "a b c",
        .c = "c\n"},
    RereadRow{.name = "cut_short_at_an_entry", .change = Change::cut_at_an_entry, .reported = true, .tree = "a b",
        .c = ""}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

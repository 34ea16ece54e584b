// Extraction on the real binary: archives made by GNU tar and bsdtar,
// compared with what bsdtar itself extracts from them; the kernel-image
// entry, the -e count, the activity bar, and archives that fail midway.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "harness.h"

namespace {

std::string host(const std::vector<std::string>& argv)
{
    const fwu::RunResult r = fwu::run_host(argv);
    EXPECT_EQ(r.status, 0) << argv[0] << ": " << r.err;
    return r.out;
}

// What the tool prints up to a successful verification of `archive`.
std::string announced(const std::string& archive, const std::string& injection = "")
{
    return "firmware-update: filename = '" + archive + "'\n" + injection + "Checksum ok (" +
           archive.substr(archive.rfind('/') + 1) + ")\n";
}

using Peer = std::tuple<std::string, std::string>;  // archiver, compressor ("" for none)

class PeerArchive : public testing::TestWithParam<Peer> {};

TEST_P(PeerArchive, ExtractsAsBsdtarDoes)
{
    const auto [archiver, compressor] = GetParam();
    ASSERT_TRUE(fwu::use_scratch_with_file_flags()) << "no scratch location holds file flags; set TMPDIR to a directory on ext4";
    fwu::Scratch s;
    fwu::make_rich_tree(s / "src");
    std::string bytes = archiver == "tar"
                            ? host({"tar", "--format=posix", "--acls", "-C", s / "src", "-cf", "-", "."})
                            : host({"bsdtar", "-C", s / "src", "-cf", "-", "."});
    if (!compressor.empty()) {
        fwu::write_file(s / "plain.tar", bytes);
        bytes = host({compressor, "-c", s / "plain.tar"});
    }
    const std::string archive = fwu::write_as_digest(s / "archive", bytes);

    const fwu::RunResult r = fwu::run_tool(s, {archive});
    EXPECT_EQ(r.out, announced(archive) + "purge...\nunpack...\nsync\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    fwu::make_dirs(s / "peer");
    host({"bsdtar", "-xp", "--acls", "--fflags", "--no-xattrs", "-C", s / "peer", "-f", archive});
    const std::string extracted = fwu::describe_tree(s.root());
    EXPECT_EQ(extracted, fwu::describe_tree(s / "peer"));

    // Against the source, less what the archive or the tool does not carry.
    lremovexattr((s / "src/var/cache/nodump").c_str(), "user.note");
    if (archiver == "tar")
        host({"chattr", "-d", "-A", s / "src/var/cache/nodump", s / "src/var/cache", s / "src/var/noatime"});
    EXPECT_EQ(extracted, fwu::describe_tree(s / "src"));
}

INSTANTIATE_TEST_SUITE_P(Peers, PeerArchive,
                         testing::Combine(testing::Values("tar", "bsdtar"),
                                          testing::Values("", "gzip", "bzip2", "xz", "zstd", "lz4")),
                         [](const testing::TestParamInfo<Peer>& info) {
                             const std::string& compressor = std::get<1>(info.param);
                             return std::get<0>(info.param) + "_" + (compressor.empty() ? "plain" : compressor);
                         });

// The bar's strip, one character per row: '#' all 20 columns white, '.' all
// black, '?' mixed.
std::string strip(const std::string& fb)
{
    std::string rows;
    for (int row = 0; row < 272; ++row) {
        int white = 0, black = 0;
        for (int column = 0; column < 20; ++column) {
            const std::size_t at = (static_cast<std::size_t>(row) * 480 + column) * 2;
            const unsigned pixel = static_cast<unsigned char>(fb[at]) | static_cast<unsigned char>(fb[at + 1]) << 8;
            white += pixel == 0xffff;
            black += pixel == 0;
        }
        rows += white == 20 ? '#' : black == 20 ? '.' : '?';
    }
    return rows;
}

// The strip after `drawn` entries: the segment is centred on row `drawn`.
std::string bar(int drawn)
{
    std::string rows(272, '.');
    for (int row = std::max(0, drawn - 40); drawn > 0 && row <= std::min(271, drawn + 39); ++row)
        rows[row] = '#';
    return rows;
}

enum class Damage { none, checksum, negative_size, cut_in_header, cut_in_data, not_tar };

// Archives of members "a" (2000 bytes), "b" (empty), "c": b's header
// follows a's header and four data blocks.
constexpr std::size_t B_HEADER = 2560;

void damage(std::string& tar, Damage how)
{
    switch (how) {
    case Damage::none:
        break;
    case Damage::checksum:
        tar[B_HEADER + 1] ^= 1;
        break;
    case Damage::negative_size: {
        std::fill_n(&tar[B_HEADER + 124], 12, '\xff');  // base-256: -1
        std::fill_n(&tar[B_HEADER + 148], 8, ' ');
        unsigned sum = 0;
        for (std::size_t i = 0; i < 512; ++i)
            sum += static_cast<unsigned char>(tar[B_HEADER + i]);
        std::snprintf(&tar[B_HEADER + 148], 8, "%06o", sum);
        break;
    }
    case Damage::cut_in_header:
        tar.resize(B_HEADER + 100);
        break;
    case Damage::cut_in_data:
        tar.resize(1000);
        break;
    case Damage::not_tar:
        tar = "this is not an archive\n";
        break;
    }
}

const std::string UNPACK = "purge...\nunpack...\n";
const std::string INJECTED = "Simulating I/O error in UBIFS layer\n";
const std::string SYNC = "sync\n";
const std::vector<std::string> ABC = {"a", "b", "c"};
const std::vector<std::string> DOT_KERNEL = {"a", "./tmp/belvonix-update.zImage", "c"};

struct Row {
    const char* name;
    std::vector<std::string> members;  // stored names, in order
    Damage damage = Damage::none;
    unsigned count = 0;                // -e; 0: not given
    bool ro_error = true;              // the UBIFS switch exists
    std::string tail;                  // stdout after "Checksum ok"
    int status = 0;
    int drawn = 0;                     // entries the bar shows
    const char* tree = "";             // paths below the root after the run; null: not looked at
    const char* archive_dir = "archive";
    const char* tmpfs = "";
};

TEST(Extraction, EntriesCountsAndFailures)
{
    const Row rows[] = {
        {.name = "kernel image stored with ./ is skipped", .members = DOT_KERNEL, .tail = UNPACK + SYNC, .drawn = 2,
         .tree = "a c"},
        {.name = "kernel image counts for -e", .members = DOT_KERNEL, .count = 3, .tail = UNPACK + INJECTED + SYNC,
         .drawn = 2, .tree = "a c"},
        {.name = "-e one above all entries", .members = DOT_KERNEL, .count = 4, .tail = UNPACK + SYNC, .drawn = 2,
         .tree = "a c"},
        {.name = "kernel image stored without ./ is extracted", .members = {"a", "tmp/belvonix-update.zImage", "c"},
         .tail = UNPACK + SYNC, .drawn = 3, .tree = "a c tmp tmp/belvonix-update.zImage"},
        {.name = "-e 1", .members = ABC, .count = 1, .tail = UNPACK + INJECTED + SYNC, .drawn = 3, .tree = "a b c"},
        {.name = "-e equal to the entries fires before the end", .members = ABC, .count = 3,
         .tail = UNPACK + INJECTED + SYNC, .drawn = 3, .tree = "a b c"},
        {.name = "-e missing debug file", .members = ABC, .count = 2, .ro_error = false, .tail = UNPACK + SYNC,
         .drawn = 3, .tree = "a b c"},
        {.name = "no entries", .members = {}, .tail = UNPACK + SYNC},
        {.name = "archive inside the root", .members = ABC, .tail = UNPACK + SYNC, .drawn = 3, .tree = "a b c",
         .archive_dir = "root/updates"},
        {.name = "damaged header is retried and counts for -e", .members = ABC, .damage = Damage::checksum,
         .count = 3, .tail = UNPACK + INJECTED + SYNC, .drawn = 2, .tree = "a c"},
        {.name = "bad header", .members = ABC, .damage = Damage::negative_size,
         .tail = UNPACK + "archive_read_next_header() failed: (-30) Tar entry has negative size\n" + SYNC,
         .status = 255, .drawn = 1, .tree = "a"},
        {.name = "truncated in a header", .members = ABC, .damage = Damage::cut_in_header,
         .tail = UNPACK + "archive_read_next_header() failed: (-30) Truncated tar archive\n" + SYNC, .status = 255,
         .drawn = 1, .tree = "a"},
        {.name = "truncated in data", .members = ABC, .damage = Damage::cut_in_data,
         .tail = UNPACK + "archive_read_extract() failed for a: (-30) Truncated tar archive\n", .status = 255,
         .drawn = 1, .tree = "a"},
        {.name = "not tar", .members = ABC, .damage = Damage::not_tar,
         .tail = "Unable to open file: Unrecognized archive format\n", .status = 226, .tree = "old old/f"},
        {.name = "out of space", .members = {"c", "big"},
         .tail = UNPACK + "archive_read_extract() failed for big: (-20) Write failed\n", .status = 255, .drawn = 2,
         .tree = nullptr, .tmpfs = "1m"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fwu::Scratch s;
        fwu::make_tree(s / "src", {"a=" + std::string(2000, 'a'), "b", "c=c\n", "tmp/belvonix-update.zImage=zImage"});
        fwu::write_file(s / "src/big", std::string(2 << 20, '\0'));
        fwu::make_tree(s.root(), {"old/f=old"});
        fwu::add_framebuffer(s);
        if (row.ro_error)
            fwu::add_ro_error(s);
        std::vector<std::string> tar = {"tar", "--format=ustar", "-C", s / "src", "-cf", "-", "-T", "/dev/null"};
        tar.insert(tar.end(), row.members.begin(), row.members.end());
        std::string bytes = host(tar);
        damage(bytes, row.damage);
        const std::string archive = fwu::write_as_digest(s / row.archive_dir, bytes);
        std::vector<std::string> args = {archive};
        if (row.count)
            args.insert(args.begin(), {"-e", std::to_string(row.count)});

        const fwu::RunResult r = fwu::run_tool(s, args, {.tmpfs_root = row.tmpfs});
        const std::string count = std::to_string(row.count);
        const bool injecting = row.count && row.ro_error;
        EXPECT_EQ(r.out, announced(archive, injecting ? "!! UBIFS will fail after " + count +
                                                             " files have been written !!\n"
                                                       : "") +
                             row.tail);
        EXPECT_EQ(r.err, row.count && !row.ro_error ? "open failed for debugfs: No such file or directory\n" : "");
        EXPECT_EQ(r.status, row.status);
        EXPECT_EQ(strip(fwu::read_file(s / "dev/fb0")), bar(row.drawn));
        if (injecting) {
            EXPECT_EQ(fwu::read_file(s / "debug/ubifs/ubi0_0/ro_error"),
                      row.tail.find(INJECTED) != std::string::npos ? "1\n" : "");
        }
        if (row.tree) {
            std::istringstream lines(fwu::snapshot_tree(s.root()));
            std::string paths;
            for (std::string line; std::getline(lines, line);)
                paths += (paths.empty() ? "" : " ") + line.substr(0, line.find(' '));
            EXPECT_EQ(paths, row.tree);
        }
    }
}

}  // namespace

// Extraction on the real binary: archives made by GNU tar and bsdtar,
// compared with what bsdtar itself extracts from them; then the kernel-image
// entry, the -e count, the activity bar, and archives that fail midway.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "harness.h"

namespace {

struct Peer {
    const char* name;
    std::vector<std::string> archiver;  // writes the archive of "." to stdout
    const char* compressor;
};

class PeerArchive : public testing::TestWithParam<Peer> {};

TEST_P(PeerArchive, ExtractsAsBsdtarDoes)
{
    fwu::use_scratch_with_file_flags();
    fwu::Scratch s;
    fwu::make_rich_tree(s / "src");
    std::vector<std::string> archiver = GetParam().archiver;
    archiver.insert(archiver.end(), {"-C", s / "src", "-cf", "-", "."});
    std::string bytes = fwu::host(archiver);
    if (*GetParam().compressor) {
        fwu::write_file(s / "plain.tar", bytes);
        bytes = fwu::host({GetParam().compressor, "-c", s / "plain.tar"});
    }
    const std::string archive = fwu::write_as_digest(s / "archive", bytes);

    const fwu::RunResult r = fwu::run_tool(s, {archive});
    EXPECT_EQ(r.out, fwu::announced(archive) + "purge...\nunpack...\nsync\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    fwu::bsdtar_reference(archive, s / "peer");
    EXPECT_EQ(fwu::describe_tree(s.root()), fwu::describe_tree(s / "peer"));
    EXPECT_LT(lgetxattr((s.root() + "/var/cache/nodump").c_str(), "user.note", nullptr, 0), 0);
}

const std::vector<std::string> GNU_TAR = {"tar", "--format=posix", "--acls"};

INSTANTIATE_TEST_SUITE_P(Peers, PeerArchive, testing::Values(
    Peer{"gnu_tar", GNU_TAR, ""},
    Peer{"bsdtar", {"bsdtar"}, ""},
    Peer{"gzip", GNU_TAR, "gzip"},
    Peer{"bzip2", GNU_TAR, "bzip2"},
    Peer{"xz", GNU_TAR, "xz"},
    Peer{"zstd", GNU_TAR, "zstd"},
    Peer{"lz4", GNU_TAR, "lz4"}),
    [](const auto& info) { return std::string(info.param.name); });

enum class Damage { none, checksum, negative_size, cut_in_data };

// Archives of members "a" (2000 bytes), "b" (empty), "c": b's header
// follows a's header and four data blocks.
constexpr std::size_t B_HEADER = 2560;

void damage(std::string& tar, Damage how)
{
    if (how == Damage::checksum) tar[B_HEADER + 1] ^= 1;
    if (how == Damage::cut_in_data) tar.resize(1000);
    if (how == Damage::negative_size) {
        std::fill_n(&tar[B_HEADER + 124], 12, '\xff');  // base-256: -1
        std::fill_n(&tar[B_HEADER + 148], 8, ' ');
        unsigned sum = 0;
        for (std::size_t i = 0; i < 512; ++i) sum += static_cast<unsigned char>(tar[B_HEADER + i]);
        std::snprintf(&tar[B_HEADER + 148], 8, "%06o", sum);
    }
}

const std::string UNPACK = "purge...\nunpack...\n";
const std::string INJECTED = "Simulating I/O error in UBIFS layer\n";
const std::string SYNC = "sync\n";
const std::vector<std::string> ABC = {"a", "b", "c"};
const std::vector<std::string> DOT_KERNEL = {"a", "./tmp/belvonix-update.zImage", "c"};

struct Entries {
    const char* name;
    std::vector<std::string> members;  // stored names, in order
    Damage damage;
    const char* count;                 // -e; "": not given
    std::string tail;                  // stdout after "Checksum ok"
    int status;
    const char* bar;                   // the strip afterwards
    const char* tree;                  // paths below the root afterwards
    const char* archive_dir = "archive";
};

class Extraction : public testing::TestWithParam<Entries> {};

TEST_P(Extraction, EntriesCountsAndFailures)
{
    const Entries& row = GetParam();
    fwu::Scratch s;
    fwu::make_tree(s / "src", {"a=" + std::string(2000, 'a'), "b", "c=c\n", "tmp/belvonix-update.zImage=zImage"});
    fwu::make_tree(s.root(), {"old/f=old"});
    fwu::add_devices(s);
    std::vector<std::string> tar = {"tar", "--format=ustar", "-C", s / "src", "-cf", "-", "-T", "/dev/null"};
    tar.insert(tar.end(), row.members.begin(), row.members.end());
    std::string bytes = fwu::host(tar);
    damage(bytes, row.damage);
    const std::string archive = fwu::write_as_digest(s / row.archive_dir, bytes);
    std::vector<std::string> args = {archive};
    if (*row.count) args.insert(args.begin(), {"-e", row.count});

    const fwu::RunResult r = fwu::run_tool(s, args, {});
    EXPECT_EQ(r.out, fwu::announced(archive, row.count) + row.tail);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, row.status);
    EXPECT_EQ(fwu::strip(fwu::read_file(s / "dev/fb0")), row.bar);
    EXPECT_EQ(fwu::read_file(s / "debug/ubifs/ubi0_0/ro_error"), row.tail.find(INJECTED) != std::string::npos ? "1\n" : "");
    EXPECT_EQ(fwu::paths_below(s.root()), row.tree);
}

INSTANTIATE_TEST_SUITE_P(Rows, Extraction, testing::Values(
    Entries{"kernel_image_skipped_but_counted", DOT_KERNEL, Damage::none, "3", UNPACK + INJECTED + SYNC, 0, "0-41", "a c"},
    Entries{"count_beyond_the_entries", DOT_KERNEL, Damage::none, "4", UNPACK + SYNC, 0, "0-41", "a c"},
    Entries{"kernel_image_without_dot_extracted", {"a", "tmp/belvonix-update.zImage", "c"}, Damage::none, "",
            UNPACK + SYNC, 0, "0-42", "a c tmp tmp/belvonix-update.zImage"},
    Entries{"archive_below_the_root", ABC, Damage::none, "", UNPACK + SYNC, 0, "0-42", "a b c", "root/updates"},
    Entries{"damaged_header_retried_and_counted", ABC, Damage::checksum, "3", UNPACK + INJECTED + SYNC, 0, "0-41", "a c"},
    Entries{"bad_header", ABC, Damage::negative_size, "",
            UNPACK + "archive_read_next_header() failed: (-30) Tar entry has negative size\n" + SYNC, 255, "0-40", "a"},
    Entries{"truncated_in_data", ABC, Damage::cut_in_data, "",
            UNPACK + "archive_read_extract() failed for a: (-30) Truncated tar archive\n", 255, "0-40", "a"}),
    [](const auto& info) { return std::string(info.param.name); });

// Without the UBIFS switch the count is reported and the update runs.
TEST(ExtractionCount, MissingSwitch)
{
    fwu::Scratch s;
    fwu::make_tree(s / "src", {"a"});
    const std::string archive = fwu::write_as_digest(s / "archive", fwu::tar_of_tree(s / "src"));
    const fwu::RunResult r = fwu::run_tool(s, {"-e", "1", archive});
    EXPECT_EQ(r.out, fwu::announced(archive) + UNPACK + SYNC);
    EXPECT_EQ(r.err, "open failed for debugfs: No such file or directory\n");
    EXPECT_EQ(r.status, 0);
}

}  // namespace

// Extraction on the real binary: archives made by GNU tar and bsdtar,
// compared with what bsdtar itself extracts from them; then the kernel-image
// entry, the -e count, the activity bar, archives that fail midway and
// system calls that fail (injected through the sandbox's preload library):
// each failure ends in a clear message and an honest exit status, and the
// indicators never stop the update.
#include <gtest/gtest.h>

#include <algorithm>

#include <signal.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "harness.h"

namespace {

struct PeerRow {
    const char* name;
    std::vector<std::string> archiver;  // writes the archive of "." to stdout
    const char* compressor = "";  // "": none
    const char* locale = "";  // LC_ALL for the tool, which must write names as their bytes all the same
};

class PeerArchive : public testing::TestWithParam<PeerRow> {};

TEST_P(PeerArchive, ExtractsAsBsdtarDoes)
{
    setenv("TMPDIR", "/var/tmp", 0);  // tmpfs, the usual /tmp, holds no file flags
    fwu::Scratch s;
    fwu::make_rich_tree(s / "src");
    // Made where UTF-8 is the locale, so that UTF-8 names are stored as such.
    std::vector<std::string> archiver = {"env", "LC_ALL=C.UTF-8"};
    archiver.insert(archiver.end(), GetParam().archiver.begin(), GetParam().archiver.end());
    archiver.insert(archiver.end(), {"-C", s / "src", "-cf", "-", "."});
    std::string bytes = fwu::host(archiver);
    if (*GetParam().compressor) {
        fwu::write_file(s / "plain.tar", bytes);
        bytes = fwu::host({GetParam().compressor, "-c", s / "plain.tar"});
    }
    const std::string archive = fwu::write_as_digest(s / "archive", bytes);

    fwu::RunOptions options;
    if (*GetParam().locale) options.env = {std::string("LC_ALL=") + GetParam().locale};
    const fwu::RunResult r = fwu::run_tool(s, {archive}, options);
    EXPECT_EQ(r.out, fwu::announced(archive) + "purge...\nunpack...\nsync\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    fwu::bsdtar_reference(archive, s / "peer");
    EXPECT_EQ(fwu::describe_tree(s.root()), fwu::describe_tree(s / "peer"));
    EXPECT_LT(lgetxattr((s.root() + "/var/cache/nodump").c_str(), "user.note", nullptr, 0), 0);
}

const std::vector<std::string> GNU_TAR = {"tar", "--format=posix", "--acls"};

INSTANTIATE_TEST_SUITE_P(Peers, PeerArchive, testing::Values(
    PeerRow{.name = "gnu_tar", .archiver = GNU_TAR},
    PeerRow{.name = "gnu_tar_gnu_format", .archiver = {"tar", "--format=gnu"}},
    PeerRow{.name = "bsdtar", .archiver = {"bsdtar"}},
    PeerRow{.name = "bsdtar_utf8_environment", .archiver = {"bsdtar"}, .locale = "C.UTF-8"},
    PeerRow{.name = "gzip", .archiver = GNU_TAR, .compressor = "gzip"},
    PeerRow{.name = "bzip2", .archiver = GNU_TAR, .compressor = "bzip2"},
    PeerRow{.name = "xz", .archiver = GNU_TAR, .compressor = "xz"},
    PeerRow{.name = "zstd", .archiver = GNU_TAR, .compressor = "zstd"},
    PeerRow{.name = "lz4", .archiver = GNU_TAR, .compressor = "lz4"}),
    [](const auto& info) { return std::string(info.param.name); });

// malformed_pax: instead, a pax record without "=" before the entry "a", made
// by Python's tarfile.
enum class Damage { none, checksum, negative_size, cut_in_data, malformed_pax };

// Archives of members "a" (2000 bytes), "b" (empty), "c" (and "big", 100000
// bytes): b's header follows a's header and four data blocks.
constexpr std::size_t B_HEADER = 2560;

void damage(std::string& tar, Damage how)
{
    if (how == Damage::checksum) tar[B_HEADER + 1] ^= 1;
    if (how == Damage::cut_in_data) tar.resize(1000);
    if (how == Damage::malformed_pax)
        tar = fwu::python_tar("add('./PaxHeaders/a', XHDTYPE, data=b'9 path=a\\n5 x\\n'); add('./a', data=b'a')");
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

struct EntriesRow {
    const char* name;
    std::vector<std::string> members;    // stored names, in order
    Damage damage = Damage::none;
    const char* count = "";              // -e; "": not given
    std::string tail;                    // stdout after "Checksum ok"
    int status;
    const char* bar;                     // the strip afterwards
    const char* tree;                    // paths below the root afterwards
    const char* archive_dir = "archive";
    std::string fail = "";               // a fault rule; "archive/" matches the archive's reads only
    const char* err = "";
    const char* switch_after = nullptr;  // the UBIFS switch afterwards; nullptr: "1\n" if the tail says so
    bool killed = false;                 // the fault kills the tool; the rest is of the same command run again
};

class Extraction : public testing::TestWithParam<EntriesRow> {};

TEST_P(Extraction, EntriesCountsAndFailures)
{
    const EntriesRow& row = GetParam();
    fwu::Scratch s;
    fwu::make_tree(s / "src", {"a=" + std::string(2000, 'a'), "b", "c=c\n", "big=" + std::string(100000, 'b'),
                               "tmp/belvonix-update.zImage=zImage", "tmp/belvonix-update.zImage.old=old",
                               "tmp/Belvonix-update.zImage=other"});
    fwu::make_tree(s.root(), {"old/f=old"});
    fwu::add_devices(s);
    std::vector<std::string> tar = {"tar", "--format=ustar", "-C", s / "src", "-cf", "-", "-T", "/dev/null"};
    tar.insert(tar.end(), row.members.begin(), row.members.end());
    std::string bytes = fwu::host(tar);
    damage(bytes, row.damage);
    const std::string archive = fwu::write_as_digest(s / row.archive_dir, bytes);
    std::vector<std::string> args = {archive};
    if (*row.count) args.insert(args.begin(), {"-e", row.count});

    const std::vector<std::string> trace = {"FWU_TRACE=" + s / "trace"};
    fwu::RunResult r = fwu::run_tool(s, args, {.fail = {row.fail}, .env = trace});
    if (row.killed) {
        ASSERT_EQ(r.status, 128 + SIGKILL) << r.out << r.err;
        r = fwu::run_tool(s, args, {.env = trace});
    }
    // A switch that cannot be opened is reported instead of the count.
    EXPECT_EQ(r.out, fwu::announced(archive, *row.err ? "" : row.count) + row.tail);
    EXPECT_EQ(r.err, row.err);
    EXPECT_EQ(r.status, row.status);
    EXPECT_EQ(fwu::strip(fwu::read_file(s / "dev/fb0")), row.bar);
    const bool injected = row.tail.find(INJECTED) != std::string::npos;
    EXPECT_EQ(fwu::read_file(s / "debug/ubifs/ubi0_0/ro_error"), row.switch_after ? row.switch_after : injected ? "1\n" : "");
    EXPECT_EQ(fwu::paths_below(s.root()), row.tree);
    // One at the kernel image, which every row reaches, and one at the ending.
    const std::string trace_lines = fwu::read_file(s / "trace");
    const auto count = [](const std::string& text, const std::string& line) {
        std::size_t n = 0;
        for (std::size_t at = 0; (at = text.find(line, at)) != std::string::npos; at += line.size()) ++n;
        return n;
    };
    EXPECT_EQ(count(trace_lines, "sync\n"), std::count(row.members.begin(), row.members.end(), DOT_KERNEL[1]) +
                                                 (row.tail.ends_with(SYNC) ? 1 : 0));
}

INSTANTIATE_TEST_SUITE_P(Rows, Extraction, testing::Values(
    EntriesRow{.name = "kernel_image_skipped_but_counted", .members = DOT_KERNEL, .count = "3",
        .tail = UNPACK + INJECTED + SYNC, .status = 0, .bar = "0-41", .tree = "a c"},
    EntriesRow{.name = "count_beyond_the_entries", .members = DOT_KERNEL, .count = "4", .tail = UNPACK + SYNC,
        .status = 0, .bar = "0-41", .tree = "a c"},
    EntriesRow{.name = "kernel_image_without_dot_extracted", .members = {"a", "tmp/belvonix-update.zImage", "c"},
        .tail = UNPACK + SYNC, .status = 0, .bar = "0-42", .tree = "a c tmp tmp/belvonix-update.zImage"},
    EntriesRow{.name = "kernel_image_near_misses_extracted",
        .members = {"a", "./tmp/belvonix-update.zImage.old", "./tmp/Belvonix-update.zImage", "c"},
        .tail = UNPACK + SYNC, .status = 0, .bar = "0-43",
        .tree = "a c tmp tmp/Belvonix-update.zImage tmp/belvonix-update.zImage.old"},
    EntriesRow{.name = "archive_below_the_root", .members = ABC, .tail = UNPACK + SYNC, .status = 0, .bar = "0-42",
        .tree = "a b c", .archive_dir = "root/updates"},
    EntriesRow{.name = "damaged_header_retried_and_counted", .members = ABC, .damage = Damage::checksum, .count = "3",
        .tail = UNPACK + INJECTED + SYNC, .status = 0, .bar = "0-41", .tree = "a c"},
    EntriesRow{.name = "bad_header", .members = ABC, .damage = Damage::negative_size,
        .tail = UNPACK + "archive_read_next_header() failed: (-30) Tar entry has negative size\n" + SYNC,
        .status = 255, .bar = "0-40", .tree = "a"},
    // Only an unconvertible name is forgiven: any other warning of a header read still ends the update.
    EntriesRow{.name = "malformed_pax_record", .members = {"a"}, .damage = Damage::malformed_pax,
        .tail = UNPACK + "archive_read_next_header() failed: (-20) Ignoring malformed pax extended attribute\n" + SYNC,
        .status = 255, .bar = "none", .tree = ""},
    EntriesRow{.name = "truncated_in_data", .members = ABC, .damage = Damage::cut_in_data,
        .tail = UNPACK + "archive_read_extract() failed for a: (-30) Truncated tar archive\n", .status = 255,
        .bar = "0-40", .tree = "a"},
    EntriesRow{.name = "archive_read_fails_inside_an_entry", .members = {"big", "c"},
        .tail = UNPACK + "archive_read_extract() failed for big: (-30) Error reading fd N\n", .status = 255,
        .bar = "0-40", .tree = "big", .fail = "read:2+:EIO:archive/"},
    EntriesRow{.name = "no_space_for_data", .members = ABC,
        .tail = UNPACK + "archive_read_extract() failed for a: (-20) Write failed\n", .status = 255, .bar = "0-40",
        .tree = "a", .fail = "write:1:ENOSPC:/root/a"},
    EntriesRow{.name = "read_only_file_system_for_a_new_file", .members = {"big", "c"},
        .tail = UNPACK + "archive_read_extract() failed for big: (-20) Can't create 'big'\n", .status = 255,
        .bar = "0-40", .tree = "", .fail = "open:1:EROFS:big"},
    EntriesRow{.name = "leds_cannot_be_written", .members = ABC, .tail = UNPACK + SYNC, .status = 0, .bar = "0-42",
        .tree = "a b c", .fail = "write:1+:EIO:brightness"},
    EntriesRow{.name = "switch_cannot_be_written", .members = ABC, .count = "1", .tail = UNPACK + INJECTED + SYNC,
        .status = 0, .bar = "0-42", .tree = "a b c", .fail = "write:1+:EIO:ro_error", .switch_after = ""},
    // A power cut or an impatient technician, at an event before, in and
    // after the purge: the same command again completes the update.
    EntriesRow{.name = "killed_with_the_archive_mapped", .members = ABC, .tail = UNPACK + SYNC, .status = 0,
        .bar = "0-42", .tree = "a b c", .fail = "mmap:1:KILL:archive/", .killed = true},
    EntriesRow{.name = "killed_deleting_a_file", .members = ABC, .tail = UNPACK + SYNC, .status = 0, .bar = "0-42",
        .tree = "a b c", .fail = "unlinkat:1:KILL:f", .killed = true},
    EntriesRow{.name = "killed_writing_a_file", .members = ABC, .tail = UNPACK + SYNC, .status = 0, .bar = "0-42",
        .tree = "a b c", .fail = "write:1:KILL:/root/a", .killed = true},
    // Without the switch the count is reported and the update runs.
    EntriesRow{.name = "switch_missing", .members = ABC, .count = "1", .tail = UNPACK + SYNC, .status = 0,
        .bar = "0-42", .tree = "a b c", .fail = "open:1+:ENOENT:ro_error",
        .err = "open failed for debugfs: No such file or directory\n"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

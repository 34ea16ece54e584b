// Extraction on the real binary: archives made by GNU tar and bsdtar,
// compared with what bsdtar itself extracts from them; then the kernel-image
// entry, the -e count, the activity bar, archives that fail midway and
// system calls that fail (injected through the sandbox's preload library):
// each failure ends in a clear message and an honest exit status, and the
// indicators never stop the update.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include <signal.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "harness.h"

namespace {

struct Peer {
    const char* name;
    std::vector<std::string> archiver;  // writes the archive of "." to stdout
    const char* compressor;
    const char* locale = "";  // LC_ALL for the tool, which must write names as their bytes all the same
};

class PeerArchive : public testing::TestWithParam<Peer> {};

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
    Peer{"gnu_tar", GNU_TAR, ""},
    Peer{"gnu_tar_gnu_format", {"tar", "--format=gnu"}, ""},
    Peer{"bsdtar", {"bsdtar"}, ""},
    Peer{"bsdtar_utf8_environment", {"bsdtar"}, "", "C.UTF-8"},
    Peer{"gzip", GNU_TAR, "gzip"},
    Peer{"bzip2", GNU_TAR, "bzip2"},
    Peer{"xz", GNU_TAR, "xz"},
    Peer{"zstd", GNU_TAR, "zstd"},
    Peer{"lz4", GNU_TAR, "lz4"}),
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
    std::string fail = "";              // a fault rule; "archive/" matches the archive's reads only
    const char* err = "";
    const char* switch_after = nullptr;  // the UBIFS switch afterwards; nullptr: "1\n" if the tail says so
    bool killed = false;                 // the fault kills the tool; the rest is of the same command run again
};

class Extraction : public testing::TestWithParam<Entries> {};

TEST_P(Extraction, EntriesCountsAndFailures)
{
    const Entries& row = GetParam();
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
    // libarchive names the descriptor, whose number depends on what the test runner passes on.
    // A switch that cannot be opened is reported instead of the count.
    EXPECT_EQ(std::regex_replace(r.out, std::regex("fd [0-9]+"), "fd N"), fwu::announced(archive, *row.err ? "" : row.count) + row.tail);
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
    Entries{"kernel_image_skipped_but_counted", DOT_KERNEL, Damage::none, "3", UNPACK + INJECTED + SYNC, 0, "0-41", "a c"},
    Entries{"count_beyond_the_entries", DOT_KERNEL, Damage::none, "4", UNPACK + SYNC, 0, "0-41", "a c"},
    Entries{"kernel_image_without_dot_extracted", {"a", "tmp/belvonix-update.zImage", "c"}, Damage::none, "",
            UNPACK + SYNC, 0, "0-42", "a c tmp tmp/belvonix-update.zImage"},
    Entries{"kernel_image_near_misses_extracted",
            {"a", "./tmp/belvonix-update.zImage.old", "./tmp/Belvonix-update.zImage", "c"}, Damage::none, "",
            UNPACK + SYNC, 0, "0-43", "a c tmp tmp/Belvonix-update.zImage tmp/belvonix-update.zImage.old"},
    Entries{"archive_below_the_root", ABC, Damage::none, "", UNPACK + SYNC, 0, "0-42", "a b c", "root/updates"},
    Entries{"damaged_header_retried_and_counted", ABC, Damage::checksum, "3", UNPACK + INJECTED + SYNC, 0, "0-41", "a c"},
    Entries{"bad_header", ABC, Damage::negative_size, "",
            UNPACK + "archive_read_next_header() failed: (-30) Tar entry has negative size\n" + SYNC, 255, "0-40", "a"},
    // Only an unconvertible name is forgiven: any other warning of a header read still ends the update.
    Entries{"malformed_pax_record", {"a"}, Damage::malformed_pax, "",
            UNPACK + "archive_read_next_header() failed: (-20) Ignoring malformed pax extended attribute\n" + SYNC, 255,
            "none", ""},
    Entries{"truncated_in_data", ABC, Damage::cut_in_data, "",
            UNPACK + "archive_read_extract() failed for a: (-30) Truncated tar archive\n", 255, "0-40", "a"},
    Entries{"archive_read_fails_inside_an_entry", {"big", "c"}, Damage::none, "",
            UNPACK + "archive_read_extract() failed for big: (-30) Error reading fd N\n", 255, "0-40", "big",
            "archive", "read:2+:EIO:archive/"},
    Entries{"no_space_for_data", ABC, Damage::none, "", UNPACK + "archive_read_extract() failed for a: (-20) Write failed\n",
            255, "0-40", "a", "archive", "write:1:ENOSPC:/root/a"},
    Entries{"read_only_file_system_for_a_new_file", {"big", "c"}, Damage::none, "",
            UNPACK + "archive_read_extract() failed for big: (-20) Can't create 'big'\n", 255, "0-40", "", "archive",
            "open:1:EROFS:big"},
    Entries{"leds_cannot_be_written", ABC, Damage::none, "", UNPACK + SYNC, 0, "0-42", "a b c", "archive",
            "write:1+:EIO:brightness"},
    Entries{"switch_cannot_be_written", ABC, Damage::none, "1", UNPACK + INJECTED + SYNC, 0, "0-42", "a b c", "archive",
            "write:1+:EIO:ro_error", "", ""},
    // A power cut or an impatient technician, at an event before, in and
    // after the purge: the same command again completes the update.
    Entries{"killed_with_the_archive_mapped", ABC, Damage::none, "", UNPACK + SYNC, 0, "0-42", "a b c", "archive",
            "mmap:1:KILL:archive/", "", nullptr, true},
    Entries{"killed_deleting_a_file", ABC, Damage::none, "", UNPACK + SYNC, 0, "0-42", "a b c", "archive",
            "unlinkat:1:KILL:f", "", nullptr, true},
    Entries{"killed_writing_a_file", ABC, Damage::none, "", UNPACK + SYNC, 0, "0-42", "a b c", "archive",
            "write:1:KILL:/root/a", "", nullptr, true},
    // Without the switch the count is reported and the update runs.
    Entries{"switch_missing", ABC, Damage::none, "1", UNPACK + SYNC, 0, "0-42", "a b c", "archive",
            "open:1+:ENOENT:ro_error", "open failed for debugfs: No such file or directory\n"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

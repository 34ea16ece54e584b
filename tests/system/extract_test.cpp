// Extraction on the real binary: archives made by GNU tar and bsdtar,
// compared with what bsdtar itself extracts from them; the kernel-image
// entry, the -e count, the activity bar, and archives that fail midway.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
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

std::string hex(std::string_view bytes)
{
    std::string text;
    for (const unsigned char c : bytes) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", c);
        text += pair;
    }
    return text;
}

// snapshot_tree's lines (with times), each followed by its earlier hard-link
// partner, its extended attributes (where ACLs live) and its file flags.
std::string describe(const std::string& dir)
{
    std::istringstream lines(fwu::snapshot_tree(dir, true));
    std::map<std::pair<dev_t, ino_t>, std::string> inodes;
    std::string text;
    for (std::string line; std::getline(lines, line); text += line + "\n") {
        const std::string name = line.substr(0, line.find(' ')), path = dir + "/" + name;
        struct stat st {};
        lstat(path.c_str(), &st);
        if (!S_ISDIR(st.st_mode) && st.st_nlink > 1) {
            const auto [first, fresh] = inodes.try_emplace({st.st_dev, st.st_ino}, name);
            line += fresh ? "" : " link=" + first->second;
        }
        char list[4096];
        const ssize_t size = llistxattr(path.c_str(), list, sizeof list);
        std::vector<std::string> names;
        for (ssize_t at = 0; at < size; at += static_cast<ssize_t>(names.back().size()) + 1)
            names.emplace_back(list + at);
        std::sort(names.begin(), names.end());
        for (const std::string& attribute : names) {
            char value[4096];
            const ssize_t n = lgetxattr(path.c_str(), attribute.c_str(), value, sizeof value);
            line += " " + attribute + "=" + hex({value, n > 0 ? static_cast<std::size_t>(n) : 0});
        }
        if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) {
            const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
            int flags = 0;
            ioctl(fd, FS_IOC_GETFLAGS, &flags);
            close(fd);
            line += flags & FS_NODUMP_FL ? " nodump" : "";
            line += flags & FS_NOATIME_FL ? " noatime" : "";
        }
    }
    return text;
}

bool holds_file_flags(const std::string& dir)
{
    std::string probe = dir + "/fwu-flag-probe-XXXXXX";
    const int fd = mkstemp(probe.data());
    int flags = 0;
    const bool held = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                      (flags |= FS_NODUMP_FL, ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
    if (fd >= 0) {
        close(fd);
        unlink(probe.c_str());
    }
    return held;
}

// tmpfs holds no file flags: the scratch trees of the differential test go
// to the first of $TMPDIR (or /tmp) and /var/tmp that does.
void use_scratch_with_file_flags()
{
    const char* const tmpdir = std::getenv("TMPDIR");
    for (const char* dir : {tmpdir && *tmpdir ? tmpdir : "/tmp", "/var/tmp"}) {
        if (holds_file_flags(dir)) {
            setenv("TMPDIR", dir, 1);
            return;
        }
    }
    FAIL() << "no scratch location holds file flags; set TMPDIR to a directory on ext4";
}

// Everything the tool restores: owners, setuid/setgid/sticky modes, times,
// hard and symbolic links, a FIFO, access and default ACLs, file flags; and
// an extended attribute, which it must not restore.
void make_source(const std::string& src)
{
    fwu::make_tree(src, {"bin/tool=#!/bin/sh\n", "bin/helper=helper", "share/doc/readme=read me\n", "share/empty",
                         "spool/", "run/", "etc/acl-file=secret", "etc/acl-dir/", "var/cache/nodump=scratch",
                         "var/noatime/", "lib -> share/doc"});
    const auto at = [&src](const char* name) { return src + "/" + name; };
    ASSERT_EQ(link(at("share/doc/readme").c_str(), at("share/doc/hard").c_str()), 0);
    ASSERT_EQ(mkfifo(at("run/fifo").c_str(), 0600), 0);
    for (const char* name : {"bin/helper", "share/doc/readme", "lib", "var/noatime"})
        ASSERT_EQ(lchown(at(name).c_str(), 1234, 5678), 0);
    chmod(at("bin/tool").c_str(), 04755);
    chmod(at("bin/helper").c_str(), 02711);
    chmod(at("spool").c_str(), 01777);
    ASSERT_EQ(lsetxattr(at("var/cache/nodump").c_str(), "user.note", "kept out", 8, 0), 0);
    host({"setfacl", "-m", "u:1234:rw", at("etc/acl-file")});
    host({"setfacl", "-d", "-m", "g:5678:rx", at("etc/acl-dir")});
    host({"chattr", "+d", at("var/cache/nodump"), at("var/cache")});
    host({"chattr", "+A", at("var/noatime")});
    host({"find", src, "-exec", "touch", "-h", "-d", "@1500000000", "{}", "+"});
    host({"touch", "-h", "-d", "@1400000001", at("bin/tool"), at("lib")});
}

using Peer = std::tuple<std::string, std::string>;  // archiver, compressor ("" for none)

class PeerArchive : public testing::TestWithParam<Peer> {};

TEST_P(PeerArchive, ExtractsAsBsdtarDoes)
{
    const auto [archiver, compressor] = GetParam();
    ASSERT_NO_FATAL_FAILURE(use_scratch_with_file_flags());
    fwu::Scratch s;
    ASSERT_NO_FATAL_FAILURE(make_source(s / "src"));
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
    const std::string extracted = describe(s.root());
    EXPECT_EQ(extracted, describe(s / "peer"));

    // Against the source, less what the archive or the tool does not carry.
    lremovexattr((s / "src/var/cache/nodump").c_str(), "user.note");
    if (archiver == "tar")
        host({"chattr", "-d", "-A", s / "src/var/cache/nodump", s / "src/var/cache", s / "src/var/noatime"});
    EXPECT_EQ(extracted, describe(s / "src"));
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

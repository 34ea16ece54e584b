// Failing system calls, injected through the sandbox's preload library, at
// every stage that touches the archive, the tree or the indicators: each
// must end in a clear message and an honest exit status, and leave nothing
// outside the root changed.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using fwu::Scratch;

// The archive: "one" fills the first 10240-byte block with its header, so
// the second read of the archive is a header read and the third one falls
// inside sub/two's data. Names hold letters that no hexadecimal digest does,
// so that a rule matching them never counts the archive's own calls.
const std::vector<std::string> ARCHIVE_ENTRIES = {"./one", "./sub", "./sub/two", "./link"};

// Entries below the root afterwards, as in the snapshot.
#define PRESERVED "etc etc/belvonix etc/belvonix/id "
#define OLD_TREE "old old/d old/d/stale "
#define NEW_TREE "link one sub sub/two "

// Standard output after the line that announces the file name.
#define CHECKED "Checksum ok \\([0-9a-f]{64}\\)\n"
#define PURGE_UNPACK "purge\\.\\.\\.\nunpack\\.\\.\\.\n"
#define UPDATED CHECKED PURGE_UNPACK "sync\n"
#define READ_ERROR "Error reading fd [0-9]+"
#define EXTRACT_FAILED(path, status, text) "archive_read_extract\\(\\) failed for " path ": \\(" status "\\) " text "\n"

constexpr const char* LED1 = "class/leds/belvonix:1/brightness";
constexpr const char* RO_ERROR = "debug/ubifs/ubi0_0/ro_error";

struct fault_case {
    const char* name;
    const char* rule;      // "@A@" stands for the archive's digest
    const char* out;       // regular expressions
    const char* err;
    int status;
    const char* tree;      // every entry below the root afterwards
    bool inject = false;   // run with -e 1
    const char* unchanged = nullptr;  // a device file the fault keeps as it was
};

const fault_case CASES[] = {
    // Before the purge: nothing changes.
    {"archive cannot be opened", "open:1:EACCES:@A@", "", "open failed: Permission denied\n", 255, PRESERVED OLD_TREE},
    {"archive cannot be queried", "fstat:1:EIO:@A@", "", "fstat: Input/output error\n", 255, PRESERVED OLD_TREE},
    {"archive cannot be mapped", "mmap:1:ENOMEM:@A@", "", "mmap: Cannot allocate memory\n", 255, PRESERVED OLD_TREE},
    {"archive unreadable for libarchive", "read:1:EIO:@A@", CHECKED "Unable to open file: " READ_ERROR "\n", "", 226,
     PRESERVED OLD_TREE},
    {"working directory unknown", "getcwd:1:ENAMETOOLONG", CHECKED, "getcwd: File name too long\n", 255,
     PRESERVED OLD_TREE},
    // Reading the archive during the extraction.
    {"archive read fails at a header", "read:2:EIO:@A@",
     CHECKED PURGE_UNPACK "archive_read_next_header\\(\\) failed: \\(-30\\) " READ_ERROR "\nsync\n", "", 255,
     PRESERVED "one"},
    {"archive read fails inside an entry", "read:3:EIO:@A@",
     CHECKED PURGE_UNPACK EXTRACT_FAILED("\\./sub/two", "-30", READ_ERROR), "", 255, PRESERVED "one sub sub/two"},
    // Writing the extracted files.
    {"no space for a file's data", "write:1:ENOSPC:/root/one",
     CHECKED PURGE_UNPACK EXTRACT_FAILED("\\./one", "-20", "Write failed"), "", 255, PRESERVED "one"},
    {"read-only file system under a file", "write:1:EROFS:/root/sub/two",
     CHECKED PURGE_UNPACK EXTRACT_FAILED("\\./sub/two", "-20", "Write failed"), "", 255, PRESERVED "one sub sub/two"},
    {"I/O error in a file's second write", "write:2:EIO:/root/sub/two",
     CHECKED PURGE_UNPACK EXTRACT_FAILED("\\./sub/two", "-20", "Write failed"), "", 255, PRESERVED "one sub sub/two"},
    {"no space for a new file", "open:1:ENOSPC:one",
     CHECKED PURGE_UNPACK EXTRACT_FAILED("\\./one", "-20", "Can't create 'one'"), "", 255, PRESERVED},
    {"read-only file system for a new file", "open:1:EROFS:sub/two",
     CHECKED PURGE_UNPACK EXTRACT_FAILED("\\./sub/two", "-20", "Can't create 'sub/two'"), "", 255, PRESERVED "one sub"},
    {"I/O error creating a file", "open:1:EIO:one",
     CHECKED PURGE_UNPACK EXTRACT_FAILED("\\./one", "-20", "Can't create 'one'"), "", 255, PRESERVED},
    // The purge: reported where a directory cannot be read, silent where a
    // single deletion fails; the extraction then writes over what is left.
    // (The first open whose path holds a dot is the archive's, "../in/...".)
    {"root cannot be opened", "open:2:EACCES:.", UPDATED, "opendir failed: Permission denied\n", 0,
     PRESERVED OLD_TREE NEW_TREE},
    {"root cannot be listed", "fdopendir:1:EIO", UPDATED, "opendir failed: Input/output error\n", 0,
     PRESERVED OLD_TREE NEW_TREE},
    {"directory cannot be opened", "openat:1:EACCES:old", UPDATED, "opendir failed: Permission denied\n", 0,
     PRESERVED OLD_TREE NEW_TREE},
    {"directory cannot be queried", "fstat:1:EIO:/root/old", UPDATED, "opendir failed: Input/output error\n", 0,
     PRESERVED OLD_TREE NEW_TREE},
    {"directory cannot be listed", "fdopendir:1:EACCES:/root/old", UPDATED, "opendir failed: Permission denied\n", 0,
     PRESERVED OLD_TREE NEW_TREE},
    {"directory vanishes", "openat:1:ENOENT:old", UPDATED, "", 0, PRESERVED OLD_TREE NEW_TREE},
    {"status cannot be read", "fstatat:1+:EIO", UPDATED, "", 0, PRESERVED OLD_TREE NEW_TREE},
    {"a file cannot be deleted", "unlinkat:1:EPERM:stale", UPDATED, "", 0, PRESERVED OLD_TREE NEW_TREE},
    {"nothing can be deleted", "unlinkat:1+:EBUSY", UPDATED, "", 0, PRESERVED OLD_TREE NEW_TREE},
    // The indicators and the error injection never stop the update.
    {"framebuffer cannot be opened", "open:1+:EACCES:/dev/fb0", UPDATED, "", 0, PRESERVED NEW_TREE, false, "dev/fb0"},
    {"framebuffer cannot be mapped", "mmap:1+:ENOMEM:/dev/fb0", UPDATED, "", 0, PRESERVED NEW_TREE, false, "dev/fb0"},
    {"framebuffer ioctls fail", "ioctl:1+:EINVAL:/dev/fb0", UPDATED, "", 0, PRESERVED NEW_TREE},
    {"splash cannot be written", "write:1+:EIO:/dev/fb0", UPDATED, "", 0, PRESERVED NEW_TREE},
    {"LEDs cannot be opened", "open:1+:EACCES:brightness", UPDATED, "", 0, PRESERVED NEW_TREE, false, LED1},
    {"LEDs cannot be written", "write:1+:EIO:brightness", UPDATED, "", 0, PRESERVED NEW_TREE, false, LED1},
    {"LED 3 cannot be closed", "close:1+:EIO:brightness", UPDATED, "", 0, PRESERVED NEW_TREE},
    {"debug file cannot be opened", "open:1:EACCES:ro_error", UPDATED,
     "open failed for debugfs: Permission denied\n", 0, PRESERVED NEW_TREE, true, RO_ERROR},
    {"debug switch cannot be written", "write:1+:EIO:ro_error",
     "!! UBIFS will fail after 1 files have been written !!\n" CHECKED PURGE_UNPACK
     "Simulating I/O error in UBIFS layer\nsync\n",
     "", 0, PRESERVED NEW_TREE, true, RO_ERROR},
};

std::vector<std::string> sorted_words(const std::string& text)
{
    std::istringstream in(text);
    std::vector<std::string> words{std::istream_iterator<std::string>(in), {}};
    std::sort(words.begin(), words.end());
    return words;
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::istringstream in(text);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string names_in(const std::string& snapshot)
{
    std::string names;
    for (const std::string& line : lines_of(snapshot)) names += line.substr(0, line.find(' ')) + " ";
    return names;
}

std::string replaced(std::string text, const std::string& from, const std::string& to)
{
    for (std::size_t at; (at = text.find(from)) != std::string::npos;) text.replace(at, from.size(), to);
    return text;
}

TEST(Faults, InjectedFailures)
{
    // The archive, and what bsdtar makes of it, once for all rows.
    Scratch source;
    fwu::make_tree(source / "src", {"sub/", "link -> one"});
    fwu::write_file(source / "src/one", std::string(10240 - 512, 'a'));
    fwu::write_file(source / "src/sub/two", std::string(20000, 'b'));
    std::vector<std::string> tar = {"tar", "--no-recursion", "--mtime=@1500000000", "-C", source / "src", "-cf",
                                    source / "a.tar"};
    tar.insert(tar.end(), ARCHIVE_ENTRIES.begin(), ARCHIVE_ENTRIES.end());
    ASSERT_EQ(fwu::run_host(tar).status, 0);
    const std::string bytes = fwu::read_file(source / "a.tar");
    const std::string digest = fwu::sha256_hex(bytes);
    fwu::make_dirs(source / "ref");
    ASSERT_EQ(fwu::run_host({"bsdtar", "-xp", "--acls", "--fflags", "--no-xattrs", "-f", source / "a.tar", "-C",
                             source / "ref"})
                  .status,
              0);
    const std::vector<std::string> reference = lines_of(fwu::snapshot_tree(source / "ref", true));

    for (const fault_case& c : CASES) {
        SCOPED_TRACE(std::string(c.name) + ": " + c.rule);
        Scratch s;
        fwu::make_tree(s.root(), {"etc/belvonix/id=device 7", "old/d/stale=old"});
        fwu::add_framebuffer(s);
        for (const char* led : {"belvonix:1", "belvonix:2", "alix:3"}) fwu::add_led(s, led);
        fwu::add_ro_error(s);
        fwu::write_as_digest(s / "in", bytes);
        fwu::write_file(s / "in/beside", "not below the root");
        const std::string outside = fwu::snapshot_tree(s / "in", true);
        const std::string device = c.unchanged ? fwu::read_file(s / c.unchanged) : "";

        std::vector<std::string> args = {"../in/" + digest};
        if (c.inject) args.insert(args.begin(), {"-e", "1"});
        const fwu::RunResult r = fwu::run_tool(s, args, {.fail = {replaced(c.rule, "@A@", digest)}});

        EXPECT_EQ(r.status, c.status);
        EXPECT_TRUE(std::regex_match(r.out, std::regex("firmware-update: filename = '[^']*'\n" + std::string(c.out))))
            << r.out;
        EXPECT_TRUE(std::regex_match(r.err, std::regex(c.err))) << r.err;
        const std::string tree = fwu::snapshot_tree(s.root(), true);
        EXPECT_EQ(sorted_words(names_in(tree)), sorted_words(c.tree));
        EXPECT_EQ(fwu::snapshot_tree(s / "in", true), outside);
        if (c.unchanged) {
            EXPECT_EQ(fwu::read_file(s / c.unchanged), device) << c.unchanged;
        }
        if (c.status == 0) {
            // A successful update holds every entry as bsdtar extracts it.
            const std::vector<std::string> lines = lines_of(tree);
            for (const std::string& line : reference)
                EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << line;
        }
    }
}

}  // namespace

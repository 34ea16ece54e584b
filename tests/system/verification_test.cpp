// The archive's name against its SHA-256 digest (OpenSSL as the oracle).
// Rows describe the file to create and the argument to pass with
// placeholders: {S} scratch directory, {d} digest of the archive as
// created, {D} the same in uppercase, {c} digest of the bytes on disk
// after a one-byte change.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

#include "harness.h"

namespace {

enum class Content { tar, changed_byte, empty, directory, none };

struct Row {
    const char* name;
    Content content;
    const char* file;  // created below the scratch directory
    const char* arg;
    const char* out;   // after the file name line; the whole of it on failure
    const char* err;
    int status;
    std::vector<std::string> fail = {};  // injected faults
};

constexpr const char* OK = "Checksum ok ({d})\n";
constexpr const char* MISMATCH = "Ooops, sha256 check failed!?\nexpected   >{E}<\ncalculated >{c}<\n";

std::string expand(std::string text, const std::vector<std::pair<std::string, std::string>>& values)
{
    for (const auto& [key, value] : values)
        for (std::size_t at; (at = text.find(key)) != std::string::npos;)
            text.replace(at, key.size(), value);
    return text;
}

TEST(Verification, NameAgainstDigest)
{
    const Row rows[] = {
        {"absolute path", Content::tar, "archives/{d}", "{S}/archives/{d}", OK, "", 0},
        {"relative path with directories", Content::tar, "archives/{d}", "../archives/./{d}", OK, "", 0},
        {"bare name in the working directory", Content::tar, "root/{d}", "{d}", OK, "", 0},
        {"uppercase name", Content::tar, "archives/{D}", "{S}/archives/{D}", MISMATCH, "", 255},
        {".tar suffix", Content::tar, "archives/{d}.tar", "../archives/{d}.tar", MISMATCH, "", 255},
        {".tar.gz suffix", Content::tar, "archives/{d}.tar.gz", "../archives/{d}.tar.gz", MISMATCH, "", 255},
        {"prefix", Content::tar, "archives/x{d}", "../archives/x{d}", MISMATCH, "", 255},
        {"one changed byte", Content::changed_byte, "archives/{d}", "../archives/{d}", MISMATCH, "", 255},
        {"trailing slash", Content::tar, "archives/{d}", "../archives/{d}/", "", "open failed: Not a directory\n", 255},
        {"empty file", Content::empty, "archives/{d}", "../archives/{d}", "", "mmap: Invalid argument\n", 255},
        {"directory", Content::directory, "archives/{d}", "../archives/{d}", "", "mmap: No such device\n", 255},
        {"missing file", Content::none, "", "../archives/{d}", "", "open failed: No such file or directory\n", 255},
        {"empty file name", Content::none, "", "", "", "open failed: No such file or directory\n", 255},
        {"open refused", Content::tar, "archives/{d}", "../archives/{d}", "", "open failed: Permission denied\n", 255,
         {"open:1:EACCES:archives"}},
        {"fstat fails", Content::tar, "archives/{d}", "../archives/{d}", "", "fstat: Input/output error\n", 255,
         {"fstat:1:EIO:archives"}},
        {"mmap fails", Content::tar, "archives/{d}", "../archives/{d}", "", "mmap: Cannot allocate memory\n", 255,
         {"mmap:1:ENOMEM:archives"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fwu::Scratch scratch;
        fwu::make_tree(scratch.root(), {"etc/config=old", "empty/"});
        fwu::make_tree(scratch / "new", {"etc/config=new"});
        std::string bytes = row.content == Content::empty ? "" : fwu::tar_of_tree(scratch / "new");
        std::string digest = fwu::sha256_hex(bytes);
        std::string upper = digest;
        std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
        if (row.content == Content::changed_byte)
            bytes[bytes.size() / 2] ^= 1;
        std::vector<std::pair<std::string, std::string>> values = {
            {"{S}", scratch.path()}, {"{d}", digest}, {"{D}", upper}, {"{c}", fwu::sha256_hex(bytes)}};
        const std::string file = expand(row.file, values);
        const std::string arg = expand(row.arg, values);
        values.emplace_back("{E}", file.substr(file.rfind('/') + 1));
        if (row.content == Content::directory)
            fwu::make_dirs(scratch / file);
        else if (row.content != Content::none)
            fwu::write_file(scratch / file, bytes);

        const std::string before = fwu::snapshot_tree(scratch.path(), true);
        fwu::RunResult r = fwu::run_tool(scratch, {arg}, {.fail = row.fail});
        const std::string out = "firmware-update: filename = '" + arg + "'\n" + expand(row.out, values);
        EXPECT_EQ(r.err, row.err);
        EXPECT_EQ(r.status, row.status);
        if (row.status == 0) {
            // What follows belongs to the purge and the extraction.
            EXPECT_EQ(r.out.substr(0, out.size()), out);
        } else {
            EXPECT_EQ(r.out, out);
            EXPECT_EQ(fwu::snapshot_tree(scratch.path(), true), before);
        }
    }
}

// On the 32-bit build a file larger than the address space is refused
// before a byte of it is hashed; it must not be hashed as a shorter one.
TEST(Verification, RefusesAnArchiveBeyondTheAddressSpace)
{
    if (sizeof(void*) > 4) GTEST_SKIP() << "the 64-bit build maps it";
    fwu::Scratch scratch;
    fwu::make_tree(scratch.root(), {"etc/config=old"});
    fwu::make_dirs(scratch / "archives");
    const std::string archive = scratch / "archives" + "/" + std::string(64, '0');
    const int fd = open(archive.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, (off_t{1} << 32) + 64), 0);  // sparse: no disk used
    close(fd);

    const std::string before = fwu::snapshot_tree(scratch.root(), true);
    const fwu::RunResult r = fwu::run_tool(scratch, {archive});
    EXPECT_EQ(r.out, "firmware-update: filename = '" + archive + "'\n" + archive +
                         ": archive of 4294967360 bytes is too large to be verified on this system\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(fwu::snapshot_tree(scratch.root(), true), before);
}

}  // namespace

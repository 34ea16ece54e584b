// firmware-pack on the host, on scratch trees: a round trip through the real
// firmware-update, reproducible bytes, and one literal archive per finding
// of check.
#include <gtest/gtest.h>

#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>

#include "harness.h"

namespace {

fwu::RunResult pack(const std::vector<std::string>& args, const std::vector<std::string>& env = {})
{
    std::vector<std::string> argv = {"env"};
    argv.insert(argv.end(), env.begin(), env.end());
    argv.push_back(fwu::PACK_PATH);
    argv.insert(argv.end(), args.begin(), args.end());
    return fwu::run_host(argv);
}

// The path that create printed, after checking that it names the bytes.
std::string created(const fwu::RunResult& r, const std::string& out_dir)
{
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string path = r.out.substr(0, r.out.find('\n'));
    EXPECT_EQ(r.out, path + "\n");
    EXPECT_EQ(path, out_dir + "/" + fwu::sha256_hex(fwu::read_file(path)));
    return path;
}

TEST(Pack, RoundTripThroughTheDevice)
{
    fwu::use_scratch_with_file_flags();
    fwu::Scratch s;
    fwu::make_rich_tree(s / "src");
    // A name outside ASCII, which the device writes as the archive's bytes.
    fwu::write_file(s / "src/etc/caf\u00e9", "au lait");
    fwu::write_file(s / "zImage", "kernel");
    fwu::make_dirs(s / "out");
    const std::string archive =
        created(pack({"create", "--kernel", s / "zImage", "--compress", "zstd", s / "src", s / "out"}), s / "out");

    const fwu::RunResult check = pack({"check", archive});
    EXPECT_EQ(check.err, "");
    // 21 entries: the kernel image, the tree's top and the 19 below it.
    // 50 bytes: 6 of the kernel image, 44 of the tree's files (a hard link
    // stores none).
    EXPECT_EQ(check.out, "archive:      " + archive +
                             "\ncompression:  zstd\nentries:      21\nbytes:        50\nkernel image: present\n"
                             "activity bar: 0.0 sweeps of the screen (272 entries each)\n"
                             "result:       clean: it may go to the devices\n");
    EXPECT_EQ(check.status, 0);

    const fwu::RunResult update = fwu::run_tool(s, {archive});
    EXPECT_EQ(update.status, 0) << update.out << update.err;
    // The tool restores no extended attributes but the ACLs.
    lremovexattr((s / "src/var/cache/nodump").c_str(), "user.note");
    EXPECT_EQ(fwu::describe_tree(s.root()), fwu::describe_tree(s / "src"));
}

TEST(Pack, SameTreeGivesSameBytes)
{
    fwu::Scratch s;
    std::vector<std::string> entries = {"etc/", "etc/motd=hello\n", "etc/hosts=127.0.0.1 localhost\n",
                                        "usr/bin/run=#!/bin/sh\n", "usr/lib/", "usr/lib/libx.so=x", "bin -> usr/bin"};
    fwu::make_tree(s / "a", entries);
    // The copy is made in the other order, so that its inodes and the order
    // in which its directories list their entries differ; its times differ
    // too, which SOURCE_DATE_EPOCH clamps away.
    std::reverse(entries.begin(), entries.end());
    sleep(1);
    fwu::make_tree(s / "b", entries);
    fwu::make_dirs(s / "out");
    const std::vector<std::string> env = {"SOURCE_DATE_EPOCH=1500000000"};
    const std::string first = created(pack({"create", "--compress", "gzip", s / "a", s / "out"}, env), s / "out");
    const std::string second = created(pack({"create", "--compress=gzip", s / "b", s / "out"}, env), s / "out");
    EXPECT_EQ(first, second);
    // Every entry's time is the clamped one; the gzip header holds none.
    const fwu::RunResult listing = fwu::run_host({"sh", "-c", "bsdtar -tvf " + first + " | grep -vc 'Jul 14  2017'"});
    EXPECT_EQ(listing.out, "0\n");
    EXPECT_EQ(fwu::read_file(first).substr(4, 4), std::string(4, '\0'));
}

// A literal archive made by Python's tarfile; `members` adds its entries
// with add(name, type, link target, data).
struct Hostile {
    const char* name;
    const char* members;
    const char* file_name;  // "": the archive's digest
    int status;
    const char* message;    // a line of standard error holds it
};

std::string python_tar(const std::string& members)
{
    const std::string script =
        "import io, sys, tarfile\n"
        "out = io.BytesIO()\n"
        "t = tarfile.open(fileobj=out, mode='w', format=tarfile.PAX_FORMAT)\n"
        "def add(name, kind=tarfile.REGTYPE, target='', data=b''):\n"
        "    i = tarfile.TarInfo(name); i.type = kind; i.linkname = target; i.size = len(data)\n"
        "    t.addfile(i, io.BytesIO(data))\n" +
        members + "\nt.close()\nsys.stdout.buffer.write(out.getvalue())\n";
    const fwu::RunResult r = fwu::run_host({"python3", "-c", script});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

void PrintTo(const Hostile& row, std::ostream* out)
{
    *out << row.name;
}

class HostileArchive : public testing::TestWithParam<Hostile> {};

TEST_P(HostileArchive, IsReported)
{
    const Hostile& row = GetParam();
    fwu::Scratch s;
    const std::string bytes = python_tar(row.members);
    std::string archive = s / row.file_name;
    if (*row.file_name == '\0') {
        archive = fwu::write_as_digest(s.path(), bytes);
    } else {
        fwu::write_file(archive, bytes);
    }
    const fwu::RunResult r = pack({"check", archive});
    EXPECT_EQ(r.status, row.status);
    EXPECT_NE(r.err.find(row.message), std::string::npos) << r.err;
}

constexpr const char* SHADOW = "add('./etc/'); add('./etc/shadow', data=b'root:*:1::::::\\n')";

const Hostile HOSTILE[] = {
    {"absolute_path", "add('/etc/passwd', data=b'x')", "", 2, "entry '/etc/passwd': an absolute path"},
    {"parent_component", "add('./a/'); add('./a/../../etc/passwd')", "", 2,
     "entry './a/../../etc/passwd': a \"..\" component"},
    {"through_earlier_link", "add('./etc', tarfile.SYMTYPE, '/etc'); add('./etc/passwd')", "", 2,
     "entry './etc/passwd': leads through the symbolic link ./etc that an earlier entry makes"},
    {"through_link_under_directory_entry",
     "add('./lib', tarfile.SYMTYPE, '/lib'); add('./lib', tarfile.DIRTYPE); add('./lib/libc.so.6')", "", 2,
     "entry './lib/libc.so.6': leads through the symbolic link ./lib"},
    {"hard_link_outside", "add('./shadow', tarfile.LNKTYPE, '/etc/shadow')", "", 2,
     "entry './shadow': a hard link to /etc/shadow: an absolute path"},
    // A name that is not UTF-8 lands as its bytes, on the device as here.
    {"unconvertible_name",
     "i = tarfile.TarInfo('./PaxHeaders/x'); i.type = tarfile.XHDTYPE; r = b'15 path=./caf\\xe9\\n'\n"
     "i.size = len(r); t.addfile(i, io.BytesIO(r)); add('./placeholder')",
     "", 0, ""},
    {"name_too_long", "add('./' + 'n' * 256)", "", 2, "a name of 256 bytes, longer than the 255"},
    {"preserved_path", "add('./etc/'); add('./etc/dropbear/'); add('./etc/dropbear/dropbear_rsa_host_key')", "", 1,
     "entry './etc/dropbear/dropbear_rsa_host_key': under the preserved path /etc/dropbear"},
    {"name_is_not_digest", SHADOW, "update.tar", 2, "the name 'update.tar' is not a SHA-256 digest"},
    {"name_is_other_digest", SHADOW, "0000000000000000000000000000000000000000000000000000000000000000", 2,
     "the name says 0000000000000000000000000000000000000000000000000000000000000000, but the bytes' digest is"},
};

INSTANTIATE_TEST_SUITE_P(Check, HostileArchive, testing::ValuesIn(HOSTILE),
                         [](const testing::TestParamInfo<Hostile>& info) { return info.param.name; });

TEST(Pack, UsageAndSystemErrorsExitWith3)
{
    fwu::Scratch s;
    const fwu::RunResult no_command = pack({});
    EXPECT_EQ(no_command.status, 3);
    EXPECT_EQ(no_command.err, "firmware-pack: no command given: create or check\nTry 'firmware-pack --help'.\n");
    const fwu::RunResult missing = pack({"check", s / "absent"});
    EXPECT_EQ(missing.status, 3);
    EXPECT_EQ(missing.err, "firmware-pack: cannot read " + s / "absent" + ": No such file or directory\n");
    const fwu::RunResult help = pack({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Exit status: 0 done"), std::string::npos);
}

}  // namespace

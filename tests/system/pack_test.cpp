// firmware-pack on the host, on scratch trees: a round trip through the real
// firmware-update, reproducible bytes, and one literal archive per finding
// of check.
#include <gtest/gtest.h>

#include <sys/xattr.h>

#include "harness.h"

namespace {

// The path that create printed, after checking that it names the bytes in
// the scratch directory's top.
std::string created(const fwu::RunResult& r, const fwu::Scratch& s)
{
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string path = r.out.substr(0, r.out.find('\n'));
    EXPECT_EQ(r.out, s / fwu::sha256_hex(fwu::read_file(path)) + "\n");
    return path;
}

TEST(Pack, RoundTripThroughTheDevice)
{
    setenv("TMPDIR", "/var/tmp", 0);  // tmpfs, the usual /tmp, holds no file flags
    fwu::Scratch s;
    fwu::make_rich_tree(s / "src");
    fwu::write_file(s / "zImage", "kernel");
    const std::string archive = created(
        fwu::run_host({fwu::PACK_PATH, "create", "--kernel", s / "zImage", "--compress", "zstd", s / "src", s.path()}),
        s);

    const fwu::RunResult check = fwu::run_host({fwu::PACK_PATH, "check", archive});
    EXPECT_EQ(check.status, 0);
    EXPECT_EQ(check.err, "");
    // 28 entries: the kernel image, the tree's top and the 26 below it.
    // 112 bytes: 6 of the kernel image, 106 of the tree's files (a hard
    // link stores none).
    EXPECT_EQ(check.out, "archive:      " + archive +
                             "\ncompression:  zstd\nentries:      28\nbytes:        112\nkernel image: present\n"
                             "activity bar: 0.0 sweeps of the screen (272 entries each)\n"
                             "result:       clean: it may go to the devices\n");

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
    // in which its directories list their entries differ; SOURCE_DATE_EPOCH
    // clamps the times of both.
    fwu::make_tree(s / "b", {entries.rbegin(), entries.rend()});
    setenv("SOURCE_DATE_EPOCH", "1500000000", 1);
    const std::string a = created(fwu::run_host({fwu::PACK_PATH, "create", "--compress", "gzip", s / "a", s.path()}), s);
    const std::string b = created(fwu::run_host({fwu::PACK_PATH, "create", "--compress=gzip", s / "b", s.path()}), s);
    unsetenv("SOURCE_DATE_EPOCH");
    EXPECT_EQ(a, b);
    // In byte order of the names, whatever order the file system lists them in.
    EXPECT_EQ(fwu::host({"bsdtar", "-tf", a}), "./\n./bin\n./etc/\n./etc/hosts\n./etc/motd\n./usr/\n./usr/bin/\n"
                                                "./usr/bin/run\n./usr/lib/\n./usr/lib/libx.so\n");
    // Every entry's time is the clamped one; the gzip header holds none.
    EXPECT_EQ(fwu::host({"sh", "-c", "bsdtar -tvf " + a + " | grep -vc 'Jul 14  2017' || true"}), "0\n");
    EXPECT_EQ(fwu::read_file(a).substr(4, 4), std::string(4, '\0'));
}

// The artifact for the device's Mender client carries the archive as check
// passed it, by its digest as mender-artifact reads it back; a refused
// archive gets none.
TEST(Pack, ArtifactCarriesOnlyAnArchiveTheDevicesMayTake)
{
    fwu::Scratch s;
    const std::string kept = fwu::write_as_digest(s.path(), fwu::python_tar("add('./etc/'); add('./etc/dropbear/')"));
    const std::string digest = kept.substr(kept.rfind('/') + 1);
    const std::string refused = fwu::write_as_digest(s.path(), fwu::python_tar("add('/etc/passwd', data=b'x')"));
    const auto artifact = [&](const std::string& archive, const std::string& path) {
        return fwu::run_host({fwu::PACK_PATH, "artifact", "--name", "release-2", "--device-type=belvonix", archive,
                              path, "--", "--software-version", "2.0"});
    };

    const fwu::RunResult warned = artifact(kept, s / "kept.mender");
    EXPECT_EQ(warned.status, 1) << warned.err;  // check's status: the warning about /etc/dropbear
    EXPECT_TRUE(warned.out.ends_with("artifact:     " + s / "kept.mender\n")) << warned.out;
    const std::string read = fwu::host({"mender-artifact", "read", s / "kept.mender"});
    for (const std::string& line : std::vector<std::string>{"Name: release-2", "Compatible devices: '[belvonix]'", "Type:   firmware-update",
                                    "rootfs-image.firmware-update.version: 2.0", "name:     " + digest,
                                    "size:     10240", "checksum: " + digest}) {
        EXPECT_NE(read.find(line), std::string::npos) << line << " not in\n" << read;
    }

    const fwu::RunResult refusal = artifact(refused, s / "refused.mender");
    EXPECT_EQ(refusal.status, 2);
    EXPECT_NE(refusal.err.find("no artifact made"), std::string::npos) << refusal.err;
    EXPECT_NE(access((s / "refused.mender").c_str(), F_OK), 0);
}

struct Hostile {
    const char* name;
    const char* members;
    const char* file_name;  // "": the archive's digest
    int status;
    const char* message;  // standard error (or output) holds it
    std::vector<std::string> args = {"check", "@"};  // "@": the archive, "{S}": the scratch directory
    friend void PrintTo(const Hostile& row, std::ostream* out) { *out << row.name; }
};

class HostileArchive : public testing::TestWithParam<Hostile> {};

TEST_P(HostileArchive, IsReported)
{
    const Hostile& row = GetParam();
    fwu::Scratch s;
    const std::string bytes = fwu::python_tar(row.members);
    const std::string archive = *row.file_name ? s / row.file_name : fwu::write_as_digest(s.path(), bytes);
    fwu::write_file(archive, bytes);
    std::vector<std::string> argv = {fwu::PACK_PATH};
    for (const std::string& arg : row.args) argv.push_back(fwu::expand(arg, {{"@", archive}, {"{S}", s.path()}}));
    const fwu::RunResult r = fwu::run_host(argv);
    EXPECT_EQ(r.status, row.status);
    EXPECT_NE((r.err + r.out).find(row.message), std::string::npos) << r.err;
}

constexpr const char* ZEROS = "0000000000000000000000000000000000000000000000000000000000000000";

const Hostile HOSTILE[] = {
    {"absolute_path", "add('/etc/passwd', data=b'x')", "", 2, "entry '/etc/passwd': an absolute path"},
    {"parent_component", "add('./a/'); add('./a/../../x')", "", 2, "entry './a/../../x': a \"..\" component"},
    {"through_earlier_link", "add('./etc/'); add('./etc/ssl', SYMTYPE, '/etc/ssl'); add('./etc/ssl/key')", "", 2,
     "entry './etc/ssl/key': leads through the symbolic link ./etc/ssl that an earlier entry makes"},
    {"through_link_under_directory_entry", "add('./lib', SYMTYPE, '/lib'); add('./lib', DIRTYPE); add('./lib/libc')",
     "", 2, "entry './lib/libc': leads through the symbolic link ./lib"},
    {"hard_link_outside", "add('./s', LNKTYPE, '/etc/s')", "", 2, "entry './s': a hard link to /etc/s: an absolute path"},
    // A name that is not UTF-8 lands as its bytes, on the device as here.
    {"unconvertible_name", "add('./PaxHeaders/x', XHDTYPE, data=b'15 path=./caf\\xe9\\n'); add('./x')", "", 0, ""},
    {"name_too_long", "add('./' + 'n' * 256)", "", 2, "a name of 256 bytes, longer than the 255"},
    {"preserved_path", "add('./etc/'); add('./etc/dropbear/'); add('./etc/dropbear/dropbear_rsa_host_key')", "", 1,
     "entry './etc/dropbear/dropbear_rsa_host_key': under the preserved path /etc/dropbear"},
    {"name_is_not_digest", "add('./etc/shadow')", "update.tar", 2, "the name 'update.tar' is not a SHA-256 digest"},
    {"name_is_other_digest", "add('./etc/shadow')", ZEROS, 2, "0000, but the bytes' digest is "},
    // Usage and system errors exit with 3.
    {"no_command", "", "", 3, "firmware-pack: no command given: create, check or artifact\nTry 'firmware-pack --help'.\n", {}},
    {"unreadable", "", "", 3, "firmware-pack: cannot read /nonexistent/update: No such file or directory\n",
     {"check", "/nonexistent/update"}},
    {"help", "", "", 0, "Exit status: 0 done", {"--help"}},
    {"artifact_without_device_type", "", "", 3, "artifact needs --name and --device-type",
     {"artifact", "--name", "r", "@", "{S}/a.mender"}},
    {"kernel_image_already_in_the_tree", "add('./x')", "tmp/belvonix-update.zImage", 3,
     "already holds tmp/belvonix-update.zImage; remove it or leave out --kernel", {"create", "--kernel", "@", "{S}", "{S}"}},
};

INSTANTIATE_TEST_SUITE_P(Check, HostileArchive, testing::ValuesIn(HOSTILE),
                         [](const testing::TestParamInfo<Hostile>& info) { return info.param.name; });

}  // namespace

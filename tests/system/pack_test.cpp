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
    EXPECT_EQ(check.status, 2);
    // What a release engineer should see, and nothing of the numeric
    // owners and ACLs that create stores. The sandbox's ext4 keeps nodump
    // and noatime, the device's UBIFS takes neither.
    const std::string ubifs = "that the device's file system, UBIFS, does not take: the device stops there, after its "
                              "purge; clear them with chattr\n";
    EXPECT_EQ(fwu::expand(check.err, {{archive + ": ", ""}}),
              "warning: entry './bin/helper': a set-ID program (mode 2711): it runs with its owner's or group's "
              "rights on every device; make sure it must\n"
              "warning: entry './bin/tool': a set-ID program (mode 4755): it runs with its owner's or group's "
              "rights on every device; make sure it must\n"
              "warning: entry './run/fifo': a FIFO, which the device creates in its tree; make sure the tree needs it\n"
              "refused: entry './var/cache/': file flags (nodump) " + ubifs +
              "refused: entry './var/cache/nodump': file flags (nodump) " + ubifs +
              "warning: entry './var/cache/nodump': extended attributes (user.note), which the device does not "
              "restore: every device loses them; give the files what they need (such as capabilities) by other means\n"
              "refused: entry './var/noatime/': file flags (noatime) " + ubifs);
    // 28 entries: the kernel image, the tree's top and the 26 below it.
    // 112 bytes: 6 of the kernel image, 106 of the tree's files (a hard
    // link stores none).
    // The library it read with, as the peer built on it names it.
    const std::string peer = fwu::host({"bsdtar", "--version"});
    const std::string library = peer.substr(peer.find("libarchive "), peer.find_last_not_of(" \n") + 1 - peer.find("libarchive "));
    EXPECT_EQ(check.out, "archive:      " + archive + "\nread with:    " + library + "\n" +
                             "compression:  zstd\nentries:      28\nbytes:        112\nkernel image: present\n"
                             "activity bar: 0.0 sweeps of the screen (272 entries each)\n"
                             "result:       refused (3 problems, 4 warnings): do not send it to the devices\n");

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

    // A log that takes both streams gets the report before what follows it.
    const fwu::RunResult failed = fwu::run_host({"sh", "-c", "exec \"$0\" \"$@\" 2>&1", fwu::PACK_PATH, "artifact",
                                                 "--name=r", "--device-type=b", kept, s / "failed.mender", "--", "--no-such-option"});
    EXPECT_EQ(failed.status, 3);
    const std::size_t failure = failed.out.find("firmware-pack: mender-artifact failed");
    ASSERT_NE(failure, std::string::npos) << failed.out;
    EXPECT_LT(failed.out.find("result:"), failure) << failed.out;
}

struct HostileRow {
    const char* name;
    const char* members = "";  // python_tar's; "": an empty archive
    const char* file_name = "";  // "": the archive's digest
    int status;
    const char* message;  // standard error (or output) holds it
    std::vector<std::string> args = {"check", "@"};  // "@": the archive, "{S}": the scratch directory
    const char* format = "PAX_FORMAT";
    std::size_t after_end = 0;  // bytes after the archive's end, which the digest covers too
    friend void PrintTo(const HostileRow& row, std::ostream* out) { *out << row.name; }
};

class HostileArchive : public testing::TestWithParam<HostileRow> {};

TEST_P(HostileArchive, IsReported)
{
    const HostileRow& row = GetParam();
    fwu::Scratch s;
    const std::string bytes = fwu::python_tar(row.members, row.format) + std::string(row.after_end, 'z');
    const std::string archive = *row.file_name ? s / row.file_name : fwu::write_as_digest(s.path(), bytes);
    fwu::write_file(archive, bytes);
    std::vector<std::string> argv = {fwu::PACK_PATH};
    for (const std::string& arg : row.args) argv.push_back(fwu::expand(arg, {{"@", archive}, {"{S}", s.path()}}));
    const fwu::RunResult r = fwu::run_host(argv);
    EXPECT_EQ(r.status, row.status) << r.err;
    EXPECT_NE((r.err + r.out).find(row.message), std::string::npos) << r.err;
}

constexpr const char* ZEROS = "0000000000000000000000000000000000000000000000000000000000000000";
// A pax record before a hard link makes libarchive take the data it carries.
#define PAX_FIRST "add('./a', pax={'comment': 'x'}); "

// Rows marked "found" are counterexamples of the differential test,
// tests/check_against_device.py.
const HostileRow HOSTILE[] = {
    {.name = "absolute_path", .members = "add('/etc/passwd', data=b'x')", .status = 2,
        .message = "entry '/etc/passwd': an absolute path"},
    {.name = "parent_component", .members = "add('./a/'); add('./a/../../x')", .status = 2,
        .message = "entry './a/../../x': a \"..\" component"},
    {.name = "through_earlier_link",
        .members = "add('./etc/'); add('./etc/ssl', SYMTYPE, '/etc/ssl'); add('./etc/ssl/key')", .status = 2,
        .message = "entry './etc/ssl/key': leads through the symbolic link ./etc/ssl that an earlier entry makes"},
    {.name = "through_link_under_directory_entry",
        .members = "add('./lib', SYMTYPE, '/lib'); add('./lib', DIRTYPE); add('./lib/libc')", .status = 2,
        .message = "entry './lib/libc': leads through the symbolic link ./lib"},
    {.name = "directory_over_link", .members = "add('./l', SYMTYPE, '../outside'); add('./l', DIRTYPE, mode=0o777)",
        .status = 2, .message = "entry './l/': a directory over the symbolic link ./l"},
    {.name = "hard_link_outside", .members = "add('./s', LNKTYPE, '/etc/s')", .status = 2,
        .message = "entry './s': a hard link to /etc/s: an absolute path"},
    {.name = "hard_link_with_data_through_symlink",
        .members = PAX_FIRST "add('./s', SYMTYPE, '../outside'); add('./h', LNKTYPE, './s', data=b'xx', mode=0o6777)",
        .status = 2, .message = "entry './h': a hard link that carries 2 bytes of data"},
    {.name = "hard_link_with_data_to_preserved",
        .members = PAX_FIRST "add('./innocent', LNKTYPE, './etc/dropbear/dropbear_rsa_host_key', data=b'key')",
        .status = 2, .message = "entry './innocent': a hard link that carries 3 bytes"},
    {.name = "hard_link_to_preserved_not_in_archive",
        .members = "add('./innocent', LNKTYPE, './etc/dropbear/dropbear_rsa_host_key')", .status = 2,
        .message = "./etc/dropbear/dropbear_rsa_host_key is under a preserved path and no earlier entry makes it"},
    {.name = "hard_link_chain_to_preserved",
        .members = "add('./etc/dropbear/k'); add('./a', LNKTYPE, './etc/dropbear/k'); add('./b', LNKTYPE, './a')",
        .status = 1, .message = "entry './a': a hard link to a file under the preserved path /etc/dropbear"},
    {.name = "hard_link_to_top", .members = "add('./x'); add('./h', LNKTYPE, '.')", .status = 2,
        .message = "a hard link to ., which names no file"},
    {.name = "hard_link_to_later_entry", .members = "add('./h', LNKTYPE, './x'); add('./x')", .status = 2,
        .message = "no earlier entry makes ./x"},
    {.name = "hard_link_to_kernel_image",
        .members = "add('./tmp/belvonix-update.zImage'); add('./h', LNKTYPE, './tmp/belvonix-update.zImage')",
        .status = 2,
        .message = "a hard link to ./tmp/belvonix-update.zImage: the kernel image, which the device never writes"},
    {.name = "hard_link_to_directory", .members = "add('./d', DIRTYPE); add('./h', LNKTYPE, './d')", .status = 2,
        .message = "./d is, or becomes"},
    {.name = "hard_link_to_its_own_parent", .members = "add('./a'); add('./a/b/c', LNKTYPE, './a')", .status = 2,
        .message = "./a is, or becomes for this entry's own path, a directory"},  // found
    {.name = "hard_link_to_itself", .members = "add('./x'); add('x', LNKTYPE, './x')", .status = 2,
        .message = "its own path"},
    {.name = "link_over_preserved_parent", .members = "add('./var', SYMTYPE, 'data/var')", .status = 2,
        .message = "entry './var': not a directory, where the device keeps the directory ./var"},
    {.name = "file_over_preserved_parent", .members = "add('./etc', data=b'x')", .status = 2,
        .message = "where the device keeps the directory ./etc"},
    {.name = "file_over_filled_directory", .members = "add('./d/f'); add('./d', SYMTYPE, 'x')", .status = 2,
        .message = "over the directory ./d that earlier entries fill"},
    {.name = "link_at_top", .members = "add('.', SYMTYPE, 'x')", .status = 2,
        .message = "entry '.': the top of the tree as something other than a directory"},
    {.name = "empty_name", .members = "add('./a'); add('')", .status = 2, .message = "entry '': an empty name"},
    {.name = "immutable_top", .members = "add('./', DIRTYPE, pax={'SCHILY.fflags': 'schg'}); add('./a')", .status = 2,
        .message = "entry './': the immutable flag on a directory that the next update's purge must empty"},
    {.name = "device_node_named_as_directory",
        .members = "add('./tmp/', CHRTYPE, devmajor=1, devminor=3, pax={'SCHILY.acl.access': 'user::rw-,user:1:rw-,group::r--,mask::rw-,other::r--'})",
        .status = 2, .message = "entry './tmp/': not a directory, but its name ends in / or /."},  // found
    // The emulated device's UBIFS refuses the flag (tests/target: tools/try-update).
    {.name = "flag_ubifs_does_not_take", .members = "add('./var/cache/', DIRTYPE, pax={'SCHILY.fflags': 'nodump'})",
        .status = 2, .message = "file flags (nodump) that the device's file system, UBIFS, does not take"},
    {.name = "immutable_file_then_fifo",
        .members = "add('./s', data=b'x', pax={'SCHILY.fflags': 'schg'}); add('./s', FIFOTYPE)", .status = 2,
        .message = "entry './s': replaces ./s, which an earlier entry makes and the device finishes only at the end"},  // found
    {.name = "append_only_fifo", .members = "add('./p', FIFOTYPE, pax={'SCHILY.fflags': 'sappnd'})", .status = 2,
        .message = "a FIFO or device node with the immutable or append-only flag"},  // found
    {.name = "directory_then_fifo", .members = "add('./d/', DIRTYPE, mode=0o700); add('./d', FIFOTYPE)", .status = 2,
        .message = "entry './d': replaces ./d, which an earlier entry makes"},
    {.name = "zero_block_first", .members = "raw(bytes(512)); add('./etc/passwd', data=b'root:x:0:0::/root:/bin/sh')",
        .status = 2, .message = "no entry that the device writes into its tree (the archive ends where it starts)"},
    {.name = "only_the_kernel_image", .members = "add('./tmp/belvonix-update.zImage', data=b'k')", .status = 2,
        .message = "(only the kernel image)"},
    {.name = "acl_without_mask",
        .members = "add('./f', pax={'SCHILY.acl.access': 'user::rw-,user:123:rw-,group::r--,other::r--'})",
        .status = 2, .message = "an ACL that Linux refuses, with named users or groups without one mask entry"},
    {.name = "acl_name_only",
        .members = "add('./f', pax={'SCHILY.acl.access': 'user::rw-,user:operator7:rw-,group::r--,mask::rw-,other::r--'})",
        .status = 2, .message = "an ACL entry for 'operator7' without a number"},
    {.name = "default_acl_on_file",
        .members = "add('./f', pax={'SCHILY.acl.default': 'user::rwx,group::r-x,other::r-x'})", .status = 2,
        .message = "a default ACL on something not a directory"},
    {.name = "owner_by_name", .members = "add('./a', uname='daemon', uid=101); add('./b', uname='daemon', uid=102)",
        .status = 1, .message = "entry './a': owner stored by the name 'daemon'"},
    {.name = "acl_entry_by_name",
        .members = "add('./f', pax={'SCHILY.acl.access': 'user::rw-,user:daemon:rw-:1,group::r--,mask::rw-,other::r--'})",
        .status = 1, .message = "an ACL entry names 'daemon'"},
    {.name = "extended_attribute", .members = "add('./bin/ping', pax={'SCHILY.xattr.security.capability': 'x'})",
        .status = 1, .message = "extended attributes (security.capability), which the device does not restore"},
    {.name = "time_past_2038", .members = "add('./a', pax={'mtime': '2147483648'})", .status = 1,
        .message = "outside 1970 to 2038-01-19"},
    {.name = "world_writable", .members = "add('./tmp/', DIRTYPE, mode=0o777); add('./tmp/x', mode=0o1777)",
        .status = 1, .message = "entry './tmp/': world-writable (mode 0777) without the sticky bit"},
    {.name = "device_node", .members = "add('./dev/null', CHRTYPE, devmajor=1, devminor=3)", .status = 1,
        .message = "a character device node"},
    // A name that is not UTF-8 lands as its bytes, on the device as here.
    {.name = "unconvertible_name",
        .members = "add('./PaxHeaders/x', XHDTYPE, data=b'15 path=./caf\\xe9\\n'); add('./x')", .status = 0,
        .message = ""},
    {.name = "name_too_long", .members = "add('./' + 'n' * 256)", .status = 2,
        .message = "a name of 256 bytes, longer than the 255"},
    {.name = "name_of_255_bytes", .members = "add('./' + 'n' * 255)", .status = 0, .message = "clean"},
    {.name = "bytes_after_the_end", .members = "add('./a', data=b'a')", .status = 0, .message = "clean",
        .format = "GNU_FORMAT", .after_end = 100000},
    {.name = "preserved_path",
        .members = "add('./etc/'); add('./etc/dropbear/'); add('./etc/dropbear/dropbear_rsa_host_key')", .status = 1,
        .message = "entry './etc/dropbear/dropbear_rsa_host_key': under the preserved path /etc/dropbear"},
    {.name = "name_is_not_digest", .members = "add('./etc/shadow')", .file_name = "update.tar", .status = 2,
        .message = "the name 'update.tar' is not a SHA-256 digest"},
    {.name = "name_is_other_digest", .members = "add('./etc/shadow')", .file_name = ZEROS, .status = 2,
        .message = "0000, but the bytes' digest is "},
    // Usage and system errors exit with 3.
    {.name = "no_command", .status = 3,
        .message = "firmware-pack: no command given: create, check or artifact\nTry 'firmware-pack --help'.\n",
        .args = {}},
    {.name = "unreadable", .status = 3,
        .message = "firmware-pack: cannot read /nonexistent/update: No such file or directory\n",
        .args = {"check", "/nonexistent/update"}},
    {.name = "directory", .status = 3, .message = ": not a file\n", .args = {"check", "{S}"}},
    {.name = "help", .status = 0, .message = "Exit status: 0 done", .args = {"--help"}},
    {.name = "version", .status = 0, .message = "firmware-pack 1.", .args = {"--version"}},
    {.name = "artifact_without_device_type", .status = 3,
        .message = "artifact needs --name and --device-type", .args = {"artifact", "--name", "r", "@", "{S}/a.mender"}},
    {.name = "kernel_image_already_in_the_tree", .members = "add('./x')", .file_name = "tmp/belvonix-update.zImage",
        .status = 3, .message = "already holds tmp/belvonix-update.zImage; remove it or leave out --kernel",
        .args = {"create", "--kernel", "@", "{S}", "{S}"}},
};

INSTANTIATE_TEST_SUITE_P(Check, HostileArchive, testing::ValuesIn(HOSTILE),
                         [](const testing::TestParamInfo<HostileRow>& info) { return info.param.name; });

}  // namespace

// The root and NFS checks: each refusal ends the run before anything in the
// scratch tree (working directory, LEDs, framebuffer, UBIFS switch) is
// touched, although a valid archive waits to be applied.
#include <gtest/gtest.h>

#include "harness.h"

namespace {

// A populated root, every fake device, and a valid archive outside the root.
std::string prepare(const fwu::Scratch& s)
{
    fwu::make_tree(s.root(), {"etc/config=old", "bin/tool=#!/bin/sh\n", "data/", "link -> etc/config"});
    fwu::add_framebuffer(s);
    for (const char* led : {"belvonix:1", "belvonix:2", "alix:3"})
        fwu::add_led(s, led);
    fwu::add_ro_error(s);
    fwu::make_tree(s / "new", {"etc/config=new"});
    return fwu::write_as_digest(s / "archives", fwu::tar_of_tree(s / "new"));
}

struct Row {
    const char* name;
    fwu::As as;
    const char* statfs_root;
    const char* out;  // after the file name line
    const char* err;
};

TEST(Preconditions, RefusalsLeaveEverythingUntouched)
{
    const Row rows[] = {
        {"non-root user", fwu::As::user, "", "You are not root, dude.\n", ""},
        {"real uid 0, effective uid 65534", fwu::As::euid, "", "You are not root, dude.\n", ""},
        {"real uid 65534, effective uid 0", fwu::As::setuid, "", "You are not root, dude.\n", ""},
        {"NFS root", fwu::As::root, "nfs", "rootfs is mounted via NFS, not updating.\n", ""},
        {"statfs fails", fwu::As::root, "EIO", "", "statfs: Input/output error\n"},
        {"statfs denied", fwu::As::root, "EACCES", "", "statfs: Permission denied\n"},
        {"non-root user, NFS root", fwu::As::user, "nfs", "You are not root, dude.\n", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fwu::Scratch scratch;
        const std::string archive = prepare(scratch);
        const std::string before = fwu::snapshot_tree(scratch.path(), true);
        fwu::RunResult r = fwu::run_tool(scratch, {archive}, {.as = row.as, .statfs_root = row.statfs_root});
        EXPECT_EQ(r.out, "firmware-update: filename = '" + archive + "'\n" + row.out);
        EXPECT_EQ(r.err, row.err);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(fwu::snapshot_tree(scratch.path(), true), before);
    }
}

// The control: the same set-up without a refusal does replace the tree.
TEST(Preconditions, RootOnLocalFileSystemUpdates)
{
    fwu::Scratch scratch;
    const std::string archive = prepare(scratch);
    const std::string before = fwu::snapshot_tree(scratch.root());
    fwu::RunResult r = fwu::run_tool(scratch, {archive});
    EXPECT_EQ(r.out.substr(0, r.out.find("Checksum ok")), "firmware-update: filename = '" + archive + "'\n");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(fwu::snapshot_tree(scratch.root()), before);
}

}  // namespace

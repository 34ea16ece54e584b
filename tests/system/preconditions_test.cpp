// The root and NFS checks: each refusal ends the run before anything in the
// scratch tree (working directory, LEDs, framebuffer, UBIFS switch) is
// touched, although a valid archive waits to be applied.
#include <gtest/gtest.h>

#include "harness.h"

namespace {

struct Refusal {
    const char* name;
    fwu::As as;
    const char* statfs_root;
    const char* out;  // after the file name line
    const char* err;
};

class Preconditions : public testing::TestWithParam<Refusal> {};

TEST_P(Preconditions, RefusalLeavesEverythingUntouched)
{
    fwu::Scratch s;
    fwu::make_tree(s.root(), {"etc/config=old", "link -> etc/config"});
    fwu::add_devices(s);
    fwu::make_tree(s / "new", {"etc/config=new"});
    const std::string archive = fwu::write_as_digest(s / "archives", fwu::tar_of_tree(s / "new"));
    const std::string before = fwu::snapshot_tree(s.path(), true);
    const fwu::RunResult r = fwu::run_tool(s, {"-e", "1", archive}, {.as = GetParam().as, .statfs_root = GetParam().statfs_root});
    EXPECT_EQ(r.out, "firmware-update: filename = '" + archive + "'\n!! UBIFS will fail after 1 files have been written !!\n" +
                         GetParam().out);
    EXPECT_EQ(r.err, GetParam().err);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(fwu::snapshot_tree(s.path(), true), before);
}

INSTANTIATE_TEST_SUITE_P(Rows, Preconditions, testing::Values(
    Refusal{"user", fwu::As::user, "", "You are not root, dude.\n", ""},
    Refusal{"effective_uid_not_root", fwu::As::euid, "", "You are not root, dude.\n", ""},
    Refusal{"real_uid_not_root", fwu::As::setuid, "", "You are not root, dude.\n", ""},
    Refusal{"nfs_root", fwu::As::root, "nfs", "rootfs is mounted via NFS, not updating.\n", ""},
    Refusal{"statfs_fails", fwu::As::root, "EIO", "", "statfs: Input/output error\n"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

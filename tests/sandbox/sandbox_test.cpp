// The sandbox itself, run with ordinary programs: what the tool under test
// sees must be the scratch tree, never the host's devices.
#include <gtest/gtest.h>

#include <unistd.h>

#include "harness.h"

namespace {

fwu::RunResult sh(const fwu::Scratch& s, const std::string& script, fwu::RunOptions o = {})
{
    o.program = "/bin/sh";
    o.argv0 = "";
    return fwu::run_tool(s, {"-c", script}, o);
}

TEST(Sandbox, DeviceDirectoriesAreTheScratchOnes)
{
    fwu::Scratch s;
    fwu::add_framebuffer(s);
    fwu::add_led(s, "alix:3");
    fwu::add_ro_error(s);
    fwu::RunResult r = sh(s, "ls -A /dev /sys/class/leds /sys/kernel/debug/ubifs; stat -c %s /dev/fb0; pwd");
    EXPECT_EQ(r.out, "/dev:\nfb0\n\n/sys/class/leds:\nalix:3\n\n/sys/kernel/debug/ubifs:\nubi0_0\n261120\n" + s.root() + "\n");
    EXPECT_EQ(r.status, 0) << r.err;

    fwu::Scratch bare;  // missing device directories are created empty
    r = sh(bare, "ls -A /dev /sys/class /sys/kernel/debug");
    EXPECT_EQ(r.out, "/dev:\n\n/sys/class:\n\n/sys/kernel/debug:\n");
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST(Sandbox, OnlyTheScratchTreeIsWritable)
{
    fwu::Scratch s;
    const std::string beside = s.path() + "-beside";
    fwu::RunResult r = sh(s, "touch " + beside + " || touch /fwu-escape || echo refused; touch ../dev/x ../root/y && echo ok");
    EXPECT_EQ(r.out, "refused\nok\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(access(beside.c_str(), F_OK), 0);
    EXPECT_NE(access("/fwu-escape", F_OK), 0);
}

TEST(Sandbox, Identities)
{
    fwu::Scratch s;
    const struct {
        fwu::As as;
        const char* ids;  // real uid, effective uid, groups
    } rows[] = {{fwu::As::root, "0\n0\n"}, {fwu::As::user, "65534\n65534\n65534\n"}, {fwu::As::euid, "0\n65534\n"},
                {fwu::As::setuid, "65534\n0\n"}};
    for (const auto& row : rows) {
        std::string out;
        for (const char* flag : {"-ru", "-u", "-G"}) {
            fwu::RunResult r = fwu::run_tool(s, {flag}, {.as = row.as, .argv0 = "", .program = "/usr/bin/id"});
            EXPECT_EQ(r.status, 0) << r.err;
            out += r.out;
        }
        EXPECT_EQ(out.substr(0, std::string(row.ids).size()), row.ids);
        if (row.as == fwu::As::user) {
            EXPECT_EQ(out, row.ids);
        }
    }
}

TEST(Sandbox, WorkingDirectories)
{
    fwu::Scratch s;
    std::string deep = "root";
    for (int i = 0; i < 30; ++i)
        deep += "/" + std::string(200, 'd');
    fwu::make_dirs(s / deep);
    fwu::RunResult r = sh(s, "pwd", {.cwd = deep});
    EXPECT_EQ(r.out, s / deep + "\n");
    EXPECT_EQ(r.status, 0) << r.err;

    fwu::Scratch t;
    r = sh(t, "stat -f -c %T .; echo x > file; ls", {.tmpfs_root = "1m"});
    EXPECT_EQ(r.out, "tmpfs\nfile\n");
    EXPECT_EQ(fwu::snapshot_tree(t.root()), "") << "the tmpfs covers the root inside the sandbox only";

    fwu::make_tree(s.path(), {"escape -> /"});
    for (const char* bad : {"missing", "../x", "escape", "root/../.."}) {
        r = sh(s, "echo ran", {.cwd = bad});
        EXPECT_EQ(r.status, 125) << bad;
        EXPECT_EQ(r.out, "") << bad;
        EXPECT_EQ(r.err.rfind("fwu-sandbox: ", 0), 0u) << r.err;
    }
}

TEST(Sandbox, StatusEnvironmentAndTimeout)
{
    fwu::Scratch s;
    EXPECT_EQ(sh(s, "exit 7").status, 7);
    EXPECT_EQ(sh(s, "kill -9 $$").status, 128 + 9);
    fwu::RunResult r = sh(s, "echo \"$SANDBOX_X\"; echo err >&2", {.env = {"SANDBOX_X=a b"}});
    EXPECT_EQ(r.out, "a b\n");
    EXPECT_EQ(r.err, "err\n");
    r = sh(s, "yes x | head -c 1000000; yes y | head -c 1000000 >&2");
    EXPECT_EQ(r.out.size(), 1000000u);
    EXPECT_EQ(r.err.size(), 1000000u);
    r = sh(s, "sleep 30", {.timeout = std::chrono::seconds(1)});
    EXPECT_TRUE(r.timed_out);
    EXPECT_EQ(r.status, 128 + 9);
}

}  // namespace

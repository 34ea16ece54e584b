// The sandbox itself, run with a shell: what the tool under test sees must
// be the scratch tree, never the host's devices or files.
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

TEST(Sandbox, SeesAndWritesOnlyTheScratchTree)
{
    fwu::Scratch s;
    fwu::add_devices(s);
    const std::string beside = s.path() + "-beside";
    const fwu::RunResult r = sh(s, "ls -A /dev /sys/class/leds /sys/kernel/debug/ubifs; stat -c %s /dev/fb0; pwd; touch " +
                                       beside + " || touch /fwu-escape || echo refused; touch ../dev/x y && echo ok");
    EXPECT_EQ(r.out, "/dev:\nfb0\n\n/sys/class/leds:\nalix:3\nbelvonix:1\nbelvonix:2\n\n/sys/kernel/debug/ubifs:\nubi0_0\n261120\n" +
                         s.root() + "\nrefused\nok\n");
    EXPECT_NE(access(beside.c_str(), F_OK), 0);
    EXPECT_NE(access("/fwu-escape", F_OK), 0);
}

TEST(Sandbox, RefusesWorkingDirectoriesOutsideTheScratchTree)
{
    fwu::Scratch s;
    fwu::make_tree(s.path(), {"escape -> /"});
    for (const char* bad : {"../x", "escape", "root/../.."}) {
        const fwu::RunResult r = sh(s, "echo ran", {.cwd = bad});
        EXPECT_EQ(r.status, 125) << bad;
        EXPECT_EQ(r.out, "") << bad;
    }
}

}  // namespace

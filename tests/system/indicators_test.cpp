// What the technician sees, on the real binary in the sandbox: the screen
// (a regular file stands in for /dev/fb0, so the framebuffer ioctls fail as
// they would on any file that is not a framebuffer) and the LEDs (their
// brightness files record every write).
#include <gtest/gtest.h>

#include <unistd.h>


#include "harness.h"

namespace {

// An archive of `files` small files, with the kernel image in the middle
// when asked; returns its path, named by its digest.
std::string make_archive(const fwu::Scratch& s, int files, bool kernel_image = false)
{
    std::vector<std::string> argv = {"tar", "-cf", "-", "-C", s / "src"};
    for (int i = 0; i < files; ++i) {
        if (kernel_image && i == files / 2) argv.push_back("./tmp/belvonix-update.zImage");
        argv.push_back("./f" + std::to_string(i));
        fwu::write_file(s / ("src/f" + std::to_string(i)), "entry " + std::to_string(i) + "\n");
    }
    fwu::write_file(s / "src/tmp/belvonix-update.zImage", "kernel\n");
    return fwu::write_as_digest(s / "in", fwu::host(argv));
}

struct Screen {
    const char* name;
    int entries;
    bool fb0;
    const char* fail;
    const char* bar;  // the strip afterwards; "": the screen stays as it was
};

class ScreenTest : public testing::TestWithParam<Screen> {};

// Every case updates normally and prints nothing about the screen.
TEST_P(ScreenTest, SplashAndBar)
{
    const Screen& c = GetParam();
    fwu::Scratch s;
    const std::string archive = make_archive(s, c.entries, true);
    if (c.fb0) fwu::add_framebuffer(s);
    const fwu::RunResult r = fwu::run_tool(s, {archive}, {.fail = {c.fail}});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, fwu::announced(archive) + "purge...\nunpack...\nsync\n");
    EXPECT_EQ(r.err, "");
    if (!c.fb0) {
        EXPECT_NE(access((s / "dev/fb0").c_str(), F_OK), 0);
        return;
    }
    std::string screen = fwu::read_file(s / "dev/fb0");
    if (!*c.bar) {
        EXPECT_EQ(screen, std::string(261120, '\0'));
        return;
    }
    EXPECT_EQ(fwu::strip(screen), c.bar);
    // Elsewhere the splash, as compiled in.
    std::string splash = fwu::read_file(FWU_SPLASH_RAW);
    for (int row = 0; row < 272; ++row) screen.replace(row * 960, 40, splash, row * 960, 40);
    EXPECT_TRUE(screen == splash);
}

INSTANTIATE_TEST_SUITE_P(Rows, ScreenTest, testing::Values(
    Screen{"one_entry", 1, true, "", "0-40"},
    Screen{"300_entries_turned_back", 300, true, "", "204-271"},
    Screen{"no_fb0", 3, false, "", ""},
    Screen{"fb0_cannot_be_mapped", 3, true, "mmap:1+:ENODEV:/dev/fb0", ""}),
    [](const auto& info) { return std::string(info.param.name); });

constexpr const char* LEDS[] = {"belvonix:1", "belvonix:2", "alix:1", "alix:2", "alix:3"};

std::string brightness(const fwu::Scratch& s, const char* led)
{
    return s / ("class/leds/" + std::string(led) + "/brightness");
}

// Per LED file: nullptr absent, otherwise what was written to it, in order.
struct Leds {
    const char* name;
    bool silent;
    std::vector<const char*> files;
};

class LedsTest : public testing::TestWithParam<Leds> {};

TEST_P(LedsTest, WritesInOrder)
{
    const Leds& c = GetParam();
    fwu::Scratch s;
    const std::string archive = make_archive(s, 2);
    for (std::size_t i = 0; i < 5; ++i)
        if (c.files[i]) fwu::add_led(s, LEDS[i]);
    const fwu::RunResult r = fwu::run_tool(s, c.silent ? std::vector<std::string>{"-s", archive} : std::vector{archive});
    EXPECT_EQ(r.status, 0);
    for (std::size_t i = 0; i < 5; ++i)
        if (c.files[i]) {
            EXPECT_EQ(fwu::read_file(brightness(s, LEDS[i])), c.files[i]) << LEDS[i];
        }
}

INSTANTIATE_TEST_SUITE_P(Rows, LedsTest, testing::Values(
    Leds{"first_swap", false, {"1\n", "0\n", "", "", "0\n"}},
    Leds{"silent", true, {"", "", "", "", "0\n"}},
    Leds{"fall_backs", false, {nullptr, nullptr, "1\n", "0\n", "0\n"}},
    Leds{"first_choice_and_fall_back", false, {"1\n", nullptr, "", "0\n", nullptr}},
    Leds{"led_2_missing", false, {"", nullptr, "", nullptr, "0\n"}}),
    [](const auto& info) { return std::string(info.param.name); });

// A tar archive whose one file decompresses slowly: hundreds of MB of text
// as concatenated bzip2 streams of one compressed chunk, so that the archive
// is quick to make and to hash but takes far longer to extract than the
// test watches it.
std::string slow_archive(const fwu::Scratch& s)
{
    constexpr std::size_t CHUNK = 1 << 20, CHUNKS = 400;
    std::string text;
    constexpr const char* WORDS[] = {"update ", "firmware ", "device ", "entry ", "block ", "sample ", "tree ", "value\n"};
    for (uint32_t x = 1; text.size() < CHUNK; x = x * 1103515245 + 12345) text += WORDS[(x >> 16) % 8];
    text.resize(CHUNK);
    fwu::write_file(s / "slow/chunk", text);
    fwu::host({"sh", "-c",
               "set -e; truncate -s " + std::to_string(CHUNK * CHUNKS) +
                   " big; tar -cf - big | head -c 512 | bzip2 > head.bz2; rm big;"
                   " bzip2 chunk; head -c 1024 /dev/zero | bzip2 > end.bz2"},
              s / "slow");
    std::string archive = fwu::read_file(s / "slow/head.bz2");
    const std::string chunk = fwu::read_file(s / "slow/chunk.bz2");
    for (std::size_t i = 0; i < CHUNKS; ++i) archive += chunk;
    return fwu::write_as_digest(s / "in", archive + fwu::read_file(s / "slow/end.bz2"));
}

// Killed after some seconds while still extracting its one entry: the LEDs
// swapped about once a second meanwhile, and only then; whatever the wall
// clock says: today, past 2038 (which a 32-bit time_t cannot hold) or
// nothing at all.
struct Clock {
    const char* name;
    std::vector<std::string> env;
    std::vector<std::string> fail;
};

class LedsTiming : public testing::TestWithParam<Clock> {};

TEST_P(LedsTiming, SwapOncePerSecondWithinAnEntry)
{
    fwu::Scratch s;
    const std::string archive = slow_archive(s);
    fwu::add_led(s, LEDS[0]);
    fwu::add_led(s, LEDS[1]);
    const fwu::RunResult r = fwu::run_tool(s, {archive}, {.tmpfs_root = "1G", .fail = GetParam().fail,
                                                          .env = GetParam().env, .timeout = std::chrono::seconds(5)});
    EXPECT_TRUE(r.timed_out) << r.out;
    const std::string led1 = fwu::read_file(brightness(s, LEDS[0])), led2 = fwu::read_file(brightness(s, LEDS[1]));
    EXPECT_GE(led1.size(), 6u);
    EXPECT_LE(led1.size(), 16u);
    EXPECT_EQ(led1, std::string("1\n0\n1\n0\n1\n0\n1\n0\n1\n").substr(0, led1.size()));
    EXPECT_EQ(led2, std::string("0\n1\n0\n1\n0\n1\n0\n1\n0\n").substr(0, led1.size()));
}

INSTANTIATE_TEST_SUITE_P(Clocks, LedsTiming, testing::Values(
    Clock{"today", {}, {}},
    Clock{"year_2040", {"FWU_CLOCK=2240000000"}, {}},
    Clock{"clock_fails", {}, {"gettimeofday:1+:EINVAL"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

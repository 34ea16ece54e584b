// What the technician sees, on the real binary in the sandbox: the screen
// (a regular file stands in for /dev/fb0, so the framebuffer ioctls fail as
// they would on any file that is not a framebuffer) and the LEDs (their
// brightness files record every write).
#include <gtest/gtest.h>

#include <unistd.h>


#include "harness.h"

namespace {

// An archive of `files` small files, with the kernel image in the middle;
// returns its path, named by its digest.
std::string make_archive(const fwu::Scratch& s, int files)
{
    std::vector<std::string> argv = {"tar", "-cf", "-", "-C", s / "src"};
    for (int i = 0; i < files; ++i) {
        if (i == files / 2) argv.push_back("./tmp/belvonix-update.zImage");
        argv.push_back("./f" + std::to_string(i));
        fwu::write_file(s / ("src/f" + std::to_string(i)), "entry " + std::to_string(i) + "\n");
    }
    fwu::write_file(s / "src/tmp/belvonix-update.zImage", "kernel\n");
    return fwu::write_as_digest(s / "in", fwu::host(argv));
}

constexpr const char* LEDS[] = {"belvonix:1", "belvonix:2", "alix:1", "alix:2", "alix:3"};

std::string brightness(const fwu::Scratch& s, const char* led)
{
    return s / ("class/leds/" + std::string(led) + "/brightness");
}

struct Indicators {
    const char* name;
    int entries;
    std::vector<const char*> leds;  // per LED of LEDS: nullptr absent, else what was written to it, in order
    const char* bar;                // the strip afterwards; "": the screen stays as it was; nullptr: no fb0
    const char* fail = "";
    bool silent = false;
};

class IndicatorsTest : public testing::TestWithParam<Indicators> {};

// Every case updates normally and prints nothing about the indicators.
TEST_P(IndicatorsTest, SplashBarAndLeds)
{
    const Indicators& c = GetParam();
    fwu::Scratch s;
    const std::string archive = make_archive(s, c.entries);
    if (c.bar) fwu::add_framebuffer(s);
    for (std::size_t i = 0; i < 5; ++i)
        if (c.leds[i]) fwu::add_led(s, LEDS[i]);
    const fwu::RunResult r = fwu::run_tool(s, c.silent ? std::vector<std::string>{"-s", archive} : std::vector{archive},
                                           {.fail = {c.fail}});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, fwu::announced(archive) + "purge...\nunpack...\nsync\n");
    EXPECT_EQ(r.err, "");
    for (std::size_t i = 0; i < 5; ++i)
        if (c.leds[i]) {
            EXPECT_EQ(fwu::read_file(brightness(s, LEDS[i])), c.leds[i]) << LEDS[i];
        }
    if (!c.bar) {
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

constexpr std::nullptr_t NO = nullptr;

INSTANTIATE_TEST_SUITE_P(Rows, IndicatorsTest, testing::Values(
    Indicators{"one_entry_first_swap", 1, {"1\n", "0\n", "", "", "0\n"}, "0-40"},
    Indicators{"300_entries_turned_back", 300, {NO, NO, NO, NO, NO}, "204-271"},
    Indicators{"fb0_cannot_be_mapped", 3, {NO, NO, NO, NO, NO}, "", "mmap:1+:ENODEV:/dev/fb0"},
    Indicators{"silent", 2, {"", "", "", "", "0\n"}, NO, "", true},
    Indicators{"fall_backs", 2, {NO, NO, "1\n", "0\n", "0\n"}, NO},
    Indicators{"first_choice_and_fall_back", 2, {"1\n", NO, "", "0\n", NO}, NO},
    Indicators{"led_2_missing", 2, {"", NO, "", NO, "0\n"}, NO}),
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
// swapped about once a second meanwhile, and only then.
TEST(LedsTiming, SwapOncePerSecondWithinAnEntry)
{
    fwu::Scratch s;
    const std::string archive = slow_archive(s);
    fwu::add_led(s, LEDS[0]);
    fwu::add_led(s, LEDS[1]);
    // Long enough for a few swaps where the 32-bit build runs under user-mode
    // emulation, which is several times slower to start and to hash.
    const fwu::RunResult r = fwu::run_tool(s, {archive}, {.tmpfs_root = "1G", .timeout = std::chrono::seconds(10)});
    EXPECT_TRUE(r.timed_out) << r.out;
    const std::string led1 = fwu::read_file(brightness(s, LEDS[0])), led2 = fwu::read_file(brightness(s, LEDS[1]));
    EXPECT_GE(led1.size(), 6u);
    EXPECT_LE(led1.size(), 24u);
    EXPECT_EQ(led1, std::string("1\n0\n1\n0\n1\n0\n1\n0\n1\n0\n1\n0\n").substr(0, led1.size()));
    EXPECT_EQ(led2, std::string("0\n1\n0\n1\n0\n1\n0\n1\n0\n1\n0\n1\n").substr(0, led1.size()));
}

}  // namespace

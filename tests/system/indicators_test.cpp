// What the technician sees, on the real binary in the sandbox: the screen
// (a regular file stands in for /dev/fb0, so the framebuffer ioctls fail as
// they would on any file that is not a framebuffer) and the LEDs (their
// brightness files record every write).
#include <gtest/gtest.h>

#include <unistd.h>

#include <sstream>

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

// What was written to each LED, in order; nullptr: the LED is absent.
struct Leds {
    const char* belvonix_1 = nullptr;
    const char* belvonix_2 = nullptr;
    const char* alix_1 = nullptr;
    const char* alix_2 = nullptr;
    const char* alix_3 = nullptr;
};

constexpr std::pair<const char*, const char* Leds::*> LEDS[] = {{"belvonix:1", &Leds::belvonix_1},
                                                                 {"belvonix:2", &Leds::belvonix_2},
                                                                 {"alix:1", &Leds::alix_1},
                                                                 {"alix:2", &Leds::alix_2},
                                                                 {"alix:3", &Leds::alix_3}};

std::string brightness(const fwu::Scratch& s, const char* led)
{
    return s / ("class/leds/" + std::string(led) + "/brightness");
}

// The bar's row values besides a strip such as "0-40".
constexpr const char* NO_FB0 = nullptr;  // there is no framebuffer device
constexpr const char* UNTOUCHED = "";    // fb0 stays as it was

struct IndicatorsRow {
    const char* name;
    int entries;
    Leds leds;
    const char* bar = NO_FB0;  // the strip afterwards
    const char* fail = "";
    bool silent = false;
    bool clock_step = false;    // every call of the LED rule a second after the one before: each one swaps
    bool stdin_closed = false;  // LED 3, opened first, gets descriptor 0
};

class IndicatorsTest : public testing::TestWithParam<IndicatorsRow> {};

// Every case updates normally and prints nothing about the indicators.
TEST_P(IndicatorsTest, SplashBarAndLeds)
{
    const IndicatorsRow& c = GetParam();
    fwu::Scratch s;
    const std::string archive = make_archive(s, c.entries);
    if (c.bar) fwu::add_framebuffer(s);
    for (const auto& [led, written] : LEDS)
        if (c.leds.*written) fwu::add_led(s, led);
    std::vector<std::string> env = {"FWU_TRACE=" + s / "trace"};
    if (c.clock_step) env.push_back("FWU_CLOCK_STEP=1");
    const fwu::RunResult r = fwu::run_tool(s, c.silent ? std::vector<std::string>{"-s", archive} : std::vector{archive},
                                           {.fail = {c.fail}, .env = env, .stdin_closed = c.stdin_closed});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, fwu::announced(archive) + "purge...\nunpack...\nsync\n");
    EXPECT_EQ(r.err, "");
    for (const auto& [led, written] : LEDS)
        if (c.leds.*written) {
            EXPECT_EQ(fwu::read_file(brightness(s, led)), c.leds.*written) << led;
        }
    // The screen information is read and the first page panned to.
    std::istringstream trace(fwu::read_file(s / "trace"));
    std::string fb_requests;
    for (std::string line; std::getline(trace, line);)
        if (line.starts_with("ioctl /dev/fb0 ")) fb_requests += line.substr(15) + " ";
    EXPECT_EQ(fb_requests, c.bar && *c.bar ? "0x4600 0x4606 " : "");
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

INSTANTIATE_TEST_SUITE_P(Rows, IndicatorsTest, testing::Values(
    IndicatorsRow{.name = "one_entry_first_swap", .entries = 1,
                  .leds = {.belvonix_1 = "1\n", .belvonix_2 = "0\n", .alix_1 = "", .alix_2 = "", .alix_3 = "0\n"},
                  .bar = "0-40"},
    IndicatorsRow{.name = "300_entries_turned_back", .entries = 300, .leds = {}, .bar = "204-271"},
    IndicatorsRow{.name = "fb0_cannot_be_mapped", .entries = 3, .leds = {}, .bar = UNTOUCHED,
                  .fail = "mmap:1+:ENODEV:/dev/fb0"},
    IndicatorsRow{.name = "silent", .entries = 2,
                  .leds = {.belvonix_1 = "", .belvonix_2 = "", .alix_1 = "", .alix_2 = "", .alix_3 = "0\n"},
                  .silent = true},
    IndicatorsRow{.name = "fall_backs", .entries = 2, .leds = {.alix_1 = "1\n", .alix_2 = "0\n", .alix_3 = "0\n"}},
    IndicatorsRow{.name = "first_choice_and_fall_back", .entries = 2,
                  .leds = {.belvonix_1 = "1\n", .alix_1 = "", .alix_2 = "0\n"}},
    IndicatorsRow{.name = "led_2_missing", .entries = 2, .leds = {.belvonix_1 = "", .alix_1 = "", .alix_3 = "0\n"}},
    // After each of the 3 header reads (the kernel image, f0, the end), for
    // f0's one block of data, and at the ending.
    IndicatorsRow{.name = "every_call", .entries = 1,
                  .leds = {.belvonix_1 = "1\n0\n1\n0\n1\n", .belvonix_2 = "0\n1\n0\n1\n0\n"}, .clock_step = true},
    IndicatorsRow{.name = "led_3_on_descriptor_0", .entries = 2, .leds = {.alix_3 = ""}, .stdin_closed = true}),
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
    fwu::add_led(s, LEDS[0].first);
    fwu::add_led(s, LEDS[1].first);
    // Long enough for a few swaps where the 32-bit build runs under user-mode
    // emulation, which is several times slower to start and to hash.
    const fwu::RunResult r = fwu::run_tool(s, {archive}, {.tmpfs_root = "1G", .timeout = std::chrono::seconds(10)});
    EXPECT_TRUE(r.timed_out) << r.out;
    const std::string led1 = fwu::read_file(brightness(s, LEDS[0].first)), led2 = fwu::read_file(brightness(s, LEDS[1].first));
    EXPECT_GE(led1.size(), 6u);
    EXPECT_LE(led1.size(), 24u);
    EXPECT_EQ(led1, std::string("1\n0\n1\n0\n1\n0\n1\n0\n1\n0\n1\n0\n").substr(0, led1.size()));
    EXPECT_EQ(led2, std::string("0\n1\n0\n1\n0\n1\n0\n1\n0\n1\n0\n1\n").substr(0, led1.size()));
}

}  // namespace

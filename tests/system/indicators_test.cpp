// What the technician sees, on the real binary in the sandbox: the screen
// (a regular file stands in for /dev/fb0, so the framebuffer ioctls fail
// as they would on any file that is not a framebuffer) and the LEDs (their
// brightness files record every write; FIFOs add the time of each).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

namespace {

using fwu::Scratch;

constexpr int WIDTH = 480, HEIGHT = 272, STRIP = 20;
const std::string KERNEL_IMAGE = "./tmp/belvonix-update.zImage";

// An archive of `files` small files (made by GNU tar), with the kernel image
// in the middle when asked; returns its path, named by its digest.
std::string make_archive(const Scratch& s, int files, bool kernel_image = false)
{
    std::vector<std::string> argv = {"tar", "-cf", s / "in.tar", "-C", s / "src"};
    for (int i = 0; i < files; ++i) {
        if (kernel_image && i == files / 2) argv.push_back(KERNEL_IMAGE);
        argv.push_back("./f" + std::to_string(i));
        fwu::write_file(s / ("src/f" + std::to_string(i)), "entry " + std::to_string(i) + "\n");
    }
    if (kernel_image) fwu::write_file(s / ("src/" + KERNEL_IMAGE), "kernel\n");
    const fwu::RunResult tar = fwu::run_host(argv);
    EXPECT_EQ(tar.status, 0) << tar.err;
    fwu::make_dirs(s / "in");
    return fwu::copy_as_digest(s / "in.tar", s / "in");
}

std::string expected_output(const std::string& archive)
{
    return "firmware-update: filename = '" + archive + "'\nChecksum ok (" +
           archive.substr(archive.rfind('/') + 1) + ")\npurge...\nunpack...\nsync\n";
}

// The splash with the strip showing the bar after `entries` entries: an
// 80-row white segment centred on a row that bounces between 0 and 272.
std::string expected_screen(int entries)
{
    std::string screen = fwu::read_file(FWU_SPLASH_RAW);
    const int phase = entries % (2 * HEIGHT);
    const int centre = phase <= HEIGHT ? phase : 2 * HEIGHT - phase;
    for (int row = 0; row < HEIGHT; ++row) {
        const char value = centre - 40 <= row && row <= centre + 39 ? '\xff' : '\0';
        screen.replace(static_cast<std::size_t>(row * WIDTH * 2), STRIP * 2, STRIP * 2, value);
    }
    return screen;
}

std::string first_difference(const std::string& got, const std::string& want)
{
    if (got.size() != want.size()) return "size " + std::to_string(got.size());
    const auto [g, w] = std::mismatch(got.begin(), got.end(), want.begin());
    if (g == got.end()) return {};
    const auto pixel = (g - got.begin()) / 2;
    return "row " + std::to_string(pixel / WIDTH) + " column " + std::to_string(pixel % WIDTH);
}

enum class screen_after { splash_and_bar, untouched, absent };

struct screen_case {
    const char* name;
    int entries;
    bool kernel_image;
    bool fb0;
    const char* fail;
    screen_after expected;
};

constexpr screen_case SCREEN_CASES[] = {
    {"1 entry", 1, false, true, nullptr, screen_after::splash_and_bar},
    {"100 entries", 100, false, true, nullptr, screen_after::splash_and_bar},
    {"300 entries, turned back, kernel image not counted", 300, true, true, nullptr,
     screen_after::splash_and_bar},
    {"no fb0", 3, false, false, nullptr, screen_after::absent},
    {"fb0 cannot be mapped", 3, false, true, "mmap:1+:ENODEV:/dev/fb0", screen_after::untouched},
};

// Every case updates normally and prints nothing about the screen.
TEST(Screen, SplashAndBar)
{
    for (const screen_case& c : SCREEN_CASES) {
        SCOPED_TRACE(c.name);
        Scratch s;
        const std::string archive = make_archive(s, c.entries, c.kernel_image);
        if (c.fb0) fwu::add_framebuffer(s);
        fwu::RunOptions options;
        if (c.fail) options.fail = {c.fail};
        const fwu::RunResult r = fwu::run_tool(s, {archive}, options);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, expected_output(archive));
        EXPECT_EQ(r.err, "");
        if (c.expected == screen_after::absent) {
            EXPECT_NE(access((s / "dev/fb0").c_str(), F_OK), 0);
            continue;
        }
        const std::string want = c.expected == screen_after::untouched ? std::string(WIDTH * HEIGHT * 2, '\0')
                                                                        : expected_screen(c.entries);
        EXPECT_EQ(first_difference(fwu::read_file(s / "dev/fb0"), want), "");
    }
}

constexpr std::array<const char*, 5> LEDS = {"belvonix:1", "belvonix:2", "alix:1", "alix:2", "alix:3"};

// Per LED file: nullptr absent, "-" present and never opened, "" opened and
// never written, otherwise what was written to it, in order.
struct led_case {
    const char* name;
    bool silent;
    std::array<const char*, 5> files;
};

constexpr led_case LED_CASES[] = {
    {"first swap", false, {"1\n", "0\n", "-", "-", "0\n"}},
    {"silent", true, {"", "", "-", "-", "0\n"}},
    {"fall-backs", false, {nullptr, nullptr, "1\n", "0\n", "0\n"}},
    {"silent, fall-backs", true, {nullptr, nullptr, "", "", "0\n"}},
    {"LED 1 first choice, LED 2 fall-back", false, {"1\n", nullptr, "-", "0\n", nullptr}},
    {"LED 2 missing", false, {"", nullptr, "-", nullptr, "0\n"}},
    {"LED 1 missing", false, {nullptr, "", nullptr, nullptr, nullptr}},
};

std::string brightness(const Scratch& s, const char* led)
{
    return s / ("class/leds/" + std::string(led) + "/brightness");
}

TEST(Leds, WritesInOrder)
{
    for (const led_case& c : LED_CASES) {
        SCOPED_TRACE(c.name);
        Scratch s;
        const std::string archive = make_archive(s, 2);
        const int watcher = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        std::array<int, LEDS.size()> watches{};
        for (std::size_t i = 0; i < LEDS.size(); ++i) {
            if (!c.files[i]) continue;
            fwu::add_led(s, LEDS[i]);
            watches[i] = inotify_add_watch(watcher, brightness(s, LEDS[i]).c_str(), IN_OPEN);
        }
        const fwu::RunResult r = fwu::run_tool(s, c.silent ? std::vector<std::string>{"-s", archive}
                                                            : std::vector<std::string>{archive});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");

        std::array<bool, LEDS.size()> opened{};
        alignas(inotify_event) char events[4096];
        for (ssize_t n; (n = read(watcher, events, sizeof events)) > 0;) {
            for (char* e = events; e < events + n; e += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(e)->len)
                for (std::size_t i = 0; i < LEDS.size(); ++i)
                    opened[i] = opened[i] || (c.files[i] && watches[i] == reinterpret_cast<inotify_event*>(e)->wd);
        }
        close(watcher);
        for (std::size_t i = 0; i < LEDS.size(); ++i) {
            if (!c.files[i]) continue;
            const bool never_opened = std::string_view(c.files[i]) == "-";
            EXPECT_EQ(opened[i], !never_opened) << LEDS[i];
            EXPECT_EQ(fwu::read_file(brightness(s, LEDS[i])), never_opened ? "" : c.files[i]) << LEDS[i];
        }
    }
}

struct led_write {
    double seconds;  // since the tool was started
    char value;
};

// A tar archive whose one file decompresses slowly: hundreds of MB of text
// as concatenated bzip2 streams, built from one compressed chunk repeated,
// so that the archive is quick to make and to hash but takes far longer to
// extract than the test watches it.
std::string slow_archive(const Scratch& s)
{
    constexpr std::size_t CHUNK = 1 << 20, CHUNKS = 400;
    constexpr std::string_view WORDS[] = {"update ", "firmware ", "device ", "entry ",
                                          "block ",  "sample ",   "tree ",   "value\n"};
    std::string text;
    for (uint32_t x = 1; text.size() < CHUNK;) {
        x = x * 1103515245 + 12345;
        text += WORDS[(x >> 16) % std::size(WORDS)];
    }
    text.resize(CHUNK);
    fwu::write_file(s / "slow/chunk", text);
    const fwu::RunResult made = fwu::run_host(
        {"sh", "-c",
         "set -e; truncate -s " + std::to_string(CHUNK * CHUNKS) +
             " big; tar -cf - big | head -c 512 | bzip2 > head.bz2; rm big;"
             " bzip2 chunk; head -c 1024 /dev/zero | bzip2 > end.bz2"},
        s / "slow");
    EXPECT_EQ(made.status, 0) << made.err;
    std::string archive = fwu::read_file(s / "slow/head.bz2");
    const std::string chunk = fwu::read_file(s / "slow/chunk.bz2");
    for (std::size_t i = 0; i < CHUNKS; ++i) archive += chunk;
    archive += fwu::read_file(s / "slow/end.bz2");
    fwu::make_dirs(s / "in");
    return fwu::write_as_digest(s / "in", archive);
}

// The LEDs keep swapping whatever the wall clock says: past 2038 (which a
// 32-bit time_t cannot hold) or when it cannot be read at all.
struct clock_case {
    const char* name;
    std::vector<std::string> env;
    std::vector<std::string> fail;
};

void PrintTo(const clock_case& c, std::ostream* os) { *os << c.name; }

class LedClock : public ::testing::TestWithParam<clock_case> {};

INSTANTIATE_TEST_SUITE_P(Leds, LedClock,
                         ::testing::Values(clock_case{"today", {}, {}},
                                           clock_case{"year2040", {"FWU_CLOCK=2240000000"}, {}},
                                           clock_case{"failing", {}, {"gettimeofday:1+:EINVAL"}}),
                         [](const auto& info) { return std::string(info.param.name); });

// The two LEDs are FIFOs that a thread drains, noting when each value came.
TEST_P(LedClock, OneSwapPerSecond)
{
    Scratch s;
    const std::string archive = slow_archive(s);
    std::array<int, 2> fifos{};
    for (int i = 0; i < 2; ++i) {
        fwu::make_dirs(s / ("class/leds/belvonix:" + std::to_string(i + 1)));
        ASSERT_EQ(mkfifo(brightness(s, LEDS[i]).c_str(), 0666), 0);
        // Read-write, so that the tool's write-only open finds a reader.
        fifos[i] = open(brightness(s, LEDS[i]).c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    }
    std::array<std::vector<led_write>, 2> writes;
    std::atomic<bool> finished = false;
    const auto start = std::chrono::steady_clock::now();
    std::thread reader([&] {
        while (!finished) {
            pollfd fds[2] = {{fifos[0], POLLIN, 0}, {fifos[1], POLLIN, 0}};
            poll(fds, 2, 100);
            const std::chrono::duration<double> since = std::chrono::steady_clock::now() - start;
            for (int i = 0; i < 2; ++i) {
                char values[64];
                for (ssize_t n = read(fifos[i], values, sizeof values), k = 0; k + 1 < n; k += 2)
                    writes[i].push_back({since.count(), values[k]});
            }
        }
    });
    fwu::RunOptions options;
    options.tmpfs_root = "1G";
    options.timeout = std::chrono::seconds(6);
    options.env = GetParam().env;
    options.fail = GetParam().fail;
    const fwu::RunResult r = fwu::run_tool(s, {archive}, options);
    finished = true;
    reader.join();
    for (const int fd : fifos) close(fd);

    // Killed while still extracting: the LEDs saw only the extraction.
    EXPECT_TRUE(r.timed_out) << r.out;
    ASSERT_GE(writes[0].size(), 4u) << "the extraction was watched for too short a time";
    EXPECT_LE(writes[0].size() - writes[1].size(), 1u);
    std::vector<double> intervals;
    for (std::size_t k = 0; k < writes[0].size(); ++k) {
        SCOPED_TRACE("swap " + std::to_string(k));
        EXPECT_EQ(writes[0][k].value, k % 2 == 0 ? '1' : '0');
        if (k < writes[1].size()) {
            EXPECT_EQ(writes[1][k].value, k % 2 == 0 ? '0' : '1');
        }
        if (k > 0) intervals.push_back(writes[0][k].seconds - writes[0][k - 1].seconds);
    }
    // The reader's timestamps lag the writes by however long a loaded
    // machine keeps it waiting: single intervals get a wide margin, their
    // median a narrow one.
    for (const double interval : intervals) EXPECT_GE(interval, 0.75);
    std::sort(intervals.begin(), intervals.end());
    const double median = intervals[intervals.size() / 2];
    EXPECT_GE(median, 0.95);
    EXPECT_LE(median, 1.3);
}

}  // namespace

// The LED swap rule at times the test sets, read as blink_leds reads its
// clock; the LEDs are pipes that show what was written.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>
#include <ctime>
#include <string>

#include "indicators/leds.h"
#include "state/update_options.h"

namespace {

constexpr int64_t FAILS = -1, UPTIME = 7'000'123;  // a wall clock that cannot be read; the time since boot

timeval at(int64_t us) { return {static_cast<time_t>(us / 1000000), static_cast<suseconds_t>(us % 1000000)}; }

struct Blink {
    const char* name;
    int64_t last_toggle, wall_clock;  // microseconds since the epoch
    int state_before;
    int silent;
    bool led2_missing;
    const char* written;  // "LED 1|LED 2"
    int64_t last_toggle_after;
};

constexpr int64_t TODAY = 1'765'000'000'000'000, Y2040 = 2'240'000'000'000'000;

class BlinkLeds : public testing::TestWithParam<Blink> {};

TEST_P(BlinkLeds, SwapsOncePerWholeSecond)
{
    const Blink& c = GetParam();
    int led1[2], led2[2];
    ASSERT_EQ(pipe2(led1, O_NONBLOCK) | pipe2(led2, O_NONBLOCK), 0);
    update_options = {};
    update_options.led1_fd = led1[1];
    update_options.led2_fd = c.led2_missing ? -1 : led2[1];
    update_options.silent = c.silent;
    update_options.led_state = c.state_before;
    update_options.last_toggle = at(c.last_toggle);
    const timeval wall_clock = at(c.wall_clock);
    blink_leds_at(led_time(c.wall_clock == FAILS ? nullptr : &wall_clock, {UPTIME / 1000000, UPTIME % 1000000 * 1000}));

    char written[2][8] = {};
    [[maybe_unused]] ssize_t n = read(led1[0], written[0], 7);
    n = read(led2[0], written[1], 7);
    EXPECT_EQ(std::string(written[0]) + "|" + written[1], c.written);
    EXPECT_EQ(update_options.led_state, std::string(c.written) == "|" ? c.state_before : 1 - c.state_before);
    EXPECT_EQ(int64_t{update_options.last_toggle.tv_sec} * 1000000 + update_options.last_toggle.tv_usec, c.last_toggle_after);
    for (int fd : {led1[0], led1[1], led2[0], led2[1]}) close(fd);
}

INSTANTIATE_TEST_SUITE_P(Rows, BlinkLeds, testing::Values(
    Blink{"first_call", 0, TODAY, 0, 0, false, "1\n|0\n", TODAY},
    Blink{"right_after_a_swap", TODAY, TODAY, 1, 0, false, "|", TODAY},
    Blink{"after_0_95_s", TODAY, TODAY + 950'000, 1, 0, false, "|", TODAY},
    // One second apart on the seconds counter is not a whole second.
    Blink{"across_a_second_boundary", TODAY + 999'999, TODAY + 1'000'001, 1, 0, false, "|", TODAY + 999'999},
    Blink{"exactly_one_second", TODAY + 999'999, TODAY + 1'999'999, 1, 0, false, "0\n|1\n", TODAY + 1'999'999},
    // A clock set back restarts the count instead of freezing the LEDs.
    Blink{"clock_set_back", TODAY, TODAY - 5'000'000, 1, 0, false, "|", TODAY - 5'000'000},
    Blink{"year_2040", 0, Y2040, 0, 0, false, "1\n|0\n", Y2040},
    Blink{"wall_clock_fails_uptime_counts", 0, FAILS, 0, 0, false, "1\n|0\n", UPTIME},
    Blink{"silent", 0, TODAY, 0, 1, false, "|", 0},
    Blink{"LED_2_missing", 0, TODAY, 0, 0, true, "|", 0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

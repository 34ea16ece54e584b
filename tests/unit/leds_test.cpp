// The LED swap rule against the real clock: the clock cannot be set, so
// last_toggle is placed relative to the current time instead (in the future
// for a clock that was stepped back), and the LEDs are pipes that show what
// was written.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "indicators/leds.h"
#include "update/update_options.h"

namespace {

constexpr int64_t NEVER = INT64_MIN;  // last_toggle as at start: 0 s, 0 us

int64_t now_micros()
{
    timeval t{};
    gettimeofday(&t, nullptr);
    return int64_t{t.tv_sec} * 1000000 + t.tv_usec;
}

struct LedPipes {
    int led1[2], led2[2];
    LedPipes()
    {
        EXPECT_EQ(pipe2(led1, O_NONBLOCK | O_CLOEXEC) | pipe2(led2, O_NONBLOCK | O_CLOEXEC), 0);
        update_options.led1_fd = led1[1];
        update_options.led2_fd = led2[1];
        update_options.silent = 0;
    }
    ~LedPipes()
    {
        for (int fd : {led1[0], led1[1], led2[0], led2[1]}) close(fd);
    }
    // What was written to both, "LED 1|LED 2".
    std::string written() const
    {
        char buffer[2][16] = {};
        [[maybe_unused]] ssize_t n = read(led1[0], buffer[0], 15);
        n = read(led2[0], buffer[1], 15);
        return std::string(buffer[0]) + "|" + buffer[1];
    }
};

struct Blink {
    const char* name;
    int64_t since_last_toggle;  // microseconds from last_toggle to now
    int state_before;
    int silent;
    bool led2_missing;
    const char* written;
};

class BlinkLeds : public testing::TestWithParam<Blink> {};

TEST_P(BlinkLeds, SwapsOncePerWholeSecond)
{
    const Blink& c = GetParam();
    LedPipes leds;
    if (c.led2_missing) update_options.led2_fd = -1;
    update_options.silent = c.silent;
    update_options.led_state = c.state_before;
    const int64_t before = now_micros();
    const int64_t last = c.since_last_toggle == NEVER ? 0 : before - c.since_last_toggle;
    update_options.last_toggle = {static_cast<time_t>(last / 1000000), static_cast<suseconds_t>(last % 1000000)};

    blink_leds(nullptr);
    const int64_t after = now_micros();
    const int64_t toggled = int64_t{update_options.last_toggle.tv_sec} * 1000000 + update_options.last_toggle.tv_usec;

    EXPECT_EQ(leds.written(), c.written);
    const bool swapped = std::string(c.written) != "|";
    EXPECT_EQ(update_options.led_state, swapped ? 1 - c.state_before : c.state_before);
    // A clock set back restarts the count from now instead of freezing the
    // LEDs until it catches up.
    const bool restarted = swapped || (c.since_last_toggle < 0 && c.since_last_toggle != NEVER);
    EXPECT_TRUE(restarted ? before <= toggled && toggled <= after : toggled == last);
}

INSTANTIATE_TEST_SUITE_P(Rows, BlinkLeds, testing::Values(
    Blink{"first_call", NEVER, 0, 0, false, "1\n|0\n"},
    Blink{"after_1_2_s", 1'200'000, 1, 0, false, "0\n|1\n"},
    Blink{"right_after_a_swap", 0, 1, 0, false, "|"},
    Blink{"after_0_95_s", 950'000, 1, 0, false, "|"},
    Blink{"clock_stepped_back", -5'000'000, 1, 0, false, "|"},
    Blink{"silent", NEVER, 0, 1, false, "|"},
    Blink{"LED_2_missing", NEVER, 0, 0, true, "|"}),
    [](const auto& info) { return std::string(info.param.name); });

// The whole-second count borrows from the seconds when the microseconds go
// backwards: one second apart on the seconds counter is not a second.
TEST(BlinkLedsClock, WholeSecondsBorrowFromMicroseconds)
{
    LedPipes leds;
    update_options.led_state = 1;
    while (now_micros() % 1000000 > 900'000) usleep(20'000);  // clear of a second boundary
    const time_t now = static_cast<time_t>(now_micros() / 1000000);
    update_options.last_toggle = {now - 1, 999'999};
    blink_leds(nullptr);
    EXPECT_EQ(leds.written(), "|");
    update_options.last_toggle = {now - 1, 0};
    blink_leds(nullptr);
    EXPECT_EQ(leds.written(), "0\n|1\n");
}

}  // namespace

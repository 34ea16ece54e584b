// The LED swap rule against the real clock: the clock cannot be set, so
// last_toggle is placed relative to the current time instead (in the future
// for a clock that was stepped back), and the LEDs are pipes that show what
// was written.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <string>

#include "indicators/leds.h"
#include "update/update_options.h"

namespace {

constexpr int64_t NEVER = INT64_MIN;  // last_toggle as at start: 0 s, 0 us

int64_t micros(const timeval& t)
{
    return int64_t{t.tv_sec} * 1000000 + t.tv_usec;
}

int64_t now_micros()
{
    timeval t{};
    gettimeofday(&t, nullptr);
    return micros(t);
}

timeval from_micros(int64_t us)
{
    return {static_cast<time_t>(us / 1000000), static_cast<suseconds_t>(us % 1000000)};
}

struct led_pipe {
    int fds[2] = {-1, -1};
    led_pipe() { EXPECT_EQ(pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0); }
    ~led_pipe()
    {
        close(fds[0]);
        close(fds[1]);
    }
    std::string written() const
    {
        char buffer[64];
        const ssize_t n = read(fds[0], buffer, sizeof buffer);
        return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : "";
    }
};

struct blink_case {
    const char* name;
    int64_t since_last_toggle;  // microseconds from last_toggle to now
    int state_before;
    int silent;
    int led1, led2;  // 1: a pipe, 0: a pipe on descriptor 0, -1: missing
    const char* led1_written;
    const char* led2_written;
};

constexpr blink_case CASES[] = {
    {"first call", NEVER, 0, 0, 1, 1, "1\n", "0\n"},
    {"1.2 s after a swap", 1'200'000, 1, 0, 1, 1, "0\n", "1\n"},
    {"1.2 s after a swap, LED 2 lit", 1'200'000, 0, 0, 1, 1, "1\n", "0\n"},
    {"right after a swap", 0, 1, 0, 1, 1, "", ""},
    {"0.4 s after a swap", 400'000, 1, 0, 1, 1, "", ""},
    {"0.95 s after a swap", 950'000, 1, 0, 1, 1, "", ""},
    {"clock stepped back 5 s", -5'000'000, 1, 0, 1, 1, "", ""},
    {"clock stepped back 0.2 s", -200'000, 1, 0, 1, 1, "", ""},
    {"silent", NEVER, 0, 1, 1, 1, "", ""},
    {"LED 1 missing", NEVER, 0, 0, -1, 1, "", ""},
    {"LED 2 missing", NEVER, 0, 0, 1, -1, "", ""},
    {"LED 1 on descriptor 0", NEVER, 0, 0, 0, 1, "1\n", "0\n"},
};

TEST(BlinkLeds, SwapRule)
{
    for (const blink_case& c : CASES) {
        SCOPED_TRACE(c.name);
        led_pipe led1, led2;
        const int saved_stdin = dup(0);
        if (c.led1 == 0) dup2(led1.fds[1], 0);
        update_options.led1_fd = c.led1 < 0 ? -1 : c.led1 == 0 ? 0 : led1.fds[1];
        update_options.led2_fd = c.led2 < 0 ? -1 : led2.fds[1];
        update_options.silent = c.silent;
        update_options.led_state = c.state_before;
        const int64_t before = now_micros();
        const timeval last = c.since_last_toggle == NEVER ? timeval{} : from_micros(before - c.since_last_toggle);
        update_options.last_toggle = last;

        blink_leds(nullptr);
        const int64_t after = now_micros();
        dup2(saved_stdin, 0);
        close(saved_stdin);

        const bool swapped = *c.led1_written != '\0';
        EXPECT_EQ(led1.written(), c.led1_written);
        EXPECT_EQ(led2.written(), c.led2_written);
        EXPECT_EQ(update_options.led_state, swapped ? 1 - c.state_before : c.state_before);
        // A clock set back restarts the count from now instead of
        // freezing the LEDs until it catches up.
        if (swapped || (c.since_last_toggle < 0 && c.since_last_toggle != NEVER)) {
            EXPECT_GE(micros(update_options.last_toggle), before);
            EXPECT_LE(micros(update_options.last_toggle), after);
        } else {
            EXPECT_EQ(micros(update_options.last_toggle), micros(last));
        }
    }
}

// The whole-second count borrows from the seconds when the microseconds go
// backwards: one second apart on the seconds counter is not a second.
TEST(BlinkLeds, WholeSecondsBorrowFromMicroseconds)
{
    led_pipe led1, led2;
    update_options.led1_fd = led1.fds[1];
    update_options.led2_fd = led2.fds[1];
    update_options.silent = 0;
    update_options.led_state = 1;
    // Stay clear of a second boundary between here and the call.
    while (now_micros() % 1000000 > 900'000) usleep(20'000);
    const timeval now = from_micros(now_micros());
    update_options.last_toggle = {now.tv_sec - 1, 999'999};
    blink_leds(nullptr);
    EXPECT_EQ(led1.written(), "");
    EXPECT_EQ(update_options.led_state, 1);

    update_options.last_toggle = {now.tv_sec - 1, 0};
    blink_leds(nullptr);
    EXPECT_EQ(led1.written(), "0\n");
    EXPECT_EQ(led2.written(), "1\n");
}

}  // namespace

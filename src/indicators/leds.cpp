#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>
#include <ctime>

#include "indicators/leds.h"
#include "state/update_options.h"

namespace {

struct led_files {
    const char* first_choice;
    const char* fall_back;
};

constexpr led_files LED1 = {"/sys/class/leds/belvonix:1/brightness",
                            "/sys/class/leds/alix:1/brightness"};
constexpr led_files LED2 = {"/sys/class/leds/belvonix:2/brightness",
                            "/sys/class/leds/alix:2/brightness"};
constexpr const char* LED3 = "/sys/class/leds/alix:3/brightness";

constexpr char ON[] = "1\n";
constexpr char OFF[] = "0\n";

int open_led(const led_files& led)
{
    const int fd = open(led.first_choice, O_WRONLY | O_CLOEXEC);
    return fd >= 0 ? fd : open(led.fall_back, O_WRONLY | O_CLOEXEC);
}

void set_led(int fd, const char (&value)[3])
{
    [[maybe_unused]] const ssize_t ignored = write(fd, value, 2);
}

// Whole seconds from `then` to `now`, as a subtraction of timevals gives
// them; 64 bits wide, since `then` starts at the epoch.
int64_t whole_seconds_between(const timeval& then, const timeval& now)
{
    int64_t seconds = static_cast<int64_t>(now.tv_sec) - static_cast<int64_t>(then.tv_sec);
    if (now.tv_usec - then.tv_usec < 0) --seconds;
    return seconds;
}

// The wall clock, or the time since boot when the wall clock cannot be
// read, so that the LEDs keep swapping whatever the date says.
timeval read_clock()
{
    timeval now{};
    if (gettimeofday(&now, nullptr) == 0) return now;
    timespec uptime{};
    clock_gettime(CLOCK_MONOTONIC, &uptime);
    now.tv_sec = uptime.tv_sec;
    now.tv_usec = static_cast<suseconds_t>(uptime.tv_nsec / 1000);
    return now;
}

}  // namespace

void setup_leds()
{
    update_options.led1_fd = open_led(LED1);
    update_options.led2_fd = open_led(LED2);
    const int led3_fd = open(LED3, O_WRONLY | O_CLOEXEC);
    if (led3_fd >= 1) {
        set_led(led3_fd, OFF);
        close(led3_fd);
    }
}

void blink_leds(void* /*user_data*/)
{
    update_options_t& options = update_options;
    if (options.led1_fd < 0 || options.led2_fd < 0 || options.silent) return;
    const timeval now = read_clock();
    const int64_t elapsed = whole_seconds_between(options.last_toggle, now);
    if (elapsed < 0) options.last_toggle = now;  // the clock was set back: count from now
    if (elapsed <= 0) return;
    options.led_state ^= 1;
    set_led(options.led1_fd, options.led_state ? ON : OFF);
    set_led(options.led2_fd, options.led_state ? OFF : ON);
    options.last_toggle = now;
}

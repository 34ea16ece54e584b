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

// LEDs 1 and 2 both there, and no -s.
bool blinking()
{
    return update_options.led1_fd >= 0 && update_options.led2_fd >= 0 && !update_options.silent;
}

timeval read_clock()
{
    timeval wall_clock{};
    if (gettimeofday(&wall_clock, nullptr) == 0) return led_time(&wall_clock, {});
    timespec since_boot{};
    clock_gettime(CLOCK_MONOTONIC, &since_boot);
    return led_time(nullptr, since_boot);
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

timeval led_time(const timeval* wall_clock, const timespec& since_boot)
{
    if (wall_clock != nullptr) return *wall_clock;
    return {since_boot.tv_sec, static_cast<suseconds_t>(since_boot.tv_nsec / 1000)};
}

void blink_leds(void* /*user_data*/)
{
    if (blinking()) blink_leds_at(read_clock());
}

void blink_leds_at(const timeval& now)
{
    if (!blinking()) return;
    update_options_t& options = update_options;
    const int64_t elapsed = whole_seconds_between(options.last_toggle, now);
    if (elapsed < 0) options.last_toggle = now;  // the clock was set back: count from now
    if (elapsed <= 0) return;
    options.led_state ^= 1;
    set_led(options.led1_fd, options.led_state ? ON : OFF);
    set_led(options.led2_fd, options.led_state ? OFF : ON);
    options.last_toggle = now;
}

// Status LEDs driven through the sysfs LED class.
#pragma once

#include <sys/time.h>

#include <ctime>

void setup_leds();
// Has libarchive's extraction progress callback signature; the argument is
// ignored and direct calls pass a null pointer. Reads the clock and applies
// blink_leds_at.
void blink_leds(void* user_data);

// The swap rule at the time `now`: LEDs 1 and 2 swap once a whole second
// has passed since the last swap.
void blink_leds_at(const timeval& now);
// The time the rule goes by: the wall clock as gettimeofday read it, or,
// when it could not be read (null), the time since boot, so that the LEDs
// keep swapping whatever the date says.
timeval led_time(const timeval* wall_clock, const timespec& since_boot);

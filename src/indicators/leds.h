// Status LEDs driven through the sysfs LED class.
#pragma once

struct archive;

void setup_leds();
// Has libarchive's extraction progress callback signature; the argument is
// ignored and direct calls pass a null pointer.
void blink_leds(void* user_data);

// The tool's one process-wide state record: what the command line asks
// for, and what the indicators keep from one call to the next.
#pragma once

#include <cstdint>
#include <sys/time.h>

struct update_options_t {
    const char* archive_path;    // FILENAME, pointing into argv; null until seen
    uint32_t fail_after_files;   // -e count; 0 disables error injection
    int silent;                  // 1 after -s: LEDs 1 and 2 stay untouched
    int led1_fd;                 // brightness file of LED 1, negative if absent
    int led2_fd;                 // brightness file of LED 2, negative if absent
    int led_state;               // phase of the alternating LEDs, 0 or 1
    struct timeval last_toggle;  // time of the last LED swap
    uint16_t* fb_mem;            // first page of the framebuffer, RGB565
};

extern update_options_t update_options;

// How the command line reads the -e count: as the 32-bit target's
// strtoul(text, &end, 0) reads it, on every build.
#pragma once

#include <cstdint>

struct count_conversion {
    uint32_t value;
    const char* end;  // first character not consumed
};
count_conversion convert_count(const char* text);

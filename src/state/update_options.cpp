#include "state/update_options.h"

// Zero at start: no archive, no LEDs swapped yet, no framebuffer mapped.
update_options_t update_options{};

// The splash picture is compiled in, so the screen works without any file
// on a device whose tree is being replaced.
#include "indicators/fb.h"

asm(R"(
    .section .rodata
    .balign 16
    .globl SPLASH_IMAGE
    .hidden SPLASH_IMAGE
    .type SPLASH_IMAGE, @object
    .size SPLASH_IMAGE, 261120
SPLASH_IMAGE:
    .incbin ")" SPLASH_RAW_PATH R"("
    .previous
)");

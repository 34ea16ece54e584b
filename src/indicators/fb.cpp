#include <fcntl.h>
#include <linux/fb.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include "indicators/fb.h"
#include "state/update_options.h"

namespace {

constexpr const char* FB_DEVICE = "/dev/fb0";
constexpr int SEGMENT_ABOVE = 40;  // rows of the segment above its centre
constexpr int SEGMENT_BELOW = 39;  // and below it: 80 rows in all

}  // namespace

int fb_open()
{
    const int fd = open(FB_DEVICE, O_RDWR | O_CLOEXEC);
    if (fd < 0) return fd;
    void* const mem = mmap(nullptr, FB_BYTES, PROT_WRITE, MAP_SHARED, fd, 0);
    if (mem == MAP_FAILED) return -1;
    update_options.fb_mem = static_cast<uint16_t*>(mem);

    // Show the first page, where the splash and the bar are drawn, whatever
    // page an earlier program left on screen.
    fb_var_screeninfo screen{};
    ioctl(fd, FBIOGET_VSCREENINFO, &screen);
    screen.yoffset = 0;
    ioctl(fd, FBIOPAN_DISPLAY, &screen);
    return fd;
}

int setup_framebuffer()
{
    const int fd = fb_open();
    if (fd >= 1) {
        [[maybe_unused]] const ssize_t ignored = write(fd, SPLASH_IMAGE, FB_BYTES);
    }
    return fd;
}

// One frame of the bouncing segment: its centre follows a triangle wave of
// period 2 * height over pos. Rows and columns outside the screen are
// clipped, a negative x included, so nothing is written outside the page.
int fb_draw_progress(int pos, int x, int y, int width, int height, int color)
{
    const auto result = static_cast<int>(static_cast<unsigned>(y) + static_cast<unsigned>(height));
    if (height == 0) return result;
    const int64_t period = 2 * static_cast<int64_t>(height);
    const int64_t phase = pos % period;  // truncating: negative for negative pos
    const int64_t centre = phase <= height ? phase : period - phase;
    if (height < 0) return result;

    uint16_t* const mem = update_options.fb_mem;
    const int64_t columns = std::min<int64_t>(width, FB_WIDTH - static_cast<int64_t>(x));
    if (mem == nullptr || x > FB_WIDTH - 1 || width < 0 || columns == 0) return result;
    const int64_t first_column = std::max<int64_t>(x, 0);
    const int64_t last_column = std::min<int64_t>(int64_t{x} + columns - 1, FB_WIDTH - 1);
    if (last_column < first_column) return result;  // wholly left of the screen
    const int64_t first_row = std::max<int64_t>(y, 0);
    const int64_t last_row = std::min<int64_t>(int64_t{y} + height - 1, FB_HEIGHT - 1);
    const auto white = static_cast<uint16_t>(color);

    for (int64_t row = first_row; row <= last_row; ++row) {
        const bool lit = centre - SEGMENT_ABOVE <= row && row <= centre + SEGMENT_BELOW;
        uint16_t* const line = mem + row * FB_WIDTH;
        std::fill(line + first_column, line + last_column + 1, lit ? white : uint16_t{0});
    }
    return result;
}

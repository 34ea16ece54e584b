// fb_draw_progress with arbitrary arguments, drawing into a page of exactly
// FB_BYTES that ends at an inaccessible guard region and starts after one,
// so that a store outside the page faults or shows in the slack before it.
// The page must then hold exactly the pixels of the model below.
//
// A negative x is clipped to the screen: the columns below 0 of the strip
// are not drawn, the others are (so x = -5 with width 20 draws columns 0 to
// 14). The tool itself always passes x = 0.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "indicators/fb.h"
#include "update/update_options.h"

namespace {

constexpr int WIDTH = 480;
constexpr int HEIGHT = 272;
constexpr std::size_t PIXELS = FB_BYTES / 2;
static_assert(FB_BYTES == 261120);
constexpr std::size_t GUARD = std::size_t{16} << 20;  // far beyond any row or column slip
constexpr std::size_t PAGE = 4096;
constexpr std::size_t PAGE_SPAN = (FB_BYTES + PAGE - 1) / PAGE * PAGE;
constexpr std::size_t SLACK = PAGE_SPAN - FB_BYTES;
constexpr unsigned char SLACK_BYTE = 0xa5;

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "fb_draw_progress_fuzz: %s\n", what);
    std::abort();
}

// [guard][slack + page][guard], the page ending right at the second guard.
unsigned char* guarded_span()
{
    void* const map = mmap(nullptr, GUARD + PAGE_SPAN + GUARD, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED)
        fail("cannot reserve the guarded page");
    unsigned char* const span = static_cast<unsigned char*>(map) + GUARD;
    if (mprotect(span, PAGE_SPAN, PROT_READ | PROT_WRITE) != 0)
        fail("cannot open the page between the guards");
    return span;
}

// One frame of the bouncing segment, straight from its description: the
// centre follows pos along a triangle wave of period 2 * height; each row of
// the strip on the screen is white within 40 rows above and 39 below the
// centre and black elsewhere.
void model_draw(uint16_t* frame, int pos, int x, int y, int width, int height, int color)
{
    if (height == 0)
        return;
    const int64_t period = 2 * int64_t{height};
    const int64_t phase = pos % period;
    const int64_t centre = phase <= height ? phase : period - phase;
    if (height < 0)
        return;
    const int64_t columns = std::min<int64_t>(width, int64_t{WIDTH} - x);
    if (x > WIDTH - 1 || width < 0 || columns == 0)
        return;
    // Only rows 0..271 and columns 0..479 exist; others are not drawn.
    for (int64_t row = std::max<int64_t>(y, 0); row <= std::min<int64_t>(int64_t{y} + height - 1, HEIGHT - 1); ++row) {
        const bool lit = centre - 40 <= row && row <= centre + 39;
        for (int64_t column = std::max<int64_t>(x, 0); column < x + columns; ++column)
            frame[row * WIDTH + column] = lit ? static_cast<uint16_t>(color) : 0;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    static unsigned char* const span = guarded_span();
    static std::vector<uint16_t> expected(PIXELS);
    auto* const page = reinterpret_cast<uint16_t*>(span + SLACK);

    FuzzedDataProvider input(data, size);
    const int pos = input.ConsumeIntegral<int>();
    const int x = input.ConsumeIntegral<int>();
    const int y = input.ConsumeIntegral<int>();
    const int width = input.ConsumeIntegral<int>();
    const int height = input.ConsumeIntegral<int>();
    const int color = input.ConsumeIntegral<int>();

    // A background that is neither colour, so that an undrawn pixel differs
    // from a pixel drawn black or white.
    const uint16_t background = static_cast<uint16_t>(color) == 0x5a5a ? 0x5a5b : 0x5a5a;
    std::fill(expected.begin(), expected.end(), background);
    std::fill(page, page + PIXELS, background);
    std::memset(span, SLACK_BYTE, SLACK);

    update_options = {};
    update_options.fb_mem = page;
    const int result = fb_draw_progress(pos, x, y, width, height, color);
    model_draw(expected.data(), pos, x, y, width, height, color);

    for (std::size_t i = 0; i < SLACK; ++i)
        if (span[i] != SLACK_BYTE)
            fail("wrote before the framebuffer page");
    if (!std::equal(expected.begin(), expected.end(), page))
        fail("pixels differ from the model");
    if (height != 0 && result != static_cast<int>(static_cast<unsigned>(y) + static_cast<unsigned>(height)))
        fail("result is not y + height");
    return 0;
}

// fb_draw_progress with arbitrary arguments, drawing into a page of exactly
// FB_BYTES that ends at an inaccessible guard region and starts after one,
// so that a store outside the page faults or shows in the slack before it.
// On the page, only the rectangle of the arguments clipped to the screen
// may change, each of its rows to one colour: the given one or black. The
// frames themselves are the unit tests'.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "indicators/fb.h"
#include "update/update_options.h"

namespace {

constexpr std::size_t GUARD = std::size_t{16} << 20;  // far beyond any row or column slip
constexpr std::size_t PAGE_SPAN = (FB_BYTES + 4095) / 4096 * 4096;
constexpr std::size_t SLACK = PAGE_SPAN - FB_BYTES;

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "fb_draw_progress_fuzz: %s\n", what);
    std::abort();
}

// [guard][slack + page][guard], the page ending right at the second guard.
unsigned char* guarded_span()
{
    void* const map = mmap(nullptr, GUARD + PAGE_SPAN + GUARD, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    unsigned char* const span = static_cast<unsigned char*>(map) + GUARD;
    if (map == MAP_FAILED || mprotect(span, PAGE_SPAN, PROT_READ | PROT_WRITE) != 0) fail("cannot map the page");
    return span;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    static unsigned char* const span = guarded_span();
    auto* const page = reinterpret_cast<uint16_t*>(span + SLACK);
    FuzzedDataProvider input(data, size);
    const int pos = input.ConsumeIntegral<int>(), x = input.ConsumeIntegral<int>(), y = input.ConsumeIntegral<int>();
    const int width = input.ConsumeIntegral<int>(), height = input.ConsumeIntegral<int>();
    const int color = input.ConsumeIntegral<int>();
    // A background that is neither colour.
    const uint16_t background = static_cast<uint16_t>(color) == 0x5a5a ? 0x5a5b : 0x5a5a;
    std::fill(page, page + FB_WIDTH * FB_HEIGHT, background);
    std::memset(span, 0xa5, SLACK);

    update_options = {};
    update_options.fb_mem = page;
    const int result = fb_draw_progress(pos, x, y, width, height, color);

    if (std::any_of(span, span + SLACK, [](unsigned char b) { return b != 0xa5; })) fail("wrote before the page");
    if (result != static_cast<int>(static_cast<unsigned>(y) + static_cast<unsigned>(height))) fail("result is not y + height");
    for (int64_t row = 0; row < FB_HEIGHT; ++row) {
        const bool in_rows = row >= y && row < int64_t{y} + height;
        int32_t row_colour = -1;
        for (int64_t column = 0; column < FB_WIDTH; ++column) {
            const uint16_t pixel = page[row * FB_WIDTH + column];
            if (!in_rows || column < x || column >= int64_t{x} + width) {
                if (pixel != background) fail("drew outside the rectangle");
            } else if (pixel != 0 && pixel != static_cast<uint16_t>(color)) {
                fail("drew a third colour");
            } else if (row_colour >= 0 && pixel != row_colour) {
                fail("a row of the strip is not one colour");
            } else {
                row_colour = pixel;
            }
        }
    }
    return 0;
}

// fb_draw_progress with arbitrary arguments, drawing into a frame of exactly
// FB_BYTES that ends at an inaccessible guard region and starts after one and
// a checked slack, so that a store outside it faults or shows. In the frame
// only the rectangle of the arguments, clipped to the screen, may change,
// each of its rows to one colour: the given one or black. The frames
// themselves are the unit tests'.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>

#include "check.h"
#include "indicators/fb.h"
#include "state/update_options.h"

constexpr std::size_t GUARD = std::size_t{16} << 20;  // far beyond any row or column slip
constexpr std::size_t SPAN = (FB_BYTES + 4095) / 4096 * 4096;
constexpr std::size_t SLACK = SPAN - FB_BYTES;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    static auto* const span = static_cast<unsigned char*>(
        mmap(nullptr, GUARD + SPAN + GUARD, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)) + GUARD;
    static const bool mapped = mprotect(span, SPAN, PROT_READ | PROT_WRITE) == 0;
    check(mapped, "mapping the frame");
    auto* const frame = reinterpret_cast<uint16_t*>(span + SLACK);
    FuzzedDataProvider input(data, size);
    const int pos = input.ConsumeIntegral<int>(), x = input.ConsumeIntegral<int>(), y = input.ConsumeIntegral<int>();
    const int width = input.ConsumeIntegral<int>(), height = input.ConsumeIntegral<int>(), color = input.ConsumeIntegral<int>();
    const uint16_t background = static_cast<uint16_t>(color) == 0x5a5a ? 0x5a5b : 0x5a5a;  // neither colour
    std::fill(frame, frame + FB_WIDTH * FB_HEIGHT, background);
    std::fill(span, span + SLACK, 0xa5);

    update_options.fb_mem = frame;
    const int result = fb_draw_progress(pos, x, y, width, height, color);

    check(std::all_of(span, span + SLACK, [](unsigned char b) { return b == 0xa5; }), "wrote before the frame");
    check(result == static_cast<int>(static_cast<unsigned>(y) + static_cast<unsigned>(height)), "result is not y + height");
    for (int64_t row = 0; row < FB_HEIGHT; ++row) {
        const uint16_t* const line = frame + row * FB_WIDTH;
        const bool in_rows = row >= y && row < int64_t{y} + height;
        const int64_t first = in_rows ? std::clamp<int64_t>(x, 0, FB_WIDTH) : FB_WIDTH;
        const int64_t end = std::clamp<int64_t>(int64_t{x} + width, first, FB_WIDTH);
        check(std::count(line, line + FB_WIDTH, background) == FB_WIDTH - (end - first), "not exactly the rectangle changed");
        check(std::all_of(line + first, line + end, [&](uint16_t pixel) { return pixel == line[first]; }), "a row is not one colour");
        check(first == end || line[first] == 0 || line[first] == static_cast<uint16_t>(color), "drew a third colour");
    }
    return 0;
}

// Frames of the activity bar, worked out by hand: the segment's centre
// follows pos up to the height and back; rows centre-40 to centre+39 of the
// screen are white within the drawn rectangle, the rest of it black. The
// screen sits between two screens of canary pixels, so that a pixel written
// outside the rectangle, on the screen or off it, shows.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "indicators/fb.h"
#include "state/update_options.h"

namespace {

constexpr uint16_t CANARY = 0x5a5a;
constexpr int PIXELS = FB_WIDTH * FB_HEIGHT;

struct Frame {
    const char* name;
    int pos, x, y, width, height, color;
    int first_column, last_column, first_row, last_row;  // drawn; first > last: nothing
    int first_lit, last_lit;
};

class FbDrawProgress : public testing::TestWithParam<Frame> {};

TEST_P(FbDrawProgress, DrawsTheFrame)
{
    const Frame& f = GetParam();
    std::vector<uint16_t> memory(3 * PIXELS, CANARY);
    update_options.fb_mem = memory.data() + PIXELS;
    EXPECT_EQ(fb_draw_progress(f.pos, f.x, f.y, f.width, f.height, f.color), f.y + f.height);
    update_options.fb_mem = nullptr;
    for (int i = 0; i < 3 * PIXELS; ++i) {
        const int row = i / FB_WIDTH - FB_HEIGHT, column = i % FB_WIDTH;
        const bool drawn = f.first_column <= column && column <= f.last_column && f.first_row <= row &&
                           row <= f.last_row;
        const bool lit = f.first_lit <= row && row <= f.last_lit;
        const uint16_t want = !drawn ? CANARY : lit ? static_cast<uint16_t>(f.color) : 0;
        ASSERT_EQ(memory[i], want) << "row " << row << " column " << column;
    }
}

INSTANTIATE_TEST_SUITE_P(Frames, FbDrawProgress, testing::Values(
    Frame{"first_entry", 1, 0, 0, 20, 272, 0xffff, 0, 19, 0, 271, 0, 40},
    Frame{"entry_100", 100, 0, 0, 20, 272, 0xffff, 0, 19, 0, 271, 60, 139},
    Frame{"bottom", 272, 0, 0, 20, 272, 0xffff, 0, 19, 0, 271, 232, 271},
    Frame{"turned_back", 273, 0, 0, 20, 272, 0xffff, 0, 19, 0, 271, 231, 271},
    Frame{"whole_period", 544, 0, 0, 20, 272, 0xffff, 0, 19, 0, 271, 0, 39},
    Frame{"negative_position", -1, 0, 0, 20, 272, 0xffff, 0, 19, 0, 271, 0, 38},
    Frame{"right_edge_low_16_bits_of_colour", 0, 470, 0, 20, 272, 0x2cdee, 470, 479, 0, 271, 0, 39},
    Frame{"no_column_left", 0, 480, 0, 20, 272, 0xffff, 1, 0, 1, 0, 0, 0},
    Frame{"negative_x", 0, -5, 0, 20, 272, 0xffff, 0, 14, 0, 271, 0, 39},
    Frame{"rows_below_the_screen", 30, 100, 250, 5, 50, 0x1234, 100, 104, 250, 271, 1, 0},
    Frame{"rows_above_the_screen", 100, 0, -100, 20, 272, 0xffff, 0, 19, 0, 171, 60, 139},
    Frame{"height_0", 5, 0, 0, 20, 0, 0xffff, 1, 0, 1, 0, 0, 0},
    Frame{"negative_height", 5, 0, 10, 20, -272, 0xffff, 1, 0, 1, 0, 0, 0},
    Frame{"negative_width", 5, 50, 0, -5, 272, 0xffff, 1, 0, 1, 0, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

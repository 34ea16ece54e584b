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

// fb_draw_progress's arguments; those not given are the tool's own bar.
struct Call {
    int pos;
    int x = 0, y = 0, width = 20, height = 272, color = 0xffff;
};

// Rows or columns of the screen, both ends included.
struct Span {
    int first, last;
};
constexpr Span NONE = {1, 0};

struct FrameRow {
    const char* name;
    Call call;
    Span drawn_columns = {0, 19};  // the rectangle written
    Span drawn_rows = {0, 271};
    Span lit_rows;  // in the colour within the rectangle; the rest of it black
};

class FbDrawProgress : public testing::TestWithParam<FrameRow> {};

TEST_P(FbDrawProgress, DrawsTheFrame)
{
    const FrameRow& f = GetParam();
    const Call& c = f.call;
    std::vector<uint16_t> memory(3 * PIXELS, CANARY);
    update_options.fb_mem = memory.data() + PIXELS;
    EXPECT_EQ(fb_draw_progress(c.pos, c.x, c.y, c.width, c.height, c.color), c.y + c.height);
    update_options.fb_mem = nullptr;
    const auto within = [](Span span, int at) { return span.first <= at && at <= span.last; };
    for (int i = 0; i < 3 * PIXELS; ++i) {
        const int row = i / FB_WIDTH - FB_HEIGHT, column = i % FB_WIDTH;
        const bool drawn = within(f.drawn_columns, column) && within(f.drawn_rows, row);
        const uint16_t want = !drawn ? CANARY : within(f.lit_rows, row) ? static_cast<uint16_t>(c.color) : 0;
        ASSERT_EQ(memory[i], want) << "row " << row << " column " << column;
    }
}

INSTANTIATE_TEST_SUITE_P(Frames, FbDrawProgress, testing::Values(
    FrameRow{.name = "first_entry", .call = {.pos = 1}, .lit_rows = {0, 40}},
    FrameRow{.name = "entry_100", .call = {.pos = 100}, .lit_rows = {60, 139}},
    FrameRow{.name = "bottom", .call = {.pos = 272}, .lit_rows = {232, 271}},
    FrameRow{.name = "turned_back", .call = {.pos = 273}, .lit_rows = {231, 271}},
    FrameRow{.name = "whole_period", .call = {.pos = 544}, .lit_rows = {0, 39}},
    FrameRow{.name = "negative_position", .call = {.pos = -1}, .lit_rows = {0, 38}},
    FrameRow{.name = "right_edge_low_16_bits_of_colour", .call = {.pos = 0, .x = 470, .color = 0x2cdee},
             .drawn_columns = {470, 479}, .lit_rows = {0, 39}},
    FrameRow{.name = "no_column_left", .call = {.pos = 0, .x = 480}, .drawn_columns = NONE, .drawn_rows = NONE,
             .lit_rows = NONE},
    FrameRow{.name = "negative_x", .call = {.pos = 0, .x = -5}, .drawn_columns = {0, 14}, .lit_rows = {0, 39}},
    FrameRow{.name = "rows_below_the_screen", .call = {.pos = 30, .x = 100, .y = 250, .width = 5, .height = 50, .color = 0x1234},
             .drawn_columns = {100, 104}, .drawn_rows = {250, 271}, .lit_rows = NONE},
    FrameRow{.name = "rows_above_the_screen", .call = {.pos = 100, .y = -100}, .drawn_rows = {0, 171},
             .lit_rows = {60, 139}},
    FrameRow{.name = "height_0", .call = {.pos = 5, .height = 0}, .drawn_columns = NONE, .drawn_rows = NONE,
             .lit_rows = NONE},
    FrameRow{.name = "negative_height", .call = {.pos = 5, .y = 10, .height = -272}, .drawn_columns = NONE,
             .drawn_rows = NONE, .lit_rows = NONE},
    FrameRow{.name = "negative_width", .call = {.pos = 5, .x = 50, .width = -5}, .drawn_columns = NONE,
             .drawn_rows = NONE, .lit_rows = NONE}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

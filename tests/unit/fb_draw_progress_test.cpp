// The activity bar against a model of the bouncing segment, whole screens at
// a time: the screen starts filled with a canary value, so a pixel written
// outside the bar's rectangle shows up as well as a wrong one inside it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "indicators/fb.h"
#include "update/update_options.h"

namespace {

constexpr uint16_t CANARY = 0x5a5a;
constexpr uint16_t WHITE = 0xffff;
using screen = std::vector<uint16_t>;

// The centre climbs from 0 to height and back with period 2*height (a
// truncating remainder, so negative positions give a negative centre); the
// segment covers the screen rows centre-40 .. centre+39 of the strip. For a
// negative x, which the tool never passes, the columns left of 0 are dropped.
void model(screen& s, int pos, int x, int y, int width, int height, int color)
{
    if (height <= 0) return;
    const int p = pos % (2 * height);
    const int centre = p <= height ? p : 2 * height - p;
    const int n = std::min(width, FB_WIDTH - x);
    if (x > FB_WIDTH - 1 || width < 0 || n == 0) return;
    for (int row = std::max(y, 0); row < y + height && row < FB_HEIGHT; ++row) {
        const bool lit = centre - 40 <= row && row <= centre + 39;
        for (int column = std::max(x, 0); column < x + n; ++column)
            s[row * FB_WIDTH + column] = lit ? static_cast<uint16_t>(color) : 0;
    }
}

std::string first_difference(const screen& got, const screen& want)
{
    const auto [g, w] = std::mismatch(got.begin(), got.end(), want.begin());
    if (g == got.end()) return {};
    const auto i = g - got.begin();
    return "row " + std::to_string(i / FB_WIDTH) + " column " + std::to_string(i % FB_WIDTH) +
           ": got " + std::to_string(*g) + ", want " + std::to_string(*w);
}

struct geometry {
    int x, y, width, height, color;
    int position_step;
};

constexpr geometry GEOMETRIES[] = {
    {0, 0, 20, 272, WHITE, 1},        // the extraction loop's call, every position
    {470, 0, 20, 272, 0x2cdee, 7},    // right edge: columns 470..479; low 16 bits of color
    {479, 0, 20, 272, WHITE, 7},      // one column left
    {480, 0, 20, 272, WHITE, 97},     // no column left
    {0, 0, 20, 0, WHITE, 97},         // height 0: nothing drawn
    {0, 0, 20, -1, WHITE, 97},        // negative heights: nothing drawn
    {0, 10, 20, -272, WHITE, 97},
    {0, 0, 20, 1, WHITE, 7},          // small heights: period 2, 4, ...
    {7, 5, 3, 2, WHITE, 7},
    {100, 250, 5, 50, 0x1234, 7},     // rows 272.. are clipped
    {0, -100, 20, 272, WHITE, 7},     // rows above the screen are clipped
    {0, 200, 20, 272, WHITE, 7},
    {0, 272, 20, 100, WHITE, 97},     // wholly below the screen
    {0, -300, 20, 200, WHITE, 97},    // wholly above it
    {50, 0, 0, 272, WHITE, 97},       // width 0 and negative: nothing drawn
    {50, 0, -5, 272, WHITE, 97},
};

// The tool never passes a negative x; such a call keeps to the screen's
// columns 0 and up instead of spilling into the row above.
constexpr geometry NEGATIVE_X[] = {
    {-5, 0, 20, 272, WHITE, 7},       // columns 0..14 only
    {-20, 0, 20, 272, WHITE, 97},     // no column left
    {-30, 0, 20, 272, WHITE, 97},
};

// Consecutive frames on one screen, as the extraction loop draws them.
void sweep(const geometry& g)
{
    screen got(FB_WIDTH * FB_HEIGHT, CANARY), want(got.size(), CANARY);
    update_options.fb_mem = got.data();
    for (int pos = -1100; pos <= 1100; pos += g.position_step) {
        const int result = fb_draw_progress(pos, g.x, g.y, g.width, g.height, g.color);
        model(want, pos, g.x, g.y, g.width, g.height, g.color);
        if (g.height != 0) {
            ASSERT_EQ(result, g.y + g.height) << "pos " << pos;
        }
        ASSERT_EQ(first_difference(got, want), "") << "pos " << pos;
    }
    update_options.fb_mem = nullptr;
}

TEST(FbDrawProgress, MatchesModelOverPositions)
{
    for (const geometry& g : GEOMETRIES) {
        SCOPED_TRACE(testing::Message() << "x " << g.x << " y " << g.y << " width " << g.width << " height " << g.height);
        sweep(g);
    }
}

TEST(FbDrawProgress, ClipsNegativeX)
{
    for (const geometry& g : NEGATIVE_X) {
        SCOPED_TRACE(testing::Message() << "x " << g.x << " width " << g.width);
        sweep(g);
    }
}

struct listed_frame {
    int pos, first_white, last_white;
};

constexpr listed_frame LISTED_FRAMES[] = {
    {0, 0, 39},    {1, 0, 40},      {100, 60, 139},  {272, 232, 271},
    {273, 231, 271}, {544, 0, 39},  {545, 0, 40},    {-1, 0, 38},
};

TEST(FbDrawProgress, ListedFrames)
{
    screen got(FB_WIDTH * FB_HEIGHT);
    update_options.fb_mem = got.data();
    for (const listed_frame& f : LISTED_FRAMES) {
        std::fill(got.begin(), got.end(), CANARY);
        fb_draw_progress(f.pos, 0, 0, FB_BAR_WIDTH, FB_HEIGHT, WHITE);
        for (int row = 0; row < FB_HEIGHT; ++row) {
            const uint16_t bar = f.first_white <= row && row <= f.last_white ? WHITE : 0;
            for (int column = 0; column < FB_WIDTH; ++column)
                ASSERT_EQ(got[row * FB_WIDTH + column], column < FB_BAR_WIDTH ? bar : CANARY)
                    << "pos " << f.pos << " row " << row << " column " << column;
        }
    }
    update_options.fb_mem = nullptr;
}

}  // namespace

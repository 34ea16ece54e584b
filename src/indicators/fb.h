// The LCD: a 480x272 RGB565 framebuffer showing a splash picture and an
// activity bar at its left edge.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int FB_WIDTH = 480;
inline constexpr int FB_HEIGHT = 272;
inline constexpr std::size_t FB_BYTES = FB_WIDTH * FB_HEIGHT * sizeof(uint16_t);
// The activity bar's strip at the left edge, which the splash keeps free.
inline constexpr int FB_BAR_WIDTH = 20;

extern "C" {
int fb_open();
int fb_draw_progress(int pos, int x, int y, int width, int height, int color);
}

// Opens the framebuffer and paints the splash; returns the descriptor.
int setup_framebuffer();

// Raw RGB565 picture compiled in from assets/.
extern "C" const unsigned char SPLASH_IMAGE[FB_BYTES];

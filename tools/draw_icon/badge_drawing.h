// Draws the program's badge (rounded square, blue-to-violet diagonal, white
// "vkn") with cairo and pango. Any thread; no shared state.
#pragma once

#include <cairo.h>

#include <cstdint>

#include <vector>

// The badge at size x size pixels as a premultiplied ARGB32 surface, or null
// if cairo cannot allocate it. The caller destroys the surface.
cairo_surface_t* DrawBadgeSurface(int size);

// The surface's pixels as top-down rows of blue, green, red, alpha with the
// colour NOT premultiplied (what icon files store): an edge pixel keeps its
// full colour at partial alpha, a transparent pixel is 0,0,0,0.
// Empty if the surface is not an ARGB32 image.
std::vector<unsigned char> StraightAlphaPixels(cairo_surface_t* surface);

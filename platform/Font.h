// The one text face of the raster layer: DejaVu Sans Bold through FreeType, rendered monochrome
// so that every text pixel is either fully ink or fully background. Not a general font system.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

// A rendered line of text: a coverage mask of Width x Height bytes (1 ink, 0 background), rows
// from the top. Height is the line's text cell (ascent + descent); Width the sum of advances.
struct TTextMask {
    int Width = 0;
    int Height = 0;
    std::vector<uint8_t> Ink;
    bool IsInk(int x, int y) const { return Ink[size_t(y) * size_t(Width) + size_t(x)] != 0; }
};

// Pixel height of the em square for a size in points at 96 pixels per inch.
int FontPixelSize(int points);

// Renders UTF-8 Text with the bold face at the given size in points. Raises Exception
// when the face cannot be found or loaded.
TTextMask RenderBoldText(std::string_view text, int points);

// Size of the text cell that RenderBoldText would give, without rendering.
void MeasureBoldText(std::string_view text, int points, int& width, int& height);

#pragma once
// ClockFont: the built-in 8x16 bitmap font of the preview clock (digits and ':'), so the
// clock's pixels are the same on every machine. Read-only data; any thread.
#include <cstdint>

namespace clockfont {

constexpr int kGlyphWidth = 8;   // also the advance from one character to the next
constexpr int kGlyphHeight = 16;

// 16 rows, top row first; bit 7 of a row is the leftmost pixel. Null for a character the
// font does not have (it is then skipped, leaving its cell empty).
const uint8_t* Glyph(char c);

}  // namespace clockfont

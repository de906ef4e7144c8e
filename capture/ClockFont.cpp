#include "capture/ClockFont.h"

namespace clockfont {
namespace {

// Drawn as text so the shapes can be read and edited; turned into bits at compile time.
// Rows 0-1 and 13-15 are empty: the cell keeps the height of a normal text line.
constexpr const char* kShapes[11][11] = {
    {"..XXXX..", ".XX..XX.", ".XX..XX.", ".XX..XX.", ".XX..XX.", ".XX..XX.", ".XX..XX.", ".XX..XX.", ".XX..XX.",
     ".XX..XX.", "..XXXX.."},  // 0
    {"...XX...", "..XXX...", ".XXXX...", "...XX...", "...XX...", "...XX...", "...XX...", "...XX...", "...XX...",
     "...XX...", ".XXXXXX."},  // 1
    {"..XXXX..", ".XX..XX.", ".....XX.", ".....XX.", "....XX..", "...XX...", "..XX....", ".XX.....", ".XX.....",
     ".XX..XX.", ".XXXXXX."},  // 2
    {"..XXXX..", ".XX..XX.", ".....XX.", ".....XX.", "...XXX..", ".....XX.", ".....XX.", ".....XX.", ".....XX.",
     ".XX..XX.", "..XXXX.."},  // 3
    {"....XX..", "...XXX..", "..XXXX..", ".XX.XX..", "XX..XX..", "XXXXXXX.", "....XX..", "....XX..", "....XX..",
     "....XX..", "...XXXX."},  // 4
    {".XXXXXX.", ".XX.....", ".XX.....", ".XX.....", ".XXXXX..", ".....XX.", ".....XX.", ".....XX.", ".....XX.",
     ".XX..XX.", "..XXXX.."},  // 5
    {"...XXX..", "..XX....", ".XX.....", ".XX.....", ".XXXXX..", ".XX..XX.", ".XX..XX.", ".XX..XX.", ".XX..XX.",
     ".XX..XX.", "..XXXX.."},  // 6
    {".XXXXXX.", ".XX..XX.", ".....XX.", ".....XX.", "....XX..", "...XX...", "...XX...", "...XX...", "...XX...",
     "...XX...", "...XX..."},  // 7
    {"..XXXX..", ".XX..XX.", ".XX..XX.", ".XX..XX.", "..XXXX..", ".XX..XX.", ".XX..XX.", ".XX..XX.", ".XX..XX.",
     ".XX..XX.", "..XXXX.."},  // 8
    {"..XXXX..", ".XX..XX.", ".XX..XX.", ".XX..XX.", ".XX..XX.", "..XXXXX.", ".....XX.", ".....XX.", ".....XX.",
     "....XX..", "..XXX..."},  // 9
    {"........", "........", "........", "...XX...", "...XX...", "........", "........", "........", "...XX...",
     "...XX...", "........"},  // :
};
constexpr int kFirstShapeRow = 2;

struct Bitmaps {
  uint8_t rows[11][kGlyphHeight];
};

constexpr Bitmaps MakeBitmaps() {
  Bitmaps b{};
  for (int g = 0; g < 11; ++g) {
    for (int r = 0; r < 11; ++r) {
      uint8_t bits = 0;
      for (int x = 0; x < kGlyphWidth; ++x) {
        if (kShapes[g][r][x] == 'X') bits = static_cast<uint8_t>(bits | (0x80 >> x));
      }
      b.rows[g][kFirstShapeRow + r] = bits;
    }
  }
  return b;
}

constexpr Bitmaps kBitmaps = MakeBitmaps();

}  // namespace

const uint8_t* Glyph(char c) {
  if (c >= '0' && c <= '9') return kBitmaps.rows[c - '0'];
  if (c == ':') return kBitmaps.rows[10];
  return nullptr;
}

}  // namespace clockfont

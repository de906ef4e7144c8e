#include "capture/PreviewRenderer.h"

#include <cstdio>
#include <ctime>

#include "capture/ClockFont.h"
#include "capture/Yuy2ToBgr24.h"
#include "infra/Logger.h"

bool CPreviewRenderer::Create(IImageView* view, int width, int height) {
  Destroy();
  if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide) {
    Log("CPreviewRenderer::Create refused image size %d x %d", width, height);
    return false;
  }
  m_pixels.assign(static_cast<size_t>(width) * height * 3, 0);
  m_view = view;
  m_width = width;
  m_height = height;
  m_shortFrameLogged = false;
  return true;
}

void CPreviewRenderer::Destroy() {
  std::vector<uint8_t>().swap(m_pixels);
  m_view = nullptr;
  m_width = 0;
  m_height = 0;
}

int CPreviewRenderer::Render(const uint8_t* frame, size_t length, int drawClock) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return RenderAt(frame, length, drawClock, local.tm_hour, local.tm_min, local.tm_sec);
}

int CPreviewRenderer::RenderAt(const uint8_t* frame, size_t length, int drawClock, int hour, int minute,
                               int second) {
  if (m_pixels.empty() || frame == nullptr) return 0;
  const int rows = yuy2::ConvertFrameBottomUp(frame, length, m_width, m_height, m_pixels.data());
  if (rows < m_height && !m_shortFrameLogged) {
    // A driver that changed its size under us would log this on every frame; once is enough.
    m_shortFrameLogged = true;
    Log("CPreviewRenderer::Render short frame: %zu bytes, %d of %d rows converted", length, rows, m_height);
  }
  if (drawClock) DrawClock(hour, minute, second);
  if (m_view != nullptr) m_view->ShowImage(m_pixels.data(), m_width, m_height);
  return 1;
}

void CPreviewRenderer::DrawClock(int hour, int minute, int second) {
  char text[32];
  std::snprintf(text, sizeof(text), "%02d:%02d:%02d", hour, minute, second);
  DrawText(text, kClockX, kClockY);
}

void CPreviewRenderer::DrawText(const char* text, int left, int top) {
  if (m_pixels.empty()) return;
  const size_t stride = static_cast<size_t>(m_width) * 3;
  for (int i = 0; text[i] != '\0'; ++i) {
    const uint8_t* glyph = clockfont::Glyph(text[i]);
    const int cellLeft = left + i * clockfont::kGlyphWidth;
    if (glyph == nullptr) continue;
    for (int gy = 0; gy < clockfont::kGlyphHeight; ++gy) {
      const int y = top + gy;  // top-down
      if (y < 0 || y >= m_height || glyph[gy] == 0) continue;
      uint8_t* row = m_pixels.data() + stride * (m_height - 1 - y);
      for (int gx = 0; gx < clockfont::kGlyphWidth; ++gx) {
        const int x = cellLeft + gx;
        if (x < 0 || x >= m_width || !(glyph[gy] & (0x80 >> gx))) continue;
        uint8_t* px = row + static_cast<size_t>(x) * 3;
        px[0] = 0;
        px[1] = 0;
        px[2] = 255;
      }
    }
  }
}

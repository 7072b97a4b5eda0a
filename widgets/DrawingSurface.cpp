#include "widgets/DrawingSurface.h"

#include <QImage>
#include <QPainter>
#include <algorithm>
#include <cmath>
#include <utility>

namespace {

struct AlphaProductTable {
  uint8_t values[256][256];
  AlphaProductTable() {
    for (int i = 0; i < 256; ++i)
      for (int j = 0; j < 256; ++j) values[i][j] = static_cast<uint8_t>((i * j) >> 8);
  }
};

const AlphaProductTable& SharedAlphaTable() {
  static const AlphaProductTable table;  // built once, by the first surface that asks
  return table;
}

constexpr int kFixedOne = 1 << 16;

QImage::Format QtFormatFor(int bitCount) {
  switch (bitCount) {
    case 8: return QImage::Format_Grayscale8;
    case 15: return QImage::Format_RGB555;
    case 16: return QImage::Format_RGB16;
    case 24: return QImage::Format_BGR888;
    // The screen ignores the alpha byte of a 32-bit bitmap, so the copy does too.
    case 32: return QImage::Format_RGB32;
    default: return QImage::Format_Invalid;
  }
}

int BytesPerPixelFor(int bitCount) {
  switch (bitCount) {
    case 8: return 1;
    case 15:
    case 16: return 2;
    case 24: return 3;
    case 32: return 4;
    default: return 0;
  }
}

}  // namespace

uint32_t BlendPixel(uint32_t d, uint32_t s, int alpha) {
  const uint32_t a = static_cast<uint32_t>(std::clamp(alpha, 0, 255));
  const uint32_t inv = 255 - a;
  const uint32_t r = ((((d >> 16) & 0xFF) * inv + ((s >> 16) & 0xFF) * a) >> 8) & 0xFF;
  const uint32_t g = ((((d >> 8) & 0xFF) * inv + ((s >> 8) & 0xFF) * a) >> 8) & 0xFF;
  const uint32_t b = (((d & 0xFF) * inv + (s & 0xFF) * a) >> 8) & 0xFF;
  return (s & 0xFF000000u) | (r << 16) | (g << 8) | b;
}

const uint8_t (*AlphaTable())[256] { return SharedAlphaTable().values; }

CDrawingSurface::CDrawingSurface(QPainter* target) : target_(target) { SharedAlphaTable(); }

int CDrawingSurface::SetFormat(int bitCount) {
  const int width = header_.width;
  const int height = Height();
  const uint32_t pixelsCount = static_cast<uint32_t>(width) * static_cast<uint32_t>(height);
  header_.redMask = header_.greenMask = header_.blueMask = 0;
  header_.compression = kCompressionNone;
  const int bytes = BytesPerPixelFor(bitCount);
  if (bytes == 0) {
    header_.bitCount = 0;
    header_.imageSize = 0;
    return 0;
  }
  header_.bitCount = static_cast<uint16_t>(bitCount == 15 ? 16 : bitCount);
  header_.imageSize = pixelsCount * static_cast<uint32_t>(bytes);
  if (bitCount == 15 || bitCount == 16) {
    header_.compression = kCompressionBitFields;
    header_.redMask = bitCount == 15 ? 0x7C00 : 0xF800;
    header_.greenMask = bitCount == 15 ? 0x3E0 : 0x7E0;
    header_.blueMask = 0x1F;
  }
  return bytes;
}

void CDrawingSurface::Attach(void* pixels, int reserved, int width, int height, int bitCount) {
  pixels_ = pixels;
  reserved_ = reserved;
  header_.width = std::max(width, 0);
  header_.height = -std::max(height, 0);
  if (bitCount != 0) SetFormat(bitCount);
}

void CDrawingSurface::CopyTo() {
  // 15-bit is recorded as 16 with its masks; tell the two apart by the green mask.
  const int bits = header_.bitCount == 16 && header_.greenMask == 0x3E0 ? 15 : header_.bitCount;
  const QImage::Format format = QtFormatFor(bits);
  if (!target_ || !pixels_ || format == QImage::Format_Invalid || header_.width <= 0) return;
  const QImage image(static_cast<const uchar*>(pixels_), header_.width, Height(),
                     header_.width * BytesPerPixelFor(bits), format);
  target_->drawImage(destination_.topLeft(), image,
                     QRect(source_.topLeft(), destination_.size()));
}

void CDrawingSurface::StretchTo() {
  const int bits = header_.bitCount == 16 && header_.greenMask == 0x3E0 ? 15 : header_.bitCount;
  const QImage::Format format = QtFormatFor(bits);
  if (!target_ || !pixels_ || format == QImage::Format_Invalid || header_.width <= 0) return;
  const QImage image(static_cast<const uchar*>(pixels_), header_.width, Height(),
                     header_.width * BytesPerPixelFor(bits), format);
  target_->drawImage(destination_, image, source_);
}

bool CDrawingSurface::CanDraw32() const {
  return pixels_ && header_.bitCount == 32 && header_.width > 0 && Height() > 0;
}

uint32_t* CDrawingSurface::Pixel32(int x, int y) const {
  return static_cast<uint32_t*>(pixels_) + static_cast<size_t>(y) * header_.width + x;
}

void CDrawingSurface::BlendAt(int x, int y, uint32_t colour, int alpha) {
  uint32_t* p = Pixel32(x, y);
  *p = BlendPixel(*p, colour, alpha);
}

void CDrawingSurface::FillRect(int x0, int y0, int x1, int y1, uint32_t colour) {
  if (!CanDraw32()) return;
  x0 = std::max(x0, 0);
  y0 = std::max(y0, 0);
  x1 = std::min(x1, header_.width - 1);
  y1 = std::min(y1, Height() - 1);
  if (x1 < x0 || y1 < y0) return;
  const int alpha = static_cast<int>(colour >> 24);
  for (int y = y0; y <= y1; ++y) {
    uint32_t* row = Pixel32(0, y);
    if (alpha == 255) {
      std::fill(row + x0, row + x1 + 1, colour);
    } else {
      // Translucent fills leave alpha 0 behind; only the colour channels count on screen.
      for (int x = x0; x <= x1; ++x) row[x] = BlendPixel(row[x], colour, alpha) & 0x00FFFFFFu;
    }
  }
}

bool CDrawingSurface::ClipLine(float& x0, float& y0, float& x1, float& y1) const {
  if (!std::isfinite(x0) || !std::isfinite(y0) || !std::isfinite(x1) || !std::isfinite(y1)) return false;
  // The clip rectangle is the source rectangle, kept inside the bitmap itself so
  // that no rectangle, however set, lets a line write outside the pixels. The
  // right and bottom edges come in by 2 so the anti-aliased neighbour pixel
  // always stays inside as well.
  const float left = static_cast<float>(std::max(source_.left(), 0));
  const float top = static_cast<float>(std::max(source_.top(), 0));
  const float right = static_cast<float>(std::min(source_.left() + source_.width(), header_.width) - 2);
  const float bottom = static_cast<float>(std::min(source_.top() + source_.height(), Height()) - 2);
  const float lowest = bottom - 1;  // where a line cut at the bottom ends
  if (right <= left || lowest < top) return false;

  if (y0 > y1) {
    std::swap(x0, x1);
    std::swap(y0, y1);
  }
  if (y1 < top || y0 >= bottom) return false;
  if (y0 < top) {
    x0 += (top - y0) * (x1 - x0) / (y1 - y0);
    y0 = top;
  }
  if (y1 > lowest) {
    if (y0 >= lowest) {
      y0 = y1 = lowest;
      x1 = x0;
    } else {
      x1 = x0 + (lowest - y0) * (x1 - x0) / (y1 - y0);
      y1 = lowest;
    }
  }

  if (x0 > x1) {
    std::swap(x0, x1);
    std::swap(y0, y1);
  }
  if (x1 < left || x0 >= right) return false;
  if (x0 < left) {
    y0 += (left - x0) * (y1 - y0) / (x1 - x0);
    x0 = left;
  }
  if (x1 > right) {
    y1 = y0 + (right - x0) * (y1 - y0) / (x1 - x0);
    x1 = right;
  }
  return true;
}

void CDrawingSurface::DrawLine(float x0, float y0, float x1, float y1, uint32_t colour) {
  if (!CanDraw32() || !ClipLine(x0, y0, x1, y1)) return;
  const float dx = x1 - x0;
  const float dy = y1 - y0;
  const float length = std::max(std::fabs(dx), std::fabs(dy));
  if (length < 1.0f) return;
  const int steps = static_cast<int>(length);
  int x = static_cast<int>(x0 * kFixedOne);
  int y = static_cast<int>(y0 * kFixedOne);
  const int stepX = static_cast<int>(dx / length * kFixedOne);
  const int stepY = static_cast<int>(dy / length * kFixedOne);
  for (int i = 0; i < steps; ++i, x += stepX, y += stepY) *Pixel32(x >> 16, y >> 16) = colour;
}

void CDrawingSurface::DrawLineAA(float x0, float y0, float x1, float y1, uint32_t colour) {
  if (!CanDraw32() || !ClipLine(x0, y0, x1, y1)) return;
  const int alpha = static_cast<int>(colour >> 24);
  const auto& table = SharedAlphaTable().values;
  const bool xMajor = std::fabs(x1 - x0) >= std::fabs(y1 - y0);
  if (xMajor ? x0 > x1 : y0 > y1) {
    std::swap(x0, x1);
    std::swap(y0, y1);
  }
  const float major0 = xMajor ? x0 : y0;
  const float major1 = xMajor ? x1 : y1;
  const float minor0 = xMajor ? y0 : x0;
  const float minor1 = xMajor ? y1 : x1;
  const float length = major1 - major0;
  const int steps = static_cast<int>(length);
  if (steps < 1) return;
  const int gradient = static_cast<int>((minor1 - minor0) / length * kFixedOne);
  // End pixels are only partly covered by the line; their weights go through the table.
  const int startCover = 255 - (static_cast<int>((major0 + 0.5f) * 256) & 0xFF);
  const int endCover = static_cast<int>((major1 + 0.5f) * 256) & 0xFF;

  int major = static_cast<int>(major0 * kFixedOne);
  int minor = static_cast<int>(minor0 * kFixedOne);
  for (int i = 0; i <= steps; ++i, major += kFixedOne, minor += gradient) {
    int a = alpha;
    if (i == 0) a = table[alpha][startCover];
    if (i == steps) a = table[a][std::max(endCover, 1)];
    const int w = (minor >> 8) & 0xFF;
    const int mainAlpha = (a * (256 - w)) >> 8;
    const int sideAlpha = (a * w) >> 8;
    const int p = major >> 16;
    const int q = minor >> 16;
    if (xMajor) {
      BlendAt(p, q, colour, mainAlpha);
      BlendAt(p, q + 1, colour, sideAlpha);
    } else {
      BlendAt(q, p, colour, mainAlpha);
      BlendAt(q + 1, p, colour, sideAlpha);
    }
  }
}

void CopyBufferToWidget(QPainter& painter, QImage& buffer, const QRect& area) {
  CDrawingSurface surface(&painter);
  surface.Attach(buffer.bits(), 0, buffer.width(), buffer.height(), 32);
  surface.SetSourceRect(area);
  surface.SetDestinationRect(area);
  surface.CopyTo();
}

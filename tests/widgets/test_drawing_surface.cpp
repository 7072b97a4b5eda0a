#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>
#include <random>
#include <vector>

#include "widgets/DrawingSurface.h"

namespace {

struct Canvas {
  int width;
  int height;
  std::vector<uint32_t> pixels;
  CDrawingSurface surface{nullptr};
  Canvas(int w, int h, uint32_t fill = 0xFF000000u) : width(w), height(h), pixels(size_t(w) * h, fill) {
    surface.Attach(pixels.data(), 0, w, h, 32);
    surface.SetSourceRect(QRect(0, 0, w, h));
  }
  uint32_t At(int x, int y) const { return pixels[size_t(y) * width + x]; }
};

TEST(Blend, MixesEachColourChannelAndKeepsTheSourceAlpha) {
  const uint32_t d = 0xFF204060;
  const uint32_t s = 0x80FF0010;
  const uint32_t out = BlendPixel(d, s, 0x80);
  EXPECT_EQ(out >> 24, 0x80u);
  EXPECT_EQ((out >> 16) & 0xFF, uint32_t((0x20 * 127 + 0xFF * 128) >> 8));
  EXPECT_EQ((out >> 8) & 0xFF, uint32_t((0x40 * 127 + 0x00 * 128) >> 8));
  EXPECT_EQ(out & 0xFF, uint32_t((0x60 * 127 + 0x10 * 128) >> 8));
}

TEST(Blend, AlphaTableHoldsTheShiftedProducts) {
  const auto table = AlphaTable();
  EXPECT_EQ(table[255][255], 254);
  EXPECT_EQ(table[128][2], 1);
  EXPECT_EQ(table[0][200], 0);
  EXPECT_EQ(table[200][100], (200 * 100) >> 8);
}

TEST(SurfaceFormat, EachBitCountGivesItsHeader) {
  CDrawingSurface surface(nullptr);
  surface.Attach(nullptr, 0, 10, 6, 0);
  EXPECT_EQ(surface.Header().height, -6);
  EXPECT_EQ(surface.Header().size, 40u);
  EXPECT_EQ(surface.Header().xPelsPerMeter, 72);

  EXPECT_EQ(surface.SetFormat(8), 1);
  EXPECT_EQ(surface.Header().imageSize, 60u);

  EXPECT_EQ(surface.SetFormat(15), 2);
  const SurfaceBitmapHeader h15 = surface.Header();
  EXPECT_EQ(surface.SetFormat(16), 2);
  const SurfaceBitmapHeader h16 = surface.Header();
  for (const SurfaceBitmapHeader& h : {h15, h16}) {
    EXPECT_EQ(h.bitCount, 16);
    EXPECT_EQ(h.compression, kCompressionBitFields);
    EXPECT_EQ(h.imageSize, 120u);
    EXPECT_EQ(h.blueMask, 0x1Fu);
  }
  EXPECT_EQ(h15.redMask, 0x7C00u);
  EXPECT_EQ(h15.greenMask, 0x3E0u);
  EXPECT_EQ(h16.redMask, 0xF800u);
  EXPECT_EQ(h16.greenMask, 0x7E0u);

  EXPECT_EQ(surface.SetFormat(24), 3);
  EXPECT_EQ(surface.Header().compression, kCompressionNone);
  EXPECT_EQ(surface.Header().imageSize, 180u);
  EXPECT_EQ(surface.SetFormat(32), 4);
  EXPECT_EQ(surface.Header().imageSize, 240u);

  EXPECT_EQ(surface.SetFormat(12), 0);
  EXPECT_EQ(surface.Header().bitCount, 0);
  EXPECT_EQ(surface.Header().imageSize, 0u);
}

TEST(SurfaceFill, OpaqueWritesTranslucentBlendsWithAlphaZero) {
  Canvas canvas(8, 8, 0xFF102030);
  canvas.surface.FillRect(1, 1, 2, 2, 0xFFABCDEF);
  EXPECT_EQ(canvas.At(1, 1), 0xFFABCDEFu);
  EXPECT_EQ(canvas.At(2, 2), 0xFFABCDEFu);  // inclusive corner
  EXPECT_EQ(canvas.At(3, 3), 0xFF102030u);

  canvas.surface.FillRect(5, 5, 5, 5, 0x80FFFFFF);
  EXPECT_EQ(canvas.At(5, 5), BlendPixel(0xFF102030, 0x80FFFFFF, 0x80) & 0x00FFFFFFu);
}

TEST(SurfaceFill, ClipsToTheImageAndIgnoresEmptyOrOutsideRectangles) {
  Canvas canvas(6, 4, 0xFF000000);
  canvas.surface.FillRect(-10, -10, 100, 100, 0xFFFFFFFF);
  for (uint32_t p : canvas.pixels) EXPECT_EQ(p, 0xFFFFFFFFu);

  Canvas untouched(6, 4, 0xFF000000);
  untouched.surface.FillRect(4, 1, 2, 3, 0xFFFFFFFF);    // x1 < x0
  untouched.surface.FillRect(10, 0, 20, 3, 0xFFFFFFFF);  // right of the image
  untouched.surface.FillRect(0, -5, 5, -1, 0xFFFFFFFF);  // above it
  for (uint32_t p : untouched.pixels) EXPECT_EQ(p, 0xFF000000u);
}

TEST(SurfaceClip, KeepsInsideLinesAndRejectsOutsideOnes) {
  Canvas canvas(100, 80);
  float x0 = 10, y0 = 20, x1 = 50, y1 = 30;
  ASSERT_TRUE(canvas.surface.ClipLine(x0, y0, x1, y1));
  EXPECT_FLOAT_EQ(x0, 10);
  EXPECT_FLOAT_EQ(y1, 30);

  float a0 = 10, b0 = -20, a1 = 50, b1 = -1;  // above the top
  EXPECT_FALSE(canvas.surface.ClipLine(a0, b0, a1, b1));
  float c0 = 10, d0 = 78, c1 = 50, d1 = 90;  // starts on the moved-in bottom edge
  EXPECT_FALSE(canvas.surface.ClipLine(c0, d0, c1, d1));
  float e0 = -30, f0 = 5, e1 = -1, f1 = 50;  // left of the image
  EXPECT_FALSE(canvas.surface.ClipLine(e0, f0, e1, f1));
  float g0 = 98, h0 = 5, g1 = 120, h1 = 50;  // starts on the moved-in right edge
  EXPECT_FALSE(canvas.surface.ClipLine(g0, h0, g1, h1));
  float n0 = NAN, m0 = 5, n1 = 10, m1 = 10;
  EXPECT_FALSE(canvas.surface.ClipLine(n0, m0, n1, m1));
}

TEST(SurfaceClip, CutsAtTheEdgesWithTheMarginsForNeighbours) {
  Canvas canvas(100, 80);
  float x0 = 40, y0 = -40, x1 = 40, y1 = 200;  // vertical through everything
  ASSERT_TRUE(canvas.surface.ClipLine(x0, y0, x1, y1));
  EXPECT_FLOAT_EQ(y0, 0);
  EXPECT_FLOAT_EQ(y1, 80 - 3);

  float a0 = -50, b0 = 10, a1 = 300, b1 = 10;  // horizontal through everything
  ASSERT_TRUE(canvas.surface.ClipLine(a0, b0, a1, b1));
  EXPECT_FLOAT_EQ(a0, 0);
  EXPECT_FLOAT_EQ(a1, 100 - 2);

  float c0 = -10, d0 = -10, c1 = 200, d1 = 200;  // diagonal: cut on both axes, stays on the line
  ASSERT_TRUE(canvas.surface.ClipLine(c0, d0, c1, d1));
  EXPECT_NEAR(c0, d0, 1e-3);
  EXPECT_NEAR(c1, d1, 1e-3);
  EXPECT_LE(d1, 77.0f);
}

// Random lines, plain and anti-aliased, never touch a pixel outside the clip area.
TEST(SurfaceLines, RandomLinesStayInsideTheSourceRectangle) {
  Canvas canvas(64, 48, 0xFF000000);
  const QRect clip(6, 5, 40, 30);
  canvas.surface.SetSourceRect(clip);
  std::mt19937 random(7);
  std::uniform_real_distribution<float> coordinate(-80.0f, 140.0f);
  for (int i = 0; i < 2000; ++i) {
    const float x0 = coordinate(random), y0 = coordinate(random), x1 = coordinate(random), y1 = coordinate(random);
    if (i % 2) canvas.surface.DrawLine(x0, y0, x1, y1, 0xFFFFFFFF);
    else canvas.surface.DrawLineAA(x0, y0, x1, y1, 0xFFFFFFFF);
  }
  int inside = 0;
  for (int y = 0; y < canvas.height; ++y)
    for (int x = 0; x < canvas.width; ++x) {
      const bool within = x >= clip.left() && x < clip.left() + clip.width() && y >= clip.top() &&
                          y < clip.top() + clip.height();
      if (!within) EXPECT_EQ(canvas.At(x, y), 0xFF000000u) << x << "," << y;
      else if (canvas.At(x, y) != 0xFF000000u) ++inside;
    }
  EXPECT_GT(inside, 100);
}

TEST(SurfaceLines, SourceRectangleLargerThanTheImageCannotWriteOutside) {
  std::vector<uint32_t> memory(20 * 10 + 64, 0xDEADBEEF);
  CDrawingSurface surface(nullptr);
  surface.Attach(memory.data(), 0, 20, 10, 32);
  surface.SetSourceRect(QRect(-100, -100, 1000, 1000));
  surface.DrawLine(0, 0, 500, 500, 0xFF00FF00);
  surface.DrawLineAA(500, 0, 0, 500, 0xFF00FF00);
  for (size_t i = 200; i < memory.size(); ++i) EXPECT_EQ(memory[i], 0xDEADBEEFu);
}

TEST(SurfaceLines, PlainLineWritesOnePixelPerStep) {
  Canvas canvas(30, 10, 0);
  canvas.surface.DrawLine(2, 4, 12, 4, 0xFF0000FF);
  int written = 0;
  for (int x = 0; x < 30; ++x) written += canvas.At(x, 4) == 0xFF0000FFu;
  EXPECT_EQ(written, 10);
  EXPECT_EQ(canvas.At(2, 4), 0xFF0000FFu);

  Canvas tiny(30, 10, 0);
  tiny.surface.DrawLine(2.2f, 4, 2.9f, 4.5f, 0xFF0000FF);
  for (uint32_t p : tiny.pixels) EXPECT_EQ(p, 0u);
}

TEST(SurfaceLines, AntiAliasedLineSplitsWeightAcrossTheLine) {
  Canvas canvas(30, 10, 0xFF000000);
  canvas.surface.DrawLineAA(2, 4.5f, 20, 4.5f, 0xFFFFFFFF);
  // Halfway between rows 4 and 5: both get about half the intensity mid-line.
  const int upper = canvas.At(10, 4) & 0xFF;
  const int lower = canvas.At(10, 5) & 0xFF;
  EXPECT_NEAR(upper, 127, 3);
  EXPECT_NEAR(lower, 127, 3);
  EXPECT_EQ(canvas.At(10, 3) & 0xFF, 0u);

  Canvas exact(30, 10, 0xFF000000);
  exact.surface.DrawLineAA(2, 4, 20, 4, 0xFFFFFFFF);
  EXPECT_GE(exact.At(10, 4) & 0xFF, 250u);
  EXPECT_EQ(exact.At(10, 5) & 0xFF, 0u);
}

TEST(SurfaceCopy, CopiesFromTheSourceOriginAtTheDestination) {
  Canvas canvas(8, 8, 0xFF000000);
  canvas.surface.FillRect(2, 2, 3, 3, 0xFFFF0000);
  QImage target(20, 20, QImage::Format_RGB32);
  target.fill(Qt::white);
  {
    QPainter painter(&target);
    CDrawingSurface surface(&painter);
    surface.Attach(canvas.pixels.data(), 0, 8, 8, 32);
    surface.SetSourceRect(QRect(2, 2, 4, 4));
    surface.SetDestinationRect(QRect(10, 10, 4, 4));
    surface.CopyTo();
  }
  EXPECT_EQ(target.pixel(10, 10), 0xFFFF0000u);
  EXPECT_EQ(target.pixel(11, 11), 0xFFFF0000u);
  EXPECT_EQ(target.pixel(12, 12), 0xFF000000u);
  EXPECT_EQ(target.pixel(14, 14), 0xFFFFFFFFu);  // outside the destination
  EXPECT_EQ(target.pixel(9, 9), 0xFFFFFFFFu);
}

TEST(SurfaceCopy, TranslucentFillStillShowsOnScreen) {
  // Blended fills leave alpha 0; the copy must ignore alpha like a screen does.
  Canvas canvas(4, 4, 0xFF000000);
  canvas.surface.FillRect(0, 0, 3, 3, 0x80FFFFFF);
  QImage target(4, 4, QImage::Format_RGB32);
  target.fill(Qt::blue);
  {
    QPainter painter(&target);
    CDrawingSurface surface(&painter);
    surface.Attach(canvas.pixels.data(), 0, 4, 4, 32);
    surface.SetSourceRect(QRect(0, 0, 4, 4));
    surface.SetDestinationRect(QRect(0, 0, 4, 4));
    surface.CopyTo();
  }
  EXPECT_EQ(qRed(target.pixel(1, 1)), 0x7F);
  EXPECT_EQ(qBlue(target.pixel(1, 1)), 0x7F);
}

}  // namespace

namespace {

TEST(SurfaceCopy, StretchesAndCopiesOtherFormats) {
  // 24-bit rows are blue, green, red.
  std::vector<uint8_t> bgr = {0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0xFF, 0x00, 0x10, 0x20, 0x30};
  QImage target(8, 8, QImage::Format_RGB32);
  target.fill(Qt::black);
  {
    QPainter painter(&target);
    CDrawingSurface surface(&painter);
    surface.Attach(bgr.data(), 0, 2, 2, 24);
    surface.SetSourceRect(QRect(0, 0, 2, 2));
    surface.SetDestinationRect(QRect(0, 0, 2, 2));
    surface.CopyTo();
    surface.SetDestinationRect(QRect(4, 4, 4, 4));
    surface.StretchTo();
  }
  EXPECT_EQ(target.pixel(0, 0), 0xFFFF0000u);
  EXPECT_EQ(target.pixel(1, 0), 0xFF0000FFu);
  EXPECT_EQ(target.pixel(0, 1), 0xFF00FF00u);
  EXPECT_EQ(target.pixel(1, 1), 0xFF302010u);
  EXPECT_EQ(target.pixel(4, 4), 0xFFFF0000u);  // each source pixel now covers 2 x 2
  EXPECT_EQ(target.pixel(7, 7), 0xFF302010u);
}

TEST(SurfaceCopy, NothingHappensWithoutPixelsOrWithAnUnknownFormat) {
  QImage target(4, 4, QImage::Format_RGB32);
  target.fill(Qt::white);
  uint32_t pixel = 0xFF000000;
  {
    QPainter painter(&target);
    CDrawingSurface surface(&painter);
    surface.SetDestinationRect(QRect(0, 0, 4, 4));
    surface.CopyTo();  // nothing attached
    surface.Attach(&pixel, 0, 1, 1, 12);
    surface.CopyTo();
    surface.FillRect(0, 0, 0, 0, 0xFF00FF00);  // only 32-bit surfaces are drawn on
  }
  EXPECT_EQ(target.pixel(0, 0), 0xFFFFFFFFu);
  EXPECT_EQ(pixel, 0xFF000000u);
}

}  // namespace

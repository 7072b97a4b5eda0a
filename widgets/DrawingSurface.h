#pragma once
// Off-screen drawing surface: every panel keeps a 32-bit ARGB image of its
// client area, draws into it and copies it to the window when painted. The
// surface also offers clipped, alpha-blended filling and line drawing straight
// on such a pixel buffer.

#include <QImage>
#include <QPainter>
#include <QRect>
#include <cstdint>

class QPainter;

// Blend of colour s over pixel d (both ARGB) with alpha a (0..255): each of the
// red, green and blue channels becomes (d*(255-a) + s*a) >> 8; the result keeps
// s's alpha.
uint32_t BlendPixel(uint32_t d, uint32_t s, int alpha);

// The shared 256 x 256 product table: AlphaTable()[i][j] == (i*j) >> 8.
const uint8_t (*AlphaTable())[256];

// Copies a whole 32-bit ARGB buffer, unscaled, onto the painter's device over `area`.
void CopyBufferToWidget(QPainter& painter, QImage& buffer, const QRect& area);

struct SurfaceBitmapHeader {
  uint32_t size = 40;
  int32_t width = 0;
  int32_t height = 0;  // negative: rows run top-down
  uint16_t planes = 1;
  uint16_t bitCount = 0;
  uint32_t compression = 0;  // 0 uncompressed, 3 bit fields
  uint32_t imageSize = 0;
  int32_t xPelsPerMeter = 72;
  int32_t yPelsPerMeter = 72;
  uint32_t colorsUsed = 0;
  uint32_t colorsImportant = 0;
  uint32_t redMask = 0;
  uint32_t greenMask = 0;
  uint32_t blueMask = 0;
};

constexpr uint32_t kCompressionNone = 0;
constexpr uint32_t kCompressionBitFields = 3;

class CDrawingSurface {
 public:
  // target may be null for surfaces used only to draw into pixel buffers.
  explicit CDrawingSurface(QPainter* target);
  virtual ~CDrawingSurface() = default;

  // Returns bytes per pixel (0 for an unknown bit count).
  virtual int SetFormat(int bitCount);
  virtual void Attach(void* pixels, int reserved, int width, int height, int bitCount);
  virtual void StretchTo();
  virtual void CopyTo();
  virtual bool ClipLine(float& x0, float& y0, float& x1, float& y1) const;
  virtual void DrawLine(float x0, float y0, float x1, float y1, uint32_t colour);
  virtual void DrawLineAA(float x0, float y0, float x1, float y1, uint32_t colour);
  virtual void FillRect(int x0, int y0, int x1, int y1, uint32_t colour);

  void SetSourceRect(const QRect& rect) { source_ = rect; }
  void SetDestinationRect(const QRect& rect) { destination_ = rect; }
  const QRect& SourceRect() const { return source_; }
  const QRect& DestinationRect() const { return destination_; }
  const SurfaceBitmapHeader& Header() const { return header_; }
  int Width() const { return header_.width; }
  int Height() const { return header_.height < 0 ? -header_.height : header_.height; }

 private:
  uint32_t* Pixel32(int x, int y) const;
  bool CanDraw32() const;
  void BlendAt(int x, int y, uint32_t colour, int alpha);

  QRect source_;
  QRect destination_;
  QPainter* target_;
  void* pixels_ = nullptr;  // not owned
  int reserved_ = 0;
  SurfaceBitmapHeader header_;
};

#include "sources/inhouse/GDI.h"

#include <QImageReader>
#include <QImageWriter>

namespace GDI {

QImage LoadBitmap(const std::string& path, const uint8_t** pixels, int* width, int* height, int* stride) {
  QImageReader reader(QString::fromStdString(path));
  reader.setAutoTransform(true);
  QImage image = reader.read();
  if (image.isNull()) return {};
  image = image.hasAlphaChannel() ? image.convertToFormat(QImage::Format_ARGB32)
                                  : image.convertToFormat(QImage::Format_BGR888);
  if (pixels) *pixels = image.constBits();
  if (width) *width = image.width();
  if (height) *height = image.height();
  if (stride) *stride = static_cast<int>(image.bytesPerLine());
  return image;
}

int BytesPerPixel(const QImage& bitmap) { return bitmap.depth() / 8; }

bool SaveImage(const std::string& path, const QImage& bitmap, const char* format) {
  if (bitmap.isNull()) return false;
  QImageWriter writer(QString::fromStdString(path), format);
  writer.setQuality(95);
  return writer.write(bitmap);
}

QImage WrapViewImage(cv::Mat& image) {
  if (image.empty() || image.type() != CV_8UC3) return {};
  return QImage(image.data, image.cols, image.rows, static_cast<qsizetype>(image.step), QImage::Format_BGR888);
}

bool IsPointInRect(int x, int y, const QRect& rect) {
  return x >= rect.left() && x < rect.left() + rect.width() && y >= rect.top() && y < rect.top() + rect.height();
}

QRectF GetRectF(const QRect& rect) { return QRectF(rect.x(), rect.y(), rect.width(), rect.height()); }

}  // namespace GDI

#include "imaging/GDI.h"

#include <QBuffer>
#include <QFile>
#include <QImageReader>
#include <QImageWriter>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "imaging/JpegFile.h"

namespace {

// Why the JPEG bytes do not decode cleanly; "" when they do or are no JPEG.
std::string JpegBytesProblem(const QByteArray& bytes) {
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.constData());
  const auto size = static_cast<size_t>(bytes.size());
  if (!StartsAsJpeg(data, size)) return {};
  return JpegDataProblem(data, size);
}

// Converts what the reader decodes to the rows LoadBitmap promises.
QImage BitmapRows(QImageReader& reader, const uint8_t** pixels, int* width, int* height, int* stride,
                  std::string* problem) {
  reader.setAutoTransform(true);
  QImage image = reader.read();
  if (image.isNull()) {
    if (problem) *problem = "cannot be read (" + reader.errorString().toStdString() + ")";
    return {};
  }
  image = image.hasAlphaChannel() ? image.convertToFormat(QImage::Format_ARGB32)
                                  : image.convertToFormat(QImage::Format_BGR888);
  if (pixels) *pixels = image.constBits();
  if (width) *width = image.width();
  if (height) *height = image.height();
  if (stride) *stride = static_cast<int>(image.bytesPerLine());
  return image;
}

}  // namespace

namespace GDI {

bool IsJpegFile(const QByteArray& bytes) {
  return bytes.size() >= 3 && static_cast<uint8_t>(bytes[0]) == 0xFF && static_cast<uint8_t>(bytes[1]) == 0xD8 &&
         static_cast<uint8_t>(bytes[2]) == 0xFF;
}

std::string JpegDecodeProblem(const std::string& path) {
  QFile file(QString::fromStdString(path));
  if (!file.open(QIODevice::ReadOnly)) return {};
  return JpegBytesProblem(file.readAll());
}

QImage LoadBitmap(const std::string& path, const uint8_t** pixels, int* width, int* height, int* stride,
                  std::string* problem) {
  QFile file(QString::fromStdString(path));
  if (!file.open(QIODevice::ReadOnly)) {
    if (problem) *problem = "cannot be read (" + file.errorString().toStdString() + ")";
    return {};
  }
  return DecodeBitmap(file.readAll(), pixels, width, height, stride, problem);
}

QImage DecodeBitmap(const QByteArray& bytes, const uint8_t** pixels, int* width, int* height, int* stride,
                    std::string* problem) {
  const std::string damage = JpegBytesProblem(bytes);
  if (!damage.empty()) {
    if (problem) *problem = "does not decode cleanly (" + damage + ")";
    return {};
  }
  QBuffer buffer;
  buffer.setData(bytes);
  if (!buffer.open(QIODevice::ReadOnly)) return {};
  QImageReader reader(&buffer);
  reader.setDecideFormatFromContent(true);
  return BitmapRows(reader, pixels, width, height, stride, problem);
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

namespace {

bool SharesMemory(const cv::Mat& a, const cv::Mat& b) {
  return a.datastart < b.dataend && b.datastart < a.dataend;
}

bool IsFittingView(const cv::Mat& view, const cv::Mat& frame, cv::Size size) {
  return view.type() == CV_8UC3 && view.size() == size && !SharesMemory(view, frame);
}

// Copies one view out of the frame. The view's row r is row `fieldStep` *
// (`firstFieldRow` + r) of the upright picture, starting at `firstColumn`.
void CopyView(const cv::Mat& src, cv::Mat& view, int firstColumn, int firstFieldRow, int fieldStep, bool flip) {
  const size_t rowBytes = static_cast<size_t>(view.cols) * 3;
  for (int r = 0; r < view.rows; ++r) {
    const int uprightRow = fieldStep * (firstFieldRow + r);
    const int storedRow = flip ? src.rows - 1 - uprightRow : uprightRow;
    std::memcpy(view.ptr(r), src.ptr(storedRow) + static_cast<size_t>(firstColumn) * 3, rowBytes);
  }
}

template <size_t N>
bool SplitFrame(const cv::Mat& src, std::array<cv::Mat, N>& dst, bool flip, bool fields) {
  static_assert(N == 2 || N == 4);
  if (src.empty() || src.type() != CV_8UC3) return false;
  const int fieldStep = fields ? 2 : 1;
  const int rowsPerView = src.rows / fieldStep / static_cast<int>(N / 2);
  const cv::Size viewSize(src.cols / 2, rowsPerView);
  if (viewSize.width < 1 || viewSize.height < 1) return false;
  for (const cv::Mat& view : dst)
    if (!IsFittingView(view, src, viewSize)) return false;
  for (size_t i = 0; i < N; ++i) {
    const int column = static_cast<int>(i % 2) * viewSize.width;
    const int fieldRow = static_cast<int>(i / 2) * viewSize.height;
    CopyView(src, dst[i], column, fieldRow, fieldStep, flip);
  }
  return true;
}

}  // namespace

bool SplitFrameStereo(const cv::Mat& src, std::array<cv::Mat, 2>& dst, bool flip, bool fields) {
  return SplitFrame(src, dst, flip, fields);
}

bool SplitFrameQuad(const cv::Mat& src, std::array<cv::Mat, 4>& dst, bool flip, bool fields) {
  return SplitFrame(src, dst, flip, fields);
}

}  // namespace GDI

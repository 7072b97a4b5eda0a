#include "imaging/GDI.h"

#include <QBuffer>
#include <QFile>
#include <QImageReader>
#include <QImageWriter>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>

#include <jpeglib.h>

namespace {

// libjpeg reports through callbacks: errors must not return (a long jump
// leaves the decoder), warnings (corrupt or missing data) only count.
struct JpegReport {
  jpeg_error_mgr manager;  // first, so libjpeg's pointer to it is a pointer to the report
  std::jmp_buf escape;
  bool decoding;           // warnings of the image data count; header curiosities do not
  bool failed;
  char message[JMSG_LENGTH_MAX];
};

JpegReport& ReportOf(j_common_ptr info) { return *reinterpret_cast<JpegReport*>(info->err); }

void NoteProblem(j_common_ptr info) {
  JpegReport& report = ReportOf(info);
  if (report.failed) return;
  report.failed = true;
  (*info->err->format_message)(info, report.message);
}

void JpegError(j_common_ptr info) {
  NoteProblem(info);
  std::longjmp(ReportOf(info).escape, 1);
}

void JpegMessage(j_common_ptr info, int level) {
  if (level < 0 && ReportOf(info).decoding) NoteProblem(info);  // level -1 is a warning
}

void JpegSilence(j_common_ptr) {}

// Decodes the whole file at an eighth of its size: every bit of the
// compressed data is still read, which is what finds damage, at a fraction
// of the work. Only plain data lives in this frame, as a long jump may leave it.
bool DecodeQuietly(const unsigned char* data, size_t size, JpegReport& report) {
  jpeg_decompress_struct info;
  info.err = jpeg_std_error(&report.manager);
  report.manager.error_exit = JpegError;
  report.manager.emit_message = JpegMessage;
  report.manager.output_message = JpegSilence;
  report.decoding = false;
  report.failed = false;
  report.message[0] = '\0';
  if (setjmp(report.escape)) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, data, static_cast<unsigned long>(size));
  jpeg_read_header(&info, TRUE);
  info.scale_num = 1;
  info.scale_denom = 8;
  info.dct_method = JDCT_IFAST;
  report.decoding = true;
  jpeg_start_decompress(&info);
  const JDIMENSION rowSize = info.output_width * static_cast<JDIMENSION>(info.output_components);
  JSAMPARRAY row = (*info.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&info), JPOOL_IMAGE, rowSize, 1);
  while (info.output_scanline < info.output_height) jpeg_read_scanlines(&info, row, 1);
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return !report.failed;
}

// Why the JPEG bytes do not decode cleanly; "" when they do or are no JPEG.
std::string JpegBytesProblem(const QByteArray& bytes) {
  if (!GDI::IsJpegFile(bytes)) return {};
  JpegReport report;
  if (DecodeQuietly(reinterpret_cast<const unsigned char*>(bytes.constData()), static_cast<size_t>(bytes.size()), report))
    return {};
  return report.message[0] != '\0' ? report.message : "the JPEG data is damaged";
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

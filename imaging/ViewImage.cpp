#include "imaging/ViewImage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QBuffer>
#include <QByteArray>
#include <QImageReader>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <mutex>

#include <opencv2/imgproc.hpp>

#include "imaging/GDI.h"
#include "imaging/JpegFile.h"

namespace {

constexpr uint8_t kPlaceholderGrey = 128;

std::string Unreadable(const std::string& why) { return "cannot be read (" + why + ")"; }
std::string Damaged(const std::string& why) { return "does not decode cleanly (" + why + ")"; }
const char* kChanged = "has changed on disk since it was loaded";

FileStamp StampOf(const struct stat& status) {
  FileStamp stamp;
  stamp.device = static_cast<uint64_t>(status.st_dev);
  stamp.inode = static_cast<uint64_t>(status.st_ino);
  stamp.size = static_cast<int64_t>(status.st_size);
  stamp.modifiedNanoseconds = static_cast<int64_t>(status.st_mtim.tv_sec) * 1'000'000'000 + status.st_mtim.tv_nsec;
  return stamp;
}

// Reads a whole file; its stamp is taken from the open file, so the two agree.
// "" or why the open file cannot be read whole.
std::string ReadOpenFile(int fd, std::vector<uint8_t>& bytes, FileStamp& stamp) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) return std::strerror(errno);
  if (!S_ISREG(status.st_mode)) return "not a file";
  stamp = StampOf(status);
  bytes.resize(static_cast<size_t>(status.st_size));
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t got = ::read(fd, bytes.data() + done, bytes.size() - done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::strerror(errno);
    if (got == 0) return "the file shrank while it was read";
    done += static_cast<size_t>(got);
  }
  return "";
}

// Reads a whole file; its stamp is taken from the open file, so the two agree.
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& bytes, FileStamp& stamp, std::string* problem) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  const std::string why = fd < 0 ? std::strerror(errno) : ReadOpenFile(fd, bytes, stamp);
  if (fd >= 0) ::close(fd);
  if (why.empty()) return true;
  bytes.clear();
  if (problem) *problem = Unreadable(why);
  return false;
}

// Content fingerprint (FNV-1a), to recognise a file rewritten with the same bytes.
uint64_t Fingerprint(const std::vector<uint8_t>& bytes) {
  uint64_t hash = 1469598103934665603ull;
  for (uint8_t byte : bytes) hash = (hash ^ byte) * 1099511628211ull;
  return hash;
}

FileStamp CurrentStamp(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return {};
  return StampOf(status);
}

// The loader's rows (24-bit BGR or 32-bit ARGB) as a view image.
cv::Mat ViewImageFromBitmap(const QImage& bitmap) {
  cv::Mat image = NewViewImage(bitmap.width(), bitmap.height());
  const bool alpha = GDI::BytesPerPixel(bitmap) == 4;
  const cv::Mat rows(bitmap.height(), bitmap.width(), alpha ? CV_8UC4 : CV_8UC3, const_cast<uchar*>(bitmap.constBits()),
                     static_cast<size_t>(bitmap.bytesPerLine()));
  if (alpha)
    cv::cvtColor(rows, image, cv::COLOR_BGRA2BGR);
  else
    rows.copyTo(image);
  return image;
}

cv::Mat DecodeThroughQt(const std::string& path, std::string* problem) {
  std::string why;
  const QImage bitmap = GDI::LoadBitmap(path, nullptr, nullptr, nullptr, nullptr, &why);
  if (bitmap.isNull()) {
    if (problem) *problem = why;
    return {};
  }
  return ViewImageFromBitmap(bitmap);
}

// Size of a reduced picture: the image scaled down as far as it still covers
// `atLeast` along both sides (never up).
cv::Size ReducedSize(cv::Size full, cv::Size atLeast) {
  const double scale = std::min(1.0, std::max(static_cast<double>(atLeast.width) / full.width,
                                              static_cast<double>(atLeast.height) / full.height));
  return cv::Size(std::max(1, static_cast<int>(std::ceil(full.width * scale))),
                  std::max(1, static_cast<int>(std::ceil(full.height * scale))));
}

// The largest JPEG scale denominator whose picture still covers `atLeast`.
int JpegDenominator(cv::Size full, cv::Size atLeast) {
  for (int d : {8, 4, 2})
    if ((full.width + d - 1) / d >= atLeast.width && (full.height + d - 1) / d >= atLeast.height) return d;
  return 1;
}

// The orientation a JPEG's tags ask for, as Qt applies it on reading.
QImageIOHandler::Transformations JpegOrientation(const std::vector<uint8_t>& bytes) {
  QByteArray raw = QByteArray::fromRawData(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
  QBuffer buffer(&raw);
  if (!buffer.open(QIODevice::ReadOnly)) return QImageIOHandler::TransformationNone;
  QImageReader reader(&buffer, "jpeg");
  return reader.transformation();
}

}  // namespace

cv::Mat NewViewImage(int width, int height) {
  const int step = (width * 3 + 3) & ~3;
  cv::Mat buffer(height, step, CV_8UC1, cv::Scalar(0));
  return buffer.colRange(0, width * 3).reshape(3);
}

struct ViewImageSource::State {
  Kind kind = Kind::None;
  cv::Size size;
  std::string path;
  FileStamp stamp;
  uint64_t fingerprint = 0;  // of the bytes opened
  bool jpeg = false;
  // A JPEG our decoder reads as it is: gray or colour, no orientation to apply.
  bool plainJpeg = false;
  cv::Mat frame;  // a grabbed frame's pixels, exactly as grabbed
  mutable std::once_flag greyOnce;
  mutable cv::Mat grey;  // a placeholder's pixels, made when first asked for

  const cv::Mat& Grey() const {
    std::call_once(greyOnce, [this] {
      grey = NewViewImage(size.width, size.height);
      grey.setTo(cv::Scalar::all(kPlaceholderGrey));
    });
    return grey;
  }

  // The file's bytes, as long as it is still the file opened: the same stamp,
  // or (a save rewrote it) the very same bytes.
  bool ReadFile(std::vector<uint8_t>& data, std::string* problem) const {
    FileStamp now;
    if (!ReadWholeFile(path, data, now, problem)) return false;
    if (now == stamp) return true;
    if (now.size == stamp.size && Fingerprint(data) == fingerprint) return true;
    if (problem) *problem = kChanged;
    data.clear();
    return false;
  }

  cv::Mat DecodeJpegBytes(const std::vector<uint8_t>& data, int denominator, bool fast, std::string* problem) const {
    cv::Mat image;
    std::string why;
    if (!DecodeJpeg(data.data(), data.size(), denominator, fast, image, &why)) {
      if (problem) *problem = Damaged(why);
      return {};
    }
    return image;
  }

  cv::Mat DecodeFile(int denominator, bool fast, std::string* problem) const {
    std::vector<uint8_t> data;
    if (!ReadFile(data, problem)) return {};
    if (plainJpeg) return DecodeJpegBytes(data, denominator, fast, problem);
    cv::Mat image = DecodeThroughQt(path, problem);  // checks a JPEG's data first, as it is read
    if (!image.empty() && image.size() != size) {
      if (problem) *problem = kChanged;
      return {};
    }
    return image;
  }
};

ViewImageSource::ViewImageSource(std::shared_ptr<const State> state) : state_(std::move(state)) {}

ViewImageSource ViewImageSource::OpenFile(const std::string& path, std::string* problem) {
  auto state = std::make_shared<State>();
  state->kind = Kind::File;
  state->path = path;
  std::vector<uint8_t> bytes;
  if (!ReadWholeFile(path, bytes, state->stamp, problem)) return {};
  state->fingerprint = Fingerprint(bytes);
  if (StartsAsJpeg(bytes.data(), bytes.size())) {
    JpegLayout layout;
    const std::string damage = JpegStructureProblem(bytes.data(), bytes.size(), &layout);
    if (!damage.empty()) {
      if (problem) *problem = Damaged(damage);
      return {};
    }
    const QImageIOHandler::Transformations orientation = JpegOrientation(bytes);
    state->jpeg = true;
    state->plainJpeg = (layout.components == 1 || layout.components == 3) && orientation == QImageIOHandler::TransformationNone;
    state->size = orientation & QImageIOHandler::TransformationRotate90 ? cv::Size(layout.size.height, layout.size.width)
                                                                       : layout.size;
    return ViewImageSource(std::move(state));
  }
  // Other formats cannot be checked without decoding them.
  const cv::Mat image = DecodeThroughQt(path, problem);
  if (image.empty()) return {};
  state->size = image.size();
  return ViewImageSource(std::move(state));
}

ViewImageSource ViewImageSource::FromFrame(const cv::Mat& bgr) {
  if (bgr.empty() || bgr.type() != CV_8UC3) return {};
  auto state = std::make_shared<State>();
  state->kind = Kind::Frame;
  state->size = bgr.size();
  state->frame = NewViewImage(bgr.cols, bgr.rows);
  bgr.copyTo(state->frame);
  return ViewImageSource(std::move(state));
}

ViewImageSource ViewImageSource::Placeholder(cv::Size size) {
  auto state = std::make_shared<State>();
  state->kind = Kind::Placeholder;
  state->size = cv::Size(std::max(size.width, 1), std::max(size.height, 1));
  return ViewImageSource(std::move(state));
}

ViewImageSource::Kind ViewImageSource::kind() const { return state_ ? state_->kind : Kind::None; }

cv::Size ViewImageSource::Size() const { return state_ ? state_->size : cv::Size(); }

const std::string& ViewImageSource::Path() const {
  static const std::string none;
  return state_ && state_->kind == Kind::File ? state_->path : none;
}

bool ViewImageSource::IsJpeg() const { return state_ && state_->jpeg; }

size_t ViewImageSource::HeldBytes() const { return state_ ? state_->frame.step[0] * state_->frame.rows : 0; }

cv::Mat ViewImageSource::Decode(std::string* problem) const {
  switch (kind()) {
    case Kind::None:
      if (problem) *problem = "has no picture";
      return {};
    case Kind::Placeholder:
      return state_->Grey();
    case Kind::Frame:
      return state_->frame;
    case Kind::File:
      return state_->DecodeFile(1, false, problem);
  }
  return {};
}

cv::Mat ViewImageSource::DecodeReduced(cv::Size atLeast, std::string* problem) const {
  if (empty()) return Decode(problem);
  const cv::Size full = state_->size;
  const cv::Size target = ReducedSize(full, atLeast);
  if (state_->kind == Kind::Placeholder) {
    cv::Mat grey = NewViewImage(target.width, target.height);
    grey.setTo(cv::Scalar::all(kPlaceholderGrey));
    return grey;
  }
  if (state_->plainJpeg) return state_->DecodeFile(JpegDenominator(full, atLeast), true, problem);
  const cv::Mat image = Decode(problem);
  if (image.empty() || target == full) return image;
  cv::Mat reduced = NewViewImage(target.width, target.height);
  cv::resize(image, reduced, target, 0, 0, cv::INTER_AREA);
  return reduced;
}

bool ViewImageSource::ReadJpeg(std::vector<uint8_t>& bytes, std::string* problem) const {
  if (!IsJpeg()) return false;
  return state_->ReadFile(bytes, problem);
}

bool ViewImageSource::Unchanged() const {
  if (kind() != Kind::File || CurrentStamp(state_->path) == state_->stamp) return true;
  std::vector<uint8_t> bytes;
  return state_->ReadFile(bytes, nullptr);
}

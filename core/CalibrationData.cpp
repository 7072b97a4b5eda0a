#include "core/CalibrationData.h"

#include <QFile>
#include <algorithm>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

#include "calib/CalibrationProblem.h"
#include "core/TextIO.h"
#include "imaging/GDI.h"

namespace {

// A view image whose rows start on 4-byte boundaries, as the display bitmap
// expects; the Mat keeps the padded buffer alive.
std::unique_ptr<cv::Mat> NewViewImage(int width, int height) {
  const int step = (width * 3 + 3) & ~3;
  cv::Mat buffer(height, step, CV_8UC1, cv::Scalar(0));
  return std::make_unique<cv::Mat>(buffer.colRange(0, width * 3).reshape(3));
}

std::unique_ptr<cv::Mat> AlignedViewImage(const cv::Mat& image) {
  if (image.step % 4 == 0) return std::make_unique<cv::Mat>(image);
  auto aligned = NewViewImage(image.cols, image.rows);
  image.copyTo(*aligned);
  return aligned;
}

// Converts the loader's rows (24-bit BGR or 32-bit ARGB) into a view image.
std::unique_ptr<cv::Mat> ViewImageFromBitmap(const QImage& bitmap, const uint8_t* pixels, int width, int height,
                                             int stride) {
  auto image = NewViewImage(width, height);
  const int bytesPerPixel = GDI::BytesPerPixel(bitmap);
  const cv::Mat source(height, width, bytesPerPixel == 4 ? CV_8UC4 : CV_8UC3, const_cast<uint8_t*>(pixels),
                       static_cast<size_t>(stride));
  if (bytesPerPixel == 4)
    cv::cvtColor(source, *image, cv::COLOR_BGRA2BGR);
  else
    source.copyTo(*image);
  return image;
}

std::string SizeText(int width, int height) { return std::to_string(width) + "x" + std::to_string(height); }

// Bound on one view's point list, far above any real grid.
constexpr size_t kMaxPointsPerView = 5'000'000;

// Reads every point the file holds (up to the bound), not only the camera's
// current nx*ny: a list that does not fit the grid must stay visible as such
// rather than be cut to a size that passes for complete.
PointList ReadPointsFile(const std::string& path) {
  PointList points;
  auto fields = TextFields::Read(path);
  if (!fields) return points;
  while (points.size() < kMaxPointsPerView) {
    auto x = fields->NextDouble();
    if (!x) break;
    auto y = fields->NextDouble();
    if (!y) break;
    points.push_back({*x, *y});
  }
  return points;
}

}  // namespace

CCalibrationData::Camera::Camera() : problem(std::make_unique<CalibrationProblem>()) {}
CCalibrationData::Camera::~Camera() = default;
CCalibrationData::Camera::Camera(Camera&&) noexcept = default;
CCalibrationData::Camera& CCalibrationData::Camera::operator=(Camera&&) noexcept = default;

CCalibrationData::CCalibrationData() = default;
CCalibrationData::~CCalibrationData() = default;

bool CCalibrationData::AddCamera() {
  cameras_.emplace_back();
  return true;
}

bool CCalibrationData::InsertCamera(int index) {
  if (index < 0 || index >= GetCameraCount()) return false;
  cameras_.emplace(cameras_.begin() + index);
  return true;
}

bool CCalibrationData::RemoveCamera(int index) {
  if (!ValidCamera(index)) return false;
  cameras_.erase(cameras_.begin() + index);
  return true;
}

void CCalibrationData::ClearCameraViews(int index) {
  if (!ValidCamera(index)) return;
  Camera& c = cameras_[index];
  c.bitmaps.clear();  // bitmaps go before the images they wrap
  c.images.clear();
  c.gridPoints.clear();
  c.borderPoints.clear();
  c.enabled.clear();
  c.hasPoints.clear();
  c.missingImage.clear();
  c.stale.clear();
  c.jpegBytes.clear();
}

CameraParameters CCalibrationData::GetCameraParameters(int index) const { return cameras_.at(index).parameters; }

void CCalibrationData::SetCameraParameters(int index, const CameraParameters& parameters) {
  if (ValidCamera(index)) cameras_[index].parameters = parameters;
}

GridDescription CCalibrationData::GetGrid(int index) const {
  return ValidCamera(index) ? cameras_[index].grid : GridDescription{};
}

void CCalibrationData::SetGrid(int index, const GridDescription& grid) {
  if (!ValidCamera(index)) return;
  Camera& c = cameras_[index];
  if (grid.nx != c.grid.nx || grid.ny != c.grid.ny)
    for (size_t v = 0; v < c.gridPoints.size(); ++v)
      if (!c.gridPoints[v].empty() || c.hasPoints[v] != 0) c.stale[v] = 1;
  c.grid = grid;
}

bool CCalibrationData::HasGrid(int index) const { return ValidCamera(index) && cameras_[index].grid.nx > 1; }

int CCalibrationData::GetImageWidth(int index) const {
  return ValidCamera(index) && !cameras_[index].images.empty() ? cameras_[index].images.front()->cols : 0;
}

int CCalibrationData::GetImageHeight(int index) const {
  return ValidCamera(index) && !cameras_[index].images.empty() ? cameras_[index].images.front()->rows : 0;
}

CalibrationProblem& CCalibrationData::GetCalibrationProblem(int index) { return *cameras_.at(index).problem; }

const CalibrationProblem& CCalibrationData::GetCalibrationProblem(int index) const {
  return *cameras_.at(index).problem;
}

int CCalibrationData::GetViewCount(int camera) const {
  return ValidCamera(camera) ? static_cast<int>(cameras_[camera].images.size()) : 0;
}

bool CCalibrationData::ValidView(int camera, int view) const {
  return ValidCamera(camera) && view >= 0 && view < GetViewCount(camera);
}

void CCalibrationData::AppendView(Camera& camera, std::unique_ptr<cv::Mat> image, int enabled, int hasPoints,
                                  PointList points, bool missingImage, QByteArray jpegBytes) {
  QImage bitmap = GDI::WrapViewImage(*image);
  camera.images.push_back(std::move(image));
  camera.bitmaps.push_back(std::move(bitmap));
  camera.enabled.push_back(enabled);
  camera.hasPoints.push_back(hasPoints);
  camera.missingImage.push_back(missingImage ? 1 : 0);
  camera.stale.push_back(0);
  camera.jpegBytes.push_back(std::move(jpegBytes));
  camera.gridPoints.push_back(std::move(points));
  camera.borderPoints.emplace_back();
}

int CCalibrationData::AddViewFromFile(int camera, const std::string& imagePath, int enabled, int hasPoints,
                                      const std::string& pointsPath, std::string* problem) {
  if (!ValidCamera(camera)) throw std::out_of_range("AddViewFromFile: no camera " + std::to_string(camera));
  // The file is read once: the pixels and the bytes a save copies are the same picture.
  QFile file(QString::fromStdString(imagePath));
  if (!file.open(QIODevice::ReadOnly)) {
    if (problem) *problem = "\"" + imagePath + "\" cannot be read (" + file.errorString().toStdString() + ")";
    return kViewUnreadable;
  }
  QByteArray bytes = file.readAll();
  file.close();
  const uint8_t* pixels = nullptr;
  int width = 0, height = 0, stride = 0;
  std::string why;
  const QImage bitmap = GDI::DecodeBitmap(bytes, &pixels, &width, &height, &stride, &why);
  if (bitmap.isNull()) {
    if (problem) *problem = "\"" + imagePath + "\" " + why;
    return kViewUnreadable;
  }
  if (!FitsImageSize(camera, width, height)) {
    if (problem)
      *problem = "\"" + imagePath + "\" is " + SizeText(width, height) + ", but the camera's views are " +
                 SizeText(GetImageWidth(camera), GetImageHeight(camera));
    return kViewOtherSize;
  }
  if (!GDI::IsJpegFile(bytes)) bytes.clear();
  PointList points;
  if (!pointsPath.empty()) points = ReadPointsFile(pointsPath);
  AppendView(cameras_[camera], ViewImageFromBitmap(bitmap, pixels, width, height, stride), enabled, hasPoints,
             std::move(points), false, std::move(bytes));
  return 0;
}

void CCalibrationData::AddPlaceholderView(int camera, int width, int height, int hasPoints,
                                          const std::string& pointsPath) {
  if (!ValidCamera(camera)) throw std::out_of_range("AddPlaceholderView: no camera " + std::to_string(camera));
  Camera& c = cameras_[camera];
  const cv::Size size(std::max(width, 1), std::max(height, 1));
  if (c.placeholder.size() != size) {
    c.placeholder = *NewViewImage(size.width, size.height);
    c.placeholder.setTo(cv::Scalar(128, 128, 128));
  }
  PointList points;
  if (!pointsPath.empty()) points = ReadPointsFile(pointsPath);
  AppendView(c, std::make_unique<cv::Mat>(c.placeholder), 0, hasPoints, std::move(points), true);
}

bool CCalibrationData::FitsImageSize(int camera, int width, int height) const {
  if (!ValidCamera(camera) || cameras_[camera].images.empty()) return true;
  return width == GetImageWidth(camera) && height == GetImageHeight(camera);
}

bool CCalibrationData::AddViewFromFrame(int camera, cv::Mat image) {
  if (!ValidCamera(camera) || image.empty() || image.type() != CV_8UC3) return false;
  if (!FitsImageSize(camera, image.cols, image.rows)) return false;
  AppendView(cameras_[camera], AlignedViewImage(image), 1, 0, {});
  return true;
}

bool CCalibrationData::RemoveView(int camera, int view) {
  if (!ValidView(camera, view)) return false;
  Camera& c = cameras_[camera];
  c.images.erase(c.images.begin() + view);
  c.bitmaps.erase(c.bitmaps.begin() + view);
  c.gridPoints.erase(c.gridPoints.begin() + view);
  c.borderPoints.erase(c.borderPoints.begin() + view);
  c.enabled.erase(c.enabled.begin() + view);
  c.hasPoints.erase(c.hasPoints.begin() + view);
  c.missingImage.erase(c.missingImage.begin() + view);
  c.stale.erase(c.stale.begin() + view);
  c.jpegBytes.erase(c.jpegBytes.begin() + view);
  c.problem = std::make_unique<CalibrationProblem>();
  return true;
}

const cv::Mat* CCalibrationData::GetViewImage(int camera, int view) const {
  return ValidView(camera, view) ? cameras_[camera].images[view].get() : nullptr;
}

const QImage* CCalibrationData::GetViewBitmap(int camera, int view) const {
  return ValidView(camera, view) ? &cameras_[camera].bitmaps[view] : nullptr;
}

QByteArray CCalibrationData::GetViewJpegBytes(int camera, int view) const {
  return ValidView(camera, view) ? cameras_[camera].jpegBytes[view] : QByteArray();
}

int CCalibrationData::IsViewEnabled(int camera, int view) const {
  return ValidView(camera, view) ? cameras_[camera].enabled[view] : 0;
}

void CCalibrationData::EnableView(int camera, int view) {
  if (ValidView(camera, view) && !cameras_[camera].missingImage[view]) cameras_[camera].enabled[view] = 1;
}

void CCalibrationData::DisableView(int camera, int view) {
  if (ValidView(camera, view)) cameras_[camera].enabled[view] = 0;
}

void CCalibrationData::SetViewHasPoints(int camera, int view, int flag) {
  if (ValidView(camera, view)) cameras_[camera].hasPoints[view] = flag != 0 ? 1 : 0;
}

bool CCalibrationData::ViewHasPoints(int camera, int view) const {
  return ValidView(camera, view) && cameras_[camera].hasPoints[view] != 0;
}

int CCalibrationData::GetPointCount(int camera, int view) const {
  return ValidView(camera, view) ? static_cast<int>(cameras_[camera].gridPoints[view].size()) : 0;
}

ImagePoint CCalibrationData::GetPoint(int camera, int view, int point) const {
  if (!ValidView(camera, view)) return {-1, -1};
  const PointList& points = cameras_[camera].gridPoints[view];
  if (point < 0 || point >= static_cast<int>(points.size())) return {-1, -1};
  return points[point];
}

bool CCalibrationData::ViewMissingImage(int camera, int view) const {
  return ValidView(camera, view) && cameras_[camera].missingImage[view] != 0;
}

std::vector<int> CCalibrationData::StaleViews(int camera) const {
  std::vector<int> stale;
  if (!ValidCamera(camera)) return stale;
  const Camera& c = cameras_[camera];
  for (size_t v = 0; v < c.gridPoints.size(); ++v) {
    const bool marked = !c.gridPoints[v].empty() || c.hasPoints[v] != 0;
    if (marked && (c.stale[v] != 0 || !IsCompleteView(c.gridPoints[v], c.grid))) stale.push_back(static_cast<int>(v));
  }
  return stale;
}

bool CCalibrationData::IsViewStale(int camera, int view) const {
  return ValidView(camera, view) && cameras_[camera].stale[view] != 0;
}

void CCalibrationData::MarkViewPointsCurrent(int camera, int view) {
  if (!ValidView(camera, view)) return;
  cameras_[camera].hasPoints[view] = 1;
  cameras_[camera].stale[view] = 0;
}

void CCalibrationData::ClearViewPoints(int camera, int view) {
  if (!ValidView(camera, view)) return;
  cameras_[camera].gridPoints[view].clear();
  cameras_[camera].borderPoints[view].clear();
  cameras_[camera].hasPoints[view] = 0;
  cameras_[camera].stale[view] = 0;
}

std::vector<RunView> CCalibrationData::GetRunViews(int camera) const {
  std::vector<RunView> views;
  if (!ValidCamera(camera)) return views;
  const Camera& c = cameras_[camera];
  views.resize(c.gridPoints.size());
  for (size_t v = 0; v < views.size(); ++v) {
    views[v].points = c.gridPoints[v];
    views[v].enabled = c.enabled[v] != 0;
    views[v].hasImage = c.missingImage[v] == 0;
    views[v].stale = c.stale[v] != 0;
  }
  return views;
}

std::vector<PointList>* CCalibrationData::GetGridPointLists(int camera) {
  return ValidCamera(camera) ? &cameras_[camera].gridPoints : nullptr;
}

const std::vector<PointList>* CCalibrationData::GetGridPointLists(int camera) const {
  return ValidCamera(camera) ? &cameras_[camera].gridPoints : nullptr;
}

PointList* CCalibrationData::GetGridPoints(int camera, int view) {
  return ValidView(camera, view) ? &cameras_[camera].gridPoints[view] : nullptr;
}

PointList* CCalibrationData::GetBorderPoints(int camera, int view) {
  return ValidView(camera, view) ? &cameras_[camera].borderPoints[view] : nullptr;
}

bool CCalibrationData::WriteIntrinsicFile(int camera, const std::string& path) const {
  if (!ValidCamera(camera)) return false;
  const CameraParameters& p = cameras_[camera].parameters;
  TextFileWriter out(path);
  if (!out.IsOpen()) return false;
  auto row = [&out](const double* values, int count) {
    for (int i = 0; i < count; ++i) {
      if (i) out.Space();
      out.Double(values[i]);
    }
    out.EndLine();
  };
  for (int r = 0; r < 3; ++r) row(&p.K[3 * r], 3);
  row(p.distortion.data(), 4);
  for (int r = 0; r < 3; ++r) row(&p.R[3 * r], 3);
  row(p.T.data(), 3);
  out.Int(p.width).Space().Int(p.height).EndLine();
  return out.Close();
}

bool CCalibrationData::ReadIntrinsicFile(int camera, const std::string& path) {
  if (!ValidCamera(camera)) return false;
  auto fields = TextFields::Read(path);
  if (!fields) return false;
  CameraParameters p = cameras_[camera].parameters;
  auto read = [&fields](double* values, int count) {
    for (int i = 0; i < count; ++i) {
      auto v = fields->NextDouble();
      if (!v) return false;
      values[i] = *v;
    }
    return true;
  };
  if (!read(p.K.data(), 9) || !read(p.distortion.data(), 4) || !read(p.R.data(), 9) || !read(p.T.data(), 3))
    return false;
  auto width = fields->NextInt();
  auto height = fields->NextInt();
  if (!width || !height) return false;
  p.distortion[4] = 0.0;
  p.width = *width;
  p.height = *height;
  cameras_[camera].parameters = p;  // only a complete file replaces the parameters
  return true;
}

bool CCalibrationData::WriteExtrinsicFile(int camera, const std::string& path) const {
  if (!ValidCamera(camera)) return false;
  const CalibrationProblem& problem = *cameras_[camera].problem;
  TextFileWriter out(path);
  if (!out.IsOpen()) return false;
  auto triple = [&out](const double* v) {
    out.Double(v[0]).Space().Double(v[1]).Space().Double(v[2]).EndLine();
  };
  for (int v = 0; v < problem.viewCount; ++v) {
    for (int r = 0; r < 3; ++r) triple(&problem.rotationMatrices[9 * v + 3 * r]);
    triple(&problem.rotationVectors[3 * v]);
    triple(&problem.translations[3 * v]);
  }
  return out.Close();
}

bool CCalibrationData::ReadExtrinsicFile(int camera, const std::string& path) {
  if (!ValidCamera(camera)) return false;
  auto fields = TextFields::Read(path);
  if (!fields) return false;
  CalibrationProblem& problem = *cameras_[camera].problem;
  // Reads as many complete blocks as the file holds, up to the view count.
  for (int v = 0; v < problem.viewCount; ++v) {
    double block[15];
    for (double& value : block) {
      auto next = fields->NextDouble();
      if (!next) return true;
      value = *next;
    }
    std::copy(block, block + 9, &problem.rotationMatrices[9 * v]);
    std::copy(block + 9, block + 12, &problem.rotationVectors[3 * v]);
    std::copy(block + 12, block + 15, &problem.translations[3 * v]);
  }
  return true;
}

bool CCalibrationData::WritePointsFile(int camera, int view, const std::string& path) const {
  if (!ValidView(camera, view)) return false;
  TextFileWriter out(path);
  for (const ImagePoint& p : cameras_[camera].gridPoints[view]) out.Double(p.x).Space().Double(p.y).EndLine();
  return out.Close();
}

bool CCalibrationData::SaveViewImage(int camera, int view, const std::string& path, const char* format) const {
  if (!ValidView(camera, view)) return false;
  const QByteArray& original = cameras_[camera].jpegBytes[view];
  const QString name = QString::fromLatin1(format).toLower();
  if (original.isEmpty() || (name != "jpg" && name != "jpeg"))
    return GDI::SaveImage(path, cameras_[camera].bitmaps[view], format);
  QFile file(QString::fromStdString(path));
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
  const bool written = file.write(original) == original.size();
  return file.flush() && written;
}

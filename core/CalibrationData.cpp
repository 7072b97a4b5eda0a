#include "core/CalibrationData.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

#include "calib/CalibrationProblem.h"
#include "core/ModelFile.h"
#include "core/TextIO.h"
#include "imaging/GDI.h"

namespace {

// Every picture a view is given gets a new id, across stores and threads.
std::atomic<uint64_t> nextImageId{1};

uint64_t NewImageId() { return nextImageId.fetch_add(1, std::memory_order_relaxed); }

// Thumbnails are keyed by picture and requested size.
uint64_t ThumbnailKey(uint64_t imageId, cv::Size atLeast) {
  const auto side = [](int v) { return static_cast<uint64_t>(std::clamp(v, 0, 1023)); };
  return (imageId << 20) | (side(atLeast.width) << 10) | side(atLeast.height);
}

bool IsJpegFormat(const char* format) {
  const std::string name = format ? format : "";
  return name == "jpg" || name == "jpeg" || name == "JPG" || name == "JPEG";
}

bool WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && written;
}

// How a problem with a view's picture names it.
std::string NameOf(const ViewImageSource& source) {
  return source.kind() == ViewImageSource::Kind::File ? "\"" + source.Path() + "\"" : "the grabbed frame";
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
  ForgetPictures(cameras_[index]);
  cameras_.erase(cameras_.begin() + index);
  return true;
}

void CCalibrationData::ForgetPictures(const Camera& camera) const {
  for (uint64_t id : camera.imageIds) images_.Erase(id);
}

void CCalibrationData::ClearCameraViews(int index) {
  if (!ValidCamera(index)) return;
  Camera& c = cameras_[index];
  ForgetPictures(c);
  c.images.clear();
  c.imageIds.clear();
  c.gridPoints.clear();
  c.borderPoints.clear();
  c.enabled.clear();
  c.hasPoints.clear();
  c.missingImage.clear();
  c.stale.clear();
}

CameraParameters CCalibrationData::GetCameraParameters(int index) const { return cameras_.at(index).parameters; }

void CCalibrationData::SetCameraParameters(int index, const CameraParameters& parameters) {
  if (ValidCamera(index)) cameras_[index].parameters = parameters;
}

CalibrationSettings CCalibrationData::GetCalibrationSettings(int index) const {
  return ValidCamera(index) ? cameras_[index].settings : CalibrationSettings{};
}

void CCalibrationData::SetCalibrationSettings(int index, const CalibrationSettings& settings) {
  if (ValidCamera(index)) cameras_[index].settings = settings;
}

bool CCalibrationData::NeedsModelFile(int camera) const {
  return ValidCamera(camera) &&
         (cameras_[camera].parameters.model != LensModel::PinholeRadtan || !cameras_[camera].settings.IsDefault());
}

bool CCalibrationData::WriteModelFile(int camera, const std::string& path) const {
  if (!ValidCamera(camera)) return false;
  TextFileWriter out(path);
  if (!out.IsOpen()) return false;
  out.Text(FormatModelFile(cameras_[camera].parameters, cameras_[camera].settings));
  return out.Close();
}

bool CCalibrationData::ReadModelFile(int camera, const std::string& path) {
  if (!ValidCamera(camera)) return false;
  auto fields = TextFields::Read(path, 1u << 16);
  if (!fields) return false;
  CameraParameters parameters = cameras_[camera].parameters;
  CalibrationSettings settings;
  if (!ParseModelFile(*fields, parameters, settings)) return false;
  cameras_[camera].parameters = parameters;
  cameras_[camera].settings = settings;
  return true;
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
  return ValidCamera(index) && !cameras_[index].images.empty() ? cameras_[index].images.front().Size().width : 0;
}

int CCalibrationData::GetImageHeight(int index) const {
  return ValidCamera(index) && !cameras_[index].images.empty() ? cameras_[index].images.front().Size().height : 0;
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

void CCalibrationData::AppendView(Camera& camera, ViewImageSource image, int enabled, int hasPoints,
                                  PointList points, bool missingImage) {
  camera.images.push_back(std::move(image));
  camera.imageIds.push_back(NewImageId());
  camera.enabled.push_back(enabled);
  camera.hasPoints.push_back(hasPoints);
  camera.missingImage.push_back(missingImage ? 1 : 0);
  camera.stale.push_back(0);
  camera.gridPoints.push_back(std::move(points));
  camera.borderPoints.emplace_back();
}

int CCalibrationData::AddViewFromFile(int camera, const std::string& imagePath, int enabled, int hasPoints,
                                      const std::string& pointsPath, std::string* problem) {
  if (!ValidCamera(camera)) throw std::out_of_range("AddViewFromFile: no camera " + std::to_string(camera));
  std::string why;
  ViewImageSource image = ViewImageSource::OpenFile(imagePath, &why);
  if (image.empty()) {
    if (problem) *problem = "\"" + imagePath + "\" " + why;
    return kViewUnreadable;
  }
  const cv::Size size = image.Size();
  if (!FitsImageSize(camera, size.width, size.height)) {
    if (problem)
      *problem = "\"" + imagePath + "\" is " + SizeText(size.width, size.height) + ", but the camera's views are " +
                 SizeText(GetImageWidth(camera), GetImageHeight(camera));
    return kViewOtherSize;
  }
  PointList points;
  if (!pointsPath.empty()) points = ReadPointsFile(pointsPath);
  AppendView(cameras_[camera], std::move(image), enabled, hasPoints, std::move(points));
  return 0;
}

void CCalibrationData::AddPlaceholderView(int camera, int width, int height, int hasPoints,
                                          const std::string& pointsPath) {
  if (!ValidCamera(camera)) throw std::out_of_range("AddPlaceholderView: no camera " + std::to_string(camera));
  Camera& c = cameras_[camera];
  const cv::Size size(std::max(width, 1), std::max(height, 1));
  if (c.placeholder.Size() != size) c.placeholder = ViewImageSource::Placeholder(size);
  PointList points;
  if (!pointsPath.empty()) points = ReadPointsFile(pointsPath);
  AppendView(c, c.placeholder, 0, hasPoints, std::move(points), true);
}

bool CCalibrationData::FitsImageSize(int camera, int width, int height) const {
  if (!ValidCamera(camera) || cameras_[camera].images.empty()) return true;
  return width == GetImageWidth(camera) && height == GetImageHeight(camera);
}

bool CCalibrationData::AddViewFromFrame(int camera, const cv::Mat& image) {
  if (!ValidCamera(camera) || image.empty() || image.type() != CV_8UC3) return false;
  if (!FitsImageSize(camera, image.cols, image.rows)) return false;
  ViewImageSource source = ViewImageSource::FromFrame(image);
  if (source.empty()) return false;
  AppendView(cameras_[camera], std::move(source), 1, 0, {});
  return true;
}

bool CCalibrationData::RemoveView(int camera, int view) {
  if (!ValidView(camera, view)) return false;
  Camera& c = cameras_[camera];
  images_.Erase(c.imageIds[view]);
  c.images.erase(c.images.begin() + view);
  c.imageIds.erase(c.imageIds.begin() + view);
  c.gridPoints.erase(c.gridPoints.begin() + view);
  c.borderPoints.erase(c.borderPoints.begin() + view);
  c.enabled.erase(c.enabled.begin() + view);
  c.hasPoints.erase(c.hasPoints.begin() + view);
  c.missingImage.erase(c.missingImage.begin() + view);
  c.stale.erase(c.stale.begin() + view);
  c.problem = std::make_unique<CalibrationProblem>();
  return true;
}

ViewPixels CCalibrationData::GetViewImage(int camera, int view, std::string* problem) const {
  if (!ValidView(camera, view)) return nullptr;
  const uint64_t id = cameras_[camera].imageIds[view];
  if (ViewPixels cached = images_.Find(id)) return cached;
  const ViewImageSource& source = cameras_[camera].images[view];
  std::string why;
  cv::Mat decoded = source.Decode(&why);
  if (decoded.empty()) {
    if (problem) *problem = NameOf(source) + " " + why;
    return nullptr;
  }
  auto pixels = std::make_shared<const cv::Mat>(std::move(decoded));
  // Frames and placeholders hold their pixels already: only decoded files are kept.
  if (source.kind() == ViewImageSource::Kind::File) images_.Insert(id, pixels);
  return pixels;
}

namespace {

void ReleasePixels(void* holder) { delete static_cast<ViewPixels*>(holder); }

}  // namespace

QImage CCalibrationData::GetViewBitmap(int camera, int view) const { return BitmapOf(GetViewImage(camera, view)); }

QImage CCalibrationData::BitmapOf(ViewPixels pixels) {
  if (!pixels || pixels->empty() || pixels->type() != CV_8UC3) return {};
  const cv::Mat& image = *pixels;
  // The bitmap's last copy releases its hold on the pixels.
  return QImage(image.data, image.cols, image.rows, static_cast<qsizetype>(image.step), QImage::Format_BGR888,
                &ReleasePixels, new ViewPixels(std::move(pixels)));
}

ViewPixels CCalibrationData::PeekViewImage(int camera, int view) const {
  return ValidView(camera, view) ? images_.Find(cameras_[camera].imageIds[view]) : nullptr;
}

ViewPixels CCalibrationData::MakeViewThumbnail(const ViewImageSource& source, cv::Size atLeast) {
  cv::Mat reduced = source.DecodeReduced(atLeast);
  if (reduced.empty()) return nullptr;
  // The decoder's smallest picture is still up to twice the size asked for.
  const double scale = std::max(static_cast<double>(atLeast.width) / reduced.cols,
                                static_cast<double>(atLeast.height) / reduced.rows);
  if (scale < 0.75) {
    cv::Mat smaller = NewViewImage(std::max(1, static_cast<int>(std::ceil(reduced.cols * scale))),
                                   std::max(1, static_cast<int>(std::ceil(reduced.rows * scale))));
    cv::resize(reduced, smaller, smaller.size(), 0, 0, cv::INTER_AREA);
    reduced = smaller;
  }
  return std::make_shared<const cv::Mat>(std::move(reduced));
}

ViewPixels CCalibrationData::FindViewThumbnail(int camera, int view, cv::Size atLeast) const {
  if (!ValidView(camera, view)) return nullptr;
  return thumbnails_.Find(ThumbnailKey(cameras_[camera].imageIds[view], atLeast));
}

void CCalibrationData::KeepViewThumbnail(uint64_t imageId, cv::Size atLeast, ViewPixels thumbnail) const {
  thumbnails_.Insert(ThumbnailKey(imageId, atLeast), std::move(thumbnail));
}

ViewPixels CCalibrationData::GetViewThumbnail(int camera, int view, cv::Size atLeast) const {
  if (!ValidView(camera, view)) return nullptr;
  if (ViewPixels kept = FindViewThumbnail(camera, view, atLeast)) return kept;
  ViewPixels made = MakeViewThumbnail(cameras_[camera].images[view], atLeast);
  if (made) KeepViewThumbnail(cameras_[camera].imageIds[view], atLeast, made);
  return made;
}

cv::Size CCalibrationData::GetViewSize(int camera, int view) const {
  return ValidView(camera, view) ? cameras_[camera].images[view].Size() : cv::Size();
}

uint64_t CCalibrationData::GetViewImageId(int camera, int view) const {
  return ValidView(camera, view) ? cameras_[camera].imageIds[view] : 0;
}

ViewImageSource CCalibrationData::GetViewImageSource(int camera, int view) const {
  return ValidView(camera, view) ? cameras_[camera].images[view] : ViewImageSource();
}

void CCalibrationData::SetImageCacheBudget(size_t bytes) { images_.SetBudget(bytes); }

bool CCalibrationData::RebindViewImage(int camera, int view, const std::string& path) {
  if (!ValidView(camera, view)) return false;
  ViewImageSource saved = ViewImageSource::OpenFile(path);
  const ViewImageSource& current = cameras_[camera].images[view];
  if (saved.empty() || saved.Size() != current.Size()) return false;
  // A JPEG saved as it was keeps its pixels, and its cached picture with them.
  const bool samePixels = current.IsJpeg();
  cameras_[camera].images[view] = std::move(saved);
  if (!samePixels) {
    images_.Erase(cameras_[camera].imageIds[view]);
    cameras_[camera].imageIds[view] = NewImageId();
  }
  return true;
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
  const std::array<double, 4> pinholeRadtan{};  // another model's coefficients are no k1 k2 p1 p2
  row(p.model == LensModel::PinholeRadtan ? p.distortion.data() : pinholeRadtan.data(), 4);
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
  std::fill(p.distortion.begin() + 4, p.distortion.end(), 0.0);
  p.model = LensModel::PinholeRadtan;
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

bool CCalibrationData::SaveViewImage(int camera, int view, const std::string& path, const char* format,
                                     std::string* problem) const {
  if (!ValidView(camera, view)) return false;
  const ViewImageSource& source = cameras_[camera].images[view];
  if (IsJpegFormat(format) && source.IsJpeg()) {
    std::vector<uint8_t> bytes;
    std::string why;
    if (!source.ReadJpeg(bytes, &why)) {
      if (problem) *problem = NameOf(source) + " " + why;
      return false;
    }
    return WriteBytes(path, bytes);
  }
  // Decoded for the save alone: the cache is left to the pictures being looked at.
  ViewPixels pixels = images_.Find(cameras_[camera].imageIds[view]);
  std::string why;
  cv::Mat decoded = pixels ? *pixels : source.Decode(&why);
  if (decoded.empty()) {
    if (problem) *problem = NameOf(source) + " " + why;
    return false;
  }
  return GDI::SaveImage(path, GDI::WrapViewImage(decoded), format);
}

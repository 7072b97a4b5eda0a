#include "view3d/SceneContent.h"

#include <algorithm>
#include <cmath>

#include "imaging/MVG.h"

namespace D3D {

namespace {

bool PoseIsFinite(const double* R, const double* t) {
  return std::all_of(R, R + 9, [](double v) { return std::isfinite(v); }) &&
         std::all_of(t, t + 3, [](double v) { return std::isfinite(v); });
}

}  // namespace

SceneContent::SceneContent() { ComputeBoundsLocked(); }

void SceneContent::Clear() {
  auto lock = Lock();
  meshes_.clear();
  pyramids_.clear();
  thumbnails_.clear();
  gridTextures_.clear();
  textureGrids_.clear();
  boxPresent_ = false;
  highlighted_ = -1;
  ++generation_;
  ComputeBoundsLocked();
}

int SceneContent::TextureForGridLocked(const GridDescription& grid) {
  for (size_t i = 0; i < textureGrids_.size(); ++i) {
    const GridDescription& g = textureGrids_[i];
    if (g.nx == grid.nx && g.ny == grid.ny && g.dX == grid.dX && g.dY == grid.dY) return static_cast<int>(i);
  }
  QImage texture = MakeChequerboardTexture(grid.nx, grid.ny, grid.dX, grid.dY);
  if (texture.isNull()) return -1;
  gridTextures_.push_back(std::move(texture));
  textureGrids_.push_back(grid);
  return static_cast<int>(gridTextures_.size()) - 1;
}

bool SceneContent::AddGridMesh(const GridDescription& grid, const double* R, const double* t) {
  if (!PoseIsFinite(R, t)) return false;
  GridMesh mesh = BuildGridMesh(grid, R, t);
  if (mesh.vertices.empty()) return false;
  auto lock = Lock();
  mesh.texture = TextureForGridLocked(grid);
  meshes_.push_back(std::move(mesh));
  return true;
}

bool SceneContent::AddCameraPyramid(const CameraParameters& parameters, const double* R, const double* t) {
  CameraParameters atPose = parameters;
  std::copy(R, R + 9, atPose.R.begin());
  std::copy(t, t + 3, atPose.T.begin());
  const MVG::CameraRecord record = MVG::MakeCameraRecord(atPose);
  // Pyramids grow with the camera's distance from the grid so that they stay
  // visible whatever length unit the grid was measured in.
  PyramidDrawingParameters drawing = pyramidParameters_;
  const double distance = std::sqrt(t[0] * t[0] + t[1] * t[1] + t[2] * t[2]);
  if (std::isfinite(distance) && distance > 0.0) drawing.imagePlaneDepth = kPyramidDepthPerDistance * distance;
  CameraPyramid pyramid{};
  if (!CameraPyramidDrawingAA(record, drawing, kPyramidColour, pyramid)) return false;
  auto lock = Lock();
  pyramids_.push_back(pyramid);
  return true;
}

void SceneContent::AddThumbnail(const QImage& thumbnail) {
  auto lock = Lock();
  thumbnails_.push_back(thumbnail);
}

void SceneContent::ComputeBoundsLocked() {
  std::vector<Vector3> points;
  for (const GridMesh& mesh : meshes_)
    for (const MeshVertex& v : mesh.vertices) points.push_back({v.x, v.y, v.z});
  meshBox_ = ComputeSceneBox(points);

  points.clear();
  for (const CameraPyramid& pyramid : pyramids_) points.insert(points.end(), pyramid.points.begin(), pyramid.points.end());
  pyramidBox_ = ComputeSceneBox(points);
}

void SceneContent::FrameScene() {
  auto lock = Lock();
  ComputeBoundsLocked();
}

void SceneContent::ComputeBoxes() {
  auto lock = Lock();
  ComputeBoundsLocked();
  boxPresent_ = true;
}

void SceneContent::ToggleViewMode() {
  auto lock = Lock();
  if (viewMode_ == kReleased) return;
  viewMode_ = viewMode_ == kCameraCentred ? kObjectCentred : kCameraCentred;
}

void SceneContent::Release() {
  auto lock = Lock();
  viewMode_ = kReleased;
}

int SceneContent::ViewMode() const {
  auto lock = Lock();
  return viewMode_;
}

void SceneContent::ToggleAntiAliasing() {
  auto lock = Lock();
  antiAliased_ = !antiAliased_;
}

bool SceneContent::AntiAliased() const {
  auto lock = Lock();
  return antiAliased_;
}

int SceneContent::ViewCountLocked() const {
  return static_cast<int>(std::max(meshes_.size(), pyramids_.size()));
}

int SceneContent::ViewCount() const {
  auto lock = Lock();
  return ViewCountLocked();
}

// The highlight runs through the views and then through "none" (-1), so
// that stepping on eventually shows every view plain again.
void SceneContent::NextCamera() {
  auto lock = Lock();
  const int count = ViewCountLocked();
  highlighted_ = highlighted_ + 1 < count ? highlighted_ + 1 : -1;
}

void SceneContent::PreviousCamera() {
  auto lock = Lock();
  const int count = ViewCountLocked();
  highlighted_ = highlighted_ == -1 ? count - 1 : highlighted_ - 1;
}

int SceneContent::HighlightedView() const {
  auto lock = Lock();
  return highlighted_;
}

const SceneBox& SceneContent::CurrentBoxLocked() const {
  return viewMode_ == kObjectCentred ? pyramidBox_ : meshBox_;
}

Vector3 SceneContent::LookAtTargetLocked() const { return CurrentBoxLocked().centre; }

Vector3 SceneContent::LookAtTarget() const {
  auto lock = Lock();
  return LookAtTargetLocked();
}

// The box's bounding sphere, seen from the eye, fills kFramingFill of the
// picture's half-height (the picture is square).
double SceneContent::EyeDistanceLocked() const {
  const SceneBox& box = CurrentBoxLocked();
  const Vector3 half = (box.maximum - box.minimum) * 0.5;
  const double radius = std::sqrt(Dot(half, half));
  return radius / std::sin(std::atan(kFramingFill * std::tan(kFieldOfViewY / 2)));
}

// An axis reaches an eighth of the current box's longest side, never less
// than its own length (the picture before any run keeps it).
double SceneContent::AxisScaleLocked() const {
  const SceneBox& box = CurrentBoxLocked();
  const Vector3 size = box.maximum - box.minimum;
  const double longest = std::max({size.x, size.y, size.z});
  return std::max(1.0, longest / 8.0 / kAxisHalfLength);
}

double SceneContent::EyeDistance() const {
  auto lock = Lock();
  return EyeDistanceLocked();
}

double SceneContent::ViewHeightAtTargetLocked() const {
  return 2.0 * EyeDistanceLocked() * std::tan(kFieldOfViewY / 2);
}

SceneMatrices SceneContent::SetUpMatricesLocked(const Matrix4& world) const {
  const Vector3 target = LookAtTargetLocked();
  const double distance = EyeDistanceLocked();
  const Vector3 eye = target + Normalize(kEye) * distance;
  SceneMatrices m;
  m.world = MatrixTranslation(-target.x, -target.y, -target.z) * world * MatrixTranslation(target.x, target.y, target.z);
  m.view = MatrixLookAtLH(eye, target, kUp);
  // Depth range around the scene with room for zooming in and out.
  m.nearPlane = std::max(1e-3, distance * 0.01);
  m.farPlane = distance * 20.0;
  m.projection = MatrixPerspectiveFovLH(kFieldOfViewY, 1.0, m.nearPlane, m.farPlane);
  m.product = m.world * m.view * m.projection;
  return m;
}

}  // namespace D3D

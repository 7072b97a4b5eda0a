#include "view3d/SceneContent.h"

#include <algorithm>
#include <cmath>

#include "sources/inhouse/MVG.h"

namespace D3D {

namespace {

bool PoseIsFinite(const double* R, const double* t) {
  return std::all_of(R, R + 9, [](double v) { return std::isfinite(v); }) &&
         std::all_of(t, t + 3, [](double v) { return std::isfinite(v); });
}

}  // namespace

bool SceneContent::AddGridMesh(const double* R, const double* t) {
  if (!PoseIsFinite(R, t)) return false;
  const GridMesh mesh = BuildGridMesh(R, t);
  auto lock = Lock();
  meshes_.push_back(mesh);
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

bool SceneContent::SetGridTexture(int nx, int ny, double dX, double dY) {
  auto lock = Lock();
  if (!gridTexture_.isNull()) return false;
  gridTexture_ = MakeChequerboardTexture(nx, ny, dX, dY);
  return !gridTexture_.isNull();
}

void SceneContent::AddThumbnail(const QImage& thumbnail) {
  auto lock = Lock();
  thumbnails_.push_back(thumbnail);
}

void SceneContent::ComputeBoxes() {
  auto lock = Lock();
  std::vector<Vector3> points;
  points.reserve(meshes_.size() * kMeshVertexCount);
  for (const GridMesh& mesh : meshes_)
    for (const MeshVertex& v : mesh.vertices) points.push_back({v.x, v.y, v.z});
  meshBox_ = ComputeSceneBox(points);

  points.clear();
  for (const CameraPyramid& pyramid : pyramids_) points.insert(points.end(), pyramid.points.begin(), pyramid.points.end());
  pyramidBox_ = ComputeSceneBox(points);
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

void SceneContent::SetAxesShown(bool shown) {
  auto lock = Lock();
  axesShown_ = shown;
}

bool SceneContent::AxesShown() const {
  auto lock = Lock();
  return axesShown_;
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

Vector3 SceneContent::LookAtTargetLocked() const {
  if (!boxPresent_) return {0.0, 0.0, 0.0};
  return viewMode_ == kObjectCentred ? pyramidBox_.centre : meshBox_.centre;
}

Vector3 SceneContent::LookAtTarget() const {
  auto lock = Lock();
  return LookAtTargetLocked();
}

SceneMatrices SceneContent::SetUpMatricesLocked(const Matrix4& world) const {
  SceneMatrices m;
  m.world = MatrixIdentity() * world;
  m.view = MatrixLookAtLH(kEye, LookAtTargetLocked(), kUp);
  m.projection = MatrixPerspectiveFovLH(kFieldOfViewY, 1.0, kNearPlane, kFarPlane);
  m.product = m.world * m.view * m.projection;
  return m;
}

}  // namespace D3D

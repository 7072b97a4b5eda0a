#pragma once
// What the 3D results window shows, kept apart from the drawing so that it
// can be filled while the window is hidden (before any OpenGL context
// exists) and checked without a display. Every operation takes the scene's
// lock, which rendering also holds while it reads the content.

#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

#include <QImage>

#include "core/Records.h"
#include "view3d/D3DGeometry.h"
#include "view3d/D3DMath.h"

namespace D3D {

enum ViewMode { kCameraCentred = 0, kObjectCentred = 1, kReleased = -1 };

constexpr uint32_t kClearColour = 0xFFFFFFFF;
constexpr uint32_t kPyramidColour = 0xff0000ff;
constexpr uint32_t kHighlightColour = 0xFFFFBF00;
constexpr uint32_t kLabelColour = 0xf00000ff;
const Vector3 kEye{30.0, 100.0, -200.0};
const Vector3 kUp{0.0, 1.0, 0.0};
constexpr double kFieldOfViewY = 0.7853982;
constexpr double kNearPlane = 1.0;
constexpr double kFarPlane = 1000.0;
// Depth of a pyramid's image plane as a share of the camera's distance from the grid.
constexpr double kPyramidDepthPerDistance = 0.12;

struct SceneMatrices {
  Matrix4 world;
  Matrix4 view;
  Matrix4 projection;
  Matrix4 product;  // world * view * projection
};

class SceneContent {
 public:
  // Appends the drawn grid at the pose Xc = R * X + t; false (nothing
  // added) for a pose with values that are not finite.
  bool AddGridMesh(const double* R, const double* t);
  // Appends a camera pyramid for the parameters at the pose (R, t); false
  // when the parameters cannot be drawn (no focal length).
  bool AddCameraPyramid(const CameraParameters& parameters, const double* R, const double* t);
  // Builds the grid texture the first time a usable grid arrives; later
  // calls change nothing. True when this call built it.
  bool SetGridTexture(int nx, int ny, double dX, double dY);
  void AddThumbnail(const QImage& thumbnail);
  // "Move world": boxes around the meshes and around the pyramids; each mode
  // then looks at its box centre and draws its box.
  void ComputeBoxes();

  void ToggleViewMode();
  void Release();  // nothing is drawn any more
  int ViewMode() const;
  void ToggleAntiAliasing();
  bool AntiAliased() const;
  void SetAxesShown(bool shown);
  bool AxesShown() const;

  // The highlighted view, -1 for none. Stepping runs through the views and
  // "none" in a ring.
  void NextCamera();
  void PreviousCamera();
  int HighlightedView() const;
  int ViewCount() const;

  // Where the current mode looks: its box centre, the origin until the boxes
  // were computed.
  Vector3 LookAtTarget() const;
  SceneMatrices SetUpMatricesLocked(const Matrix4& world) const;

  // Rendering reads the fields below while holding Lock().
  std::unique_lock<std::mutex> Lock() const { return std::unique_lock<std::mutex>(mutex_); }
  const std::vector<GridMesh>& Meshes() const { return meshes_; }
  const std::vector<CameraPyramid>& Pyramids() const { return pyramids_; }
  const std::vector<QImage>& Thumbnails() const { return thumbnails_; }
  const QImage& GridTexture() const { return gridTexture_; }
  bool BoxPresent() const { return boxPresent_; }
  const SceneBox& MeshBox() const { return meshBox_; }
  const SceneBox& PyramidBox() const { return pyramidBox_; }
  const AxisBuffers& Axis() const { return axis_; }
  int ViewModeLocked() const { return viewMode_; }
  int HighlightedViewLocked() const { return highlighted_; }
  bool AntiAliasedLocked() const { return antiAliased_; }
  bool AxesShownLocked() const { return axesShown_; }
  Vector3 LookAtTargetLocked() const;

 private:
  int ViewCountLocked() const;

  mutable std::mutex mutex_;
  int viewMode_ = kCameraCentred;
  bool antiAliased_ = false;
  bool axesShown_ = true;
  int highlighted_ = -1;
  AxisBuffers axis_ = D3DCreateAxis();
  std::vector<GridMesh> meshes_;
  std::vector<CameraPyramid> pyramids_;
  std::vector<QImage> thumbnails_;
  QImage gridTexture_;
  bool boxPresent_ = false;
  SceneBox meshBox_{};
  SceneBox pyramidBox_{};
  PyramidDrawingParameters pyramidParameters_;
};

}  // namespace D3D

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

#include "records/Records.h"
#include "view3d/D3DGeometry.h"
#include "view3d/D3DMath.h"

namespace D3D {

enum ViewMode { kCameraCentred = 0, kObjectCentred = 1, kReleased = -1 };

constexpr uint32_t kClearColour = 0xFFFFFFFF;
constexpr uint32_t kPyramidColour = 0xff0000ff;
constexpr uint32_t kHighlightColour = 0xFFFFBF00;
constexpr uint32_t kLabelColour = 0xf00000ff;
// The eye looks at the scene from this direction (above, to the right and
// in front of the target), at a distance that frames the scene.
const Vector3 kEye{30.0, 100.0, -200.0};
const Vector3 kUp{0.0, 1.0, 0.0};
constexpr double kFieldOfViewY = 0.7853982;
// Share of the picture's half-height the scene's bounding sphere fills; the
// rest keeps the corner labels of "Move world" inside the picture.
constexpr double kFramingFill = 0.7;
// Depth of a pyramid's image plane as a share of the camera's distance from the grid.
constexpr double kPyramidDepthPerDistance = 0.12;

struct SceneMatrices {
  Matrix4 world;
  Matrix4 view;
  Matrix4 projection;
  Matrix4 product;  // world * view * projection
  double nearPlane = 1.0;
  double farPlane = 1000.0;
};

class SceneContent {
 public:
  SceneContent();

  // Empties the scene for the next calibration's results; the mode and the
  // line style stay.
  void Clear();
  // Appends the camera's grid at the pose Xc = R * X + t, wearing a
  // chequerboard texture of that grid; false (nothing added) for a pose with
  // values that are not finite or a grid that cannot be drawn.
  bool AddGridMesh(const GridDescription& grid, const double* R, const double* t);
  // Appends a camera pyramid for the parameters at the pose (R, t); false
  // when the parameters cannot be drawn (no focal length).
  bool AddCameraPyramid(const CameraParameters& parameters, const double* R, const double* t);
  void AddThumbnail(const QImage& thumbnail);
  // Bounds of both modes' scenes, which the eye frames; call after filling.
  void FrameScene();
  // "Move world": the boxes are drawn from now on (with labels in
  // camera-centred mode).
  void ComputeBoxes();

  void ToggleViewMode();
  void Release();  // nothing is drawn any more
  int ViewMode() const;
  void ToggleAntiAliasing();
  bool AntiAliased() const;

  // The highlighted view, -1 for none. Stepping runs through the views and
  // "none" in a ring.
  void NextCamera();
  void PreviousCamera();
  int HighlightedView() const;
  int ViewCount() const;

  // Where the current mode looks (its box centre) and from how far.
  Vector3 LookAtTarget() const;
  double EyeDistance() const;
  // The world turns about the look-at target: `world` is the mouse's
  // rotation and translation about the origin.
  SceneMatrices SetUpMatricesLocked(const Matrix4& world) const;
  // Height of the picture in world units at the target's distance.
  double ViewHeightAtTargetLocked() const;

  // Rendering reads the fields below while holding Lock().
  std::unique_lock<std::mutex> Lock() const { return std::unique_lock<std::mutex>(mutex_); }
  const std::vector<GridMesh>& Meshes() const { return meshes_; }
  const std::vector<CameraPyramid>& Pyramids() const { return pyramids_; }
  const std::vector<QImage>& Thumbnails() const { return thumbnails_; }
  const std::vector<QImage>& GridTextures() const { return gridTextures_; }
  // Changes whenever Clear empties the scene, so a view drops its uploads.
  int Generation() const { return generation_; }
  bool BoxPresent() const { return boxPresent_; }
  const SceneBox& MeshBox() const { return meshBox_; }
  const SceneBox& PyramidBox() const { return pyramidBox_; }
  const AxisBuffers& Axis() const { return axis_; }
  int ViewModeLocked() const { return viewMode_; }
  int HighlightedViewLocked() const { return highlighted_; }
  bool AntiAliasedLocked() const { return antiAliased_; }
  bool AxesShownLocked() const { return axesShown_; }
  Vector3 LookAtTargetLocked() const;
  double EyeDistanceLocked() const;
  // The axes grow with the scene so the camera at the origin stays visible
  // among grids hundreds of units away: the factor on the axis buffers.
  double AxisScaleLocked() const;

 private:
  int ViewCountLocked() const;
  int TextureForGridLocked(const GridDescription& grid);
  const SceneBox& CurrentBoxLocked() const;
  void ComputeBoundsLocked();

  mutable std::mutex mutex_;
  int viewMode_ = kCameraCentred;
  bool antiAliased_ = false;
  bool axesShown_ = true;
  int highlighted_ = -1;
  int generation_ = 0;
  AxisBuffers axis_ = D3DCreateAxis();
  std::vector<GridMesh> meshes_;
  std::vector<CameraPyramid> pyramids_;
  std::vector<QImage> thumbnails_;
  std::vector<QImage> gridTextures_;
  std::vector<GridDescription> textureGrids_;  // the grid each texture was made for
  bool boxPresent_ = false;
  SceneBox meshBox_{};
  SceneBox pyramidBox_{};
  PyramidDrawingParameters pyramidParameters_;
};

}  // namespace D3D

#pragma once
// Geometry of the 3D scene of calibrated cameras, built on the CPU and handed
// to OpenGL as plain vertex and index arrays: coordinate axes, grid meshes,
// camera pyramids, bounding boxes and the textures they wear. Every
// position is in the scene's left-handed frame (x right, y up, z away from
// the viewer). Camera coordinates (x right, y down, z forward) enter it as
// (x, -y, z); grid coordinates (X right and Y up on the board, Z out of its
// front, where the cameras are) as (-X, Y, Z): the board seen from behind,
// upright, with the cameras beyond it facing the viewer. Both are proper
// turns, so nothing is drawn mirrored.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include <QImage>
#include <opencv2/core.hpp>

#include "records/Records.h"
#include "view3d/D3DMath.h"

namespace D3D {

// Colours are 32-bit ARGB.
struct ColouredVertex {
  float x, y, z;
  uint32_t colour;
};

struct TexturedVertex {
  float x, y, z;
  uint32_t colour;
  float u, v;
};

struct MeshVertex {
  float x, y, z;
  float nx, ny, nz;
  uint32_t colour;
  float u, v;
};

// Calibration pose Xc = R * X + t (R row by row) applied to X, then taken
// into the scene frame.
Vector3 PoseToScene(const double* R, const double* t, const Vector3& X);
// Camera point Xc back into object coordinates: R^T (Xc - t).
Vector3 CameraToObject(const double* R, const double* t, const Vector3& Xc);
inline Vector3 FlipY(const Vector3& p) { return {p.x, -p.y, p.z}; }
inline Vector3 ObjectToScene(const Vector3& p) { return {-p.x, p.y, p.z}; }

// ---- Axes ----
constexpr double kAxisHalfLength = 10.0;
constexpr uint32_t kAxisColourX = 0xff0000ff;
constexpr uint32_t kAxisColourY = 0xff00ff00;
constexpr uint32_t kAxisColourZ = 0xffff0000;

struct AxisBuffers {
  std::array<ColouredVertex, 6> vertices;
  std::array<uint16_t, 6> indices;
};
// Three lines through the origin, X blue, Y green, Z red.
AxisBuffers D3DCreateAxis();

// ---- Grid meshes ----
// The drawn grid covers the camera's own board: nx x ny points dX and dY
// apart. Larger boards are drawn with at most kMaxMeshSide vertices a side;
// the texture still shows every square.
constexpr int kMaxMeshSide = 64;
constexpr uint32_t kMeshColour = 0xf0ffffff;

struct GridMesh {
  int columns = 0;  // vertices a row
  int rows = 0;
  std::vector<MeshVertex> vertices;  // row by row, top row (largest Y) first
  std::vector<uint32_t> indices;     // two triangles a cell
  int texture = -1;                  // the scene's texture for this grid
};
// The grid placed at the pose (R, t), the top-left square at texture (0, 0)
// and the bottom-right corner at (1, 1). Empty (no vertices) for a grid
// with fewer than two points a side or spacings that are not positive.
GridMesh BuildGridMesh(const GridDescription& grid, const double* R, const double* t);

// ---- Camera pyramids ----
struct PyramidDrawingParameters {
  double imagePlaneDepth = 60.0;  // distance of the image plane from the centre, world units
  double upMarkerHeight = 0.2;    // the up tick above the image's top edge, in image heights
};

constexpr int kPyramidPointCount = 18;
constexpr int kPyramidPolylinePoints = 16;  // points 0..15 trace every edge once or more
constexpr int kPyramidEdgeVertices = 16;
constexpr int kPyramidEdgeLines = 9;
constexpr uint32_t kPyramidAxisColour = 0xff00ff00;

// Points: 0 centre, 1 top-left, 2 top-right, 3 centre, 4 bottom-right,
// 5 bottom-left, 6 centre, 7 top-left, 8 bottom-left, 9 bottom-right,
// 10 top-right, 11 top-edge middle, 12 up tick, 13 top-edge middle,
// 14 and 15 top-left; 16 centre and 17 principal point (the optical axis).
struct CameraPyramid {
  std::array<Vector3, kPyramidPointCount> points;
  std::array<ColouredVertex, kPyramidEdgeVertices> edges;
  std::array<uint16_t, 2 * kPyramidEdgeLines> edgeIndices;
  std::array<TexturedVertex, 4> imageQuad;  // triangle strip: top-left, top-right, bottom-left, bottom-right
};

// A camera given as the 28-value camera record (k1 k2 p1 p2, 0, K, R, T,
// width, height) drawn as a pyramid from its centre to its image plane, in
// the frame of the object it was calibrated against. False (and nothing
// written) when the record has no usable focal lengths or pose.
bool CameraPyramidDrawingAA(std::span<const float> camera, const PyramidDrawingParameters& parameters,
                            uint32_t colour, CameraPyramid& pyramid);

// ---- Bounding boxes ----
constexpr double kBoxMargin = 20.0;
constexpr uint32_t kBoxColour = 0xff00ff00;

struct SceneBox {
  Vector3 minimum;
  Vector3 maximum;
  Vector3 centre;
  std::array<ColouredVertex, 8> vertices;
  std::array<uint16_t, 24> indices;
  std::array<std::string, 8> labels;  // "%.1f,%.1f,%.1f" of each corner
};
// The box around the points and the origin, with a margin on every side.
SceneBox ComputeSceneBox(std::span<const Vector3> points);
Vector3 BoxCorner(const SceneBox& box, int corner);

// ---- Textures ----
// Largest texture side the scene asks for.
constexpr int kMaxTextureSide = 4096;
// Chequerboard of (nx - 1) x (ny - 1) squares of round(dX) x round(dY)
// texels, top-left square black. A null image when the grid has fewer than
// two points in a direction or squares under half a texel; squares shrink
// when the texture would exceed kMaxTextureSide.
QImage MakeChequerboardTexture(int nx, int ny, double dX, double dY);

constexpr int kThumbnailSize = 128;
// The view image (8-bit BGR) scaled to 128 x 128 with bilinear filtering, as
// opaque RGBA; mid-grey for an empty or unsupported image.
QImage MakeThumbnail(const cv::Mat& bgr);

}  // namespace D3D

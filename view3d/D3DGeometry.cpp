#include "view3d/D3DGeometry.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include <opencv2/imgproc.hpp>

namespace D3D {

namespace {

ColouredVertex Coloured(const Vector3& p, uint32_t colour) {
  return {static_cast<float>(p.x), static_cast<float>(p.y), static_cast<float>(p.z), colour};
}

bool AllFinite(std::span<const float> values) {
  return std::all_of(values.begin(), values.end(), [](float v) { return std::isfinite(v); });
}

}  // namespace

Vector3 PoseToScene(const double* R, const double* t, const Vector3& X) {
  const Vector3 Xc{R[0] * X.x + R[1] * X.y + R[2] * X.z + t[0],  //
                   R[3] * X.x + R[4] * X.y + R[5] * X.z + t[1],  //
                   R[6] * X.x + R[7] * X.y + R[8] * X.z + t[2]};
  return FlipY(Xc);
}

Vector3 CameraToObject(const double* R, const double* t, const Vector3& Xc) {
  const Vector3 d{Xc.x - t[0], Xc.y - t[1], Xc.z - t[2]};
  return {R[0] * d.x + R[3] * d.y + R[6] * d.z,  //
          R[1] * d.x + R[4] * d.y + R[7] * d.z,  //
          R[2] * d.x + R[5] * d.y + R[8] * d.z};
}

AxisBuffers D3DCreateAxis() {
  const double h = kAxisHalfLength;
  AxisBuffers axis{};
  axis.vertices = {Coloured({-h, 0, 0}, kAxisColourX), Coloured({h, 0, 0}, kAxisColourX),
                   Coloured({0, -h, 0}, kAxisColourY), Coloured({0, h, 0}, kAxisColourY),
                   Coloured({0, 0, -h}, kAxisColourZ), Coloured({0, 0, h}, kAxisColourZ)};
  axis.indices = {0, 1, 2, 3, 4, 5};
  return axis;
}

// ---- Grid meshes ----

namespace {

void ComputeVertexNormals(GridMesh& mesh) {
  std::vector<Vector3> sums(mesh.vertices.size());
  auto position = [&](uint32_t k) { return Vector3{mesh.vertices[k].x, mesh.vertices[k].y, mesh.vertices[k].z}; };
  for (size_t i = 0; i + 2 < mesh.indices.size(); i += 3) {
    const uint32_t a = mesh.indices[i], b = mesh.indices[i + 1], c = mesh.indices[i + 2];
    const Vector3 faceNormal = Cross(position(b) - position(a), position(c) - position(a));
    for (uint32_t k : {a, b, c}) sums[k] = sums[k] + faceNormal;
  }
  for (size_t k = 0; k < mesh.vertices.size(); ++k) {
    const Vector3 n = Normalize(sums[k]);
    mesh.vertices[k].nx = static_cast<float>(n.x);
    mesh.vertices[k].ny = static_cast<float>(n.y);
    mesh.vertices[k].nz = static_cast<float>(n.z);
  }
}

bool DrawableGrid(const GridDescription& grid) {
  return grid.nx >= 2 && grid.ny >= 2 && std::isfinite(grid.dX) && std::isfinite(grid.dY) && grid.dX > 0.0 &&
         grid.dY > 0.0;
}

}  // namespace

GridMesh BuildGridMesh(const GridDescription& grid, const double* R, const double* t) {
  GridMesh mesh;
  if (!DrawableGrid(grid)) return mesh;
  mesh.columns = std::min(grid.nx, kMaxMeshSide);
  mesh.rows = std::min(grid.ny, kMaxMeshSide);
  const double width = (grid.nx - 1) * grid.dX, height = (grid.ny - 1) * grid.dY;
  mesh.vertices.reserve(static_cast<size_t>(mesh.columns) * mesh.rows);
  for (int row = 0; row < mesh.rows; ++row) {
    const double v = static_cast<double>(row) / (mesh.rows - 1);
    for (int column = 0; column < mesh.columns; ++column) {
      const double u = static_cast<double>(column) / (mesh.columns - 1);
      // Object points run left to right along X, top row (largest Y) first.
      const Vector3 p = PoseToScene(R, t, {u * width, (1.0 - v) * height, 0.0});
      mesh.vertices.push_back({static_cast<float>(p.x), static_cast<float>(p.y), static_cast<float>(p.z), 0, 0, 0,
                               kMeshColour, static_cast<float>(u), static_cast<float>(v)});
    }
  }
  mesh.indices.reserve(static_cast<size_t>(6) * (mesh.columns - 1) * (mesh.rows - 1));
  for (int row = 0; row < mesh.rows - 1; ++row) {
    for (int column = 0; column < mesh.columns - 1; ++column) {
      const auto v = static_cast<uint32_t>(row * mesh.columns + column);
      const uint32_t below = v + static_cast<uint32_t>(mesh.columns);
      mesh.indices.insert(mesh.indices.end(), {v, v + 1, below, below, v + 1, below + 1});
    }
  }
  ComputeVertexNormals(mesh);
  return mesh;
}

// ---- Camera pyramids ----

namespace {

// Camera record layout: 0..3 distortion, 4 unused, 5..13 K, 14..22 R, 23..25 T, 26 width, 27 height.
constexpr int kRecordK = 5, kRecordR = 14, kRecordT = 23, kRecordWidth = 26, kRecordHeight = 27;

struct PyramidCamera {
  double fx, fy, cx, cy, width, height;
  double R[9];
  double t[3];
};

bool ReadPyramidCamera(std::span<const float> camera, PyramidCamera& out) {
  if (camera.size() < 28 || !AllFinite(camera.first(28))) return false;
  out.fx = camera[kRecordK + 0];
  out.fy = camera[kRecordK + 4];
  out.cx = camera[kRecordK + 2];
  out.cy = camera[kRecordK + 5];
  if (!(out.fx > 0.0) || !(out.fy > 0.0)) return false;
  for (int i = 0; i < 9; ++i) out.R[i] = camera[kRecordR + i];
  for (int i = 0; i < 3; ++i) out.t[i] = camera[kRecordT + i];
  // Parameters read without an image size still have a principal point near
  // the image centre.
  out.width = camera[kRecordWidth] > 0 ? camera[kRecordWidth] : 2.0 * out.cx;
  out.height = camera[kRecordHeight] > 0 ? camera[kRecordHeight] : 2.0 * out.cy;
  return out.width > 0.0 && out.height > 0.0;
}

// Pixel (u, v) on the image plane at the given depth, in the scene frame.
Vector3 ImagePlanePoint(const PyramidCamera& c, double depth, double u, double v) {
  const Vector3 Xc{(u - c.cx) / c.fx * depth, (v - c.cy) / c.fy * depth, depth};
  return ObjectToScene(CameraToObject(c.R, c.t, Xc));
}

}  // namespace

bool CameraPyramidDrawingAA(std::span<const float> camera, const PyramidDrawingParameters& parameters,
                            uint32_t colour, CameraPyramid& pyramid) {
  PyramidCamera c{};
  if (!ReadPyramidCamera(camera, c) || !(parameters.imagePlaneDepth > 0.0)) return false;
  const double d = parameters.imagePlaneDepth;
  const Vector3 centre = ObjectToScene(CameraToObject(c.R, c.t, {0, 0, 0}));
  const Vector3 topLeft = ImagePlanePoint(c, d, 0, 0);
  const Vector3 topRight = ImagePlanePoint(c, d, c.width, 0);
  const Vector3 bottomRight = ImagePlanePoint(c, d, c.width, c.height);
  const Vector3 bottomLeft = ImagePlanePoint(c, d, 0, c.height);
  const Vector3 topMiddle = ImagePlanePoint(c, d, c.width / 2, 0);
  const Vector3 upTick = ImagePlanePoint(c, d, c.width / 2, -parameters.upMarkerHeight * c.height);
  const Vector3 principalPoint = ImagePlanePoint(c, d, c.cx, c.cy);

  pyramid.points = {centre,     topLeft,   topRight, centre,    bottomRight, bottomLeft,
                    centre,     topLeft,   bottomLeft, bottomRight, topRight, topMiddle,
                    upTick,     topMiddle, topLeft,  topLeft,   centre,      principalPoint};
  for (int i = 0; i < kPyramidEdgeVertices; ++i) pyramid.edges[i] = Coloured(pyramid.points[i], colour);
  // Four side edges, four rim edges, the up tick.
  pyramid.edgeIndices = {0, 1, 0, 2, 3, 4, 3, 5, 1, 2, 4, 5, 7, 8, 9, 10, 11, 12};

  auto quadCorner = [](const Vector3& p, float u, float v) {
    return TexturedVertex{static_cast<float>(p.x), static_cast<float>(p.y), static_cast<float>(p.z), 0xffffffff, u, v};
  };
  pyramid.imageQuad = {quadCorner(topLeft, 0, 0), quadCorner(topRight, 1, 0), quadCorner(bottomLeft, 0, 1),
                       quadCorner(bottomRight, 1, 1)};
  return true;
}

// ---- Bounding boxes ----

Vector3 BoxCorner(const SceneBox& box, int corner) {
  const Vector3& lo = box.minimum;
  const Vector3& hi = box.maximum;
  const bool farSide = corner >= 4;
  switch (corner % 4) {
    case 0: return {lo.x, lo.y, farSide ? hi.z : lo.z};
    case 1: return {lo.x, hi.y, farSide ? hi.z : lo.z};
    case 2: return {hi.x, hi.y, farSide ? hi.z : lo.z};
    default: return {hi.x, lo.y, farSide ? hi.z : lo.z};
  }
}

SceneBox ComputeSceneBox(std::span<const Vector3> points) {
  Vector3 lo{1e9, 1e9, 1e9}, hi{-1e9, -1e9, -1e9};
  for (const Vector3& p : points) {
    lo = {std::min(lo.x, p.x), std::min(lo.y, p.y), std::min(lo.z, p.z)};
    hi = {std::max(hi.x, p.x), std::max(hi.y, p.y), std::max(hi.z, p.z)};
  }
  SceneBox box{};
  box.minimum = {std::min(lo.x, 0.0) - kBoxMargin, std::min(lo.y, 0.0) - kBoxMargin, std::min(lo.z, 0.0) - kBoxMargin};
  box.maximum = {std::max(hi.x, 0.0) + kBoxMargin, std::max(hi.y, 0.0) + kBoxMargin, std::max(hi.z, 0.0) + kBoxMargin};
  box.centre = (box.minimum + box.maximum) * 0.5;
  for (int k = 0; k < 8; ++k) {
    const Vector3 corner = BoxCorner(box, k);
    box.vertices[k] = Coloured(corner, kBoxColour);
    char text[128];
    std::snprintf(text, sizeof text, "%.1f,%.1f,%.1f", corner.x, corner.y, corner.z);
    box.labels[k] = text;
  }
  box.indices = {0, 1, 1, 2, 2, 3, 3, 0, 4, 5, 5, 6, 6, 7, 7, 4, 0, 4, 1, 5, 2, 6, 3, 7};
  return box;
}

// ---- Textures ----

QImage MakeChequerboardTexture(int nx, int ny, double dX, double dY) {
  if (nx < 2 || ny < 2 || !std::isfinite(dX) || !std::isfinite(dY)) return {};
  if (nx > kMaxTextureSide + 1 || ny > kMaxTextureSide + 1) return {};
  const int squaresX = nx - 1, squaresY = ny - 1;
  const int sx = static_cast<int>(std::min<double>(std::lround(std::min(dX, 1e6)), kMaxTextureSide / squaresX));
  const int sy = static_cast<int>(std::min<double>(std::lround(std::min(dY, 1e6)), kMaxTextureSide / squaresY));
  if (sx < 1 || sy < 1) return {};

  QImage texture(sx * squaresX, sy * squaresY, QImage::Format_RGBA8888);
  for (int y = 0; y < texture.height(); ++y) {
    uchar* row = texture.scanLine(y);
    const int squareRow = y / sy;
    for (int x = 0; x < texture.width(); ++x) {
      const bool black = (squareRow + x / sx) % 2 == 0;
      const uchar level = black ? 0 : 255;
      row[4 * x + 0] = row[4 * x + 1] = row[4 * x + 2] = level;
      row[4 * x + 3] = 255;
    }
  }
  return texture;
}

QImage MakeThumbnail(const cv::Mat& bgr) {
  QImage thumbnail(kThumbnailSize, kThumbnailSize, QImage::Format_RGBA8888);
  if (bgr.empty() || bgr.type() != CV_8UC3) {
    thumbnail.fill(QColor(128, 128, 128));
    return thumbnail;
  }
  cv::Mat small;
  cv::resize(bgr, small, cv::Size(kThumbnailSize, kThumbnailSize), 0, 0, cv::INTER_LINEAR);
  cv::Mat rgba(kThumbnailSize, kThumbnailSize, CV_8UC4, thumbnail.bits(), thumbnail.bytesPerLine());
  cv::cvtColor(small, rgba, cv::COLOR_BGR2RGBA);
  return thumbnail;
}

}  // namespace D3D

#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <utility>

#include "imaging/MVG.h"
#include "view3d/D3DGeometry.h"
#include "view3d/SceneContent.h"

using namespace D3D;

namespace {

constexpr double kIdentity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};

void ExpectNear(const Vector3& a, const Vector3& b, double tolerance = 1e-4) {
  EXPECT_NEAR(a.x, b.x, tolerance);
  EXPECT_NEAR(a.y, b.y, tolerance);
  EXPECT_NEAR(a.z, b.z, tolerance);
}

Vector3 Position(const MeshVertex& v) { return {v.x, v.y, v.z}; }

CameraParameters TestCamera() {
  CameraParameters c;
  c.K = {100, 0, 50, 0, 100, 40, 0, 0, 1};
  c.width = 100;
  c.height = 80;
  return c;
}

// A rotation of 30 degrees about an oblique axis, row by row.
std::array<double, 9> TiltedRotation() {
  const double a = 30.0 * M_PI / 180.0, c = std::cos(a), s = std::sin(a);
  const double x = 1 / std::sqrt(3.0), y = x, z = x;
  return {c + x * x * (1 - c),     x * y * (1 - c) - z * s, x * z * (1 - c) + y * s,
          y * x * (1 - c) + z * s, c + y * y * (1 - c),     y * z * (1 - c) - x * s,
          z * x * (1 - c) - y * s, z * y * (1 - c) + x * s, c + z * z * (1 - c)};
}

bool Colinear(const Vector3& a, const Vector3& b, const Vector3& c) {
  const Vector3 cross = Cross(b - a, c - a);
  return std::sqrt(Dot(cross, cross)) < 1e-3 * std::sqrt(Dot(b - a, b - a)) * std::sqrt(Dot(c - a, c - a));
}

}  // namespace

constexpr GridDescription kBoard{30.0, 20.0, 9, 6, 5, 5};  // 8 x 5 squares, 240 x 100

TEST(GridMesh, TheCamerasOwnGridAtThePoseWithYTurnedUp) {
  const double t[3] = {1, 2, 100};
  const GridMesh mesh = BuildGridMesh(kBoard, kIdentity, t);
  ASSERT_EQ(mesh.columns, 9);
  ASSERT_EQ(mesh.rows, 6);
  ASSERT_EQ(mesh.vertices.size(), 54u);
  ASSERT_EQ(mesh.indices.size(), 6u * 8u * 5u);
  // First point: column 0 of the top row, object (0, 100, 0); last: (240, 0, 0).
  ExpectNear(Position(mesh.vertices[0]), {1, -(100 + 2), 100});
  ExpectNear(Position(mesh.vertices[53]), {240 + 1, -2, 100});
  EXPECT_FLOAT_EQ(mesh.vertices[53].u, 1.0f);
  EXPECT_FLOAT_EQ(mesh.vertices[53].v, 1.0f);
  EXPECT_FLOAT_EQ(mesh.vertices[10].u, 0.125f);  // row 1, column 1
  EXPECT_FLOAT_EQ(mesh.vertices[10].v, 0.2f);
  EXPECT_EQ(mesh.vertices[10].colour, 0xf0ffffffu);
  const std::array<uint32_t, 6> firstCell{0, 1, 9, 9, 1, 10};
  EXPECT_TRUE(std::equal(firstCell.begin(), firstCell.end(), mesh.indices.begin()));
  EXPECT_EQ(mesh.indices.back(), 53u);
  // A flat grid: every normal is along the plane's normal (z here).
  for (const MeshVertex& v : mesh.vertices) EXPECT_NEAR(std::abs(v.nz), 1.0f, 1e-5);
}

TEST(GridMesh, HugeBoardsAreDrawnCoarserAndUnusableOnesNotAtAll) {
  const double t[3] = {0, 0, 100};
  const GridMesh big = BuildGridMesh(GridDescription{1.0, 1.0, 1000, 3, 5, 5}, kIdentity, t);
  EXPECT_EQ(big.columns, kMaxMeshSide);
  EXPECT_EQ(big.rows, 3);
  ExpectNear(Position(big.vertices[kMaxMeshSide - 1]), {999, -2, 100});
  EXPECT_TRUE(BuildGridMesh(GridDescription{30, 30, 1, 6, 5, 5}, kIdentity, t).vertices.empty());
  EXPECT_TRUE(BuildGridMesh(GridDescription{0, 30, 9, 6, 5, 5}, kIdentity, t).vertices.empty());
  EXPECT_TRUE(BuildGridMesh(GridDescription{NAN, 30, 9, 6, 5, 5}, kIdentity, t).vertices.empty());
}

TEST(CameraPyramid, IdentityPoseGivesTheImagePlaneAtTheChosenDepth) {
  const auto record = MVG::MakeCameraRecord(TestCamera());
  CameraPyramid p{};
  ASSERT_TRUE(CameraPyramidDrawingAA(record, {60.0, 0.2}, kPyramidColour, p));
  ExpectNear(p.points[0], {0, 0, 0});
  // With the identity pose camera and grid axes coincide: camera (x, y, z)
  // appears at (-x, y, z).
  ExpectNear(p.points[1], {30, -24, 60});   // top-left pixel
  ExpectNear(p.points[4], {-30, 24, 60});   // bottom-right pixel
  ExpectNear(p.points[17], {0, 0, 60});     // principal point
  EXPECT_LT(p.points[12].y, p.points[11].y);  // the up tick lies beyond the top edge
  EXPECT_EQ(p.edges[0].colour, kPyramidColour);
  EXPECT_EQ(p.imageQuad[0].u, 0.0f);
  EXPECT_EQ(p.imageQuad[3].v, 1.0f);
  ExpectNear({p.imageQuad[3].x, p.imageQuad[3].y, p.imageQuad[3].z}, p.points[4]);
}

TEST(CameraPyramid, EdgesAndPolylineTraceTheSameEightEdges) {
  CameraPyramid p{};
  ASSERT_TRUE(CameraPyramidDrawingAA(MVG::MakeCameraRecord(TestCamera()), {}, kPyramidColour, p));
  auto key = [&](const Vector3& a, const Vector3& b) {
    auto id = [&](const Vector3& q) {  // which distinct corner: centre, TL, TR, BR, BL, mid, tick
      const int corners[] = {0, 1, 2, 4, 5, 11, 12};
      for (int c : corners)
        if (std::abs(q.x - p.points[c].x) + std::abs(q.y - p.points[c].y) + std::abs(q.z - p.points[c].z) < 1e-6)
          return c;
      return -1;
    };
    const int first = id(a), second = id(b);
    return std::make_pair(std::min(first, second), std::max(first, second));
  };
  std::set<std::pair<int, int>> fromLines, fromPolyline;
  for (int i = 0; i < kPyramidEdgeLines; ++i) {
    const int a = p.edgeIndices[2 * i], b = p.edgeIndices[2 * i + 1];
    ASSERT_LT(std::max(a, b), kPyramidEdgeVertices);
    fromLines.insert(key(p.points[a], p.points[b]));
  }
  for (int i = 0; i + 1 < kPyramidPolylinePoints; ++i) {
    const auto k = key(p.points[i], p.points[i + 1]);
    if (k.first != k.second) fromPolyline.insert(k);
  }
  EXPECT_EQ(fromLines.size(), 9u);
  // The polyline also runs along the top edge through its middle; apart from
  // that it covers exactly the line list's edges.
  for (const auto& edge : fromLines) EXPECT_TRUE(fromPolyline.count(edge)) << edge.first << "-" << edge.second;
}

TEST(CameraPyramid, SitsAtTheCameraCentreAndLooksAtWhatTheCameraSaw) {
  const auto R = TiltedRotation();
  const double t[3] = {-40, 25, 300};
  CameraParameters camera = TestCamera();
  std::copy(R.begin(), R.end(), camera.R.begin());
  std::copy(t, t + 3, camera.T.begin());
  CameraPyramid p{};
  ASSERT_TRUE(CameraPyramidDrawingAA(MVG::MakeCameraRecord(camera), {}, kPyramidColour, p));
  // Centre = -R^T t, x turned round.
  const Vector3 centre{-(R[0] * t[0] + R[3] * t[1] + R[6] * t[2]), -(R[1] * t[0] + R[4] * t[1] + R[7] * t[2]),
                       -(R[2] * t[0] + R[5] * t[1] + R[8] * t[2])};
  ExpectNear(p.points[0], ObjectToScene(centre), 1e-3);
  // An object point on the optical axis lies on the line centre - principal point.
  const Vector3 onAxis = ObjectToScene(CameraToObject(R.data(), t, {0, 0, 250}));
  EXPECT_TRUE(Colinear(p.points[16], p.points[17], onAxis));
  // The object origin seen at pixel (u, v) lies on the ray through that pixel
  // of the image plane: check it against the bilinear image quad.
  const Vector3 Xc{t[0], t[1], t[2]};
  const double u = 100 * Xc.x / Xc.z + 50, v = 100 * Xc.y / Xc.z + 40;
  auto corner = [&](int i) { return Vector3{p.imageQuad[i].x, p.imageQuad[i].y, p.imageQuad[i].z}; };
  const Vector3 top = corner(0) + (corner(1) - corner(0)) * (u / 100);
  const Vector3 bottom = corner(2) + (corner(3) - corner(2)) * (u / 100);
  const Vector3 onPlane = top + (bottom - top) * (v / 80);
  EXPECT_TRUE(Colinear(p.points[0], onPlane, Vector3{0, 0, 0}));
}

TEST(CameraPyramid, RefusesCamerasWithoutFocalLengthOrWithNonFiniteValues) {
  CameraPyramid p{};
  EXPECT_FALSE(CameraPyramidDrawingAA(MVG::MakeCameraRecord(CameraParameters{}), {}, kPyramidColour, p));
  auto record = MVG::MakeCameraRecord(TestCamera());
  record[23] = NAN;
  EXPECT_FALSE(CameraPyramidDrawingAA(record, {}, kPyramidColour, p));
  EXPECT_FALSE(CameraPyramidDrawingAA(std::span<const float>(record.data(), 10), {}, kPyramidColour, p));
  // Without an image size the image is taken as twice the principal point.
  CameraParameters noSize = TestCamera();
  noSize.width = noSize.height = 0;
  ASSERT_TRUE(CameraPyramidDrawingAA(MVG::MakeCameraRecord(noSize), {}, kPyramidColour, p));
  ExpectNear(p.points[4], {-30, 24, 60});
}

TEST(SceneBox, AlwaysHoldsTheOriginWithAMarginAndLabelsItsCorners) {
  const SceneBox empty = ComputeSceneBox({});
  ExpectNear(empty.minimum, {-20, -20, -20});
  ExpectNear(empty.maximum, {20, 20, 20});
  EXPECT_EQ(empty.labels[0], "-20.0,-20.0,-20.0");

  const std::vector<Vector3> positive{{100, 50, 300}, {120, 80, 310}};
  const SceneBox box = ComputeSceneBox(positive);
  ExpectNear(box.minimum, {-20, -20, -20});
  ExpectNear(box.maximum, {140, 100, 330});
  ExpectNear(box.centre, {60, 40, 155});
  ExpectNear(BoxCorner(box, 2), {140, 100, -20});
  ExpectNear(BoxCorner(box, 7), {140, -20, 330});
  EXPECT_EQ(box.labels[6], "140.0,100.0,330.0");
  EXPECT_EQ(box.vertices[5].colour, kBoxColour);
  // Twelve distinct edges, each between corners that differ in one coordinate.
  std::set<std::pair<int, int>> edges;
  for (int i = 0; i < 24; i += 2) {
    const int a = box.indices[i], b = box.indices[i + 1];
    edges.insert({std::min(a, b), std::max(a, b)});
    const Vector3 d = BoxCorner(box, a) - BoxCorner(box, b);
    EXPECT_EQ((d.x != 0) + (d.y != 0) + (d.z != 0), 1);
  }
  EXPECT_EQ(edges.size(), 12u);
}

TEST(Textures, ChequerboardHasOneSquarePerGridCellTopLeftBlack) {
  const QImage texture = MakeChequerboardTexture(8, 6, 30, 30);
  ASSERT_EQ(texture.size(), QSize(210, 150));
  auto grey = [&](int x, int y) { return qRed(texture.pixel(x, y)); };
  EXPECT_EQ(grey(0, 0), 0);
  EXPECT_EQ(grey(29, 29), 0);
  EXPECT_EQ(grey(30, 0), 255);
  EXPECT_EQ(grey(0, 30), 255);
  EXPECT_EQ(grey(30, 30), 0);
  EXPECT_EQ(grey(209, 149), 0);  // 7 x 5 squares: the last one is black again
  EXPECT_EQ(qAlpha(texture.pixel(30, 0)), 255);
  // Squares are rounded to whole texels.
  EXPECT_EQ(MakeChequerboardTexture(3, 3, 10.4, 9.6).size(), QSize(20, 20));
}

TEST(Textures, UnusableGridsGiveNoTextureAndHugeOnesAreBounded) {
  EXPECT_TRUE(MakeChequerboardTexture(1, 6, 30, 30).isNull());
  EXPECT_TRUE(MakeChequerboardTexture(8, 6, 0.4, 30).isNull());
  EXPECT_TRUE(MakeChequerboardTexture(8, 6, -30, 30).isNull());
  EXPECT_TRUE(MakeChequerboardTexture(8, 6, NAN, 30).isNull());
  EXPECT_TRUE(MakeChequerboardTexture(100000, 6, 30, 30).isNull());
  const QImage big = MakeChequerboardTexture(8, 6, 1e12, 1e12);
  ASSERT_FALSE(big.isNull());
  EXPECT_LE(big.width(), kMaxTextureSide);
  EXPECT_LE(big.height(), kMaxTextureSide);
}

TEST(Textures, ThumbnailIsA128SquareInRgbOrder) {
  const cv::Mat blue(48, 64, CV_8UC3, cv::Scalar(255, 0, 0));  // BGR
  const QImage thumbnail = MakeThumbnail(blue);
  ASSERT_EQ(thumbnail.size(), QSize(128, 128));
  EXPECT_EQ(thumbnail.pixel(64, 64), qRgba(0, 0, 255, 255));
  EXPECT_EQ(MakeThumbnail(cv::Mat()).size(), QSize(128, 128));
  EXPECT_EQ(MakeThumbnail(cv::Mat(4, 4, CV_32FC1)).size(), QSize(128, 128));
}

TEST(SceneContent, EveryGridWearsItsOwnTextureAndClearEmptiesTheScene) {
  SceneContent content;
  const double t[3] = {0, 0, 500};
  EXPECT_FALSE(content.AddGridMesh(GridDescription{0, 0, 0, 0, 5, 5}, kIdentity, t));
  ASSERT_TRUE(content.AddGridMesh(GridDescription{30, 30, 8, 6, 5, 5}, kIdentity, t));
  ASSERT_TRUE(content.AddGridMesh(GridDescription{20, 20, 10, 7, 5, 5}, kIdentity, t));
  ASSERT_TRUE(content.AddGridMesh(GridDescription{30, 30, 8, 6, 5, 5}, kIdentity, t));
  ASSERT_EQ(content.GridTextures().size(), 2u);
  EXPECT_EQ(content.GridTextures()[0].size(), QSize(210, 150));
  EXPECT_EQ(content.GridTextures()[1].size(), QSize(180, 120));
  EXPECT_EQ(content.Meshes()[1].texture, 1);
  EXPECT_EQ(content.Meshes()[2].texture, 0);
  content.AddThumbnail(QImage(4, 4, QImage::Format_RGBA8888));
  content.NextCamera();
  content.ComputeBoxes();
  const int generation = content.Generation();

  content.Clear();
  EXPECT_EQ(content.ViewCount(), 0);
  EXPECT_TRUE(content.Thumbnails().empty());
  EXPECT_TRUE(content.GridTextures().empty());
  EXPECT_FALSE(content.BoxPresent());
  EXPECT_EQ(content.HighlightedView(), -1);
  EXPECT_NE(content.Generation(), generation);
}

TEST(SceneContent, ModesToggleBackAndReleaseStopsDrawing) {
  SceneContent content;
  EXPECT_EQ(content.ViewMode(), kCameraCentred);
  content.ToggleViewMode();
  EXPECT_EQ(content.ViewMode(), kObjectCentred);
  content.ToggleViewMode();
  EXPECT_EQ(content.ViewMode(), kCameraCentred);
  content.Release();
  content.ToggleViewMode();
  EXPECT_EQ(content.ViewMode(), kReleased);
}

TEST(SceneContent, EachModeFramesItsOwnBoxAndMoveWorldShowsIt) {
  SceneContent content;
  const double t[3] = {10, -20, 400};
  ASSERT_TRUE(content.AddGridMesh(kBoard, kIdentity, t));
  ASSERT_TRUE(content.AddCameraPyramid(TestCamera(), kIdentity, t));
  content.FrameScene();
  EXPECT_FALSE(content.BoxPresent());
  // Meshes lie entirely at positive depth; the box still reaches past the origin.
  EXPECT_LE(content.MeshBox().minimum.z, -20.0);
  ExpectNear(content.MeshBox().maximum, {10 + 240 + 20, 20 + 20, 400 + 20});
  ExpectNear(content.LookAtTarget(), content.MeshBox().centre);
  const double cameraCentredDistance = content.EyeDistance();
  content.ToggleViewMode();
  ExpectNear(content.LookAtTarget(), content.PyramidBox().centre);
  EXPECT_NE(content.EyeDistance(), cameraCentredDistance);
  // Pyramid box covers the camera centre (-t, x turned round).
  EXPECT_LE(content.PyramidBox().minimum.z, -400 - 20 + 1e-9);
  EXPECT_GE(content.PyramidBox().maximum.x, 10 + 20 - 1e-9);
  // Its image plane lies at a share of the camera's distance.
  const CameraPyramid& pyramid = content.Pyramids()[0];
  const Vector3 axis = pyramid.points[17] - pyramid.points[16];
  EXPECT_NEAR(std::sqrt(Dot(axis, axis)), kPyramidDepthPerDistance * std::sqrt(10 * 10 + 20 * 20 + 400 * 400), 1e-3);
  content.ComputeBoxes();
  EXPECT_TRUE(content.BoxPresent());

  auto lock = content.Lock();
  const SceneMatrices m = content.SetUpMatricesLocked(MatrixIdentity());
  // The look-at target appears in the middle of the picture, every corner of
  // its box inside it.
  const Vector3 middle = TransformCoord(content.PyramidBox().centre, m.product);
  EXPECT_NEAR(middle.x, 0.0, 1e-9);
  EXPECT_NEAR(middle.y, 0.0, 1e-9);
  for (int k = 0; k < 8; ++k) {
    const Vector3 corner = TransformCoord(BoxCorner(content.PyramidBox(), k), m.product);
    EXPECT_LT(std::abs(corner.x), 0.9) << k;
    EXPECT_LT(std::abs(corner.y), 0.9) << k;
    EXPECT_GT(corner.z, 0.0);
    EXPECT_LT(corner.z, 1.0);
  }
  // A turn of the world turns it about the target, which stays in the middle.
  const SceneMatrices turned = content.SetUpMatricesLocked(MatrixRotationY(1.0) * MatrixRotationX(0.5));
  const Vector3 stillMiddle = TransformCoord(content.PyramidBox().centre, turned.product);
  EXPECT_NEAR(stillMiddle.x, 0.0, 1e-9);
  EXPECT_NEAR(stillMiddle.y, 0.0, 1e-9);
}

TEST(SceneContent, AxesGrowWithTheSceneButNeverShrink) {
  SceneContent content;
  content.FrameScene();
  {
    auto lock = content.Lock();
    EXPECT_DOUBLE_EQ(content.AxisScaleLocked(), 1.0) << "before any run: the axes as they are";
  }
  const double t[3] = {10, -20, 800};
  ASSERT_TRUE(content.AddGridMesh(kBoard, kIdentity, t));
  content.FrameScene();
  auto lock = content.Lock();
  const SceneBox& box = content.MeshBox();
  const double longest = box.maximum.z - box.minimum.z;  // 800 deep and more, the board 240 wide
  EXPECT_NEAR(content.AxisScaleLocked() * kAxisHalfLength, longest / 8.0, 1e-9);
}

TEST(SceneContent, CameraSteppingRunsThroughTheViewsAndNone) {
  SceneContent content;
  content.NextCamera();
  EXPECT_EQ(content.HighlightedView(), -1);  // nothing to step through
  content.PreviousCamera();
  EXPECT_EQ(content.HighlightedView(), -1);
  const double t[3] = {0, 0, 100};
  for (int i = 0; i < 3; ++i) content.AddGridMesh(kBoard, kIdentity, t);
  content.NextCamera();
  EXPECT_EQ(content.HighlightedView(), 0);
  content.NextCamera();
  content.NextCamera();
  EXPECT_EQ(content.HighlightedView(), 2);
  content.NextCamera();
  EXPECT_EQ(content.HighlightedView(), -1);
  content.PreviousCamera();
  EXPECT_EQ(content.HighlightedView(), 2);
  content.NextCamera();
  content.NextCamera();
  content.PreviousCamera();
  EXPECT_EQ(content.HighlightedView(), -1);
  EXPECT_FALSE(content.AddCameraPyramid(CameraParameters{}, kIdentity, t));
  const double broken[3] = {0, NAN, 100};
  EXPECT_FALSE(content.AddGridMesh(kBoard, kIdentity, broken));
  EXPECT_FALSE(content.AddCameraPyramid(TestCamera(), kIdentity, broken));
  EXPECT_EQ(content.ViewCount(), 3);
}

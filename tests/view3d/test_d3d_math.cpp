#include <gtest/gtest.h>

#include <cmath>

#include "view3d/D3DBaseScene.h"
#include "view3d/D3DMath.h"

using namespace D3D;

namespace {

void ExpectNear(const Vector3& a, const Vector3& b, double tolerance = 1e-9) {
  EXPECT_NEAR(a.x, b.x, tolerance);
  EXPECT_NEAR(a.y, b.y, tolerance);
  EXPECT_NEAR(a.z, b.z, tolerance);
}

}  // namespace

TEST(D3DMath, LookAtPutsTargetOnThePositiveZAxisAtItsDistance) {
  const Vector3 eye{30, 100, -200};
  const Vector3 at{5, -7, 40};
  const Matrix4 view = MatrixLookAtLH(eye, at, {0, 1, 0});
  const Vector3 d = at - eye;
  ExpectNear(TransformCoord(at, view), {0, 0, std::sqrt(Dot(d, d))});
  ExpectNear(TransformCoord(eye, view), {0, 0, 0});
  // Left-handed: with the eye on -z looking at the origin, +x stays right.
  const Matrix4 front = MatrixLookAtLH({0, 0, -10}, {0, 0, 0}, {0, 1, 0});
  ExpectNear(TransformCoord({1, 2, 0}, front), {1, 2, 10});
}

TEST(D3DMath, PerspectiveMapsNearAndFarToDepthZeroAndOne) {
  const Matrix4 p = MatrixPerspectiveFovLH(0.7853982, 1.0, 1.0, 1000.0);
  EXPECT_NEAR(TransformCoord({0, 0, 1}, p).z, 0.0, 1e-12);
  EXPECT_NEAR(TransformCoord({0, 0, 1000}, p).z, 1.0, 1e-12);
  // A point on the upper edge of the 45 degree field of view lands at y = 1.
  const double z = 50.0;
  EXPECT_NEAR(TransformCoord({0, z * std::tan(0.7853982 / 2), z}, p).y, 1.0, 1e-6);
  // OpenGL's depth range: near -1, far +1.
  const Matrix4 gl = p * DepthRangeToOpenGL();
  EXPECT_NEAR(TransformCoord({0, 0, 1}, gl).z, -1.0, 1e-12);
  EXPECT_NEAR(TransformCoord({0, 0, 1000}, gl).z, 1.0, 1e-12);
}

TEST(D3DMath, ProjectGoesToWindowPixelsWithYDown) {
  const Matrix4 wvp = MatrixLookAtLH({0, 0, -10}, {0, 0, 0}, {0, 1, 0}) *
                      MatrixPerspectiveFovLH(0.7853982, 1.0, 1.0, 1000.0);
  const Viewport viewport{0, 0, 200, 100, 1.0, 1000.0};
  ExpectNear(Project({0, 0, 0}, viewport, wvp), {100, 50, Project({0, 0, 0}, viewport, wvp).z});
  const Vector3 upRight = Project({1, 1, 0}, viewport, wvp);
  EXPECT_GT(upRight.x, 100);
  EXPECT_LT(upRight.y, 50);
}

TEST(D3DMath, OpenGLLayoutIsTheRowMajorArray) {
  const Matrix4 t = MatrixTranslation(1, 2, 3);
  const auto gl = ToOpenGL(t);
  // Column-major translation sits in elements 12..14.
  EXPECT_FLOAT_EQ(gl[12], 1.0f);
  EXPECT_FLOAT_EQ(gl[13], 2.0f);
  EXPECT_FLOAT_EQ(gl[14], 3.0f);
}

namespace {

class NavigationOnly : public CD3DBaseScene {
 public:
  bool Init() override { return true; }
};

}  // namespace

TEST(D3DBaseScene, RotationFollowsTheDragFromItsStartAndStopsAtTheEnd) {
  NavigationOnly scene;
  scene.MouseRotate(50, 50);  // no drag begun: nothing turns
  ExpectNear(TransformCoord({1, 0, 0}, scene.World()), {1, 0, 0});

  scene.MouseRotateBegin(10, 10);
  scene.MouseRotate(10 + 157, 10);  // about pi/2 about the vertical axis
  const Vector3 turned = TransformCoord({1, 0, 0}, scene.Rotation());
  EXPECT_NEAR(turned.y, 0.0, 1e-12);
  EXPECT_NEAR(std::abs(turned.z), 1.0, 1e-3);
  // Going back to the start point restores the start rotation.
  scene.MouseRotate(10, 10);
  ExpectNear(TransformCoord({1, 0, 0}, scene.Rotation()), {1, 0, 0});
  scene.MouseRotate(40, 70);
  scene.MouseRotateEnd();
  const Matrix4 afterEnd = scene.Rotation();
  scene.MouseRotate(400, 400);
  EXPECT_EQ(scene.Rotation().m, afterEnd.m);
}

TEST(D3DBaseScene, TranslateShiftsInTheScreenPlaneAndZoomAlongTheView) {
  NavigationOnly scene;
  scene.MouseTranslateBegin(100, 100);
  scene.MouseTranslate(110, 80);
  ExpectNear(TransformCoord({0, 0, 0}, scene.World()),
             {10 * CD3DBaseScene::kTranslationPerPixel, 20 * CD3DBaseScene::kTranslationPerPixel, 0});
  // A second drag adds to the first.
  scene.MouseTranslateBegin(0, 0);
  scene.MouseTranslate(2, 0);
  EXPECT_NEAR(TransformCoord({0, 0, 0}, scene.World()).x, 12 * CD3DBaseScene::kTranslationPerPixel, 1e-12);

  scene.MouseZoomBegin(5, 5);
  scene.MouseZoom(5, 25);  // dragging down comes closer: towards -z
  EXPECT_NEAR(TransformCoord({0, 0, 0}, scene.World()).z, -20 * CD3DBaseScene::kTranslationPerPixel, 1e-12);
  scene.MouseZoom(5, 5);
  EXPECT_NEAR(TransformCoord({0, 0, 0}, scene.World()).z, 0.0, 1e-12);

  scene.ResetWorld();
  EXPECT_EQ(scene.World().m, MatrixIdentity().m);
}

// The lens models: projections against OpenCV's, exact derivatives, rays
// that project back to their pixels, and the intrinsic block with fixed values.

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include <opencv2/calib3d.hpp>

#include "calib/CameraModel.h"
#include "calib/IntrinsicBlock.h"
#include "calib/ModelStart.h"
#include "tests/calib/LensViews.h"

namespace {

CameraParameters Pinhole(LensModel model) {
  CameraParameters camera;
  camera.model = model;
  camera.width = 1280;
  camera.height = 960;
  camera.K = {700.0, 0, 645.0, 0, 695.0, 478.0, 0, 0, 1};
  const double all[8] = {-0.31, 0.11, 0.0013, -0.0009, 0.015, 0.05, 0.012, -0.004};
  for (int i = 0; i < DistortionCount(model); ++i) camera.distortion[static_cast<size_t>(i)] = all[i];
  return camera;
}

std::vector<CameraParameters> EveryModel() {
  return {Pinhole(LensModel::PinholeRadtan), Pinhole(LensModel::PinholeRadtanK3), Pinhole(LensModel::Rational),
          lens_views::FisheyeTruth(190.0)};
}

// Camera-frame points in front of (and for the fisheye, beside and behind) the camera.
std::vector<std::array<double, 3>> SomePoints(bool beyondNinety) {
  std::vector<std::array<double, 3>> points;
  std::mt19937 random(3);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  for (int i = 0; i < 200; ++i) {
    const double z = beyondNinety ? unit(random) * 0.8 + 0.15 : 1.0 + 0.5 * unit(random);
    points.push_back({0.6 * unit(random), 0.45 * unit(random), z});
  }
  points.push_back({0.0, 0.0, 2.0});  // on the axis
  return points;
}

TEST(LensModels, PinholeModelsProjectLikeOpenCvWithFourFiveAndEightCoefficients) {
  for (LensModel model : {LensModel::PinholeRadtan, LensModel::PinholeRadtanK3, LensModel::Rational}) {
    const CameraParameters camera = Pinhole(model);
    std::vector<cv::Point3d> object;
    for (const auto& p : SomePoints(false)) object.emplace_back(p[0], p[1], p[2]);
    const cv::Mat K(3, 3, CV_64F, const_cast<double*>(camera.K.data()));
    const cv::Mat D(1, DistortionCount(model), CV_64F, const_cast<double*>(camera.distortion.data()));
    std::vector<cv::Point2d> reference;
    cv::projectPoints(object, cv::Vec3d(0, 0, 0), cv::Vec3d(0, 0, 0), K, D, reference);
    for (size_t i = 0; i < object.size(); ++i) {
      const auto p = camera_model::Project(camera, object[i].x, object[i].y, object[i].z);
      EXPECT_NEAR(p.x, reference[i].x, 1e-9) << LensModelName(model);
      EXPECT_NEAR(p.y, reference[i].y, 1e-9) << LensModelName(model);
    }
  }
}

TEST(LensModels, FisheyeProjectsLikeOpenCvInFrontAndKeepsGoingBeyondNinetyDegrees) {
  const CameraParameters camera = lens_views::FisheyeTruth(190.0);
  std::vector<cv::Point3d> object;
  for (const auto& p : SomePoints(false)) object.emplace_back(p[0], p[1], p[2]);
  const cv::Matx33d K(camera.K.data());
  const cv::Vec4d D(camera.distortion[0], camera.distortion[1], camera.distortion[2], camera.distortion[3]);
  std::vector<cv::Point2d> reference;
  cv::fisheye::projectPoints(object, reference, cv::Vec3d(0, 0, 0), cv::Vec3d(0, 0, 0), K, D);
  for (size_t i = 0; i < object.size(); ++i) {
    const auto p = camera_model::Project(camera, object[i].x, object[i].y, object[i].z);
    EXPECT_NEAR(p.x, reference[i].x, 1e-8);
    EXPECT_NEAR(p.y, reference[i].y, 1e-8);
  }
  // A ray 95 degrees off the axis lies further out than one at 85 degrees, on the same side.
  const double angle85 = 85.0 * M_PI / 180.0, angle95 = 95.0 * M_PI / 180.0;
  const auto at85 = camera_model::Project(camera, std::sin(angle85), 0.0, std::cos(angle85));
  const auto at95 = camera_model::Project(camera, std::sin(angle95), 0.0, std::cos(angle95));
  EXPECT_GT(at95.x, at85.x);
  EXPECT_NEAR(at95.y, camera.cy(), 1e-9);
}

// Central differences of the projection by the camera point and by the block.
template <class Model>
void ExpectExactDerivatives(const CameraParameters& camera, bool beyondNinety) {
  const std::array<double, camera_model::kMaxBlock> block = camera_model::BlockOf(camera);
  for (const auto& p : SomePoints(beyondNinety)) {
    double dPoint[2][3], dBlock[2][Model::kBlock];
    Model::Project(block.data(), p[0], p[1], p[2], dPoint, dBlock);
    for (int j = 0; j < 3; ++j) {
      auto moved = p;
      const double h = 1e-6;
      moved[static_cast<size_t>(j)] += h;
      const auto plus = Model::Project(block.data(), moved[0], moved[1], moved[2]);
      moved[static_cast<size_t>(j)] -= 2 * h;
      const auto minus = Model::Project(block.data(), moved[0], moved[1], moved[2]);
      EXPECT_NEAR(dPoint[0][j], (plus.x - minus.x) / (2 * h), 1e-4 * (1 + std::fabs(dPoint[0][j])));
      EXPECT_NEAR(dPoint[1][j], (plus.y - minus.y) / (2 * h), 1e-4 * (1 + std::fabs(dPoint[1][j])));
    }
    for (int j = 0; j < Model::kBlock; ++j) {
      auto moved = block;
      const double h = 1e-6 * std::max(1.0, std::fabs(block[static_cast<size_t>(j)]));
      moved[static_cast<size_t>(j)] += h;
      const auto plus = Model::Project(moved.data(), p[0], p[1], p[2]);
      moved[static_cast<size_t>(j)] -= 2 * h;
      const auto minus = Model::Project(moved.data(), p[0], p[1], p[2]);
      EXPECT_NEAR(dBlock[0][j], (plus.x - minus.x) / (2 * h), 1e-4 * (1 + std::fabs(dBlock[0][j])));
      EXPECT_NEAR(dBlock[1][j], (plus.y - minus.y) / (2 * h), 1e-4 * (1 + std::fabs(dBlock[1][j])));
    }
  }
}

TEST(LensModels, DerivativesByTheCameraPointAndTheBlockAreExact) {
  ExpectExactDerivatives<camera_model::PinholeRadtan>(Pinhole(LensModel::PinholeRadtan), false);
  ExpectExactDerivatives<camera_model::PinholeRadtanK3>(Pinhole(LensModel::PinholeRadtanK3), false);
  ExpectExactDerivatives<camera_model::Rational>(Pinhole(LensModel::Rational), false);
  ExpectExactDerivatives<camera_model::Fisheye>(lens_views::FisheyeTruth(190.0), true);
}

TEST(LensModels, TheRayOfEveryPixelProjectsBackOntoIt) {
  for (const CameraParameters& camera : EveryModel()) {
    double worst = 0.0;
    for (int y = 0; y < camera.height; y += 20)
      for (int x = 0; x < camera.width; x += 20) {
        double ray[3];
        ASSERT_TRUE(camera_model::Ray(camera, x, y, ray)) << LensModelName(camera.model) << " " << x << "," << y;
        const auto p = camera_model::Project(camera, ray[0], ray[1], ray[2]);
        worst = std::max(worst, std::hypot(p.x - x, p.y - y));
      }
    EXPECT_LT(worst, 1e-7) << LensModelName(camera.model);
  }
  // The fisheye's corners look more than 90 degrees off the axis.
  double ray[3];
  const CameraParameters fisheye = lens_views::FisheyeTruth(190.0);
  ASSERT_TRUE(camera_model::Ray(fisheye, 0.0, 0.0, ray));
  EXPECT_LT(ray[2], 0.0);
}

TEST(LensModels, UndistortionRefusesWhereTheLensFoldsOver) {
  CameraParameters folding = Pinhole(LensModel::PinholeRadtan);
  folding.distortion = {-0.6, 0, 0, 0};  // r (1 - 0.6 r^2) turns back at r = 0.745
  double ray[3];
  EXPECT_TRUE(camera_model::Ray(folding, folding.cx() + 100.0, folding.cy(), ray));
  EXPECT_FALSE(camera_model::Ray(folding, folding.cx() + 0.6 * folding.fx(), folding.cy(), ray));
  CameraParameters fisheye = lens_views::FisheyeTruth(120.0);
  fisheye.distortion = {-0.5, 0, 0, 0};  // theta (1 - 0.5 theta^2) turns back at theta = 0.816
  EXPECT_FALSE(camera_model::Ray(fisheye, fisheye.cx() + 0.6 * fisheye.fx(), fisheye.cy(), ray));
}

TEST(IntrinsicBlockTest, DefaultIsTheEightPinholeValuesInTheirOrder) {
  const IntrinsicBlock block;
  EXPECT_EQ(block.FreeCount(), 8);
  const CameraParameters camera = Pinhole(LensModel::PinholeRadtan);
  double free[8];
  block.Pack(camera, free);
  const double expected[8] = {700.0, 695.0, 645.0, 478.0, -0.31, 0.11, 0.0013, -0.0009};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(free[i], expected[i]);
  CameraParameters back;
  block.Unpack(free, back);
  EXPECT_EQ(back.K[0], 700.0);
  EXPECT_EQ(back.K[5], 478.0);
  EXPECT_EQ(back.distortion, camera.distortion);
  EXPECT_EQ(back.model, LensModel::PinholeRadtan);
}

TEST(IntrinsicBlockTest, FixedValuesStayAndOnlyTheOthersArePacked) {
  CalibrationSettings settings;
  settings.model = LensModel::Rational;
  settings.fixAspectRatio = true;
  settings.fixPrincipalPoint = true;
  settings.zeroTangential = true;
  settings.fixedCoefficients = 1u << 7;  // k6
  CameraParameters current = Pinhole(LensModel::Rational);
  const CameraParameters kept = KeptValues(settings, current, 1280, 960);
  EXPECT_EQ(kept.cx(), 639.5);
  EXPECT_EQ(kept.cy(), 479.5);
  EXPECT_EQ(kept.distortion[2], 0.0);
  const IntrinsicBlock block(settings, kept);
  EXPECT_EQ(block.BlockSize(), 12);
  EXPECT_EQ(block.FreeCount(), 12 - 1 - 2 - 2 - 1);  // fx follows fy; cx, cy; p1, p2; k6
  std::vector<double> free(static_cast<size_t>(block.FreeCount()));
  block.Pack(current, free.data());
  free[0] = 650.0;  // fy
  CameraParameters out = current;
  block.Unpack(free.data(), out);
  EXPECT_DOUBLE_EQ(out.fx(), 650.0 * 700.0 / 695.0);
  EXPECT_EQ(out.fy(), 650.0);
  EXPECT_EQ(out.cx(), 639.5);
  EXPECT_EQ(out.distortion[2], 0.0);
  EXPECT_EQ(out.distortion[3], 0.0);
  EXPECT_EQ(out.distortion[7], current.distortion[7]);
  EXPECT_EQ(out.distortion[0], current.distortion[0]);
  // d block / d free: fx moves with fy by the ratio; fixed rows are zero.
  const std::vector<double> D = block.Expansion();
  EXPECT_DOUBLE_EQ(D[0], 700.0 / 695.0);
  EXPECT_EQ(D[1 * 6 + 0], 1.0);
  for (int j = 0; j < 6; ++j) EXPECT_EQ(D[2 * 6 + static_cast<size_t>(j)], 0.0);
}

TEST(IntrinsicBlockTest, KeptValuesFallBackToSquarePixelsAndZeroCoefficientsWithoutAUsableCamera) {
  CalibrationSettings settings;
  settings.model = LensModel::Fisheye;
  settings.fixAspectRatio = true;
  settings.fixedCoefficients = 0b1111;
  const CameraParameters otherModel = Pinhole(LensModel::PinholeRadtan);
  const CameraParameters kept = KeptValues(settings, otherModel, 1280, 960);
  EXPECT_EQ(kept.fx() / kept.fy(), 1.0);
  for (double k : kept.distortion) EXPECT_EQ(k, 0.0);
  EXPECT_FALSE(IsUsableStart(Pinhole(LensModel::Rational), LensModel::Rational, 640, 480));
  EXPECT_TRUE(IsUsableStart(Pinhole(LensModel::Rational), LensModel::Rational, 1280, 960));
}

TEST(ModelStartTest, RaysGiveTheTruePoseEvenBehindTheCameraPlane) {
  const CameraParameters camera = lens_views::FisheyeTruth(190.0);
  lens_views::Options options;
  options.views = 12;
  options.noise = 0.0;
  const lens_views::Views views = lens_views::Make(camera, options);
  ASSERT_EQ(views.points.size(), 12u);
  const std::vector<ObjectPoint> board = MakeGridObjectPoints(views.grid, 1);
  bool sawBehind = false;
  for (size_t v = 0; v < views.points.size(); ++v) {
    double R[9], t[3];
    ASSERT_TRUE(ViewPose(camera, board.data(), views.points[v].data(), static_cast<int>(board.size()), R, t));
    for (int i = 0; i < 9; ++i) EXPECT_NEAR(R[i], views.R[v][static_cast<size_t>(i)], 1e-4) << "view " << v;
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(t[i], views.t[v][static_cast<size_t>(i)], 0.05) << "view " << v;
    sawBehind = sawBehind || views.t[v][2] < 0.0;
  }
  EXPECT_TRUE(sawBehind) << "some boards should lie behind the camera plane";
}

TEST(ModelStartTest, FisheyeStartFindsTheFocalLengthFromNoGuess) {
  for (double fov : {90.0, 180.0, 190.0}) {
    const CameraParameters truth = lens_views::FisheyeTruth(fov);
    lens_views::Options options;
    options.views = 20;
    const lens_views::Views views = lens_views::Make(truth, options);
    std::vector<ImagePoint> all;
    for (const PointList& view : views.points) all.insert(all.end(), view.begin(), view.end());
    const std::vector<ObjectPoint> board = MakeGridObjectPoints(views.grid, 1);
    CameraParameters start;
    std::vector<double> R(9 * views.points.size()), t(3 * views.points.size());
    ASSERT_TRUE(FisheyeStart(board.data(), all.data(), static_cast<int>(views.points.size()),
                             static_cast<int>(board.size()), truth.width, truth.height, 1.0, start, R.data(), t.data()));
    EXPECT_EQ(start.model, LensModel::Fisheye);
    EXPECT_NEAR(start.fx(), truth.fx(), 0.1 * truth.fx()) << fov;
  }
}

}  // namespace

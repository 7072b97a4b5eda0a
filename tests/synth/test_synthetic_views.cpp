// The synthetic views must agree with themselves: rendered corners where the
// projected grid points are, and rotation vectors that match their matrices.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "synth/SyntheticViews.h"

namespace {

SyntheticOptions DistortedOptions() {
  SyntheticOptions options;
  options.views = 3;
  options.grid = GridDescription{10.0, 10.0, 7, 5, 4, 4};
  options.camera.width = 320;
  options.camera.height = 240;
  options.camera.fx = 400.0;
  options.camera.fy = 395.0;
  options.camera.cx = 161.0;
  options.camera.cy = 118.0;
  options.camera.coefficients[0] = -0.25;
  options.camera.coefficients[1] = 0.1;
  options.camera.coefficients[2] = 0.001;
  options.camera.coefficients[3] = -0.0015;
  options.seed = 4;
  return options;
}

void ExpectCornersOnTheProjectedPoints(const SyntheticCameraViews& views) {
  for (size_t v = 0; v < views.images.size(); ++v) {
    ASSERT_EQ(views.images[v].type(), CV_8UC3);
    ASSERT_EQ(views.images[v].cols, 320);
    cv::Mat grey;
    cv::cvtColor(views.images[v], grey, cv::COLOR_BGR2GRAY);
    std::vector<cv::Point2f> corners;
    for (const ImagePoint& p : views.exactPoints[v])
      corners.emplace_back(static_cast<float>(p.x + 0.4), static_cast<float>(p.y - 0.3));  // start off the corner
    cv::cornerSubPix(grey, corners, cv::Size(4, 4), cv::Size(-1, -1),
                     cv::TermCriteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 50, 1e-4));
    // The corner finder itself is biased by a few hundredths of a pixel on
    // tilted, distorted squares; a renderer off by half a pixel or with a wrong
    // inverse distortion would be off by far more.
    double sum = 0.0, largest = 0.0;
    for (size_t k = 0; k < corners.size(); ++k) {
      const double error = std::hypot(corners[k].x - views.exactPoints[v][k].x, corners[k].y - views.exactPoints[v][k].y);
      sum += error;
      largest = std::max(largest, error);
    }
    EXPECT_LT(sum / static_cast<double>(corners.size()), 0.1) << "view " << v;
    EXPECT_LT(largest, 0.3) << "view " << v;
  }
}

}  // namespace

TEST(SyntheticViews, RenderedCornersSitOnTheProjectedGridPoints) {
  const SyntheticRig rig = MakeSyntheticRig(DistortedOptions());
  ASSERT_EQ(rig.hiddenViews, 0);
  ASSERT_EQ(rig.cameras[0].images.size(), 3u);
  ExpectCornersOnTheProjectedPoints(rig.cameras[0]);
}

// Every lens model renders through the same projection its points come from,
// the fisheye's boards beside the camera too.
TEST(SyntheticViews, EveryLensModelRendersItsCornersOnItsProjectedPoints) {
  for (const LensModelInfo& info : AllLensModels()) {
    SCOPED_TRACE(info.name);
    SyntheticOptions options = DistortedOptions();
    options.camera = TypicalSyntheticCamera(info.model, 320, 240, 190.0);
    options.views = 4;
    const SyntheticRig rig = MakeSyntheticRig(options);
    ASSERT_EQ(rig.hiddenViews, 0);
    EXPECT_EQ(rig.cameras[0].camera.ToParameters().model, info.model);
    ExpectCornersOnTheProjectedPoints(rig.cameras[0]);
  }
}

// A fisheye's views reach its edges: boards are placed along its own rays and
// face the camera, so some corners lie beyond 80 degrees off the axis.
TEST(SyntheticViews, FisheyeViewsReachBeyondEightyDegrees) {
  SyntheticOptions options;
  options.camera = TypicalSyntheticCamera(LensModel::Fisheye, 640, 480, 190.0);
  options.views = 20;
  options.renderImages = false;
  const SyntheticRig rig = MakeSyntheticRig(options);
  EXPECT_EQ(rig.hiddenViews, 0);
  double widest = 0.0;
  const SyntheticCameraViews& views = rig.cameras[0];
  for (const SyntheticPose& pose : views.poses)
    for (int i = 0; i < options.grid.ny; ++i)
      for (int j = 0; j < options.grid.nx; ++j) {
        const double X = j * options.grid.dX, Y = (options.grid.ny - 1 - i) * options.grid.dY;
        double Xc[3];
        for (int k = 0; k < 3; ++k) Xc[k] = pose.R[3 * k] * X + pose.R[3 * k + 1] * Y + pose.t[k];
        widest = std::max(widest, std::atan2(std::hypot(Xc[0], Xc[1]), Xc[2]) * 180.0 / M_PI);
      }
  EXPECT_GT(widest, 80.0);
  EXPECT_LT(widest, 95.0) << "inside the 190 degree field";
}

TEST(SyntheticViews, PointsFollowTheGridOrderAndNoiseIsReproducible) {
  SyntheticOptions options = DistortedOptions();
  options.renderImages = false;
  options.pointNoise = 0.5;
  const SyntheticRig first = MakeSyntheticRig(options);
  const SyntheticRig second = MakeSyntheticRig(options);
  const PointList& exact = first.cameras[0].exactPoints[0];
  ASSERT_EQ(exact.size(), 35u);
  // Row 0 (largest object Y) is drawn above the last row: object Y points up the image.
  EXPECT_LT(exact[0].y, exact[28].y);
  EXPECT_LT(exact[0].x, exact[6].x);
  EXPECT_DOUBLE_EQ(first.cameras[0].points[2][9].x, second.cameras[0].points[2][9].x);
  double sum = 0.0;
  for (size_t v = 0; v < 3; ++v)
    for (size_t k = 0; k < 35; ++k) sum += std::fabs(first.cameras[0].points[v][k].x - first.cameras[0].exactPoints[v][k].x);
  EXPECT_NEAR(sum / 105.0, 0.5 * std::sqrt(2.0 / 3.14159265358979), 0.12);  // mean |N(0, 0.5)|
}

TEST(SyntheticViews, RotationVectorsMatchTheirMatricesUpToHalfATurn) {
  SyntheticOptions options = DistortedOptions();
  options.renderImages = false;
  options.views = 12;
  options.stereo = true;
  options.stereoRotation = {0.0, 3.1, 0.2};  // close to half a turn
  options.secondCamera = options.camera;
  const SyntheticRig rig = MakeSyntheticRig(options);
  for (const SyntheticCameraViews& camera : rig.cameras)
    for (const SyntheticPose& pose : camera.poses) {
      const SyntheticPose rebuilt = PoseFromVectors(pose.r, pose.t);
      for (int i = 0; i < 9; ++i) EXPECT_NEAR(rebuilt.R[i], pose.R[i], 1e-9);
    }
  const SyntheticPose relative = PoseFromVectors(options.stereoRotation, options.stereoTranslation);
  const SyntheticPose composed = ComposePose(relative, SyntheticPose{});
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(composed.r[i], options.stereoRotation[i], 1e-9);
}

// The typical camera serves every image size `lentora synth` takes: the default
// board fits wholly inside each view, and its principal point stays at the
// image centre, so workspaces of other sizes calibrate alike.
TEST(SyntheticViews, TypicalCameraKeepsTheDefaultBoardInsideImagesOfEverySize) {
  for (const auto& [width, height] : {std::pair{640, 480}, {320, 240}, {1920, 1080}, {480, 640}}) {
    SyntheticOptions options;
    options.camera = TypicalSyntheticCamera(width, height);
    options.renderImages = false;
    const SyntheticRig rig = MakeSyntheticRig(options);
    EXPECT_EQ(rig.hiddenViews, 0) << width << "x" << height;
    ASSERT_EQ(rig.cameras[0].points.size(), 10u);
    const CameraParameters p = rig.cameras[0].camera.ToParameters();
    EXPECT_EQ(p.width, width);
    EXPECT_DOUBLE_EQ(p.cx(), (width - 1) / 2.0);
    EXPECT_DOUBLE_EQ(p.cy(), (height - 1) / 2.0);
    EXPECT_LT(p.distortion[0], 0.0) << "barrel distortion, as a wide lens shows";
  }
}

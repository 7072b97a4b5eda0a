// The stereo rig calibrated from automatically detected grids agrees with the
// rig calibrated from four-click grids of the same views. The views are a
// rendered stereo set of a 9x6 chequerboard: two different cameras with
// barrel distortion, blur, grey-level noise and uneven light, boards tilted
// and turned all over the image, some with a shadow over the origin corner
// and some pushed against the image border so that the squares around the
// origin corner are cut off.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <iostream>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "app/CalibrationService.h"
#include "synth/BoardRenderer.h"
#include "synth/SyntheticViews.h"
#include "core/CalibrationData.h"
#include "grid/GridDetection.h"
#include "grid/GridExtraction.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
const GridDescription kGrid{30.0, 30.0, 9, 6, 3, 3};

SyntheticCamera LeftCamera() {
  return {820.0, 818.0, 322.0, 236.0, LensModel::PinholeRadtan, {-0.24, 0.07, 0.0006, -0.0004}, 640, 480};
}
SyntheticCamera RightCamera() {
  return {805.0, 806.0, 316.0, 243.0, LensModel::PinholeRadtan, {-0.21, 0.05, -0.0003, 0.0005}, 640, 480};
}
// Camera-1 coordinates = R(r) * X0 + t: a 110 mm baseline, slightly toed in.
SyntheticPose RigPose() { return PoseFromVectors({0.01, -0.08, 0.005}, {-110.0, 1.5, 3.0}); }

double Distance(const ImagePoint& a, const ImagePoint& b) { return std::hypot(a.x - b.x, a.y - b.y); }

ImagePoint OriginCorner(const PointList& grid) { return grid[(kGrid.ny - 1) * kGrid.nx]; }

double DistanceToImageEdge(const ImagePoint& p, const SyntheticCamera& camera) {
  return std::min({p.x, p.y, camera.width - 1 - p.x, camera.height - 1 - p.y});
}

bool GridInside(const SyntheticCamera& camera, const SyntheticPose& pose, double margin) {
  const PointList grid = ProjectGrid(camera, pose, kGrid);
  return std::all_of(grid.begin(), grid.end(),
                     [&](const ImagePoint& p) { return DistanceToImageEdge(p, camera) >= margin; });
}

// Slides the board parallel to the left image until its origin corner lies
// `gap` pixels from the nearest image edge, so that the square outside the
// grid at the origin (and the white margin) is cut off. False when the grid
// would then leave either image.
bool PushOriginToEdge(SyntheticPose& pose, double gap) {
  const SyntheticCamera left = LeftCamera(), right = RightCamera();
  for (int step = 0; step < 20; ++step) {
    const ImagePoint origin = ProjectGrid(left, pose, kGrid)[(kGrid.ny - 1) * kGrid.nx];
    const std::array<double, 4> gaps{origin.x, origin.y, left.width - 1 - origin.x, left.height - 1 - origin.y};
    const size_t edge = std::min_element(gaps.begin(), gaps.end()) - gaps.begin();
    const double move = gaps[edge] - gap;  // pixels towards that edge
    const double depth = pose.t[2];  // the origin corner's depth
    if (edge == 0) pose.t[0] -= move * depth / left.fx;
    if (edge == 2) pose.t[0] += move * depth / left.fx;
    if (edge == 1) pose.t[1] -= move * depth / left.fy;
    if (edge == 3) pose.t[1] += move * depth / left.fy;
    if (std::abs(move) < 0.05) break;
  }
  const double inner = gap - 1.0;
  return GridInside(left, pose, inner) && GridInside(right, ComposePose(RigPose(), pose), inner);
}

// Squares at least 15 pixels on a side in both images, as a photographer
// keeps them for the refinement window.
bool ClearlySeen(const SyntheticPose& pose) {
  const SyntheticCamera cameras[2] = {LeftCamera(), RightCamera()};
  for (int c = 0; c < 2; ++c) {
    const PointList grid = ProjectGrid(cameras[c], c == 0 ? pose : ComposePose(RigPose(), pose), kGrid);
    for (int i = 0; i < kGrid.ny; ++i)
      for (int j = 0; j < kGrid.nx; ++j) {
        const ImagePoint& p = grid[i * kGrid.nx + j];
        if (j + 1 < kGrid.nx && Distance(p, grid[i * kGrid.nx + j + 1]) < 15.0) return false;
        if (i + 1 < kGrid.ny && Distance(p, grid[(i + 1) * kGrid.nx + j]) < 15.0) return false;
      }
  }
  return true;
}

// A soft-edged shadow centred on the origin corner, darkening the squares
// that meet there to less than half their brightness.
cv::Mat ShadowOverOrigin(const cv::Mat& image, const PointList& exact) {
  const ImagePoint origin = OriginCorner(exact);
  const double square = Distance(exact[(kGrid.ny - 1) * kGrid.nx], exact[(kGrid.ny - 1) * kGrid.nx + 1]);
  const double radius = 1.6 * square;
  cv::Mat shaded = image.clone();
  for (int y = 0; y < shaded.rows; ++y)
    for (int x = 0; x < shaded.cols; ++x) {
      const double r = std::hypot(x - origin.x, y - origin.y) / radius;
      if (r >= 1.5) continue;
      const double gain = r <= 0.5 ? 0.45 : 0.45 + 0.55 * (r - 0.5);
      cv::Vec3b& p = shaded.at<cv::Vec3b>(y, x);
      for (int c = 0; c < 3; ++c) p[c] = cv::saturate_cast<uchar>(p[c] * gain);
    }
  return shaded;
}

// Light falling off across the picture from one side.
cv::Mat UnevenlyLit(const cv::Mat& image, double angle) {
  cv::Mat lit = image.clone();
  const double dx = std::cos(angle), dy = std::sin(angle);
  for (int y = 0; y < lit.rows; ++y)
    for (int x = 0; x < lit.cols; ++x) {
      const double along = (dx * (x - lit.cols / 2.0) + dy * (y - lit.rows / 2.0)) / lit.cols;
      const double gain = 0.9 + 0.6 * along;
      cv::Vec3b& p = lit.at<cv::Vec3b>(y, x);
      for (int c = 0; c < 3; ++c) p[c] = cv::saturate_cast<uchar>(p[c] * gain);
    }
  return lit;
}

enum class Trouble { None, OriginDark, OriginCut };

struct StereoView {
  Trouble trouble = Trouble::None;
  std::array<cv::Mat, 2> images;
  std::array<PointList, 2> exact;
};

struct StereoSet {
  std::vector<StereoView> views;
  int darkViews = 0;
  int cutViews = 0;
};

StereoSet RenderStereoSet() {
  const SyntheticCamera cameras[2] = {LeftCamera(), RightCamera()};
  const SyntheticPose rig = RigPose();
  const std::vector<SyntheticPose> poses = MakeSyntheticPoses(20, kGrid, cameras[0], &rig, &cameras[1], 11);
  StereoSet set;
  for (size_t v = 0; v < poses.size(); ++v) {
    StereoView view;
    SyntheticPose pose = poses[v];
    if (!ClearlySeen(pose)) continue;
    SyntheticPose pushed = pose;
    if (v % 2 == 1 && set.cutViews < 4 && PushOriginToEdge(pushed, 16.0)) {
      pose = pushed;
      view.trouble = Trouble::OriginCut;
      ++set.cutViews;
    }
    if (v % 4 == 2) view.trouble = Trouble::OriginDark;
    for (int c = 0; c < 2; ++c) {
      const SyntheticPose seen = c == 0 ? pose : ComposePose(rig, pose);
      RenderOptions render;
      render.blurSigma = 0.9 + 0.1 * (v % 3);
      render.imageNoise = 2.5;
      render.seed = static_cast<uint32_t>(100 * c + v + 1);
      cv::Mat image = RenderBoard(cameras[c], seen, kGrid, render);
      view.exact[c] = ProjectGrid(cameras[c], seen, kGrid);
      if (view.trouble == Trouble::OriginDark) image = ShadowOverOrigin(image, view.exact[c]);
      if (v % 3 == 0) image = UnevenlyLit(image, 0.9 * static_cast<double>(v));
      view.images[c] = image;
    }
    set.darkViews += view.trouble == Trouble::OriginDark;
    set.views.push_back(std::move(view));
  }
  return set;
}

std::string Label(int camera, int view) { return "camera " + std::to_string(camera) + " view " + std::to_string(view); }

void AddImages(CCalibrationData& store, const StereoSet& set) {
  for (int c = 0; c < 2; ++c) {
    store.AddCamera();
    store.SetGrid(c, kGrid);
    for (const StereoView& view : set.views) ASSERT_TRUE(store.AddViewFromFrame(c, view.images[c].clone()));
  }
}

// Four clicks a little off the outer corners, the origin first, as a user
// marks a view; the editor's extraction does the rest.
void MarkByClicks(CCalibrationData& store, const StereoSet& set) {
  const int nx = kGrid.nx, ny = kGrid.ny;
  const std::array<int, 4> outer{(ny - 1) * nx, 0, nx - 1, ny * nx - 1};
  for (int c = 0; c < 2; ++c)
    for (int v = 0; v < static_cast<int>(set.views.size()); ++v) {
      for (int k = 0; k < 4; ++k) {
        const double angle = 2.0 * kPi * (0.37 * v + 0.25 * k + 0.5 * c);
        const ImagePoint truth = set.views[v].exact[c][outer[k]];
        const ImagePoint click{truth.x + 1.5 * std::cos(angle), truth.y + 1.5 * std::sin(angle)};
        ASSERT_EQ(AddBorderPoint(store, c, v, click).status, GridStatus::Ok) << Label(c, v);
      }
      ASSERT_EQ(EstimateGrid(store, c, v), GridStatus::Ok) << Label(c, v);
    }
}

// Angle in degrees of the rotation taking one rig rotation to the other.
double RotationDifferenceDegrees(const std::array<double, 9>& a, const std::array<double, 9>& b) {
  double trace = 0.0;  // trace of a * b^T
  for (int i = 0; i < 3; ++i)
    for (int k = 0; k < 3; ++k) trace += a[3 * i + k] * b[3 * i + k];
  return std::acos(std::clamp((trace - 1.0) / 2.0, -1.0, 1.0)) * 180.0 / kPi;
}

}  // namespace

TEST(StereoRigFromDetection, DetectedGridsGiveTheRigOfClickedGridsWithOneOriginThroughout) {
  const StereoSet set = RenderStereoSet();
  ASSERT_GE(set.cutViews, 3);
  ASSERT_GE(set.darkViews, 3);

  CCalibrationData clicked;
  AddImages(clicked, set);
  MarkByClicks(clicked, set);

  // Views the detector misses keep what they had (nothing) and stay out of
  // the detected rig; a user would click them.
  CCalibrationData detected;
  AddImages(detected, set);
  std::vector<double> toClicked;
  int misses = 0;
  int bothFound = 0;
  for (int v = 0; v < static_cast<int>(set.views.size()); ++v) {
    int found = 0;
    for (int c = 0; c < 2; ++c) {
      const GridDetection detection = DetectGrid(detected, c, v);
      if (detection.status != GridStatus::Ok) {
        ++misses;
        EXPECT_EQ(set.views[v].trouble, Trouble::OriginDark)
            << Label(c, v) << ": " << DescribeGridStatus(detection.status);
        EXPECT_FALSE(detected.ViewHasPoints(c, v)) << Label(c, v);
        EXPECT_TRUE(detected.GetGridPoints(c, v)->empty()) << Label(c, v);
        continue;
      }
      ++found;
      EXPECT_TRUE(detection.originFromColours) << Label(c, v);
      // A wrong origin puts every corner at least a square (15 px here) from its truth.
      const PointList& corners = *detected.GetGridPoints(c, v);
      const PointList& exact = set.views[v].exact[c];
      ASSERT_EQ(corners.size(), exact.size()) << Label(c, v);
      double worst = 0.0;
      for (size_t k = 0; k < exact.size(); ++k) {
        worst = std::max(worst, Distance(corners[k], exact[k]));
        toClicked.push_back(Distance(corners[k], (*clicked.GetGridPoints(c, v))[k]));
      }
      EXPECT_LT(worst, 1.0) << Label(c, v);
    }
    bothFound += found == 2;
  }
  // The library detectors lose at most one shadowed image of the 30.
  EXPECT_LE(misses, 1);
  std::sort(toClicked.begin(), toClicked.end());
  EXPECT_LE(toClicked[toClicked.size() / 2], 0.05);
  EXPECT_LE(toClicked.back(), 0.1);

  const StereoRigResult fromClicks = CalibrateStereoRig(clicked);
  const StereoRigResult fromDetection = CalibrateStereoRig(detected);
  ASSERT_TRUE(fromClicks.ok) << fromClicks.message;
  ASSERT_TRUE(fromDetection.ok) << fromDetection.message;
  EXPECT_EQ(fromDetection.pairCount, bothFound);
  EXPECT_EQ(fromClicks.pairCount, static_cast<int>(set.views.size()));
  const double baselineDifference = std::abs(fromDetection.baseline - fromClicks.baseline) / fromClicks.baseline;
  const double rotationDifference = RotationDifferenceDegrees(fromDetection.second.R, fromClicks.second.R);
  EXPECT_LE(baselineDifference, 0.001);
  EXPECT_LE(rotationDifference, 0.05);
  // Both stand near the rendered rig, so agreeing is not agreeing on nonsense.
  const SyntheticPose truth = RigPose();
  const double trueBaseline = std::hypot(truth.t[0], truth.t[1], truth.t[2]);
  EXPECT_NEAR(fromClicks.baseline, trueBaseline, 0.005 * trueBaseline);
  EXPECT_LE(RotationDifferenceDegrees(fromClicks.second.R, truth.R), 0.1);
  std::cout << set.views.size() << " stereo views (" << set.cutViews << " origin cut, " << set.darkViews
            << " origin dark), " << misses << " images not detected; detected vs clicked corners: median "
            << toClicked[toClicked.size() / 2] << " px, largest " << toClicked.back() << " px; baseline "
            << fromDetection.baseline << " vs " << fromClicks.baseline << " (true " << trueBaseline
            << "), difference " << 100.0 * baselineDifference
            << "%, rotation difference " << rotationDifference << " deg\n";
}

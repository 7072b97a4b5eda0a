// Projection uncertainty against Monte Carlo: the views are drawn again with
// fresh noise 200 times and calibrated each time; the spread of where each
// cell's point lands through the re-calibrated cameras (computed with
// OpenCV's projection and undistortion, anchored to the true board poses) is
// the truth the predicted map must match, for boards spread over the image
// and for boards clustered in its centre.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>

#include <Eigen/Dense>

#include "calib/FitCovariance.h"
#include "support/MonteCarloSpread.h"

namespace {

using monte_carlo::OpenCvCamera;

const GridDescription kGrid{25.0, 25.0, 9, 6, 5, 5};
constexpr double kNoise = 0.2;
constexpr int kRedraws = 200;

SyntheticCamera TrueCamera() {
  SyntheticCamera camera;
  camera.fx = 810.0;
  camera.fy = 790.0;
  camera.cx = 322.0;
  camera.cy = 236.0;
  camera.coefficients[0] = -0.21;
  camera.coefficients[1] = 0.08;
  camera.coefficients[2] = 0.0012;
  camera.coefficients[3] = -0.0007;
  return camera;
}

std::vector<SyntheticPose> SpreadPoses() {
  return MakeSyntheticPoses(14, kGrid, TrueCamera(), nullptr, nullptr, 7);
}

// Boards 450 mm away, tilted up to 35 degrees, their centres within 50 px of the
// image centre: the image's outer band sees no corner.
std::vector<SyntheticPose> ClusteredPoses() { return monte_carlo::ClusteredPoses(kGrid); }

std::vector<PointList> NoisyViews(const std::vector<SyntheticPose>& poses, std::mt19937& random) {
  std::normal_distribution<double> noise(0.0, kNoise);
  std::vector<PointList> views;
  for (const SyntheticPose& pose : poses) {
    views.push_back(ProjectGrid(TrueCamera(), pose, kGrid));
    for (ImagePoint& p : views.back()) {
      p.x += noise(random);
      p.y += noise(random);
    }
  }
  return views;
}

bool Calibrate(const std::vector<PointList>& views, CameraFit& fit) {
  return monte_carlo::CalibrateViews(views, kGrid, 640, 480, fit);
}

monte_carlo::Result RunMonteCarlo(const std::vector<SyntheticPose>& poses, uint32_t seed) {
  std::mt19937 random(seed);
  const monte_carlo::Result result =
      monte_carlo::Run(TrueCamera().ToParameters(), poses, kGrid, kRedraws,
                       [&](int, CameraFit& fit) { return Calibrate(NoisyViews(poses, random), fit); });
  EXPECT_TRUE(result.calibrated);
  EXPECT_EQ(result.failed, 0);
  return result;
}

// Every cell's prediction within ±20% of the measured spread.
void ExpectAgreement(const ProjectionUncertaintyMap& map, const std::vector<double>& measured, const char* what) {
  ASSERT_TRUE(map.valid) << what;
  ASSERT_EQ(map.sigma.size(), measured.size()) << what;
  const monte_carlo::RatioRange r = monte_carlo::RatioRangeOf(map, measured);
  EXPECT_GT(r.lowest, 0.8) << what << ": cell " << r.lowestCell << " predicted " << map.sigma[r.lowestCell]
                           << " measured " << measured[r.lowestCell];
  EXPECT_LT(r.highest, 1.2) << what << ": cell " << r.highestCell << " predicted " << map.sigma[r.highestCell]
                            << " measured " << measured[r.highestCell];
  std::printf("%s: predicted/measured %.3f..%.3f, worst %.4f px, centre90 %.4f px, distance %.1f\n", what, r.lowest,
              r.highest, map.worst, map.centre90, map.distance);
}

// Independent noise leaves no error of its own: the re-calibrations centre on the truth.
void ExpectCentredOnTruth(const ProjectionUncertaintyMap& map, const std::vector<double>& meanError,
                          const char* what) {
  ASSERT_EQ(map.sigma.size(), meanError.size()) << what;
  double worst = 0.0;
  for (size_t c = 0; c < meanError.size(); ++c) worst = std::max(worst, meanError[c] / map.sigma[c]);
  EXPECT_LT(worst, 0.25) << what << ": the re-calibrations' mean lies off the truth (in predicted sigma)";
  std::printf("%s: mean of the re-calibrations off the truth by at most %.3f sigma\n", what, worst);
}

double CornerSigma(const ProjectionUncertaintyMap& map) {
  return std::max({map.At(0, 0), map.At(map.columns - 1, 0), map.At(0, map.rows - 1),
                   map.At(map.columns - 1, map.rows - 1)});
}

}  // namespace

TEST(ProjectionUncertainty, SpreadAndClusteredBoardsMatchTheSpreadOfRecalibrationsAndDifferAtTheCorners) {
  const monte_carlo::Result spread = RunMonteCarlo(SpreadPoses(), 21);
  const monte_carlo::Result clustered = RunMonteCarlo(ClusteredPoses(), 22);
  ExpectAgreement(spread.predicted.atDistance, spread.measuredAtDistance, "spread, median distance");
  ExpectAgreement(spread.predicted.atInfinity, spread.measuredAtInfinity, "spread, infinity");
  ExpectAgreement(clustered.predicted.atDistance, clustered.measuredAtDistance, "clustered, median distance");
  ExpectAgreement(clustered.predicted.atInfinity, clustered.measuredAtInfinity, "clustered, infinity");
  ExpectCentredOnTruth(spread.predicted.atDistance, spread.meanErrorAtDistance, "spread, median distance");
  ExpectCentredOnTruth(clustered.predicted.atInfinity, clustered.meanErrorAtInfinity, "clustered, infinity");

  for (const ProjectionUncertaintyMap* map : {&spread.predicted.atDistance, &clustered.predicted.atDistance}) {
    EXPECT_GE(map->columns, 30);
    EXPECT_GE(map->rows, 20);
    EXPECT_LE(map->centre90, map->worst);
  }
  // Boards in the centre leave the corners to extrapolation.
  const ProjectionUncertaintyMap& near = clustered.predicted.atDistance;
  EXPECT_GT(CornerSigma(near), 2.0 * CornerSigma(spread.predicted.atDistance));
  EXPECT_GT(CornerSigma(near), 5.0 * near.At(near.columns / 2, near.rows / 2));
  EXPECT_GT(CornerSigma(near), 0.8 * near.worst) << "the worst cells are near the corners";
}

// Boards that move between drawings (a few pixels and half a degree) are
// anchored to each drawing's own poses: the re-calibrations still centre on
// the truth, and their spread about the truth is their spread about their mean.
TEST(ProjectionUncertainty, BoardsMovedBetweenDrawingsAreHeldInEachDrawingsOwnPoses) {
  const std::vector<SyntheticPose> poses = SpreadPoses();
  const auto posesOf = [&poses](int k) {
    std::mt19937 random(static_cast<uint32_t>(500 + k));
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::vector<SyntheticPose> moved;
    for (const SyntheticPose& pose : poses) {
      const double turn = 0.5 * M_PI / 180.0;
      moved.push_back(PoseFromVectors({pose.r[0] + turn * unit(random), pose.r[1] + turn * unit(random), pose.r[2]},
                                      {pose.t[0] + 2.0 * unit(random), pose.t[1] + 2.0 * unit(random), pose.t[2]}));
    }
    return k == 0 ? poses : moved;
  };
  std::mt19937 random(23);
  const monte_carlo::Result result =
      monte_carlo::Run(TrueCamera().ToParameters(), posesOf, kGrid, 60,
                       [&](int k, CameraFit& fit) { return Calibrate(NoisyViews(posesOf(k), random), fit); });
  ASSERT_TRUE(result.calibrated);
  ASSERT_EQ(result.done, 60);
  const ProjectionUncertaintyMap& map = result.predicted.atDistance;
  double worstOff = 0.0, worstInflation = 0.0;
  for (size_t c = 0; c < map.sigma.size(); ++c) {
    worstOff = std::max(worstOff, result.meanErrorAtDistance[c] / map.sigma[c]);
    worstInflation = std::max(worstInflation, result.aboutTruthAtDistance[c] / result.measuredAtDistance[c]);
  }
  EXPECT_LT(worstOff, 0.5) << "the re-calibrations' mean lies off the truth (in predicted sigma)";
  EXPECT_LT(worstInflation, 1.15) << "the spread about the truth exceeds the spread about the mean";
  const monte_carlo::RatioRange r = monte_carlo::RatioRangeOf(map, result.measuredAtDistance);
  EXPECT_GT(r.lowest, 0.7);
  EXPECT_LT(r.highest, 1.3);
  std::printf("moved boards: mean off the truth at most %.3f sigma, about the truth / about the mean at most %.3f, "
              "predicted/measured %.3f..%.3f\n", worstOff, worstInflation, r.lowest, r.highest);
}

TEST(ProjectionUncertainty, PixelsUnprojectAsOpenCvUndistortsAndPixelsBeyondTheLensHaveNoRay) {
  const CameraParameters camera = TrueCamera().ToParameters();
  const OpenCvCamera reference(camera);
  for (double u : {0.0, 160.0, 322.0, 639.0})
    for (double v : {0.0, 236.0, 479.0}) {
      double x = 0.0, y = 0.0;
      ASSERT_TRUE(UnprojectPixel(camera, u, v, x, y)) << u << " " << v;
      const Eigen::Vector3d ray = reference.Ray(u, v);
      EXPECT_NEAR(x, ray.x() / ray.z(), 1e-9);
      EXPECT_NEAR(y, ray.y() / ray.z(), 1e-9);
    }
  // Strong barrel distortion folds back: radii past its turning point are never reached.
  CameraParameters folded = camera;
  folded.distortion = {-0.8, 0.0, 0.0, 0.0, 0.0};
  double x = 0.0, y = 0.0;
  EXPECT_FALSE(UnprojectPixel(folded, 322.0 + 0.6 * 810.0, 236.0, x, y));
  EXPECT_TRUE(UnprojectPixel(folded, 322.0 + 0.3 * 810.0, 236.0, x, y));
}

TEST(ProjectionUncertainty, NoMapWithoutACovarianceOrAnImageAndTheMedianDistanceIsTheBoards) {
  std::mt19937 random(3);
  CameraFit clustered;
  ASSERT_TRUE(Calibrate(NoisyViews(ClusteredPoses(), random), clustered));
  EXPECT_NEAR(MedianBoardDistance(clustered), 450.0, 10.0);
  const std::vector<SyntheticPose> poses = SpreadPoses();
  CameraFit fit;
  ASSERT_TRUE(Calibrate(NoisyViews(poses, random), fit));

  EXPECT_FALSE(ProjectionUncertaintyReportOf(fit, 0, 480).atDistance.valid);
  CameraFit noViews = fit;
  noViews.poses.clear();
  noViews.points.clear();
  noViews.views.clear();
  const ProjectionUncertaintyReport few = ProjectionUncertaintyReportOf(noViews, 640, 480);
  EXPECT_FALSE(few.atDistance.valid);
  EXPECT_FALSE(few.atInfinity.valid);
  EXPECT_FALSE(ProjectionUncertaintyOf(fit, MarginalisedCovarianceOf(fit), 640, 480, 0.0).valid);

  // Twice the noise, twice the uncertainty: the residual variance scales the map.
  CameraFit noisier = fit;
  for (size_t v = 0; v < fit.points.size(); ++v) {
    const PointList exact = ProjectGrid(TrueCamera(), poses[v], kGrid);
    for (size_t k = 0; k < exact.size(); ++k) {
      noisier.points[v][k].x = exact[k].x + 2.0 * (fit.points[v][k].x - exact[k].x);
      noisier.points[v][k].y = exact[k].y + 2.0 * (fit.points[v][k].y - exact[k].y);
    }
  }
  const std::vector<PointList> noisierPoints = noisier.points;
  ASSERT_TRUE(Calibrate(noisierPoints, noisier));
  const double ratio = ProjectionUncertaintyReportOf(noisier, 640, 480).atInfinity.worst /
                       ProjectionUncertaintyReportOf(fit, 640, 480).atInfinity.worst;
  EXPECT_NEAR(ratio, 2.0, 0.2);
}

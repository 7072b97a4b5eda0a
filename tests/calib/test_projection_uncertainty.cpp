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
#include <opencv2/calib3d.hpp>

#include "calib/CalibrationProblem.h"
#include "calib/FitCovariance.h"
#include "calib/ProjectionUncertainty.h"
#include "synth/SyntheticViews.h"

namespace {

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
std::vector<SyntheticPose> ClusteredPoses() {
  std::mt19937 random(11);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  std::vector<SyntheticPose> poses;
  const Eigen::Vector3d centre(0.5 * (kGrid.nx - 1) * kGrid.dX, 0.5 * (kGrid.ny - 1) * kGrid.dY, 0.0);
  for (int view = 0; view < 14; ++view) {
    const double direction = 2.0 * M_PI * view / 14.0;
    const double tilt = (20.0 + 15.0 * std::fabs(unit(random))) * M_PI / 180.0;
    const std::array<double, 3> r{tilt * std::cos(direction), tilt * std::sin(direction), 0.3 * unit(random)};
    SyntheticPose pose = PoseFromVectors(r, {0.0, 0.0, 0.0});
    const Eigen::Map<const Eigen::Matrix<double, 3, 3, Eigen::RowMajor>> R(pose.R.data());
    const Eigen::Vector3d t = Eigen::Vector3d(28.0 * unit(random), 22.0 * unit(random), 450.0) - R * centre;
    poses.push_back(PoseFromVectors(r, {t.x(), t.y(), t.z()}));
  }
  return poses;
}

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
  CalibrationOptions options;
  options.writePointDump = false;
  options.xTolerance = options.fTolerance = options.gTolerance = 1e-10;
  CalibrationProblem problem(options);
  if (!problem.Calibrate(views, kGrid, 640, 480)) return false;
  fit = FitOf(problem);
  return fit.views.size() == views.size();
}

struct OpenCvCamera {
  cv::Matx33d K;
  cv::Vec4d distortion;

  explicit OpenCvCamera(const CameraParameters& p)
      : K(p.K[0], p.K[1], p.K[2], p.K[3], p.K[4], p.K[5], p.K[6], p.K[7], p.K[8]),
        distortion(p.distortion[0], p.distortion[1], p.distortion[2], p.distortion[3]) {}

  cv::Point2d Project(const Eigen::Vector3d& p) const {
    std::vector<cv::Point2d> out;
    cv::projectPoints(std::vector<cv::Point3d>{{p.x(), p.y(), p.z()}}, cv::Vec3d(), cv::Vec3d(), K, distortion, out);
    return out[0];
  }
  Eigen::Vector3d Ray(double u, double v) const {
    std::vector<cv::Point2d> out;
    cv::undistortPoints(std::vector<cv::Point2d>{{u, v}}, out, K, distortion, cv::noArray(), cv::noArray(),
                        cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 200, 1e-15));
    return Eigen::Vector3d(out[0].x, out[0].y, 1.0).normalized();
  }
};

Eigen::Matrix3d RotationOf(const std::array<double, 3>& r) {
  cv::Matx33d R;
  cv::Rodrigues(cv::Vec3d(r[0], r[1], r[2]), R);
  Eigen::Matrix3d M;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) M(i, j) = R(i, j);
  return M;
}

// One cell's point held in each true board frame; `Land` brings it back
// through a re-calibration's poses (averaged) and camera.
struct AnchoredPoint {
  std::vector<Eigen::Vector3d> inBoards;
  bool finite = true;

  Eigen::Vector2d Land(const CameraFit& fit, const OpenCvCamera& camera) const {
    Eigen::Vector3d mean = Eigen::Vector3d::Zero();
    for (size_t i = 0; i < inBoards.size(); ++i) {
      mean += RotationOf(fit.poses[i].r) * inBoards[i];
      if (finite) mean += Eigen::Vector3d(fit.poses[i].t[0], fit.poses[i].t[1], fit.poses[i].t[2]);
    }
    const cv::Point2d q = camera.Project(mean / static_cast<double>(inBoards.size()));
    return {q.x, q.y};
  }
};

std::vector<AnchoredPoint> AnchorCells(const ProjectionUncertaintyMap& map, const std::vector<SyntheticPose>& poses) {
  const OpenCvCamera truth(TrueCamera().ToParameters());
  const bool finite = std::isfinite(map.distance);
  std::vector<AnchoredPoint> cells;
  for (int row = 0; row < map.rows; ++row)
    for (int column = 0; column < map.columns; ++column) {
      const Eigen::Vector3d ray = truth.Ray(map.CellX(column), map.CellY(row));
      const Eigen::Vector3d p = finite ? Eigen::Vector3d(map.distance * ray) : ray;
      AnchoredPoint cell{{}, finite};
      for (const SyntheticPose& pose : poses) {
        const Eigen::Vector3d t(pose.t[0], pose.t[1], pose.t[2]);
        cell.inBoards.push_back(RotationOf(pose.r).transpose() * (finite ? Eigen::Vector3d(p - t) : p));
      }
      cells.push_back(cell);
    }
  return cells;
}

// Running mean and covariance of a 2D sample per cell.
struct Spread {
  std::vector<Eigen::Vector2d> sum;
  std::vector<Eigen::Matrix2d> outer;
  int count = 0;

  void Add(const std::vector<Eigen::Vector2d>& sample) {
    if (sum.empty()) {
      sum.assign(sample.size(), Eigen::Vector2d::Zero());
      outer.assign(sample.size(), Eigen::Matrix2d::Zero());
    }
    for (size_t c = 0; c < sample.size(); ++c) {
      sum[c] += sample[c];
      outer[c] += sample[c] * sample[c].transpose();
    }
    ++count;
  }
  double WorstDirectionSigma(size_t cell) const {
    const double n = static_cast<double>(count);
    const Eigen::Vector2d mean = sum[cell] / n;
    const Eigen::Matrix2d covariance = (outer[cell] - n * mean * mean.transpose()) / (n - 1.0);
    return std::sqrt(Eigen::SelfAdjointEigenSolver<Eigen::Matrix2d>(covariance).eigenvalues().maxCoeff());
  }
};

struct MonteCarloResult {
  ProjectionUncertaintyReport predicted;
  std::vector<double> measuredAtDistance;
  std::vector<double> measuredAtInfinity;
};

MonteCarloResult RunMonteCarlo(const std::vector<SyntheticPose>& poses, uint32_t seed) {
  std::mt19937 random(seed);
  MonteCarloResult result;
  CameraFit fit;
  EXPECT_TRUE(Calibrate(NoisyViews(poses, random), fit));
  result.predicted = ProjectionUncertaintyReportOf(fit, 640, 480);
  const std::vector<AnchoredPoint> near = AnchorCells(result.predicted.atDistance, poses);
  const std::vector<AnchoredPoint> far = AnchorCells(result.predicted.atInfinity, poses);
  Spread nearSpread, farSpread;
  int failed = 0;
  for (int k = 0; k < kRedraws; ++k) {
    CameraFit again;
    if (!Calibrate(NoisyViews(poses, random), again)) {
      ++failed;
      continue;
    }
    const OpenCvCamera camera(again.camera);
    std::vector<Eigen::Vector2d> nearSample, farSample;
    for (const AnchoredPoint& cell : near) nearSample.push_back(cell.Land(again, camera));
    for (const AnchoredPoint& cell : far) farSample.push_back(cell.Land(again, camera));
    nearSpread.Add(nearSample);
    farSpread.Add(farSample);
  }
  EXPECT_EQ(failed, 0);
  for (size_t c = 0; c < near.size(); ++c) result.measuredAtDistance.push_back(nearSpread.WorstDirectionSigma(c));
  for (size_t c = 0; c < far.size(); ++c) result.measuredAtInfinity.push_back(farSpread.WorstDirectionSigma(c));
  return result;
}

// Every cell's prediction within ±20% of the measured spread.
void ExpectAgreement(const ProjectionUncertaintyMap& map, const std::vector<double>& measured, const char* what) {
  ASSERT_TRUE(map.valid) << what;
  ASSERT_EQ(map.sigma.size(), measured.size()) << what;
  double lowest = 1e9, highest = 0.0;
  size_t lowestCell = 0, highestCell = 0;
  for (size_t c = 0; c < measured.size(); ++c) {
    const double ratio = map.sigma[c] / measured[c];
    if (ratio < lowest) lowest = ratio, lowestCell = c;
    if (ratio > highest) highest = ratio, highestCell = c;
  }
  EXPECT_GT(lowest, 0.8) << what << ": cell " << lowestCell << " predicted " << map.sigma[lowestCell] << " measured "
                         << measured[lowestCell];
  EXPECT_LT(highest, 1.2) << what << ": cell " << highestCell << " predicted " << map.sigma[highestCell]
                          << " measured " << measured[highestCell];
  std::printf("%s: predicted/measured %.3f..%.3f, worst %.4f px, centre90 %.4f px, distance %.1f\n", what, lowest,
              highest, map.worst, map.centre90, map.distance);
}

double CornerSigma(const ProjectionUncertaintyMap& map) {
  return std::max({map.At(0, 0), map.At(map.columns - 1, 0), map.At(0, map.rows - 1),
                   map.At(map.columns - 1, map.rows - 1)});
}

}  // namespace

TEST(ProjectionUncertainty, SpreadAndClusteredBoardsMatchTheSpreadOfRecalibrationsAndDifferAtTheCorners) {
  const MonteCarloResult spread = RunMonteCarlo(SpreadPoses(), 21);
  const MonteCarloResult clustered = RunMonteCarlo(ClusteredPoses(), 22);
  ExpectAgreement(spread.predicted.atDistance, spread.measuredAtDistance, "spread, median distance");
  ExpectAgreement(spread.predicted.atInfinity, spread.measuredAtInfinity, "spread, infinity");
  ExpectAgreement(clustered.predicted.atDistance, clustered.measuredAtDistance, "clustered, median distance");
  ExpectAgreement(clustered.predicted.atInfinity, clustered.measuredAtInfinity, "clustered, infinity");

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

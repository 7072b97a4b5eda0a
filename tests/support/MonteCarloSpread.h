#pragma once
// The predicted projection uncertainty against the spread of re-calibrations:
// the same views are drawn again with fresh noise and calibrated each time;
// the point the true camera sees at each cell's centre (at the map's distance,
// or its direction at infinity) is held in every true board frame and brought
// back through each re-calibration's poses (averaged) and camera, computed
// with OpenCV's projection and undistortion. The spread of where it lands, in
// its worst direction, is what the map predicts without the detector's floor
// (which stands for an error that re-drawn noise does not bring).
//
// The caller draws and calibrates the views; the fits must keep every view,
// in the order of the true poses, with the grid points in grid order.

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <vector>

#include <opencv2/calib3d.hpp>

#include "calib/CalibrationProblem.h"
#include "calib/ProjectionUncertainty.h"
#include "support/ProjectionAgainstTruth.h"
#include "synth/SyntheticViews.h"

namespace monte_carlo {

// The pinhole family's camera as OpenCV models it (k1 k2 p1 p2 k3).
struct OpenCvCamera {
  cv::Matx33d K;
  cv::Vec<double, 5> distortion;

  explicit OpenCvCamera(const CameraParameters& p)
      : K(p.K[0], p.K[1], p.K[2], p.K[3], p.K[4], p.K[5], p.K[6], p.K[7], p.K[8]),
        distortion(p.distortion[0], p.distortion[1], p.distortion[2], p.distortion[3], p.distortion[4]) {}

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

inline Eigen::Matrix3d RotationOf(const std::array<double, 3>& r) {
  cv::Matx33d R;
  cv::Rodrigues(cv::Vec3d(r[0], r[1], r[2]), R);
  Eigen::Matrix3d M;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) M(i, j) = R(i, j);
  return M;
}

// One cell's point held in each true board frame.
struct AnchoredPoint {
  std::vector<Eigen::Vector3d> inBoards;
  bool finite = true;

  Eigen::Vector2d Land(const CameraFit& fit, const OpenCvCamera& camera,
                       const truth_comparison::Rigid& boardFrame) const {
    Eigen::Vector3d mean = Eigen::Vector3d::Zero();
    for (size_t i = 0; i < inBoards.size(); ++i) {
      const Eigen::Vector3d onBoard = finite ? boardFrame.Apply(inBoards[i]) : Eigen::Vector3d(boardFrame.R * inBoards[i]);
      mean += RotationOf(fit.poses[i].r) * onBoard;
      if (finite) mean += Eigen::Vector3d(fit.poses[i].t[0], fit.poses[i].t[1], fit.poses[i].t[2]);
    }
    const cv::Point2d q = camera.Project(mean / static_cast<double>(inBoards.size()));
    return {q.x, q.y};
  }
};

// The camera-frame point the true camera sees at each cell's centre (its
// direction when the map is at infinity), row by row.
inline std::vector<Eigen::Vector3d> CellPoints(const ProjectionUncertaintyMap& map, const CameraParameters& truth) {
  const OpenCvCamera camera(truth);
  std::vector<Eigen::Vector3d> points;
  for (int row = 0; row < map.rows; ++row)
    for (int column = 0; column < map.columns; ++column) {
      const Eigen::Vector3d ray = camera.Ray(map.CellX(column), map.CellY(row));
      points.push_back(std::isfinite(map.distance) ? Eigen::Vector3d(map.distance * ray) : ray);
    }
  return points;
}

inline std::vector<AnchoredPoint> AnchorCells(const std::vector<Eigen::Vector3d>& points, bool finite,
                                              const std::vector<SyntheticPose>& poses) {
  std::vector<AnchoredPoint> cells;
  for (const Eigen::Vector3d& p : points) {
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
  Eigen::Vector2d Mean(size_t cell) const { return sum[cell] / static_cast<double>(count); }
  Eigen::Matrix2d Covariance(size_t cell) const {
    const double n = static_cast<double>(count);
    const Eigen::Vector2d mean = Mean(cell);
    return (outer[cell] - n * mean * mean.transpose()) / (n - 1.0);
  }
  double WorstDirectionSigma(size_t cell) const { return WorstDirection(Covariance(cell)); }
  // The same with the spread taken about `truth` instead of the sample's mean.
  double WorstDirectionAbout(size_t cell, const Eigen::Vector2d& truth) const {
    const double n = static_cast<double>(count);
    const Eigen::Vector2d off = Mean(cell) - truth;
    return WorstDirection(Covariance(cell) * ((n - 1.0) / n) + off * off.transpose());
  }
  static double WorstDirection(const Eigen::Matrix2d& covariance) {
    return std::sqrt(Eigen::SelfAdjointEigenSolver<Eigen::Matrix2d>(covariance).eigenvalues().maxCoeff());
  }
};

// Calibrates the views with tight tolerances, so that the solver's stopping
// point adds nothing to the spread; false unless every view is kept.
inline bool CalibrateViews(const std::vector<PointList>& views, const GridDescription& grid, int width, int height,
                           CameraFit& fit) {
  CalibrationOptions options;
  options.writePointDump = false;
  options.xTolerance = options.fTolerance = options.gTolerance = 1e-10;
  CalibrationProblem problem(options);
  if (!problem.Calibrate(views, grid, width, height)) return false;
  fit = FitOf(problem);
  return fit.views.size() == views.size();
}

struct Result {
  bool calibrated = false;  // the drawing the prediction comes from
  ProjectionUncertaintyReport predicted;
  std::vector<double> measuredAtDistance;
  std::vector<double> measuredAtInfinity;
  // How far the drawings' mean lands from the cell's centre, px: the
  // calibrations' error against the truth that the noise does not explain.
  std::vector<double> meanErrorAtDistance;
  std::vector<double> meanErrorAtInfinity;
  // The spread taken about the cell's centre (the truth) instead of the mean.
  std::vector<double> aboutTruthAtDistance;
  std::vector<double> aboutTruthAtInfinity;
  int done = 0;
  int failed = 0;
};

// `calibrate(k, fit)` draws the views for the k-th time and calibrates them;
// drawing 0 gives the prediction, drawings 1..redraws the spread.
// `posesOf(k)` gives drawing k's true poses, when the boards move a little
// from drawing to drawing.
inline Result Run(const CameraParameters& truth, const std::function<std::vector<SyntheticPose>(int)>& posesOf,
                  const GridDescription& grid, int redraws, const std::function<bool(int, CameraFit&)>& calibrate) {
  Result result;
  CameraFit first;
  result.calibrated = calibrate(0, first);
  if (!result.calibrated) return result;
  result.predicted = ProjectionUncertaintyReportOf(first, truth.width, truth.height, 0.0);
  const std::vector<Eigen::Vector3d> nearPoints = CellPoints(result.predicted.atDistance, truth);
  const std::vector<Eigen::Vector3d> farPoints = CellPoints(result.predicted.atInfinity, truth);
  const bool finite = std::isfinite(result.predicted.atDistance.distance);
  Spread nearSpread, farSpread;
  for (int k = 1; k <= redraws; ++k) {
    CameraFit again;
    if (!calibrate(k, again)) {
      ++result.failed;
      continue;
    }
    const std::vector<SyntheticPose> poses = posesOf(k);
    const OpenCvCamera camera(again.camera);
    const truth_comparison::Rigid boardFrame = truth_comparison::BoardFrameOfFit(again, grid);
    std::vector<Eigen::Vector2d> nearSample, farSample;
    for (const AnchoredPoint& cell : AnchorCells(nearPoints, finite, poses))
      nearSample.push_back(cell.Land(again, camera, boardFrame));
    for (const AnchoredPoint& cell : AnchorCells(farPoints, false, poses))
      farSample.push_back(cell.Land(again, camera, boardFrame));
    nearSpread.Add(nearSample);
    farSpread.Add(farSample);
    ++result.done;
  }
  if (result.done < 2) return result;
  const auto summarise = [](const Spread& spread, const ProjectionUncertaintyMap& map, std::vector<double>& sigma,
                            std::vector<double>& meanError, std::vector<double>& aboutTruth) {
    for (int row = 0; row < map.rows; ++row)
      for (int column = 0; column < map.columns; ++column) {
        const size_t c = static_cast<size_t>(row * map.columns + column);
        const Eigen::Vector2d centre(map.CellX(column), map.CellY(row));
        sigma.push_back(spread.WorstDirectionSigma(c));
        meanError.push_back((spread.Mean(c) - centre).norm());
        aboutTruth.push_back(spread.WorstDirectionAbout(c, centre));
      }
  };
  summarise(nearSpread, result.predicted.atDistance, result.measuredAtDistance, result.meanErrorAtDistance,
            result.aboutTruthAtDistance);
  summarise(farSpread, result.predicted.atInfinity, result.measuredAtInfinity, result.meanErrorAtInfinity,
            result.aboutTruthAtInfinity);
  return result;
}

inline Result Run(const CameraParameters& truth, const std::vector<SyntheticPose>& poses,
                  const GridDescription& grid, int redraws,
                  const std::function<bool(int, CameraFit&)>& calibrate) {
  return Run(truth, [&poses](int) { return poses; }, grid, redraws, calibrate);
}

// Predicted over measured, its lowest and highest over the cells.
struct RatioRange {
  double lowest = 1e9, highest = 0.0;
  size_t lowestCell = 0, highestCell = 0;
};

inline RatioRange RatioRangeOf(const ProjectionUncertaintyMap& map, const std::vector<double>& measured) {
  RatioRange range;
  for (size_t c = 0; c < measured.size() && c < map.sigma.size(); ++c) {
    const double ratio = map.sigma[c] / measured[c];
    if (ratio < range.lowest) range.lowest = ratio, range.lowestCell = c;
    if (ratio > range.highest) range.highest = ratio, range.highestCell = c;
  }
  return range;
}

// Fourteen boards 18 squares away, tilted 20 to 35 degrees, their middles
// within about 6% of their distance of the optical axis: the image's
// outer band sees no corner.
inline std::vector<SyntheticPose> ClusteredPoses(const GridDescription& grid) {
  std::mt19937 random(11);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  std::vector<SyntheticPose> poses;
  const double distance = 18.0 * grid.dX;
  const Eigen::Vector3d centre(0.5 * (grid.nx - 1) * grid.dX, 0.5 * (grid.ny - 1) * grid.dY, 0.0);
  for (int view = 0; view < 14; ++view) {
    const double direction = 2.0 * M_PI * view / 14.0;
    const double tilt = (20.0 + 15.0 * std::fabs(unit(random))) * M_PI / 180.0;
    const std::array<double, 3> r{tilt * std::cos(direction), tilt * std::sin(direction), 0.3 * unit(random)};
    SyntheticPose pose = PoseFromVectors(r, {0.0, 0.0, 0.0});
    const Eigen::Map<const Eigen::Matrix<double, 3, 3, Eigen::RowMajor>> R(pose.R.data());
    const Eigen::Vector3d t =
        Eigen::Vector3d(28.0 / 450.0 * distance * unit(random), 22.0 / 450.0 * distance * unit(random), distance) - R * centre;
    poses.push_back(PoseFromVectors(r, {t.x(), t.y(), t.z()}));
  }
  return poses;
}

}  // namespace monte_carlo

#pragma once
// How far a calibration projects from the truth, cell by cell of its
// uncertainty map, measured the way the map predicts it: the point the true
// camera sees at a cell's centre, at the map's distance along the ray, is
// carried into each board's frame with the true pose, back out with the
// calibrated pose and projected through the calibrated camera; the mean over
// the views, set against the cell's centre, is the error. The calibrated and
// the true camera frames are tied through the boards, not assumed to be the
// same frame.
//
// The board frame the calibration used (its object points) may differ from the
// synthetic board's by a rigid motion (another origin corner): that motion is
// solved from the two sets of grid points, which are exact, not from poses.

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <vector>

#include "calib/CalibrationDiagnostics.h"
#include "calib/CalibrationProblem.h"
#include "calib/ProjectionUncertainty.h"
#include "synth/SyntheticViews.h"

namespace truth_comparison {

using Matrix3 = Eigen::Matrix<double, 3, 3, Eigen::RowMajor>;

struct Rigid {
  Eigen::Matrix3d R = Eigen::Matrix3d::Identity();
  Eigen::Vector3d t = Eigen::Vector3d::Zero();
  Eigen::Vector3d Apply(const Eigen::Vector3d& p) const { return R * p + t; }
};

inline Rigid FromPose(const SyntheticPose& pose) { return {Matrix3(pose.R.data()), Eigen::Vector3d(pose.t.data())}; }

// The rigid motion taking the synthetic board's grid points (grid order, as
// ProjectGrid lays them out) onto the calibration's object points.
inline Rigid BoardFrameOfFit(const CameraFit& fit, const GridDescription& grid) {
  const size_t count = static_cast<size_t>(grid.nx) * grid.ny;
  std::vector<Eigen::Vector3d> from, to;
  for (size_t k = 0; k < count && k < fit.grid.size(); ++k) {
    const int i = static_cast<int>(k) / grid.nx, j = static_cast<int>(k) % grid.nx;
    from.emplace_back(j * grid.dX, (grid.ny - 1 - i) * grid.dY, 0.0);
    to.emplace_back(fit.grid[k].X, fit.grid[k].Y, fit.grid[k].Z);
  }
  Eigen::Vector3d a = Eigen::Vector3d::Zero(), b = Eigen::Vector3d::Zero();
  for (size_t k = 0; k < from.size(); ++k) {
    a += from[k];
    b += to[k];
  }
  a /= static_cast<double>(from.size());
  b /= static_cast<double>(to.size());
  Eigen::Matrix3d H = Eigen::Matrix3d::Zero();
  for (size_t k = 0; k < from.size(); ++k) H += (to[k] - b) * (from[k] - a).transpose();
  const Eigen::JacobiSVD<Eigen::Matrix3d> svd(H, Eigen::ComputeFullU | Eigen::ComputeFullV);
  Eigen::Matrix3d D = Eigen::Matrix3d::Identity();
  D(2, 2) = (svd.matrixU() * svd.matrixV().transpose()).determinant() < 0.0 ? -1.0 : 1.0;
  Rigid motion;
  motion.R = svd.matrixU() * D * svd.matrixV().transpose();
  motion.t = b - motion.R * a;
  return motion;
}

// The camera-frame point the camera sees at pixel (u, v), `distance` along the ray.
inline Eigen::Vector3d PointSeenAt(const CameraParameters& camera, double u, double v, double distance) {
  double x = 0.0, y = 0.0;
  if (!UnprojectPixel(camera, u, v, x, y)) return Eigen::Vector3d::Constant(std::nan(""));
  return distance * Eigen::Vector3d(x, y, 1.0).normalized();
}

struct Comparison {
  int cells = 0;
  double worstError = 0.0;         // px
  double centralWorstError = 0.0;  // px, cells centred in the central 90% of the image
  double worstRatio = 0.0;         // error / predicted sigma
  double rmsRatio = 0.0;
  double withinTwoSigma = 0.0;     // share of cells
  double withinThreeSigma = 0.0;
  std::vector<double> errors;      // per cell, row by row (NaN where not compared)
  std::vector<Eigen::Vector2d> errorVectors;  // the same as vectors, calibrated minus true (NaN where not compared)
};

inline Comparison CompareWithTruth(const CameraFit& fit, const std::vector<SyntheticPose>& truePoses,
                                   const CameraParameters& truth, const GridDescription& grid,
                                   const ProjectionUncertaintyMap& map) {
  const Rigid boardFrame = BoardFrameOfFit(fit, grid);
  std::vector<Rigid> real, calibrated;
  for (size_t i = 0; i < fit.poses.size() && i < truePoses.size(); ++i) {
    real.push_back(FromPose(truePoses[i]));
    calibrated.push_back(FromPose(PoseFromVectors(fit.poses[i].r, fit.poses[i].t)));
  }
  Comparison result;
  result.errors.assign(map.sigma.size(), std::nan(""));
  result.errorVectors.assign(map.sigma.size(), Eigen::Vector2d::Constant(std::nan("")));
  double sumSquares = 0.0;
  const double identity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1}, zero[3] = {0, 0, 0};
  for (int row = 0; row < map.rows; ++row)
    for (int column = 0; column < map.columns; ++column) {
      const double sigma = map.At(column, row);
      const double u = map.CellX(column), v = map.CellY(row);
      const Eigen::Vector3d seen = PointSeenAt(truth, u, v, map.distance);
      if (!std::isfinite(sigma) || sigma <= 0.0 || !seen.allFinite() || real.empty()) continue;
      Eigen::Vector2d mean = Eigen::Vector2d::Zero();
      for (size_t i = 0; i < real.size(); ++i) {
        const Eigen::Vector3d onBoard = real[i].R.transpose() * (seen - real[i].t);
        const Eigen::Vector3d inCamera = calibrated[i].Apply(boardFrame.Apply(onBoard));
        const ImagePoint p = ProjectGridPoint({inCamera.x(), inCamera.y(), inCamera.z()}, identity, zero, fit.camera);
        mean += Eigen::Vector2d(p.x, p.y);
      }
      mean /= static_cast<double>(real.size());
      const double error = (mean - Eigen::Vector2d(u, v)).norm();
      const double ratio = error / sigma;
      result.errors[static_cast<size_t>(row * map.columns + column)] = error;
      result.errorVectors[static_cast<size_t>(row * map.columns + column)] = mean - Eigen::Vector2d(u, v);
      result.worstError = std::max(result.worstError, error);
      const bool central = std::fabs(u / map.width - 0.5) <= 0.5 * kCentralShare &&
                           std::fabs(v / map.height - 0.5) <= 0.5 * kCentralShare;
      if (central) result.centralWorstError = std::max(result.centralWorstError, error);
      result.worstRatio = std::max(result.worstRatio, ratio);
      sumSquares += ratio * ratio;
      result.withinTwoSigma += ratio <= 2.0;
      result.withinThreeSigma += ratio <= 3.0;
      ++result.cells;
    }
  if (result.cells > 0) {
    result.rmsRatio = std::sqrt(sumSquares / result.cells);
    result.withinTwoSigma /= result.cells;
    result.withinThreeSigma /= result.cells;
  }
  return result;
}

}  // namespace truth_comparison

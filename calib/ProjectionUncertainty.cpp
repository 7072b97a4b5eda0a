#include "calib/ProjectionUncertainty.h"

#include <algorithm>
#include <cmath>

#include <Eigen/Dense>

#include "calib/Calibration.h"
#include "calib/CameraModel.h"
#include "calib/FitCovariance.h"

namespace {

using Eigen::Matrix2d;
using Eigen::Matrix3d;
using Eigen::MatrixXd;
using Eigen::Vector2d;
using Eigen::Vector3d;
using Eigen::VectorXd;
using PixelByPose = Eigen::Matrix<double, 2, 6>;
using PointByPose = Eigen::Matrix<double, 3, 6>;
using PixelByPoint = Eigen::Matrix<double, 2, 3>;

Matrix3d RotationOf(const double* r) {
  double copy[3] = {r[0], r[1], r[2]};
  double R[9];
  icvRodriguesArrays(R, copy, 1);
  return Eigen::Map<const Eigen::Matrix<double, 3, 3, Eigen::RowMajor>>(R);
}

Vector2d Project(const CameraParameters& camera, const Vector3d& p) {
  const camera_model::Point2<double> q = camera_model::Project(camera, p.x(), p.y(), p.z());
  return {q.x, q.y};
}

// The camera point as one board's frame carries it: fixed in that frame, it
// moves with the board's pose. Directions (at infinity) turn with the rotation only.
struct BoardAnchor {
  GridPose pose;
  Vector3d inBoard;
  bool finite = true;

  Vector3d Moved(const Eigen::Matrix<double, 6, 1>& delta) const {
    const double r[3] = {pose.r[0] + delta[0], pose.r[1] + delta[1], pose.r[2] + delta[2]};
    Vector3d p = RotationOf(r) * inBoard;
    if (finite) p += Vector3d(pose.t[0] + delta[3], pose.t[1] + delta[4], pose.t[2] + delta[5]);
    return p;
  }

  PointByPose Derivative() const {
    PointByPose M;
    for (int k = 0; k < 6; ++k) {
      const double h = k < 3 ? 1e-6 : 1e-6 * std::max(1.0, std::fabs(pose.t[static_cast<size_t>(k - 3)]));
      Eigen::Matrix<double, 6, 1> delta = Eigen::Matrix<double, 6, 1>::Zero();
      delta[k] = h;
      const Vector3d plus = Moved(delta);
      delta[k] = -h;
      M.col(k) = (plus - Moved(delta)) / (2.0 * h);
    }
    return M;
  }
};

BoardAnchor AnchorIn(const GridPose& pose, const Vector3d& p, bool finite) {
  const Matrix3d R = RotationOf(pose.r.data());
  const Vector3d t(pose.t[0], pose.t[1], pose.t[2]);
  return BoardAnchor{pose, R.transpose() * (finite ? Vector3d(p - t) : p), finite};
}

PixelByPoint PixelByCameraPoint(const CameraParameters& camera, const Vector3d& p) {
  PixelByPoint J;
  const double h = 1e-6 * p.norm();
  for (int k = 0; k < 3; ++k) {
    Vector3d moved = p;
    moved[k] = p[k] + h;
    const Vector2d plus = Project(camera, moved);
    moved[k] = p[k] - h;
    J.col(k) = (plus - Project(camera, moved)) / (2.0 * h);
  }
  return J;
}

MatrixXd PixelByIntrinsics(const MarginalisedCovariance& covariance, const Vector3d& p) {
  const Eigen::Index n = covariance.intrinsics.size();
  MatrixXd J(2, n);
  for (Eigen::Index k = 0; k < n; ++k) {
    VectorXd values = covariance.intrinsics;
    const double h = 1e-6 * std::max(1.0, std::fabs(values[k]));
    values[k] += h;
    const Vector2d plus = Project(covariance.unpack(values.data()), p);
    values[k] -= 2.0 * h;
    J.col(k) = (plus - Project(covariance.unpack(values.data()), p)) / (2.0 * h);
  }
  return J;
}

// Standard deviation, in the worst direction, of the projection of camera
// point p (a direction when !finite): the averaged board frames carry it to
// p' = (1/N) Σ Mᵢ δpᵢ + p, with δpᵢ = Kᵢ δθ + eᵢ, and the pixel moves by
// Jθ δθ + Jp (p' - p).
double CellSigma(const CameraFit& fit, const MarginalisedCovariance& covariance, const Vector3d& p, bool finite,
                 double floor) {
  const CameraParameters camera = covariance.unpack(covariance.intrinsics.data());
  const PixelByPoint Jp = PixelByCameraPoint(camera, p);
  MatrixXd G = PixelByIntrinsics(covariance, p);
  const double share = 1.0 / static_cast<double>(fit.poses.size());
  Matrix2d independent = Matrix2d::Zero();
  for (size_t i = 0; i < fit.poses.size(); ++i) {
    const PixelByPose A = share * Jp * AnchorIn(fit.poses[i], p, finite).Derivative();
    G += A * covariance.poseByIntrinsics[i];
    independent += A * covariance.poseInverse[i] * A.transpose();
  }
  const Matrix2d C = covariance.residualVariance * (G * covariance.intrinsicInverse * G.transpose() + independent) +
                     floor * floor * Matrix2d::Identity();
  const double mean = 0.5 * (C(0, 0) + C(1, 1));
  const double half = 0.5 * (C(0, 0) - C(1, 1));
  return std::sqrt(std::max(0.0, mean + std::sqrt(half * half + C(0, 1) * C(1, 0))));
}

bool InsideCentre(double x, double extent) {
  const double margin = 0.5 * (1.0 - kCentralShare) * extent;
  return x >= margin - 1e-9 && x <= extent - margin + 1e-9;
}

void Summarise(ProjectionUncertaintyMap& map) {
  for (int row = 0; row < map.rows; ++row)
    for (int column = 0; column < map.columns; ++column) {
      const double sigma = map.At(column, row);
      if (!std::isfinite(sigma)) continue;
      map.worst = std::max(map.worst, sigma);
      if (InsideCentre(map.CellX(column), map.width) && InsideCentre(map.CellY(row), map.height))
        map.centre90 = std::max(map.centre90, sigma);
    }
}

}  // namespace

bool UnprojectPixel(const CameraParameters& camera, double u, double v, double& x, double& y) {
  double ray[3];
  if (!camera_model::Ray(camera, u, v, ray) || !(ray[2] > 0.0)) return false;
  x = ray[0] / ray[2];
  y = ray[1] / ray[2];
  return true;
}

double MedianBoardDistance(const CameraFit& fit) {
  if (fit.grid.empty()) return 0.0;
  Vector3d centre = Vector3d::Zero();
  for (const ObjectPoint& X : fit.grid) centre += Vector3d(X.X, X.Y, X.Z);
  centre /= static_cast<double>(fit.grid.size());
  std::vector<double> distances;
  for (const GridPose& pose : fit.poses)
    distances.push_back((RotationOf(pose.r.data()) * centre + Vector3d(pose.t[0], pose.t[1], pose.t[2])).norm());
  return Median(distances);
}

ProjectionUncertaintyMap ProjectionUncertaintyOf(const CameraFit& fit, const MarginalisedCovariance& covariance,
                                                 int width, int height, double distance, int columns, int rows,
                                                 double floor) {
  ProjectionUncertaintyMap map;
  map.distance = distance;
  map.floor = floor;
  map.columns = columns;
  map.rows = rows;
  map.width = width;
  map.height = height;
  const bool finite = std::isfinite(distance);
  if (!covariance.valid || map.width <= 0 || map.height <= 0 || columns <= 0 || rows <= 0 ||
      covariance.poseByIntrinsics.size() != fit.poses.size() || fit.poses.empty() || (finite && !(distance > 0.0)))
    return map;
  const CameraParameters camera = covariance.unpack(covariance.intrinsics.data());
  map.sigma.assign(static_cast<size_t>(columns * rows), kAtInfinity);
  for (int row = 0; row < rows; ++row)
    for (int column = 0; column < columns; ++column) {
      Vector3d ray;
      if (!camera_model::Ray(camera, map.CellX(column), map.CellY(row), ray.data())) continue;
      ray.normalize();
      map.sigma[static_cast<size_t>(row * columns + column)] =
          CellSigma(fit, covariance, finite ? Vector3d(distance * ray) : ray, finite, floor);
    }
  map.valid = true;
  Summarise(map);
  return map;
}

ProjectionUncertaintyReport ProjectionUncertaintyReportOf(const CameraFit& fit, int width, int height, double floor) {
  const MarginalisedCovariance covariance = MarginalisedCovarianceOf(fit);
  ProjectionUncertaintyReport report;
  report.atDistance = ProjectionUncertaintyOf(fit, covariance, width, height, MedianBoardDistance(fit),
                                              kUncertaintyColumns, kUncertaintyRows, floor);
  report.atInfinity =
      ProjectionUncertaintyOf(fit, covariance, width, height, kAtInfinity, kUncertaintyColumns, kUncertaintyRows, floor);
  return report;
}

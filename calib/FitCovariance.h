#pragma once
// The covariance of a one-camera fit with the grid poses marginalised, for
// propagating it to other quantities (how far a projection may move).
//
// JᵀJ of a fit is an arrow matrix: the intrinsic block U, one 6x6 block C per
// view and the couplings B between them. The intrinsic block of its inverse is
// S⁻¹, S = U - Σ B C⁻¹ Bᵀ (the Schur complement of the poses), and a view's
// pose error splits into a part that follows the intrinsics, -C⁻¹Bᵀ δθ, and an
// independent part of covariance σ²C⁻¹.

#include <functional>
#include <vector>

#include <Eigen/Core>

#include "records/Records.h"

struct CameraFit;

struct MarginalisedCovariance {
  bool valid = false;             // false when there are too few points or JᵀJ is singular
  double residualVariance = 0.0;  // σ², to scale every matrix below
  Eigen::VectorXd intrinsics;     // the estimated values, packed as the engine packs them
  // The camera with the given packed values in place of the fit's.
  std::function<CameraParameters(const double* intrinsics)> unpack;
  Eigen::MatrixXd intrinsicInverse;               // S⁻¹
  std::vector<Eigen::MatrixXd> poseByIntrinsics;  // per view, -C⁻¹Bᵀ (6 rows, one column per intrinsic value)
  std::vector<Eigen::MatrixXd> poseInverse;       // per view, C⁻¹ (6x6); poses as rotation vector then t
};

MarginalisedCovariance MarginalisedCovarianceOf(const CameraFit& fit);

#include "calib/CalibrationDiagnostics.h"

#include <algorithm>
#include <cmath>
#include <functional>

#include <Eigen/Dense>

#include "calib/Calibration.h"
#include "calib/CalibrationProblem.h"
#include "calib/FitCovariance.h"
#include "calib/StereoProblem.h"

namespace {

using Eigen::MatrixXd;
using Eigen::VectorXd;
using PoseVector = Eigen::Matrix<double, 6, 1>;

constexpr int kPoseCount = 6;

struct Rotation {
  double R[9];
};

Rotation RotationOf(const double* r) {
  Rotation rotation;
  double copy[3] = {r[0], r[1], r[2]};
  icvRodriguesArrays(rotation.R, copy, 1);
  return rotation;
}

std::array<double, 3> RotationVectorOf(const double* R) {
  // The conversion may orthonormalise the matrix it is given, so it works on a copy.
  double copy[9];
  std::copy_n(R, 9, copy);
  std::array<double, 3> r{};
  icvRodriguesArrays(copy, r.data(), 0);
  return r;
}

// Camera-1 pose of a grid seen at (R, t) by camera 0: (Rr R, Rr t + T).
void ComposeWithRelative(const Rotation& relative, const double* T, const Rotation& pose, const double* t,
                         Rotation& composed, double composedT[3]) {
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j)
      composed.R[3 * i + j] = relative.R[3 * i] * pose.R[j] + relative.R[3 * i + 1] * pose.R[3 + j] +
                              relative.R[3 * i + 2] * pose.R[6 + j];
    composedT[i] = relative.R[3 * i] * t[0] + relative.R[3 * i + 1] * t[1] + relative.R[3 * i + 2] * t[2] + T[i];
  }
}

// Residuals (observed - projected, x then y per point) of one view.
void ViewResiduals(const std::vector<ObjectPoint>& grid, const PointList& observed, const double* R, const double* t,
                   const CameraParameters& camera, double* out) {
  const std::array<double, camera_model::kMaxBlock> block = camera_model::BlockOf(camera);
  camera_model::Visit(camera.model, [&](auto model) {
    for (size_t k = 0; k < grid.size(); ++k, out += 2) {
      const std::array<double, 3> c = camera_model::ToCamera(R, t, grid[k].X, grid[k].Y, grid[k].Z);
      const camera_model::Point2<double> p = decltype(model)::Project(block.data(), c[0], c[1], c[2]);
      out[0] = observed[k].x - p.x;
      out[1] = observed[k].y - p.y;
    }
  });
}

struct ErrorSums {
  double squares = 0.0;
  double distances = 0.0;
  size_t points = 0;

  void Add(const std::vector<double>& residuals) {
    for (size_t i = 0; i + 1 < residuals.size(); i += 2) {
      const double squared = residuals[i] * residuals[i] + residuals[i + 1] * residuals[i + 1];
      squares += squared;
      distances += std::sqrt(squared);
      ++points;
    }
  }
  double Rms() const { return points ? std::sqrt(squares / static_cast<double>(points)) : 0.0; }
  double MeanDistance() const { return points ? distances / static_cast<double>(points) : 0.0; }
};

// Below this a view's error is rounding and detection noise, not a fault, even
// when the others are smaller still (exact synthetic points).
constexpr double kOutlierFloor = 0.01;

template <class Error>
void MarkOutliers(std::vector<Error>& errors) {
  std::vector<double> rms;
  for (const Error& e : errors) rms.push_back(e.rms);
  const double limit = std::max(2.0 * Median(rms), kOutlierFloor);
  for (Error& e : errors) e.outlier = e.rms > limit;
}

CameraParameters UnpackIntrinsics(const IntrinsicBlock& intrinsics, const double* values, CameraParameters camera) {
  intrinsics.Unpack(values, camera);
  return camera;
}

PoseVector PackPose(const GridPose& pose) {
  PoseVector p;
  p << pose.r[0], pose.r[1], pose.r[2], pose.t[0], pose.t[1], pose.t[2];
  return p;
}

// A least-squares problem whose residuals come in blocks (one per view or
// pair), each depending on the shared parameters and on its own six pose
// values only. That makes JᵀJ an arrow matrix: the shared block of its
// inverse is the inverse of the Schur complement of the pose blocks.
struct BlockProblem {
  VectorXd shared;
  std::vector<PoseVector> poses;
  int residualsPerBlock = 0;
  std::function<void(size_t block, const double* shared, const double* pose, double* out)> residuals;
};

struct SharedCovariance {
  bool valid = false;
  MatrixXd inverse;  // shared block of (JᵀJ)⁻¹
  double sumOfSquares = 0.0;
  int residuals = 0;
  int unknowns = 0;
  // Per block, with C = JpᵀJp and B = JsᵀJp: -C⁻¹Bᵀ (how the pose follows the
  // shared values) and C⁻¹; filled only when asked for.
  std::vector<MatrixXd> poseByShared;
  std::vector<MatrixXd> poseInverse;
};

// Jacobian of one block's residuals with respect to [shared; pose] by central
// differences (steps near the cube root of the machine epsilon, relative to
// each value's size); the residuals at the point itself go to `at`.
MatrixXd BlockJacobian(const BlockProblem& problem, size_t block, VectorXd& at) {
  const Eigen::Index shared = problem.shared.size();
  VectorXd x(shared + kPoseCount);
  x << problem.shared, problem.poses[block];
  at.resize(problem.residualsPerBlock);
  problem.residuals(block, x.data(), x.data() + shared, at.data());
  MatrixXd J(problem.residualsPerBlock, x.size());
  VectorXd plus(problem.residualsPerBlock), minus(problem.residualsPerBlock);
  for (Eigen::Index i = 0; i < x.size(); ++i) {
    const double h = 1e-5 * std::max(1.0, std::fabs(x[i]));
    VectorXd moved = x;
    moved[i] = x[i] + h;
    problem.residuals(block, moved.data(), moved.data() + shared, plus.data());
    moved[i] = x[i] - h;
    problem.residuals(block, moved.data(), moved.data() + shared, minus.data());
    J.col(i) = (plus - minus) / (2.0 * h);
  }
  return J;
}

// Inverse of a symmetric positive definite matrix after scaling it to a unit
// diagonal (fx and k2 differ by four orders of magnitude); false when singular.
bool InvertScaled(const MatrixXd& S, MatrixXd& inverse) {
  if (S.size() == 0) {  // nothing shared was estimated (only poses were refined)
    inverse.resize(0, 0);
    return true;
  }
  const VectorXd diagonal = S.diagonal();
  if ((diagonal.array() <= 0.0).any() || !diagonal.allFinite()) return false;
  const VectorXd scale = diagonal.cwiseSqrt().cwiseInverse();
  const MatrixXd scaled = scale.asDiagonal() * S * scale.asDiagonal();
  Eigen::SelfAdjointEigenSolver<MatrixXd> eigen(scaled);
  if (eigen.info() != Eigen::Success) return false;
  const VectorXd values = eigen.eigenvalues();
  if (!(values.minCoeff() > 1e-12 * values.maxCoeff())) return false;
  inverse = scale.asDiagonal() * (eigen.eigenvectors() * values.cwiseInverse().asDiagonal() *
                                  eigen.eigenvectors().transpose()) *
            scale.asDiagonal();
  return true;
}

SharedCovariance SharedBlockOfInverse(const BlockProblem& problem, bool keepPoseBlocks = false) {
  SharedCovariance result;
  const Eigen::Index s = problem.shared.size();
  result.unknowns = static_cast<int>(s) + kPoseCount * static_cast<int>(problem.poses.size());
  result.residuals = problem.residualsPerBlock * static_cast<int>(problem.poses.size());
  if (problem.poses.empty() || result.residuals <= result.unknowns) return result;
  MatrixXd schur = MatrixXd::Zero(s, s);
  VectorXd at;
  for (size_t b = 0; b < problem.poses.size(); ++b) {
    const MatrixXd J = BlockJacobian(problem, b, at);
    result.sumOfSquares += at.squaredNorm();
    const MatrixXd Js = J.leftCols(s);
    const MatrixXd Jp = J.rightCols(kPoseCount);
    const MatrixXd B = Js.transpose() * Jp;
    const Eigen::LDLT<MatrixXd> C(Jp.transpose() * Jp);
    if (C.info() != Eigen::Success || !C.isPositive()) return result;
    // With nothing shared (poses alone refined) there is nothing to couple;
    // Eigen's solve would read a first element of the empty right side.
    const MatrixXd coupling = s > 0 ? MatrixXd(C.solve(B.transpose())) : MatrixXd(kPoseCount, 0);
    schur += Js.transpose() * Js - B * coupling;
    if (keepPoseBlocks) {
      result.poseByShared.push_back(-coupling);
      result.poseInverse.push_back(C.solve(MatrixXd::Identity(kPoseCount, kPoseCount)));
    }
  }
  result.valid = InvertScaled(schur, result.inverse) && std::isfinite(result.sumOfSquares);
  return result;
}

// Covariance of the whole intrinsic block, σ²·D·C·Dᵀ, from the covariance C of
// its free values (at `first` in the shared block of the inverse) and the
// expansion D of the free values into the block.
MatrixXd BlockCovariance(const IntrinsicBlock& intrinsics, const MatrixXd& inverse, Eigen::Index first,
                         double variance) {
  const Eigen::Index free = intrinsics.FreeCount();
  const std::vector<double> expansion = intrinsics.Expansion();
  const MatrixXd D = Eigen::Map<const Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>>(
      expansion.data(), intrinsics.BlockSize(), free);
  return variance * D * inverse.block(first, first, free, free) * D.transpose();
}

IntrinsicSigma SigmaOf(const IntrinsicBlock& intrinsics, const MatrixXd& covariance) {
  IntrinsicSigma sigma;
  sigma.model = intrinsics.Model();
  sigma.count = intrinsics.BlockSize();
  for (int i = 0; i < sigma.count; ++i) {
    sigma.values[static_cast<size_t>(i)] = std::sqrt(std::max(0.0, covariance(i, i)));
    sigma.fixed[static_cast<size_t>(i)] = !intrinsics.IsFree(i);
  }
  return sigma;
}

double ResidualVariance(const SharedCovariance& covariance) {
  return covariance.sumOfSquares / static_cast<double>(covariance.residuals - covariance.unknowns);
}

}  // namespace

double Median(std::vector<double> values) {
  if (values.empty()) return 0.0;
  const size_t middle = values.size() / 2;
  std::nth_element(values.begin(), values.begin() + static_cast<ptrdiff_t>(middle), values.end());
  const double upper = values[middle];
  if (values.size() % 2) return upper;
  return 0.5 * (upper + *std::max_element(values.begin(), values.begin() + static_cast<ptrdiff_t>(middle)));
}

CameraFit FitOf(const CalibrationProblem& problem) {
  CameraFit fit;
  fit.camera = problem.GetParameters();
  fit.intrinsics = problem.intrinsics;
  const size_t perView = static_cast<size_t>(problem.pointsPerView);
  fit.grid.assign(problem.objectPoints.begin(), problem.objectPoints.begin() + static_cast<ptrdiff_t>(std::min(perView, problem.objectPoints.size())));
  for (int v : problem.usedViews) {
    const size_t begin = static_cast<size_t>(v) * perView;
    if (v < 0 || v >= problem.viewCount || begin + perView > problem.imagePoints.size()) continue;
    fit.views.push_back(v);
    fit.points.emplace_back(problem.imagePoints.begin() + static_cast<ptrdiff_t>(begin),
                            problem.imagePoints.begin() + static_cast<ptrdiff_t>(begin + perView));
    GridPose pose;
    pose.r = RotationVectorOf(problem.GetRotationMatrix(v));
    std::copy_n(problem.GetTranslation(v), 3, pose.t.begin());
    fit.poses.push_back(pose);
  }
  return fit;
}

RigFit FitOf(const StereoProblem& rig) {
  RigFit fit;
  fit.first = rig.firstResult;
  fit.second = rig.secondResult;
  fit.firstIntrinsics = rig.firstIntrinsics;
  fit.secondIntrinsics = rig.secondIntrinsics;
  fit.relativeRotation = RotationVectorOf(rig.secondResult.R.data());
  fit.relativeTranslation = rig.secondResult.T;
  if (!rig.firstCamera || !rig.secondCamera || !rig.objectPoints) return fit;
  const size_t perView = static_cast<size_t>(rig.pointsPerView);
  fit.grid.assign(rig.objectPoints, rig.objectPoints + perView);
  for (size_t p = 0; p < rig.pairedViews.size() && 9 * p + 9 <= rig.rotationMatrices.size(); ++p) {
    const size_t begin = static_cast<size_t>(rig.pairedViews[p]) * perView;
    if (begin + perView > rig.firstCamera->imagePoints.size() || begin + perView > rig.secondCamera->imagePoints.size())
      continue;
    fit.views.push_back(rig.pairedViews[p]);
    const auto first = rig.firstCamera->imagePoints.begin() + static_cast<ptrdiff_t>(begin);
    const auto second = rig.secondCamera->imagePoints.begin() + static_cast<ptrdiff_t>(begin);
    fit.firstPoints.emplace_back(first, first + static_cast<ptrdiff_t>(perView));
    fit.secondPoints.emplace_back(second, second + static_cast<ptrdiff_t>(perView));
    GridPose pose;
    pose.r = RotationVectorOf(&rig.rotationMatrices[9 * p]);
    std::copy_n(&rig.translations[3 * p], 3, pose.t.begin());
    fit.poses.push_back(pose);
  }
  return fit;
}

std::vector<ViewError> PerViewErrors(const CameraFit& fit) {
  std::vector<ViewError> errors;
  std::vector<double> residuals(2 * fit.grid.size());
  for (size_t v = 0; v < fit.views.size(); ++v) {
    const Rotation rotation = RotationOf(fit.poses[v].r.data());
    ViewResiduals(fit.grid, fit.points[v], rotation.R, fit.poses[v].t.data(), fit.camera, residuals.data());
    ErrorSums sums;
    sums.Add(residuals);
    errors.push_back(ViewError{fit.views[v], sums.Rms(), sums.MeanDistance(), false});
  }
  MarkOutliers(errors);
  return errors;
}

std::vector<PairError> PerPairErrors(const RigFit& fit) {
  std::vector<PairError> errors;
  const Rotation relative = RotationOf(fit.relativeRotation.data());
  std::vector<double> residuals(2 * fit.grid.size());
  for (size_t p = 0; p < fit.views.size(); ++p) {
    const Rotation pose = RotationOf(fit.poses[p].r.data());
    Rotation second;
    double secondT[3];
    ComposeWithRelative(relative, fit.relativeTranslation.data(), pose, fit.poses[p].t.data(), second, secondT);
    ErrorSums firstSums, secondSums, both;
    ViewResiduals(fit.grid, fit.firstPoints[p], pose.R, fit.poses[p].t.data(), fit.first, residuals.data());
    firstSums.Add(residuals);
    both.Add(residuals);
    ViewResiduals(fit.grid, fit.secondPoints[p], second.R, secondT, fit.second, residuals.data());
    secondSums.Add(residuals);
    both.Add(residuals);
    errors.push_back(PairError{fit.views[p], both.Rms(), both.MeanDistance(), firstSums.Rms(), secondSums.Rms(), false});
  }
  MarkOutliers(errors);
  return errors;
}

std::vector<CornerResidual> CornerResiduals(const CameraFit& fit) {
  std::vector<CornerResidual> corners;
  std::vector<double> residuals(2 * fit.grid.size());
  for (size_t v = 0; v < fit.views.size(); ++v) {
    const Rotation rotation = RotationOf(fit.poses[v].r.data());
    ViewResiduals(fit.grid, fit.points[v], rotation.R, fit.poses[v].t.data(), fit.camera, residuals.data());
    for (size_t k = 0; k < fit.grid.size(); ++k)
      corners.push_back(CornerResidual{fit.views[v], fit.points[v][k], residuals[2 * k], residuals[2 * k + 1]});
  }
  return corners;
}

namespace {

// One camera's residuals as a block problem: the intrinsics shared, a pose per view.
BlockProblem CameraBlockProblem(const CameraFit& fit) {
  BlockProblem problem;
  problem.shared.resize(fit.intrinsics.FreeCount());
  fit.intrinsics.Pack(fit.camera, problem.shared.data());
  for (const GridPose& pose : fit.poses) problem.poses.push_back(PackPose(pose));
  problem.residualsPerBlock = 2 * static_cast<int>(fit.grid.size());
  problem.residuals = [&fit](size_t view, const double* shared, const double* pose, double* out) {
    const CameraParameters camera = UnpackIntrinsics(fit.intrinsics, shared, fit.camera);
    const Rotation rotation = RotationOf(pose);
    ViewResiduals(fit.grid, fit.points[view], rotation.R, pose + 3, camera, out);
  };
  return problem;
}

}  // namespace

MarginalisedCovariance MarginalisedCovarianceOf(const CameraFit& fit) {
  const BlockProblem problem = CameraBlockProblem(fit);
  SharedCovariance covariance = SharedBlockOfInverse(problem, true);
  MarginalisedCovariance result;
  if (!covariance.valid) return result;
  result.valid = true;
  result.residualVariance = ResidualVariance(covariance);
  result.intrinsics = problem.shared;
  const CameraParameters base = fit.camera;
  result.unpack = [base, intrinsics = fit.intrinsics](const double* values) {
    return UnpackIntrinsics(intrinsics, values, base);
  };
  result.intrinsicInverse = std::move(covariance.inverse);
  result.poseByIntrinsics = std::move(covariance.poseByShared);
  result.poseInverse = std::move(covariance.poseInverse);
  return result;
}

CameraUncertainty EstimateUncertainty(const CameraFit& fit) {
  const SharedCovariance covariance = SharedBlockOfInverse(CameraBlockProblem(fit));
  CameraUncertainty result;
  result.points = covariance.residuals / 2;
  result.unknowns = covariance.unknowns;
  if (!covariance.valid) return result;
  result.valid = true;
  result.residualVariance = ResidualVariance(covariance);
  const MatrixXd block = BlockCovariance(fit.intrinsics, covariance.inverse, 0, result.residualVariance);
  result.sigma = SigmaOf(fit.intrinsics, block);
  result.covariance.resize(static_cast<size_t>(block.size()));
  Eigen::Map<Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>>(result.covariance.data(), block.rows(),
                                                                                       block.cols()) = block;
  return result;
}

RigUncertainty EstimateUncertainty(const RigFit& fit) {
  // Shared values: both cameras' free intrinsic values, then the relative rotation vector and T.
  const int secondAt = fit.firstIntrinsics.FreeCount();
  const int relativeAt = secondAt + fit.secondIntrinsics.FreeCount();
  BlockProblem problem;
  problem.shared.resize(relativeAt + kPoseCount);
  fit.firstIntrinsics.Pack(fit.first, problem.shared.data());
  fit.secondIntrinsics.Pack(fit.second, problem.shared.data() + secondAt);
  for (int i = 0; i < 3; ++i) {
    problem.shared[relativeAt + i] = fit.relativeRotation[static_cast<size_t>(i)];
    problem.shared[relativeAt + 3 + i] = fit.relativeTranslation[static_cast<size_t>(i)];
  }
  for (const GridPose& pose : fit.poses) problem.poses.push_back(PackPose(pose));
  const int perCamera = 2 * static_cast<int>(fit.grid.size());
  problem.residualsPerBlock = 2 * perCamera;
  problem.residuals = [&fit, perCamera, secondAt, relativeAt](size_t pair, const double* shared, const double* pose,
                                                                double* out) {
    const CameraParameters first = UnpackIntrinsics(fit.firstIntrinsics, shared, fit.first);
    const CameraParameters second = UnpackIntrinsics(fit.secondIntrinsics, shared + secondAt, fit.second);
    const Rotation relative = RotationOf(shared + relativeAt);
    const Rotation rotation = RotationOf(pose);
    Rotation composed;
    double composedT[3];
    ComposeWithRelative(relative, shared + relativeAt + 3, rotation, pose + 3, composed, composedT);
    ViewResiduals(fit.grid, fit.firstPoints[pair], rotation.R, pose + 3, first, out);
    ViewResiduals(fit.grid, fit.secondPoints[pair], composed.R, composedT, second, out + perCamera);
  };
  const SharedCovariance covariance = SharedBlockOfInverse(problem);
  RigUncertainty result;
  result.points = covariance.residuals / 2;
  result.unknowns = covariance.unknowns;
  if (!covariance.valid) return result;
  result.valid = true;
  result.residualVariance = ResidualVariance(covariance);
  result.first =
      SigmaOf(fit.firstIntrinsics, BlockCovariance(fit.firstIntrinsics, covariance.inverse, 0, result.residualVariance));
  result.second = SigmaOf(fit.secondIntrinsics, BlockCovariance(fit.secondIntrinsics, covariance.inverse, secondAt,
                                                                 result.residualVariance));
  for (int i = 0; i < 3; ++i) {
    result.rotation[static_cast<size_t>(i)] =
        std::sqrt(result.residualVariance * covariance.inverse(relativeAt + i, relativeAt + i));
    result.translation[static_cast<size_t>(i)] =
        std::sqrt(result.residualVariance * covariance.inverse(relativeAt + 3 + i, relativeAt + 3 + i));
  }
  return result;
}

#include "calib/vnl/vgl_h_matrix_2d_optimize_lmq.h"

#include <Eigen/Dense>
#include <cmath>
#include <cstdio>

#include "calib/vnl/vnl_least_squares_function.h"
#include "calib/vnl/vnl_levenberg_marquardt.h"

namespace {

using Matrix3 = Eigen::Matrix3d;

// Similarity that moves the centroid to the origin and the mean distance from
// it to sqrt(2); the identity for degenerate sets.
Matrix3 conditioning(const std::vector<Eigen::Vector2d>& points) {
  Eigen::Vector2d centroid = Eigen::Vector2d::Zero();
  for (const auto& p : points) centroid += p;
  centroid /= double(points.size());
  double meanDistance = 0;
  for (const auto& p : points) meanDistance += (p - centroid).norm();
  meanDistance /= double(points.size());
  const double scale = meanDistance > 0 && std::isfinite(meanDistance) ? std::sqrt(2.0) / meanDistance : 1.0;
  Matrix3 T;
  T << scale, 0, -scale * centroid.x(), 0, scale, -scale * centroid.y(), 0, 0, 1;
  return T;
}

Eigen::Vector2d apply(const Matrix3& T, const Eigen::Vector2d& p) {
  const Eigen::Vector3d q = T * p.homogeneous();
  return q.hnormalized();
}

// Transfer residuals of a conditioned homography whose largest entry is held
// fixed, so that the eight free entries fix the scale.
class TransferResiduals : public vnl_least_squares_function {
 public:
  TransferResiduals(const std::vector<Eigen::Vector2d>& from, const std::vector<Eigen::Vector2d>& to, int fixedIndex,
                    double fixedValue)
      : vnl_least_squares_function(8, 2 * static_cast<int>(from.size()), no_gradient),
        from_(from),
        to_(to),
        fixedIndex_(fixedIndex),
        fixedValue_(fixedValue) {}

  void f(const vnl_vector<double>& x, vnl_vector<double>& residuals) override {
    const Matrix3 H = expand(x);
    for (size_t i = 0; i < from_.size(); ++i) {
      const Eigen::Vector3d q = H * from_[i].homogeneous();
      double w = q.z();
      if (w == 0.0) w = 1e-300;
      residuals[2 * i] = q.x() / w - to_[i].x();
      residuals[2 * i + 1] = q.y() / w - to_[i].y();
    }
  }

  Matrix3 expand(const vnl_vector<double>& x) const {
    Matrix3 H;
    for (int k = 0, j = 0; k < 9; ++k) H(k / 3, k % 3) = k == fixedIndex_ ? fixedValue_ : x[j++];
    return H;
  }
  vnl_vector<double> pack(const Matrix3& H) const {
    vnl_vector<double> x(8);
    for (int k = 0, j = 0; k < 9; ++k)
      if (k != fixedIndex_) x[j++] = H(k / 3, k % 3);
    return x;
  }
  double rms(const vnl_vector<double>& x) {
    vnl_vector<double> r(static_cast<size_t>(get_number_of_residuals()));
    f(x, r);
    double sum = 0;
    for (double v : r) sum += v * v;
    return std::sqrt(sum / double(r.size()));
  }

 private:
  const std::vector<Eigen::Vector2d>& from_;
  const std::vector<Eigen::Vector2d>& to_;
  int fixedIndex_;
  double fixedValue_;
};

}  // namespace

bool vgl_h_matrix_2d_optimize_lmq::optimize(const std::vector<vgl_homg_point_2d<double>>& points1,
                                            const std::vector<vgl_homg_point_2d<double>>& points2,
                                            vgl_h_matrix_2d<double>& H) {
  H = initial_;
  startError_ = endError_ = 0.0;
  std::vector<Eigen::Vector2d> from, to;
  for (size_t i = 0; i < points1.size() && i < points2.size(); ++i) {
    if (points1[i].ideal() || points2[i].ideal()) continue;
    from.emplace_back(points1[i].x() / points1[i].w(), points1[i].y() / points1[i].w());
    to.emplace_back(points2[i].x() / points2[i].w(), points2[i].y() / points2[i].w());
  }
  if (from.size() < 4) {
    if (verbose_)
      std::fprintf(stderr, "vgl_h_matrix_2d_optimize_lmq: %zu usable correspondences, need 4\n", from.size());
    return false;
  }

  const Matrix3 T1 = conditioning(from), T2 = conditioning(to);
  for (auto& p : from) p = apply(T1, p);
  for (auto& p : to) p = apply(T2, p);
  Matrix3 initial;
  for (int k = 0; k < 9; ++k) initial(k / 3, k % 3) = initial_.get(k / 3, k % 3);
  Matrix3 conditioned = T2 * initial * T1.inverse();
  const double norm = conditioned.norm();
  if (!(norm > 0) || !std::isfinite(norm)) return false;
  conditioned /= norm;
  Eigen::Index largest = 0;
  conditioned.reshaped<Eigen::RowMajor>().cwiseAbs().maxCoeff(&largest);
  const int fixedIndex = static_cast<int>(largest);

  TransferResiduals residuals(from, to, fixedIndex, conditioned(fixedIndex / 3, fixedIndex % 3));
  vnl_vector<double> x = residuals.pack(conditioned);
  const double startRms = residuals.rms(x);
  vnl_levenberg_marquardt lm(residuals);
  lm.set_f_tolerance(ftol_);
  lm.set_x_tolerance(htol_);
  lm.set_g_tolerance(gtol_);
  lm.set_epsilon_function(1e-14);
  lm.set_max_function_evals(maxEvaluations_);
  const bool converged = lm.minimize(x);
  const double endRms = residuals.rms(x);

  // Keep the start when the search made things worse (it can only fail that way).
  const Matrix3 refined = endRms <= startRms ? Matrix3(residuals.expand(x)) : conditioned;
  const Matrix3 result = T2.inverse() * refined * T1;
  for (int k = 0; k < 9; ++k) H.set(k / 3, k % 3, result(k / 3, k % 3));
  const double toOriginalUnits = 1.0 / T2(0, 0);
  startError_ = startRms * toOriginalUnits;
  endError_ = std::min(endRms, startRms) * toOriginalUnits;
  if (verbose_)
    std::fprintf(stderr, "vgl_h_matrix_2d_optimize_lmq: rms transfer error %g -> %g\n", startError_, endError_);
  return converged;
}

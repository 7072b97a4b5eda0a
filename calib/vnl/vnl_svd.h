#pragma once
// Singular value decomposition M = U * diag(W) * V^T of a dense matrix, with
// the part of VXL's vnl_svd interface the engine uses. Singular values at or
// below the zero tolerance count as zero in rank(), solve() and the inverse.

#include <Eigen/SVD>
#include <cmath>

#include "calib/vnl/vnl_least_squares_function.h"
#include "calib/vnl/vnl_vector.h"

template <class T>
class vnl_svd {
 public:
  using Matrix = vnl_matrix<T>;

  // zero_out_tol >= 0: absolute tolerance; < 0: relative to the largest singular value.
  explicit vnl_svd(const Matrix& M, double zero_out_tol = 0.0)
      : svd_(M, Eigen::ComputeFullU | Eigen::ComputeFullV) {
    const auto& w = svd_.singularValues();
    const double largest = w.size() > 0 ? static_cast<double>(w(0)) : 0.0;
    tolerance_ = zero_out_tol >= 0 ? zero_out_tol : -zero_out_tol * largest;
    rank_ = 0;
    for (Eigen::Index i = 0; i < w.size(); ++i)
      if (static_cast<double>(w(i)) > tolerance_) ++rank_;
  }

  Matrix U() const { return svd_.matrixU(); }
  Matrix V() const { return svd_.matrixV(); }
  // Singular values, largest first.
  T W(int i) const { return svd_.singularValues()(i); }
  int singular_value_count() const { return static_cast<int>(svd_.singularValues().size()); }
  int rank() const { return rank_; }

  // Unit vector minimising |M x|: the right singular vector of the smallest singular value.
  vnl_vector<T> nullvector() const {
    const Matrix V = svd_.matrixV();
    vnl_vector<T> x(static_cast<std::size_t>(V.rows()));
    for (Eigen::Index i = 0; i < V.rows(); ++i) x[static_cast<std::size_t>(i)] = V(i, V.cols() - 1);
    return x;
  }

  // Least-squares solution of M x = b, ignoring singular values within the tolerance.
  vnl_vector<T> solve(const vnl_vector<T>& b) const {
    const Matrix U = svd_.matrixU();
    const Matrix V = svd_.matrixV();
    const auto& w = svd_.singularValues();
    Eigen::Matrix<T, Eigen::Dynamic, 1> coefficients = Eigen::Matrix<T, Eigen::Dynamic, 1>::Zero(V.cols());
    for (Eigen::Index i = 0; i < w.size(); ++i) {
      if (static_cast<double>(w(i)) <= tolerance_) continue;
      T dot = T(0);
      for (Eigen::Index r = 0; r < U.rows(); ++r) dot += U(r, i) * b[static_cast<std::size_t>(r)];
      coefficients(i) = dot / w(i);
    }
    const Eigen::Matrix<T, Eigen::Dynamic, 1> x = V * coefficients;
    vnl_vector<T> result(static_cast<std::size_t>(x.size()));
    for (Eigen::Index i = 0; i < x.size(); ++i) result[static_cast<std::size_t>(i)] = x(i);
    return result;
  }

 private:
  Eigen::JacobiSVD<Matrix> svd_;
  double tolerance_ = 0.0;
  int rank_ = 0;
};

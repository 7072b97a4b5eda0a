#pragma once
// Base of the least-squares problems handed to vnl_levenberg_marquardt: a
// residual function of a fixed number of unknowns and residuals.

#include <Eigen/Core>

#include "calib/vnl/vnl_vector.h"

template <class T>
using vnl_matrix = Eigen::Matrix<T, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

// Residuals that fall into independent blocks: block b's residuals
// [b * residualsPerBlock, (b + 1) * residualsPerBlock) depend only on the
// shared unknowns x[0, shared) and on the block's own unknowns, which lie in
// `groups` runs of `groupSize` values each (a pose: a rotation run and a
// translation run), the runs of all blocks one after the other.
struct vnl_block_layout {
  int shared = 0;
  int blocks = 0;
  int groups = 0;
  int groupSize = 0;
  int residualsPerBlock = 0;

  int blockUnknowns() const { return groups * groupSize; }
  // Index in x of unknown k (0 <= k < blockUnknowns()) of block b.
  int unknownIndex(int b, int k) const {
    return shared + (k / groupSize) * groupSize * blocks + b * groupSize + k % groupSize;
  }
  int unknowns() const { return shared + blocks * blockUnknowns(); }
  int residuals() const { return blocks * residualsPerBlock; }
};

class vnl_least_squares_function {
 public:
  enum UseGradient { no_gradient, use_gradient };

  vnl_least_squares_function(int number_of_unknowns, int number_of_residuals,
                             UseGradient g = use_gradient)
      : unknowns_(number_of_unknowns), residuals_(number_of_residuals), gradient_(g == use_gradient) {}
  virtual ~vnl_least_squares_function() = default;

  // residuals = f(x); both sized by the caller to the counts below.
  virtual void f(const vnl_vector<double>& x, vnl_vector<double>& residuals) = 0;
  // Analytic Jacobian; the base only warns, problems without one use forward differences.
  virtual void gradf(const vnl_vector<double>& x, vnl_matrix<double>& jacobian);
  // Called by the minimiser once per iteration; nothing by default.
  virtual void trace(int iteration, const vnl_vector<double>& x, const vnl_vector<double>& residuals);

  // The block structure of the residuals, when they have one (see
  // vnl_block_layout); false by default.
  virtual bool get_block_layout(vnl_block_layout& layout) const;

  int get_number_of_unknowns() const { return unknowns_; }
  int get_number_of_residuals() const { return residuals_; }
  bool has_gradient() const { return gradient_; }
  void throw_failure() { failure_ = true; }
  void clear_failure() { failure_ = false; }
  bool failure() const { return failure_; }

 protected:
  void init(int number_of_unknowns, int number_of_residuals) {
    unknowns_ = number_of_unknowns;
    residuals_ = number_of_residuals;
  }

 private:
  int unknowns_;
  int residuals_;
  bool gradient_;
  bool failure_ = false;
};

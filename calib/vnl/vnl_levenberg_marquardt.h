#pragma once
// Levenberg-Marquardt minimiser of a vnl_least_squares_function without an
// analytic gradient: MINPACK's lmdif algorithm (forward-difference Jacobian
// with relative step sqrt(epsfcn)) on Eigen's port of it. The number of
// unknowns and residuals is read from the function when minimize() starts, so
// a function may size itself after construction.
//
// A function that declares a block structure (get_block_layout) is minimised
// by the block-structured path (vnl_block_minimiser.h) unless
// set_use_block_structure(false): same steps, tests, counts toward the
// evaluation limit, reasons and trace, with a Jacobian from far fewer
// evaluations and linear algebra linear in the number of blocks.

#include <Eigen/Core>

#include "calib/vnl/vnl_least_squares_function.h"
#include "calib/vnl/vnl_vector.h"

class vnl_levenberg_marquardt {
 public:
  explicit vnl_levenberg_marquardt(vnl_least_squares_function& f) : function_(&f) {}

  void set_f_tolerance(double v) { ftol_ = v; }
  void set_x_tolerance(double v) { xtol_ = v; }
  void set_g_tolerance(double v) { gtol_ = v; }
  void set_epsilon_function(double v) { epsfcn_ = v; }
  // 0 or less restores the default of 400 evaluations per unknown.
  void set_max_function_evals(int v) { maxfev_ = v; }
  void set_trace(bool on) { trace_ = on; }
  void set_use_block_structure(bool on) { use_blocks_ = on; }

  double get_f_tolerance() const { return ftol_; }
  double get_x_tolerance() const { return xtol_; }
  double get_g_tolerance() const { return gtol_; }
  double get_epsilon_function() const { return epsfcn_; }
  int get_max_function_evals() const { return maxfev_; }

  // Minimises the sum of squared residuals starting from x; x receives the
  // final point. True when one of the four convergence tests (f, x, both,
  // gradient) stopped the search; otherwise the reason goes to stderr.
  bool minimize(vnl_vector<double>& x);
  bool minimize_without_gradient(vnl_vector<double>& x) { return minimize(x); }

  // Counts of the last minimize(): residual evaluations made (Jacobian
  // columns included) and Jacobian evaluations.
  int get_num_evaluations() const { return num_evaluations_; }
  int get_num_iterations() const { return num_iterations_; }
  // Root-mean-square residual at the start and at the end of the last minimize().
  double get_start_error() const { return start_error_; }
  double get_end_error() const { return end_error_; }
  // MINPACK's info code of the last minimize() (1..4 converged, 5 evaluation
  // limit, 6..8 tolerances too small, 0 improper input, -1 the function failed).
  int get_failure_code() const { return failure_code_; }
  // Whether the last minimize() took the block-structured path.
  bool used_block_structure() const { return used_blocks_; }

 private:
  vnl_least_squares_function* function_;
  double ftol_ = 1e-8;
  double xtol_ = 1e-8;
  double gtol_ = 1e-5;
  double epsfcn_ = 1e-11;
  int maxfev_ = 0;
  bool trace_ = false;
  bool use_blocks_ = true;
  bool used_blocks_ = false;
  int num_evaluations_ = 0;
  int num_iterations_ = 0;
  double start_error_ = 0.0;
  double end_error_ = 0.0;
  int failure_code_ = 0;

  int minimize_dense(Eigen::VectorXd& solution, int m);
  int minimize_blocks(Eigen::VectorXd& solution, const vnl_block_layout& layout, int m);
};

#pragma once
// Levenberg-Marquardt on problems whose residuals fall into independent
// blocks (see vnl_block_layout): the same algorithm, tests and step control as
// the dense minimiser, with the forward-difference Jacobian built from one
// evaluation per block-unknown index plus one per shared unknown, and the
// linear algebra done block by block on the normal equations (the pose blocks
// are eliminated and the shared unknowns solved from their Schur complement),
// so that an iteration costs time and memory linear in the number of blocks.

#include <Eigen/Core>

#include "calib/vnl/vnl_least_squares_function.h"

struct vnl_block_minimiser_settings {
  double ftol = 0;
  double xtol = 0;
  double gtol = 0;
  double epsfcn = 0;
  int maxfev = 0;
  bool trace = false;
};

struct vnl_block_minimiser_result {
  int info = 0;             // the dense minimiser's codes: 1..8, 0 improper input, -1 the function failed
  int evaluations = 0;      // residual evaluations made
  int jacobians = 0;        // Jacobians built (iterations)
  double startNorm = 0.0;   // |f| at the start
  double endNorm = 0.0;     // |f| at the end
};

// Minimises |f(x)|^2 from x (receives the final point). The evaluation limit
// counts a Jacobian as one evaluation per unknown, as the dense minimiser
// does, so both stop for the same reasons at the same points.
vnl_block_minimiser_result vnl_block_minimise(vnl_least_squares_function& f, const vnl_block_layout& layout,
                                              const vnl_block_minimiser_settings& settings, Eigen::VectorXd& x);

// The normal matrix of the shared unknowns with every block eliminated (the
// Schur complement U - sum W V^-1 W^T of J^T J), with J the forward-difference
// Jacobian at x (relative step sqrt(epsfcn)). Its inverse is the shared block
// of (J^T J)^-1. False when f fails or a block's normal matrix is singular.
bool vnl_block_reduced_normal_matrix(vnl_least_squares_function& f, const vnl_block_layout& layout, double epsfcn,
                                     const Eigen::VectorXd& x, Eigen::MatrixXd& reduced);

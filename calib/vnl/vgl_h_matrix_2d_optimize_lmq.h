#pragma once
// Refines a homography so that it maps a first list of points onto a second
// one, minimising the squared transfer distances in the second image with
// Levenberg-Marquardt. Both lists are conditioned (centred, mean distance
// sqrt(2)) before the search and the result is returned in the original
// coordinates. At least four correspondences with finite points are needed.

#include <vector>

#include "calib/vnl/vgl_h_matrix_2d.h"
#include "calib/vnl/vgl_homg_point_2d.h"

class vgl_h_matrix_2d_optimize_lmq {
 public:
  explicit vgl_h_matrix_2d_optimize_lmq(const vgl_h_matrix_2d<double>& initial) : initial_(initial) {}

  void set_verbose(bool verbose) { verbose_ = verbose; }
  void set_htol(double tolerance) { htol_ = tolerance; }
  void set_ftol(double tolerance) { ftol_ = tolerance; }
  void set_gtol(double tolerance) { gtol_ = tolerance; }
  void set_max_iter(int evaluations) { maxEvaluations_ = evaluations; }

  // H receives the refined homography (the initial one when there are too few
  // usable correspondences). True when the minimiser converged.
  bool optimize(const std::vector<vgl_homg_point_2d<double>>& points1,
                const std::vector<vgl_homg_point_2d<double>>& points2, vgl_h_matrix_2d<double>& H);

  // Root-mean-square transfer distance (in the second list's units) of the last optimize().
  double start_error() const { return startError_; }
  double end_error() const { return endError_; }

 private:
  vgl_h_matrix_2d<double> initial_;
  bool verbose_ = false;
  double htol_ = 1e-10;
  double ftol_ = 1e-10;
  double gtol_ = 1e-10;
  int maxEvaluations_ = 0;  // 0: the minimiser's default
  double startError_ = 0.0;
  double endError_ = 0.0;
};

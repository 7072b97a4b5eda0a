#include "calib/vnl/vnl_levenberg_marquardt.h"

#include "calib/vnl/vnl_block_minimiser.h"

#include <Eigen/Core>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <unsupported/Eigen/NonLinearOptimization>

namespace {

// Adapts a vnl_least_squares_function to the functor Eigen's minimiser
// expects. The Jacobian is built by forward differences as lmdif does: the
// residuals at x are those of the last evaluation (the minimiser only asks for
// a Jacobian at the point it evaluated last), so a Jacobian costs n
// evaluations, and that count is reported back for the evaluation limit.
class ForwardDifferenceAdapter {
 public:
  using Scalar = double;
  enum { InputsAtCompileTime = Eigen::Dynamic, ValuesAtCompileTime = Eigen::Dynamic };
  using InputType = Eigen::VectorXd;
  using ValueType = Eigen::VectorXd;
  using JacobianType = Eigen::MatrixXd;

  ForwardDifferenceAdapter(vnl_least_squares_function& f, double epsfcn, bool trace)
      : function_(f),
        unknowns_(f.get_number_of_unknowns()),
        residualCount_(f.get_number_of_residuals()),
        step_(std::sqrt(std::max(epsfcn, std::numeric_limits<double>::epsilon()))),
        trace_(trace),
        x_(static_cast<std::size_t>(unknowns_)),
        residuals_(static_cast<std::size_t>(residualCount_)),
        lastX_(unknowns_),
        lastF_(residualCount_),
        shifted_(residualCount_) {}

  int inputs() const { return unknowns_; }
  int values() const { return residualCount_; }

  int operator()(const Eigen::VectorXd& x, Eigen::VectorXd& fvec) {
    if (!evaluate(x, fvec)) return -1;
    lastX_ = x;
    lastF_ = fvec;
    haveLast_ = true;
    return 0;
  }

  int df(const Eigen::VectorXd& x, Eigen::MatrixXd& jacobian) {
    int evaluations = 0;
    if (!haveLast_ || lastX_ != x) {
      if ((*this)(x, lastF_) < 0) return -1;
      ++evaluations;
    }
    const Eigen::VectorXd base = lastF_;
    Eigen::VectorXd probe = x;
    for (int j = 0; j < unknowns_; ++j) {
      double h = step_ * std::abs(x[j]);
      if (h == 0.0) h = step_;
      probe[j] = x[j] + h;
      if (!evaluate(probe, shifted_)) return -1;
      ++evaluations;
      probe[j] = x[j];
      jacobian.col(j) = (shifted_ - base) / h;
    }
    ++jacobians_;
    if (trace_) {
      copyIn(x);
      copyResiduals(base);
      function_.trace(jacobians_, x_, residuals_);
    }
    return evaluations;
  }

  // Leaves the function's last evaluation at x: functions that keep state
  // from f (poses, for one) then describe the final point.
  void finishAt(const Eigen::VectorXd& x) {
    if (!haveLast_ || lastX_ != x) (*this)(x, lastF_);
  }

  int evaluations() const { return evaluations_; }
  int jacobians() const { return jacobians_; }

 private:
  bool evaluate(const Eigen::VectorXd& x, Eigen::VectorXd& fvec) {
    copyIn(x);
    function_.f(x_, residuals_);
    ++evaluations_;
    if (function_.failure()) return false;
    for (int i = 0; i < residualCount_; ++i) fvec[i] = residuals_[static_cast<std::size_t>(i)];
    return true;
  }
  void copyIn(const Eigen::VectorXd& x) {
    for (int j = 0; j < unknowns_; ++j) x_[static_cast<std::size_t>(j)] = x[j];
  }
  void copyResiduals(const Eigen::VectorXd& f) {
    for (int i = 0; i < residualCount_; ++i) residuals_[static_cast<std::size_t>(i)] = f[i];
  }

  vnl_least_squares_function& function_;
  int unknowns_;
  int residualCount_;
  double step_;
  bool trace_;
  vnl_vector<double> x_;
  vnl_vector<double> residuals_;
  Eigen::VectorXd lastX_;
  Eigen::VectorXd lastF_;
  Eigen::VectorXd shifted_;
  bool haveLast_ = false;
  int evaluations_ = 0;
  int jacobians_ = 0;
};

double rootMeanSquare(double norm, int count) { return count > 0 ? norm / std::sqrt(double(count)) : 0.0; }

const char* describeFailure(int info) {
  switch (info) {
    case 0: return "improper input parameters";
    case 5: return "the number of function evaluations reached its limit";
    case 6: return "f tolerance too small: no further reduction in the sum of squares is possible";
    case 7: return "x tolerance too small: no further improvement in the solution is possible";
    case 8: return "g tolerance too small: the residuals are orthogonal to the Jacobian to machine precision";
    case -1: return "the least-squares function reported a failure";
    default: return "unknown termination";
  }
}

}  // namespace

int vnl_levenberg_marquardt::minimize_dense(Eigen::VectorXd& solution, int m) {
  ForwardDifferenceAdapter adapter(*function_, epsfcn_, trace_);
  Eigen::LevenbergMarquardt<ForwardDifferenceAdapter, double> lm(adapter);
  lm.parameters.ftol = ftol_;
  lm.parameters.xtol = xtol_;
  lm.parameters.gtol = gtol_;
  lm.parameters.epsfcn = epsfcn_;
  lm.parameters.maxfev = maxfev_ > 0 ? maxfev_ : 400 * static_cast<int>(solution.size());

  using namespace Eigen::LevenbergMarquardtSpace;
  int code = 0;
  Status status = lm.minimizeInit(solution);
  if (status == ImproperInputParameters) {
    code = 0;
  } else if (status == UserAsked) {
    code = -1;
  } else {
    start_error_ = rootMeanSquare(lm.fnorm, m);
    do {
      status = lm.minimizeOneStep(solution);
    } while (status == Running);
    code = status == UserAsked ? -1 : static_cast<int>(status);
    if (code != -1) adapter.finishAt(solution);
    end_error_ = rootMeanSquare(lm.fnorm, m);
  }
  num_evaluations_ = adapter.evaluations();
  num_iterations_ = adapter.jacobians();
  return code;
}

int vnl_levenberg_marquardt::minimize_blocks(Eigen::VectorXd& solution, const vnl_block_layout& layout, int m) {
  vnl_block_minimiser_settings settings;
  settings.ftol = ftol_;
  settings.xtol = xtol_;
  settings.gtol = gtol_;
  settings.epsfcn = epsfcn_;
  settings.maxfev = maxfev_ > 0 ? maxfev_ : 400 * static_cast<int>(solution.size());
  settings.trace = trace_;
  const vnl_block_minimiser_result result = vnl_block_minimise(*function_, layout, settings, solution);
  start_error_ = rootMeanSquare(result.startNorm, m);
  end_error_ = rootMeanSquare(result.endNorm, m);
  num_evaluations_ = result.evaluations;
  num_iterations_ = result.jacobians;
  return result.info;
}

bool vnl_levenberg_marquardt::minimize(vnl_vector<double>& x) {
  num_evaluations_ = 0;
  num_iterations_ = 0;
  start_error_ = end_error_ = 0.0;
  used_blocks_ = false;
  const int n = function_->get_number_of_unknowns();
  const int m = function_->get_number_of_residuals();
  if (n <= 0 || m < n || x.size() != static_cast<std::size_t>(n)) {
    failure_code_ = 0;
    std::fprintf(stderr,
                 "vnl_levenberg_marquardt: %d unknowns, %d residuals and a start vector of %zu values: "
                 "need 0 < unknowns <= residuals and a start vector of the unknowns' size\n",
                 n, m, x.size());
    return false;
  }
  function_->clear_failure();

  Eigen::VectorXd solution(n);
  for (int j = 0; j < n; ++j) solution[j] = x[static_cast<std::size_t>(j)];
  vnl_block_layout layout;
  used_blocks_ = use_blocks_ && function_->get_block_layout(layout) && layout.unknowns() == n && layout.residuals() == m;
  failure_code_ = used_blocks_ ? minimize_blocks(solution, layout, m) : minimize_dense(solution, m);
  for (int j = 0; j < n; ++j) x[static_cast<std::size_t>(j)] = solution[j];

  const bool converged = failure_code_ >= 1 && failure_code_ <= 4;
  if (!converged)
    std::fprintf(stderr, "vnl_levenberg_marquardt: %s (info %d, %d evaluations, %d iterations)\n",
                 describeFailure(failure_code_), failure_code_, num_evaluations_, num_iterations_);
  return converged;
}

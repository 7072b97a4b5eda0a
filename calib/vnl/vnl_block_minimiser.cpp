#include "calib/vnl/vnl_block_minimiser.h"

#include <Eigen/Cholesky>
#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

// The step control below is MINPACK's lmdif as the dense minimiser runs it
// (Eigen's port): the same scaling, trust-region updates, Levenberg-Marquardt
// parameter search and convergence tests. Only the linear algebra differs:
// where the dense code uses a pivoted QR of J, the quantities here come from
// the scaled normal equations (D^-1 J^T J D^-1 + par I) z = D^-1 J^T f, which
// define the same steps, solved block by block.

namespace {

using Eigen::MatrixXd;
using Eigen::VectorXd;

constexpr int kSucceededReduction = 1, kSucceededError = 2, kSucceededBoth = 3, kSucceededGradient = 4;
constexpr int kTooManyEvaluations = 5, kFtolTooSmall = 6, kXtolTooSmall = 7, kGtolTooSmall = 8;
constexpr int kImproperInput = 0, kFunctionFailed = -1, kRunning = -2;
constexpr double kStepBoundFactor = 100.0;
constexpr int kParameterSearchSteps = 10;

// Evaluates the function on Eigen vectors and counts the evaluations.
class Evaluator {
 public:
  Evaluator(vnl_least_squares_function& f, int unknowns, int residuals)
      : function_(f), x_(static_cast<size_t>(unknowns)), residuals_(static_cast<size_t>(residuals)) {}

  bool operator()(const VectorXd& x, VectorXd& out) {
    std::copy(x.data(), x.data() + x.size(), x_.data_block());
    function_.f(x_, residuals_);
    ++evaluations;
    last = x;
    if (function_.failure()) return false;
    out = Eigen::Map<const VectorXd>(residuals_.data_block(), static_cast<Eigen::Index>(residuals_.size()));
    return true;
  }

  void trace(int iteration, const VectorXd& x, const VectorXd& residuals) {
    std::copy(x.data(), x.data() + x.size(), x_.data_block());
    std::copy(residuals.data(), residuals.data() + residuals.size(), residuals_.data_block());
    function_.trace(iteration, x_, residuals_);
  }

  int evaluations = 0;
  VectorXd last;

 private:
  vnl_least_squares_function& function_;
  vnl_vector<double> x_;
  vnl_vector<double> residuals_;
};

// Where the unknowns of every block sit in x.
struct BlockIndex {
  explicit BlockIndex(const vnl_block_layout& layout) : layout(layout) {
    const int size = layout.blockUnknowns();
    indices.resize(static_cast<size_t>(layout.blocks) * static_cast<size_t>(size));
    for (int b = 0; b < layout.blocks; ++b)
      for (int k = 0; k < size; ++k) indices[static_cast<size_t>(b * size + k)] = layout.unknownIndex(b, k);
  }
  int at(int b, int k) const { return indices[static_cast<size_t>(b * layout.blockUnknowns() + k)]; }
  VectorXd gather(const VectorXd& v, int b) const {
    VectorXd out(layout.blockUnknowns());
    for (int k = 0; k < out.size(); ++k) out[k] = v[at(b, static_cast<int>(k))];
    return out;
  }
  void scatter(const VectorXd& from, int b, VectorXd& v) const {
    for (int k = 0; k < from.size(); ++k) v[at(b, static_cast<int>(k))] = from[k];
  }

  vnl_block_layout layout;
  std::vector<int> indices;
};

// The forward-difference Jacobian, its rows grouped by block: `pose` holds
// each block's derivatives by its own unknowns (zero elsewhere, so not
// stored), `shared` the derivatives by the shared unknowns.
struct BlockJacobian {
  MatrixXd pose;    // residuals x blockUnknowns
  MatrixXd shared;  // residuals x shared
};

double differenceStep(double step, double value) {
  const double h = step * std::abs(value);
  return h == 0.0 ? step : h;
}

// Column j of the dense forward-difference Jacobian is (f(x + h_j e_j) - f(x)) / h_j.
// Block b's residuals do not depend on the other blocks' unknowns, so moving
// unknown k of every block at once gives each block's column k exactly as
// moving it alone would: one evaluation per block-unknown index.
bool buildJacobian(Evaluator& evaluate, const BlockIndex& index, const VectorXd& x, const VectorXd& fx, double step,
                   BlockJacobian& J) {
  const vnl_block_layout& L = index.layout;
  const Eigen::Index rows = L.residualsPerBlock;
  J.pose.resize(fx.size(), L.blockUnknowns());
  J.shared.resize(fx.size(), L.shared);
  VectorXd probe = x, shifted(fx.size());
  for (int k = 0; k < L.blockUnknowns(); ++k) {
    for (int b = 0; b < L.blocks; ++b) {
      const int j = index.at(b, k);
      probe[j] = x[j] + differenceStep(step, x[j]);
    }
    if (!evaluate(probe, shifted)) return false;
    for (int b = 0; b < L.blocks; ++b) {
      const int j = index.at(b, k);
      const double h = differenceStep(step, x[j]);
      probe[j] = x[j];
      J.pose.block(b * rows, k, rows, 1) = (shifted.segment(b * rows, rows) - fx.segment(b * rows, rows)) / h;
    }
  }
  for (int j = 0; j < L.shared; ++j) {
    const double h = differenceStep(step, x[j]);
    probe[j] = x[j] + h;
    if (!evaluate(probe, shifted)) return false;
    probe[j] = x[j];
    J.shared.col(j) = (shifted - fx) / h;
  }
  return true;
}

// J^T J and J^T f in blocks: U for the shared unknowns, W_b coupling them to
// block b, V_b for block b alone.
struct NormalEquations {
  MatrixXd U;
  std::vector<MatrixXd> W;
  std::vector<MatrixXd> V;
  VectorXd gradient;     // J^T f, in x's order
  VectorXd columnNorms;  // |J e_j|, in x's order
};

void formNormalEquations(const BlockIndex& index, const BlockJacobian& J, const VectorXd& f, NormalEquations& N) {
  const vnl_block_layout& L = index.layout;
  const Eigen::Index rows = L.residualsPerBlock;
  N.U.setZero(L.shared, L.shared);
  N.W.resize(static_cast<size_t>(L.blocks));
  N.V.resize(static_cast<size_t>(L.blocks));
  N.gradient.setZero(L.unknowns());
  N.columnNorms.setZero(L.unknowns());
  VectorXd sharedGradient = VectorXd::Zero(L.shared);
  for (int b = 0; b < L.blocks; ++b) {
    const auto Js = J.shared.middleRows(b * rows, rows);
    const auto Jp = J.pose.middleRows(b * rows, rows);
    const auto fb = f.segment(b * rows, rows);
    N.U.noalias() += Js.transpose() * Js;
    N.W[static_cast<size_t>(b)].noalias() = Js.transpose() * Jp;
    N.V[static_cast<size_t>(b)].noalias() = Jp.transpose() * Jp;
    sharedGradient.noalias() += Js.transpose() * fb;
    const VectorXd poseGradient = Jp.transpose() * fb;
    index.scatter(poseGradient, b, N.gradient);
    index.scatter(N.V[static_cast<size_t>(b)].diagonal().cwiseSqrt(), b, N.columnNorms);
  }
  N.gradient.head(L.shared) = sharedGradient;
  N.columnNorms.head(L.shared) = N.U.diagonal().cwiseSqrt();
}

// |J p| from the stored blocks.
double jacobianTimesNorm(const BlockIndex& index, const BlockJacobian& J, const VectorXd& p) {
  const vnl_block_layout& L = index.layout;
  const Eigen::Index rows = L.residualsPerBlock;
  VectorXd Jp(J.pose.rows());
  const VectorXd sharedStep = p.head(L.shared);
  for (int b = 0; b < L.blocks; ++b)
    Jp.segment(b * rows, rows).noalias() =
        J.shared.middleRows(b * rows, rows) * sharedStep + J.pose.middleRows(b * rows, rows) * index.gather(p, b);
  return Jp.stableNorm();
}

// The scaled normal matrix D^-1 J^T J D^-1 + par I, factorised by
// eliminating the blocks (LDL^T of each V_b) and factorising the shared
// unknowns' Schur complement.
class ScaledSystem {
 public:
  ScaledSystem(const BlockIndex& index, const NormalEquations& N, const VectorXd& diag) : index_(index) {
    const vnl_block_layout& L = index.layout;
    const VectorXd sharedScale = diag.head(L.shared).cwiseInverse();
    U_ = sharedScale.asDiagonal() * N.U * sharedScale.asDiagonal();
    W_.resize(static_cast<size_t>(L.blocks));
    V_.resize(static_cast<size_t>(L.blocks));
    for (int b = 0; b < L.blocks; ++b) {
      const VectorXd blockScale = index.gather(diag, b).cwiseInverse();
      W_[static_cast<size_t>(b)] = sharedScale.asDiagonal() * N.W[static_cast<size_t>(b)] * blockScale.asDiagonal();
      V_[static_cast<size_t>(b)] = blockScale.asDiagonal() * N.V[static_cast<size_t>(b)] * blockScale.asDiagonal();
    }
    blockFactors_.resize(static_cast<size_t>(L.blocks));
    eliminated_.resize(static_cast<size_t>(L.blocks));
  }

  // Factorises for `par`; false when the matrix is numerically singular.
  bool factor(double par) {
    const vnl_block_layout& L = index_.layout;
    bool fullRank = true;
    MatrixXd S = U_;
    S.diagonal().array() += par;
    for (int b = 0; b < L.blocks; ++b) {
      const size_t i = static_cast<size_t>(b);
      MatrixXd Vb = V_[i];
      Vb.diagonal().array() += par;
      blockFactors_[i].compute(Vb);
      fullRank = fullRank && isRegular(blockFactors_[i]);
      if (L.shared == 0) continue;  // only the blocks' own unknowns (a run refining poses alone)
      eliminated_[i] = blockFactors_[i].solve(W_[i].transpose());  // V_b^-1 W_b^T
      S.noalias() -= W_[i] * eliminated_[i];
    }
    // Eigen's triangular solve reads a first element even of an empty right
    // side, so nothing is solved against the absent shared unknowns.
    if (L.shared == 0) return fullRank;
    reducedFactor_.compute(S);
    return fullRank && isRegular(reducedFactor_);
  }

  // Solves the factorised system for a right side in x's order.
  VectorXd solve(const VectorXd& rhs) const {
    const vnl_block_layout& L = index_.layout;
    VectorXd z(rhs.size());
    if (L.shared > 0) {
      VectorXd reducedRhs = rhs.head(L.shared);
      for (int b = 0; b < L.blocks; ++b)
        reducedRhs.noalias() -= eliminated_[static_cast<size_t>(b)].transpose() * index_.gather(rhs, b);
      z.head(L.shared) = reducedFactor_.solve(reducedRhs);
    }
    for (int b = 0; b < L.blocks; ++b) {
      const size_t i = static_cast<size_t>(b);
      VectorXd blockRhs = index_.gather(rhs, b);
      if (L.shared > 0) blockRhs.noalias() -= W_[i].transpose() * z.head(L.shared);
      index_.scatter(blockFactors_[i].solve(blockRhs), b, z);
    }
    return z;
  }

  // The unscaled Schur complement of the shared unknowns at par = 0.
  static MatrixXd reducedMatrix(const NormalEquations& N) {
    MatrixXd S = N.U;
    if (S.rows() == 0) return S;
    for (size_t i = 0; i < N.V.size(); ++i) S.noalias() -= N.W[i] * Eigen::LDLT<MatrixXd>(N.V[i]).solve(N.W[i].transpose());
    return S;
  }

 private:
  static bool isRegular(const Eigen::LDLT<MatrixXd>& f) {
    if (f.info() != Eigen::Success) return false;
    const VectorXd d = f.vectorD();
    const double largest = d.cwiseAbs().maxCoeff();
    const double threshold = largest * static_cast<double>(d.size()) * std::numeric_limits<double>::epsilon();
    return largest > 0.0 && (d.array() > threshold).all();
  }

  const BlockIndex& index_;
  MatrixXd U_;
  std::vector<MatrixXd> W_, V_;
  std::vector<Eigen::LDLT<MatrixXd>> blockFactors_;
  std::vector<MatrixXd> eliminated_;
  Eigen::LDLT<MatrixXd> reducedFactor_;
};

// MINPACK's lmpar on the scaled system: finds par with |D x| within 10% of
// delta (or par = 0 when the Gauss-Newton step is short enough) and returns
// x solving (J^T J + par D^2) x = J^T f. `scaledGradient` is D^-1 J^T f.
VectorXd searchParameter(ScaledSystem& system, const VectorXd& scaledGradient, const VectorXd& diag, double delta,
                         double& par) {
  const double dwarf = std::numeric_limits<double>::min();
  const bool fullRank = system.factor(0.0);
  VectorXd z = system.solve(scaledGradient);  // z = D x
  double dxnorm = z.blueNorm();
  double fp = dxnorm - delta;
  if (fp <= 0.1 * delta) {
    par = 0.0;
    return z.cwiseQuotient(diag);
  }
  double parl = 0.0;
  if (fullRank) {
    const VectorXd q = z / dxnorm;
    const double temp = std::sqrt(std::max(q.dot(system.solve(q)), 0.0));
    parl = fp / delta / temp / temp;
  }
  const double gnorm = scaledGradient.stableNorm();
  double paru = gnorm / delta;
  if (paru == 0.0) paru = dwarf / std::min(delta, 0.1);
  par = std::max(par, parl);
  par = std::min(par, paru);
  if (par == 0.0) par = gnorm / dxnorm;

  for (int iteration = 1;; ++iteration) {
    if (par == 0.0) par = std::max(dwarf, 0.001 * paru);
    system.factor(par);
    z = system.solve(scaledGradient);
    dxnorm = z.blueNorm();
    const double previous = fp;
    fp = dxnorm - delta;
    if (std::abs(fp) <= 0.1 * delta || (parl == 0.0 && fp <= previous && previous < 0.0) ||
        iteration == kParameterSearchSteps)
      break;
    const VectorXd q = z / dxnorm;
    const double temp = std::sqrt(std::max(q.dot(system.solve(q)), 0.0));
    const double parc = fp / delta / temp / temp;
    if (fp > 0.0) parl = std::max(parl, par);
    if (fp < 0.0) paru = std::min(paru, par);
    par = std::max(parl, par + parc);
  }
  return z.cwiseQuotient(diag);
}

// One outer iteration state of the minimiser (MINPACK's names).
struct State {
  VectorXd fvec, diag;
  double fnorm = 0, xnorm = 0, delta = 0, par = 0;
  int iter = 1;
  long long nfev = 0;
};

int checkConvergence(const vnl_block_minimiser_settings& s, const State& st, double actred, double prered,
                     double ratio, double gnorm) {
  const double eps = std::numeric_limits<double>::epsilon();
  const bool smallReduction = std::abs(actred) <= s.ftol && prered <= s.ftol && 0.5 * ratio <= 1.0;
  const bool smallStep = st.delta <= s.xtol * st.xnorm;
  if (smallReduction && smallStep) return kSucceededBoth;
  if (smallReduction) return kSucceededReduction;
  if (smallStep) return kSucceededError;
  if (st.nfev >= s.maxfev) return kTooManyEvaluations;
  if (std::abs(actred) <= eps && prered <= eps && 0.5 * ratio <= 1.0) return kFtolTooSmall;
  if (st.delta <= eps * st.xnorm) return kXtolTooSmall;
  if (gnorm <= eps) return kGtolTooSmall;
  return kRunning;
}

// One iteration: a Jacobian, then trial steps until one reduces the sum of
// squares enough or a test stops the search. Mirrors the dense minimiser.
int iterate(Evaluator& evaluate, const BlockIndex& index, const vnl_block_minimiser_settings& s, double step,
            State& st, VectorXd& x, int& jacobians) {
  BlockJacobian J;
  if (!buildJacobian(evaluate, index, x, st.fvec, step, J)) return kFunctionFailed;
  st.nfev += x.size();  // counted as the dense minimiser counts its Jacobian
  ++jacobians;
  if (s.trace) evaluate.trace(jacobians, x, st.fvec);

  NormalEquations N;
  formNormalEquations(index, J, st.fvec, N);
  const VectorXd& columnNorms = N.columnNorms;
  if (st.iter == 1) {
    st.diag = columnNorms.unaryExpr([](double v) { return v == 0.0 ? 1.0 : v; });
    st.xnorm = st.diag.cwiseProduct(x).stableNorm();
    st.delta = kStepBoundFactor * st.xnorm;
    if (st.delta == 0.0) st.delta = kStepBoundFactor;
  }
  double gnorm = 0.0;
  if (st.fnorm != 0.0)
    for (Eigen::Index j = 0; j < x.size(); ++j)
      if (columnNorms[j] != 0.0) gnorm = std::max(gnorm, std::abs(N.gradient[j] / st.fnorm / columnNorms[j]));
  if (gnorm <= s.gtol) return kSucceededGradient;
  st.diag = st.diag.cwiseMax(columnNorms);

  ScaledSystem system(index, N, st.diag);
  const VectorXd scaledGradient = N.gradient.cwiseQuotient(st.diag);
  VectorXd trialResiduals(st.fvec.size());
  double ratio = 0.0;
  do {
    const VectorXd p = -searchParameter(system, scaledGradient, st.diag, st.delta, st.par);
    const VectorXd trial = x + p;
    const double pnorm = st.diag.cwiseProduct(p).stableNorm();
    if (st.iter == 1) st.delta = std::min(st.delta, pnorm);
    if (!evaluate(trial, trialResiduals)) return kFunctionFailed;
    ++st.nfev;
    const double fnorm1 = trialResiduals.stableNorm();

    double actred = -1.0;
    if (0.1 * fnorm1 < st.fnorm) actred = 1.0 - (fnorm1 / st.fnorm) * (fnorm1 / st.fnorm);
    const double temp1 = std::pow(jacobianTimesNorm(index, J, p) / st.fnorm, 2);
    const double temp2 = std::pow(std::sqrt(st.par) * pnorm / st.fnorm, 2);
    const double prered = temp1 + temp2 / 0.5;
    const double dirder = -(temp1 + temp2);
    ratio = prered != 0.0 ? actred / prered : 0.0;

    if (ratio <= 0.25) {
      double temp = actred >= 0.0 ? 0.5 : 0.5 * dirder / (dirder + 0.5 * actred);
      if (0.1 * fnorm1 >= st.fnorm || temp < 0.1) temp = 0.1;
      st.delta = temp * std::min(st.delta, pnorm / 0.1);
      st.par /= temp;
    } else if (!(st.par != 0.0 && ratio < 0.75)) {
      st.delta = pnorm / 0.5;
      st.par = 0.5 * st.par;
    }
    if (ratio >= 1e-4) {
      x = trial;
      st.fvec = trialResiduals;
      st.xnorm = st.diag.cwiseProduct(x).stableNorm();
      st.fnorm = fnorm1;
      ++st.iter;
    }
    const int verdict = checkConvergence(s, st, actred, prered, ratio, gnorm);
    if (verdict != kRunning) return verdict;
  } while (ratio < 1e-4);
  return kRunning;
}

bool isProperInput(const vnl_block_layout& L, const vnl_block_minimiser_settings& s, Eigen::Index unknowns,
                   int residuals) {
  return L.blocks > 0 && L.shared >= 0 && L.groupSize > 0 && L.groups > 0 && L.residualsPerBlock > 0 &&
         L.unknowns() == unknowns && L.residuals() == residuals && unknowns <= residuals && s.ftol >= 0 &&
         s.xtol >= 0 && s.gtol >= 0 && s.maxfev > 0;
}

}  // namespace

vnl_block_minimiser_result vnl_block_minimise(vnl_least_squares_function& f, const vnl_block_layout& layout,
                                              const vnl_block_minimiser_settings& settings, VectorXd& x) {
  vnl_block_minimiser_result result;
  const int m = f.get_number_of_residuals();
  if (!isProperInput(layout, settings, x.size(), m)) {
    result.info = kImproperInput;
    return result;
  }
  const BlockIndex index(layout);
  Evaluator evaluate(f, static_cast<int>(x.size()), m);
  const double step = std::sqrt(std::max(settings.epsfcn, std::numeric_limits<double>::epsilon()));

  State st;
  st.nfev = 1;
  if (!evaluate(x, st.fvec)) {
    result.info = kFunctionFailed;
    result.evaluations = evaluate.evaluations;
    return result;
  }
  st.fnorm = st.fvec.stableNorm();
  result.startNorm = st.fnorm;
  int status = kRunning;
  while (status == kRunning) status = iterate(evaluate, index, settings, step, st, x, result.jacobians);
  // Functions keep state from their last evaluation (poses, for one); it
  // describes the final point.
  if (status != kFunctionFailed && evaluate.last != x) evaluate(x, st.fvec);
  result.info = status;
  result.evaluations = evaluate.evaluations;
  result.endNorm = st.fnorm;
  return result;
}

bool vnl_block_reduced_normal_matrix(vnl_least_squares_function& f, const vnl_block_layout& layout, double epsfcn,
                                     const VectorXd& x, MatrixXd& reduced) {
  const int m = f.get_number_of_residuals();
  if (layout.unknowns() != x.size() || layout.residuals() != m || layout.blocks <= 0) return false;
  f.clear_failure();
  const BlockIndex index(layout);
  Evaluator evaluate(f, static_cast<int>(x.size()), m);
  VectorXd fx(m);
  BlockJacobian J;
  const double step = std::sqrt(std::max(epsfcn, std::numeric_limits<double>::epsilon()));
  if (!evaluate(x, fx) || !buildJacobian(evaluate, index, x, fx, step, J)) return false;
  NormalEquations N;
  formNormalEquations(index, J, fx, N);
  for (const MatrixXd& V : N.V)
    if (Eigen::LDLT<MatrixXd>(V).info() != Eigen::Success) return false;
  reduced = ScaledSystem::reducedMatrix(N);
  evaluate(x, fx);  // leave the function's state at x
  return true;
}

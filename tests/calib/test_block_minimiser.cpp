// The block-structured minimiser against the dense one: same minimum, same
// views, same poses, on one camera and on the stereo rig, plus the reduced
// normal matrix of the shared unknowns and a generic block problem.

#include <gtest/gtest.h>

#include <Eigen/Dense>

#include <algorithm>
#include <atomic>
#include <cmath>

#include "calib/CalibrationProblem.h"
#include "calib/StereoProblem.h"
#include "synth/SyntheticViews.h"
#include "calib/vnl/vnl_block_minimiser.h"
#include "calib/vnl/vnl_levenberg_marquardt.h"

namespace {

constexpr double kSumTolerance = 1e-9;
constexpr double kParameterTolerance = 1e-7;

SyntheticOptions BoardOptions(int views, int nx, int ny, uint32_t seed) {
  SyntheticOptions options;
  options.views = views;
  options.grid = GridDescription{20.0, 20.0, nx, ny, 5, 5};
  options.camera.width = 1280;
  options.camera.height = 960;
  options.camera.fx = 1210.0;
  options.camera.fy = 1195.0;
  options.camera.cx = 645.0;
  options.camera.cy = 478.0;
  options.camera.coefficients[0] = -0.24;
  options.camera.coefficients[1] = 0.11;
  options.camera.coefficients[2] = 0.0009;
  options.camera.coefficients[3] = -0.0011;
  options.pointNoise = 0.2;
  options.renderImages = false;
  options.seed = seed;
  return options;
}

double SumOfSquares(const CalibrationProblem& problem) {
  double sum = 0.0;
  for (int v : problem.usedViews)
    for (int k = 0; k < problem.pointsPerView; ++k) {
      const ImagePoint p = ProjectGridPoint(problem.objectPoints[static_cast<size_t>(k)], problem.GetRotationMatrix(v),
                                            problem.GetTranslation(v), problem.refined);
      const ImagePoint& o = problem.imagePoints[static_cast<size_t>(v * problem.pointsPerView + k)];
      sum += (o.x - p.x) * (o.x - p.x) + (o.y - p.y) * (o.y - p.y);
    }
  return sum;
}

// |a - b| within `relative` of the larger magnitude (or of `floor` for values near zero).
void ExpectClose(double a, double b, double relative, double floor, const char* what) {
  EXPECT_LE(std::abs(a - b), relative * std::max({std::abs(a), std::abs(b), floor})) << what << ": " << a << " vs " << b;
}

void ExpectSameCamera(const CameraParameters& a, const CameraParameters& b) {
  for (int i : {0, 2, 4, 5}) ExpectClose(a.K[static_cast<size_t>(i)], b.K[static_cast<size_t>(i)], kParameterTolerance, 1.0, "K");
  // Distortion coefficients are measured against 1, the scale at which they act.
  for (size_t i = 0; i < 4; ++i) ExpectClose(a.distortion[i], b.distortion[i], kParameterTolerance, 1.0, "distortion");
}

struct MonoRun {
  CalibrationProblem problem;
  bool ok = false;
};

void RunMono(MonoRun& run, const SyntheticRig& rig, bool blocks) {
  run.problem.options.writePointDump = false;
  run.problem.options.blockStructure = blocks;
  run.ok = run.problem.Calibrate(rig.cameras[0].points, rig.grid, rig.cameras[0].camera.width,
                                 rig.cameras[0].camera.height);
}

void ExpectSameRun(const CalibrationProblem& blocks, const CalibrationProblem& dense) {
  EXPECT_EQ(blocks.usedViews, dense.usedViews);
  EXPECT_EQ(blocks.converged, dense.converged);
  ExpectClose(SumOfSquares(blocks), SumOfSquares(dense), kSumTolerance, 0.0, "sum of squares");
  ExpectSameCamera(blocks.refined, dense.refined);
  for (int v : dense.usedViews)
    for (int i = 0; i < 3; ++i) {
      ExpectClose(blocks.GetRotationVector(v)[i], dense.GetRotationVector(v)[i], kParameterTolerance, 1.0, "rotation");
      ExpectClose(blocks.GetTranslation(v)[i], dense.GetTranslation(v)[i], kParameterTolerance, 1.0, "translation");
    }
  double bx, by, bd, dx, dy, dd;
  blocks.GetReprojectionError(bx, by, bd);
  dense.GetReprojectionError(dx, dy, dd);
  ExpectClose(bd, dd, 1e-9, 0.0, "mean reprojection distance");
}

struct BoardCase {
  int views, nx, ny;
};

class BlockAgainstDense : public testing::TestWithParam<BoardCase> {};

TEST_P(BlockAgainstDense, ReachesTheDenseMinimumOnOneCamera) {
  const BoardCase c = GetParam();
  const SyntheticRig rig = MakeSyntheticRig(BoardOptions(c.views, c.nx, c.ny, 21));
  MonoRun blocks, dense;
  RunMono(blocks, rig, true);
  RunMono(dense, rig, false);
  ASSERT_TRUE(blocks.ok);
  ASSERT_TRUE(dense.ok);
  EXPECT_TRUE(dense.problem.converged);
  EXPECT_TRUE(blocks.problem.blockStructureUsed);
  EXPECT_FALSE(dense.problem.blockStructureUsed);
  ExpectSameRun(blocks.problem, dense.problem);
}

INSTANTIATE_TEST_SUITE_P(Boards, BlockAgainstDense,
                         testing::Values(BoardCase{5, 9, 6}, BoardCase{15, 9, 6}, BoardCase{30, 9, 6},
                                         BoardCase{15, 20, 15}));

TEST(BlockMinimiser, LeavesIncompleteViewsOutLikeTheDensePath) {
  SyntheticRig rig = MakeSyntheticRig(BoardOptions(9, 9, 6, 5));
  rig.cameras[0].points[2].resize(10);
  rig.cameras[0].points[6].clear();
  MonoRun blocks, dense;
  RunMono(blocks, rig, true);
  RunMono(dense, rig, false);
  ASSERT_TRUE(blocks.ok && dense.ok);
  EXPECT_EQ(blocks.problem.usedViews, (std::vector<int>{0, 1, 3, 4, 5, 7, 8}));
  ExpectSameRun(blocks.problem, dense.problem);
  // Views left out keep the placeholder pose on both paths.
  EXPECT_EQ(blocks.problem.GetTranslation(6)[2], 0.0);
  EXPECT_EQ(blocks.problem.pointCounts[6], 0);
}

TEST(BlockMinimiser, RigReachesTheDenseMinimum) {
  SyntheticOptions options = BoardOptions(12, 9, 6, 17);
  options.camera = SyntheticCamera{800.0, 795.0, 322.0, 241.0, LensModel::PinholeRadtan, {-0.15, 0.05, 0.0, 0.0}, 640, 480};
  options.secondCamera = options.camera;
  options.secondCamera.fx = 780.0;
  options.stereo = true;
  options.stereoRotation = {0.02, -0.12, 0.01};
  options.stereoTranslation = {-120.0, 3.0, 5.0};
  const SyntheticRig rig = MakeSyntheticRig(options);

  StereoProblem rigs[2];
  MonoRun cameras[2][2];
  for (int path = 0; path < 2; ++path) {
    const bool blocks = path == 0;
    for (int c = 0; c < 2; ++c) {
      CalibrationProblem& problem = cameras[path][c].problem;
      problem.options.writePointDump = false;
      problem.options.blockStructure = blocks;
      ASSERT_TRUE(problem.Calibrate(rig.cameras[static_cast<size_t>(c)].points, rig.grid, 640, 480));
    }
    rigs[path].options.blockStructure = blocks;
    ASSERT_TRUE(rigs[path].CalibrateStereo(&cameras[path][0].problem, &cameras[path][1].problem));
  }
  const StereoProblem& blocks = rigs[0];
  const StereoProblem& dense = rigs[1];
  EXPECT_TRUE(dense.converged);
  EXPECT_EQ(blocks.converged, dense.converged);
  EXPECT_EQ(blocks.pairedViews, dense.pairedViews);
  ExpectClose(blocks.meanDistance, dense.meanDistance, 1e-9, 0.0, "mean distance");
  ExpectSameCamera(blocks.firstResult, dense.firstResult);
  ExpectSameCamera(blocks.secondResult, dense.secondResult);
  for (size_t i = 0; i < 3; ++i) {
    ExpectClose(blocks.secondResult.T[i], dense.secondResult.T[i], kParameterTolerance, 1.0, "relative translation");
    ExpectClose(blocks.relativeRotationVector[i], dense.relativeRotationVector[i], kParameterTolerance, 1.0,
                "relative rotation");
  }
}

TEST(BlockMinimiser, ProgressAndCancelReachTheRunOnBothPaths) {
  const SyntheticRig rig = MakeSyntheticRig(BoardOptions(12, 9, 6, 3));
  for (bool blocks : {true, false}) {
    CalibrationProblem problem;
    problem.options.writePointDump = false;
    problem.options.blockStructure = blocks;
    std::vector<int> iterations;
    std::atomic<bool> cancel{false};
    problem.options.cancel = &cancel;
    problem.options.progress = [&](int iteration, double error) {
      iterations.push_back(iteration);
      EXPECT_GT(error, 0.0);
      if (iteration == 3) cancel = true;
    };
    testing::internal::CaptureStderr();
    EXPECT_FALSE(problem.Calibrate(rig.cameras[0].points, rig.grid, 1280, 960));
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(problem.cancelled);
    EXPECT_EQ(problem.refusal, kCancelledMessage);
    EXPECT_EQ(iterations, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(problem.viewCount, 12) << "still one pose block per store view";

    cancel = false;
    iterations.clear();
    problem.options.cancel = nullptr;
    ASSERT_TRUE(problem.Calibrate(rig.cameras[0].points, rig.grid, 1280, 960));
    EXPECT_FALSE(problem.cancelled);
    EXPECT_EQ(static_cast<int>(iterations.size()), problem.refinementIterations);
  }
}

// y_bi = a_b * exp(s * t_i) + c: one shared rate s, per block (a_b, c_b) as two groups of one.
class SharedRateFit : public vnl_least_squares_function {
 public:
  SharedRateFit(int blocks, int samples) : vnl_least_squares_function(1 + 2 * blocks, blocks * samples, no_gradient) {
    layout_ = vnl_block_layout{1, blocks, 2, 1, samples};
    for (int b = 0; b < blocks; ++b)
      for (int i = 0; i < samples; ++i) {
        const double t = 0.1 * i;
        y_.push_back((1.0 + 0.3 * b) * std::exp(-0.8 * t) + 0.2 * b + 0.01 * std::sin(3.0 * i + b));
      }
  }
  void f(const vnl_vector<double>& x, vnl_vector<double>& r) override {
    ++calls;
    for (int b = 0; b < layout_.blocks; ++b)
      for (int i = 0; i < layout_.residualsPerBlock; ++i) {
        const size_t k = static_cast<size_t>(b * layout_.residualsPerBlock + i);
        r[k] = x[static_cast<size_t>(layout_.unknownIndex(b, 0))] * std::exp(x[0] * 0.1 * i) +
               x[static_cast<size_t>(layout_.unknownIndex(b, 1))] - y_[k];
      }
  }
  bool get_block_layout(vnl_block_layout& layout) const override {
    layout = layout_;
    return true;
  }
  int calls = 0;

 private:
  vnl_block_layout layout_;
  std::vector<double> y_;
};

TEST(BlockMinimiser, GenericBlockProblemMatchesDenseWithFewerEvaluations) {
  const int blocks = 40;
  SharedRateFit blockFit(blocks, 25), denseFit(blocks, 25);
  vnl_vector<double> xb(1 + 2 * blocks, 0.5), xd(1 + 2 * blocks, 0.5);
  xb[0] = xd[0] = -0.3;
  vnl_levenberg_marquardt lmBlocks(blockFit), lmDense(denseFit);
  lmDense.set_use_block_structure(false);
  for (auto* lm : {&lmBlocks, &lmDense}) {
    lm->set_f_tolerance(1e-10);
    lm->set_x_tolerance(1e-10);
    lm->set_epsilon_function(1e-10);
  }
  ASSERT_TRUE(lmBlocks.minimize(xb));
  ASSERT_TRUE(lmDense.minimize(xd));
  EXPECT_TRUE(lmBlocks.used_block_structure());
  EXPECT_FALSE(lmDense.used_block_structure());
  EXPECT_EQ(lmBlocks.get_num_iterations(), lmDense.get_num_iterations());
  for (size_t j = 0; j < xb.size(); ++j) ExpectClose(xb[j], xd[j], 1e-7, 1.0, "x");
  ExpectClose(lmBlocks.get_end_error(), lmDense.get_end_error(), 1e-9, 0.0, "end error");
  // A Jacobian takes 2 block + 1 shared evaluations instead of one per unknown.
  EXPECT_EQ(lmBlocks.get_num_evaluations(), blockFit.calls);
  EXPECT_LT(blockFit.calls, denseFit.calls / 10);
}

TEST(BlockMinimiser, EvaluationLimitCountsAJacobianAsOneEvaluationPerUnknown) {
  SharedRateFit fit(10, 20);
  vnl_vector<double> x(21, 0.5);
  vnl_levenberg_marquardt lm(fit);
  lm.set_max_function_evals(30);  // one Jacobian (21) plus a few trial steps
  lm.set_f_tolerance(1e-15);
  lm.set_x_tolerance(1e-15);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(lm.minimize(x));
  EXPECT_NE(testing::internal::GetCapturedStderr().find("evaluations"), std::string::npos);
  EXPECT_EQ(lm.get_failure_code(), 5);
  EXPECT_LE(lm.get_num_iterations(), 2);
}

TEST(BlockMinimiser, ReducedNormalMatrixInvertsToTheSharedBlockOfTheDenseInverse) {
  SharedRateFit fit(6, 12);
  vnl_block_layout layout;
  ASSERT_TRUE(fit.get_block_layout(layout));
  Eigen::VectorXd x(13);
  x << -0.7, 1.0, 1.2, 1.4, 1.6, 1.8, 2.0, 0.0, 0.2, 0.4, 0.6, 0.8, 1.0;
  Eigen::MatrixXd reduced;
  ASSERT_TRUE(vnl_block_reduced_normal_matrix(fit, layout, 1e-10, x, reduced));
  ASSERT_EQ(reduced.rows(), 1);

  // The dense Jacobian by the same forward differences.
  const double step = std::sqrt(1e-10);
  vnl_vector<double> xv(13), base(72), shifted(72);
  for (int j = 0; j < 13; ++j) xv[static_cast<size_t>(j)] = x[j];
  fit.f(xv, base);
  Eigen::MatrixXd J(72, 13);
  for (int j = 0; j < 13; ++j) {
    const double h = step * std::abs(x[j]) == 0.0 ? step : step * std::abs(x[j]);
    xv[static_cast<size_t>(j)] = x[j] + h;
    fit.f(xv, shifted);
    xv[static_cast<size_t>(j)] = x[j];
    for (int i = 0; i < 72; ++i) J(i, j) = (shifted[static_cast<size_t>(i)] - base[static_cast<size_t>(i)]) / h;
  }
  const Eigen::MatrixXd covariance = (J.transpose() * J).inverse();
  EXPECT_NEAR(1.0 / reduced(0, 0), covariance(0, 0), 1e-9 * covariance(0, 0));
}

}  // namespace

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "calib/vnl/vnl_levenberg_marquardt.h"
#include "calib/vnl/vnl_svd.h"

namespace {

class Rosenbrock : public vnl_least_squares_function {
 public:
  Rosenbrock() : vnl_least_squares_function(2, 2, no_gradient) {}
  void f(const vnl_vector<double>& x, vnl_vector<double>& r) override {
    r[0] = 10 * (x[1] - x[0] * x[0]);
    r[1] = 1 - x[0];
    ++calls;
  }
  int calls = 0;
};

// y = a exp(b t) + c, sized after construction like the calibration problems.
class ExponentialFit : public vnl_least_squares_function {
 public:
  ExponentialFit() : vnl_least_squares_function(1, 1, no_gradient) {}
  void setData(const std::vector<double>& t, const std::vector<double>& y) {
    t_ = t;
    y_ = y;
    init(3, static_cast<int>(t.size()));
  }
  void f(const vnl_vector<double>& x, vnl_vector<double>& r) override {
    lastX = x;
    for (size_t i = 0; i < t_.size(); ++i) r[i] = x[0] * std::exp(x[1] * t_[i]) + x[2] - y_[i];
  }
  vnl_vector<double> lastX;

 private:
  std::vector<double> t_, y_;
};

TEST(LevenbergMarquardt, SolvesRosenbrockAndCountsEvaluations) {
  Rosenbrock problem;
  vnl_levenberg_marquardt lm(problem);
  lm.set_f_tolerance(1e-12);
  lm.set_x_tolerance(1e-12);
  vnl_vector<double> x{-1.2, 1.0};
  ASSERT_TRUE(lm.minimize(x));
  EXPECT_NEAR(x[0], 1.0, 1e-8);
  EXPECT_NEAR(x[1], 1.0, 1e-8);
  EXPECT_EQ(lm.get_num_evaluations(), problem.calls);
  EXPECT_GT(lm.get_num_iterations(), 0);
  EXPECT_GT(lm.get_start_error(), 1.0);
  EXPECT_LT(lm.get_end_error(), 1e-8);
}

TEST(LevenbergMarquardt, FitsExponentialSizedAfterConstruction) {
  std::vector<double> t, y;
  for (int i = 0; i < 30; ++i) {
    t.push_back(0.1 * i);
    y.push_back(2.5 * std::exp(-1.3 * t.back()) + 0.7 + 1e-3 * std::sin(7.0 * i));
  }
  ExponentialFit problem;
  problem.setData(t, y);
  vnl_levenberg_marquardt lm(problem);
  lm.set_f_tolerance(1e-10);
  lm.set_x_tolerance(1e-10);
  lm.set_g_tolerance(1e-10);
  lm.set_epsilon_function(1e-10);
  vnl_vector<double> x{1.0, -0.5, 0.0};
  ASSERT_TRUE(lm.minimize(x));
  EXPECT_NEAR(x[0], 2.5, 5e-3);
  EXPECT_NEAR(x[1], -1.3, 5e-3);
  EXPECT_NEAR(x[2], 0.7, 5e-3);
  // The function's last evaluation is at the returned vector.
  for (int j = 0; j < 3; ++j) EXPECT_EQ(problem.lastX[j], x[j]);
}

TEST(LevenbergMarquardt, EvaluationLimitIsAFailure) {
  Rosenbrock problem;
  vnl_levenberg_marquardt lm(problem);
  lm.set_max_function_evals(5);
  vnl_vector<double> x{-1.2, 1.0};
  testing::internal::CaptureStderr();
  EXPECT_FALSE(lm.minimize(x));
  const std::string diagnostics = testing::internal::GetCapturedStderr();
  EXPECT_NE(diagnostics.find("evaluations"), std::string::npos);
  EXPECT_EQ(lm.get_failure_code(), 5);
  EXPECT_LE(lm.get_num_evaluations(), 5 + 2);
}

TEST(LevenbergMarquardt, RejectsMoreUnknownsThanResidualsOrAWrongStartVector) {
  ExponentialFit problem;
  problem.setData({0.0, 1.0}, {1.0, 2.0});
  vnl_levenberg_marquardt lm(problem);
  vnl_vector<double> x{1.0, 1.0, 1.0};
  testing::internal::CaptureStderr();
  EXPECT_FALSE(lm.minimize(x));
  problem.setData({0.0, 1.0, 2.0, 3.0}, {1.0, 2.0, 3.0, 4.0});
  vnl_vector<double> shortStart{1.0};
  EXPECT_FALSE(lm.minimize(shortStart));
  testing::internal::GetCapturedStderr();
}

TEST(Svd, ReconstructsAndSolvesLeastSquares) {
  vnl_matrix<double> A(4, 3);
  A << 1, 2, 3, 4, 5, 6, 7, 8, 10, -1, 0, 2;
  vnl_svd<double> svd(A);
  EXPECT_EQ(svd.rank(), 3);
  EXPECT_GE(svd.W(0), svd.W(1));
  const vnl_matrix<double> U = svd.U(), V = svd.V();
  Eigen::MatrixXd S = Eigen::MatrixXd::Zero(4, 3);
  for (int i = 0; i < 3; ++i) S(i, i) = svd.W(i);
  EXPECT_LT((U * S * V.transpose() - A).norm(), 1e-12);
  vnl_vector<double> b{1, 2, 3, 4};
  const vnl_vector<double> x = svd.solve(b);
  Eigen::Vector4d bb(1, 2, 3, 4);
  const Eigen::Vector3d ref = Eigen::MatrixXd(A).colPivHouseholderQr().solve(bb);
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(x[i], ref(i), 1e-10);

  vnl_matrix<double> singular(3, 3);
  singular << 1, 2, 3, 2, 4, 6, 1, 0, 1;
  vnl_svd<double> s2(singular, -1e-12);
  EXPECT_EQ(s2.rank(), 2);
  const vnl_vector<double> n = s2.nullvector();
  Eigen::Vector3d nv(n[0], n[1], n[2]);
  EXPECT_LT((Eigen::MatrixXd(singular) * nv).norm(), 1e-12);
}

}  // namespace

#include <gtest/gtest.h>

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>

#include <cmath>

#include "calib/Calibration.h"

namespace {

class RodriguesTest : public ::testing::Test {
 protected:
  void SetUp() override { Orvel_ClearError(); }
};

// Our 3x9 Jacobian against OpenCV's, for either direction.
void expectMatchesOpenCv(const cv::Mat& src, const cv::Mat& ours, const cv::Mat& oursJ, double tol) {
  cv::Mat ref, refJ;
  cv::Rodrigues(src, ref, refJ);
  ASSERT_EQ(refJ.total(), 27u);
  cv::Mat refJ3x9 = refJ.rows == 3 ? refJ : refJ.t();
  EXPECT_LT(cv::norm(ours.reshape(1, 1), ref.reshape(1, 1), cv::NORM_INF), tol);
  EXPECT_LT(cv::norm(oursJ, refJ3x9, cv::NORM_INF), tol);
}

TEST_F(RodriguesTest, VectorToMatrixAndBackMatchOpenCvWithJacobians) {
  const double vectors[][3] = {{0.1, -0.2, 0.3}, {1.5, 0.4, -0.9}, {0.0, 2.8, 0.1}, {-0.01, 0.002, 0.0}};
  for (const auto& v : vectors) {
    double r[3] = {v[0], v[1], v[2]}, R[9], J[27];
    CvMat rv = cvMat(3, 1, CV_64FC1, r), Rm = cvMat(3, 3, CV_64FC1, R), Jm = cvMat(3, 9, CV_64FC1, J);
    ASSERT_EQ(Orvel_cvRodrigues2(&rv, &Rm, &Jm), 1);
    expectMatchesOpenCv(cv::Mat(3, 1, CV_64F, r), cv::Mat(3, 3, CV_64F, R), cv::Mat(3, 9, CV_64F, J), 1e-9);

    double back[3], Jback[27];
    CvMat bv = cvMat(1, 3, CV_64FC1, back), Jb = cvMat(3, 9, CV_64FC1, Jback);
    ASSERT_EQ(Orvel_cvRodrigues2(&Rm, &bv, &Jb), 1);
    expectMatchesOpenCv(cv::Mat(3, 3, CV_64F, R), cv::Mat(1, 3, CV_64F, back), cv::Mat(3, 9, CV_64F, Jback), 1e-8);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(back[i], r[i], 1e-12);
  }
  EXPECT_EQ(Orvel_GetErrStatus(), 0);
}

TEST_F(RodriguesTest, ZeroVectorAndIdentityGiveTheLimitJacobians) {
  double r[3] = {0, 0, 0}, R[9], J[27];
  CvMat rv = cvMat(1, 3, CV_64FC1, r), Rm = cvMat(3, 3, CV_64FC1, R), Jm = cvMat(3, 9, CV_64FC1, J);
  ASSERT_EQ(Orvel_cvRodrigues2(&rv, &Rm, &Jm), 1);
  for (int k = 0; k < 9; ++k) EXPECT_EQ(R[k], k % 4 == 0 ? 1.0 : 0.0);
  double expected[27] = {};
  expected[5] = expected[9 + 6] = expected[18 + 1] = -1;
  expected[7] = expected[9 + 2] = expected[18 + 3] = 1;
  for (int k = 0; k < 27; ++k) EXPECT_EQ(J[k], expected[k]) << k;
  // The general formula tends to the same Jacobian.
  double tiny[3] = {1e-7, -2e-7, 3e-7}, Rt[9], Jt[27];
  CvMat tv = cvMat(1, 3, CV_64FC1, tiny), Rtm = cvMat(3, 3, CV_64FC1, Rt), Jtm = cvMat(3, 9, CV_64FC1, Jt);
  ASSERT_EQ(Orvel_cvRodrigues2(&tv, &Rtm, &Jtm), 1);
  for (int k = 0; k < 27; ++k) EXPECT_NEAR(Jt[k], expected[k], 1e-6) << k;

  double back[3] = {9, 9, 9};
  CvMat bv = cvMat(3, 1, CV_64FC1, back);
  ASSERT_EQ(Orvel_cvRodrigues2(&Rm, &bv, &Jm), 1);
  for (double b : back) EXPECT_EQ(b, 0.0);
  double half[27] = {};
  half[5] = -0.5, half[7] = 0.5, half[9 + 2] = 0.5, half[9 + 6] = -0.5, half[18 + 1] = -0.5, half[18 + 3] = 0.5;
  for (int k = 0; k < 27; ++k) EXPECT_EQ(J[k], half[k]) << k;
}

TEST_F(RodriguesTest, HalfTurnsGiveTheAxisTimesPiAndAZeroJacobian) {
  double R[9] = {1, 0, 0, 0, -1, 0, 0, 0, -1}, r[3], J[27];
  std::fill(J, J + 27, 7.0);
  CvMat Rm = cvMat(3, 3, CV_64FC1, R), rv = cvMat(1, 3, CV_64FC1, r), Jm = cvMat(3, 9, CV_64FC1, J);
  ASSERT_EQ(Orvel_cvRodrigues2(&Rm, &rv, &Jm), 1);
  EXPECT_NEAR(r[0], M_PI, 1e-12);
  EXPECT_EQ(r[1], 0.0);
  EXPECT_EQ(r[2], 0.0);
  for (double j : J) EXPECT_EQ(j, 0.0);

  // Half turn about an axis with no x component and opposite y, z signs.
  const double axis[3] = {0, M_SQRT1_2 * M_PI, -M_SQRT1_2 * M_PI};
  double Rh[9], rh[3];
  icvRodriguesArrays(Rh, const_cast<double*>(axis), 1);
  CvMat Rhm = cvMat(3, 3, CV_64FC1, Rh), rhv = cvMat(3, 1, CV_64FC1, rh);
  ASSERT_EQ(Orvel_cvRodrigues2(&Rhm, &rhv, nullptr), 1);
  double Rback[9];
  icvRodriguesArrays(Rback, rh, 1);
  for (int k = 0; k < 9; ++k) EXPECT_NEAR(Rback[k], Rh[k], 1e-7) << k;
  double ra[3];
  icvRodriguesArrays(Rh, ra, 0);
  icvRodriguesArrays(Rback, ra, 1);
  for (int k = 0; k < 9; ++k) EXPECT_NEAR(Rback[k], Rh[k], 1e-7) << k;
}

TEST_F(RodriguesTest, OutOfRangeMatrixGivesZeroVectorWithoutReport) {
  double R[9] = {1, 0, 0, 0, 150, 0, 0, 0, 1}, r[3] = {1, 2, 3}, J[27];
  std::fill(J, J + 27, 3.0);
  CvMat Rm = cvMat(3, 3, CV_64FC1, R), rv = cvMat(1, 3, CV_64FC1, r), Jm = cvMat(9, 3, CV_64FC1, J);
  EXPECT_EQ(Orvel_cvRodrigues2(&Rm, &rv, &Jm), 0);
  for (double v : r) EXPECT_EQ(v, 0.0);
  for (double j : J) EXPECT_EQ(j, 0.0);
  EXPECT_EQ(Orvel_GetErrStatus(), 0);
  R[4] = NAN;
  r[0] = 5;
  EXPECT_EQ(Orvel_cvRodrigues2(&Rm, &rv, nullptr), 0);
  EXPECT_EQ(r[0], 0.0);
}

TEST_F(RodriguesTest, TransposedAndFloatJacobiansAndOneElementThreeChannelSource) {
  double r[3] = {0.3, -0.7, 1.1}, R[9], J[27], Jt[27];
  CvMat rv = cvMat(1, 1, CV_64FC3, r), Rm = cvMat(3, 3, CV_64FC1, R);
  CvMat Jm = cvMat(3, 9, CV_64FC1, J), Jtm = cvMat(9, 3, CV_64FC1, Jt);
  ASSERT_EQ(Orvel_cvRodrigues2(&rv, &Rm, &Jm), 1);
  ASSERT_EQ(Orvel_cvRodrigues2(&rv, &Rm, &Jtm), 1);
  for (int i = 0; i < 3; ++i)
    for (int k = 0; k < 9; ++k) EXPECT_EQ(Jt[k * 3 + i], J[i * 9 + k]);

  float rf[3] = {0.3f, -0.7f, 1.1f}, Rf[9], Jf[27];
  CvMat rfv = cvMat(3, 1, CV_32FC1, rf), Rfm = cvMat(3, 3, CV_32FC1, Rf), Jfm = cvMat(9, 3, CV_32FC1, Jf);
  ASSERT_EQ(Orvel_cvRodrigues2(&rfv, &Rfm, &Jfm), 1);
  for (int k = 0; k < 9; ++k) EXPECT_NEAR(Rf[k], R[k], 1e-6);
  for (int i = 0; i < 3; ++i)
    for (int k = 0; k < 9; ++k) EXPECT_NEAR(Jf[k * 3 + i], J[i * 9 + k], 1e-5);
}

TEST_F(RodriguesTest, ArgumentChecksReportCodeAndMessage) {
  double r[3] = {0.1, 0.2, 0.3}, R[9], J[27], small[4];
  float Rf[9];
  int Ri[9];
  CvMat rv = cvMat(1, 3, CV_64FC1, r), Rm = cvMat(3, 3, CV_64FC1, R), Rfm = cvMat(3, 3, CV_32FC1, Rf);
  CvMat Rim = cvMat(3, 3, CV_32SC1, Ri), bad = cvMat(3, 3, CV_64FC1, R);
  bad.type = 0;
  CvMat Jwrong = cvMat(3, 3, CV_64FC1, J), two = cvMat(2, 2, CV_64FC1, small), r4 = cvMat(1, 4, CV_64FC1, small);
  struct Case {
    const CvMat* src;
    CvMat* dst;
    CvMat* jac;
    int code;
    const char* message;
  } cases[] = {
      {nullptr, &Rm, nullptr, -27, "Input argument is not a valid matrix"},
      {&bad, &Rm, nullptr, -5, "Input argument is not a valid matrix"},
      {&rv, nullptr, nullptr, -27, "The first output argument is not a valid matrix"},
      {&Rim, &rv, nullptr, -210, "The matrices must have 32f or 64f data type"},
      {&rv, &Rfm, nullptr, -205, "All the matrices must have the same data type"},
      {&rv, &Rm, &bad, -5, "Jacobian is not a valid matrix"},
      {&rv, &Rm, &Jwrong, -201, "Jacobian must be 3x9 or 9x3"},
      {&r4, &Rm, nullptr, -201, "Input matrix must be 1x3, 3x1 or 3x3"},
      {&rv, &two, nullptr, -201, "Output matrix must be 3x3, single-channel floating point matrix"},
      {&Rm, &two, nullptr, -201, "Output matrix must be 1x3 or 3x1"},
      {&two, &rv, nullptr, -201, "Input matrix must be 1x3, 3x1 or 3x3"},
  };
  for (const Case& c : cases) {
    Orvel_ClearError();
    EXPECT_EQ(Orvel_cvRodrigues2(c.src, c.dst, c.jac), 0) << c.message;
    EXPECT_EQ(Orvel_GetErrStatus(), c.code) << c.message;
    EXPECT_EQ(Orvel_LastError().message, c.message);
    EXPECT_EQ(Orvel_LastError().routine, "Orvel_cvRodrigues2");
    EXPECT_EQ(Orvel_LastError().module, "Calibration");
  }
  float Jf[27];
  CvMat Jfm = cvMat(3, 9, CV_32FC1, Jf);
  Orvel_ClearError();
  EXPECT_EQ(Orvel_cvRodrigues2(&rv, &Rm, &Jfm), 0);
  EXPECT_EQ(Orvel_LastError().message, "Jacobian must have 32fC1 or 64fC1 datatype");
}

TEST_F(RodriguesTest, ArraysRoundTripAndProjectNonOrthonormalInput) {
  double r[3] = {-0.4, 0.9, 2.2}, R[9], back[3];
  icvRodriguesArrays(R, r, 1);
  cv::Mat ref;
  cv::Rodrigues(cv::Mat(3, 1, CV_64F, r), ref);
  for (int k = 0; k < 9; ++k) EXPECT_NEAR(R[k], ref.at<double>(k / 3, k % 3), 1e-12);
  EXPECT_EQ(icvRodriguesArrays(R, back, 0), 0);
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(back[i], r[i], 1e-12);
  // A scaled, slightly sheared rotation comes back as the same rotation.
  double distorted[9];
  for (int k = 0; k < 9; ++k) distorted[k] = 1.7 * R[k];
  distorted[1] += 1e-4;
  icvRodriguesArrays(distorted, back, 0);
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(back[i], r[i], 1e-4);
}

}  // namespace

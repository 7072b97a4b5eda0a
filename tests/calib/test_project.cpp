#include <gtest/gtest.h>

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>

#include <vector>

#include "calib/Calibration.h"

namespace {

struct Scene {
  std::vector<cv::Point3d> object;
  double r[3] = {0.2, -0.35, 0.1};
  double t[3] = {-40.0, 25.0, 600.0};
  double K[9] = {800, 0, 320, 0, 780, 240, 0, 0, 1};
  double k[4] = {-0.21, 0.08, 0.0012, -0.0007};
  Scene() {
    for (int i = 0; i < 4; ++i)
      for (int j = 0; j < 5; ++j) object.emplace_back(j * 30.0, i * 30.0, (i + j) % 3 * 5.0);
  }
  int count() const { return int(object.size()); }
};

class ProjectTest : public ::testing::Test {
 protected:
  void SetUp() override { Orvel_ClearError(); }
};

TEST_F(ProjectTest, PointsAndAllDerivativesMatchOpenCv) {
  Scene s;
  const int n = s.count();
  std::vector<double> image(2 * n), drot(6 * n), dt(6 * n), df(4 * n), dc(4 * n), dk(8 * n);
  CvMat obj = cvMat(n, 3, CV_64FC1, s.object.data()), rv = cvMat(3, 1, CV_64FC1, s.r);
  CvMat tv = cvMat(1, 3, CV_64FC1, s.t), K = cvMat(3, 3, CV_64FC1, s.K), dist = cvMat(1, 4, CV_64FC1, s.k);
  CvMat img = cvMat(1, n, CV_64FC2, image.data());
  CvMat Drot = cvMat(2 * n, 3, CV_64FC1, drot.data()), Dt = cvMat(2 * n, 3, CV_64FC1, dt.data());
  CvMat Df = cvMat(2 * n, 2, CV_64FC1, df.data()), Dc = cvMat(2 * n, 2, CV_64FC1, dc.data());
  CvMat Dk = cvMat(2 * n, 4, CV_64FC1, dk.data());
  Orvel_cvProjectPoints2(&obj, &rv, &tv, &K, &dist, &img, &Drot, &Dt, &Df, &Dc, &Dk);
  ASSERT_EQ(Orvel_GetErrStatus(), 0);

  std::vector<cv::Point2d> ref;
  cv::Mat J;
  cv::projectPoints(s.object, cv::Mat(3, 1, CV_64F, s.r), cv::Mat(3, 1, CV_64F, s.t), cv::Mat(3, 3, CV_64F, s.K),
                    cv::Mat(1, 4, CV_64F, s.k), ref, J);
  for (int i = 0; i < n; ++i) {
    EXPECT_NEAR(image[2 * i], ref[i].x, 1e-9);
    EXPECT_NEAR(image[2 * i + 1], ref[i].y, 1e-9);
  }
  // OpenCV's Jacobian columns: rotation 3, translation 3, focal 2, centre 2, distortion.
  const cv::Mat ours[] = {cv::Mat(2 * n, 3, CV_64F, drot.data()), cv::Mat(2 * n, 3, CV_64F, dt.data()),
                          cv::Mat(2 * n, 2, CV_64F, df.data()), cv::Mat(2 * n, 2, CV_64F, dc.data()),
                          cv::Mat(2 * n, 4, CV_64F, dk.data())};
  int column = 0;
  for (const cv::Mat& d : ours) {
    const cv::Mat reference = J.colRange(column, column + d.cols);
    EXPECT_LT(cv::norm(d, reference, cv::NORM_INF), 1e-6 * (1 + cv::norm(reference, cv::NORM_INF))) << column;
    column += d.cols;
  }
}

// Central differences of the projection itself, with strong tangential terms.
TEST_F(ProjectTest, PoseDerivativesAreExactForStrongTangentialDistortion) {
  Scene s;
  s.k[2] = 0.05, s.k[3] = -0.04;
  const int n = s.count();
  auto project = [&](const double* r, const double* t, std::vector<double>& out, double* drot, double* dt) {
    double rc[3] = {r[0], r[1], r[2]}, tc[3] = {t[0], t[1], t[2]};
    CvMat obj = cvMat(n, 3, CV_64FC1, s.object.data()), rv = cvMat(3, 1, CV_64FC1, rc);
    CvMat tv = cvMat(3, 1, CV_64FC1, tc), K = cvMat(3, 3, CV_64FC1, s.K), dist = cvMat(1, 4, CV_64FC1, s.k);
    CvMat img = cvMat(n, 2, CV_64FC1, out.data());
    CvMat Dr = cvMat(2 * n, 3, CV_64FC1, drot), Dt = cvMat(2 * n, 3, CV_64FC1, dt);
    Orvel_cvProjectPoints2(&obj, &rv, &tv, &K, &dist, &img, drot ? &Dr : nullptr, dt ? &Dt : nullptr);
  };
  std::vector<double> base(2 * n), plus(2 * n), minus(2 * n), drot(6 * n), dt(6 * n);
  project(s.r, s.t, base, drot.data(), dt.data());
  ASSERT_EQ(Orvel_GetErrStatus(), 0);
  for (int j = 0; j < 6; ++j) {
    double r[3] = {s.r[0], s.r[1], s.r[2]}, t[3] = {s.t[0], s.t[1], s.t[2]};
    double* q = j < 3 ? &r[j] : &t[j - 3];
    const double h = j < 3 ? 1e-6 : 1e-4;
    *q += h;
    project(r, t, plus, nullptr, nullptr);
    *q -= 2 * h;
    project(r, t, minus, nullptr, nullptr);
    const std::vector<double>& analytic = j < 3 ? drot : dt;
    for (int row = 0; row < 2 * n; ++row) {
      const double numeric = (plus[row] - minus[row]) / (2 * h);
      EXPECT_NEAR(analytic[3 * row + j % 3], numeric, 1e-4 * (1 + std::abs(numeric))) << j << " " << row;
    }
  }
}

TEST_F(ProjectTest, LayoutsPrecisionsAndRotationMatrixAgree) {
  Scene s;
  const int n = s.count();
  std::vector<double> byRows(2 * n), drotD(6 * n);
  CvMat obj = cvMat(n, 3, CV_64FC1, s.object.data()), rv = cvMat(1, 3, CV_64FC1, s.r);
  CvMat tv = cvMat(3, 1, CV_64FC1, s.t), K = cvMat(3, 3, CV_64FC1, s.K), dist = cvMat(4, 1, CV_64FC1, s.k);
  CvMat img = cvMat(n, 2, CV_64FC1, byRows.data()), Drot = cvMat(2 * n, 3, CV_64FC1, drotD.data());
  Orvel_cvProjectPoints2(&obj, &rv, &tv, &K, &dist, &img, &Drot);
  ASSERT_EQ(Orvel_GetErrStatus(), 0);

  // Points in columns and float outputs go through conversions; same numbers.
  cv::Mat columns = cv::Mat(n, 3, CV_64F, s.object.data()).t();
  CvMat objT = cvMat(3, n, CV_64FC1, columns.data);
  std::vector<float> imgF(2 * n), drotF(6 * n);
  CvMat imgCols = cvMat(2, n, CV_32FC1, imgF.data()), DrotF = cvMat(2 * n, 3, CV_32FC1, drotF.data());
  Orvel_cvProjectPoints2(&objT, &rv, &tv, &K, &dist, &imgCols, &DrotF);
  ASSERT_EQ(Orvel_GetErrStatus(), 0);
  for (int i = 0; i < n; ++i) {
    EXPECT_EQ(imgF[i], float(byRows[2 * i]));
    EXPECT_EQ(imgF[n + i], float(byRows[2 * i + 1]));
  }
  for (int i = 0; i < 6 * n; ++i) EXPECT_EQ(drotF[i], float(drotD[i]));

  // A double 3x3 rotation gives the same projection and derivatives.
  double R[9];
  icvRodriguesArrays(R, s.r, 1);
  CvMat Rm = cvMat(3, 3, CV_64FC1, R);
  std::vector<double> viaMatrix(2 * n), drotM(6 * n);
  CvMat img2 = cvMat(n, 2, CV_64FC1, viaMatrix.data()), Drot2 = cvMat(2 * n, 3, CV_64FC1, drotM.data());
  Orvel_cvProjectPoints2(&obj, &Rm, &tv, &K, &dist, &img2, &Drot2);
  ASSERT_EQ(Orvel_GetErrStatus(), 0);
  for (int i = 0; i < 2 * n; ++i) EXPECT_NEAR(viaMatrix[i], byRows[i], 1e-9);
  for (int i = 0; i < 6 * n; ++i) EXPECT_NEAR(drotM[i], drotD[i], 1e-6);

  float Rf[9];
  for (int k = 0; k < 9; ++k) Rf[k] = float(R[k]);
  CvMat Rfm = cvMat(3, 3, CV_32FC1, Rf);
  Orvel_cvProjectPoints2(&obj, &Rfm, &tv, &K, &dist, &img2);
  EXPECT_EQ(Orvel_GetErrStatus(), -1);
}

TEST_F(ProjectTest, SimpleModelSkewIgnoredAndZeroDepth) {
  double obj[3][3] = {{0.5, -0.25, 0}, {1, 2, 0}, {3, 4, -1}};
  double r[3] = {0, 0, 0}, t[3] = {0, 0, 1};
  double K[9] = {500, 77, 300, 0, 400, 200, 0, 0, 1};
  double img[3][2];
  CvMat O = cvMat(3, 3, CV_64FC1, obj), rv = cvMat(3, 1, CV_64FC1, r), tv = cvMat(3, 1, CV_64FC1, t);
  CvMat Km = cvMat(3, 3, CV_64FC1, K), I = cvMat(3, 2, CV_64FC1, img);
  Orvel_cvProjectPoints2(&O, &rv, &tv, &Km, nullptr, &I);
  ASSERT_EQ(Orvel_GetErrStatus(), 0);
  EXPECT_DOUBLE_EQ(img[0][0], 500 * 0.5 + 300);
  EXPECT_DOUBLE_EQ(img[0][1], 400 * -0.25 + 200);
  EXPECT_DOUBLE_EQ(img[1][0], 500 * 1 + 300);
  EXPECT_DOUBLE_EQ(img[2][0], 500 * 3 + 300);  // Zc = 0: no division
  EXPECT_DOUBLE_EQ(img[2][1], 400 * 4 + 200);
}

TEST_F(ProjectTest, TwoColumnDistortionDerivativeHoldsOnlyRadialTerms) {
  Scene s;
  const int n = s.count();
  std::vector<double> image(2 * n), dk4(8 * n), dk2(4 * n);
  CvMat obj = cvMat(n, 3, CV_64FC1, s.object.data()), rv = cvMat(3, 1, CV_64FC1, s.r);
  CvMat tv = cvMat(3, 1, CV_64FC1, s.t), K = cvMat(3, 3, CV_64FC1, s.K), dist = cvMat(1, 4, CV_64FC1, s.k);
  CvMat img = cvMat(n, 2, CV_64FC1, image.data());
  CvMat D4 = cvMat(2 * n, 4, CV_64FC1, dk4.data()), D2 = cvMat(2 * n, 2, CV_64FC1, dk2.data());
  Orvel_cvProjectPoints2(&obj, &rv, &tv, &K, &dist, &img, nullptr, nullptr, nullptr, nullptr, &D4);
  Orvel_cvProjectPoints2(&obj, &rv, &tv, &K, &dist, &img, nullptr, nullptr, nullptr, nullptr, &D2);
  ASSERT_EQ(Orvel_GetErrStatus(), 0);
  for (int row = 0; row < 2 * n; ++row) {
    EXPECT_EQ(dk2[2 * row], dk4[4 * row]);
    EXPECT_EQ(dk2[2 * row + 1], dk4[4 * row + 1]);
  }
}

TEST_F(ProjectTest, ArgumentChecksReportCodeAndMessage) {
  Scene s;
  const int n = s.count();
  std::vector<double> image(2 * n), d3(6 * n), d2(4 * n), bad(6 * n);
  double R35[15] = {};
  CvMat obj = cvMat(n, 3, CV_64FC1, s.object.data()), rv = cvMat(3, 1, CV_64FC1, s.r);
  CvMat tv = cvMat(3, 1, CV_64FC1, s.t), K = cvMat(3, 3, CV_64FC1, s.K), dist = cvMat(1, 4, CV_64FC1, s.k);
  CvMat img = cvMat(n, 2, CV_64FC1, image.data()), R3x5 = cvMat(3, 5, CV_64FC1, R35);
  CvMat t4 = cvMat(1, 4, CV_64FC1, s.k), K23 = cvMat(2, 3, CV_64FC1, s.K), dist3 = cvMat(1, 3, CV_64FC1, s.k);
  CvMat D3 = cvMat(2 * n, 3, CV_64FC1, d3.data()), D2 = cvMat(2 * n, 2, CV_64FC1, d2.data());
  CvMat Dwrong = cvMat(2 * n - 2, 3, CV_64FC1, bad.data()), Dk3 = cvMat(2 * n, 3, CV_64FC1, bad.data());
  auto run = [&](const CvMat* o, const CvMat* r, const CvMat* t, const CvMat* k, const CvMat* dc, CvMat* i,
                 CvMat* drot, CvMat* dt, CvMat* df, CvMat* dcc, CvMat* dk) {
    Orvel_ClearError();
    Orvel_cvProjectPoints2(o, r, t, k, dc, i, drot, dt, df, dcc, dk);
    return std::make_pair(Orvel_GetErrStatus(), Orvel_LastError().message);
  };
  using Result = std::pair<int, std::string>;
  EXPECT_EQ(run(&obj, &rv, &tv, nullptr, &dist, &img, 0, 0, 0, 0, 0),
            Result(-5, "One of required arguments is not a valid matrix"));
  EXPECT_EQ(run(&obj, &R3x5, &tv, &K, &dist, &img, 0, 0, 0, 0, 0),
            Result(-5, "Rotation must be represented by 1x3 or 3x1 floating-point rotation vector, or 3x3 rotation "
                       "matrix"));
  EXPECT_EQ(run(&obj, &rv, &t4, &K, &dist, &img, 0, 0, 0, 0, 0),
            Result(-5, "Translation vector must be 1x3 or 3x1 floating-point vector"));
  EXPECT_EQ(run(&obj, &rv, &tv, &K23, &dist, &img, 0, 0, 0, 0, 0),
            Result(-5, "Instrinsic parameters must be 3x3 floating-point matrix"));
  EXPECT_EQ(run(&obj, &rv, &tv, &K, &dist3, &img, 0, 0, 0, 0, 0),
            Result(-5, "Distortion coefficients must be 1x4 or 4x1 floating-point vector"));
  EXPECT_EQ(run(&obj, &rv, &tv, &K, &dist, &img, &Dwrong, 0, 0, 0, 0),
            Result(-5, "dp/drot must be 2Nx3 floating-point matrix"));
  EXPECT_EQ(run(&obj, &rv, &tv, &K, &dist, &img, 0, &D2, 0, 0, 0),
            Result(-5, "dp/dT must be 2Nx3 floating-point matrix"));
  EXPECT_EQ(run(&obj, &rv, &tv, &K, &dist, &img, 0, 0, &D3, 0, 0),
            Result(-5, "dp/df must be 2Nx2 floating-point matrix"));
  EXPECT_EQ(run(&obj, &rv, &tv, &K, &dist, &img, 0, 0, 0, &D3, 0),
            Result(-5, "dp/dc must be 2Nx2 floating-point matrix"));
  EXPECT_EQ(run(&obj, &rv, &tv, &K, &dist, &img, 0, 0, 0, 0, &Dk3).first, -5);
  EXPECT_EQ(run(&obj, &rv, &tv, &K, nullptr, &img, 0, 0, 0, 0, &D2),
            Result(-27, "dist_coeffs is NULL while dpdk is not"));
  // An output list with a different number of points fails in the final conversion.
  CvMat fewer = cvMat(n - 1, 2, CV_64FC1, image.data());
  EXPECT_EQ(run(&obj, &rv, &tv, &K, &dist, &fewer, 0, 0, 0, 0, 0), Result(-1, "Inner function failed."));
}

}  // namespace

#include <gtest/gtest.h>

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>

#include <random>
#include <vector>

#include "calib/Calibration.h"
#include "calib/vnl/vgl_h_matrix_2d_optimize_lmq.h"

namespace {

const double kTrueH[9] = {2.1, 0.3, 320.0, -0.2, 1.9, 240.0, 0.0008, -0.0005, 1.0};

cv::Point2d mapThrough(const double* h, double X, double Y) {
  const double w = h[6] * X + h[7] * Y + h[8];
  return {(h[0] * X + h[1] * Y + h[2]) / w, (h[3] * X + h[4] * Y + h[5]) / w};
}

struct Correspondences {
  std::vector<cv::Point2d> object, image;
};

Correspondences grid(int nx, int ny, double noise, unsigned seed = 7) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> n(0.0, noise);
  Correspondences c;
  for (int i = 0; i < ny; ++i)
    for (int j = 0; j < nx; ++j) {
      c.object.emplace_back(j * 25.0, i * 25.0);
      cv::Point2d p = mapThrough(kTrueH, j * 25.0, i * 25.0);
      if (noise > 0) p += cv::Point2d(n(rng), n(rng));
      c.image.push_back(p);
    }
  return c;
}

double maxReprojection(const double* h, const Correspondences& c) {
  double worst = 0;
  for (size_t i = 0; i < c.object.size(); ++i)
    worst = std::max(worst, cv::norm(mapThrough(h, c.object[i].x, c.object[i].y) - c.image[i]));
  return worst;
}

class HomographyTest : public ::testing::Test {
 protected:
  void SetUp() override { Orvel_ClearError(); }
};

TEST_F(HomographyTest, FourPointsAreReproducedExactlyFromColumnMatrices) {
  // The grid helper's call: unit square to four clicked points, 2x4 matrices.
  double src[2][4] = {{0, 1, 1, 0}, {0, 0, 1, 1}};
  double dst[2][4] = {{100, 400, 420, 90}, {50, 70, 300, 280}};
  double h[9];
  CvMat S = cvMat(2, 4, CV_64FC1, src), D = cvMat(2, 4, CV_64FC1, dst), H = cvMat(3, 3, CV_64FC1, h);
  Orvel_cvFindHomography(&S, &D, &H);
  ASSERT_EQ(Orvel_GetErrStatus(), 0);
  EXPECT_EQ(h[8], 1.0);
  for (int i = 0; i < 4; ++i) {
    const cv::Point2d p = mapThrough(h, src[0][i], src[1][i]);
    EXPECT_NEAR(p.x, dst[0][i], 1e-9);
    EXPECT_NEAR(p.y, dst[1][i], 1e-9);
  }
}

TEST_F(HomographyTest, ManyNoisyPointsMatchOpenCvLeastSquares) {
  const Correspondences c = grid(9, 7, 0.3);
  double h[9];
  CvMat obj = cvMat(int(c.object.size()), 2, CV_64FC1, (void*)c.object.data());
  CvMat img = cvMat(1, int(c.image.size()), CV_64FC2, (void*)c.image.data());
  CvMat H = cvMat(3, 3, CV_64FC1, h);
  Orvel_cvFindHomography(&obj, &img, &H);
  ASSERT_EQ(Orvel_GetErrStatus(), 0);
  cv::Mat ref = cv::findHomography(c.object, c.image, 0);
  const cv::Mat refH = ref / ref.at<double>(2, 2);
  const double ours = maxReprojection(h, c), theirs = maxReprojection(refH.ptr<double>(), c);
  EXPECT_LT(ours, theirs + 1e-3);
  for (int k = 0; k < 9; ++k) EXPECT_NEAR(h[k], kTrueH[k], 0.02 * std::abs(kTrueH[k]) + 1e-4) << k;

  // The refined variant lands on the same least-squares answer.
  double hr[9];
  CvMat Hr = cvMat(3, 3, CV_64FC1, hr);
  icvFindHomographyRefined(&obj, &img, &Hr);
  EXPECT_EQ(hr[8], 1.0);
  EXPECT_NEAR(maxReprojection(hr, c), ours, 1e-3);

  // Four exact correspondences: the refinement keeps the exact answer.
  const Correspondences four = grid(2, 2, 0.0);
  CvMat obj4 = cvMat(4, 2, CV_64FC1, (void*)four.object.data()), img4 = cvMat(4, 2, CV_64FC1, (void*)four.image.data());
  icvFindHomographyRefined(&obj4, &img4, &Hr);
  EXPECT_LT(maxReprojection(hr, four), 1e-8);
}

TEST_F(HomographyTest, FloatOutputAndThreeCoordinateObjectPoints) {
  const Correspondences c = grid(5, 4, 0.0);
  std::vector<cv::Point3d> object3;
  for (const auto& p : c.object) object3.emplace_back(p.x, p.y, 0.0);  // w = 0 counts as 1
  float hf[9];
  CvMat obj = cvMat(int(object3.size()), 3, CV_64FC1, object3.data());
  CvMat img = cvMat(int(c.image.size()), 2, CV_64FC1, (void*)c.image.data());
  CvMat H = cvMat(3, 3, CV_32FC1, hf);
  Orvel_cvFindHomography(&obj, &img, &H);
  ASSERT_EQ(Orvel_GetErrStatus(), 0);
  for (int k = 0; k < 9; ++k) EXPECT_NEAR(hf[k], kTrueH[k], 1e-4 * std::abs(kTrueH[k]) + 1e-7) << k;
}

TEST_F(HomographyTest, BadArgumentsLeaveTheOutputUntouched) {
  const Correspondences c = grid(3, 2, 0.0);
  double out[12];
  std::fill(out, out + 12, 42.0);
  int ints[9];
  CvMat obj6 = cvMat(6, 2, CV_64FC1, (void*)c.object.data());
  CvMat img6 = cvMat(6, 2, CV_64FC1, (void*)c.image.data());
  CvMat img5 = cvMat(5, 2, CV_64FC1, (void*)c.image.data());
  CvMat obj3 = cvMat(3, 2, CV_64FC1, (void*)c.object.data());
  CvMat img3 = cvMat(3, 2, CV_64FC1, (void*)c.image.data());
  CvMat H34 = cvMat(3, 4, CV_64FC1, out), H = cvMat(3, 3, CV_64FC1, out), Hi = cvMat(3, 3, CV_32SC1, ints);
  struct Case {
    const CvMat *obj, *img;
    CvMat* H;
    int code;
    const char* message;
  } cases[] = {
      {nullptr, &img6, &H, -5, "one of arguments is not a valid matrix"},
      {&obj6, &img6, &Hi, -210, "Homography matrix must have 32fC1 or 64fC1 type"},
      {&obj6, &img6, &H34, -201, "Homography matrix must be 3x3"},
      {&obj6, &img5, &H, -209, "Numbers of image and object points do not match"},
      {&obj3, &img3, &H, -201, "At least four point correspondences are needed"},
  };
  for (const Case& k : cases) {
    Orvel_ClearError();
    Orvel_cvFindHomography(k.obj, k.img, k.H);
    EXPECT_EQ(Orvel_GetErrStatus(), k.code) << k.message;
    EXPECT_EQ(Orvel_LastError().message, k.message);
    EXPECT_EQ(Orvel_LastError().routine, "Orvel_cvFindHomography");
  }
  for (double v : out) EXPECT_EQ(v, 42.0);
  // A point list the conversion rejects is an inner failure.
  double bad[72] = {};
  CvMat mixed = cvMat(6, 6, CV_64FC2, bad);
  Orvel_ClearError();
  Orvel_cvFindHomography(&obj6, &mixed, &H);
  EXPECT_EQ(Orvel_GetErrStatus(), -1);
  EXPECT_EQ(Orvel_LastError().message, "Inner function failed.");
  for (double v : out) EXPECT_EQ(v, 42.0);
}

TEST_F(HomographyTest, GaussNewtonSolvesNormalEquationsAndFillsGivenWork) {
  double J[4][2] = {{1, 0}, {0, 2}, {1, 1}, {3, -1}};
  double e[4] = {1, 2, 3, 4};
  double delta[2], JtJ[4], JtErr[2], W[2], V[4];
  CvMat Jm = cvMat(4, 2, CV_64FC1, J), em = cvMat(4, 1, CV_64FC1, e), dm = cvMat(2, 1, CV_64FC1, delta);
  CvMat JtJm = cvMat(2, 2, CV_64FC1, JtJ), JtErrm = cvMat(2, 1, CV_64FC1, JtErr);
  CvMat Wm = cvMat(2, 1, CV_64FC1, W), Vm = cvMat(2, 2, CV_64FC1, V);
  Orvel_icvGaussNewton(&Jm, &em, &dm, &JtJm, &JtErrm, &Wm, &Vm);
  ASSERT_EQ(Orvel_GetErrStatus(), 0);
  cv::Mat ref;
  cv::solve(cv::Mat(4, 2, CV_64F, J), cv::Mat(4, 1, CV_64F, e), ref, cv::DECOMP_SVD);
  EXPECT_NEAR(delta[0], ref.at<double>(0), 1e-12);
  EXPECT_NEAR(delta[1], ref.at<double>(1), 1e-12);
  EXPECT_NEAR(JtErr[0], 1 + 3 + 12, 1e-12);
  EXPECT_GE(W[0], W[1]);

  double again[2];
  CvMat am = cvMat(2, 1, CV_64FC1, again);
  Orvel_icvGaussNewton(&Jm, &em, &am);
  EXPECT_NEAR(again[0], delta[0], 1e-12);

  CvMat invalid = Wm;
  invalid.type = 0;
  Orvel_icvGaussNewton(&Jm, &em, &am, nullptr, nullptr, &invalid);
  EXPECT_EQ(Orvel_GetErrStatus(), -5);
  EXPECT_EQ(Orvel_LastError().message, "JtJW is not a valid matrix");
  Orvel_ClearError();
  Orvel_icvGaussNewton(&Jm, nullptr, &am);
  EXPECT_EQ(Orvel_LastError().message, "Some of required arguments is not a valid matrix");
  Orvel_ClearError();
  CvMat wrongErr = cvMat(3, 1, CV_64FC1, e);
  Orvel_icvGaussNewton(&Jm, &wrongErr, &am);
  EXPECT_EQ(Orvel_GetErrStatus(), -1);
}

TEST(HomographyOptimiser, RefinesAPerturbedStartAndKeepsItWithTooFewPoints) {
  const Correspondences c = grid(6, 5, 0.0);
  std::vector<vgl_homg_point_2d<double>> p1, p2;
  for (size_t i = 0; i < c.object.size(); ++i) {
    p1.emplace_back(c.object[i].x, c.object[i].y, 1.0);
    p2.emplace_back(2 * c.image[i].x, 2 * c.image[i].y, 2.0);
  }
  double start[9];
  for (int k = 0; k < 9; ++k) start[k] = kTrueH[k] * (1.0 + 0.01 * (k % 3));
  vgl_h_matrix_2d_optimize_lmq optimiser{vgl_h_matrix_2d<double>(start)};
  vgl_h_matrix_2d<double> H;
  EXPECT_TRUE(optimiser.optimize(p1, p2, H));
  double h[9];
  H.get(h);
  for (double& v : h) v /= h[8];
  EXPECT_LT(maxReprojection(h, c), 1e-6);
  EXPECT_GT(optimiser.start_error(), optimiser.end_error());

  p1.resize(3);
  p2.resize(3);
  EXPECT_FALSE(optimiser.optimize(p1, p2, H));
  EXPECT_EQ(H.get(0, 2), start[2]);
}

}  // namespace

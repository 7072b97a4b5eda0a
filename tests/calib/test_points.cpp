#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include "calib/Calibration.h"

namespace {

class ConvertPointsTest : public ::testing::Test {
 protected:
  void SetUp() override { Orvel_ClearError(); }
};

TEST_F(ConvertPointsTest, ToHomogeneousAndBackWithZeroWeight) {
  double pts[3][2] = {{1, 2}, {3, 4}, {-5, 6}};
  double homog[3][3];
  CvMat src = cvMat(3, 2, CV_64FC1, pts), h = cvMat(3, 1, CV_64FC3, homog);
  Orvel_cvConvertPointsHomogenious(&src, &h);
  ASSERT_EQ(Orvel_GetErrStatus(), 0);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(homog[i][0], pts[i][0]);
    EXPECT_EQ(homog[i][1], pts[i][1]);
    EXPECT_EQ(homog[i][2], 1.0);
  }
  homog[0][2] = 2.0;
  homog[1][2] = 0.0;
  float back[3][2];
  CvMat b = cvMat(1, 3, CV_32FC2, back);
  Orvel_cvConvertPointsHomogenious(&h, &b);
  ASSERT_EQ(Orvel_GetErrStatus(), 0);
  EXPECT_FLOAT_EQ(back[0][0], 0.5f);
  EXPECT_FLOAT_EQ(back[0][1], 1.0f);
  EXPECT_FLOAT_EQ(back[1][0], 3.0f);  // w = 0: unchanged
  EXPECT_FLOAT_EQ(back[1][1], 4.0f);
  EXPECT_FLOAT_EQ(back[2][0], -5.0f);
}

TEST_F(ConvertPointsTest, ColumnsBecomeRowsInEveryLayout) {
  double cols[2][4] = {{1, 2, 3, 4}, {5, 6, 7, 8}};
  CvMat src = cvMat(2, 4, CV_64FC1, cols);
  double rows[4][2];
  CvMat dst = cvMat(4, 2, CV_64FC1, rows);
  Orvel_cvConvertPointsHomogenious(&src, &dst);
  ASSERT_EQ(Orvel_GetErrStatus(), 0);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(rows[i][0], cols[0][i]);
    EXPECT_EQ(rows[i][1], cols[1][i]);
  }
  float interleaved[4][2];
  CvMat column = cvMat(4, 1, CV_32FC2, interleaved);
  Orvel_cvConvertPointsHomogenious(&src, &column);
  ASSERT_EQ(Orvel_GetErrStatus(), 0);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(interleaved[i][1], float(cols[1][i]));
  // And back into points-in-columns with a homogeneous third row.
  double homog[3][4];
  CvMat h = cvMat(3, 4, CV_64FC1, homog);
  Orvel_cvConvertPointsHomogenious(&column, &h);
  ASSERT_EQ(Orvel_GetErrStatus(), 0);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(homog[0][i], cols[0][i]);
    EXPECT_EQ(homog[2][i], 1.0);
  }
}

TEST_F(ConvertPointsTest, InPlaceRules) {
  double a[6] = {1, 2, 3, 4, 5, 6};
  CvMat m = cvMat(3, 2, CV_64FC1, a), same = cvMat(3, 2, CV_64FC1, a), other = cvMat(1, 3, CV_64FC2, a);
  Orvel_cvConvertPointsHomogenious(&m, &m);
  Orvel_cvConvertPointsHomogenious(&m, &same);
  EXPECT_EQ(Orvel_GetErrStatus(), 0);
  Orvel_cvConvertPointsHomogenious(&m, &other);
  EXPECT_EQ(Orvel_GetErrStatus(), -5);
  EXPECT_EQ(Orvel_LastError().message, "Invalid inplace operation");
  EXPECT_EQ(a[5], 6.0);
}

TEST_F(ConvertPointsTest, RejectsBadShapesCountsAndTypes) {
  double a[64] = {};
  int ints[8] = {};
  CvMat ok3 = cvMat(3, 2, CV_64FC1, a), ok4 = cvMat(4, 2, CV_64FC1, a + 8), mixed = cvMat(3, 2, CV_64FC2, a + 16);
  CvMat wide = cvMat(6, 1, CV_64FC1, a + 32), int4 = cvMat(4, 2, CV_32SC1, ints), five = cvMat(1, 3, CV_64FC(5), a + 40);
  CvMat ok4d = cvMat(4, 4, CV_64FC1, a + 16);
  struct Case {
    const CvMat* src;
    CvMat* dst;
    int code;
    const char* message;
  } cases[] = {
      {nullptr, &ok3, -27, "The input parameter is not a valid matrix"},
      {&ok3, nullptr, -27, "The output parameter is not a valid matrix"},
      {&mixed, &ok3, -201, "Either the number of channels or columns or rows must be =1"},
      {&ok3, &wide, -201, "Either the number of channels or columns or rows in the output matrix must be =1"},
      {&ok3, &ok4, -209, "Both matrices must have the same number of points"},
      {&int4, &ok4, -210, "Both matrices must be floating-point (single or double precision)"},
      {&five, &ok3, -211, "Both input and output point dimensionality must be 2, 3 or 4"},
      {&ok4, &ok4d, -209, "The dimensionalities of input and output point sets differ too much"},
  };
  for (const Case& c : cases) {
    Orvel_ClearError();
    Orvel_cvConvertPointsHomogenious(c.src, c.dst);
    EXPECT_EQ(Orvel_GetErrStatus(), c.code) << c.message;
    EXPECT_EQ(Orvel_LastError().message, c.message);
    EXPECT_EQ(Orvel_LastError().routine, "Orvel_cvConvertPointsHomogenious");
  }
}

TEST(EngineStatus, EarlierFailureStaysVisibleAndDoesNotBreakLaterCalls) {
  Orvel_ClearError();
  Orvel_SetError(-5, "Somewhere", "earlier failure", "Calibration", 1);
  double r[3] = {0.1, 0.2, 0.3}, R[9];
  CvMat rv = cvMat(1, 3, CV_64FC1, r), Rm = cvMat(3, 3, CV_64FC1, R);
  EXPECT_EQ(Orvel_cvRodrigues2(&rv, &Rm, nullptr), 1);
  EXPECT_EQ(Orvel_GetErrStatus(), -5);
  EXPECT_EQ(Orvel_LastError().message, "earlier failure");
  Orvel_ClearError();
}

}  // namespace

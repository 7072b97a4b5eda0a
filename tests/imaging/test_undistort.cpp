#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "imaging/IP.h"
#include "imaging/MVG.h"

namespace {

CameraParameters MakeCamera(int width, int height, double k1, double k2, double p1, double p2) {
  CameraParameters camera;
  camera.K = {0.9 * width, 0, 0.5 * width + 3.3, 0, 0.92 * width, 0.5 * height - 2.1, 0, 0, 1};
  camera.distortion = {k1, k2, p1, p2, 0};
  camera.width = width;
  camera.height = height;
  return camera;
}

// Smooth gradients under a blurred chequerboard: texture at every scale the
// interpolation sees, without aliasing.
cv::Mat MakeTexturedImage(int width, int height) {
  cv::Mat image(height, width, CV_8UC3);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const bool dark = ((x / 16) + (y / 16)) % 2 == 0;
      image.at<cv::Vec3b>(y, x) = cv::Vec3b(dark ? 40 : 215, static_cast<uint8_t>(255 * x / width),
                                            static_cast<uint8_t>(128 + 100 * std::sin(0.05 * x + 0.03 * y)));
    }
  cv::GaussianBlur(image, image, cv::Size(5, 5), 1.2);
  return image;
}

std::vector<int> MakeTable(const CameraParameters& camera, int interpolation = MVG::kBilinear) {
  std::vector<int> table(MVG::UndistortionTableSize(camera.width, camera.height));
  EXPECT_TRUE(MVG::ComputeUndistortionMapCoefficients(camera, interpolation, table));
  return table;
}

cv::Mat Undistort(const cv::Mat& image, const CameraParameters& camera) {
  cv::Mat out;
  EXPECT_TRUE(IP::WarpByWeightsIndex(image, out, MakeTable(camera)));
  return out;
}

cv::Mat ReferenceUndistort(const cv::Mat& image, const CameraParameters& camera) {
  const cv::Mat K(3, 3, CV_64F, const_cast<double*>(camera.K.data()));
  const cv::Mat D(1, 4, CV_64F, const_cast<double*>(camera.distortion.data()));
  cv::Mat map1, map2, out;
  cv::initUndistortRectifyMap(K, D, cv::noArray(), K, image.size(), CV_16SC2, map1, map2);
  cv::remap(image, out, map1, map2, cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar::all(0));
  return out;
}

double MeanAbsoluteDifference(const cv::Mat& a, const cv::Mat& b) {
  return cv::norm(a, b, cv::NORM_L1) / (static_cast<double>(a.total()) * a.channels());
}

TEST(Undistort, AgreesWithTheReferenceWithinOneGreyLevel) {
  struct Case {
    int width, height;
    double k1, k2, p1, p2;
  };
  const Case cases[] = {{640, 480, -0.28, 0.09, 0.0012, -0.0008},   // barrel
                        {320, 240, 0.35, 0.2, -0.002, 0.003},       // pincushion: corners from outside
                        {203, 117, -0.1, 0.0, 0.01, 0.0}};          // odd sizes, strong tangential
  for (const Case& c : cases) {
    SCOPED_TRACE(c.width);
    const CameraParameters camera = MakeCamera(c.width, c.height, c.k1, c.k2, c.p1, c.p2);
    const cv::Mat image = MakeTexturedImage(c.width, c.height);
    const cv::Mat ours = Undistort(image, camera);
    const cv::Mat reference = ReferenceUndistort(image, camera);
    // Within one grey level on average is the promise; a quarter catches
    // sub-pixel slips such as a half-pixel offset on this smooth texture.
    EXPECT_LT(MeanAbsoluteDifference(ours, reference), 0.25);
    cv::Mat difference;
    cv::absdiff(ours, reference, difference);
    EXPECT_LT(cv::mean(difference > 8)[0], 255 * 0.001) << "too many pixels far off";
  }
}

TEST(Undistort, PixelsSeenFromOutsideTheFrameAreBlack) {
  const CameraParameters camera = MakeCamera(160, 120, 0.6, 0.3, 0, 0);
  const cv::Mat white(120, 160, CV_8UC3, cv::Scalar::all(255));
  const cv::Mat out = Undistort(white, camera);
  EXPECT_EQ(out.at<cv::Vec3b>(0, 0), cv::Vec3b(0, 0, 0));
  EXPECT_EQ(out.at<cv::Vec3b>(119, 159), cv::Vec3b(0, 0, 0));
  EXPECT_EQ(out.at<cv::Vec3b>(60, 80), cv::Vec3b(255, 255, 255));
}

TEST(Undistort, ZeroDistortionIsTheIdentity) {
  const CameraParameters camera = MakeCamera(97, 61, 0, 0, 0, 0);
  const cv::Mat image = MakeTexturedImage(97, 61);
  EXPECT_EQ(cv::norm(Undistort(image, camera), image, cv::NORM_INF), 0.0);
  cv::Mat nearest;
  ASSERT_TRUE(IP::WarpByWeightsIndex(image, nearest, MakeTable(camera, MVG::kNearest)));
  EXPECT_EQ(cv::norm(nearest, image, cv::NORM_INF), 0.0);
}

TEST(Undistort, NearestTakesWholeSourcePixels) {
  const CameraParameters camera = MakeCamera(64, 48, -0.3, 0.1, 0, 0);
  cv::Mat image(48, 64, CV_8UC3);
  for (int y = 0; y < 48; ++y)
    for (int x = 0; x < 64; ++x) image.at<cv::Vec3b>(y, x) = cv::Vec3b(x, y, 200);
  cv::Mat out;
  ASSERT_TRUE(IP::WarpByWeightsIndex(image, out, MakeTable(camera, MVG::kNearest)));
  const cv::Mat reference = ReferenceUndistort(image, camera);
  for (int y = 0; y < 48; ++y)
    for (int x = 0; x < 64; ++x) {
      const cv::Vec3b p = out.at<cv::Vec3b>(y, x);
      ASSERT_TRUE(p[2] == 200 || p == cv::Vec3b(0, 0, 0)) << x << "," << y;
      if (p[2] == 200) {  // a whole pixel near where the reference samples
        EXPECT_NEAR(p[0], reference.at<cv::Vec3b>(y, x)[0], 1) << x << "," << y;
        EXPECT_NEAR(p[1], reference.at<cv::Vec3b>(y, x)[1], 1) << x << "," << y;
      }
    }
}

TEST(UndistortionTable, IgnoresThePoseAndMatchesTheFloatRecord) {
  CameraParameters camera = MakeCamera(120, 80, -0.2, 0.05, 0.001, 0.002);
  const std::vector<int> table = MakeTable(camera);
  camera.R = {0, -1, 0, 1, 0, 0, 0, 0, 1};
  camera.T = {100, -20, 3};
  EXPECT_EQ(MakeTable(camera), table);

  const MVG::CameraRecord record = MVG::MakeCameraRecord(camera);
  EXPECT_FLOAT_EQ(record[0], -0.2f);
  EXPECT_FLOAT_EQ(record[4], 0.0f);
  EXPECT_FLOAT_EQ(record[5], 108.0f);  // fx
  EXPECT_FLOAT_EQ(record[15], -1.0f);  // R(0,1)
  EXPECT_FLOAT_EQ(record[23], 100.0f);
  EXPECT_FLOAT_EQ(record[26], 120.0f);
  EXPECT_FLOAT_EQ(record[27], 80.0f);
  std::vector<int> fromRecord(table.size());
  ASSERT_TRUE(MVG::ComputeUndistortionMapCoefficients(record.data(), 1, fromRecord));
  const cv::Mat image = MakeTexturedImage(120, 80);
  cv::Mat a, b;
  ASSERT_TRUE(IP::WarpByWeightsIndex(image, a, table));
  ASSERT_TRUE(IP::WarpByWeightsIndex(image, b, fromRecord));
  EXPECT_LE(cv::norm(a, b, cv::NORM_INF), 1.0);
}

TEST(UndistortionTable, RefusesUnusableCamerasAndWrongSizes) {
  const CameraParameters good = MakeCamera(40, 30, -0.1, 0, 0, 0);
  std::vector<int> table(MVG::UndistortionTableSize(40, 30), -7);
  CameraParameters uncalibrated;  // K all zero
  uncalibrated.width = 40;
  uncalibrated.height = 30;
  EXPECT_FALSE(MVG::ComputeUndistortionMapCoefficients(uncalibrated, 1, table));
  CameraParameters infinite = good;
  infinite.distortion[0] = std::numeric_limits<double>::infinity();
  EXPECT_FALSE(MVG::ComputeUndistortionMapCoefficients(infinite, 1, table));
  EXPECT_FALSE(MVG::ComputeUndistortionMapCoefficients(good, 2, table));
  std::vector<int> small(table.size() - 1);
  EXPECT_FALSE(MVG::ComputeUndistortionMapCoefficients(good, 1, small));
  EXPECT_TRUE(std::all_of(table.begin(), table.end(), [](int v) { return v == -7; })) << "table written on failure";

  MVG::CameraRecord record = MVG::MakeCameraRecord(good);
  record[26] = 40.5f;
  EXPECT_FALSE(MVG::ComputeUndistortionMapCoefficients(record.data(), 1, table));
  record[26] = -40.0f;
  EXPECT_FALSE(MVG::ComputeUndistortionMapCoefficients(record.data(), 1, table));
  EXPECT_FALSE(MVG::ComputeUndistortionMapCoefficients(nullptr, 1, table));
  EXPECT_EQ(MVG::UndistortionTableSize(2, 30), 0u);
  EXPECT_EQ(MVG::UndistortionTableSize(40, 1), 0u);
  EXPECT_EQ(MVG::UndistortionTableSize(MVG::kMaxFrameSide + 1, 2), 0u);
}

TEST(WarpByWeightsIndex, RefusesMismatchedImagesAndTables) {
  const CameraParameters camera = MakeCamera(40, 30, -0.1, 0, 0, 0);
  const std::vector<int> table = MakeTable(camera);
  const cv::Mat image = MakeTexturedImage(40, 30);
  cv::Mat wrongSize(31, 40, CV_8UC3, cv::Scalar::all(9));
  EXPECT_FALSE(IP::WarpByWeightsIndex(image, wrongSize, table));
  EXPECT_EQ(wrongSize.at<cv::Vec3b>(0, 0), cv::Vec3b(9, 9, 9));
  cv::Mat out;
  EXPECT_FALSE(IP::WarpByWeightsIndex(image, out, std::span<const int>(table).first(table.size() - 5)));
  EXPECT_FALSE(IP::WarpByWeightsIndex(cv::Mat(30, 40, CV_8UC1), out, table));
  EXPECT_TRUE(out.empty());
  cv::Mat inPlace = image.clone();
  EXPECT_FALSE(IP::WarpByWeightsIndex(inPlace, inPlace, table));
}

TEST(WarpByWeightsIndex, WorksOnImagesThatAreViewsIntoLargerOnes) {
  const CameraParameters camera = MakeCamera(50, 40, -0.2, 0.05, 0, 0);
  const cv::Mat image = MakeTexturedImage(50, 40);
  cv::Mat bigSource(60, 70, CV_8UC3, cv::Scalar::all(255)), bigTarget(50, 64, CV_8UC3);
  cv::Mat source = bigSource(cv::Rect(7, 9, 50, 40)), target = bigTarget(cv::Rect(3, 4, 50, 40));
  image.copyTo(source);
  ASSERT_TRUE(IP::WarpByWeightsIndex(source, target, MakeTable(camera)));
  EXPECT_EQ(cv::norm(target, Undistort(image, camera), cv::NORM_INF), 0.0);
}

TEST(WarpByWeightsIndex, NeverReadsOutsideTheSourceWhateverTheTable) {
  // Same pixel count, other shape: rows and columns far beyond this frame.
  const std::vector<int> tallTable = MakeTable(MakeCamera(20, 240, 0.5, 0, 0, 0));
  cv::Mat wide(20, 240, CV_8UC3, cv::Scalar::all(1)), out;
  EXPECT_TRUE(IP::WarpByWeightsIndex(wide, out, tallTable));
  std::vector<int> junk(tallTable.size());
  std::mt19937 random(5);
  for (int& v : junk) v = static_cast<int>(random());
  EXPECT_TRUE(IP::WarpByWeightsIndex(wide, out, junk));  // run under the sanitizers to mean something
}

}  // namespace

namespace {

// OpenCV's undistortion of the same camera: its rational model, or its fisheye
// model with the output camera matrix `output` (fx, fy, cx, cy).
cv::Mat ReferenceUndistortModel(const cv::Mat& image, const CameraParameters& camera, const std::array<double, 4>& output) {
  const cv::Mat K(3, 3, CV_64F, const_cast<double*>(camera.K.data()));
  const cv::Mat D(1, DistortionCount(camera.model), CV_64F, const_cast<double*>(camera.distortion.data()));
  const cv::Mat P = (cv::Mat_<double>(3, 3) << output[0], 0, output[2], 0, output[1], output[3], 0, 0, 1);
  cv::Mat map1, map2, out;
  if (camera.model == LensModel::Fisheye)
    cv::fisheye::initUndistortRectifyMap(K, D, cv::Mat::eye(3, 3, CV_64F), P, image.size(), CV_16SC2, map1, map2);
  else
    cv::initUndistortRectifyMap(K, D, cv::noArray(), P, image.size(), CV_16SC2, map1, map2);
  cv::remap(image, out, map1, map2, cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar::all(0));
  return out;
}

}  // namespace

TEST(Undistort, RationalAndFisheyeAgreeWithTheReferenceWithinTwoGreyLevels) {
  CameraParameters rational = MakeCamera(640, 480, 0.1, 0.005, 0.0009, -0.0006);
  rational.model = LensModel::Rational;
  rational.distortion = {0.1, 0.005, 0.0009, -0.0006, 0.0005, 0.35, 0.03, 0.0005};
  CameraParameters fisheye;
  fisheye.model = LensModel::Fisheye;
  fisheye.width = 640;
  fisheye.height = 480;
  fisheye.K = {205.0, 0, 322.5, 0, 204.0, 238.25, 0, 0, 1};
  fisheye.distortion = {0.03, -0.008, 0.0015, -0.0002};
  const cv::Mat image = MakeTexturedImage(640, 480);
  struct Case {
    CameraParameters camera;
    double fieldOfView;  // 0: the camera's own matrix
  };
  for (const Case& c : {Case{rational, 0.0}, Case{fisheye, 0.0}, Case{fisheye, 120.0}}) {
    SCOPED_TRACE(std::string(LensModelName(c.camera.model)) + " " + std::to_string(c.fieldOfView));
    const std::array<double, 4> output = MVG::OutputCameraForFieldOfView(c.camera, c.fieldOfView);
    std::vector<int> table(MVG::UndistortionTableSize(640, 480));
    ASSERT_TRUE(MVG::ComputeUndistortionMapCoefficients(c.camera, output, MVG::kBilinear, table));
    cv::Mat ours;
    ASSERT_TRUE(IP::WarpByWeightsIndex(image, ours, table));
    const cv::Mat reference = ReferenceUndistortModel(image, c.camera, output);
    cv::Mat difference;
    cv::absdiff(ours, reference, difference);
    EXPECT_LT(MeanAbsoluteDifference(ours, reference), 0.25);
    EXPECT_LT(cv::mean(difference > 2)[0], 255 * 0.002) << "too many pixels more than two grey levels off";
  }
  // A 120-degree output of the fisheye is a wider picture than its own matrix gives.
  EXPECT_LT(MVG::OutputCameraForFieldOfView(fisheye, 120.0)[0], fisheye.fx() * 1.0);
  EXPECT_EQ(MVG::OutputCameraForFieldOfView(fisheye, 190.0)[0], fisheye.fx());  // no pinhole picture that wide
}

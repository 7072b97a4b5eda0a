// Initial camera matrix, single-view pose and the initial calibration, on
// synthetic views of a planar grid projected through a known camera.

#include <gtest/gtest.h>

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>

#include <limits>
#include <random>
#include <string>
#include <vector>

#include "calib/Calibration.h"

namespace {

const cv::Size kImageSize(640, 480);
const cv::Matx33d kCamera(820, 0, 319.5, 0, 800, 239.5, 0, 0, 1);  // principal point at the image centre

struct TruePose {
  cv::Vec3d r;
  cv::Vec3d t;
};

const std::vector<TruePose> kPoses = {
    {{0.25, -0.20, 0.05}, {-90, -60, 450}},  {{-0.30, 0.15, -0.10}, {-80, -70, 500}},
    {{0.10, 0.35, 0.20}, {-100, -50, 480}},  {{-0.20, -0.30, 0.00}, {-70, -80, 520}},
    {{0.35, 0.10, -0.15}, {-95, -55, 470}},  {{0.05, -0.35, 0.10}, {-85, -65, 510}},
};

std::vector<cv::Point3d> Grid(double z = 0) {
  std::vector<cv::Point3d> points;
  for (int i = 0; i < 6; ++i)
    for (int j = 0; j < 8; ++j) points.emplace_back(j * 25.0, (5 - i) * 25.0, z);
  return points;
}

std::vector<cv::Point2d> Project(const std::vector<cv::Point3d>& object, const TruePose& pose,
                                 const cv::Mat& dist = cv::Mat(), double noise = 0, unsigned seed = 1) {
  std::vector<cv::Point2d> image;
  cv::projectPoints(object, pose.r, pose.t, kCamera, dist, image);
  std::mt19937 rng(seed);
  std::normal_distribution<double> gauss(0, noise > 0 ? noise : 1);
  if (noise > 0)
    for (auto& p : image) p += cv::Point2d(gauss(rng), gauss(rng));
  return image;
}

// All views concatenated in the engine's 1 x total layouts.
struct Views {
  cv::Mat object;  // 1 x total, CV_64FC3
  cv::Mat image;   // 1 x total, CV_64FC2
  cv::Mat counts;  // 1 x V, CV_32SC1
};

Views MakeViews(const std::vector<std::vector<cv::Point3d>>& objects, double noise = 0,
                const std::vector<TruePose>& poses = kPoses) {
  std::vector<cv::Point3d> allObject;
  std::vector<cv::Point2d> allImage;
  std::vector<int> counts;
  for (size_t v = 0; v < objects.size(); ++v) {
    const auto image = Project(objects[v], poses[v], cv::Mat(), noise, static_cast<unsigned>(v + 1));
    allObject.insert(allObject.end(), objects[v].begin(), objects[v].end());
    allImage.insert(allImage.end(), image.begin(), image.end());
    counts.push_back(static_cast<int>(objects[v].size()));
  }
  return {cv::Mat(allObject, true).reshape(3, 1), cv::Mat(allImage, true).reshape(2, 1),
          cv::Mat(counts, true).reshape(1, 1)};
}

Views PlanarViews(double noise = 0, double z = 0) {
  return MakeViews(std::vector<std::vector<cv::Point3d>>(kPoses.size(), Grid(z)), noise);
}

std::vector<cv::Point3d> BoxPoints(int count, unsigned seed = 7) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(0, 150);
  std::vector<cv::Point3d> points;
  for (int i = 0; i < count; ++i) points.emplace_back(u(rng), u(rng), u(rng) * 0.8);
  return points;
}

class CalibrationInit : public ::testing::Test {
 protected:
  void SetUp() override { Orvel_ClearError(); }

  static void ExpectError(int code, const std::string& message) {
    EXPECT_EQ(Orvel_GetErrStatus(), code);
    EXPECT_EQ(Orvel_LastError().message, message);
    EXPECT_EQ(Orvel_LastError().module, "Calibration");
  }

  // Pose of one view by the engine, with 1x3 double outputs.
  static TruePose FindPose(const cv::Mat& object, const cv::Mat& image, const cv::Mat& dist = cv::Mat()) {
    cv::Mat K(kCamera), r(1, 3, CV_64F, cv::Scalar(0)), t(1, 3, CV_64F, cv::Scalar(0));
    CvMat o = cvMat(object), i = cvMat(image), k = cvMat(K), rm = cvMat(r), tm = cvMat(t), d;
    if (!dist.empty()) d = cvMat(dist);
    Orvel_cvFindExtrinsicCameraParams2(&o, &i, &k, dist.empty() ? nullptr : &d, &rm, &tm);
    return {cv::Vec3d(r), cv::Vec3d(t)};
  }
};

void ExpectPoseNear(const TruePose& found, const TruePose& truth, double rotTol, double transTol) {
  EXPECT_LT(cv::norm(found.r - truth.r), rotTol) << found.r << " vs " << truth.r;
  EXPECT_LT(cv::norm(found.t - truth.t), transTol) << found.t << " vs " << truth.t;
}

// ---------------------------------------------------------------------------
// Closed-form camera matrix

cv::Matx33d InitIntrinsic(const Views& views, double aspectRatio) {
  cv::Matx33d A;
  CvMat o = cvMat(views.object), i = cvMat(views.image), c = cvMat(views.counts);
  CvMat a = cvMat(3, 3, CV_64FC1, A.val);
  Orvel_icvInitIntrinsicParams2D(&o, &i, &c, cvSize(kImageSize.width, kImageSize.height), &a, aspectRatio);
  return A;
}

TEST_F(CalibrationInit, InitIntrinsicRecoversTheCameraAndHonoursAspectOne) {
  const cv::Matx33d A = InitIntrinsic(PlanarViews(), 0);
  ASSERT_EQ(Orvel_GetErrStatus(), 0);
  EXPECT_LT(cv::norm(A - kCamera), 1e-3) << A;

  const cv::Matx33d fixedA = InitIntrinsic(PlanarViews(), 1);
  EXPECT_DOUBLE_EQ(fixedA(0, 0), fixedA(1, 1));
  EXPECT_NEAR(fixedA(0, 0), 0.5 * (A(0, 0) + A(1, 1)), 1e-9);
}

TEST_F(CalibrationInit, InitIntrinsicAgreesWithOpenCvOnNoisyViews) {
  const Views views = PlanarViews(0.3);
  std::vector<std::vector<cv::Point3f>> objects;
  std::vector<std::vector<cv::Point2f>> images;
  for (int v = 0; v < views.counts.cols; ++v) {
    const cv::Range range(v * 48, (v + 1) * 48);
    objects.emplace_back(cv::Mat_<cv::Vec3f>(views.object.colRange(range)));
    images.emplace_back(cv::Mat_<cv::Vec2f>(views.image.colRange(range)));
  }
  const cv::Mat reference = cv::initCameraMatrix2D(objects, images, kImageSize, 0);
  const cv::Matx33d A = InitIntrinsic(views, 0);
  EXPECT_NEAR(A(0, 0), reference.at<double>(0, 0), 0.005 * reference.at<double>(0, 0));
  EXPECT_NEAR(A(1, 1), reference.at<double>(1, 1), 0.005 * reference.at<double>(1, 1));
  EXPECT_NEAR(A(0, 0), 820, 10);
}

TEST_F(CalibrationInit, InitIntrinsicRefusesViewsParallelToTheImage) {
  std::vector<TruePose> parallel;
  for (int v = 0; v < 5; ++v) parallel.push_back({{0, 0, 0.1 * v}, {-90.0 + v, -60, 450.0 + 10 * v}});
  InitIntrinsic(MakeViews(std::vector<std::vector<cv::Point3d>>(5, Grid()), 0, parallel), 0);
  ExpectError(-5, "The views do not determine the focal length");
}

TEST_F(CalibrationInit, InitIntrinsicRejectsBadPointLayouts) {
  Views views = PlanarViews();
  Views wrong = views;
  wrong.object = cv::Mat(1, views.object.cols, CV_64FC2, cv::Scalar(1, 2));
  InitIntrinsic(wrong, 0);
  ExpectError(-210, "Both object points and image points must be 2D");

  Orvel_ClearError();
  wrong.object = cv::Mat(2, views.object.cols / 2, CV_64FC3, cv::Scalar(0, 0, 0));
  InitIntrinsic(wrong, 0);
  ExpectError(-201, "object points and image points must be a single-row matrices");
}

// ---------------------------------------------------------------------------
// Pose of one view

TEST_F(CalibrationInit, ExtrinsicMatchesTheTruePoseOnPlanarAndFrontoParallelGrids) {
  const std::vector<cv::Point3d> grid = Grid();
  for (const TruePose& truth : {kPoses[0], kPoses[2], TruePose{{0, 0, 0}, {-90, -60, 500}}}) {
    const TruePose found = FindPose(cv::Mat(grid, true), cv::Mat(Project(grid, truth), true));
    ASSERT_EQ(Orvel_GetErrStatus(), 0);
    ExpectPoseNear(found, truth, 1e-9, 1e-6);
  }
}

TEST_F(CalibrationInit, ExtrinsicAgreesWithSolvePnpOnNoisyDistortedPoints) {
  const cv::Mat dist = (cv::Mat_<double>(1, 4) << -0.2, 0.05, 0.001, -0.002);
  const std::vector<cv::Point3d> grid = Grid();
  for (size_t v = 0; v < 3; ++v) {
    const std::vector<cv::Point2d> image = Project(grid, kPoses[v], dist, 0.4, unsigned(v + 3));
    cv::Vec3d r, t;
    cv::solvePnP(grid, image, kCamera, dist, r, t, false, cv::SOLVEPNP_ITERATIVE);
    // Points in a 2xN float layout exercise the layout conversion.
    cv::Mat imageT;
    cv::Mat(cv::Mat(image, true).reshape(1, int(image.size())).t()).convertTo(imageT, CV_32F);
    const TruePose found = FindPose(cv::Mat(grid, true), imageT, dist);
    ASSERT_EQ(Orvel_GetErrStatus(), 0);
    ExpectPoseNear(found, {r, t}, 1e-5, 1e-3);
  }
}

TEST_F(CalibrationInit, ExtrinsicFindsThePoseOfNonPlanarPointSets) {
  for (int count : {5, 12, 40}) {
    const std::vector<cv::Point3d> box = BoxPoints(count);
    const TruePose found = FindPose(cv::Mat(box, true), cv::Mat(Project(box, kPoses[1]), true));
    ASSERT_EQ(Orvel_GetErrStatus(), 0) << count;
    ExpectPoseNear(found, kPoses[1], 1e-8, 1e-5);
  }
}

TEST_F(CalibrationInit, ExtrinsicWithThreePointsOrFloatOutputsGivesAFinitePose) {
  const std::vector<cv::Point3d> three = {{0, 0, 0}, {100, 0, 0}, {0, 80, 0}};
  const TruePose found = FindPose(cv::Mat(three, true), cv::Mat(Project(three, kPoses[0]), true));
  EXPECT_EQ(Orvel_GetErrStatus(), 0);
  EXPECT_TRUE(cv::checkRange(found.r) && cv::checkRange(found.t));

  // 3x1 float outputs receive the same pose, converted.
  Orvel_ClearError();
  const std::vector<cv::Point3d> grid = Grid();
  cv::Mat object(grid, true), image(Project(grid, kPoses[0]), true), K(kCamera);
  cv::Mat r(3, 1, CV_32F, cv::Scalar(0)), t(1, 1, CV_32FC3, cv::Scalar(0, 0, 0));
  CvMat o = cvMat(object), i = cvMat(image), k = cvMat(K), rm = cvMat(r), tm = cvMat(t);
  Orvel_cvFindExtrinsicCameraParams2(&o, &i, &k, nullptr, &rm, &tm);
  EXPECT_NEAR(r.at<float>(1), kPoses[0].r[1], 1e-6);
  EXPECT_NEAR(t.at<cv::Vec3f>(0)[2], kPoses[0].t[2], 1e-3);
}

TEST_F(CalibrationInit, ExtrinsicFailuresLeaveTheOutputsUnchanged) {
  const std::vector<cv::Point3d> grid = Grid();
  cv::Mat object(grid, true), image(Project(grid, kPoses[0]), true), K(kCamera);
  cv::Mat r(1, 3, CV_64F, cv::Scalar(7)), t(1, 3, CV_64F, cv::Scalar(7));
  CvMat o = cvMat(object), i = cvMat(image), k = cvMat(K), rm = cvMat(r), tm = cvMat(t);
  Orvel_cvFindExtrinsicCameraParams2(&o, &i, &k, nullptr, nullptr, &tm);
  ExpectError(-5, "One of required arguments is not a valid matrix");

  Orvel_ClearError();
  std::vector<cv::Point3d> line;
  for (int n = 0; n < 10; ++n) line.emplace_back(10.0 * n, 5.0 * n, 0);
  cv::Mat lineObject(line, true), lineImage(Project(line, kPoses[0]), true);
  CvMat lo = cvMat(lineObject), li = cvMat(lineImage);
  Orvel_cvFindExtrinsicCameraParams2(&lo, &li, &k, nullptr, &rm, &tm);
  EXPECT_EQ(Orvel_GetErrStatus(), -5);
  EXPECT_EQ(cv::countNonZero(r != 7) + cv::countNonZero(t != 7), 0);

  Orvel_ClearError();
  image.at<cv::Vec2d>(3)[0] = std::numeric_limits<double>::quiet_NaN();
  Orvel_cvFindExtrinsicCameraParams2(&o, &i, &k, nullptr, &rm, &tm);
  EXPECT_LT(Orvel_GetErrStatus(), 0);
  EXPECT_EQ(cv::countNonZero(r != 7) + cv::countNonZero(t != 7), 0);
}

// ---------------------------------------------------------------------------
// Initial calibration

struct CalibrateOutput {
  cv::Mat K = cv::Mat(3, 3, CV_64F, cv::Scalar(5));
  cv::Mat dist = cv::Mat(4, 1, CV_64F, cv::Scalar(1));
  cv::Mat rotations;
  cv::Mat translations;
};

void Calibrate(const Views& views, CalibrateOutput& out, int flags) {
  CvMat o = cvMat(views.object), i = cvMat(views.image), c = cvMat(views.counts);
  CvMat k = cvMat(out.K), d = cvMat(out.dist), r, t;
  if (!out.rotations.empty()) r = cvMat(out.rotations);
  if (!out.translations.empty()) t = cvMat(out.translations);
  Orvel_cvCalibrateCamera2(&o, &i, &c, cvSize(kImageSize.width, kImageSize.height), &k, &d,
                           out.rotations.empty() ? nullptr : &r, out.translations.empty() ? nullptr : &t, flags);
}

TEST_F(CalibrationInit, CalibrateGivesTheTrueCameraZeroDistortionAndPosesInBothLayouts) {
  CalibrateOutput out;
  const int views = int(kPoses.size());
  out.rotations = cv::Mat(views, 9, CV_64F, cv::Scalar(0));
  out.translations = cv::Mat(1, views, CV_32FC3, cv::Scalar::all(0));
  Orvel_SetError(-5, "Earlier", "earlier failure", "Calibration", 1);  // must neither matter nor vanish
  Calibrate(PlanarViews(), out, 0);
  ASSERT_EQ(Orvel_GetErrStatus(), -5);
  EXPECT_EQ(Orvel_LastError().message, "earlier failure");
  Orvel_ClearError();
  EXPECT_LT(cv::norm(out.K, cv::Mat(kCamera)), 1e-3);
  EXPECT_EQ(cv::countNonZero(out.dist), 0);
  for (int v = 0; v < views; ++v) {
    cv::Matx33d R;
    cv::Rodrigues(kPoses[v].r, R);
    EXPECT_LT(cv::norm(out.rotations.row(v).reshape(1, 3), cv::Mat(R)), 1e-7) << v;
    EXPECT_LT(cv::norm(cv::Vec3d(out.translations.at<cv::Vec3f>(v)) - kPoses[v].t), 1e-3) << v;
  }

  // A 1 x V three-channel output receives rotation vectors.
  out.rotations = cv::Mat(1, views, CV_64FC3, cv::Scalar::all(0));
  Calibrate(PlanarViews(), out, 0);
  EXPECT_LT(cv::norm(cv::Vec3d(out.rotations.at<cv::Vec3d>(2)) - kPoses[2].r), 1e-7);
}

TEST_F(CalibrationInit, CalibrateNamesTheViewWithTooFewPointsAndWritesNothing) {
  std::vector<std::vector<cv::Point3d>> objects(4, Grid());
  objects[2].resize(3);
  CalibrateOutput out;
  Calibrate(MakeViews(objects), out, 0);
  ExpectError(-211, "The number of points in the view #2 is <4");
  EXPECT_EQ(out.K.at<double>(0, 0), 5);
  EXPECT_EQ(out.dist.at<double>(0), 1);
}

TEST_F(CalibrationInit, CalibrateTreatsTheZOnePlaneAsZZero) {
  CalibrateOutput atZero, atOne;
  atZero.translations = cv::Mat(int(kPoses.size()), 3, CV_64F);
  atOne.translations = cv::Mat(int(kPoses.size()), 3, CV_64F);
  Views lifted = PlanarViews();
  lifted.object = PlanarViews(0, 1).object;  // same pixels, object points on Z = 1
  Calibrate(PlanarViews(), atZero, 0);
  Calibrate(lifted, atOne, 0);
  ASSERT_EQ(Orvel_GetErrStatus(), 0);
  EXPECT_LT(cv::norm(atZero.K, atOne.K), 1e-9);
  EXPECT_LT(cv::norm(atZero.translations, atOne.translations), 1e-6);
}

TEST_F(CalibrationInit, NonPlanarRigNeedsAGuessAndIsSolvedWithOne) {
  const Views views = MakeViews(std::vector<std::vector<cv::Point3d>>(kPoses.size(), BoxPoints(30)));
  CalibrateOutput out;
  out.translations = cv::Mat(int(kPoses.size()), 3, CV_64F);
  Calibrate(views, out, 0);
  ExpectError(-5, "For non-planar calibration rigs the initial intrinsic matrix must be specified");

  Orvel_ClearError();
  cv::Mat(kCamera).copyTo(out.K);
  Calibrate(views, out, ORVEL_CALIB_USE_INTRINSIC_GUESS);
  ASSERT_EQ(Orvel_GetErrStatus(), 0);
  for (int v = 0; v < int(kPoses.size()); ++v)
    EXPECT_LT(cv::norm(cv::Vec3d(out.translations.row(v)) - kPoses[v].t), 1e-5) << v;
}

TEST_F(CalibrationInit, CalibrateChecksTheIntrinsicGuess) {
  struct Case {
    int row, col;
    double value;
    const char* message;  // null: accepted
  };
  const Case cases[] = {
      {0, 1, 1e-6, nullptr},
      {0, 1, 1e-4, "Non-zero skew is not supported by the function"},
      {0, 2, 640, "Principal point must be within the image"},
      {1, 1, 0, "Focal length (fx and fy) must be positive"},
      {2, 2, 2, "The intrinsic matrix must have [fx 0 cx; 0 fy cy; 0 0 1] shape"},
  };
  for (const Case& c : cases) {
    Orvel_ClearError();
    CalibrateOutput out;
    cv::Mat(kCamera).copyTo(out.K);
    out.K.at<double>(c.row, c.col) = c.value;
    Calibrate(PlanarViews(), out, ORVEL_CALIB_USE_INTRINSIC_GUESS);
    if (c.message) {
      ExpectError(-211, c.message);
    } else {
      EXPECT_EQ(Orvel_GetErrStatus(), 0);
      EXPECT_EQ(out.K.at<double>(0, 1), 0);
    }
  }
}

TEST_F(CalibrationInit, CalibrateWithFixedAspectRatio) {
  CalibrateOutput out;
  out.K = (cv::Mat_<float>(3, 3) << 150, 0, 0, 0, 1, 0, 0, 0, 1);
  Calibrate(PlanarViews(), out, ORVEL_CALIB_FIX_ASPECT_RATIO);
  ExpectError(-211, "The specified aspect ratio (=a(0,0)/a(1,1)) is incorrect");

  Orvel_ClearError();
  out.K = (cv::Mat_<float>(3, 3) << 2, 0, 0, 0, 2, 0, 0, 0, 1);
  Calibrate(PlanarViews(), out, ORVEL_CALIB_FIX_ASPECT_RATIO);
  ASSERT_EQ(Orvel_GetErrStatus(), 0);
  EXPECT_EQ(out.K.at<float>(0, 0), out.K.at<float>(1, 1));
  EXPECT_NEAR(out.K.at<float>(0, 0), 810, 1.0);
}

TEST_F(CalibrationInit, OneFailedViewDoesNotSpoilTheOthers) {
  std::vector<std::vector<cv::Point3d>> objects(4, BoxPoints(20));
  Views views = MakeViews(objects);
  for (int k = 20; k < 40; ++k) views.object.at<cv::Vec3d>(k) = cv::Vec3d(k, 2.0 * k, 0);  // view 1: a line
  CalibrateOutput out;
  cv::Mat(kCamera).copyTo(out.K);
  out.translations = cv::Mat(4, 3, CV_64F, cv::Scalar(9));
  Calibrate(views, out, ORVEL_CALIB_USE_INTRINSIC_GUESS);
  EXPECT_LT(Orvel_GetErrStatus(), 0);
  EXPECT_EQ(Orvel_LastError().routine, "Orvel_cvFindExtrinsicCameraParams2");
  EXPECT_EQ(cv::countNonZero(out.translations.row(1)), 0);
  for (int v : {0, 2, 3}) EXPECT_LT(cv::norm(cv::Vec3d(out.translations.row(v)) - kPoses[v].t), 1e-5) << v;
}

TEST_F(CalibrationInit, CalibrateRejectsMalformedArgumentsWithoutWriting) {
  const Views good = PlanarViews();
  CalibrateOutput out;
  out.rotations = cv::Mat(2, 3, CV_64F, cv::Scalar(4));
  Calibrate(good, out, 0);
  ExpectError(-201, "Rotation and translation outputs must hold one entry per view");

  out.rotations.release();
  Views bad = good;
  bad.counts = cv::Mat(2, 3, CV_32S, cv::Scalar(8));
  Orvel_ClearError();
  Calibrate(bad, out, 0);
  ExpectError(-201, "Point counts must be a row or column of 32-bit integers");

  bad.counts = cv::Mat(1, 6, CV_32F, cv::Scalar(48));
  Calibrate(bad, out, 0);
  ExpectError(-1, "Inner function failed.");

  bad.counts = (cv::Mat_<int>(1, 2) << 48, 2000000000);
  Calibrate(bad, out, 0);
  ExpectError(-209, "The point counts do not match the number of points");

  CvMat o = cvMat(good.object), i = cvMat(good.image), c = cvMat(good.counts), d = cvMat(out.dist);
  Orvel_cvCalibrateCamera2(&o, &i, &c, cvSize(640, 480), nullptr, &d, nullptr, nullptr, 0);
  ExpectError(-27, "One of required arguments is not a valid matrix");
  EXPECT_EQ(out.K.at<double>(0, 0), 5);
  EXPECT_EQ(out.dist.at<double>(0), 1);
}

}  // namespace

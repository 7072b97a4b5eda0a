// The calibration run on synthetic views of a known camera, checked against
// the ground truth and against OpenCV's calibrateCamera on the same points.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>

#include <unistd.h>

#include <opencv2/calib3d.hpp>

#include "calib/CalibrationProblem.h"
#include "support/TempDir.h"
#include "synth/SyntheticViews.h"

namespace {

SyntheticOptions TestOptions(int views, double noise) {
  SyntheticOptions options;
  options.views = views;
  options.grid = GridDescription{25.0, 25.0, 9, 6, 5, 5};
  options.camera.fx = 810.0;
  options.camera.fy = 790.0;
  options.camera.cx = 322.0;
  options.camera.cy = 236.0;
  options.camera.coefficients[0] = -0.21;
  options.camera.coefficients[1] = 0.08;
  options.camera.coefficients[2] = 0.0012;
  options.camera.coefficients[3] = -0.0007;
  options.pointNoise = noise;
  options.renderImages = false;
  options.seed = 7;
  return options;
}

// Sum of squared residuals of a finished run over the views that took part.
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

// OpenCV's sum of squared residuals with k1 k2 p1 p2 free (k3 fixed at 0).
double OpenCvSumOfSquares(const SyntheticRig& rig, cv::Mat& K, cv::Mat& distortion) {
  std::vector<std::vector<cv::Point3f>> object;
  std::vector<std::vector<cv::Point2f>> image;
  const std::vector<ObjectPoint> grid = MakeGridObjectPoints(rig.grid, 1);
  size_t total = 0;
  for (const PointList& view : rig.cameras[0].points) {
    object.emplace_back();
    image.emplace_back();
    for (size_t k = 0; k < view.size(); ++k) {
      object.back().emplace_back(static_cast<float>(grid[k].X), static_cast<float>(grid[k].Y), 0.f);
      image.back().emplace_back(static_cast<float>(view[k].x), static_cast<float>(view[k].y));
    }
    total += view.size();
  }
  std::vector<cv::Mat> r, t;
  const double rms = cv::calibrateCamera(object, image, cv::Size(rig.cameras[0].camera.width, rig.cameras[0].camera.height),
                                         K, distortion, r, t, cv::CALIB_FIX_K3);
  return rms * rms * static_cast<double>(total);
}

void ExpectRecovered(const CameraParameters& found, const SyntheticCamera& truth, double relative, double absolute) {
  EXPECT_NEAR(found.fx(), truth.fx, relative * truth.fx);
  EXPECT_NEAR(found.fy(), truth.fy, relative * truth.fy);
  EXPECT_NEAR(found.cx(), truth.cx, relative * truth.cx);
  EXPECT_NEAR(found.cy(), truth.cy, relative * truth.cy);
  EXPECT_NEAR(found.distortion[0], truth.coefficients[0], absolute);
  EXPECT_NEAR(found.distortion[1], truth.coefficients[1], absolute);
  EXPECT_NEAR(found.distortion[2], truth.coefficients[2], absolute);
  EXPECT_NEAR(found.distortion[3], truth.coefficients[3], absolute);
}

// Points the run's output at a scratch folder for the test's lifetime.
class ScratchOutput {
 public:
  ScratchOutput() { ::setenv("LENTORA_OUTPUT_DIR", folder_.Path().c_str(), 1); }
  ~ScratchOutput() { ::unsetenv("LENTORA_OUTPUT_DIR"); }
  std::filesystem::path File(const std::string& name) const { return folder_.Path() / name; }

 private:
  TempDir folder_;
};

std::vector<std::string> ReadLines(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace

TEST(CalibrationRun, FieldOfViewUsesTheWorkbenchDegreeFactor) {
  CalibrationProblem problem;
  problem.refined.K = {800, 0, 319.5, 0, 600, 239.5, 0, 0, 1};
  problem.imageWidth = 640;
  problem.imageHeight = 480;
  double fovX = 0, fovY = 0;
  problem.GetFieldOfView(fovX, fovY);
  EXPECT_DOUBLE_EQ(fovX, 2.0 * std::atan(320.0 / 800.0) * 57.29577952383886);
  EXPECT_NEAR(fovX, 43.6028, 1e-4);
  EXPECT_DOUBLE_EQ(fovY, 2.0 * std::atan(240.0 / 600.0) * 57.29577952383886);
}

TEST(CalibrationRun, PackAndUnpackMirrorEachOtherAndKeepTheOtherRecordFields) {
  const SyntheticRig rig = MakeSyntheticRig(TestOptions(5, 0.0));
  CalibrationProblem problem;
  problem.LoadPoints(rig.cameras[0].points, rig.grid);
  for (int v = 0; v < 5; ++v) {
    std::copy(rig.cameras[0].poses[v].R.begin(), rig.cameras[0].poses[v].R.end(), problem.rotationMatrices.begin() + 9 * v);
    std::copy(rig.cameras[0].poses[v].t.begin(), rig.cameras[0].poses[v].t.end(), problem.translations.begin() + 3 * v);
  }
  vnl_vector<double> x;
  problem.PackParameters(x, rig.cameras[0].camera.ToParameters(), problem.rotationMatrices.data(), problem.translations.data());
  ASSERT_EQ(x.size(), 38u);
  EXPECT_DOUBLE_EQ(x[0], 810.0);
  EXPECT_DOUBLE_EQ(x[3], 236.0);
  EXPECT_DOUBLE_EQ(x[4], -0.21);
  for (int i = 0; i < 3; ++i) {
    EXPECT_NEAR(x[8 + 3 * 2 + i], rig.cameras[0].poses[2].r[i], 1e-12);
    EXPECT_DOUBLE_EQ(x[8 + 15 + 3 * 4 + i], rig.cameras[0].poses[4].t[i]);
  }

  CameraParameters record;
  record.K[1] = 42.0;  // not part of the vector: must survive
  record.T = {1, 2, 3};
  std::vector<double> R(45), t(15), r(15);
  problem.UnpackParameters(x, record, R.data(), t.data(), r.data());
  EXPECT_DOUBLE_EQ(record.K[1], 42.0);
  EXPECT_DOUBLE_EQ(record.T[2], 3.0);
  EXPECT_DOUBLE_EQ(record.fy(), 790.0);
  EXPECT_DOUBLE_EQ(record.distortion[3], -0.0007);
  for (int i = 0; i < 45; ++i) EXPECT_NEAR(R[i], problem.rotationMatrices[i], 1e-12);
  for (int i = 0; i < 15; ++i) EXPECT_DOUBLE_EQ(r[i], x[8 + i]);
}

TEST(CalibrationRun, ResidualsVanishAtTheTruthAndFollowViewThenPointOrder) {
  const SyntheticRig rig = MakeSyntheticRig(TestOptions(5, 0.0));
  std::vector<PointList> lists = rig.cameras[0].points;
  lists[3][7].x += 0.5;  // one observation off by half a pixel
  CalibrationProblem problem;
  problem.LoadPoints(lists, rig.grid);
  std::vector<double> R, t;
  for (const SyntheticPose& pose : rig.cameras[0].poses) {
    R.insert(R.end(), pose.R.begin(), pose.R.end());
    t.insert(t.end(), pose.t.begin(), pose.t.end());
  }
  vnl_vector<double> x, residuals(2 * problem.totalPoints);
  problem.PackParameters(x, rig.cameras[0].camera.ToParameters(), R.data(), t.data());
  problem.f(x, residuals);
  const size_t shifted = 2 * (3 * 54 + 7);
  for (size_t i = 0; i < residuals.size(); ++i) EXPECT_NEAR(residuals[i], i == shifted ? 0.5 : 0.0, 1e-8) << i;
  // f leaves the poses of the vector it evaluated in the object's arrays.
  for (size_t i = 0; i < R.size(); ++i) EXPECT_NEAR(problem.rotationMatrices[i], R[i], 1e-12);
}

TEST(CalibrationRun, PointInTheCameraPlaneIsProjectedWithoutDivision) {
  CameraParameters camera;
  camera.K = {100, 0, 10, 0, 100, 20, 0, 0, 1};
  const double R[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  const double t[3] = {0.5, 0.25, 0.0};
  const ImagePoint p = ProjectGridPoint(ObjectPoint{0, 0, 0}, R, t, camera);
  EXPECT_DOUBLE_EQ(p.x, 10 + 100 * 0.5);
  EXPECT_DOUBLE_EQ(p.y, 20 + 100 * 0.25);
}

TEST(CalibrationRun, IncompleteViewsAreLeftOutAndTheFiveViewRuleCountsCompleteOnes) {
  const SyntheticRig rig = MakeSyntheticRig(TestOptions(6, 0.0));
  std::vector<PointList> lists = rig.cameras[0].points;
  lists[1].resize(10);
  lists[4].clear();
  CalibrationProblem problem;
  problem.LoadPoints(lists, rig.grid);
  EXPECT_EQ(problem.viewCount, 4);
  EXPECT_EQ(problem.usedViews, (std::vector<int>{0, 2, 3, 5}));
  EXPECT_DOUBLE_EQ(problem.imagePoints[54].x, lists[2][0].x);

  problem.refined.K[0] = 123.0;
  ScratchOutput output;
  EXPECT_FALSE(problem.Calibrate(lists, rig.grid, 640, 480));
  // The refusal says which views could not take part and why.
  EXPECT_EQ(problem.refusal, std::string(kTooFewViewsMessage) +
                                 "\n4 of 6 views can take part:\nview 2: incomplete\nview 5: incomplete");
  EXPECT_DOUBLE_EQ(problem.refined.K[0], 123.0);
  EXPECT_FALSE(std::filesystem::exists(output.File("debbg.txt")));
  // Still one pose block per store view, as the extrinsic file expects.
  EXPECT_EQ(problem.viewCount, 6);
  for (int v : {2, 4}) {  // a view that was complete and one that was not
    EXPECT_DOUBLE_EQ(problem.GetRotationMatrix(v)[0], 1.0);
    EXPECT_DOUBLE_EQ(problem.GetRotationMatrix(v)[4], 1.0);
    EXPECT_DOUBLE_EQ(problem.GetRotationMatrix(v)[8], 1.0);
  }
}

TEST(CalibrationRun, DisabledImagelessAndStaleViewsStayOutWithTheirReasons) {
  ScratchOutput output;
  const SyntheticRig rig = MakeSyntheticRig(TestOptions(10, 0.0));
  std::vector<RunView> views = RunViewsFromPoints(rig.cameras[0].points);
  views[1].enabled = false;
  views[3].hasImage = false;
  views[3].enabled = false;  // a view without its image is also disabled: the image is the reason given
  // Points marked on a larger grid: the first nx*ny of them belong to other corners.
  GridDescription larger = rig.grid;
  larger.ny += 1;
  views[5].points = ProjectGrid(rig.cameras[0].camera, rig.cameras[0].poses[5], larger);
  views[8].points.resize(20);

  CalibrationProblem problem;
  ASSERT_TRUE(problem.Calibrate(views, rig.grid, 640, 480)) << problem.refusal;
  EXPECT_EQ(problem.usedViews, (std::vector<int>{0, 2, 4, 6, 7, 9}));
  ASSERT_EQ(problem.skippedViews.size(), 4u);
  const std::pair<int, std::string> expected[4] = {{1, "disabled"}, {3, "no image"}, {5, "incomplete"}, {8, "incomplete"}};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(problem.skippedViews[i].view, expected[i].first);
    EXPECT_EQ(SkipReasonText(problem.skippedViews[i].reason), expected[i].second);
  }
  ExpectRecovered(problem.GetParameters(), rig.cameras[0].camera, 1e-3, 1e-3);
  EXPECT_EQ(problem.viewCount, 10);
  EXPECT_DOUBLE_EQ(problem.GetTranslation(5)[2], 0.0);  // left out: no pose
  EXPECT_NEAR(problem.GetTranslation(6)[2], rig.cameras[0].poses[6].t[2], 1.0);

  // The five-view minimum counts the views that take part, not the store's views.
  views[0].enabled = false;
  views[2].enabled = false;
  problem.refined.K[0] = 321.0;
  EXPECT_FALSE(problem.Calibrate(views, rig.grid, 640, 480));
  EXPECT_EQ(problem.refusal.rfind(std::string(kTooFewViewsMessage) + "\n4 of 10 views can take part:\nview 1: disabled\n", 0), 0u)
      << problem.refusal;
  EXPECT_NE(problem.refusal.find("view 6: incomplete"), std::string::npos);
  EXPECT_DOUBLE_EQ(problem.refined.K[0], 321.0);
  EXPECT_EQ(problem.skippedViews.size(), 6u);
}

// A grid transposed after marking keeps every list's length, so only the fit
// of the points to the grid tells: no view takes part, and the refusal names
// the grid the points were marked for. One wrong list among good ones is left
// out on its own.
TEST(CalibrationRun, PointsThatDoNotFitTheGridTakeNoPartAndATransposedGridIsNamed) {
  ScratchOutput output;
  const SyntheticRig rig = MakeSyntheticRig(TestOptions(7, 0.05));
  CalibrationProblem problem;
  ASSERT_TRUE(problem.Calibrate(rig.cameras[0].points, rig.grid, 640, 480)) << problem.refusal;
  const CameraParameters good = problem.GetParameters();

  GridDescription transposed = rig.grid;
  std::swap(transposed.nx, transposed.ny);
  EXPECT_FALSE(problem.Calibrate(rig.cameras[0].points, transposed, 640, 480));
  EXPECT_TRUE(problem.usedViews.empty());
  ASSERT_EQ(problem.skippedViews.size(), 7u);
  for (const SkippedView& skipped : problem.skippedViews)
    EXPECT_EQ(std::string(SkipReasonText(skipped.reason)), "points do not fit the grid");
  EXPECT_NE(problem.refusal.find("view 6: points do not fit the grid"), std::string::npos) << problem.refusal;
  EXPECT_NE(problem.refusal.find("The points fit a 9x6 grid; the camera's grid is 6x9."), std::string::npos)
      << problem.refusal;
  EXPECT_DOUBLE_EQ(problem.GetParameters().fx(), good.fx()) << "the last good result stays";

  // One list from another view, one with two corners swapped.
  std::vector<PointList> lists = rig.cameras[0].points;
  std::reverse(lists[2].begin(), lists[2].begin() + 9);
  std::swap(lists[5][10], lists[5][30]);
  ASSERT_TRUE(problem.Calibrate(lists, rig.grid, 640, 480)) << problem.refusal;
  EXPECT_EQ(problem.usedViews, (std::vector<int>{0, 1, 3, 4, 6}));
  ASSERT_EQ(problem.skippedViews.size(), 2u);
  EXPECT_EQ(problem.skippedViews[0].reason, SkipReason::DoesNotFit);
  EXPECT_EQ(problem.skippedViews[1].view, 5);
  EXPECT_NEAR(problem.GetParameters().fx(), 810.0, 1.0);
}

// Views that each fit the grid may still give no camera a lens can have; such
// a run fails with the reason and keeps the last good result.
TEST(CalibrationRun, UnphysicalCamerasAreRefusedWithTheirReason) {
  ScratchOutput output;
  CalibrationProblem problem;
  const SyntheticRig good = MakeSyntheticRig(TestOptions(6, 0.0));
  ASSERT_TRUE(problem.Calibrate(good.cameras[0].points, good.grid, 640, 480));
  const double goodFx = problem.GetParameters().fx();

  SyntheticOptions stretched = TestOptions(6, 0.0);
  stretched.camera.fy = 2.0 * stretched.camera.fx;  // pixels twice as tall as wide
  const SyntheticRig rig = MakeSyntheticRig(stretched);
  EXPECT_FALSE(problem.Calibrate(rig.cameras[0].points, rig.grid, 640, 480));
  EXPECT_NE(problem.refusal.find("no physical camera: fy/fx is 2"), std::string::npos) << problem.refusal;
  EXPECT_FALSE(problem.converged);
  EXPECT_DOUBLE_EQ(problem.GetParameters().fx(), goodFx);
  for (double value : problem.translations) EXPECT_EQ(value, 0.0) << "no pose of a refused run is kept";
}

TEST(PhysicalCamera, EachLimitIsNamed) {
  CameraParameters camera;
  camera.K = {800, 0, 320, 0, 800, 240, 0, 0, 1};
  EXPECT_EQ(UnphysicalCameraReason(camera, 640, 480, 0.3), "");
  const auto reason = [&](auto change, double error = 0.3) {
    CameraParameters changed = camera;
    change(changed);
    return UnphysicalCameraReason(changed, 640, 480, error);
  };
  EXPECT_NE(reason([](CameraParameters& c) { c.K[4] = -5; }).find("must be positive"), std::string::npos);
  EXPECT_NE(reason([](CameraParameters& c) { c.K[0] = 0; }).find("must be positive"), std::string::npos);
  EXPECT_NE(reason([](CameraParameters& c) { c.K[4] = 0.61; }).find("fy/fx"), std::string::npos);
  EXPECT_EQ(reason([](CameraParameters& c) { c.K[4] = 990; }), "") << "within 25%";
  EXPECT_NE(reason([](CameraParameters& c) { c.K[4] = 1010; }).find("fy/fx is 1.262"), std::string::npos);
  EXPECT_EQ(reason([](CameraParameters& c) { c.K[2] = -150; }), "") << "a quarter of the width outside is allowed";
  EXPECT_NE(reason([](CameraParameters& c) { c.K[2] = -170; }).find("principal point"), std::string::npos);
  EXPECT_NE(reason([](CameraParameters& c) { c.K[5] = 610; }).find("640x480"), std::string::npos);
  EXPECT_EQ(reason([](CameraParameters&) {}, 9.9), "");
  EXPECT_NE(reason([](CameraParameters&) {}, 113.8).find("mean reprojection error is 113.8 px"), std::string::npos);
  EXPECT_NE(reason([](CameraParameters& c) { c.K[0] = std::nan(""); }).find("must be positive"), std::string::npos);
}

TEST(CalibrationRun, NonFiniteObservationsAreReportedAsAFailedRun) {
  ScratchOutput output;
  const SyntheticRig rig = MakeSyntheticRig(TestOptions(6, 0.0));
  CalibrationProblem problem;
  ASSERT_TRUE(problem.Calibrate(rig.cameras[0].points, rig.grid, 640, 480));
  const CameraParameters good = problem.GetParameters();
  std::vector<PointList> lists = rig.cameras[0].points;
  lists[2][7].x = std::numeric_limits<double>::infinity();
  lists[4][3].y = std::numeric_limits<double>::quiet_NaN();
  EXPECT_FALSE(problem.Calibrate(lists, rig.grid, 640, 480));
  EXPECT_FALSE(problem.refusal.empty());
  EXPECT_FALSE(problem.converged);
  EXPECT_DOUBLE_EQ(problem.GetParameters().fx(), good.fx()) << "the last good result stays";
  for (double value : problem.translations) EXPECT_TRUE(std::isfinite(value));
  for (double value : problem.rotationMatrices) EXPECT_TRUE(std::isfinite(value));
}

TEST(CalibrationRun, GridsWithoutRowsOrSpacingAreRefused) {
  const SyntheticRig rig = MakeSyntheticRig(TestOptions(5, 0.0));
  CalibrationProblem problem;
  GridDescription flat = rig.grid;
  flat.ny = 1;
  EXPECT_FALSE(problem.Calibrate(rig.cameras[0].points, flat, 640, 480));
  EXPECT_FALSE(problem.refusal.empty());
  GridDescription unspaced = rig.grid;
  unspaced.dX = 0.0;
  EXPECT_FALSE(problem.Calibrate(rig.cameras[0].points, unspaced, 640, 480));
}

TEST(CalibrationRun, PointDumpListsEveryObjectPointInStreamFormat) {
  ScratchOutput output;
  CalibrationProblem problem;
  const GridDescription grid{10.0, 10.0, 3, 2, 3, 3};
  problem.Allocate(2, grid);  // two views' blocks, as a two-view run lays them out
  problem.WritePointDump();
  const std::vector<std::string> expected = {"0 10 0", "10 10 0", "20 10 0", "0 0 0", "10 0 0", "20 0 0"};
  const std::vector<std::string> lines = ReadLines(output.File("debbg.txt"));
  ASSERT_EQ(lines.size(), 12u);
  for (size_t i = 0; i < 12; ++i) EXPECT_EQ(lines[i], expected[i % 6]);
}

TEST(CalibrationRun, NoiseFreeViewsRecoverTheCamera) {
  ScratchOutput output;
  const SyntheticRig rig = MakeSyntheticRig(TestOptions(10, 0.0));
  CalibrationProblem problem;
  ASSERT_TRUE(problem.Calibrate(rig.cameras[0].points, rig.grid, 640, 480));
  EXPECT_TRUE(problem.converged);
  EXPECT_TRUE(problem.refusal.empty());
  ExpectRecovered(problem.GetParameters(), rig.cameras[0].camera, 1e-3, 1e-3);
  EXPECT_EQ(problem.GetParameters().width, 640);
  double meanX = 1, meanY = 1, meanDistance = 1;
  problem.GetReprojectionError(meanX, meanY, meanDistance);
  EXPECT_LT(meanDistance, 1e-3);
  for (int i = 0; i < 3; ++i) {
    EXPECT_NEAR(problem.GetTranslation(6)[i], rig.cameras[0].poses[6].t[i], 1e-3 * 1000);
    EXPECT_NEAR(problem.GetRotationVector(6)[i], rig.cameras[0].poses[6].r[i], 1e-3);
  }
  EXPECT_EQ(ReadLines(output.File("debbg.txt")).size(), 540u);
}

TEST(CalibrationRun, NoisyViewsReachOpenCvsResidualAndLeaveGapsAsIdentityPoses) {
  ScratchOutput output;
  const SyntheticRig rig = MakeSyntheticRig(TestOptions(12, 0.2));
  cv::Mat K, distortion;
  const double reference = OpenCvSumOfSquares(rig, K, distortion);

  std::vector<PointList> lists = rig.cameras[0].points;
  lists.insert(lists.begin() + 4, PointList(3));  // an unmarked view in the middle
  CalibrationProblem problem;
  ASSERT_TRUE(problem.Calibrate(lists, rig.grid, 640, 480));
  EXPECT_TRUE(problem.converged);
  EXPECT_EQ(problem.viewCount, 13);
  EXPECT_EQ(problem.usedViews.size(), 12u);
  EXPECT_EQ(problem.usedViews[4], 5);
  EXPECT_DOUBLE_EQ(problem.GetTranslation(4)[2], 0.0);
  EXPECT_DOUBLE_EQ(problem.GetRotationMatrix(4)[8], 1.0);

  const double ours = SumOfSquares(problem);
  EXPECT_LT(std::fabs(ours - reference), 0.005 * reference) << "ours " << ours << " OpenCV " << reference;
  // The same minimum as OpenCV's, and within the spread 0.2 px of noise allows.
  const CameraParameters found = problem.GetParameters();
  const double referenceK[4] = {K.at<double>(0, 0), K.at<double>(1, 1), K.at<double>(0, 2), K.at<double>(1, 2)};
  const double oursK[4] = {found.fx(), found.fy(), found.cx(), found.cy()};
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(oursK[i], referenceK[i], 0.2) << i;
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(found.distortion[i], distortion.at<double>(i), 2e-3) << i;
  EXPECT_NEAR(found.fx(), 810.0, 4.0);
  EXPECT_NEAR(found.cx(), 322.0, 6.0);
  EXPECT_NEAR(found.distortion[0], -0.21, 0.03);

  // Mean distance over the 12 complete views only, consistent with the sum of squares.
  double meanX = 0, meanY = 0, meanDistance = 0;
  problem.GetReprojectionError(meanX, meanY, meanDistance);
  const double rms = std::sqrt(ours / (12 * 54));
  EXPECT_GT(meanDistance, 0.5 * rms);
  EXPECT_LT(meanDistance, rms);
}

TEST(CalibrationRun, FailedInitialCalibrationRefusesTheRunInsteadOfRefiningGarbage) {
  // Five views of a board parallel to the image plane: the focal length cannot be told from distance.
  const SyntheticCamera camera;
  const GridDescription grid{25.0, 25.0, 9, 6, 5, 5};
  std::vector<PointList> lists;
  for (int v = 0; v < 5; ++v) {
    SyntheticPose pose = PoseFromVectors({3.14159265358979, 0.0, 0.0}, {-100.0 + 10 * v, 60.0 - 5 * v, 600.0 + 40 * v});
    lists.push_back(ProjectGrid(camera, pose, grid));
  }
  ScratchOutput output;
  CalibrationProblem problem;
  EXPECT_FALSE(problem.Calibrate(lists, grid, 640, 480));
  EXPECT_NE(problem.refusal.find("initial calibration failed"), std::string::npos) << problem.refusal;
  EXPECT_FALSE(problem.converged);
  EXPECT_DOUBLE_EQ(problem.refined.K[0], 0.0);
}

TEST(CalibrationRun, AFailedRunAfterAGoodOneDoesNotReuseTheOldCameraMatrix) {
  ScratchOutput output;
  const SyntheticRig rig = MakeSyntheticRig(TestOptions(6, 0.0));
  CalibrationProblem problem;
  ASSERT_TRUE(problem.Calibrate(rig.cameras[0].points, rig.grid, 640, 480));
  std::vector<PointList> parallel;
  for (int v = 0; v < 5; ++v)
    parallel.push_back(ProjectGrid(SyntheticCamera{}, PoseFromVectors({3.14159265358979, 0, 0}, {-80.0 + 9 * v, 50, 700.0 + 30 * v}),
                                   rig.grid));
  EXPECT_FALSE(problem.Calibrate(parallel, rig.grid, 640, 480));
  EXPECT_NEAR(problem.refined.fx(), 810.0, 0.1);  // the last good result stays
}

TEST(CalibrationProblem, AllocateSizesEveryArray) {
  CalibrationProblem problem;
  EXPECT_EQ(problem.viewCount, 0);
  EXPECT_EQ(problem.options.xTolerance, 1e-4);
  GridDescription grid;
  grid.nx = 7;
  grid.ny = 6;
  grid.dX = grid.dY = 1;
  problem.Allocate(5, grid);
  EXPECT_EQ(problem.pointsPerView, 42);
  EXPECT_EQ(problem.totalPoints, 210);
  EXPECT_EQ(problem.pointCounts.size(), 5u);
  EXPECT_EQ(problem.objectPoints.size(), 210u);
  EXPECT_EQ(problem.rotationMatrices.size(), 45u);
  EXPECT_EQ(problem.objectPoints[42].Y, 5.0) << "second view repeats the block";
  problem.Allocate(-3, grid);
  EXPECT_EQ(problem.viewCount, 0) << "a negative count allocates nothing";
}

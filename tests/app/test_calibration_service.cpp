// The calibration operations shared by the workbench and the command-line
// tool, on a real store filled with synthetic views of known cameras.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <limits>

#include <opencv2/calib3d.hpp>

#include "app/CalibrationReport.h"
#include "app/CalibrationService.h"
#include "calib/GridFit.h"
#include "app/JsonWriter.h"
#include "app/RunDiagnostics.h"
#include "app/WorkspaceState.h"
#include "calib/CalibrationProblem.h"
#include "support/SyntheticStore.h"
#include "synth/SyntheticViews.h"
#include "core/CalibrationData.h"

namespace {

// Exact points of undistorted cameras converge in one iteration; `distorted`
// gives the refinement some iterations to report and cancel.
SyntheticRig StereoRig(int views, bool distorted = false) {
  SyntheticOptions options;
  options.views = views;
  options.renderImages = false;
  options.stereo = true;
  options.stereoRotation = {0.0, 0.05, 0.0};
  options.stereoTranslation = {-120.0, 0.0, 0.0};
  options.secondCamera.fx = 780.0;
  options.secondCamera.fy = 785.0;
  if (distorted) {
    for (SyntheticCamera* camera : {&options.camera, &options.secondCamera}) {
      camera->coefficients[0] = -0.25;
      camera->coefficients[1] = 0.1;
      camera->coefficients[2] = 0.002;
    }
  }
  return MakeSyntheticRig(options);
}

class CalibrationServiceTest : public ::testing::Test {
 protected:
  void FillRig(int views0, int views1) {
    store.AddCamera();
    store.AddCamera();
    ASSERT_TRUE(AddSyntheticViews(store, 0, rig.cameras[0], rig.grid, views0));
    ASSERT_TRUE(AddSyntheticViews(store, 1, rig.cameras[1], rig.grid, views1));
  }
  SyntheticRig rig = StereoRig(8);
  CCalibrationData store;
};

TEST_F(CalibrationServiceTest, CameraRunStoresTheRefinedParameters) {
  FillRig(8, 8);
  const CameraCalibrationResult run = CalibrateCamera(store, 1);
  ASSERT_TRUE(run.ok) << run.message;
  const CameraParameters stored = store.GetCameraParameters(1);
  EXPECT_NEAR(stored.fx(), 780.0, 0.5);
  EXPECT_NEAR(stored.fy(), 785.0, 0.5);
  EXPECT_EQ(stored.K, store.GetCalibrationProblem(1).GetParameters().K);
}

TEST_F(CalibrationServiceTest, RefusedOrMissingCamerasReportAndLeaveTheStoreAlone) {
  FillRig(4, 8);
  const CameraParameters before = store.GetCameraParameters(0);
  const CameraCalibrationResult tooFew = CalibrateCamera(store, 0);
  EXPECT_FALSE(tooFew.ok);
  EXPECT_EQ(tooFew.message, kTooFewViewsMessage);
  EXPECT_EQ(store.GetCameraParameters(0).K, before.K);
  const CameraCalibrationResult missing = CalibrateCamera(store, 7);
  EXPECT_FALSE(missing.ok);
  EXPECT_EQ(missing.message, "no camera 8") << "index 7, the eighth camera";
  EXPECT_EQ(TooFewViewsToCalibrate(store, 0), kTooFewViewsMessage) << "the panel refuses before the run";
  EXPECT_EQ(TooFewViewsToCalibrate(store, 1), "");
}

// The residual window shows the last run: one residual per corner of every
// view used, each view's error under its store index, the run's image size;
// nothing for a camera without a run.
TEST_F(CalibrationServiceTest, LastRunResidualsCoverEveryCornerOfTheViewsUsed) {
  FillRig(7, 6);
  store.DisableView(0, 2);
  EXPECT_EQ(LastRunResiduals(store, 0).imageWidth, 0);
  EXPECT_TRUE(LastRunResiduals(store, 0).corners.empty());
  ASSERT_TRUE(CalibrateCamera(store, 0).ok);
  const RunResiduals residuals = LastRunResiduals(store, 0);
  EXPECT_EQ(residuals.imageWidth, 640);
  EXPECT_EQ(residuals.imageHeight, 480);
  const size_t corners = static_cast<size_t>(rig.grid.nx * rig.grid.ny);
  EXPECT_EQ(residuals.corners.size(), 6 * corners);
  std::vector<int> views;
  for (const ViewError& error : residuals.views) views.push_back(error.view);
  EXPECT_EQ(views, (std::vector<int>{0, 1, 3, 4, 5, 6})) << "the disabled view takes no part";
  EXPECT_TRUE(LastRunResiduals(store, 1).corners.empty()) << "camera 1 was never calibrated";
}

// A grid changed after marking (here transposed, so every list keeps its
// length) leaves no view to calibrate from; the run is refused with the views
// and the likely cause, and the camera keeps its last good run.
TEST_F(CalibrationServiceTest, ATransposedGridIsRefusedAndTheLastGoodRunStays) {
  FillRig(8, 8);
  ASSERT_TRUE(CalibrateCamera(store, 0).ok);
  const CameraParameters good = store.GetCameraParameters(0);
  const std::string goodText = CameraSummaryText(store, 0);
  const double goodPose = store.GetCalibrationProblem(0).GetTranslation(3)[2];
  GridDescription transposed = rig.grid;
  std::swap(transposed.nx, transposed.ny);
  store.SetGrid(0, transposed);
  const CameraCalibrationResult run = CalibrateCamera(store, 0);
  EXPECT_FALSE(run.ok);
  EXPECT_NE(run.message.find("0 of 8 views can take part"), std::string::npos) << run.message;
  EXPECT_NE(run.message.find("view 7: marked for another grid"), std::string::npos) << run.message;
  EXPECT_NE(run.message.find("The points fit a " + GridSizeText(rig.grid.nx, rig.grid.ny) + " grid"), std::string::npos)
      << run.message;
  EXPECT_EQ(store.GetCameraParameters(0).K, good.K);
  EXPECT_EQ(CameraSummaryText(store, 0), goodText);
  EXPECT_EQ(store.GetCalibrationProblem(0).GetTranslation(3)[2], goodPose);
}

// The rig stores each camera's own run, exactly what calibrating the cameras
// one by one stores, so the workbench and `lentora stereo` agree.
TEST_F(CalibrationServiceTest, RigStoresTheSameIntrinsicsAsSingleRuns) {
  FillRig(8, 8);
  CCalibrationData single;
  single.AddCamera();
  single.AddCamera();
  ASSERT_TRUE(AddSyntheticViews(single, 0, rig.cameras[0], rig.grid, 8));
  ASSERT_TRUE(AddSyntheticViews(single, 1, rig.cameras[1], rig.grid, 8));
  ASSERT_TRUE(CalibrateCamera(single, 0).ok);
  ASSERT_TRUE(CalibrateCamera(single, 1).ok);

  const StereoRigResult result = CalibrateStereoRig(store);
  ASSERT_TRUE(result.ok) << result.message;
  for (int camera = 0; camera < 2; ++camera) {
    EXPECT_EQ(store.GetCameraParameters(camera).K, single.GetCameraParameters(camera).K);
    EXPECT_EQ(store.GetCameraParameters(camera).distortion, single.GetCameraParameters(camera).distortion);
  }
  EXPECT_NEAR(result.baseline, 120.0, 0.5);
  EXPECT_NEAR(result.rotationVector[1], 0.05, 1e-3);
  EXPECT_EQ(result.pairCount, 8);
  EXPECT_EQ(static_cast<int>(result.pairedViews.size()), 8);
  EXPECT_NEAR(result.second.fx(), 780.0, 0.5);
}

TEST_F(CalibrationServiceTest, RigRefusalsNameTheReason) {
  CCalibrationData one;
  one.AddCamera();
  EXPECT_EQ(CalibrateStereoRig(one).message, "a stereo rig needs two cameras; the workspace has 1");
  FillRig(8, 3);
  const StereoRigResult result = CalibrateStereoRig(store);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.message, std::string("camera 2: ") + kTooFewViewsMessage) << "cameras are numbered from 1";
}

TEST_F(CalibrationServiceTest, RigOfGridsInDifferentUnitsIsRefusedAndTheRigCarriesItsUnit) {
  FillRig(8, 8);
  GridDescription inches = store.GetGrid(1);
  inches.unit = LengthUnit::Inch;
  store.SetGrid(1, inches);
  const StereoRigResult refused = CalibrateStereoRig(store);
  EXPECT_FALSE(refused.ok);
  EXPECT_EQ(refused.message, "the cameras' square sizes are in different units (mm and in); give both grids one unit");
  GridDescription first = store.GetGrid(0);
  first.unit = LengthUnit::Inch;
  store.SetGrid(0, first);
  const StereoRigResult rig = CalibrateStereoRig(store);
  ASSERT_TRUE(rig.ok) << rig.message;
  EXPECT_EQ(rig.unit, LengthUnit::Inch);
  EXPECT_NE(StereoRigText(rig).find("\nbaseline 120.0000 in\n"), std::string::npos) << StereoRigText(rig);
}

TEST_F(CalibrationServiceTest, RigTextsAndJsonCarryTheRelativePose) {
  FillRig(8, 8);
  const StereoRigResult result = CalibrateStereoRig(store);
  ASSERT_TRUE(result.ok);
  const std::string entry = StereoRigText(result);
  EXPECT_EQ(entry.rfind("rotation 2.8648\u00b0 about (", 0), 0u) << entry;  // 0.05 rad
  EXPECT_NE(entry.find("\nbaseline 120.0000 mm\n"), std::string::npos) << entry;
  EXPECT_NE(entry.find("\nRMS error 0.0000 px, mean distance 0.0000 px"), std::string::npos) << entry;
  const std::string report = StereoReportText(store, result);
  EXPECT_EQ(report.rfind("Camera 1: 8 of 8 views used\nfx ", 0), 0u) << report;
  EXPECT_NE(report.find("\nCamera 2: 8 of 8 views used\nfx "), std::string::npos) << report;
  EXPECT_NE(report.find("Stereo rig between cameras 1 and 2 (8 view pairs)\nrotation "), std::string::npos) << report;
  JsonWriter json;
  WriteStereoJson(json, store, result);
  const std::string text = json.str();
  EXPECT_EQ(text.rfind("{\"first\":{\"camera\":0,", 0), 0u);
  EXPECT_NE(text.find("\"pairs\":[0,1,2,3,4,5,6,7]"), std::string::npos);
}

// The RMS error the texts show is the root mean square reprojection distance
// over every point of the views used, computed here with OpenCV's projection.
TEST_F(CalibrationServiceTest, CameraRmsErrorIsTheRootMeanSquareOverAllPoints) {
  store.AddCamera();
  const SyntheticRig noisy = StereoRig(8, true);
  ASSERT_TRUE(AddSyntheticViews(store, 0, noisy.cameras[0], noisy.grid, 8));
  cv::RNG random(7);
  for (int v = 0; v < 8; ++v)
    for (ImagePoint& p : *store.GetGridPoints(0, v)) {
      p.x += random.gaussian(0.3);
      p.y += random.gaussian(0.3);
    }
  ASSERT_TRUE(CalibrateCamera(store, 0).ok);
  const CalibrationProblem& problem = store.GetCalibrationProblem(0);
  const CameraParameters p = problem.GetParameters();
  const cv::Mat K(3, 3, CV_64F, const_cast<double*>(p.K.data()));
  const cv::Mat D = (cv::Mat_<double>(1, 4) << p.distortion[0], p.distortion[1], p.distortion[2], p.distortion[3]);
  std::vector<cv::Point3d> object;
  for (const ObjectPoint& o : MakeGridObjectPoints(noisy.grid, 1)) object.emplace_back(o.X, o.Y, o.Z);
  double squares = 0.0;
  size_t count = 0;
  for (int v : problem.usedViews) {
    std::vector<cv::Point2d> projected;
    cv::projectPoints(object, cv::Mat(3, 1, CV_64F, const_cast<double*>(problem.GetRotationVector(v))),
                      cv::Mat(3, 1, CV_64F, const_cast<double*>(problem.GetTranslation(v))), K, D, projected);
    const PointList& points = *store.GetGridPoints(0, v);
    for (size_t i = 0; i < projected.size(); ++i, ++count)
      squares += std::pow(projected[i].x - points[i].x, 2) + std::pow(projected[i].y - points[i].y, 2);
  }
  const double expected = std::sqrt(squares / static_cast<double>(count));
  EXPECT_NEAR(CameraRmsError(problem), expected, 1e-6 * expected);
  EXPECT_GT(expected, 0.3);  // two coordinates of 0.3 px noise each
  char line[80];
  std::snprintf(line, sizeof line, "\nRMS error %.4f px, mean distance ", expected);
  EXPECT_NE(CalibrationText(problem).find(line), std::string::npos) << CalibrationText(problem);
}

TEST_F(CalibrationServiceTest, ParameterFilesLoadIntoExistingCamerasOnly) {
  FillRig(8, 8);
  EXPECT_FALSE(LoadCameraParameters(store, 2, "/nonexistent/Camera_Intrinsic.txt"));
  EXPECT_FALSE(LoadCameraParameters(store, 0, "/nonexistent/Camera_Intrinsic.txt"));
  const std::string text = ParametersText(store.GetCameraParameters(0));
  EXPECT_EQ(text.rfind("fx ", 0), 0u);
}

TEST_F(CalibrationServiceTest, CameraSummaryShowsTheRunThenParametersThenNothing) {
  FillRig(8, 3);
  EXPECT_EQ(CameraSummaryText(store, 0), "Not calibrated.");
  ASSERT_TRUE(CalibrateCamera(store, 0).ok);
  EXPECT_EQ(CameraSummaryText(store, 0), CalibrationText(store.GetCalibrationProblem(0)));
  EXPECT_FALSE(CalibrateCamera(store, 1).ok);
  EXPECT_EQ(CameraSummaryText(store, 1), "Not calibrated.");  // a refused run shows no results
  // Views changed after the run: the stored parameters remain.
  ASSERT_TRUE(store.RemoveView(0, 7));
  EXPECT_EQ(CameraSummaryText(store, 0), ParametersText(store.GetCameraParameters(0)));
  // Parameters loaded after a run are what the text shows, not the run's results.
  ASSERT_TRUE(CalibrateCamera(store, 0).ok);
  CameraParameters loaded = store.GetCameraParameters(0);
  loaded.K[0] += 10.0;
  store.SetCameraParameters(0, loaded);
  EXPECT_EQ(CameraSummaryText(store, 0), ParametersText(loaded));
}

TEST_F(CalibrationServiceTest, CameraSummaryNamesTheViewsARunLeftOut) {
  FillRig(8, 3);
  store.DisableView(0, 2);
  ASSERT_TRUE(CalibrateCamera(store, 0).ok);
  const CalibrationProblem& problem = store.GetCalibrationProblem(0);
  ASSERT_FALSE(problem.skippedViews.empty());
  const std::string text = CameraSummaryText(store, 0);
  EXPECT_EQ(text, CalibrationText(problem) + "\n" + ViewUsageText(problem));
  EXPECT_NE(text.find("disabled"), std::string::npos) << text;
}

TEST_F(CalibrationServiceTest, FingerprintChangesWithEverythingASaveWrites) {
  FillRig(3, 3);
  const uint64_t start = WorkspaceFingerprint(store);
  EXPECT_EQ(WorkspaceFingerprint(store), start);
  const auto changes = [&](const std::function<void()>& change) {
    const uint64_t before = WorkspaceFingerprint(store);
    change();
    return WorkspaceFingerprint(store) != before;
  };
  EXPECT_TRUE(changes([&] { store.DisableView(0, 1); }));
  EXPECT_TRUE(changes([&] { (*store.GetGridPoints(1, 2))[4].x += 0.25; }));
  EXPECT_TRUE(changes([&] { store.SetViewHasPoints(1, 0, 0); }));
  EXPECT_TRUE(changes([&] {
    GridDescription grid = store.GetGrid(0);
    grid.dX = 31.0;
    store.SetGrid(0, grid);
  }));
  EXPECT_TRUE(changes([&] {
    GridDescription grid = store.GetGrid(0);
    grid.unit = LengthUnit::Inch;  // saved with the workspace, so a change to save
    store.SetGrid(0, grid);
  }));
  EXPECT_TRUE(changes([&] {
    CameraParameters parameters = store.GetCameraParameters(1);
    parameters.K[0] = 812.5;
    store.SetCameraParameters(1, parameters);
  }));
  EXPECT_TRUE(changes([&] {
    CameraParameters parameters = store.GetCameraParameters(1);
    parameters.model = LensModel::Fisheye;
    store.SetCameraParameters(1, parameters);
  }));
  EXPECT_TRUE(changes([&] {
    CalibrationSettings settings = store.GetCalibrationSettings(0);
    settings.fixedCoefficients = 0b100;  // kept in the model file
    store.SetCalibrationSettings(0, settings);
  }));
  EXPECT_TRUE(changes([&] { store.AddViewFromFrame(0, cv::Mat(480, 640, CV_8UC3)); }));
  EXPECT_TRUE(changes([&] { store.RemoveView(0, 0); }));
  EXPECT_TRUE(changes([&] { store.AddCamera(); }));
  EXPECT_FALSE(changes([&] { store.GetViewCount(0); }));
}

TEST_F(CalibrationServiceTest, ProgressReportsEveryIterationWithTheCurrentError) {
  rig = StereoRig(8, true);
  FillRig(8, 8);
  std::vector<std::pair<int, double>> reports;
  CalibrationRunOptions options;
  options.progress = [&reports](int iteration, double error) { reports.emplace_back(iteration, error); };
  ASSERT_TRUE(CalibrateCamera(store, 0, options).ok);
  ASSERT_GE(reports.size(), 2u);
  for (size_t i = 0; i < reports.size(); ++i) EXPECT_EQ(reports[i].first, static_cast<int>(i) + 1);
  // The closed-form start has no distortion, so the first error is the largest.
  EXPECT_GT(reports.front().second, reports.back().second);
  EXPECT_LT(reports.back().second, 1e-3);  // exact points
  ASSERT_TRUE(CalibrateStereoRig(store, options).ok);
  const auto starts = std::count_if(reports.begin(), reports.end(), [](const auto& r) { return r.first == 1; });
  EXPECT_EQ(starts, 4) << "the camera, then both cameras and the rig";
}

TEST_F(CalibrationServiceTest, CancelledRunsChangeNothingInTheStore) {
  rig = StereoRig(8, true);
  FillRig(8, 8);
  ASSERT_TRUE(CalibrateCamera(store, 1).ok);
  const CameraParameters before0 = store.GetCameraParameters(0), before1 = store.GetCameraParameters(1);
  const std::vector<double> poses1 = store.GetCalibrationProblem(1).translations;
  std::atomic<bool> cancel{false};
  CalibrationRunOptions options;
  options.cancel = &cancel;
  // Cancelled from inside a refinement, as the workbench's Cancel does it:
  // at the first iteration of the given refinement (1, 2: the cameras, 3: the
  // rig, whose start from exact cameras needs no second iteration).
  int refinements = 0, cancelIn = 1, lastIteration = 0;
  options.progress = [&](int iteration, double) {
    if (iteration == 1) ++refinements;
    lastIteration = iteration;
    if (refinements == cancelIn && iteration == 1) cancel = true;
  };
  const CameraCalibrationResult run = CalibrateCamera(store, 0, options);
  EXPECT_FALSE(run.ok);
  EXPECT_TRUE(run.cancelled);
  EXPECT_EQ(run.message, kCancelledMessage);
  EXPECT_EQ(lastIteration, 1);
  EXPECT_EQ(store.GetCameraParameters(0).K, before0.K);
  EXPECT_EQ(store.GetCalibrationProblem(0).viewCount, 0) << "the store's problem never ran";

  cancel = false;
  refinements = 0;
  cancelIn = 3;
  const StereoRigResult rig = CalibrateStereoRig(store, options);
  EXPECT_FALSE(rig.ok);
  EXPECT_TRUE(rig.cancelled);
  EXPECT_EQ(refinements, 3);
  EXPECT_EQ(store.GetCameraParameters(0).K, before0.K);
  EXPECT_EQ(store.GetCameraParameters(1).K, before1.K);
  EXPECT_EQ(store.GetCalibrationProblem(1).translations, poses1);
  EXPECT_EQ(store.GetCalibrationProblem(1).options.cancel, nullptr);
}

TEST(JsonWriter, NestsEscapesAndWritesNonFiniteAsNull) {
  JsonWriter json;
  const double values[] = {1.5, std::numeric_limits<double>::infinity(), std::nan("")};
  json.BeginObject().Key("a\"b").Value(std::string("x\\y\n")).Key("n").Array(values, values + 3);
  json.Key("o").BeginObject().Key("t").Value(true).Key("i").Value(-3).EndObject().EndObject();
  EXPECT_EQ(json.str(), "{\"a\\\"b\":\"x\\\\y\\u000a\",\"n\":[1.5,null,null],\"o\":{\"t\":true,\"i\":-3}}");
}

}  // namespace

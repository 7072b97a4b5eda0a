// lentora synth, calibrate and stereo, run as the built executable on
// workspaces written to a scratch folder.

#include <gtest/gtest.h>

#include <QJsonArray>

#include <cmath>
#include <QJsonArray>
#include <fstream>
#include <regex>
#include <string>

#include "calib/CalibrationProblem.h"
#include "calib/LensViews.h"
#include "calib/ProjectionUncertainty.h"
#include "synth/SyntheticViews.h"
#include "core/CalibrationData.h"
#include "core/Workspace.h"
#include "support/JsonOutput.h"
#include "support/LentoraProcess.h"
#include "support/SanitizedBuild.h"
#include "support/SyntheticStore.h"
#include "support/TempDir.h"

namespace {

class CalibrateCli : public ::testing::Test {
 protected:
  ProcessResult Lentora(const std::string& arguments) { return RunLentora(arguments, dir_); }

  // Saves a workspace of synthetic (unrendered) views: camera c gets viewCounts[c]
  // views with exact points, blank 640x480 images.
  std::string SavePointWorkspace(const std::string& name, const std::vector<int>& viewCounts, bool stereo = false) {
    SyntheticOptions options;
    options.views = *std::max_element(viewCounts.begin(), viewCounts.end());
    options.grid = GridDescription{20.0, 20.0, 8, 6, 5, 5};
    options.camera = truth_;
    options.secondCamera = truth_;
    options.stereo = stereo;
    options.stereoRotation = {0.0, -0.1, 0.0};
    options.stereoTranslation = {-150.0, 0.0, 10.0};
    options.renderImages = false;
    options.seed = 5;
    const SyntheticRig rig = MakeSyntheticRig(options);
    CCalibrationData data;
    for (size_t c = 0; c < viewCounts.size(); ++c) {
      data.AddCamera();
      EXPECT_TRUE(AddSyntheticViews(data, static_cast<int>(c), rig.cameras[stereo ? c : 0], rig.grid, viewCounts[c], 128));
    }
    const std::string index = dir_.File(name);
    EXPECT_TRUE(SaveWorkspaceTo(data, index).ok);
    return "'" + index + "'";
  }

  TempDir dir_;
  SyntheticCamera truth_ = [] {
    SyntheticCamera camera;
    camera.fx = 820.0;
    camera.fy = 815.0;
    camera.cx = 315.0;
    camera.cy = 245.0;
    camera.coefficients[0] = -0.18;
    camera.coefficients[1] = 0.06;
    return camera;
  }();
};

}  // namespace

// The workspace of a 9x6 board whose camera's grid was changed to 6x9 after
// marking: every list still holds 54 points, none pairs with the grid. The
// run is refused with the likely cause, never reported as a calibration.
TEST_F(CalibrateCli, ATransposedGridIsRefusedWithTheGridThePointsFit) {
  const std::string workspace = SavePointWorkspace("ws.txt", {7});
  const std::string index = dir_.File("ws.txt");
  std::string text = dir_.Read("ws.txt");
  const std::string grid = "7 8 6 ";
  ASSERT_NE(text.find(grid), std::string::npos) << text;
  text.replace(text.find(grid), grid.size(), "7 6 8 ");
  std::ofstream(index) << text;

  const ProcessResult run = Lentora("calibrate " + workspace + " --camera 0 --json");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("The points fit a 8x6 grid; the camera's grid is 6x8."), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("view 1: points do not fit the grid"), std::string::npos) << run.err;
  EXPECT_EQ(run.out.rfind("{\"cameras\":[],\"refused\":[{\"camera\":0,\"reason\":", 0), 0u) << run.out;
  EXPECT_EQ(run.out.find("\"fx\""), std::string::npos) << "no parameters of a refused run";

  const ProcessResult all = Lentora("calibrate " + workspace);
  EXPECT_EQ(all.status, 1) << "every camera refused";
  EXPECT_EQ(all.out, "");
}

TEST_F(CalibrateCli, JsonReportsTheRecoveredCameraAndItsPoses) {
  const std::string workspace = SavePointWorkspace("ws.txt", {7});
  const ProcessResult run = Lentora("calibrate " + workspace + " --json");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("\"usedViews\":[0,1,2,3,4,5,6]"), std::string::npos);
  EXPECT_NE(run.out.find("\"converged\":true"), std::string::npos);
  ASSERT_EQ(Numbers(run.out, "fx").size(), 2u);  // the value and its σ
  EXPECT_NEAR(Numbers(run.out, "fx")[0], 820.0, 0.1);
  EXPECT_LT(Numbers(run.out, "fx")[1], 1e-3);  // exact points leave almost no doubt
  EXPECT_NEAR(Numbers(run.out, "cy")[0], 245.0, 0.1);
  EXPECT_NE(run.out.find("\"sigma\":{\"fx\":"), std::string::npos);
  EXPECT_EQ(Numbers(run.out, "rms").size(), 8u);  // the run's RMS error, then one per view
  EXPECT_EQ(Numbers(run.out, "view").size(), 14u);  // per-view errors and poses
  EXPECT_LT(Numbers(run.out, "meanDistance")[0], 1e-3);
  EXPECT_EQ(Numbers(run.out, "width")[0], 640.0);
  // The projection maps: at the median board distance (a number) and at infinity (null).
  EXPECT_NE(run.out.find("\"projectionUncertainty\":{\"distance\":"), std::string::npos);
  EXPECT_NE(run.out.find("\"projectionUncertaintyAtInfinity\":{\"distance\":null,\"columns\":30,\"rows\":20,"),
            std::string::npos);
  EXPECT_GT(Numbers(run.out, "distance")[0], 100.0);
  EXPECT_EQ(Numbers(run.out, "worst").size(), 2u);
  // Exact points leave the detector's own error, which every cell includes.
  EXPECT_NEAR(Numbers(run.out, "worst")[0], kDetectorErrorFloor, 1e-4);
  EXPECT_EQ(Numbers(run.out, "floor"), std::vector<double>(2, kDetectorErrorFloor));
}

// The verdict on the views ends the text and sits in the JSON, the same words
// in both; its thresholds are options, and a bad one is refused.
TEST_F(CalibrateCli, TheVerdictOnTheViewsFollowsTheThresholdsGiven) {
  const std::string workspace = SavePointWorkspace("ws.txt", {8});
  const ProcessResult json = Lentora("calibrate " + workspace + " --json");
  ASSERT_EQ(json.status, 0) << json.err;
  const QJsonObject verdict = ParseJson(json.out)["cameras"].toArray()[0].toObject()["enoughViews"].toObject();
  const std::string text = verdict["text"].toString().toStdString();
  EXPECT_EQ(text.rfind(verdict["enough"].toBool() ? "Enough views: " : "More views needed: ", 0), 0u) << text;
  const ProcessResult plain = Lentora("calibrate " + workspace);
  ASSERT_EQ(plain.status, 0) << plain.err;
  EXPECT_NE(plain.out.find("\n" + text + "\n"), std::string::npos) << plain.out;

  // Nothing is uncertain by less than nothing: a zero threshold is never met.
  const ProcessResult strict = Lentora("calibrate " + workspace + " --json --enough-uncertainty 0 --enough-share 0 "
                                       "--enough-spread 0");
  ASSERT_EQ(strict.status, 0) << strict.err;
  const QJsonObject strictVerdict = ParseJson(strict.out)["cameras"].toArray()[0].toObject()["enoughViews"].toObject();
  EXPECT_FALSE(strictVerdict["enough"].toBool());
  for (const char* bad : {"--enough-share 1.5", "--enough-spread x", "--enough-uncertainty nan"}) {
    const ProcessResult refused = Lentora("calibrate " + workspace + " " + bad);
    EXPECT_EQ(refused.status, 2) << bad;
    EXPECT_NE(refused.err.find(std::string(bad).substr(0, std::string(bad).find(' ')) + " expects a number"),
              std::string::npos)
        << refused.err;
  }
}

TEST_F(CalibrateCli, TextUsesThePanelsLabelledFormatNumberingCamerasFromOne) {
  const std::string workspace = SavePointWorkspace("ws.txt", {6});
  const ProcessResult run = Lentora("calibrate " + workspace + " --camera 0");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out.rfind("Camera 1: 6 of 6 views used\nfx 8", 0), 0u) << run.out;
  EXPECT_TRUE(std::regex_search(run.out, std::regex("\nfx 8[0-9]{2}\\.[0-9]{4} \u00b1 [0-9]\\.[0-9]{4} px\nfy ")));
  EXPECT_TRUE(std::regex_search(run.out, std::regex("\nRMS error [0-9.]+ px, mean distance [0-9.]+ px\n")));
  EXPECT_TRUE(std::regex_search(run.out, std::regex("\nfield of view [0-9.]+\u00b0 x [0-9.]+\u00b0\n")));
  const ProcessResult missing = Lentora("calibrate " + workspace + " --camera 3");
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("--camera 3: the workspace has 1 camera (--camera 0 to 0)"), std::string::npos) << missing.err;
}

TEST_F(CalibrateCli, ExportedParametersImportBackAndBadFilesChangeNothing) {
  const std::string workspace = SavePointWorkspace("ws.txt", {6});
  const std::string file = dir_.File("camera.yaml");
  std::filesystem::create_directories(dir_.File("out"));
  std::filesystem::create_directories(dir_.File("bad"));
  const ProcessResult exported = Lentora("export " + workspace + " --camera 0 --format ros --out '" + file + "'");
  ASSERT_EQ(exported.status, 0) << exported.err;
  EXPECT_NE(exported.out.find("camera.yaml"), std::string::npos);
  const ProcessResult imported =
      Lentora("import-parameters " + workspace + " --camera 0 '" + file + "' --save '" + dir_.File("out/ws.txt") + "'");
  ASSERT_EQ(imported.status, 0) << imported.err;
  EXPECT_NE(imported.out.find("Camera 1:\nfx 820.0000 px\nfy 815.0000 px\n"), std::string::npos) << imported.out;
  CCalibrationData saved;
  ASSERT_TRUE(LoadWorkspace(saved, dir_.File("out/ws.txt")).ok);
  EXPECT_NEAR(saved.GetCameraParameters(0).fx(), 820.0, 1e-4);

  std::ofstream(dir_.File("bad.yaml")) << "camera_matrix:\n  rows: 3\n  cols: 3\n  data: [1, 2";
  const ProcessResult bad = Lentora("import-parameters " + workspace + " --camera 0 '" + dir_.File("bad.yaml") +
                                    "' --save '" + dir_.File("bad/ws.txt") + "'");
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.err.find("cannot be parsed"), std::string::npos) << bad.err;
  EXPECT_FALSE(std::filesystem::exists(dir_.File("bad/ws.txt")));
  EXPECT_EQ(Lentora("export " + workspace + " --camera 0 --format matlab --out x").status, 2);
  EXPECT_EQ(Lentora("export " + workspace + " --format ros --out x").status, 2);
}

TEST_F(CalibrateCli, FiveViewRuleRefusesOrSkipsCameras) {
  const std::string workspace = SavePointWorkspace("ws.txt", {6, 4});
  const ProcessResult refused = Lentora("calibrate " + workspace + " --camera 1");
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("The calibration problem is not constrained by less than 5 images!"), std::string::npos);

  const ProcessResult skipped = Lentora("calibrate " + workspace + " --json");
  ASSERT_EQ(skipped.status, 0) << skipped.err;
  EXPECT_NE(skipped.err.find("camera 2: "), std::string::npos) << skipped.err;
  // Camera 0's result, then camera 1 among the refusals.
  EXPECT_EQ(Numbers(skipped.out, "camera"), (std::vector<double>{0, 1}));
  EXPECT_NE(skipped.out.find("\"refused\":[{\"camera\":1,\"reason\":\"The calibration problem"), std::string::npos)
      << skipped.out;

  const std::string small = SavePointWorkspace("small.txt", {3});
  EXPECT_EQ(Lentora("calibrate " + small).status, 1);
  EXPECT_EQ(Lentora("calibrate " + workspace + " --camera 2").status, 1);
}

TEST_F(CalibrateCli, SaveWritesParametersAndOnePoseBlockPerView) {
  const std::string workspace = SavePointWorkspace("ws.txt", {6});
  const std::string out = dir_.File("calibrated/out.txt");
  std::filesystem::create_directories(dir_.File("calibrated"));
  ASSERT_EQ(Lentora("calibrate " + workspace + " --save '" + out + "'").status, 0);
  CCalibrationData data;
  ASSERT_TRUE(LoadWorkspace(data, out).ok);
  EXPECT_NEAR(data.GetCameraParameters(0).fx(), 820.0, 0.1);
  EXPECT_NEAR(data.GetCameraParameters(0).distortion[0], -0.18, 1e-3);
  EXPECT_EQ(data.GetCalibrationProblem(0).viewCount, 6);
  EXPECT_GT(data.GetCalibrationProblem(0).GetTranslation(5)[2], 100.0);
}

TEST_F(CalibrateCli, StereoRecoversTheRigAndRefusesSingleCameras) {
  const std::string workspace = SavePointWorkspace("rig.txt", {6, 6}, true);
  const ProcessResult run = Lentora("stereo " + workspace + " --json");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NEAR(Numbers(run.out, "baseline")[0], std::sqrt(150.0 * 150.0 + 100.0), 0.05);
  EXPECT_NE(run.out.find("\"first\":{\"camera\":0"), std::string::npos);
  EXPECT_NE(run.out.find("\"second\":{\"camera\":1"), std::string::npos);

  const ProcessResult text = Lentora("stereo " + workspace);
  EXPECT_EQ(text.status, 0);
  EXPECT_NE(text.out.find("Stereo rig between cameras 1 and 2"), std::string::npos);

  const std::string single = SavePointWorkspace("single.txt", {6});
  const ProcessResult refused = Lentora("stereo " + single);
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("two cameras"), std::string::npos);
}

TEST_F(CalibrateCli, ProgressGoesToStderrAndLeavesTheResultAlone) {
  const std::string workspace = SavePointWorkspace("ws.txt", {7, 7}, true);
  const ProcessResult quiet = Lentora("calibrate " + workspace + " --camera 0");
  const ProcessResult loud = Lentora("calibrate " + workspace + " --camera 0 --progress");
  ASSERT_EQ(loud.status, 0) << loud.err;
  EXPECT_EQ(loud.out, quiet.out);
  EXPECT_TRUE(quiet.err.empty()) << quiet.err;
  const std::regex line("camera 1: iteration (\\d+), RMS error [0-9.]+ px\n");
  const auto lines = std::distance(std::sregex_iterator(loud.err.begin(), loud.err.end(), line), std::sregex_iterator());
  EXPECT_GE(lines, 2) << loud.err;
  EXPECT_EQ(loud.err.find("camera 1: iteration 1, "), 0u) << loud.err;

  const ProcessResult rig = Lentora("stereo " + workspace + " --progress");
  ASSERT_EQ(rig.status, 0) << rig.err;
  EXPECT_NE(rig.err.find("stereo: iteration 1, RMS error "), std::string::npos) << rig.err;
  EXPECT_EQ(rig.out, Lentora("stereo " + workspace).out);
}

TEST_F(CalibrateCli, SynthWritesAWorkspaceAndItsGroundTruth) {
  const std::string index = dir_.File("synth/ws.txt");
  const ProcessResult run = Lentora("synth '" + index + "' --views 5 --size 240x180 --grid 5x4 --square 10 --seed 2 --stereo 0,0.05,0,-40,0,0");
  ASSERT_EQ(run.status, 0) << run.err;
  CCalibrationData data;
  ASSERT_TRUE(LoadWorkspace(data, index).ok);
  ASSERT_EQ(data.GetCameraCount(), 2);
  EXPECT_EQ(data.GetViewCount(1), 5);
  EXPECT_EQ(data.GetImageWidth(0), 240);
  EXPECT_EQ(data.GetPointCount(1, 4), 20);
  const std::string truth = dir_.Read("synth/ground_truth.json");
  EXPECT_EQ(Numbers(truth, "fx"), (std::vector<double>{300.0, 300.0}));
  EXPECT_EQ(Numbers(truth, "view").size(), 10u);
  EXPECT_NE(truth.find("\"stereo\":{"), std::string::npos);
}

// Two 180-degree fisheyes rendered by synth (20 views, 12 in the sanitizer
// build) calibrate as a rig to 0.1% of the baseline and 0.05 degrees of
// rotation; the truth file names the model.
TEST_F(CalibrateCli, SynthFisheyeRigCalibratesAsARig) {
  const std::string index = dir_.File("fisheye/ws.txt");
  const ProcessResult run =
      Lentora("synth '" + index + "' --model fisheye --views " + (kSanitizedBuild ? "12" : "20") +
              " --noise 0.2 --seed 3 --stereo 0,0.05,0,-120,0,0");
  ASSERT_EQ(run.status, 0) << run.err;
  const QJsonObject truth = ParseJson(dir_.Read("fisheye/ground_truth.json"));
  const QJsonObject first = truth["cameras"].toArray()[0].toObject();
  EXPECT_EQ(first["model"].toString(), "fisheye");
  EXPECT_EQ(first["coefficients"].toArray().size(), 4);
  EXPECT_FALSE(first.contains("distortion"));
  const ProcessResult rig = Lentora("stereo '" + index + "' --model fisheye --json");
  ASSERT_EQ(rig.status, 0) << rig.err;
  const QJsonObject found = ParseJson(rig.out);
  const QJsonArray T = found["T"].toArray(), R = found["R"].toArray();
  ASSERT_EQ(T.size(), 3);
  ASSERT_EQ(R.size(), 9);
  EXPECT_NEAR(found["baseline"].toDouble(), 120.0, 0.12);
  EXPECT_NEAR(T[0].toDouble(), -120.0, 0.12);
  // Angle between the found and the true rotation (0.05 rad about y).
  const double c = std::cos(0.05), sn = std::sin(0.05);
  const double trueR[9] = {c, 0, sn, 0, 1, 0, -sn, 0, c};
  double trace = 0.0;
  for (int i = 0; i < 3; ++i)
    for (int k = 0; k < 3; ++k) trace += R[3 * i + k].toDouble() * trueR[3 * i + k];
  EXPECT_LT(std::acos(std::min(1.0, (trace - 1.0) / 2.0)) * 180.0 / M_PI, 0.05);
  EXPECT_EQ(found["first"].toObject()["model"].toString(), "fisheye");
}

TEST_F(CalibrateCli, UsageErrorsAndHelp) {
  EXPECT_EQ(Lentora("calibrate").status, 2);
  EXPECT_EQ(Lentora("calibrate ws.txt --camera x").status, 2);
  EXPECT_EQ(Lentora("calibrate ws.txt --frobnicate").status, 2);
  EXPECT_EQ(Lentora("stereo").status, 2);
  EXPECT_EQ(Lentora("synth out.txt --grid 9by6").status, 2);
  EXPECT_EQ(Lentora("synth out.txt --camera 1,2,3").status, 2);
  EXPECT_EQ(Lentora("synth out.txt --model omni").status, 2);
  EXPECT_EQ(Lentora("synth out.txt --model fisheye --camera 300,300,320,240,-0.12,0.04,0.0005,-0.0003,0").status, 2);
  EXPECT_EQ(Lentora("synth out.txt --views 0").status, 2);
  EXPECT_EQ(Lentora("calibrate '" + dir_.File("missing.txt") + "'").status, 1);
  for (const char* command : {"calibrate", "stereo", "synth"}) {
    const ProcessResult help = Lentora(std::string(command) + " --help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find(std::string("usage: lentora ") + command), std::string::npos);
  }
}

namespace {

// A fisheye workspace of exact points seen by a 180-degree lens, blank images.
std::string SaveFisheyeWorkspace(const TempDir& dir, const CameraParameters& truth) {
  lens_views::Options options;
  options.views = 12;
  options.noise = 0.0;
  options.grid = GridDescription{30.0, 30.0, 8, 6, 5, 5};
  const lens_views::Views views = lens_views::Make(truth, options);
  CCalibrationData data;
  data.AddCamera();
  data.SetGrid(0, views.grid);
  for (size_t v = 0; v < views.points.size(); ++v) {
    data.AddViewFromFrame(0, cv::Mat(truth.height, truth.width, CV_8UC3, cv::Scalar(128, 128, 128)));
    *data.GetGridPoints(0, static_cast<int>(v)) = views.points[v];
    data.SetViewHasPoints(0, static_cast<int>(v), 1);
  }
  const std::string index = dir.File("fisheye.txt");
  EXPECT_TRUE(SaveWorkspaceTo(data, index).ok);
  return "'" + index + "'";
}

}  // namespace

TEST_F(CalibrateCli, ModelOptionCalibratesAFisheyeAndTheChoiceIsSaved) {
  const CameraParameters truth = lens_views::FisheyeTruth(180.0, 640, 480, {0.03, -0.008, 0.0015, 0.0});
  const std::string workspace = SaveFisheyeWorkspace(dir_, truth);
  const std::string saved = dir_.File("saved.txt");
  const ProcessResult run = Lentora("calibrate " + workspace + " --model fisheye --fix k4 --json --save '" + saved + "'");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("\"model\":\"fisheye\""), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("\"distortion\":["), std::string::npos) << "distortion is pinhole-radtan's key";
  const QJsonObject sigma = ParseJson(run.out)["cameras"].toArray()[0].toObject()["sigma"].toObject();
  EXPECT_EQ(sigma["coefficients"].toArray().size(), 4) << "a sigma for each of k1..k4";
  EXPECT_FALSE(sigma.contains("distortion"));
  EXPECT_NEAR(Numbers(run.out, "fx")[0], truth.fx(), 0.01);
  CCalibrationData data;
  ASSERT_TRUE(LoadWorkspace(data, saved).ok);
  EXPECT_EQ(data.GetCameraParameters(0).model, LensModel::Fisheye);
  EXPECT_NEAR(data.GetCameraParameters(0).distortion[0], truth.distortion[0], 1e-6);
  EXPECT_EQ(data.GetCameraParameters(0).distortion[3], 0.0);  // k4 kept at 0
  EXPECT_EQ(data.GetCalibrationSettings(0).model, LensModel::Fisheye);
  EXPECT_EQ(data.GetCalibrationSettings(0).fixedCoefficients, 1u << 3);
  // The saved choice is used again without options; info names the model and its coefficients.
  const ProcessResult again = Lentora("calibrate '" + saved + "' --json");
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_NE(again.out.find("\"model\":\"fisheye\""), std::string::npos);
  const ProcessResult info = Lentora("info '" + saved + "' --json");
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_NE(info.out.find("\"model\":\"fisheye\",\"coefficients\":["), std::string::npos) << info.out;
}

TEST_F(CalibrateCli, ModelOptionsRefuseUnknownNamesAndPinholeRadtanJsonKeepsDistortion) {
  const std::string workspace = SavePointWorkspace("ws.txt", {6});
  EXPECT_EQ(Lentora("calibrate " + workspace + " --model omni").status, 2);
  EXPECT_EQ(Lentora("calibrate " + workspace + " --model fisheye --fix p1").status, 2);
  EXPECT_EQ(Lentora("calibrate " + workspace + " --model fisheye --zero-tangential").status, 2);
  const ProcessResult run = Lentora("calibrate " + workspace + " --json");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("\"model\":\"pinhole-radtan\",\"coefficients\":["), std::string::npos);
  EXPECT_NE(run.out.find("\"distortion\":["), std::string::npos);
  const QJsonObject sigma = ParseJson(run.out)["cameras"].toArray()[0].toObject()["sigma"].toObject();
  EXPECT_EQ(sigma["coefficients"].toArray().size(), 4);
  EXPECT_EQ(sigma["distortion"].toArray(), sigma["coefficients"].toArray());
  const ProcessResult fixedRun = Lentora("calibrate " + workspace + " --fix-aspect-ratio --fix-principal-point --json");
  ASSERT_EQ(fixedRun.status, 0) << fixedRun.err;
  EXPECT_DOUBLE_EQ(Numbers(fixedRun.out, "cx")[0], 319.5);
  EXPECT_DOUBLE_EQ(Numbers(fixedRun.out, "fx")[0], Numbers(fixedRun.out, "fy")[0]);
}

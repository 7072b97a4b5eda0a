// Damaged and edited workspaces through the lentora executable: views keep
// their places, disabled and stale views stay out of runs (and the results
// say why), saves refuse index names that clash with their companions.

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include "synth/SyntheticViews.h"
#include "core/CalibrationData.h"
#include "core/Workspace.h"
#include "support/JsonOutput.h"
#include "support/LentoraProcess.h"
#include "support/SyntheticStore.h"
#include "support/TempDir.h"

namespace {

class IntegrityCli : public ::testing::Test {
 protected:
  ProcessResult Lentora(const std::string& arguments) { return RunLentora(arguments, dir_); }

  // A stereo (two cameras) or single-camera workspace of exact points on
  // small blank images, saved as ws.txt.
  void SaveWorkspace(int cameras, int views) {
    SyntheticOptions options;
    options.views = views;
    options.grid = GridDescription{20.0, 20.0, 8, 6, 5, 5};
    options.camera.fx = 820.0;
    options.camera.fy = 815.0;
    options.camera.coefficients[0] = -0.18;
    options.secondCamera = options.camera;
    options.stereo = cameras == 2;
    options.stereoRotation = {0.0, -0.1, 0.0};
    options.stereoTranslation = {-150.0, 0.0, 10.0};
    options.renderImages = false;
    options.seed = 5;
    const SyntheticRig rig = MakeSyntheticRig(options);
    CCalibrationData data;
    ASSERT_TRUE(AddSyntheticRig(data, rig, 128));
    ASSERT_TRUE(SaveWorkspaceTo(data, Index()).ok);
  }
  std::string Index() const { return dir_.File("ws.txt"); }

  // Sets the enabled flag of view `view` in a camera data file.
  void DisableInDataFile(int camera, int view) {
    const std::string name = "Camera_" + std::to_string(camera) + "_Data.txt";
    std::string text = dir_.Read(name);
    const std::string line = "1 Camera_" + std::to_string(camera) + "_Image_" + std::to_string(view) + ".jpg";
    text.replace(text.find(line), 1, "0");
    dir_.Write(name, text);
  }

  TempDir dir_;
};

}  // namespace

TEST_F(IntegrityCli, AMissingViewImageKeepsTheStereoPairsAligned) {
  SaveWorkspace(2, 9);
  std::filesystem::remove(dir_.File("Camera_0_Image_3.jpg"));
  const ProcessResult run = Lentora("stereo " + Quoted(Index()) + " --json");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("Camera_0_Image_3.jpg"), std::string::npos) << "the warning names the file";
  EXPECT_NEAR(Numbers(run.out, "baseline")[0], std::sqrt(150.0 * 150.0 + 100.0), 0.05);
  EXPECT_NE(run.out.find("\"pairs\":[0,1,2,4,5,6,7,8]"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("\"skippedViews\":[{\"view\":3,\"reason\":\"no image\"}]"), std::string::npos) << run.out;
}

TEST_F(IntegrityCli, DisabledViewsStayOutAndTheResultSaysWhy) {
  SaveWorkspace(1, 7);
  DisableInDataFile(0, 1);
  DisableInDataFile(0, 4);
  const ProcessResult text = Lentora("calibrate " + Quoted(Index()));
  ASSERT_EQ(text.status, 0) << text.err;
  EXPECT_NE(text.out.find("5 of 7 views used"), std::string::npos) << text.out;
  // The text numbers views from 1 (views 1 and 4 of the file are the second and fifth); the JSON from 0.
  EXPECT_NE(text.out.find("(view 2: disabled, view 5: disabled)"), std::string::npos) << text.out;

  const ProcessResult json = Lentora("calibrate " + Quoted(Index()) + " --json");
  ASSERT_EQ(json.status, 0) << json.err;
  EXPECT_NE(json.out.find("\"usedViews\":[0,2,3,5,6]"), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"skippedViews\":[{\"view\":1,\"reason\":\"disabled\"},{\"view\":4,\"reason\":\"disabled\"}]"),
            std::string::npos)
      << json.out;
  EXPECT_NEAR(Numbers(json.out, "fx")[0], 820.0, 0.1);

  DisableInDataFile(0, 0);
  DisableInDataFile(0, 2);
  const ProcessResult refused = Lentora("calibrate " + Quoted(Index()) + " --camera 0");
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("less than 5 images"), std::string::npos) << refused.err;
}

TEST_F(IntegrityCli, PointsForAnotherGridAreNotPairedWithTheWrongCorners) {
  SaveWorkspace(1, 7);
  // View 2 marked on a board one row larger: its first 48 points are not this grid's corners.
  std::string extra = dir_.Read("Camera_0_Points_2.txt");
  for (int k = 0; k < 8; ++k) extra += std::to_string(100 + 10 * k) + ".000000 400.000000\n";
  dir_.Write("Camera_0_Points_2.txt", extra);
  const ProcessResult run = Lentora("calibrate " + Quoted(Index()) + " --json");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("camera 1: view 3 has 56 grid points where the grid has 48"), std::string::npos) << run.err;
  EXPECT_NE(run.out.find("{\"view\":2,\"reason\":\"incomplete\"}"), std::string::npos) << run.out;
  EXPECT_NEAR(Numbers(run.out, "fx")[0], 820.0, 0.1);
  EXPECT_LT(Numbers(run.out, "meanDistance")[0], 1e-3);

  // The whole index now disagrees with its points files: nothing is complete.
  std::string index = dir_.Read("ws.txt");
  index.replace(index.find(" 8 6 "), 5, " 8 5 ");
  dir_.Write("ws.txt", index);
  const ProcessResult stale = Lentora("calibrate " + Quoted(Index()) + " --camera 0");
  EXPECT_EQ(stale.status, 1);
  EXPECT_NE(stale.err.find("less than 5 images"), std::string::npos) << stale.err;
}

// A point list with non-finite points cannot be the grid: its view is left
// out with the reason, and with too few others left the run is refused.
TEST_F(IntegrityCli, NonFinitePointsLeaveTheirViewOutWithItsReason) {
  SaveWorkspace(1, 6);
  std::string points = dir_.Read("Camera_0_Points_1.txt");
  points.replace(0, points.find('\n'), "nan nan");
  dir_.Write("Camera_0_Points_1.txt", points);
  const ProcessResult run = Lentora("calibrate " + Quoted(Index()) + " --camera 0 --json");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("{\"view\":1,\"reason\":\"points do not fit the grid\"}"), std::string::npos) << run.out;
  EXPECT_NEAR(Numbers(run.out, "fx")[0], 820.0, 0.1);

  dir_.Write("Camera_0_Points_2.txt", points);
  const ProcessResult refused = Lentora("calibrate " + Quoted(Index()) + " --camera 0 --json");
  EXPECT_EQ(refused.status, 1) << refused.out;
  EXPECT_NE(refused.err.find("camera 1: "), std::string::npos) << refused.err;
  // Views 1 and 2 of the files, numbered from 1 in the message.
  EXPECT_NE(refused.err.find("view 2: points do not fit the grid\nview 3: points do not fit the grid"), std::string::npos)
      << refused.err;
  EXPECT_EQ(refused.out.find("\"fx\":"), std::string::npos) << "no result printed for a failed run";
}

TEST_F(IntegrityCli, CopyRefusesAnIndexNamedLikeACompanionAndCopiesTheImageFiles) {
  SaveWorkspace(1, 6);
  std::filesystem::create_directories(dir_.File("out"));
  for (const char* name : {"Camera_0_Data.txt", "Camera_0_Points_3.txt", "Camera_0_Image_5.jpg"}) {
    const ProcessResult run = Lentora("copy " + Quoted(Index()) + " " + Quoted(dir_.File(std::string("out/") + name)));
    EXPECT_EQ(run.status, 1) << name;
    EXPECT_NE(run.err.find(name), std::string::npos) << run.err;
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir_.File("out"))) << "a refused copy writes nothing";
  const ProcessResult copied = Lentora("copy " + Quoted(Index()) + " " + Quoted(dir_.File("out/copy.txt")));
  ASSERT_EQ(copied.status, 0) << copied.err;
  CCalibrationData data;
  ASSERT_TRUE(LoadWorkspace(data, dir_.File("out/copy.txt")).ok);
  EXPECT_EQ(data.GetViewCount(0), 6);
  EXPECT_EQ(data.GetPointCount(0, 3), 48);
  for (int v = 0; v < 6; ++v) {
    const std::string name = "Camera_0_Image_" + std::to_string(v) + ".jpg";
    EXPECT_EQ(dir_.Read("out/" + name), dir_.Read(name)) << name << " is copied, not encoded again";
  }
}

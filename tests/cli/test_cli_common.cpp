// What every lentora command shares: help, the common options, load and save
// warnings, and the exit status contract, run through the built executable.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "core/CalibrationData.h"
#include "core/Workspace.h"
#include "support/LentoraProcess.h"
#include "support/SyntheticStore.h"
#include "synth/SyntheticViews.h"

namespace {

const std::vector<std::string> kCommands = {"info",         "copy",   "calibrate", "stereo", "synth",
                                            "export",       "import-parameters",   "undistort",
                                            "extract-grid", "detect", "grab",      "capture", "sync-grab"};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

// One camera with six rendered views whose last image file is gone, and a
// parameter file of the camera that drew them.
class CommonCli : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    SyntheticOptions options;
    options.views = 6;
    options.camera = TypicalSyntheticCamera();
    options.render.supersampling = 2;
    options.render.blurSigma = 0.6;
    rig_ = new SyntheticRig(MakeSyntheticRig(options));
    CCalibrationData data;
    ASSERT_TRUE(AddSyntheticRig(data, *rig_));
    ASSERT_TRUE(SaveWorkspaceTo(data, dir_->File("ws.txt")).ok);
    std::filesystem::remove(dir_->File("Camera_0_Image_5.jpg"));
    CCalibrationData lens;
    lens.AddCamera();
    lens.SetCameraParameters(0, options.camera.ToParameters());
    ASSERT_TRUE(lens.WriteIntrinsicFile(0, dir_->File("lens.txt")));
  }
  static void TearDownTestSuite() {
    delete rig_;
    delete dir_;
  }

  static std::string Workspace() { return Quoted(dir_->File("ws.txt")); }
  static std::string Out(const std::string& name) { return Quoted(dir_->File(name)); }

  // The outer grid corners, origin first, as extract-grid takes them.
  static std::string Border() {
    const PointList& points = rig_->cameras[0].exactPoints[0];
    const int nx = rig_->grid.nx, last = rig_->grid.ny - 1;
    std::string border;
    for (int k : {last * nx, last * nx + nx - 1, nx - 1, 0})
      border += " " + std::to_string(points[k].x) + "," + std::to_string(points[k].y);
    return border;
  }

  static TempDir* dir_;
  static SyntheticRig* rig_;
};

TempDir* CommonCli::dir_ = nullptr;
SyntheticRig* CommonCli::rig_ = nullptr;

}  // namespace

// A view without its image: loading says so, saving says the image stays
// missing, in the same words whichever command loads and saves.
TEST_F(CommonCli, EveryCommandThatLoadsAndSavesPrintsBothWarningsAlike) {
  const std::vector<std::string> runs = {
      "copy " + Workspace() + " " + Out("copied/ws.txt"),
      "calibrate " + Workspace() + " --save " + Out("calibrated/ws.txt"),
      "detect " + Workspace() + " --save " + Out("detected/ws.txt"),
      "extract-grid " + Workspace() + " --camera 0 --view 0 --border" + Border() + " --save " + Out("marked/ws.txt"),
      "import-parameters " + Workspace() + " --camera 0 " + Out("lens.txt") + " --save " + Out("imported/ws.txt"),
  };
  for (const char* folder : {"copied", "calibrated", "detected", "marked", "imported"})
    std::filesystem::create_directories(dir_->File(folder));
  for (const std::string& run : runs) {
    const ProcessResult result = RunLentora(run, *dir_);
    ASSERT_EQ(result.status, 0) << run << "\n" << result.err;
    std::vector<std::string> warnings;
    for (const std::string& line : Lines(result.err))
      if (line.rfind("warning: ", 0) == 0) warnings.push_back(line);
    ASSERT_EQ(warnings.size(), 2u) << run << "\n" << result.err;
    EXPECT_NE(warnings[0].find("\"Camera_0_Image_5.jpg\" cannot be read"), std::string::npos) << warnings[0];
    EXPECT_NE(warnings[1].find("\"Camera_0_Image_5.jpg\" is left missing"), std::string::npos) << warnings[1];
  }
}

TEST_F(CommonCli, CommandsThatOnlyLoadPrintTheLoadWarning) {
  for (const std::string& run : {"info " + Workspace(), "info " + Workspace() + " --json",
                                 "calibrate " + Workspace() + " --json", "detect " + Workspace() + " --json",
                                 "export " + Workspace() + " --camera 0 --format colmap --out " + Out("cameras.txt")}) {
    const ProcessResult result = RunLentora(run, *dir_);
    ASSERT_EQ(result.status, 0) << run << "\n" << result.err;
    const std::vector<std::string> lines = Lines(result.err);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("warning: ", 0) == 0; }),
              1)
        << run << "\n" << result.err;
  }
}

// --camera and --save read alike in every command that takes them: a bad value
// is bad usage (status 2), the same message, then the command's usage.
TEST_F(CommonCli, CommonOptionsRefuseBadValuesAlike) {
  const std::string border = " --view 0 --border" + Border();
  const std::vector<std::string> cameraRuns = {
      "calibrate " + Workspace() + " --camera x", "detect " + Workspace() + " --camera -1",
      "extract-grid " + Workspace() + " --camera one" + border,
      "export " + Workspace() + " --camera 1.5 --format ros --out " + Out("x.yaml"),
      "import-parameters " + Workspace() + " --camera x " + Out("lens.txt")};
  for (const std::string& run : cameraRuns) {
    const ProcessResult result = RunLentora(run, *dir_);
    EXPECT_EQ(result.status, 2) << run;
    EXPECT_EQ(Lines(result.err).front(), "--camera needs a camera index (0, 1, ...)") << run;
    EXPECT_NE(result.err.find("usage: lentora "), std::string::npos) << run;
    EXPECT_TRUE(result.out.empty()) << run;
  }
  for (const std::string& run : {"calibrate " + Workspace() + " --save ''", "detect " + Workspace() + " --save ''",
                                 "extract-grid " + Workspace() + " --camera 0" + border + " --save ''",
                                 "import-parameters " + Workspace() + " --camera 0 " + Out("lens.txt") + " --save ''"}) {
    const ProcessResult result = RunLentora(run, *dir_);
    EXPECT_EQ(result.status, 2) << run << " would have run and saved nowhere";
    EXPECT_EQ(Lines(result.err).front(), "--save needs a file name") << run;
  }
}

// Help on stdout with status 0; bad input one line "lentora <command>: ..."
// with status 1; bad usage status 2.
TEST_F(CommonCli, ExitStatusContractHoldsForEveryCommand) {
  for (const std::string& command : kCommands) {
    const ProcessResult help = RunLentora(command + " --help", *dir_);
    EXPECT_EQ(help.status, 0) << command;
    EXPECT_EQ(help.out.rfind("usage: lentora " + command + " ", 0), 0u) << command << ": " << help.out;
    EXPECT_TRUE(help.err.empty()) << command;
    const ProcessResult unknown = RunLentora(command + " --no-such-option", *dir_);
    EXPECT_EQ(unknown.status, 2) << command;
    EXPECT_NE(unknown.err.find("usage: lentora " + command), std::string::npos) << command;
  }
  const std::string missing = Out("none/ws.txt");
  for (const std::string command : {"info", "calibrate", "stereo", "detect"}) {
    const ProcessResult result = RunLentora(command + " " + missing, *dir_);
    EXPECT_EQ(result.status, 1) << command;
    const std::vector<std::string> lines = Lines(result.err);
    ASSERT_EQ(lines.size(), 1u) << result.err;
    EXPECT_EQ(lines[0].rfind("lentora " + command + ": ", 0), 0u) << lines[0];
    EXPECT_TRUE(result.out.empty()) << command;
  }
}

// lentora new from rendered photographs to exported parameters, checked
// against the camera and rig the photographs were rendered with, and the
// bad input it refuses without writing anything.

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include <opencv2/imgcodecs.hpp>

#include "app/ParameterExchange.h"
#include "app/YamlTree.h"
#include "core/CalibrationData.h"
#include "core/Workspace.h"
#include "synth/SyntheticViews.h"
#include "support/JsonOutput.h"
#include "support/LentoraProcess.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A rig of two cameras 83.17 mm apart looking at a 9 x 6 board of 25 mm
// squares, rendered like photographs: blur, noise, lens distortion.
const SyntheticRig& Photographed() {
  static const SyntheticRig rig = [] {
    SyntheticOptions options;
    options.views = 8;
    options.grid = GridDescription{25.0, 25.0, 9, 6, 5, 5};
    options.camera.fx = options.camera.fy = 780.0;
    options.camera.coefficients[0] = -0.12;
    options.camera.coefficients[1] = 0.05;
    options.stereo = true;
    options.stereoRotation = {0.0, -0.04, 0.0};
    options.stereoTranslation = {-83.17, 0.0, 0.0};
    options.secondCamera = options.camera;
    options.secondCamera.fx = options.secondCamera.fy = 790.0;
    options.render.blurSigma = 0.7;
    options.render.imageNoise = 2.0;
    options.seed = 3;
    return MakeSyntheticRig(options);
  }();
  return rig;
}

class NewCli : public ::testing::Test {
 protected:
  void SetUp() override {
    const SyntheticRig& rig = Photographed();
    ASSERT_EQ(rig.cameras.size(), 2u);
    for (const char* side : {"left", "right"}) fs::create_directories(dir_.Path() / side);
    for (size_t v = 0; v < rig.cameras[0].images.size(); ++v) {
      char name[32];
      std::snprintf(name, sizeof name, "IMG_%02zu.jpg", v + 1);
      ASSERT_TRUE(cv::imwrite(dir_.File(std::string("left/") + name), rig.cameras[0].images[v]));
      ASSERT_TRUE(cv::imwrite(dir_.File(std::string("right/") + name), rig.cameras[1].images[v]));
    }
  }

  // Runs lentora in the scratch folder, so relative paths are the user's.
  ProcessResult Lentora(const std::string& arguments) {
    return RunShell("cd " + Quoted(dir_.Path().string()) + " && " + LentoraCommand() + " " + arguments, dir_);
  }

  // The files under a folder, relative names.
  std::set<std::string> Listing(const std::string& folder) const {
    std::set<std::string> names;
    if (!fs::exists(dir_.Path() / folder)) return names;
    for (const auto& entry : fs::recursive_directory_iterator(dir_.Path() / folder))
      names.insert(fs::relative(entry.path(), dir_.Path()).string());
    return names;
  }

  TempDir dir_;
};

TEST_F(NewCli, OneCameraFromPhotographsCalibratesAndExportsTheRenderedCamera) {
  const ProcessResult made =
      Lentora("new one/ws.txt --images 'left/*.jpg' --grid 9x6 --square 25 --detect");
  ASSERT_EQ(made.status, 0) << made.err;
  EXPECT_NE(made.out.find("Camera 1: 8 of 8 views detected\n"), std::string::npos) << made.out;
  EXPECT_NE(made.out.find("wrote one/ws.txt: 1 camera, 8 views each, 9 x 6 grid of 25 mm squares"), std::string::npos)
      << made.out;
  // The photographs are the workspace's views, byte for byte and in name order.
  for (int v = 0; v < 8; ++v) {
    char name[32];
    std::snprintf(name, sizeof name, "left/IMG_%02d.jpg", v + 1);
    EXPECT_EQ(Slurp(dir_.File("one/Camera_0_Image_" + std::to_string(v) + ".jpg")), Slurp(dir_.File(name))) << name;
  }

  const ProcessResult calibrated = Lentora("calibrate one/ws.txt --camera 0 --json");
  ASSERT_EQ(calibrated.status, 0) << calibrated.err;
  const SyntheticCamera& truth = Photographed().cameras[0].camera;
  EXPECT_NEAR(Numbers(calibrated.out, "fx").front(), truth.fx, 0.002 * truth.fx);
  EXPECT_NEAR(Numbers(calibrated.out, "fy").front(), truth.fy, 0.002 * truth.fy);
  EXPECT_NEAR(Numbers(calibrated.out, "cx").front(), truth.cx, 1.0);
  EXPECT_NEAR(Numbers(calibrated.out, "cy").front(), truth.cy, 1.0);
  EXPECT_LT(Numbers(calibrated.out, "rms").front(), 0.2);

  const ProcessResult exported = Lentora("export one/ws.txt --camera 0 --format opencv --out one/camera.yaml");
  ASSERT_EQ(exported.status, 0) << exported.err;
  const ImportResult imported = ReadParameterFile(dir_.File("one/camera.yaml"), CameraParameters{});
  ASSERT_TRUE(imported.ok) << imported.message;
  EXPECT_NEAR(imported.parameters.fx(), Numbers(calibrated.out, "fx").front(), 1e-9);
  EXPECT_NEAR(imported.parameters.distortion[0], truth.coefficients[0], 0.01);
}

TEST_F(NewCli, RigFromTwoFoldersGivesTheRenderedBaselineInMetresToRosAndKalibr) {
  const ProcessResult made =
      Lentora("new rig/ws.txt --images 'left/*.jpg' --images 'right/*.jpg' --grid 9x6 --square 2.5 --units cm --detect");
  ASSERT_EQ(made.status, 0) << made.err;
  EXPECT_NE(made.out.find("Camera 1: 8 of 8 views detected\nCamera 2: 8 of 8 views detected\n"), std::string::npos)
      << made.out;

  const ProcessResult stereo = Lentora("stereo rig/ws.txt --json");
  ASSERT_EQ(stereo.status, 0) << stereo.err;
  const double baseline = Numbers(stereo.out, "baseline").front();
  EXPECT_NEAR(baseline, 8.317, 0.005 * 8.317) << "centimetres, the grid's unit";
  EXPECT_NE(stereo.out.find("\"unit\":\"cm\""), std::string::npos);
  const ProcessResult text = Lentora("stereo rig/ws.txt");
  EXPECT_TRUE(std::regex_search(text.out, std::regex("\nbaseline 8\\.[0-9]{4} cm\n"))) << text.out;

  ASSERT_EQ(Lentora("export rig/ws.txt --rig --format kalibr --out rig/camchain.yaml").status, 0);
  const YamlNode camchain = YamlReader::ReadFile(dir_.File("rig/camchain.yaml"));
  const YamlNode& T = camchain["cam1"]["T_cn_cnm1"];
  const double kalibr = std::hypot(T[0].Numbers()[3], T[1].Numbers()[3], T[2].Numbers()[3]);
  EXPECT_NEAR(kalibr, baseline / 100.0, 1e-9) << "metres";
  EXPECT_NEAR(kalibr, 0.08317, 0.005 * 0.08317);

  ASSERT_EQ(Lentora("export rig/ws.txt --rig --format ros --out rig/left.yaml").status, 0);
  const std::vector<double> P2 = YamlReader::ReadFile(dir_.File("rig/left_1.yaml"))["projection_matrix"]["data"].Numbers();
  ASSERT_EQ(P2.size(), 12u);
  EXPECT_NEAR(-P2[3] / P2[0], kalibr, 1e-9) << "the ROS projection's baseline in metres";
}

TEST_F(NewCli, BadInputIsRefusedAndWritesNothing) {
  fs::create_directories(dir_.Path() / "odd");
  std::ofstream(dir_.File("odd/not-an-image.jpg")) << "text, not a picture";
  cv::imwrite(dir_.File("odd/small.jpg"), cv::Mat(240, 320, CV_8UC3, cv::Scalar::all(128)));
  const std::string photo = Slurp(dir_.File("left/IMG_02.jpg"));
  std::ofstream(dir_.File("odd/truncated.jpg"), std::ios::binary) << photo.substr(0, photo.size() / 2);
  fs::remove(dir_.File("right/IMG_08.jpg"));
  struct Case {
    std::string arguments;
    int status;
    const char* message;
  };
  const Case cases[] = {
      {"--images 'none/*.jpg' --grid 9x6 --square 25", 1, "no file matches \"none/*.jpg\""},
      {"--images left/IMG_01.jpg odd/not-an-image.jpg --grid 9x6 --square 25", 1,
       "camera 1: \"odd/not-an-image.jpg\" cannot be read"},
      {"--images left/IMG_01.jpg odd/small.jpg --grid 9x6 --square 25", 1,
       "camera 1: \"odd/small.jpg\" is 320x240, but the camera's views are 640x480"},
      {"--images left/IMG_01.jpg odd/truncated.jpg --grid 9x6 --square 25", 1,
       "camera 1: \"odd/truncated.jpg\" does not decode cleanly"},
      {"--images 'left/*.jpg' --images 'right/*.jpg' --grid 9x6 --square 25", 1,
       "camera 1 has 8 images but camera 2 has 7"},
      {"--images left/missing.jpg --grid 9x6 --square 25", 1, "camera 1: \"left/missing.jpg\" cannot be read"},
      {"--grid 9x6 --square 25", 2, "--images FILE... is required"},
      {"--images --grid 9x6 --square 25", 2, "--images number 1 names no file"},
      {"--images 'left/*.jpg' --square 25", 2, "--grid NXxNY is required"},
      {"--images 'left/*.jpg' --grid 9by6 --square 25", 2, "--grid NXxNY is required"},
      {"--images 'left/*.jpg' --grid 9x6 --square 0", 2, "--square D is required"},
      {"--images 'left/*.jpg' --grid 9x6 --square 25 --units furlong", 2, "--units takes mm, cm, m or in"},
      {"--images 'left/*.jpg' --grid 9x6 --square 25 --model omni", 2, "unknown lens model \"omni\""},
  };
  for (const Case& c : cases) {
    const ProcessResult run = Lentora("new fresh/ws.txt " + c.arguments);
    EXPECT_EQ(run.status, c.status) << c.arguments << "\n" << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << c.arguments << "\n" << run.err;
    EXPECT_FALSE(fs::exists(dir_.Path() / "fresh")) << c.arguments << ": nothing may be written";
  }

  // A save that fails (an index name longer than the file system takes) leaves no folder behind.
  const ProcessResult unsaved =
      Lentora("new fresh/" + std::string(300, 'x') + ".txt --images left/IMG_01.jpg --grid 9x6 --square 25");
  EXPECT_EQ(unsaved.status, 1);
  EXPECT_NE(unsaved.err.find("cannot write"), std::string::npos) << unsaved.err;
  EXPECT_FALSE(fs::exists(dir_.Path() / "fresh")) << "the folder made for the save was left";

  // An existing workspace, or another workspace's files in the folder, are never replaced.
  ASSERT_EQ(Lentora("new taken/ws.txt --images left/IMG_01.jpg --grid 9x6 --square 25").status, 0);
  const std::set<std::string> before = Listing("taken");
  const std::string index = Slurp(dir_.File("taken/ws.txt"));
  const ProcessResult again = Lentora("new taken/ws.txt --images left/IMG_02.jpg --grid 9x6 --square 25");
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.err.find("already exists"), std::string::npos) << again.err;
  const ProcessResult beside = Lentora("new taken/other.txt --images left/IMG_02.jpg --grid 9x6 --square 25");
  EXPECT_EQ(beside.status, 1);
  EXPECT_NE(beside.err.find("already holds \"Camera_0_Data.txt\""), std::string::npos) << beside.err;
  EXPECT_EQ(Listing("taken"), before);
  EXPECT_EQ(Slurp(dir_.File("taken/ws.txt")), index);
  EXPECT_EQ(Slurp(dir_.File("taken/Camera_0_Image_0.jpg")), Slurp(dir_.File("left/IMG_01.jpg")));
}

// The lens model chosen when the workspace is made is how its cameras calibrate.
TEST_F(NewCli, ModelOptionsAreKeptForEveryCamera) {
  ASSERT_EQ(Lentora("new wide/ws.txt --images left/IMG_01.jpg --images right/IMG_01.jpg --grid 9x6 --square 25 "
                    "--model rational --fix-principal-point")
                .status,
            0);
  CCalibrationData data;
  ASSERT_TRUE(LoadWorkspace(data, dir_.File("wide/ws.txt")).ok);
  for (int camera = 0; camera < 2; ++camera) {
    EXPECT_EQ(data.GetCalibrationSettings(camera).model, LensModel::Rational) << camera;
    EXPECT_TRUE(data.GetCalibrationSettings(camera).fixPrincipalPoint) << camera;
  }
  EXPECT_TRUE(fs::exists(dir_.Path() / "wide" / "Camera_1_Model.txt"));
}

TEST_F(NewCli, ListsKeepTheirOrderAndAWrongGridGetsTheBoardsSize) {
  const ProcessResult made =
      Lentora("new listed/ws.txt --images left/IMG_03.jpg left/IMG_01.jpg left/IMG_02.jpg --grid 10x7 --square 25 --detect");
  ASSERT_EQ(made.status, 0) << made.err;
  EXPECT_NE(made.out.find("Camera 1: 0 of 3 views detected\nCamera 1: found a 9 x 6 board in 3 of 3 views; this "
                          "camera's grid is 10 x 7; is the board 9 x 6 (--grid 9x6)?\n"),
            std::string::npos)
      << made.out;
  EXPECT_EQ(Slurp(dir_.File("listed/Camera_0_Image_0.jpg")), Slurp(dir_.File("left/IMG_03.jpg")));
  EXPECT_EQ(Slurp(dir_.File("listed/Camera_0_Image_1.jpg")), Slurp(dir_.File("left/IMG_01.jpg")));
  const ProcessResult help = Lentora("new --help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--grid NXxNY  the board's inner corners"), std::string::npos);
}

}  // namespace

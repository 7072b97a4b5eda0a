// Lens models and fixed values in the workspace: the model file beside the
// intrinsic file, written only for cameras that need it, read back exactly.

#include <gtest/gtest.h>

#include <filesystem>

#include "core/CalibrationData.h"
#include "core/ModelFile.h"
#include "core/Workspace.h"
#include "support/TempDir.h"

namespace {

cv::Mat Picture(int width, int height) { return cv::Mat(height, width, CV_8UC3, cv::Scalar(90, 120, 150)); }

CameraParameters Fisheye() {
  CameraParameters p;
  p.model = LensModel::Fisheye;
  p.K = {301.123456789, 0, 322.5, 0, 300.987654321, 238.25, 0, 0, 1};
  p.distortion = {0.031234567890123456, -0.0079876543210987654, 0.0015, -0.00021234567890123};
  p.width = 640;
  p.height = 480;
  return p;
}

CalibrationSettings FisheyeSettings() {
  CalibrationSettings settings;
  settings.model = LensModel::Fisheye;
  settings.fixAspectRatio = true;
  settings.fixPrincipalPoint = true;
  settings.fixedCoefficients = 0b1100;  // k3, k4
  return settings;
}

// Camera 0 plain pinhole-radtan, camera 1 a fisheye with fixed values, camera 2 pinhole-radtan
// parameters to be calibrated as rational next time.
void Fill(CCalibrationData& data) {
  for (int c = 0; c < 3; ++c) {
    data.AddCamera();
    data.AddViewFromFrame(c, Picture(64, 48));
  }
  CameraParameters plain;
  plain.K = {700, 0, 31.5, 0, 701, 23.5, 0, 0, 1};
  plain.distortion = {-0.2, 0.05, 0.001, -0.002};
  plain.width = 64;
  plain.height = 48;
  data.SetCameraParameters(0, plain);
  data.SetCameraParameters(1, Fisheye());
  data.SetCalibrationSettings(1, FisheyeSettings());
  data.SetCameraParameters(2, plain);
  CalibrationSettings rational;
  rational.model = LensModel::Rational;
  rational.zeroTangential = true;
  data.SetCalibrationSettings(2, rational);
}

TEST(ModelFile, OnlyCamerasThatNeedItGetOneAndItsIntrinsicFileIsAnUndistortedPinhole) {
  TempDir dir;
  CCalibrationData data;
  Fill(data);
  ASSERT_TRUE(SaveWorkspaceTo(data, dir.File("ws.txt")).ok);
  EXPECT_FALSE(std::filesystem::exists(dir.File("Camera_0_Model.txt")));
  EXPECT_TRUE(std::filesystem::exists(dir.File("Camera_1_Model.txt")));
  EXPECT_TRUE(std::filesystem::exists(dir.File("Camera_2_Model.txt")));
  // An older reader sees camera 1 as a pinhole camera without distortion.
  const std::string intrinsic = dir.Read("Camera_1_Intrinsic.txt");
  EXPECT_NE(intrinsic.find("\n0.000000 0.000000 0.000000 0.000000\n"), std::string::npos) << intrinsic;
  const std::string model = dir.Read("Camera_1_Model.txt");
  EXPECT_EQ(model.rfind("parameters fisheye 0.03123456789012345", 0), 0u) << model;
  EXPECT_NE(model.find(" 0.0015 "), std::string::npos) << model;
  EXPECT_NE(model.find("\ncalibrate fisheye fix-aspect-ratio fix-principal-point fix k3 fix k4\n"), std::string::npos)
      << model;
  EXPECT_EQ(dir.Read("Camera_2_Model.txt"),
            "parameters pinhole-radtan -0.2 0.05 0.001 -0.002\ncalibrate rational zero-tangential\n");
}

TEST(ModelFile, RoundTripGivesTheSameModelCoefficientsAndSettingsAndTheSameFiles) {
  TempDir first, second;
  CCalibrationData data;
  Fill(data);
  ASSERT_TRUE(SaveWorkspaceTo(data, first.File("ws.txt")).ok);
  CCalibrationData loaded;
  const WorkspaceResult result = LoadWorkspace(loaded, first.File("ws.txt"));
  ASSERT_TRUE(result.ok);
  EXPECT_TRUE(result.warnings.empty());
  const CameraParameters fisheye = loaded.GetCameraParameters(1);
  EXPECT_EQ(fisheye.model, LensModel::Fisheye);
  EXPECT_EQ(fisheye.distortion, Fisheye().distortion);  // exactly, not to six decimals
  EXPECT_EQ(loaded.GetCalibrationSettings(1), FisheyeSettings());
  EXPECT_EQ(loaded.GetCameraParameters(0).model, LensModel::PinholeRadtan);
  EXPECT_TRUE(loaded.GetCalibrationSettings(0).IsDefault());
  EXPECT_EQ(loaded.GetCalibrationSettings(2).model, LensModel::Rational);
  EXPECT_EQ(loaded.GetCameraParameters(2).model, LensModel::PinholeRadtan);
  ASSERT_TRUE(SaveWorkspaceTo(loaded, second.File("ws.txt")).ok);
  for (const char* name : {"ws.txt", "Camera_0_Intrinsic.txt", "Camera_1_Intrinsic.txt", "Camera_1_Model.txt",
                           "Camera_2_Model.txt", "Camera_1_Data.txt"})
    EXPECT_EQ(first.Read(name), second.Read(name)) << name;
}

TEST(ModelFile, AWorkspaceWithoutModelFilesSavesByteIdenticalAndAStaleModelFileGoes) {
  TempDir dir;
  CCalibrationData data;
  data.AddCamera();
  data.AddViewFromFrame(0, Picture(64, 48));
  CameraParameters plain;
  plain.K = {700, 0, 31.5, 0, 701, 23.5, 0, 0, 1};
  plain.distortion = {-0.2, 0.05, 0.001, -0.002};
  plain.width = 64;
  plain.height = 48;
  data.SetCameraParameters(0, plain);
  ASSERT_TRUE(SaveWorkspaceTo(data, dir.File("ws.txt")).ok);
  const std::string before = dir.Read("Camera_0_Intrinsic.txt");
  // A model file of an earlier workspace in the same folder must not come back with this one.
  dir.Write("Camera_0_Model.txt", "parameters fisheye 0.1 0.2 0.3 0.4\n");
  ASSERT_TRUE(SaveWorkspaceTo(data, dir.File("ws.txt")).ok);
  EXPECT_FALSE(std::filesystem::exists(dir.File("Camera_0_Model.txt")));
  EXPECT_EQ(dir.Read("Camera_0_Intrinsic.txt"), before);
  CCalibrationData loaded;
  ASSERT_TRUE(LoadWorkspace(loaded, dir.File("ws.txt")).ok);
  EXPECT_EQ(loaded.GetCameraParameters(0).distortion, data.GetCameraParameters(0).distortion);
  EXPECT_EQ(loaded.GetCameraParameters(0).model, LensModel::PinholeRadtan);
}

TEST(ModelFile, ABadModelFileIsReportedAndChangesNothing) {
  TempDir dir;
  CCalibrationData data;
  Fill(data);
  ASSERT_TRUE(SaveWorkspaceTo(data, dir.File("ws.txt")).ok);
  for (const char* bad : {"parameters fisheye 0.1 0.2 0.3\n", "parameters omni 0.1\n", "calibrate fisheye fix p1\n",
                          "calibrate fisheye sideways\n", "parameters fisheye 0.1 nan 0.3 0.4\n", "",
                          "fix k1 calibrate fisheye\n"}) {
    dir.Write("Camera_1_Model.txt", bad);
    CCalibrationData loaded;
    const WorkspaceResult result = LoadWorkspace(loaded, dir.File("ws.txt"));
    ASSERT_TRUE(result.ok) << bad;
    ASSERT_EQ(result.warnings.size(), 1u) << bad;
    EXPECT_NE(result.warnings[0].find("Camera_1_Model.txt"), std::string::npos);
    EXPECT_EQ(loaded.GetCameraParameters(1).model, LensModel::PinholeRadtan) << bad;
    EXPECT_TRUE(loaded.GetCalibrationSettings(1).IsDefault()) << bad;
    // The pinhole part of the intrinsic file is still there, undistorted.
    EXPECT_EQ(loaded.GetCameraParameters(1).K[0], 301.123457);
  }
}

TEST(ModelFile, NamesFollowTheIntrinsicFile) {
  EXPECT_EQ(ModelFileNameFor("Camera_3_Intrinsic.txt"), "Camera_3_Model.txt");
  EXPECT_EQ(ModelFileNameFor("left.txt"), "left.model.txt");
  EXPECT_EQ(ModelFileNameFor("left"), "left.model");
  EXPECT_EQ(ModelFileNameFor("/data/v1.2/left"), "/data/v1.2/left.model") << "a dot in a folder is no extension";
  TempDir dir;
  CCalibrationData data;
  Fill(data);
  const WorkspaceResult refused = SaveWorkspaceTo(data, dir.File("Camera_1_Model.txt"));
  EXPECT_FALSE(refused.ok);
  EXPECT_NE(refused.error.find("model file"), std::string::npos) << refused.error;
}

}  // namespace

// Export to OpenCV, ROS, COLMAP and Kalibr files, each read back by its own
// reader (cv::FileStorage, a YAML parser, the COLMAP text layout), and import
// of parameter files with their refusals.

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>

#include "YamlTree.h"
#include "app/ParameterExchange.h"
#include "core/CalibrationData.h"
#include "support/TempDir.h"

namespace {

CameraParameters OddCamera(double shift = 0.0) {
  CameraParameters p;
  p.K = {812.34567890123456 + shift, 0, 321.98765432109876, 0, 798.76543210987654 - shift, 241.13579246813579, 0, 0, 1};
  p.distortion = {-0.21234567890123456, 0.081234567890123456, 0.0012345678901234567, -0.00076543210987654321, 0.0};
  p.width = 640;
  p.height = 480;
  return p;
}

ExportedCamera OddExport() {
  ExportedCamera camera;
  camera.parameters = OddCamera();
  camera.name = "camera2";
  camera.averageError = 0.12345678901234567;
  camera.perViewErrors = {0.1, 0.23456789012345678, 0.0876};
  return camera;
}

ExportedRig OddRig() {
  ExportedRig rig;
  rig.first = OddExport();
  rig.second = OddExport();
  rig.second.parameters = OddCamera(7.654321);
  cv::Mat R;
  cv::Rodrigues(cv::Vec3d(0.021, -0.117, 0.0093), R);
  std::copy(R.begin<double>(), R.end<double>(), rig.R.begin());
  rig.T = {-119.87654321, 3.123456789, 4.987654321};
  rig.averageError = 0.2;
  rig.perPairErrors = {0.19, 0.21};
  return rig;
}

void ExpectRelative(double actual, double expected, const std::string& what) {
  EXPECT_NEAR(actual, expected, 1e-12 * std::max(1.0, std::fabs(expected))) << what;
}

void ExpectValues(const std::vector<double>& actual, const double* expected, size_t count, const std::string& what) {
  ASSERT_EQ(actual.size(), count) << what;
  for (size_t i = 0; i < count; ++i) ExpectRelative(actual[i], expected[i], what + "[" + std::to_string(i) + "]");
}

std::vector<double> MatValues(const cv::FileNode& node) {
  cv::Mat m;
  node >> m;
  m.convertTo(m, CV_64F);
  return std::vector<double>(m.begin<double>(), m.end<double>());
}

void ExpectSameIntrinsics(const CameraParameters& actual, const CameraParameters& expected) {
  for (size_t i = 0; i < 9; ++i) ExpectRelative(actual.K[i], expected.K[i], "K" + std::to_string(i));
  for (size_t i = 0; i < 4; ++i) ExpectRelative(actual.distortion[i], expected.distortion[i], "D" + std::to_string(i));
  EXPECT_EQ(actual.width, expected.width);
  EXPECT_EQ(actual.height, expected.height);
}

struct RectifiedReference {
  cv::Mat R1, R2, P1, P2, Q;
};

// OpenCV's rectification of the rig with T scaled (1 for the rig's unit, 0.001 for metres of a millimetre rig).
RectifiedReference Rectify(const ExportedRig& rig, double scale = 1.0) {
  auto K = [](const CameraParameters& p) { return cv::Mat(3, 3, CV_64F, const_cast<double*>(p.K.data())).clone(); };
  auto D = [](const CameraParameters& p) { return cv::Mat(5, 1, CV_64F, const_cast<double*>(p.distortion.data())).clone(); };
  RectifiedReference r;
  cv::stereoRectify(K(rig.first.parameters), D(rig.first.parameters), K(rig.second.parameters), D(rig.second.parameters),
                    cv::Size(640, 480), cv::Mat(3, 3, CV_64F, const_cast<double*>(rig.R.data())),
                    cv::Mat(3, 1, CV_64F, const_cast<double*>(rig.T.data())) * scale, r.R1, r.R2, r.P1, r.P2, r.Q);
  return r;
}

std::vector<double> Values(const cv::Mat& m) { return std::vector<double>(m.begin<double>(), m.end<double>()); }

}  // namespace

TEST(ParameterExport, OpenCvYamlAndXmlReadBackThroughFileStorageAndImportTheSameParameters) {
  TempDir dir;
  const ExportedCamera camera = OddExport();
  for (const std::string name : {"camera.yml", "camera.xml", "camera.txt"}) {
    const ExchangeResult written = ExportCamera(camera, ExchangeFormat::OpenCv, dir.File(name));
    ASSERT_TRUE(written.ok) << written.message;
    cv::FileStorage fs(dir.File(name), cv::FileStorage::READ);
    ASSERT_TRUE(fs.isOpened()) << name;
    EXPECT_EQ(static_cast<int>(fs["image_width"]), 640);
    EXPECT_EQ(static_cast<int>(fs["image_height"]), 480);
    ExpectValues(MatValues(fs["camera_matrix"]), camera.parameters.K.data(), 9, name + " K");
    const double distortion[5] = {camera.parameters.distortion[0], camera.parameters.distortion[1],
                                  camera.parameters.distortion[2], camera.parameters.distortion[3], 0.0};
    ExpectValues(MatValues(fs["distortion_coefficients"]), distortion, 5, name + " D");
    ExpectRelative(static_cast<double>(fs["avg_reprojection_error"]), camera.averageError, name + " error");
    ExpectValues(MatValues(fs["per_view_reprojection_errors"]), camera.perViewErrors.data(), 3, name + " per view");

    const ImportResult imported = ReadParameterFile(dir.File(name), CameraParameters{});
    ASSERT_TRUE(imported.ok) << imported.message;
    ExpectSameIntrinsics(imported.parameters, camera.parameters);
  }
  EXPECT_FALSE(std::filesystem::exists(dir.File("camera.yml.part.yml")));
}

TEST(ParameterExport, RosCameraInfoParsesAsYamlWithIdentityRectificationAndImportsBack) {
  TempDir dir;
  const ExportedCamera camera = OddExport();
  ASSERT_TRUE(ExportCamera(camera, ExchangeFormat::Ros, dir.File("camera.yaml")).ok);
  const YamlNode yaml = YamlReader::ReadFile(dir.File("camera.yaml"));
  EXPECT_EQ(yaml["image_width"].scalar, "640");
  EXPECT_EQ(yaml["image_height"].scalar, "480");
  EXPECT_EQ(yaml["camera_name"].scalar, "camera2");
  EXPECT_EQ(yaml["camera_matrix"]["rows"].scalar, "3");
  EXPECT_EQ(yaml["camera_matrix"]["cols"].scalar, "3");
  ExpectValues(yaml["camera_matrix"]["data"].Numbers(), camera.parameters.K.data(), 9, "K");
  EXPECT_EQ(yaml["distortion_model"].scalar, "plumb_bob");
  EXPECT_EQ(yaml["distortion_coefficients"]["cols"].scalar, "5");
  ExpectValues(yaml["distortion_coefficients"]["data"].Numbers(), camera.parameters.distortion.data(), 5, "D");
  const double identity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  ExpectValues(yaml["rectification_matrix"]["data"].Numbers(), identity, 9, "rectification");
  const auto& K = camera.parameters.K;
  const double projection[12] = {K[0], 0, K[2], 0, 0, K[4], K[5], 0, 0, 0, 1, 0};
  EXPECT_EQ(yaml["projection_matrix"]["cols"].scalar, "4");
  ExpectValues(yaml["projection_matrix"]["data"].Numbers(), projection, 12, "projection");

  CameraParameters current;
  current.width = 640;
  current.height = 480;
  current.T = {1, 2, 3};  // the pose is not part of the file and stays
  const ImportResult imported = ReadParameterFile(dir.File("camera.yaml"), current);
  ASSERT_TRUE(imported.ok) << imported.message;
  ExpectSameIntrinsics(imported.parameters, camera.parameters);
  EXPECT_EQ(imported.parameters.T[2], 3.0);
}

TEST(ParameterExport, ColmapLineCarriesTheHalfPixelShiftOfThePrincipalPoint) {
  TempDir dir;
  const ExportedRig rig = OddRig();
  ASSERT_TRUE(ExportRig(rig, ExchangeFormat::Colmap, dir.File("cameras.txt")).ok);
  std::istringstream text(dir.Read("cameras.txt"));
  std::vector<std::vector<std::string>> rows;
  for (std::string line; std::getline(text, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    rows.emplace_back(std::istream_iterator<std::string>(fields), std::istream_iterator<std::string>());
  }
  ASSERT_EQ(rows.size(), 2u);
  const CameraParameters* cameras[2] = {&rig.first.parameters, &rig.second.parameters};
  for (size_t c = 0; c < 2; ++c) {
    ASSERT_EQ(rows[c].size(), 12u);
    EXPECT_EQ(rows[c][0], std::to_string(c + 1));
    EXPECT_EQ(rows[c][1], "OPENCV");
    EXPECT_EQ(rows[c][2], "640");
    EXPECT_EQ(rows[c][3], "480");
    const CameraParameters& p = *cameras[c];
    const double expected[8] = {p.K[0], p.K[4], p.K[2] + 0.5, p.K[5] + 0.5, p.distortion[0], p.distortion[1], p.distortion[2], p.distortion[3]};
    for (size_t i = 0; i < 8; ++i) ExpectRelative(std::stod(rows[c][4 + i]), expected[i], "COLMAP " + std::to_string(i));
  }
}

TEST(ParameterExport, KalibrCamchainHoldsBothCamerasAndTheTransformFromCameraZeroToOne) {
  TempDir dir;
  const ExportedRig rig = OddRig();
  ASSERT_TRUE(ExportRig(rig, ExchangeFormat::Kalibr, dir.File("camchain.yaml")).ok);
  const YamlNode yaml = YamlReader::ReadFile(dir.File("camchain.yaml"));
  const CameraParameters* cameras[2] = {&rig.first.parameters, &rig.second.parameters};
  for (int c = 0; c < 2; ++c) {
    const YamlNode& cam = yaml["cam" + std::to_string(c)];
    const CameraParameters& p = *cameras[c];
    EXPECT_EQ(cam["camera_model"].scalar, "pinhole");
    EXPECT_EQ(cam["distortion_model"].scalar, "radtan");
    const double intrinsics[4] = {p.K[0], p.K[4], p.K[2], p.K[5]};
    ExpectValues(cam["intrinsics"].Numbers(), intrinsics, 4, "intrinsics");
    ExpectValues(cam["distortion_coeffs"].Numbers(), p.distortion.data(), 4, "distortion");
    const double resolution[2] = {640, 480};
    ExpectValues(cam["resolution"].Numbers(), resolution, 2, "resolution");
  }
  EXPECT_EQ(yaml["cam0"].fields.count("T_cn_cnm1"), 0u);
  // Kalibr lists which cameras see the same scene and the topic each camera's images came on.
  EXPECT_EQ(yaml["cam0"]["cam_overlaps"].Numbers(), std::vector<double>{1});
  EXPECT_EQ(yaml["cam1"]["cam_overlaps"].Numbers(), std::vector<double>{0});
  EXPECT_EQ(yaml["cam0"]["rostopic"].scalar, "/cam0/image_raw");
  EXPECT_EQ(yaml["cam1"]["rostopic"].scalar, "/cam1/image_raw");
  const YamlNode& T = yaml["cam1"]["T_cn_cnm1"];
  ASSERT_EQ(T.items.size(), 4u);
  for (size_t row = 0; row < 3; ++row) {
    // The rig is in millimetres; Kalibr's translation is in metres.
    const double expected[4] = {rig.R[3 * row], rig.R[3 * row + 1], rig.R[3 * row + 2], rig.T[row] * 0.001};
    ExpectValues(T[row].Numbers(), expected, 4, "T_cn_cnm1 row " + std::to_string(row));
  }
  const double last[4] = {0, 0, 0, 1};
  ExpectValues(T[3].Numbers(), last, 4, "T_cn_cnm1 last row");

  // A single camera is cam0 alone, overlapping no other.
  ASSERT_TRUE(ExportCamera(rig.first, ExchangeFormat::Kalibr, dir.File("single.yaml")).ok);
  const YamlNode single = YamlReader::ReadFile(dir.File("single.yaml"));
  EXPECT_EQ(single.fields.size(), 1u);
  EXPECT_TRUE(single["cam0"]["cam_overlaps"].isSeq);
  EXPECT_TRUE(single["cam0"]["cam_overlaps"].items.empty());
}

// An 83 mm rig as ROS and Kalibr read it: both carry the baseline in metres.
TEST(ParameterExport, RosAndKalibrRigsCarryTheBaselineInMetres) {
  TempDir dir;
  ExportedRig rig = OddRig();
  rig.R = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  rig.T = {-83.17, 0.0, 0.0};
  ASSERT_TRUE(ExportRig(rig, ExchangeFormat::Ros, dir.File("left.yaml")).ok);
  const std::vector<double> P2 = YamlReader::ReadFile(dir.File("left_1.yaml"))["projection_matrix"]["data"].Numbers();
  ASSERT_EQ(P2.size(), 12u);
  EXPECT_NEAR(-P2[3] / P2[0], 0.08317, 1e-12) << "P[0,3] = -fx' * baseline in metres";
  ASSERT_TRUE(ExportRig(rig, ExchangeFormat::Kalibr, dir.File("camchain.yaml")).ok);
  const YamlNode camchain = YamlReader::ReadFile(dir.File("camchain.yaml"));
  const YamlNode& T = camchain["cam1"]["T_cn_cnm1"];
  EXPECT_NEAR(std::hypot(T[0].Numbers()[3], T[1].Numbers()[3], T[2].Numbers()[3]), 0.08317, 1e-12);

  rig.unit = LengthUnit::Centimetre;  // the same numbers in centimetres are ten times the rig
  ASSERT_TRUE(ExportRig(rig, ExchangeFormat::Kalibr, dir.File("camchain_cm.yaml")).ok);
  EXPECT_NEAR(YamlReader::ReadFile(dir.File("camchain_cm.yaml"))["cam1"]["T_cn_cnm1"][0].Numbers()[3], -0.8317, 1e-12);
}

TEST(ParameterExport, RigFilesCarryOpenCvsRectificationAndRosSplitsTheCameras) {
  TempDir dir;
  const ExportedRig rig = OddRig();
  const RectifiedReference reference = Rectify(rig);
  ASSERT_TRUE(ExportRig(rig, ExchangeFormat::OpenCv, dir.File("rig.yml")).ok);
  cv::FileStorage fs(dir.File("rig.yml"), cv::FileStorage::READ);
  ExpectValues(MatValues(fs["camera_matrix"]), rig.first.parameters.K.data(), 9, "K0");
  ExpectValues(MatValues(fs["camera_matrix_1"]), rig.second.parameters.K.data(), 9, "K1");
  ExpectValues(MatValues(fs["R"]), rig.R.data(), 9, "R");
  ExpectValues(MatValues(fs["T"]), rig.T.data(), 3, "T");
  EXPECT_EQ(static_cast<std::string>(fs["T_unit"]), "mm") << "OpenCV files keep the workspace's unit and say which";
  ExpectValues(MatValues(fs["per_view_reprojection_errors"]), rig.perPairErrors.data(), 2, "pairs");
  const std::pair<const char*, const cv::Mat*> rectified[] = {
      {"R1", &reference.R1}, {"R2", &reference.R2}, {"P1", &reference.P1}, {"P2", &reference.P2}, {"Q", &reference.Q}};
  for (const auto& [key, matrix] : rectified) {
    const std::vector<double> expected = Values(*matrix);
    ExpectValues(MatValues(fs[key]), expected.data(), expected.size(), key);
  }

  const ExchangeResult ros = ExportRig(rig, ExchangeFormat::Ros, dir.File("left.yaml"));
  ASSERT_TRUE(ros.ok) << ros.message;
  ASSERT_EQ(ros.files, (std::vector<std::string>{dir.File("left.yaml"), dir.File("left_1.yaml")}));
  const YamlNode left = YamlReader::ReadFile(dir.File("left.yaml"));
  const YamlNode right = YamlReader::ReadFile(dir.File("left_1.yaml"));
  ExpectValues(right["camera_matrix"]["data"].Numbers(), rig.second.parameters.K.data(), 9, "right K");
  const RectifiedReference inMetres = Rectify(rig, 0.001);
  const std::vector<double> R1 = Values(inMetres.R1), P2 = Values(inMetres.P2);
  ExpectValues(left["rectification_matrix"]["data"].Numbers(), R1.data(), 9, "left rectification");
  ExpectValues(right["projection_matrix"]["data"].Numbers(), P2.data(), 12, "right projection");

  ExportedRig mixed = rig;
  mixed.second.parameters.width = 800;
  const ExchangeResult refused = ExportRig(mixed, ExchangeFormat::OpenCv, dir.File("mixed.yml"));
  EXPECT_FALSE(refused.ok);
  EXPECT_NE(refused.message.find("640x480 and 800x480"), std::string::npos) << refused.message;
  EXPECT_FALSE(std::filesystem::exists(dir.File("mixed.yml")));
}

TEST(ParameterExport, UncalibratedCamerasAndUnwritableTargetsAreRefused) {
  TempDir dir;
  ExportedCamera empty;
  EXPECT_FALSE(ExportCamera(empty, ExchangeFormat::Ros, dir.File("x.yaml")).ok);
  EXPECT_FALSE(std::filesystem::exists(dir.File("x.yaml")));
  for (ExchangeFormat format : {ExchangeFormat::OpenCv, ExchangeFormat::Ros, ExchangeFormat::Colmap, ExchangeFormat::Kalibr}) {
    const ExchangeResult result = ExportCamera(OddExport(), format, dir.File("missing-folder/out.yaml"));
    EXPECT_FALSE(result.ok);
    EXPECT_FALSE(result.message.empty());
  }
  EXPECT_EQ(ParseExchangeFormat("kalibr"), ExchangeFormat::Kalibr);
  EXPECT_FALSE(ParseExchangeFormat("OpenCV").has_value());
}

TEST(ParameterImport, AcceptsTheKeyVariantsInRowsOrColumnsAndOurOwnParameterFile) {
  TempDir dir;
  dir.Write("tutorial.yml",
            "%YAML:1.0\n---\nimage_Width: 640\nimage_Height: 480\n"
            "Camera_Matrix: !!opencv-matrix\n   rows: 3\n   cols: 3\n   dt: d\n   data: [ 800., 0., 320.5, 0., 790., 240.25, 0., 0., 1. ]\n"
            "Distortion_Coefficients: !!opencv-matrix\n   rows: 5\n   cols: 1\n   dt: d\n   data: [ -0.2, 0.05, 0.001, -0.002, 0. ]\n");
  dir.Write("camel.xml",
            "<?xml version=\"1.0\"?>\n<opencv_storage>\n<cameraMatrix type_id=\"opencv-matrix\"><rows>3</rows><cols>3</cols><dt>d</dt>"
            "<data>800. 0. 320.5 0. 790. 240.25 0. 0. 1.</data></cameraMatrix>\n"
            "<dist_coeffs type_id=\"opencv-matrix\"><rows>1</rows><cols>4</cols><dt>f</dt>"
            "<data>-0.2 0.05 0.001 -0.002</data></dist_coeffs>\n</opencv_storage>\n");
  CameraParameters current;
  current.width = 640;
  current.height = 480;
  for (const char* name : {"tutorial.yml", "camel.xml"}) {
    const ImportResult result = ReadParameterFile(dir.File(name), current);
    ASSERT_TRUE(result.ok) << name << ": " << result.message;
    EXPECT_DOUBLE_EQ(result.parameters.cx(), 320.5) << name;
    EXPECT_DOUBLE_EQ(result.parameters.fy(), 790.0) << name;
    EXPECT_NEAR(result.parameters.distortion[3], -0.002, 1e-9) << name;  // the XML's are floats
  }

  CCalibrationData source;
  source.AddCamera();
  CameraParameters own = OddCamera();
  own.R = {0, 1, 0, -1, 0, 0, 0, 0, 1};
  source.SetCameraParameters(0, own);
  ASSERT_TRUE(source.WriteIntrinsicFile(0, dir.File("Camera_0_Intrinsic.txt")));
  const ImportResult result = ReadParameterFile(dir.File("Camera_0_Intrinsic.txt"), current);
  ASSERT_TRUE(result.ok) << result.message;
  EXPECT_NEAR(result.parameters.fx(), own.fx(), 1e-6);  // the file keeps six decimals
  EXPECT_EQ(result.parameters.R[1], 1.0);
}

// A fisheye's intrinsic file holds an undistorted pinhole; with its model
// file beside it, the import is the fisheye, and any other file's camera is
// pinhole-radtan whatever the camera was before, never its coefficients read as another model's.
TEST(ParameterImport, OurIntrinsicFileTakesTheModelFileBesideItAndOtherFilesArePinholeRadtan) {
  TempDir dir;
  CCalibrationData source;
  source.AddCamera();
  CameraParameters fisheye = OddCamera();
  fisheye.model = LensModel::Fisheye;
  fisheye.distortion = {0.03125, -0.0078125, 0.001953125, -0.00048828125};
  source.SetCameraParameters(0, fisheye);
  ASSERT_TRUE(source.WriteIntrinsicFile(0, dir.File("Camera_0_Intrinsic.txt")));
  ASSERT_TRUE(source.WriteModelFile(0, dir.File("Camera_0_Model.txt")));
  const ImportResult read = ReadParameterFile(dir.File("Camera_0_Intrinsic.txt"), CameraParameters{});
  ASSERT_TRUE(read.ok) << read.message;
  EXPECT_EQ(read.parameters.model, LensModel::Fisheye);
  EXPECT_EQ(read.parameters.distortion, fisheye.distortion);
  dir.Write("Camera_0_Model.txt", "parameters omni 1 2\n");
  const ImportResult refused = ReadParameterFile(dir.File("Camera_0_Intrinsic.txt"), CameraParameters{});
  EXPECT_FALSE(refused.ok);
  EXPECT_NE(refused.message.find("Camera_0_Model.txt"), std::string::npos) << refused.message;

  dir.Write("plumb.yaml", "camera_matrix:\n  rows: 3\n  cols: 3\n  data: [800, 0, 320, 0, 800, 240, 0, 0, 1]\n"
                          "distortion_coefficients:\n  rows: 1\n  cols: 4\n  data: [-0.2, 0.05, 0.001, -0.002]\n");
  const ImportResult plumb = ReadParameterFile(dir.File("plumb.yaml"), fisheye);
  ASSERT_TRUE(plumb.ok) << plumb.message;
  EXPECT_EQ(plumb.parameters.model, LensModel::PinholeRadtan);
  EXPECT_EQ(plumb.parameters.distortion[1], 0.05);
}

TEST(ParameterImport, RefusalsNameTheCoefficientsModelOrSizeAndChangeNothing) {
  TempDir dir;
  const std::string K = "camera_matrix:\n  rows: 3\n  cols: 3\n  data: [800, 0, 320, 0, 800, 240, 0, 0, 1]\n";
  const std::string D5 = "distortion_coefficients:\n  rows: 1\n  cols: 5\n  data: [-0.2, 0.05, 0, 0, 0]\n";
  struct Case {
    const char* name;
    std::string text;
    const char* message;  // a part of the refusal
  };
  const Case cases[] = {
      {"prism.yaml",
       K + "distortion_coefficients:\n  rows: 1\n  cols: 12\n  data: [-0.2, 0.05, 0, 0, 0.01, 0, 0.3, 0, 0.02, 0, 0, -0.001]\n",
       "s1 = 0.02, s4 = -0.001"},
      {"model.yaml", K + "distortion_model: omnidirectional\n" + D5, "omnidirectional"},
      {"size.yaml", "image_width: 1280\nimage_height: 720\n" + K + D5, "1280x720 differs from the camera's 640x480"},
      {"truncated.yaml", K + "distortion_coefficients:\n  rows: 1\n  cols: 5\n  data: [-0.2, 0.0", "cannot be parsed"},
      {"keys.yaml", "intrinsics: [800, 800, 320, 240]\n" + D5, "no camera_matrix"},
      {"nan.yaml", "camera_matrix:\n  rows: 3\n  cols: 3\n  data: [.nan, 0, 320, 0, 800, 240, 0, 0, 1]\n" + D5, "finite"},
      {"huge.yaml", "camera_matrix:\n  rows: 100000\n  cols: 100000\n  data: [1]\n" + D5, "100000x100000"},
      {"count.yaml", "camera_matrix:\n  rows: 3\n  cols: 3\n  data: [800, 0, 320]\n" + D5, "3 values for 3x3"},
      {"skew.yaml", "camera_matrix:\n  rows: 3\n  cols: 3\n  data: [800, 2, 320, 0, 800, 240, 0, 0, 1]\n" + D5, "skew"},
      {"text.yaml", "camera_matrix: [a, b]\n" + D5, "not a number"},
      {"empty.yaml", "\n\n", "empty"},
      {"binary.yaml", std::string("\x89PNG\r\n\x1a\n\0\0", 10), "cannot be parsed"},
  };
  CCalibrationData data;
  data.AddCamera();
  CameraParameters before = OddCamera();
  data.SetCameraParameters(0, before);
  for (const Case& c : cases) {
    dir.Write(c.name, c.text);
    const ImportResult result = ImportParameters(data, 0, dir.File(c.name));
    EXPECT_FALSE(result.ok) << c.name;
    EXPECT_NE(result.message.find(c.message), std::string::npos) << c.name << ": " << result.message;
    ExpectSameIntrinsics(data.GetCameraParameters(0), before);
  }
  EXPECT_FALSE(ImportParameters(data, 0, dir.File("absent.yaml")).ok);
  EXPECT_FALSE(ImportParameters(data, 3, dir.File("prism.yaml")).ok);

  // A file bigger than any parameter file is not read at all.
  dir.Write("big.yaml", std::string(2u << 20, '#'));
  EXPECT_NE(ImportParameters(data, 0, dir.File("big.yaml")).message.find("too large"), std::string::npos);

  // The accepted form of the same file changes the camera.
  dir.Write("good.yaml", K + D5);
  ASSERT_TRUE(ImportParameters(data, 0, dir.File("good.yaml")).ok);
  EXPECT_DOUBLE_EQ(data.GetCameraParameters(0).fx(), 800.0);
}

// What we write, we read: every single-camera file an export writes imports
// the exported parameters, and exporting them again writes the same file.
TEST(ParameterImport, EveryExportedSingleCameraFormatImportsBackAndExportsTheSameFile) {
  TempDir dir;
  const ExportedCamera camera = OddExport();
  CameraParameters current;
  current.width = 640;
  current.height = 480;
  const std::pair<ExchangeFormat, const char*> formats[] = {
      {ExchangeFormat::OpenCv, "opencv.yaml"}, {ExchangeFormat::OpenCv, "opencv.xml"}, {ExchangeFormat::Ros, "ros.yaml"},
      {ExchangeFormat::Colmap, "cameras.txt"}, {ExchangeFormat::Kalibr, "camchain.yaml"}};
  for (const auto& [format, name] : formats) {
    ASSERT_TRUE(ExportCamera(camera, format, dir.File(name)).ok) << name;
    const ImportResult imported = ReadParameterFile(dir.File(name), current);
    ASSERT_TRUE(imported.ok) << name << ": " << imported.message;
    for (size_t i = 0; i < 9; ++i) EXPECT_NEAR(imported.parameters.K[i], camera.parameters.K[i], 1e-9) << name << " K" << i;
    for (size_t i = 0; i < 4; ++i)
      EXPECT_NEAR(imported.parameters.distortion[i], camera.parameters.distortion[i], 1e-9) << name << " D" << i;
    EXPECT_EQ(imported.parameters.width, 640) << name;
    EXPECT_EQ(imported.parameters.height, 480) << name;
    ExportedCamera again = camera;
    again.parameters = imported.parameters;
    const std::string second = std::string("again_") + name;
    ASSERT_TRUE(ExportCamera(again, format, dir.File(second)).ok) << name;
    EXPECT_EQ(dir.Read(second), dir.Read(name)) << name << " changed on the way round";
  }
}

TEST(ParameterImport, KalibrAndColmapFilesOfOtherProgramsReadWithTheirModels) {
  TempDir dir;
  // As Kalibr writes a camera calibrated with an IMU: the pose block is laid
  // out as OpenCV's YAML reader cannot read.
  dir.Write("kalibr.yaml",
            "cam0:\n  T_cam_imu:\n  - [0.0148, -0.9998, 0.0041, -0.0216]\n  - [0.9998, 0.0148, 0.0257, -0.0646]\n"
            "  - [-0.0257, 0.0044, 0.9996, 0.0098]\n  - [0.0, 0.0, 0.0, 1.0]\n  cam_overlaps: []\n"
            "  camera_model: pinhole\n  distortion_coeffs: [-0.28340811, 0.07395907, 0.00019359, 1.76187114e-05]\n"
            "  distortion_model: radtan\n  intrinsics: [458.654, 457.296, 367.215, 248.375]\n"
            "  resolution: [752, 480]\n  rostopic: /cam0/image_raw\n  timeshift_cam_imu: 0.0\n");
  const ImportResult kalibr = ReadParameterFile(dir.File("kalibr.yaml"), CameraParameters{});
  ASSERT_TRUE(kalibr.ok) << kalibr.message;
  EXPECT_DOUBLE_EQ(kalibr.parameters.fy(), 457.296);
  EXPECT_DOUBLE_EQ(kalibr.parameters.cx(), 367.215) << "Kalibr's principal point is ours";
  EXPECT_DOUBLE_EQ(kalibr.parameters.distortion[3], 1.76187114e-05);
  EXPECT_EQ(kalibr.parameters.width, 752);

  dir.Write("pinhole.txt", "# Camera list\n1 PINHOLE 640 480 800 790 320.5 240.5\n");
  dir.Write("radial.txt", "1 SIMPLE_RADIAL 640 480 800 320.5 240.5 -0.1\n");
  dir.Write("full.txt", "7 FULL_OPENCV 640 480 800 790 320.5 240.5 -0.1 0.01 0.001 0.002 0 0 0 0\n");
  for (const char* name : {"pinhole.txt", "radial.txt", "full.txt"}) {
    const ImportResult colmap = ReadParameterFile(dir.File(name), CameraParameters{});
    ASSERT_TRUE(colmap.ok) << name << ": " << colmap.message;
    EXPECT_DOUBLE_EQ(colmap.parameters.fx(), 800.0) << name;
    EXPECT_DOUBLE_EQ(colmap.parameters.cx(), 320.0) << name << ": COLMAP's pixel centres sit half a pixel further";
    EXPECT_DOUBLE_EQ(colmap.parameters.cy(), 240.0) << name;
  }
  // A YAML file that opens with a comment and a word is no COLMAP file.
  ExportedCamera left = OddExport();
  left.name = "left";
  ASSERT_TRUE(ExportCamera(left, ExchangeFormat::Ros, dir.File("left.yaml")).ok);
  dir.Write("commented.yaml", "# calibrated on Tuesday\n" + dir.Read("left.yaml"));
  const ImportResult commented = ReadParameterFile(dir.File("commented.yaml"), CameraParameters{});
  ASSERT_TRUE(commented.ok) << commented.message;
  ExpectSameIntrinsics(commented.parameters, left.parameters);

  EXPECT_DOUBLE_EQ(ReadParameterFile(dir.File("radial.txt"), CameraParameters{}).parameters.fy(), 800.0);
  EXPECT_DOUBLE_EQ(ReadParameterFile(dir.File("radial.txt"), CameraParameters{}).parameters.distortion[0], -0.1);
  EXPECT_DOUBLE_EQ(ReadParameterFile(dir.File("full.txt"), CameraParameters{}).parameters.distortion[3], 0.002);
}

TEST(ParameterImport, FilesItCannotHoldOrDoesNotReadAreRefusedSayingWhy) {
  TempDir dir;
  const std::string camera = "  camera_model: pinhole\n  distortion_coeffs: [-0.2, 0.05, 0, 0]\n"
                             "  distortion_model: radtan\n  intrinsics: [800, 800, 320, 240]\n  resolution: [640, 480]\n";
  struct Case {
    const char* name;
    std::string text;
    const char* message;
  };
  const Case cases[] = {
      {"rig.yaml", "cam0:\n" + camera + "cam1:\n" + camera, "holds 2 cameras (cam0, cam1)"},
      {"fov.yaml", "cam0:\n  camera_model: pinhole\n  distortion_coeffs: [0.9]\n"
                   "  distortion_model: fov\n  intrinsics: [800, 800, 320, 240]\n  resolution: [640, 480]\n",
       "distortion model \"fov\""},
      {"omni.yaml", "cam0:\n  camera_model: omni\n" + camera.substr(camera.find("  distortion_coeffs")), "camera model \"omni\""},
      {"short.yaml", "cam0:\n  camera_model: pinhole\n  distortion_model: radtan\n  intrinsics: [800, 800, 320]\n",
       "intrinsics must be a list of 4 numbers"},
      {"two.txt", "1 OPENCV 640 480 800 800 320 240 0 0 0 0\n2 OPENCV 640 480 800 800 320 240 0 0 0 0\n",
       "lists 2 cameras"},
      {"thin.txt", "1 THIN_PRISM_FISHEYE 640 480 800 800 320 240 0.1 0 0 0 0 0 0 0 0 0 0 0\n",
       "model THIN_PRISM_FISHEYE cannot be held"},
      {"count.txt", "1 OPENCV 640 480 800 800 320 240\n", "has 4 parameters instead of 8"},
      {"keys.yaml", "intrinsics: [800, 800, 320, 240]\n",
       "no camera_matrix, Camera_Matrix or cameraMatrix; parameters are read from OpenCV YAML/XML"},
      {"notes.yaml", "- just\n- a list\n", "Kalibr camchain YAML and COLMAP cameras.txt with one camera each"},
  };
  for (const Case& c : cases) {
    dir.Write(c.name, c.text);
    const ImportResult result = ReadParameterFile(dir.File(c.name), CameraParameters{});
    EXPECT_FALSE(result.ok) << c.name;
    EXPECT_NE(result.message.find(c.message), std::string::npos) << c.name << ": " << result.message;
  }
}

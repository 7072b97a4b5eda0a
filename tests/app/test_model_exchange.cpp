// Cameras of every lens model in the files other programs read: each export
// read back by the consumer's own reader (cv::FileStorage, libyaml, COLMAP's
// text layout) to 1e-12, imported as the model it was, and exported again to
// the same bytes; rigs rectified as OpenCV would; what a format cannot hold
// refused with the reason.

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>

#include "YamlTree.h"
#include "app/ParameterExchange.h"
#include "support/TempDir.h"

namespace {

// A camera of the model with coefficients that need every digit.
CameraParameters CameraOf(LensModel model, double shift = 0.0) {
  CameraParameters p;
  p.model = model;
  p.K = {512.34567890123456 + shift, 0, 321.98765432109876, 0, 510.76543210987654 - shift, 241.13579246813579, 0, 0, 1};
  switch (model) {
    case LensModel::PinholeRadtan:
      p.distortion = {-0.21234567890123456, 0.081234567890123456, 0.0012345678901234567, -0.00076543210987654321};
      break;
    case LensModel::PinholeRadtanK3:
      p.distortion = {-0.21234567890123456, 0.081234567890123456, 0.0012345678901234567, -0.00076543210987654321,
                      -0.012345678901234567};
      break;
    case LensModel::Rational:
      p.distortion = {0.31234567890123456, 0.051234567890123456, 0.00051234567890123456, -0.00031234567890123456,
                      0.0021234567890123456, 0.42345678901234567, 0.031234567890123456, 0.0041234567890123456};
      break;
    case LensModel::Fisheye:
      p.distortion = {0.031234567890123456, -0.0081234567890123456, 0.0015123456789012345, -0.00012345678901234567};
      break;
  }
  p.width = 640;
  p.height = 480;
  return p;
}

ExportedCamera ExportOf(LensModel model) {
  ExportedCamera camera;
  camera.parameters = CameraOf(model);
  camera.averageError = 0.2;
  camera.perViewErrors = {0.19, 0.21};
  return camera;
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

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// How each format names the model and how many coefficients it lists.
struct Expected {
  const char* ros;
  const char* colmap;
  size_t openCvCount;
  size_t colmapCount;
};

Expected ExpectedFor(LensModel model) {
  switch (model) {
    case LensModel::PinholeRadtanK3:
      return {"plumb_bob", "FULL_OPENCV", 5, 8};
    case LensModel::Rational:
      return {"rational_polynomial", "FULL_OPENCV", 8, 8};
    case LensModel::Fisheye:
      return {"equidistant", "OPENCV_FISHEYE", 4, 4};
    case LensModel::PinholeRadtan:
      break;
  }
  return {"plumb_bob", "OPENCV", 5, 4};
}

void ExpectImportedAs(const std::string& path, const CameraParameters& expected) {
  const ImportResult imported = ReadParameterFile(path, CameraParameters{});
  ASSERT_TRUE(imported.ok) << path << ": " << imported.message;
  EXPECT_EQ(imported.parameters.model, expected.model) << path;
  for (size_t i = 0; i < 9; ++i) ExpectRelative(imported.parameters.K[i], expected.K[i], path + " K");
  for (size_t i = 0; i < expected.distortion.size(); ++i)
    ExpectRelative(imported.parameters.distortion[i], expected.distortion[i], path + " coefficient " + std::to_string(i));
  EXPECT_EQ(imported.parameters.width, expected.width);
}

// Export -> import -> export gives the same file.
void ExpectSameFileAfterImport(const std::string& path, ExchangeFormat format) {
  const ImportResult imported = ReadParameterFile(path, CameraParameters{});
  ASSERT_TRUE(imported.ok) << imported.message;
  ExportedCamera again;
  again.parameters = imported.parameters;
  const std::string second = path + ".again";
  ASSERT_TRUE(ExportCamera(again, format, second).ok);
  EXPECT_EQ(ReadText(second), ReadText(path)) << path;
}

}  // namespace

TEST(ModelExport, OpenCvFilesHoldEachModelsCoefficientsAndTheFisheyeUnderItsOwnKey) {
  TempDir dir;
  for (const LensModelInfo& info : AllLensModels()) {
    SCOPED_TRACE(info.name);
    ExportedCamera camera = ExportOf(info.model);
    camera.perViewErrors.clear();  // a file without errors exports and reimports to the same bytes
    const std::string path = dir.File(std::string(info.name) + ".yml");
    const ExchangeResult written = ExportCamera(camera, ExchangeFormat::OpenCv, path);
    ASSERT_TRUE(written.ok) << written.message;
    cv::FileStorage fs(path, cv::FileStorage::READ);
    ASSERT_TRUE(fs.isOpened());
    const CameraParameters& p = camera.parameters;
    ExpectValues(MatValues(fs["camera_matrix"]), p.K.data(), 9, "K");
    const size_t count = ExpectedFor(info.model).openCvCount;
    const bool fisheye = info.model == LensModel::Fisheye;
    ExpectValues(MatValues(fs[fisheye ? "fisheye_distortion_coefficients" : "distortion_coefficients"]),
                 p.distortion.data(), count, "coefficients");
    EXPECT_EQ(fs["distortion_coefficients"].empty(), fisheye) << "a fisheye's k1..k4 are never pinhole coefficients";
    if (fisheye) {
      EXPECT_EQ(static_cast<std::string>(fs["distortion_model"]), "fisheye");
    }
    ExpectImportedAs(path, p);
    ExpectSameFileAfterImport(path, ExchangeFormat::OpenCv);
  }
}

TEST(ModelExport, RosFilesNameTheirDistortionModelAndReadBackThroughLibyaml) {
  TempDir dir;
  for (const LensModelInfo& info : AllLensModels()) {
    SCOPED_TRACE(info.name);
    const ExportedCamera camera = ExportOf(info.model);
    const std::string path = dir.File(std::string(info.name) + ".yaml");
    ASSERT_TRUE(ExportCamera(camera, ExchangeFormat::Ros, path).ok);
    const YamlNode yaml = YamlReader::ReadFile(path);
    const Expected expected = ExpectedFor(info.model);
    EXPECT_EQ(yaml["distortion_model"].scalar, expected.ros);
    EXPECT_EQ(yaml["distortion_coefficients"]["cols"].scalar, std::to_string(expected.openCvCount));
    ExpectValues(yaml["distortion_coefficients"]["data"].Numbers(), camera.parameters.distortion.data(),
                 expected.openCvCount, "D");
    ExpectValues(yaml["camera_matrix"]["data"].Numbers(), camera.parameters.K.data(), 9, "K");
    ExpectImportedAs(path, camera.parameters);
    ExpectSameFileAfterImport(path, ExchangeFormat::Ros);
  }
}

TEST(ModelExport, ColmapLinesUseOpenCvFullOpenCvAndOpenCvFisheye) {
  TempDir dir;
  for (const LensModelInfo& info : AllLensModels()) {
    SCOPED_TRACE(info.name);
    const ExportedCamera camera = ExportOf(info.model);
    const std::string path = dir.File(std::string(info.name) + ".txt");
    ASSERT_TRUE(ExportCamera(camera, ExchangeFormat::Colmap, path).ok);
    std::istringstream lines(ReadText(path));
    std::string line;
    while (std::getline(lines, line) && line.rfind('#', 0) == 0) {
    }
    std::istringstream words(line);
    int id = 0, width = 0, height = 0;
    std::string model;
    words >> id >> model >> width >> height;
    const Expected expected = ExpectedFor(info.model);
    EXPECT_EQ(model, expected.colmap);
    EXPECT_EQ(width, 640);
    const CameraParameters& p = camera.parameters;
    std::vector<double> values;
    for (double v; words >> v;) values.push_back(v);
    std::vector<double> wanted = {p.K[0], p.K[4], p.K[2] + 0.5, p.K[5] + 0.5};
    wanted.insert(wanted.end(), p.distortion.begin(), p.distortion.begin() + static_cast<ptrdiff_t>(expected.colmapCount));
    ExpectValues(values, wanted.data(), wanted.size(), "PARAMS");
  }
}

TEST(ModelExport, KalibrHoldsPinholeRadtanAndTheFisheyeAsPinholeEquiAndRefusesTheOthers) {
  TempDir dir;
  const ExportedCamera fisheye = ExportOf(LensModel::Fisheye);
  ASSERT_TRUE(ExportCamera(fisheye, ExchangeFormat::Kalibr, dir.File("fisheye.yaml")).ok);
  const YamlNode cam0 = YamlReader::ReadFile(dir.File("fisheye.yaml"))["cam0"];
  EXPECT_EQ(cam0["camera_model"].scalar, "pinhole");
  EXPECT_EQ(cam0["distortion_model"].scalar, "equidistant");
  ExpectValues(cam0["distortion_coeffs"].Numbers(), fisheye.parameters.distortion.data(), 4, "k1..k4");
  for (LensModel model : {LensModel::PinholeRadtanK3, LensModel::Rational}) {
    const std::string path = dir.File(std::string(LensModelName(model)) + ".yaml");
    const ExchangeResult refused = ExportCamera(ExportOf(model), ExchangeFormat::Kalibr, path);
    EXPECT_FALSE(refused.ok);
    EXPECT_NE(refused.message.find(LensModelName(model)), std::string::npos) << refused.message;
    EXPECT_FALSE(std::ifstream(path).good()) << "a refused export writes nothing";
  }
}

TEST(ModelExport, RigsRectifyAsOpenCvDoesForTheirModelAndMixedRigsOnlyWhereNoRectificationIsNeeded) {
  TempDir dir;
  ExportedRig rig;
  rig.first = ExportOf(LensModel::Fisheye);
  rig.second = ExportOf(LensModel::Fisheye);
  rig.second.parameters = CameraOf(LensModel::Fisheye, 3.5);
  cv::Mat R;
  cv::Rodrigues(cv::Vec3d(0.01, -0.05, 0.002), R);
  std::copy(R.begin<double>(), R.end<double>(), rig.R.begin());
  rig.T = {-120.5, 1.25, 2.5};
  ASSERT_TRUE(ExportRig(rig, ExchangeFormat::OpenCv, dir.File("fisheye-rig.yml")).ok);
  cv::FileStorage fs(dir.File("fisheye-rig.yml"), cv::FileStorage::READ);
  auto K = [](const CameraParameters& p) { return cv::Mat(3, 3, CV_64F, const_cast<double*>(p.K.data())).clone(); };
  auto D = [](const CameraParameters& p) { return cv::Mat(4, 1, CV_64F, const_cast<double*>(p.distortion.data())).clone(); };
  cv::Mat R1, R2, P1, P2, Q;
  cv::fisheye::stereoRectify(K(rig.first.parameters), D(rig.first.parameters), K(rig.second.parameters),
                             D(rig.second.parameters), cv::Size(640, 480), R, cv::Mat(cv::Vec3d(-120.5, 1.25, 2.5)), R1,
                             R2, P1, P2, Q, cv::CALIB_ZERO_DISPARITY);
  ExpectValues(MatValues(fs["R1"]), R1.ptr<double>(), 9, "R1");
  ExpectValues(MatValues(fs["P2"]), P2.ptr<double>(), 12, "P2");
  ExpectValues(MatValues(fs["fisheye_distortion_coefficients_1"]), rig.second.parameters.distortion.data(), 4, "D1");

  rig.second.parameters = CameraOf(LensModel::Rational);
  for (ExchangeFormat format : {ExchangeFormat::OpenCv, ExchangeFormat::Ros}) {
    const ExchangeResult refused = ExportRig(rig, format, dir.File("mixed.yaml"));
    EXPECT_FALSE(refused.ok);
    EXPECT_NE(refused.message.find("fisheye and rational"), std::string::npos) << refused.message;
  }
  EXPECT_TRUE(ExportRig(rig, ExchangeFormat::Colmap, dir.File("mixed.txt")).ok);
  EXPECT_FALSE(ExportRig(rig, ExchangeFormat::Kalibr, dir.File("mixed-kalibr.yaml")).ok) << "rational has no Kalibr form";
}

TEST(ModelImport, ForeignFilesGiveTheirModelAndWhatNoModelHoldsIsRefusedByName) {
  TempDir dir;
  const std::string K = "camera_matrix:\n  rows: 3\n  cols: 3\n  data: [500, 0, 320, 0, 500, 240, 0, 0, 1]\n";
  auto write = [&](const std::string& name, const std::string& text) {
    std::ofstream(dir.File(name)) << text;
    return dir.File(name);
  };
  auto D = [](int count, const std::string& values) {
    return "distortion_coefficients:\n  rows: 1\n  cols: " + std::to_string(count) + "\n  data: [" + values + "]\n";
  };
  struct Case {
    std::string name, text;
    LensModel model;
    double last;  // the last coefficient the model holds
  };
  const Case read[] = {
      {"opencv8.yaml", K + D(8, "0.3, 0.05, 0, 0, 0.002, 0.4, 0.03, 0.004"), LensModel::Rational, 0.004},
      {"opencv5.yaml", K + D(5, "-0.2, 0.05, 0, 0, 0.01"), LensModel::PinholeRadtanK3, 0.01},
      {"opencv14.yaml", K + D(14, "-0.2, 0.05, 0, 0, 0.01, 0, 0, 0, 0, 0, 0, 0, 0, 0"), LensModel::Rational, 0.0},
      {"ros-rational.yaml", K + "distortion_model: rational_polynomial\n" + D(8, "0.3, 0.05, 0, 0, 0.002, 0.4, 0.03, 0.004"),
       LensModel::Rational, 0.004},
      {"ros-equidistant.yaml", K + "distortion_model: equidistant\n" + D(4, "0.03, -0.008, 0.0015, -0.0002"),
       LensModel::Fisheye, -0.0002},
      {"kalibr-equi.yaml", "cam0:\n  camera_model: pinhole\n  distortion_coeffs: [0.03, -0.008, 0.0015, -0.0002]\n"
                           "  distortion_model: equidistant\n  intrinsics: [500, 500, 320, 240]\n  resolution: [640, 480]\n",
       LensModel::Fisheye, -0.0002},
      {"colmap-fisheye.txt", "1 OPENCV_FISHEYE 640 480 500 500 320.5 240.5 0.03 -0.008 0.0015 -0.0002\n",
       LensModel::Fisheye, -0.0002},
      {"colmap-k3.txt", "1 FULL_OPENCV 640 480 500 500 320.5 240.5 -0.2 0.05 0 0 0.01 0 0 0\n",
       LensModel::PinholeRadtanK3, 0.01},
      {"colmap-rational.txt", "1 FULL_OPENCV 640 480 500 500 320.5 240.5 0.3 0.05 0 0 0.002 0.4 0.03 0.004\n",
       LensModel::Rational, 0.004},
  };
  for (const Case& c : read) {
    const ImportResult imported = ReadParameterFile(write(c.name, c.text), CameraParameters{});
    ASSERT_TRUE(imported.ok) << c.name << ": " << imported.message;
    EXPECT_EQ(imported.parameters.model, c.model) << c.name;
    EXPECT_EQ(imported.parameters.distortion[static_cast<size_t>(DistortionCount(c.model)) - 1], c.last) << c.name;
  }
  const std::pair<std::string, std::string> refused[] = {
      {K + D(14, "-0.2, 0.05, 0, 0, 0.01, 0, 0, 0, 0.001, 0, 0, 0, 0, 0"), "s1"},
      {K + "distortion_model: equidistant\n" + D(5, "0.03, -0.008, 0.0015, -0.0002, 0"), "four values"},
      {K + "distortion_model: fisheye\n" + D(4, "0.03, -0.008, 0.0015, -0.0002"), "fisheye_distortion_coefficients"},
      {K + "distortion_model: omni\n" + D(4, "0.03, -0.008, 0.0015, -0.0002"), "\"omni\""},
  };
  for (const auto& [text, reason] : refused) {
    const ImportResult result = ReadParameterFile(write("refused.yaml", text), CameraParameters{});
    EXPECT_FALSE(result.ok) << text;
    EXPECT_NE(result.message.find(reason), std::string::npos) << result.message;
  }
}

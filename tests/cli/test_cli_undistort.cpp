#include <gtest/gtest.h>

#include <QImage>
#include <algorithm>
#include <cmath>
#include <fstream>
#include <string>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "app/ParameterExchange.h"
#include "core/CalibrationData.h"
#include "support/LentoraProcess.h"

namespace {

class UndistortCli : public ::testing::Test {
 protected:
  void SetUp() override {
    camera_.K = {300, 0, 161.5, 0, 305, 118.25, 0, 0, 1};
    camera_.distortion = {-0.3, 0.1, 0.002, -0.001, 0};
    camera_.width = 320;
    camera_.height = 240;
    intrinsic_ = WriteIntrinsic("intrinsic.txt", camera_);
    image_ = cv::Mat(240, 320, CV_8UC3);
    for (int y = 0; y < 240; ++y)
      for (int x = 0; x < 320; ++x)
        image_.at<cv::Vec3b>(y, x) = cv::Vec3b(((x / 10 + y / 10) % 2) * 200 + 20, x * 255 / 320, y);
    cv::GaussianBlur(image_, image_, cv::Size(5, 5), 1.0);
    ASSERT_TRUE(cv::imwrite(dir_.File("in.png"), image_));
  }

  std::string WriteIntrinsic(const std::string& name, const CameraParameters& camera) {
    CCalibrationData data;
    data.AddCamera();
    data.SetCameraParameters(0, camera);
    EXPECT_TRUE(data.WriteIntrinsicFile(0, dir_.File(name)));
    return dir_.File(name);
  }

  ProcessResult Lentora(const std::string& arguments) { return RunLentora("undistort " + arguments, dir_); }

  // One message line on stderr and exit status 1.
  void ExpectBadInput(const std::string& arguments, const std::string& mention) {
    const ProcessResult run = Lentora(arguments);
    EXPECT_EQ(run.status, 1) << arguments;
    EXPECT_NE(run.err.find(mention), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  }

  cv::Mat Reference() const {
    const cv::Mat K(3, 3, CV_64F, const_cast<double*>(camera_.K.data()));
    const cv::Mat D(1, 4, CV_64F, const_cast<double*>(camera_.distortion.data()));
    cv::Mat map1, map2, out;
    cv::initUndistortRectifyMap(K, D, cv::noArray(), K, image_.size(), CV_16SC2, map1, map2);
    cv::remap(image_, out, map1, map2, cv::INTER_LINEAR, cv::BORDER_CONSTANT);
    return out;
  }

  TempDir dir_;
  CameraParameters camera_;
  std::string intrinsic_;
  cv::Mat image_;
};

TEST_F(UndistortCli, UndistortsLikeTheReference) {
  const ProcessResult run = Lentora(Quoted(intrinsic_) + " " + Quoted(dir_.File("in.png")) + " " + Quoted(dir_.File("out.png")));
  ASSERT_EQ(run.status, 0) << run.err;
  const cv::Mat out = cv::imread(dir_.File("out.png"), cv::IMREAD_COLOR);
  ASSERT_EQ(out.size(), image_.size());
  EXPECT_LT(cv::norm(out, Reference(), cv::NORM_L1) / (out.total() * 3.0), 1.0);

  ASSERT_EQ(Lentora(Quoted(intrinsic_) + " " + Quoted(dir_.File("in.png")) + " " + Quoted(dir_.File("out.jpg"))).status, 0);
  EXPECT_EQ(cv::imread(dir_.File("out.jpg")).size(), image_.size());
}

// Every single-camera file an export writes undistorts exactly as our own
// intrinsic file with the same parameters does.
TEST_F(UndistortCli, EveryExportedParameterFileGivesTheSameImageAsTheIntrinsicFile) {
  ASSERT_EQ(Lentora(Quoted(intrinsic_) + " " + Quoted(dir_.File("in.png")) + " " + Quoted(dir_.File("own.png"))).status, 0);
  const cv::Mat own = cv::imread(dir_.File("own.png"), cv::IMREAD_COLOR);
  ExportedCamera exported;
  exported.parameters = camera_;
  exported.averageError = 0.1;
  exported.perViewErrors = {0.1};
  const std::pair<ExchangeFormat, const char*> files[] = {
      {ExchangeFormat::OpenCv, "camera.yaml"}, {ExchangeFormat::OpenCv, "camera.xml"}, {ExchangeFormat::Ros, "ros.yaml"},
      {ExchangeFormat::Colmap, "cameras.txt"}, {ExchangeFormat::Kalibr, "camchain.yaml"}};
  for (const auto& [format, name] : files) {
    ASSERT_TRUE(ExportCamera(exported, format, dir_.File(name)).ok) << name;
    const std::string out = dir_.File(std::string(name) + ".png");
    const ProcessResult run = Lentora(Quoted(dir_.File(name)) + " " + Quoted(dir_.File("in.png")) + " " + Quoted(out));
    ASSERT_EQ(run.status, 0) << name << ": " << run.err;
    const cv::Mat image = cv::imread(out, cv::IMREAD_COLOR);
    ASSERT_EQ(image.size(), own.size()) << name;
    EXPECT_EQ(cv::norm(image, own, cv::NORM_INF), 0.0) << name;
  }
  // A file of another program's that is none of these says what is read.
  std::ofstream(dir_.File("notes.yaml")) << "comment: calibrated on Tuesday\n";
  ExpectBadInput(Quoted(dir_.File("notes.yaml")) + " " + Quoted(dir_.File("in.png")) + " " + Quoted(dir_.File("x.png")),
                 "Kalibr camchain YAML and COLMAP cameras.txt");
}

// The parameters OpenCV reads from our OpenCV export of `camera`, and its own
// undistortion of the picture with them (for a fisheye, into `output`).
cv::Mat OpenCvUndistortion(const std::string& exported, const cv::Mat& image, bool fisheye, const cv::Mat& output) {
  cv::FileStorage fs(exported, cv::FileStorage::READ);
  cv::Mat K, D, out;
  fs["camera_matrix"] >> K;
  fs[fisheye ? "fisheye_distortion_coefficients" : "distortion_coefficients"] >> D;
  if (fisheye)
    cv::fisheye::undistortImage(image, out, K, D, output.empty() ? K : output, image.size());
  else
    cv::undistort(image, out, K, D);
  return out;
}

// Every lens model's export, undistorted by OpenCV and by us, gives the same
// picture within 2 grey levels (OpenCV samples at 1/32 pixel, we at 1/128).
TEST_F(UndistortCli, EveryModelsExportUndistortsAsOpenCvDoes) {
  CameraParameters k3 = camera_;
  k3.model = LensModel::PinholeRadtanK3;
  k3.distortion = {-0.3, 0.1, 0.002, -0.001, -0.02, 0, 0, 0};
  CameraParameters rational = camera_;
  rational.model = LensModel::Rational;
  rational.distortion = {0.2, 0.05, 0.002, -0.001, 0.002, 0.5, 0.1, 0.01};
  CameraParameters fisheye = camera_;
  fisheye.model = LensModel::Fisheye;
  fisheye.K = {101.0, 0, 160.5, 0, 100.0, 118.0, 0, 0, 1};  // about 180 degrees across
  fisheye.distortion = {0.03, -0.008, 0.0015, -0.0002, 0, 0, 0, 0};
  const double wide = 100.0;
  const double f = 160.0 / std::tan(0.5 * wide * CV_PI / 180.0);
  const cv::Mat pinholeOfWide = (cv::Mat_<double>(3, 3) << f, 0, 159.5, 0, f * 100.0 / 101.0, 119.5, 0, 0, 1);
  struct Case {
    const char* name;
    CameraParameters camera;
    std::string option;
    cv::Mat output;
  };
  const Case cases[] = {{"pinhole-radtan", camera_, "", {}},
                        {"pinhole-radtan-k3", k3, "", {}},
                        {"rational", rational, "", {}},
                        {"fisheye", fisheye, "", {}},
                        {"fisheye 100 degrees", fisheye, " --field-of-view 100", pinholeOfWide}};
  for (const Case& c : cases) {
    ExportedCamera exported;
    exported.parameters = c.camera;
    const std::string file = dir_.File(std::string(c.name) + ".yaml");
    ASSERT_TRUE(ExportCamera(exported, ExchangeFormat::OpenCv, file).ok) << c.name;
    const std::string out = dir_.File(std::string(c.name) + ".png");
    const ProcessResult run = Lentora(Quoted(file) + " " + Quoted(dir_.File("in.png")) + " " + Quoted(out) + c.option);
    ASSERT_EQ(run.status, 0) << c.name << ": " << run.err;
    const cv::Mat ours = cv::imread(out, cv::IMREAD_COLOR);
    const cv::Mat reference = OpenCvUndistortion(file, image_, c.camera.model == LensModel::Fisheye, c.output);
    ASSERT_EQ(ours.size(), reference.size()) << c.name;
    EXPECT_LE(cv::norm(ours, reference, cv::NORM_INF), 2.0) << c.name;
    EXPECT_GT(cv::norm(ours, image_, cv::NORM_L1) / (image_.total() * 3.0), 5.0) << c.name << ": nothing undistorted";
  }
  for (const char* degrees : {"180", "0", "wide"}) {
    const ProcessResult refused = Lentora(Quoted(dir_.File("fisheye.yaml")) + " " + Quoted(dir_.File("in.png")) + " " +
                                          Quoted(dir_.File("x.png")) + " --field-of-view " + degrees);
    EXPECT_EQ(refused.status, 2) << degrees;
    EXPECT_NE(refused.err.find("--field-of-view must be"), std::string::npos) << refused.err;
  }
}

TEST_F(UndistortCli, TakesImagesWithAlpha) {
  QImage argb(320, 240, QImage::Format_ARGB32);
  argb.fill(QColor(10, 200, 30, 128));
  ASSERT_TRUE(argb.save(QString::fromStdString(dir_.File("alpha.png"))));
  ASSERT_EQ(Lentora(Quoted(intrinsic_) + " " + Quoted(dir_.File("alpha.png")) + " " + Quoted(dir_.File("out.png"))).status, 0);
  const cv::Mat out = cv::imread(dir_.File("out.png"));
  EXPECT_EQ(out.at<cv::Vec3b>(120, 160), cv::Vec3b(30, 200, 10));
}

TEST_F(UndistortCli, HelpAndUsage) {
  const ProcessResult help = Lentora("--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("usage: lentora undistort PARAMETER_FILE IN_IMAGE OUT_IMAGE"), std::string::npos);
  EXPECT_EQ(Lentora("").status, 2);
  EXPECT_EQ(Lentora("a b").status, 2);
  EXPECT_EQ(Lentora("a b c d").status, 2);
  EXPECT_EQ(Lentora("--fast a b c").status, 2);
}

TEST_F(UndistortCli, BadInputGetsOneLineAndStatusOne) {
  const std::string in = Quoted(dir_.File("in.png")), out = Quoted(dir_.File("out.png"));
  ExpectBadInput(Quoted(dir_.File("missing.txt")) + " " + in + " " + out, "missing.txt");
  ExpectBadInput(Quoted(WriteIntrinsic("zero.txt", CameraParameters{})) + " " + in + " " + out, "zero.txt");
  ExpectBadInput(Quoted(intrinsic_) + " " + Quoted(dir_.File("nothing.png")) + " " + out, "nothing.png");
  ASSERT_TRUE(cv::imwrite(dir_.File("small.png"), cv::Mat(100, 200, CV_8UC3, cv::Scalar::all(50))));
  ExpectBadInput(Quoted(intrinsic_) + " " + Quoted(dir_.File("small.png")) + " " + out, "200x100");
  ExpectBadInput(Quoted(intrinsic_) + " " + in + " " + Quoted(dir_.File("no/folder/out.png")), "out.png");
  ExpectBadInput(Quoted(intrinsic_) + " " + in + " " + Quoted(dir_.File("noextension")), "noextension");
}

}  // namespace

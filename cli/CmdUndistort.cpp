// lentora undistort: removes lens distortion from one image with a camera's
// parameter file (any format import-parameters reads), through the same table
// and warp that undistort live frames.

#include <QFileInfo>
#include <QImage>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "app/ParameterExchange.h"
#include "cli/Command.h"
#include "imaging/GDI.h"
#include "imaging/IP.h"
#include "imaging/MVG.h"

namespace {

const char* const kUndistortUsage =
    "usage: lentora undistort PARAMETER_FILE IN_IMAGE OUT_IMAGE [--field-of-view DEGREES]\n"
    "  Undistorts IN_IMAGE with the camera matrix and lens model of PARAMETER_FILE (bilinear; pixels\n"
    "  seen from outside the image are black) and writes OUT_IMAGE, whose extension picks the format.\n"
    "  PARAMETER_FILE is any single-camera file lentora export writes (OpenCV YAML/XML, ROS, Kalibr,\n"
    "  COLMAP) or a Lentora intrinsic file. The image must have the size the parameters were\n"
    "  calibrated for. The output keeps the camera matrix unless --field-of-view asks for a picture\n"
    "  DEGREES wide (more than 0, less than 180) centred on the image: a fisheye sees more than any\n"
    "  pinhole picture of its own focal length shows.\n";


// Reads an image file into an 8-bit BGR matrix; 32-bit files lose their alpha.
bool LoadColourImage(const std::string& path, cv::Mat& image) {
  const uint8_t* pixels = nullptr;
  int width = 0, height = 0, stride = 0;
  const QImage bitmap = GDI::LoadBitmap(path, &pixels, &width, &height, &stride);
  if (bitmap.isNull()) return false;
  const int type = GDI::BytesPerPixel(bitmap) == 4 ? CV_8UC4 : CV_8UC3;
  const cv::Mat loaded(height, width, type, const_cast<uint8_t*>(pixels), static_cast<size_t>(stride));
  if (type == CV_8UC4)
    cv::cvtColor(loaded, image, cv::COLOR_BGRA2BGR);
  else
    image = loaded.clone();
  return true;
}

std::string FormatOf(const std::string& path) {
  return QFileInfo(QString::fromStdString(path)).suffix().toLower().toStdString();
}

std::string SizeText(int width, int height) { return std::to_string(width) + "x" + std::to_string(height); }

const CommandSpec kUndistort{"undistort", kUndistortUsage, kNoCommonOption, {"--field-of-view"}};

// The width in degrees --field-of-view asks the output picture to show, if given.
std::optional<double> RequestedFieldOfView(const CommandLine& line) {
  const std::optional<std::string> text = line.Value("--field-of-view");
  if (!text) return std::nullopt;
  double degrees = 0.0;
  if (!ParseDouble(*text, degrees) || !(degrees > 0.0 && degrees < 180.0))
    FailUsage("--field-of-view must be a number of degrees above 0 and below 180");
  return degrees;
}

int Undistort(const CommandLine& line) {
  if (line.Positional().size() != 3) FailUsage("lentora undistort: expected three arguments");
  const std::optional<double> fieldOfView = RequestedFieldOfView(line);
  const std::string& intrinsicPath = line.Positional()[0];
  const std::string& inPath = line.Positional()[1];
  const std::string& outPath = line.Positional()[2];

  const ImportResult read = ReadParameterFile(intrinsicPath, CameraParameters{});
  if (!read.ok) FailInput("cannot read parameter file " + intrinsicPath + ": " + read.message);
  const CameraParameters camera = read.parameters;
  const std::array<double, 4> output = fieldOfView ? MVG::OutputCameraForFieldOfView(camera, *fieldOfView)
                                                   : std::array<double, 4>{camera.fx(), camera.fy(), camera.cx(), camera.cy()};
  const size_t tableSize = MVG::UndistortionTableSize(camera.width, camera.height);
  std::vector<int> table(tableSize);
  if (tableSize == 0 || !MVG::ComputeUndistortionMapCoefficients(camera, output, MVG::kBilinear, table))
    FailInput("parameter file " + intrinsicPath + " holds no usable camera (focal lengths and image size)");

  cv::Mat image;
  if (!LoadColourImage(inPath, image)) FailInput("cannot read image " + inPath);
  if (image.cols != camera.width || image.rows != camera.height)
    FailInput("image " + inPath + " is " + SizeText(image.cols, image.rows) + " but the parameters are for " +
              SizeText(camera.width, camera.height));

  cv::Mat undistorted;
  if (!IP::WarpByWeightsIndex(image, undistorted, table)) FailInput("cannot undistort " + inPath);
  const std::string format = FormatOf(outPath);
  if (format.empty()) FailInput("output file " + outPath + " needs an extension such as .jpg or .png");
  if (!GDI::SaveImage(outPath, GDI::WrapViewImage(undistorted), format.c_str()))
    FailInput("cannot write image " + outPath);
  return kExitOk;
}

}  // namespace

int RunUndistort(const Arguments& args) { return RunCommand(kUndistort, args, Undistort); }

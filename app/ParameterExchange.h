#pragma once
// Calibrations in the formats other programs read: OpenCV FileStorage YAML,
// ROS camera_info YAML, COLMAP cameras.txt and Kalibr camchain YAML, for one
// camera or a stereo rig; and camera parameters read back from OpenCV
// YAML/XML, ROS YAML or our own parameter file.
//
// Numbers are written with 17 significant digits whatever the process locale.
// A refused export leaves no file behind, a refused import changes nothing.

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "records/Records.h"

class CCalibrationData;
struct StereoRigResult;

enum class ExchangeFormat { OpenCv, Ros, Colmap, Kalibr };

// "opencv", "ros", "colmap" or "kalibr".
std::optional<ExchangeFormat> ParseExchangeFormat(const std::string& name);

// One calibrated camera as it is exported.
struct ExportedCamera {
  CameraParameters parameters;        // K, the lens model and its coefficients, width, height
  std::string name = "camera0";       // ROS camera_name
  double averageError = 0.0;          // root mean square reprojection error over all points, pixels
  std::vector<double> perViewErrors;  // root mean square per view
};

// A stereo rig: camera-1 coordinates = R X0 + T. ROS and Kalibr files carry
// T in metres, as those programs expect; OpenCV files keep `unit` and say so.
struct ExportedRig {
  ExportedCamera first;
  ExportedCamera second;
  std::array<double, 9> R{1, 0, 0, 0, 1, 0, 0, 0, 1};
  std::array<double, 3> T{};
  LengthUnit unit = LengthUnit::Millimetre;  // of T
  double averageError = 0.0;          // over both cameras' points
  std::vector<double> perPairErrors;  // root mean square per pair, both cameras
};

struct ExchangeResult {
  bool ok = false;
  std::string message;             // why it failed
  std::vector<std::string> files;  // written files
};

// Writes `path`. A ROS rig takes two files: camera 0 goes to `path`, camera 1
// beside it with "_1" before the extension (left.yaml, left_1.yaml).
ExchangeResult ExportCamera(const ExportedCamera& camera, ExchangeFormat format, const std::string& path);
ExchangeResult ExportRig(const ExportedRig& rig, ExchangeFormat format, const std::string& path);
// Where a ROS rig puts camera 1.
std::string SecondCameraPath(const std::string& path);

// The camera's stored parameters with the reprojection errors of its last run.
ExportedCamera ExportedCameraOf(const CCalibrationData& data, int camera);
// A calibrated rig with its rig-refined intrinsics and per-pair errors.
ExportedRig ExportedRigOf(const StereoRigResult& rig);

struct ImportResult {
  bool ok = false;
  std::string message;
  CameraParameters parameters;
};

// Reads camera parameters from `path` for a camera whose record is `current`
// (its pose R, T is kept unless the file is our own parameter file; its image
// size must match the file's when both are known). The lens model is the one
// the file names (ROS plumb_bob, rational_polynomial, equidistant; our OpenCV
// fisheye files) or, for OpenCV coefficient lists, the smallest that holds
// every value given (4 or 5 values: pinhole-radtan unless k3 is not zero, 8
// or more: rational); our own intrinsic file takes its model file beside it.
// Refuses what no model holds (thin prism or tilt terms, another distortion
// model), camera matrices with skew, malformed, truncated or oversized files.
ImportResult ReadParameterFile(const std::string& path, const CameraParameters& current);

// ReadParameterFile for a camera of the store; its parameters change only on success.
ImportResult ImportParameters(CCalibrationData& data, int camera, const std::string& path);

#pragma once
// The calibration operations the workbench and the command-line tool share:
// one camera's run on the store, the stereo rig of cameras 0 and 1 and
// loading a camera's parameter file. Both front ends call these, so they
// store and report the same numbers.

#include <array>
#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "calib/CalibrationDiagnostics.h"
#include "core/Records.h"

class CCalibrationData;

// How a run reports back while it works. Neither member is used by the
// engine yet; callers may set them already.
struct CalibrationRunOptions {
  std::function<void(int iteration, double error)> progress;
  const std::atomic<bool>* cancel = nullptr;
};

struct CameraCalibrationResult {
  bool ok = false;
  std::string message;  // the refusal when !ok
};

// Calibrates the camera from the views that take part (enabled, with their
// image, exactly nx*ny points; see ReasonToSkip) and stores the refined
// parameters; the poses stay in the camera's calibration problem.
CameraCalibrationResult CalibrateCamera(CCalibrationData& data, int camera, const CalibrationRunOptions& options = {});

struct StereoRigResult {
  bool ok = false;
  std::string message;               // the refusal when !ok
  CameraParameters first;            // camera 0 as refined with the rig
  CameraParameters second;           // camera 1; R, T: camera-1 coordinates = R * X0 + T
  std::array<double, 3> rotationVector{};  // of second.R
  double baseline = 0.0;
  bool converged = false;
  double meanDistance = 0.0;         // pixels, both cameras, all pairs
  int pairCount = 0;
  std::vector<int> pairedViews;      // store views of the pairs, in order
  std::vector<PairError> pairErrors; // per pair, both cameras
  RigUncertainty uncertainty;        // σ of both cameras' intrinsics, the rotation vector and T
};

// Calibrates cameras 0 and 1 (storing each one's parameters as
// CalibrateCamera does), then the rig they form.
StereoRigResult CalibrateStereoRig(CCalibrationData& data, const CalibrationRunOptions& options = {});

// Reads a camera's parameter file into the store. A file that cannot be read
// leaves the parameters as they were (false).
bool LoadCameraParameters(CCalibrationData& data, int camera, const std::string& path);

#pragma once
// The calibration operations the workbench and the command-line tool share:
// one camera's run on the store, the stereo rig of cameras 0 and 1 and
// loading a camera's parameter file. Both front ends call these, so they
// store and report the same numbers.

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "calib/CalibrationDiagnostics.h"
#include "records/Records.h"

class CCalibrationData;

// How a run reports back while it works: `progress` is called once per
// iteration of each refinement (on the thread that runs it) with the
// iteration number and the RMS reprojection error in pixels; `cancel`, when
// it turns true, stops the run at the refinement's next evaluation, and a
// cancelled run changes nothing in the store.
struct CalibrationRunOptions {
  std::function<void(int iteration, double error)> progress;
  const std::atomic<bool>* cancel = nullptr;
};

struct CameraCalibrationResult {
  bool ok = false;
  std::string message;  // the refusal when !ok
  bool cancelled = false;
};

// The refusal before any run when the camera holds fewer views than a run
// needs (counted before views are left out); "" when it holds enough.
std::string TooFewViewsToCalibrate(const CCalibrationData& data, int camera);

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
  LengthUnit unit = LengthUnit::Millimetre;  // of T and the baseline: the grids' square-size unit
  bool converged = false;
  double meanDistance = 0.0;         // pixels, both cameras, all pairs
  int pairCount = 0;
  std::vector<int> pairedViews;      // store views of the pairs, in order
  std::vector<PairError> pairErrors; // per pair, both cameras
  RigUncertainty uncertainty;        // σ of both cameras' intrinsics, the rotation vector and T
  bool cancelled = false;
};

// Calibrates cameras 0 and 1 (storing each one's parameters as
// CalibrateCamera does), then the rig they form. Grids whose square sizes are
// in different units are refused: the rig's translation would have no unit.
StereoRigResult CalibrateStereoRig(CCalibrationData& data, const CalibrationRunOptions& options = {});

// A calibration taken apart for a worker thread. Creating the job copies what
// the run needs from the store (on the thread that owns the store); Run works
// on those copies alone (any thread); Commit stores the results back (owner
// thread again) and stores nothing when the run was cancelled.
class CalibrationJob {
 public:
  static std::unique_ptr<CalibrationJob> ForCamera(const CCalibrationData& data, int camera);
  // Cameras 0 and 1, then the rig they form.
  static std::unique_ptr<CalibrationJob> ForStereoRig(const CCalibrationData& data);
  ~CalibrationJob();
  CalibrationJob(const CalibrationJob&) = delete;
  CalibrationJob& operator=(const CalibrationJob&) = delete;

  void Run(const CalibrationRunOptions& options);
  void Commit(CCalibrationData& data) const;

  bool Cancelled() const;
  const CameraCalibrationResult& CameraResult() const;  // the camera job's result
  const StereoRigResult& RigResult() const;             // the rig job's result

 private:
  struct State;
  explicit CalibrationJob(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

// Reads a camera's parameter file into the store. A file that cannot be read
// leaves the parameters as they were (false).
bool LoadCameraParameters(CCalibrationData& data, int camera, const std::string& path);

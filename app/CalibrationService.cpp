#include "app/CalibrationService.h"

#include <cmath>

#include "calib/Calibration.h"
#include "calib/CalibrationProblem.h"
#include "calib/StereoProblem.h"
#include "core/CalibrationData.h"

CameraCalibrationResult CalibrateCamera(CCalibrationData& data, int camera, const CalibrationRunOptions&) {
  CameraCalibrationResult result;
  if (camera < 0 || camera >= data.GetCameraCount()) {
    result.message = "no camera " + std::to_string(camera);
    return result;
  }
  CalibrationProblem& problem = data.GetCalibrationProblem(camera);
  if (!problem.Calibrate(data.GetRunViews(camera), data.GetGrid(camera), data.GetImageWidth(camera),
                         data.GetImageHeight(camera))) {
    result.message = problem.refusal;
    return result;
  }
  data.SetCameraParameters(camera, problem.GetParameters());
  result.ok = true;
  return result;
}

namespace {

void TakeRigResults(const StereoProblem& rig, StereoRigResult& result) {
  result.first = rig.firstResult;
  result.second = rig.secondResult;
  std::array<double, 9> R = rig.secondResult.R;
  icvRodriguesArrays(R.data(), result.rotationVector.data(), 0);
  const auto& T = rig.secondResult.T;
  result.baseline = std::sqrt(T[0] * T[0] + T[1] * T[1] + T[2] * T[2]);
  result.converged = rig.converged;
  result.meanDistance = rig.meanDistance;
  result.pairCount = rig.viewCount;
  result.pairedViews = rig.pairedViews;
  const RigFit fit = FitOf(rig);
  result.pairErrors = PerPairErrors(fit);
  result.uncertainty = EstimateUncertainty(fit);
}

}  // namespace

StereoRigResult CalibrateStereoRig(CCalibrationData& data, const CalibrationRunOptions& options) {
  StereoRigResult result;
  if (data.GetCameraCount() < 2) {
    result.message = "a stereo rig needs two cameras; the workspace has " + std::to_string(data.GetCameraCount());
    return result;
  }
  for (int camera = 0; camera < 2; ++camera) {
    const CameraCalibrationResult run = CalibrateCamera(data, camera, options);
    if (!run.ok) {
      result.message = "camera " + std::to_string(camera) + ": " + run.message;
      return result;
    }
  }
  StereoProblem rig;
  if (!rig.CalibrateStereo(&data.GetCalibrationProblem(0), &data.GetCalibrationProblem(1))) {
    result.message = rig.refusal;
    return result;
  }
  TakeRigResults(rig, result);
  result.ok = true;
  return result;
}

bool LoadCameraParameters(CCalibrationData& data, int camera, const std::string& path) {
  if (camera < 0 || camera >= data.GetCameraCount()) return false;
  return data.ReadIntrinsicFile(camera, path);
}

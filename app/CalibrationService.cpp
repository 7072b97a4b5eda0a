#include "app/CalibrationService.h"

#include <cmath>

#include "calib/Calibration.h"
#include "calib/CalibrationProblem.h"
#include "calib/StereoProblem.h"
#include "core/CalibrationData.h"

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

// One camera's inputs copied from the store, and the problem the run fills.
struct CameraWork {
  int camera = 0;
  bool exists = false;
  std::vector<RunView> views;
  GridDescription grid;
  int width = 0, height = 0;
  CalibrationProblem problem;  // a copy of the store's, so its options carry over
  CameraCalibrationResult result;
  bool ran = false;

  void CopyFrom(const CCalibrationData& data, int index) {
    camera = index;
    exists = index >= 0 && index < data.GetCameraCount();
    if (!exists) return;
    views = data.GetRunViews(index);
    grid = data.GetGrid(index);
    width = data.GetImageWidth(index);
    height = data.GetImageHeight(index);
    problem = data.GetCalibrationProblem(index);
    problem.settings = data.GetCalibrationSettings(index);
    problem.startParameters = data.GetCameraParameters(index);
  }

  void Run(const CalibrationRunOptions& run) {
    if (!exists) {
      result.message = "no camera " + std::to_string(camera + 1);
      return;
    }
    problem.options.progress = run.progress;
    problem.options.cancel = run.cancel;
    ran = true;
    result.ok = problem.Calibrate(views, grid, width, height);
    result.cancelled = problem.cancelled;
    if (!result.ok) result.message = problem.refusal;
    problem.options.progress = nullptr;
    problem.options.cancel = nullptr;
  }

  // Stores the run's problem and parameters after success. A refused run is
  // no result: the camera keeps its last good run and parameters. The camera
  // may have been removed while the run worked; then there is nothing to
  // store into.
  void Commit(CCalibrationData& data) const {
    if (!ran || !result.ok || camera >= data.GetCameraCount()) return;
    data.GetCalibrationProblem(camera) = problem;
    data.SetCameraParameters(camera, problem.GetParameters());
  }
};

}  // namespace

struct CalibrationJob::State {
  bool rig = false;
  CameraWork cameras[2];
  StereoRigResult rigResult;
  bool cancelled = false;
};

CalibrationJob::CalibrationJob(std::unique_ptr<State> state) : state_(std::move(state)) {}
CalibrationJob::~CalibrationJob() = default;

std::unique_ptr<CalibrationJob> CalibrationJob::ForCamera(const CCalibrationData& data, int camera) {
  auto state = std::make_unique<State>();
  state->cameras[0].CopyFrom(data, camera);
  return std::unique_ptr<CalibrationJob>(new CalibrationJob(std::move(state)));
}

std::unique_ptr<CalibrationJob> CalibrationJob::ForStereoRig(const CCalibrationData& data) {
  auto state = std::make_unique<State>();
  state->rig = true;
  if (data.GetCameraCount() < 2) {
    state->rigResult.message =
        "a stereo rig needs two cameras; the workspace has " + std::to_string(data.GetCameraCount());
  } else {
    for (int camera = 0; camera < 2; ++camera) state->cameras[camera].CopyFrom(data, camera);
    const LengthUnit first = state->cameras[0].grid.unit, second = state->cameras[1].grid.unit;
    state->rigResult.unit = first;
    if (first != second)
      state->rigResult.message = std::string("the cameras' square sizes are in different units (") +
                                 LengthUnitName(first) + " and " + LengthUnitName(second) +
                                 "); give both grids one unit";
  }
  return std::unique_ptr<CalibrationJob>(new CalibrationJob(std::move(state)));
}

void CalibrationJob::Run(const CalibrationRunOptions& options) {
  State& s = *state_;
  if (!s.rig) {
    s.cameras[0].Run(options);
    s.cancelled = s.cameras[0].result.cancelled;
    return;
  }
  StereoRigResult& result = s.rigResult;
  if (!result.message.empty()) return;  // refused when the job was made
  for (CameraWork& work : s.cameras) {
    work.Run(options);
    if (!work.result.ok) {
      result.cancelled = s.cancelled = work.result.cancelled;
      result.message = "camera " + std::to_string(work.camera + 1) + ": " + work.result.message;
      return;
    }
  }
  StereoProblem rig;
  rig.options.progress = options.progress;
  rig.options.cancel = options.cancel;
  if (!rig.CalibrateStereo(&s.cameras[0].problem, &s.cameras[1].problem)) {
    result.cancelled = s.cancelled = rig.cancelled;
    result.message = rig.refusal;
    return;
  }
  TakeRigResults(rig, result);
  result.ok = true;
}

void CalibrationJob::Commit(CCalibrationData& data) const {
  if (state_->cancelled) return;
  for (const CameraWork& work : state_->cameras) work.Commit(data);
}

bool CalibrationJob::Cancelled() const { return state_->cancelled; }
const CameraCalibrationResult& CalibrationJob::CameraResult() const { return state_->cameras[0].result; }
const StereoRigResult& CalibrationJob::RigResult() const { return state_->rigResult; }

std::string TooFewViewsToCalibrate(const CCalibrationData& data, int camera) {
  return data.GetViewCount(camera) < kMinimumCalibrationViews ? kTooFewViewsMessage : "";
}

CameraCalibrationResult CalibrateCamera(CCalibrationData& data, int camera, const CalibrationRunOptions& options) {
  const std::unique_ptr<CalibrationJob> job = CalibrationJob::ForCamera(data, camera);
  job->Run(options);
  job->Commit(data);
  return job->CameraResult();
}

StereoRigResult CalibrateStereoRig(CCalibrationData& data, const CalibrationRunOptions& options) {
  const std::unique_ptr<CalibrationJob> job = CalibrationJob::ForStereoRig(data);
  job->Run(options);
  job->Commit(data);
  return job->RigResult();
}

bool LoadCameraParameters(CCalibrationData& data, int camera, const std::string& path) {
  if (camera < 0 || camera >= data.GetCameraCount()) return false;
  return data.ReadIntrinsicFile(camera, path);
}

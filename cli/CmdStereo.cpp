// lentora stereo: the data panel's "Calibrate stereo rig" without the workbench.

#include <cmath>
#include <cstdio>
#include <iostream>

#include "calib/StereoProblem.h"
#include "cli/CalibrationReport.h"
#include "core/CalibrationData.h"
#include "core/Workspace.h"

namespace {

const char* kStereoUsage =
    "usage: lentora stereo WORKSPACE [--json]\n"
    "  Calibrates cameras 0 and 1, then the rig they form: the pose of camera 1 relative to\n"
    "  camera 0 (camera-1 coordinates = R * X0 + T), refined together with both cameras.\n";

void WriteRigIntrinsics(JsonWriter& json, const CameraParameters& p) {
  json.BeginObject().Key("K").Array(p.K.begin(), p.K.end());
  json.Key("distortion").Array(p.distortion.begin(), p.distortion.begin() + 4).EndObject();
}

void WriteStereoJson(const CCalibrationData& data, const StereoProblem& rig, double baseline) {
  const CameraParameters& second = rig.secondResult;
  JsonWriter json;
  json.BeginObject().Key("first");
  WriteCalibrationJson(json, data, 0);
  json.Key("second");
  WriteCalibrationJson(json, data, 1);
  json.Key("R").Array(second.R.begin(), second.R.end()).Key("T").Array(second.T.begin(), second.T.end());
  json.Key("baseline").Value(baseline).Key("converged").Value(rig.converged);
  json.Key("reprojectionError").BeginObject().Key("meanDistance").Value(rig.meanDistance).EndObject();
  json.Key("pairs").Array(rig.pairedViews.begin(), rig.pairedViews.end());
  json.Key("intrinsics").BeginObject().Key("first");
  WriteRigIntrinsics(json, rig.firstResult);
  json.Key("second");
  WriteRigIntrinsics(json, rig.secondResult);
  json.EndObject().EndObject();
  std::cout << json.str() << "\n";
}

void PrintStereoText(const CCalibrationData& data, const StereoProblem& rig, double baseline) {
  for (int camera = 0; camera < 2; ++camera)
    std::cout << "Camera " << camera << "\n" << CalibrationText(data.GetCalibrationProblem(camera)) << "\n";
  const auto& R = rig.secondResult.R;
  const auto& T = rig.secondResult.T;
  char text[512];
  std::snprintf(text, sizeof text,
                "Stereo Rig between cameras 0 and 1 (%d view pairs%s)\nR: %lf %lf %lf %lf %lf %lf %lf %lf %lf\n"
                "T: %lf %lf %lf\nBaseline: %lf\nE: %lf\n",
                rig.viewCount, rig.converged ? "" : ", refinement did not converge", R[0], R[1], R[2], R[3], R[4],
                R[5], R[6], R[7], R[8], T[0], T[1], T[2], baseline, rig.meanDistance);
  std::cout << text;
}

}  // namespace

int RunStereo(const Arguments& args) {
  if (WantsHelp(args)) {
    std::cout << kStereoUsage;
    return kExitOk;
  }
  ParsedArguments parsed;
  std::string error;
  if (!ParseArguments(args, {}, {"--json"}, parsed, error)) return FailUsage(kStereoUsage, error);
  if (parsed.positional.size() != 1) return FailUsage(kStereoUsage, "expected one WORKSPACE argument");

  CCalibrationData data;
  const WorkspaceResult loaded = LoadWorkspace(data, parsed.positional[0]);
  if (!loaded.ok) return FailInput("stereo", loaded.error);
  for (const std::string& warning : loaded.warnings) std::cerr << "warning: " << warning << "\n";
  if (data.GetCameraCount() < 2)
    return FailInput("stereo", "a stereo rig needs two cameras; the workspace has " +
                                   std::to_string(data.GetCameraCount()));
  for (int camera = 0; camera < 2; ++camera) {
    std::string message;
    if (!CalibrateStoredCamera(data, camera, message))
      return FailInput("stereo", "camera " + std::to_string(camera) + ": " + message);
  }
  StereoProblem rig;
  if (!rig.CalibrateStereo(&data.GetCalibrationProblem(0), &data.GetCalibrationProblem(1)))
    return FailInput("stereo", rig.refusal);
  const auto& T = rig.secondResult.T;
  const double baseline = std::sqrt(T[0] * T[0] + T[1] * T[1] + T[2] * T[2]);
  if (parsed.Has("--json"))
    WriteStereoJson(data, rig, baseline);
  else
    PrintStereoText(data, rig, baseline);
  return kExitOk;
}

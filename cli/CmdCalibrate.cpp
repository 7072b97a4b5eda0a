// lentora calibrate: the data panel's "Calibrate" without the workbench.

#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "calib/CalibrationProblem.h"
#include "app/CalibrationReport.h"
#include "app/CalibrationService.h"
#include "cli/CliSupport.h"
#include "cli/RunProgress.h"
#include "core/CalibrationData.h"
#include "core/Workspace.h"

namespace {

const char* kCalibrateUsage =
    "usage: lentora calibrate WORKSPACE [--camera N] [--json] [--save OUT_INDEX] [--progress]\n"
    "  Calibrates camera N (default: every camera with at least five complete views) from its\n"
    "  marked grid points and prints the results. --save writes the workspace with the new\n"
    "  parameters and poses under OUT_INDEX. --progress prints each refinement iteration and\n"
    "  its RMS error to stderr.\n";

struct CalibrateRequest {
  std::string workspace;
  int camera = -1;  // -1: every camera
  bool json = false;
  std::string saveTo;
  bool progress = false;
};

// 0 when the request is complete, else the exit status of the usage error.
int ParseRequest(const Arguments& args, CalibrateRequest& request) {
  ParsedArguments parsed;
  std::string error;
  if (!ParseArguments(args, {"--camera", "--save"}, {"--json", "--progress"}, parsed, error))
    return FailUsage(kCalibrateUsage, error);
  if (parsed.positional.size() != 1) return FailUsage(kCalibrateUsage, "expected one WORKSPACE argument");
  request.workspace = parsed.positional[0];
  request.json = parsed.Has("--json");
  request.progress = parsed.Has("--progress");
  if (const auto camera = parsed.Value("--camera")) {
    if (!ParseInt(*camera, request.camera) || request.camera < 0)
      return FailUsage(kCalibrateUsage, "--camera needs a camera index (0, 1, ...)");
  }
  if (const auto out = parsed.Value("--save")) request.saveTo = *out;
  return kExitOk;
}

void PrintText(const CCalibrationData& data, int camera) {
  const CalibrationProblem& problem = data.GetCalibrationProblem(camera);
  std::cout << "Camera " << camera << ": " << ViewUsageText(problem)
            << (problem.converged ? "" : ", refinement did not converge") << "\n"
            << CalibrationText(problem) << "\n";
}

}  // namespace

int RunCalibrate(const Arguments& args) {
  if (WantsHelp(args)) {
    std::cout << kCalibrateUsage;
    return kExitOk;
  }
  CalibrateRequest request;
  if (const int status = ParseRequest(args, request); status != kExitOk) return status;

  CCalibrationData data;
  const WorkspaceResult loaded = LoadWorkspace(data, request.workspace);
  if (!loaded.ok) return FailInput("calibrate", loaded.error);
  for (const std::string& warning : loaded.warnings) std::cerr << "warning: " << warning << "\n";
  if (request.camera >= data.GetCameraCount())
    return FailInput("calibrate", "no camera " + std::to_string(request.camera) + " (the workspace has " +
                                      std::to_string(data.GetCameraCount()) + ")");

  std::vector<int> calibrated;
  std::vector<std::pair<int, std::string>> refused;
  const int first = request.camera >= 0 ? request.camera : 0;
  const int last = request.camera >= 0 ? request.camera : data.GetCameraCount() - 1;
  for (int camera = first; camera <= last; ++camera) {
    const CameraCalibrationResult run =
        CalibrateCamera(data, camera, request.progress ? ProgressToStderr("camera " + std::to_string(camera)) : CalibrationRunOptions{});
    if (!run.ok) {
      std::cerr << "lentora calibrate: camera " << camera << ": " << run.message << "\n";
      refused.emplace_back(camera, run.message);
      continue;
    }
    calibrated.push_back(camera);
  }
  // A refusal is no result: the JSON names it, and the exit status says so
  // when the camera asked for, or every camera, was refused.
  if (request.json) {
    JsonWriter json;
    json.BeginObject().Key("cameras").BeginArray();
    for (int camera : calibrated) WriteCalibrationJson(json, data, camera);
    json.EndArray();
    if (!refused.empty()) {
      json.Key("refused").BeginArray();
      for (const auto& [camera, reason] : refused)
        json.BeginObject().Key("camera").Value(camera).Key("reason").Value(reason).EndObject();
      json.EndArray();
    }
    json.EndObject();
    std::cout << json.str() << "\n";
  } else {
    for (int camera : calibrated) PrintText(data, camera);
  }
  if (request.camera >= 0 && !refused.empty()) return kExitBadInput;
  if (calibrated.empty()) return FailInput("calibrate", "no camera could be calibrated");
  if (!request.saveTo.empty()) {
    const WorkspaceResult saved = SaveWorkspaceTo(data, request.saveTo);
    if (!saved.ok) return FailInput("calibrate", saved.error);
    for (const std::string& warning : saved.warnings) std::cerr << "warning: " << warning << "\n";
  }
  return kExitOk;
}

// lentora calibrate: the data panel's "Calibrate" without the workbench.

#include <iostream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/CalibrationReport.h"
#include "app/CalibrationService.h"
#include "app/ViewGuidance.h"
#include "calib/CalibrationProblem.h"
#include "cli/CliSupport.h"
#include "cli/Command.h"
#include "cli/RunProgress.h"
#include "core/CalibrationData.h"

namespace {

const std::string kCalibrateUsage = std::string(
    "usage: lentora calibrate WORKSPACE [--camera N] [--json] [--save OUT_INDEX] [--progress]\n"
    "       [--model NAME] [--fix-aspect-ratio] [--fix-principal-point] [--zero-tangential]\n"
    "       [--fix COEFFICIENTS] [--poses-only]\n"
    "       [--enough-uncertainty PX] [--enough-share S] [--enough-spread S]\n"
    "  Calibrates camera N (default: every camera with at least five complete views) from its\n"
    "  marked grid points and prints the results. --save writes the workspace with the new\n"
    "  parameters and poses under OUT_INDEX. --progress prints each refinement iteration and\n"
    "  its RMS error to stderr. Each camera's results end with whether its views are enough:\n"
    "  the worst projection uncertainty in the central 90% of the image at most PX pixels\n"
    "  (default 0.25), corners in every image corner and in a share S of the image's 10 x 10\n"
    "  cells (default 0.6), and each of the board's x, y, size and skew spread at least S\n"
    "  (default 0.5).\n") + kModelOptionsUsage;

// The model options and the thresholds of the verdict on the views.
std::vector<std::string> CalibrateValueOptions() {
  std::vector<std::string> options = ModelValueOptions();
  for (const char* option : {"--enough-uncertainty", "--enough-share", "--enough-spread"}) options.push_back(option);
  return options;
}

const CommandSpec kCalibrate{"calibrate", kCalibrateUsage.c_str(), kCameraOption | kJsonOption | kSaveOption,
                             CalibrateValueOptions(), WithModelFlags({"--progress"})};

// A threshold given on the command line, within [low, high]; `value` unchanged when absent.
void ReadThreshold(const CommandLine& line, const std::string& option, double low, double high, double& value) {
  const std::optional<std::string> text = line.Value(option);
  if (!text) return;
  double parsed = 0.0;
  if (!ParseDouble(*text, parsed) || !(parsed >= low && parsed <= high))
    FailUsage(option + " expects a number" + (high <= 1.0 ? " from 0 to 1" : " of at least 0") + ", not '" + *text + "'");
  value = parsed;
}

EnoughViewsThresholds ThresholdsOf(const CommandLine& line) {
  EnoughViewsThresholds thresholds;
  ReadThreshold(line, "--enough-uncertainty", 0.0, 1e6, thresholds.maxCentralUncertainty);
  ReadThreshold(line, "--enough-share", 0.0, 1.0, thresholds.minCellShare);
  ReadThreshold(line, "--enough-spread", 0.0, 1.0, thresholds.minSpread);
  return thresholds;
}

void PrintText(const CCalibrationData& data, int camera, const EnoughViewsThresholds& thresholds) {
  const CalibrationProblem& problem = data.GetCalibrationProblem(camera);
  std::cout << "Camera " << camera + 1 << ": " << ViewUsageText(problem)
            << (problem.converged ? "" : ", refinement did not converge") << "\n"
            << CalibrationText(problem) << "\n"
            << GuidanceOf(data, camera, thresholds).verdict.text << "\n";
}

int Calibrate(const CommandLine& line) {
  const EnoughViewsThresholds thresholds = ThresholdsOf(line);
  CCalibrationData data;
  LoadWorkspaceFor(line.OnePositional("expected one WORKSPACE argument"), data);
  if (line.camera && *line.camera >= data.GetCameraCount()) FailInput(NoSuchCamera(*line.camera, data.GetCameraCount()));

  std::vector<int> calibrated;
  std::vector<std::pair<int, std::string>> refused;
  const int first = line.camera.value_or(0);
  const int last = line.camera.value_or(data.GetCameraCount() - 1);
  for (int camera = first; camera <= last; ++camera) {
    std::optional<CalibrationSettings> settings;
    std::string error;
    if (!SettingsFromOptions(line.Parsed(), data.GetCalibrationSettings(camera), settings, error)) FailUsage(error);
    if (settings) data.SetCalibrationSettings(camera, *settings);
    const CameraCalibrationResult run = CalibrateCamera(
        data, camera, line.Has("--progress") ? ProgressToStderr("camera " + std::to_string(camera + 1)) : CalibrationRunOptions{});
    if (!run.ok) {
      line.Complain("camera " + std::to_string(camera + 1) + ": " + run.message);
      refused.emplace_back(camera, run.message);
      continue;
    }
    calibrated.push_back(camera);
  }
  // A refusal is no result: the JSON names it, and the exit status says so
  // when the camera asked for, or every camera, was refused.
  if (line.json) {
    JsonWriter json;
    json.BeginObject().Key("cameras").BeginArray();
    for (int camera : calibrated) WriteCalibrationJson(json, data, camera, thresholds);
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
    for (int camera : calibrated) PrintText(data, camera, thresholds);
  }
  if (line.camera && !refused.empty()) return kExitBadInput;
  if (calibrated.empty()) FailInput("no camera could be calibrated");
  if (!line.saveTo.empty()) SaveWorkspaceFor(data, line.saveTo);
  return kExitOk;
}

}  // namespace

int RunCalibrate(const Arguments& args) { return RunCommand(kCalibrate, args, Calibrate); }

// lentora stereo: the data panel's "Calibrate stereo rig" without the workbench.

#include <iostream>
#include <optional>
#include <string>

#include "app/CalibrationReport.h"
#include "app/CalibrationService.h"
#include "cli/Command.h"
#include "cli/RunProgress.h"
#include "core/CalibrationData.h"

namespace {

const std::string kStereoUsage = std::string(
    "usage: lentora stereo WORKSPACE [--json] [--progress] [--model NAME] [--fix-aspect-ratio]\n"
    "       [--fix-principal-point] [--zero-tangential] [--fix COEFFICIENTS] [--poses-only]\n"
    "  Calibrates cameras 0 and 1, then the rig they form: the pose of camera 1 relative to\n"
    "  camera 0 (camera-1 coordinates = R * X0 + T), refined together with both cameras.\n"
    "  --progress prints each refinement iteration and its RMS error to stderr. The model\n"
    "  options apply to both cameras; without them each camera keeps its own (two models may differ).\n") +
    kModelOptionsUsage;

const CommandSpec kStereo{"stereo", kStereoUsage.c_str(), kJsonOption, ModelValueOptions(),
                          WithModelFlags({"--progress"})};

int Stereo(const CommandLine& line) {
  CCalibrationData data;
  LoadWorkspaceFor(line.OnePositional("expected one WORKSPACE argument"), data);
  for (int camera = 0; camera < 2 && camera < data.GetCameraCount(); ++camera) {
    std::optional<CalibrationSettings> settings;
    std::string error;
    if (!SettingsFromOptions(line.Parsed(), data.GetCalibrationSettings(camera), settings, error)) FailUsage(error);
    if (settings) data.SetCalibrationSettings(camera, *settings);
  }
  const StereoRigResult rig =
      CalibrateStereoRig(data, line.Has("--progress") ? ProgressToStderr("stereo") : CalibrationRunOptions{});
  if (!rig.ok) FailInput(rig.message);
  if (line.json) {
    JsonWriter json;
    WriteStereoJson(json, data, rig);
    std::cout << json.str() << "\n";
  } else {
    std::cout << StereoReportText(data, rig);
  }
  return kExitOk;
}

}  // namespace

int RunStereo(const Arguments& args) { return RunCommand(kStereo, args, Stereo); }

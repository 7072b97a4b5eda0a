// lentora stereo: the data panel's "Calibrate stereo rig" without the workbench.

#include <iostream>

#include "app/CalibrationReport.h"
#include "app/CalibrationService.h"
#include "cli/CliSupport.h"
#include "cli/RunProgress.h"
#include "core/CalibrationData.h"
#include "core/Workspace.h"

namespace {

const char* kStereoUsage =
    "usage: lentora stereo WORKSPACE [--json] [--progress]\n"
    "  Calibrates cameras 0 and 1, then the rig they form: the pose of camera 1 relative to\n"
    "  camera 0 (camera-1 coordinates = R * X0 + T), refined together with both cameras.\n"
    "  --progress prints each refinement iteration and its RMS error to stderr.\n";

}  // namespace

int RunStereo(const Arguments& args) {
  if (WantsHelp(args)) {
    std::cout << kStereoUsage;
    return kExitOk;
  }
  ParsedArguments parsed;
  std::string error;
  if (!ParseArguments(args, {}, {"--json", "--progress"}, parsed, error)) return FailUsage(kStereoUsage, error);
  if (parsed.positional.size() != 1) return FailUsage(kStereoUsage, "expected one WORKSPACE argument");

  CCalibrationData data;
  const WorkspaceResult loaded = LoadWorkspace(data, parsed.positional[0]);
  if (!loaded.ok) return FailInput("stereo", loaded.error);
  for (const std::string& warning : loaded.warnings) std::cerr << "warning: " << warning << "\n";
  const StereoRigResult rig =
      CalibrateStereoRig(data, parsed.Has("--progress") ? ProgressToStderr("stereo") : CalibrationRunOptions{});
  if (!rig.ok) return FailInput("stereo", rig.message);
  if (parsed.Has("--json")) {
    JsonWriter json;
    WriteStereoJson(json, data, rig);
    std::cout << json.str() << "\n";
  } else {
    std::cout << StereoReportText(data, rig);
  }
  return kExitOk;
}

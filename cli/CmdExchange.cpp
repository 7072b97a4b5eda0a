// lentora export and lentora import-parameters: calibrations to and from the
// files other programs read.

#include <iostream>

#include "app/CalibrationReport.h"
#include "app/CalibrationService.h"
#include "app/ParameterExchange.h"
#include "cli/CliSupport.h"
#include "core/CalibrationData.h"
#include "core/Workspace.h"

namespace {

const char* kExportUsage =
    "usage: lentora export WORKSPACE (--camera N | --rig) --format opencv|ros|colmap|kalibr --out FILE\n"
    "  Calibrates camera N (as lentora calibrate does), or cameras 0 and 1 and their rig (as\n"
    "  lentora stereo does), and writes the result as OpenCV FileStorage YAML, ROS camera_info\n"
    "  YAML, COLMAP cameras.txt or a Kalibr camchain. A ROS rig writes camera 1 beside FILE\n"
    "  with \"_1\" before the extension.\n";

const char* kImportUsage =
    "usage: lentora import-parameters WORKSPACE --camera N FILE [--save OUT_INDEX]\n"
    "  Reads camera N's parameters from FILE (OpenCV YAML/XML, ROS camera_info YAML or a\n"
    "  parameter file of ours), prints them and, with --save, writes the workspace with them\n"
    "  under OUT_INDEX. Distortion the camera model cannot hold and a different image size are\n"
    "  refused.\n";

struct ExportRequest {
  std::string workspace;
  int camera = -1;
  bool rig = false;
  ExchangeFormat format = ExchangeFormat::OpenCv;
  std::string out;
};

int ParseExport(const Arguments& args, ExportRequest& request) {
  ParsedArguments parsed;
  std::string error;
  if (!ParseArguments(args, {"--camera", "--format", "--out"}, {"--rig"}, parsed, error))
    return FailUsage(kExportUsage, error);
  if (parsed.positional.size() != 1) return FailUsage(kExportUsage, "expected one WORKSPACE argument");
  request.workspace = parsed.positional[0];
  request.rig = parsed.Has("--rig");
  const auto camera = parsed.Value("--camera");
  if (request.rig == camera.has_value()) return FailUsage(kExportUsage, "give either --camera N or --rig");
  if (camera && (!ParseInt(*camera, request.camera) || request.camera < 0))
    return FailUsage(kExportUsage, "--camera needs a camera index (0, 1, ...)");
  const auto format = parsed.Value("--format");
  const auto parsedFormat = format ? ParseExchangeFormat(*format) : std::nullopt;
  if (!parsedFormat) return FailUsage(kExportUsage, "--format needs opencv, ros, colmap or kalibr");
  request.format = *parsedFormat;
  const auto out = parsed.Value("--out");
  if (!out || out->empty()) return FailUsage(kExportUsage, "--out FILE is required");
  request.out = *out;
  return kExitOk;
}

bool LoadForCommand(const std::string& command, const std::string& path, CCalibrationData& data, int& status) {
  const WorkspaceResult loaded = LoadWorkspace(data, path);
  if (!loaded.ok) {
    status = FailInput(command, loaded.error);
    return false;
  }
  for (const std::string& warning : loaded.warnings) std::cerr << "warning: " << warning << "\n";
  return true;
}

ExchangeResult ExportRequested(CCalibrationData& data, const ExportRequest& request) {
  ExchangeResult failed;
  if (request.rig) {
    const StereoRigResult rig = CalibrateStereoRig(data);
    if (!rig.ok) {
      failed.message = rig.message;
      return failed;
    }
    return ExportRig(ExportedRigOf(rig), request.format, request.out);
  }
  if (request.camera >= data.GetCameraCount()) {
    failed.message = "no camera " + std::to_string(request.camera) + " (the workspace has " +
                     std::to_string(data.GetCameraCount()) + ")";
    return failed;
  }
  const CameraCalibrationResult run = CalibrateCamera(data, request.camera);
  if (!run.ok) {
    failed.message = "camera " + std::to_string(request.camera) + ": " + run.message;
    return failed;
  }
  return ExportCamera(ExportedCameraOf(data, request.camera), request.format, request.out);
}

}  // namespace

int RunExport(const Arguments& args) {
  if (WantsHelp(args)) {
    std::cout << kExportUsage;
    return kExitOk;
  }
  ExportRequest request;
  if (const int status = ParseExport(args, request); status != kExitOk) return status;
  CCalibrationData data;
  int status = kExitOk;
  if (!LoadForCommand("export", request.workspace, data, status)) return status;
  const ExchangeResult result = ExportRequested(data, request);
  if (!result.ok) return FailInput("export", result.message);
  for (const std::string& file : result.files) std::cout << "wrote " << file << "\n";
  return kExitOk;
}

int RunImportParameters(const Arguments& args) {
  if (WantsHelp(args)) {
    std::cout << kImportUsage;
    return kExitOk;
  }
  ParsedArguments parsed;
  std::string error;
  if (!ParseArguments(args, {"--camera", "--save"}, {}, parsed, error)) return FailUsage(kImportUsage, error);
  if (parsed.positional.size() != 2) return FailUsage(kImportUsage, "expected WORKSPACE and FILE");
  int camera = -1;
  const auto cameraText = parsed.Value("--camera");
  if (!cameraText || !ParseInt(*cameraText, camera) || camera < 0)
    return FailUsage(kImportUsage, "--camera needs a camera index (0, 1, ...)");

  CCalibrationData data;
  int status = kExitOk;
  if (!LoadForCommand("import-parameters", parsed.positional[0], data, status)) return status;
  const ImportResult imported = ImportParameters(data, camera, parsed.positional[1]);
  if (!imported.ok) return FailInput("import-parameters", imported.message);
  std::cout << "Camera " << camera << ": " << ParametersText(imported.parameters);
  if (const auto out = parsed.Value("--save")) {
    const WorkspaceResult saved = SaveWorkspaceTo(data, *out);
    if (!saved.ok) return FailInput("import-parameters", saved.error);
    for (const std::string& warning : saved.warnings) std::cerr << "warning: " << warning << "\n";
  }
  return kExitOk;
}

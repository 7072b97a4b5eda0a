// lentora export and lentora import-parameters: calibrations to and from the
// files other programs read.

#include <iostream>

#include "app/CalibrationReport.h"
#include "app/CalibrationService.h"
#include "app/ParameterExchange.h"
#include "cli/Command.h"
#include "core/CalibrationData.h"

namespace {

const char* const kExportUsage =
    "usage: lentora export WORKSPACE (--camera N | --rig) --format opencv|ros|colmap|kalibr --out FILE\n"
    "  Calibrates camera N (as lentora calibrate does), or cameras 0 and 1 and their rig (as\n"
    "  lentora stereo does), and writes the result as OpenCV FileStorage YAML, ROS camera_info\n"
    "  YAML, COLMAP cameras.txt or a Kalibr camchain. A ROS rig writes its second camera beside\n"
    "  FILE with \"_1\" before the extension. ROS and Kalibr rigs carry the translation in metres;\n"
    "  OpenCV files keep the grid's unit (T_unit).\n";

const char* const kImportUsage =
    "usage: lentora import-parameters WORKSPACE --camera N FILE [--save OUT_INDEX]\n"
    "  Reads camera N's parameters from FILE (OpenCV YAML/XML, ROS camera_info YAML, a Kalibr\n"
    "  camchain or COLMAP cameras.txt with one camera, or a parameter file of ours), prints them\n"
    "  and, with --save, writes the workspace with them under OUT_INDEX. Distortion the camera\n"
    "  model cannot hold and a different image size are refused.\n";

const CommandSpec kExport{"export", kExportUsage, kCameraOption, {"--format", "--out"}, {"--rig"}};
const CommandSpec kImport{"import-parameters", kImportUsage, kCameraOption | kSaveOption};

struct ExportRequest {
  std::optional<int> camera;  // else the rig
  ExchangeFormat format = ExchangeFormat::OpenCv;
  std::string out;
};

ExportRequest ReadExportRequest(const CommandLine& line) {
  ExportRequest request;
  if (line.Has("--rig") == line.camera.has_value()) FailUsage("give either --camera N or --rig");
  request.camera = line.camera;
  const auto format = line.Value("--format");
  const auto parsedFormat = format ? ParseExchangeFormat(*format) : std::nullopt;
  if (!parsedFormat) FailUsage("--format needs opencv, ros, colmap or kalibr");
  request.format = *parsedFormat;
  const auto out = line.Value("--out");
  if (!out || out->empty()) FailUsage("--out FILE is required");
  request.out = *out;
  return request;
}

// Calibrates what the request names and writes it.
ExchangeResult ExportRequested(CCalibrationData& data, const ExportRequest& request) {
  if (!request.camera) {
    const StereoRigResult rig = CalibrateStereoRig(data);
    if (!rig.ok) FailInput(rig.message);
    return ExportRig(ExportedRigOf(rig), request.format, request.out);
  }
  const int camera = *request.camera;
  if (camera >= data.GetCameraCount()) FailInput(NoSuchCamera(camera, data.GetCameraCount()));
  const CameraCalibrationResult run = CalibrateCamera(data, camera);
  if (!run.ok) FailInput("camera " + std::to_string(camera + 1) + ": " + run.message);
  return ExportCamera(ExportedCameraOf(data, camera), request.format, request.out);
}

int Export(const CommandLine& line) {
  const std::string& workspace = line.OnePositional("expected one WORKSPACE argument");
  const ExportRequest request = ReadExportRequest(line);
  CCalibrationData data;
  LoadWorkspaceFor(workspace, data);
  const ExchangeResult result = ExportRequested(data, request);
  if (!result.ok) FailInput(result.message);
  for (const std::string& file : result.files) std::cout << "wrote " << file << "\n";
  return kExitOk;
}

int Import(const CommandLine& line) {
  if (line.Positional().size() != 2) FailUsage("expected WORKSPACE and FILE");
  if (!line.camera) FailUsage("--camera needs a camera index (0, 1, ...)");
  const int camera = *line.camera;
  CCalibrationData data;
  LoadWorkspaceFor(line.Positional()[0], data);
  if (camera >= data.GetCameraCount()) FailInput(NoSuchCamera(camera, data.GetCameraCount()));
  const ImportResult imported = ImportParameters(data, camera, line.Positional()[1]);
  if (!imported.ok) FailInput(imported.message);
  std::cout << "Camera " << camera + 1 << ":\n" << ParametersText(imported.parameters);
  if (!line.saveTo.empty()) SaveWorkspaceFor(data, line.saveTo);
  return kExitOk;
}

}  // namespace

int RunExport(const Arguments& args) { return RunCommand(kExport, args, Export); }

int RunImportParameters(const Arguments& args) { return RunCommand(kImport, args, Import); }

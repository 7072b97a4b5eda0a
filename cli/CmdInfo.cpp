// lentora info / lentora copy: what the loader reads, and a load + save round trip.

#include <iostream>

#include "cli/CliSupport.h"
#include "calib/CalibrationProblem.h"
#include "core/CalibrationData.h"
#include "core/Workspace.h"

namespace {

const char* kInfoUsage =
    "usage: lentora info WORKSPACE [--json]\n"
    "  Loads a workspace index file and prints its cameras, views, grids, parameters and poses.\n";

const char* kCopyUsage =
    "usage: lentora copy IN_INDEX OUT_INDEX\n"
    "  Loads a workspace and saves it under a new index file; the companion files are written beside it.\n";

void PrintWarnings(const WorkspaceResult& result) {
  for (const std::string& warning : result.warnings) std::cerr << "warning: " << warning << "\n";
}

void WriteCameraJson(JsonWriter& json, const CCalibrationData& data, int camera) {
  const GridDescription grid = data.GetGrid(camera);
  const CameraParameters p = data.GetCameraParameters(camera);
  json.BeginObject().Key("index").Value(camera).Key("views").Value(data.GetViewCount(camera));
  json.Key("grid").BeginObject().Key("nx").Value(grid.nx).Key("ny").Value(grid.ny).Key("dX").Value(grid.dX);
  json.Key("dY").Value(grid.dY).Key("wx").Value(grid.wx).Key("wy").Value(grid.wy).EndObject();
  json.Key("parameters").BeginObject();
  json.Key("K").Array(p.K.begin(), p.K.end());
  json.Key("distortion").Array(p.distortion.begin(), p.distortion.begin() + 4);
  json.Key("R").Array(p.R.begin(), p.R.end());
  json.Key("T").Array(p.T.begin(), p.T.end());
  json.Key("width").Value(p.width).Key("height").Value(p.height).EndObject();
  json.Key("viewList").BeginArray();
  for (int v = 0; v < data.GetViewCount(camera); ++v) {
    const cv::Mat* image = data.GetViewImage(camera, v);
    json.BeginObject().Key("enabled").Value(data.IsViewEnabled(camera, v) ? 1 : 0);
    json.Key("hasPoints").Value(data.ViewHasPoints(camera, v) ? 1 : 0);
    json.Key("missingImage").Value(data.ViewMissingImage(camera, v));
    json.Key("width").Value(image->cols).Key("height").Value(image->rows).Key("points").BeginArray();
    for (int k = 0; k < data.GetPointCount(camera, v); ++k) {
      const ImagePoint point = data.GetPoint(camera, v, k);
      json.BeginArray().Value(point.x).Value(point.y).EndArray();
    }
    json.EndArray().EndObject();
  }
  json.EndArray().Key("extrinsics").BeginArray();
  const CalibrationProblem& problem = data.GetCalibrationProblem(camera);
  for (int v = 0; v < problem.viewCount; ++v) {
    const double* R = problem.GetRotationMatrix(v);
    const double* r = problem.GetRotationVector(v);
    const double* t = problem.GetTranslation(v);
    json.BeginObject().Key("R").Array(R, R + 9).Key("r").Array(r, r + 3).Key("t").Array(t, t + 3).EndObject();
  }
  json.EndArray().EndObject();
}

void PrintCameraText(const CCalibrationData& data, int camera) {
  const GridDescription grid = data.GetGrid(camera);
  const CameraParameters p = data.GetCameraParameters(camera);
  int withPoints = 0, enabled = 0;
  for (int v = 0; v < data.GetViewCount(camera); ++v) {
    withPoints += data.ViewHasPoints(camera, v) ? 1 : 0;
    enabled += data.IsViewEnabled(camera, v) ? 1 : 0;
  }
  std::cout << "Camera " << camera << ": " << data.GetViewCount(camera) << " views (" << enabled << " enabled, "
            << withPoints << " with points), image " << data.GetImageWidth(camera) << "x"
            << data.GetImageHeight(camera) << "\n"
            << "  grid " << grid.nx << "x" << grid.ny << ", squares " << grid.dX << " x " << grid.dY << ", window "
            << grid.wx << "x" << grid.wy << "\n"
            << "  fx " << p.fx() << " fy " << p.fy() << " cx " << p.cx() << " cy " << p.cy() << "  distortion "
            << p.distortion[0] << " " << p.distortion[1] << " " << p.distortion[2] << " " << p.distortion[3] << "\n"
            << "  poses stored: " << data.GetCalibrationProblem(camera).viewCount << "\n";
}

}  // namespace

int RunInfo(const Arguments& args) {
  if (WantsHelp(args)) {
    std::cout << kInfoUsage;
    return kExitOk;
  }
  ParsedArguments parsed;
  std::string error;
  if (!ParseArguments(args, {}, {"--json"}, parsed, error)) return FailUsage(kInfoUsage, error);
  if (parsed.positional.size() != 1) return FailUsage(kInfoUsage, "expected one WORKSPACE argument");
  CCalibrationData data;
  const WorkspaceResult result = LoadWorkspace(data, parsed.positional[0]);
  if (!result.ok) return FailInput("info", result.error);
  PrintWarnings(result);
  if (parsed.Has("--json")) {
    JsonWriter json;
    json.BeginObject().Key("cameras").BeginArray();
    for (int c = 0; c < data.GetCameraCount(); ++c) WriteCameraJson(json, data, c);
    json.EndArray().EndObject();
    std::cout << json.str() << "\n";
  } else {
    std::cout << "Workspace " << parsed.positional[0] << ": " << data.GetCameraCount() << " camera(s)\n";
    for (int c = 0; c < data.GetCameraCount(); ++c) PrintCameraText(data, c);
  }
  return kExitOk;
}

int RunCopy(const Arguments& args) {
  if (WantsHelp(args)) {
    std::cout << kCopyUsage;
    return kExitOk;
  }
  ParsedArguments parsed;
  std::string error;
  if (!ParseArguments(args, {}, {}, parsed, error)) return FailUsage(kCopyUsage, error);
  if (parsed.positional.size() != 2) return FailUsage(kCopyUsage, "expected IN_INDEX and OUT_INDEX");
  CCalibrationData data;
  const WorkspaceResult loaded = LoadWorkspace(data, parsed.positional[0]);
  if (!loaded.ok) return FailInput("copy", loaded.error);
  PrintWarnings(loaded);
  const WorkspaceResult saved = SaveWorkspaceTo(data, parsed.positional[1]);
  if (!saved.ok) return FailInput("copy", saved.error);
  PrintWarnings(saved);
  return kExitOk;
}

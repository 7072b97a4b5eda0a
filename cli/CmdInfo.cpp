// lentora info / lentora copy: what the loader reads, and a load + save round trip.

#include <iostream>
#include <sstream>
#include <string>

#include "app/CalibrationReport.h"
#include "calib/CalibrationProblem.h"
#include "cli/Command.h"
#include "core/CalibrationData.h"

namespace {

const char* const kInfoUsage =
    "usage: lentora info WORKSPACE [--json]\n"
    "  Loads a workspace index file and prints its cameras, views, grids, parameters and poses.\n";

const char* const kCopyUsage =
    "usage: lentora copy IN_INDEX OUT_INDEX\n"
    "  Loads a workspace and saves it under a new index file; the companion files are written beside it.\n";

void WriteCameraJson(JsonWriter& json, const CCalibrationData& data, int camera) {
  const GridDescription grid = data.GetGrid(camera);
  const CameraParameters p = data.GetCameraParameters(camera);
  json.BeginObject().Key("index").Value(camera).Key("views").Value(data.GetViewCount(camera));
  json.Key("grid").BeginObject().Key("nx").Value(grid.nx).Key("ny").Value(grid.ny).Key("dX").Value(grid.dX);
  json.Key("dY").Value(grid.dY).Key("unit").Value(std::string(LengthUnitName(grid.unit)));
  json.Key("wx").Value(grid.wx).Key("wy").Value(grid.wy).EndObject();
  json.Key("parameters").BeginObject();
  json.Key("K").Array(p.K.begin(), p.K.end());
  WriteLensModelJson(json, p);
  json.Key("R").Array(p.R.begin(), p.R.end());
  json.Key("T").Array(p.T.begin(), p.T.end());
  json.Key("width").Value(p.width).Key("height").Value(p.height).EndObject();
  json.Key("viewList").BeginArray();
  for (int v = 0; v < data.GetViewCount(camera); ++v) {
    const cv::Size size = data.GetViewSize(camera, v);
    json.BeginObject().Key("enabled").Value(data.IsViewEnabled(camera, v) ? 1 : 0);
    json.Key("hasPoints").Value(data.ViewHasPoints(camera, v) ? 1 : 0);
    json.Key("missingImage").Value(data.ViewMissingImage(camera, v));
    json.Key("width").Value(size.width).Key("height").Value(size.height).Key("points").BeginArray();
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

std::string CoefficientText(const CameraParameters& p) {
  std::ostringstream text;
  for (int i = 0; i < DistortionCount(p.model); ++i) text << " " << p.distortion[i];
  return text.str();
}

void PrintCameraText(const CCalibrationData& data, int camera) {
  const GridDescription grid = data.GetGrid(camera);
  const CameraParameters p = data.GetCameraParameters(camera);
  int withPoints = 0, enabled = 0;
  for (int v = 0; v < data.GetViewCount(camera); ++v) {
    withPoints += data.ViewHasPoints(camera, v) ? 1 : 0;
    enabled += data.IsViewEnabled(camera, v) ? 1 : 0;
  }
  std::cout << "Camera " << camera + 1 << ": " << data.GetViewCount(camera) << " views (" << enabled << " enabled, "
            << withPoints << " with points), image " << data.GetImageWidth(camera) << "x"
            << data.GetImageHeight(camera) << "\n"
            << "  grid " << grid.nx << "x" << grid.ny << ", squares " << grid.dX << " x " << grid.dY << " "
            << LengthUnitName(grid.unit) << ", window "
            << grid.wx << "x" << grid.wy << "\n"
            << "  fx " << p.fx() << " fy " << p.fy() << " cx " << p.cx() << " cy " << p.cy() << "  " << LensModelName(p.model)
            << CoefficientText(p) << "\n"
            << "  poses stored: " << data.GetCalibrationProblem(camera).viewCount << "\n";
}

const CommandSpec kInfo{"info", kInfoUsage, kJsonOption};
const CommandSpec kCopy{"copy", kCopyUsage};

}  // namespace

int RunInfo(const Arguments& args) {
  return RunCommand(kInfo, args, [](const CommandLine& line) {
    const std::string& workspace = line.OnePositional("expected one WORKSPACE argument");
    CCalibrationData data;
    LoadWorkspaceFor(workspace, data);
    if (line.json) {
      JsonWriter json;
      json.BeginObject().Key("cameras").BeginArray();
      for (int c = 0; c < data.GetCameraCount(); ++c) WriteCameraJson(json, data, c);
      json.EndArray().EndObject();
      std::cout << json.str() << "\n";
    } else {
      std::cout << "Workspace " << workspace << ": " << data.GetCameraCount() << " camera(s)\n";
      for (int c = 0; c < data.GetCameraCount(); ++c) PrintCameraText(data, c);
    }
    return kExitOk;
  });
}

int RunCopy(const Arguments& args) {
  return RunCommand(kCopy, args, [](const CommandLine& line) {
    if (line.Positional().size() != 2) FailUsage("expected IN_INDEX and OUT_INDEX");
    CCalibrationData data;
    LoadWorkspaceFor(line.Positional()[0], data);
    SaveWorkspaceFor(data, line.Positional()[1]);
    return kExitOk;
  });
}

// lentora detect: finds the camera's chequerboard grid in views without clicks.

#include <cstdio>
#include <iostream>
#include <optional>

#include "cli/CliSupport.h"
#include "core/CalibrationData.h"
#include "core/Workspace.h"
#include "grid/GridDetection.h"

namespace {

const char* kCommand = "detect";

const char* kUsage =
    "usage: lentora detect WORKSPACE [--camera N] [--view V] [--json] [--save OUT_INDEX]\n"
    "  Finds the camera's grid in each view and stores its corners as four clicks and the grid\n"
    "  estimation would, origin first. Without --camera every camera with a grid is searched;\n"
    "  --view V searches only view V. Views where the board is not found keep their points.\n"
    "  Cameras and views count from 0. Exit status 0 when the search ran, whatever it found.\n"
    "  --json            print {\"cameras\":[{\"camera\",\"views\":[{\"view\",\"found\",\"points\"}]}]}\n"
    "  --save OUT_INDEX  save the workspace with the detected points under a new index file\n";

struct Request {
  std::string workspace;
  std::optional<int> camera;
  std::optional<int> view;
  bool json = false;
  std::string saveIndex;
};

struct ViewOutcome {
  int view = 0;
  GridStatus status = GridStatus::Ok;
  PointList points;
  bool cleared = false;  // a miss cleared points that did not fit the grid
};

struct CameraOutcome {
  int camera = 0;
  std::vector<ViewOutcome> views;
};

bool ParseIndex(const ParsedArguments& parsed, const char* option, std::optional<int>& index, std::string& error) {
  const auto text = parsed.Value(option);
  if (!text) return true;
  int value = -1;
  if (!ParseInt(*text, value) || value < 0) {
    error = std::string(option) + " takes a whole number from 0";
    return false;
  }
  index = value;
  return true;
}

bool ParseRequest(const Arguments& args, Request& request, std::string& error) {
  ParsedArguments parsed;
  if (!ParseArguments(args, {"--camera", "--view", "--save"}, {"--json"}, parsed, error)) return false;
  if (parsed.positional.size() != 1) {
    error = "expected one WORKSPACE argument";
    return false;
  }
  request.workspace = parsed.positional[0];
  if (!ParseIndex(parsed, "--camera", request.camera, error) || !ParseIndex(parsed, "--view", request.view, error))
    return false;
  request.json = parsed.Has("--json");
  if (const auto save = parsed.Value("--save")) {
    if (save->empty()) {
      error = "--save needs a file name";
      return false;
    }
    request.saveIndex = *save;
  }
  return true;
}

// The cameras to search, or a message why the request cannot be served.
std::string SelectCameras(const CCalibrationData& data, const Request& request, std::vector<int>& cameras) {
  if (request.camera) {
    const int c = *request.camera;
    if (c >= data.GetCameraCount())
      return "no camera " + std::to_string(c) + " in the workspace (it has " + std::to_string(data.GetCameraCount()) + ")";
    const GridStatus grid = ValidateGrid(data.GetGrid(c));
    if (grid != GridStatus::Ok) return "camera " + std::to_string(c) + ": " + DescribeGridStatus(grid);
    cameras.push_back(c);
  } else {
    for (int c = 0; c < data.GetCameraCount(); ++c)
      if (ValidateGrid(data.GetGrid(c)) == GridStatus::Ok) cameras.push_back(c);
    if (cameras.empty()) return "no camera of the workspace has a grid";
  }
  if (request.view)
    for (int c : cameras)
      if (*request.view >= data.GetViewCount(c))
        return "camera " + std::to_string(c) + " has no view " + std::to_string(*request.view) + " (it has " +
               std::to_string(data.GetViewCount(c)) + ")";
  return {};
}

std::vector<CameraOutcome> DetectAll(CCalibrationData& data, const Request& request, const std::vector<int>& cameras) {
  std::vector<CameraOutcome> outcomes;
  for (int c : cameras) {
    CameraOutcome camera{c, {}};
    const int first = request.view ? *request.view : 0;
    const int end = request.view ? first + 1 : data.GetViewCount(c);
    for (int v = first; v < end; ++v) {
      bool cleared = false;
      GridDetection detection = DetectGrid(data, c, v, &cleared);
      camera.views.push_back({v, detection.status, std::move(detection.corners), cleared});
    }
    outcomes.push_back(std::move(camera));
  }
  return outcomes;
}

void PrintJson(const std::vector<CameraOutcome>& outcomes) {
  JsonWriter json;
  json.BeginObject().Key("cameras").BeginArray();
  for (const CameraOutcome& camera : outcomes) {
    json.BeginObject().Key("camera").Value(camera.camera).Key("views").BeginArray();
    for (const ViewOutcome& view : camera.views) {
      json.BeginObject().Key("view").Value(view.view).Key("found").Value(view.status == GridStatus::Ok);
      json.Key("points").BeginArray();
      for (const ImagePoint& p : view.points) json.BeginArray().Value(p.x).Value(p.y).EndArray();
      json.EndArray().EndObject();
    }
    json.EndArray().EndObject();
  }
  json.EndArray().EndObject();
  std::cout << json.str() << "\n";
}

void PrintText(const std::vector<CameraOutcome>& outcomes) {
  for (const CameraOutcome& camera : outcomes) {
    int found = 0;
    for (const ViewOutcome& view : camera.views) {
      if (view.status == GridStatus::Ok) {
        ++found;
        std::printf("Camera %d view %d: found, %zu points\n", camera.camera, view.view, view.points.size());
      } else {
        std::printf("Camera %d view %d: not found (%s)%s\n", camera.camera, view.view, DescribeGridStatus(view.status),
                    view.cleared ? "; its old points did not fit the grid and were cleared" : "");
      }
    }
    std::printf("Camera %d: %d of %zu views detected\n", camera.camera, found, camera.views.size());
  }
}

}  // namespace

int RunDetect(const Arguments& args) {
  if (WantsHelp(args)) {
    std::cout << kUsage;
    return kExitOk;
  }
  Request request;
  std::string error;
  if (!ParseRequest(args, request, error)) return FailUsage(kUsage, error);

  CCalibrationData data;
  const WorkspaceResult loaded = LoadWorkspace(data, request.workspace);
  if (!loaded.ok) return FailInput(kCommand, loaded.error);
  for (const std::string& warning : loaded.warnings) std::cerr << "warning: " << warning << "\n";

  std::vector<int> cameras;
  error = SelectCameras(data, request, cameras);
  if (!error.empty()) return FailInput(kCommand, error);
  const std::vector<CameraOutcome> outcomes = DetectAll(data, request, cameras);
  if (!request.saveIndex.empty()) {
    const WorkspaceResult saved = SaveWorkspaceTo(data, request.saveIndex);
    if (!saved.ok) return FailInput(kCommand, saved.error);
    for (const std::string& warning : saved.warnings) std::cerr << "warning: " << warning << "\n";
  }
  if (request.json)
    PrintJson(outcomes);
  else
    PrintText(outcomes);
  return kExitOk;
}

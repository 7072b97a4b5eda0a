// lentora detect: finds the camera's chequerboard grid in views without clicks.

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <optional>

#include "cli/Command.h"
#include "core/CalibrationData.h"
#include "grid/DetectionRun.h"
#include "grid/GridDetection.h"

namespace {

const char* const kUsage =
    "usage: lentora detect WORKSPACE [--camera N] [--view V] [--json] [--save OUT_INDEX]\n"
    "  Finds the camera's grid in each view and stores its corners as four clicks and the grid\n"
    "  estimation would, origin first. Without --camera every camera with a grid is searched;\n"
    "  --view V searches only view V. Views where the board is not found keep their points.\n"
    "  --camera and --view count from 0, the text numbers cameras and views from 1.\n"
    "  Exit status 0 when the search ran, whatever it found.\n"
    "  --json            print {\"cameras\":[{\"camera\",\"views\":[{\"view\",\"found\",\"points\"}]}]}\n"
    "  --save OUT_INDEX  save the workspace with the detected points under a new index file\n";

const CommandSpec kDetect{"detect", kUsage, kCameraOption | kJsonOption | kSaveOption, {"--view"}};

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

// The cameras to search, or a message why the request cannot be served.
std::string SelectCameras(const CCalibrationData& data, const CommandLine& line, std::optional<int> view,
                          std::vector<int>& cameras) {
  if (line.camera) {
    const int c = *line.camera;
    if (c >= data.GetCameraCount())
      return NoSuchCamera(c, data.GetCameraCount());
    const GridStatus grid = ValidateGrid(data.GetGrid(c));
    if (grid != GridStatus::Ok) return "camera " + std::to_string(c + 1) + ": " + DescribeGridStatus(grid);
    cameras.push_back(c);
  } else {
    for (int c = 0; c < data.GetCameraCount(); ++c)
      if (ValidateGrid(data.GetGrid(c)) == GridStatus::Ok) cameras.push_back(c);
    if (cameras.empty()) return "no camera of the workspace has a grid";
  }
  if (view)
    for (int c : cameras)
      if (*view >= data.GetViewCount(c)) return NoSuchView(c, *view, data.GetViewCount(c));
  return {};
}

// Every camera's views are searched on every core; the results come back in view order.
std::vector<CameraOutcome> DetectAll(CCalibrationData& data, std::optional<int> view, const std::vector<int>& cameras) {
  std::vector<ViewToDetect> views;
  for (int c : cameras) {
    const int first = view.value_or(0);
    const int end = view ? first + 1 : data.GetViewCount(c);
    for (int v = first; v < end; ++v) views.push_back({c, v});
  }
  std::vector<CameraOutcome> outcomes;
  for (int c : cameras) outcomes.push_back({c, {}});
  for (DetectedView& found : DetectViews(data, views)) {
    const auto camera = std::find_if(outcomes.begin(), outcomes.end(), [&](const CameraOutcome& o) { return o.camera == found.camera; });
    camera->views.push_back({found.view, found.detection.status, std::move(found.detection.corners), found.cleared});
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
        std::printf("Camera %d view %d: found, %zu points\n", camera.camera + 1, view.view + 1, view.points.size());
      } else {
        std::printf("Camera %d view %d: not found (%s)%s\n", camera.camera + 1, view.view + 1, DescribeGridStatus(view.status),
                    view.cleared ? "; its old points did not fit the grid and were cleared" : "");
      }
    }
    std::printf("Camera %d: %d of %zu views detected\n", camera.camera + 1, found, camera.views.size());
  }
}

// --view V, a view index from 0.
std::optional<int> ViewOption(const CommandLine& line) {
  const auto text = line.Value("--view");
  if (!text) return std::nullopt;
  int view = -1;
  if (!ParseInt(*text, view) || view < 0) FailUsage("--view takes a whole number from 0");
  return view;
}

int Detect(const CommandLine& line) {
  const std::string& workspace = line.OnePositional("expected one WORKSPACE argument");
  const std::optional<int> view = ViewOption(line);
  CCalibrationData data;
  LoadWorkspaceFor(workspace, data);
  std::vector<int> cameras;
  if (const std::string refusal = SelectCameras(data, line, view, cameras); !refusal.empty()) FailInput(refusal);
  const std::vector<CameraOutcome> outcomes = DetectAll(data, view, cameras);
  if (!line.saveTo.empty()) SaveWorkspaceFor(data, line.saveTo);
  if (line.json)
    PrintJson(outcomes);
  else
    PrintText(outcomes);
  return kExitOk;
}

}  // namespace

int RunDetect(const Arguments& args) { return RunCommand(kDetect, args, Detect); }

// lentora extract-grid: the editor's four clicks and grid estimation, headless.

#include <array>
#include <cstdio>
#include <iostream>
#include <sstream>

#include "cli/Command.h"
#include "core/CalibrationData.h"
#include "grid/GridExtraction.h"

namespace {

const char* const kUsage =
    "usage: lentora extract-grid WORKSPACE --camera N --view V --border X,Y X,Y X,Y X,Y [--json] [--save OUT_INDEX]\n"
    "  Marks one view as the object editor does: each border point is refined to the nearest corner like a\n"
    "  click, then every grid corner is predicted and refined. The first border point is the grid's origin;\n"
    "  the others may come in any order. --camera and --view count from 0; the text from 1.\n"
    "  --json            print {\"camera\",\"view\",\"nx\",\"ny\",\"border\",\"points\"} instead of text\n"
    "  --save OUT_INDEX  save the workspace with the new grid points under a new index file\n";

const CommandSpec kExtractGrid{"extract-grid", kUsage, kCameraOption | kJsonOption | kSaveOption, {"--view"}, {},
                               {{"--border", 4}}};

struct Request {
  int camera = -1;
  int view = -1;
  std::array<ImagePoint, 4> border{};
};

bool ParsePoint(const std::string& text, ImagePoint& point) {
  std::vector<double> values;
  if (!ParseDoubleList(text, values) || values.size() != 2) return false;
  point = {values[0], values[1]};
  return true;
}

// The four points after --border.
std::array<ImagePoint, 4> BorderOption(const CommandLine& line) {
  const auto text = line.Value("--border");
  if (!text) FailUsage("--border is required");
  std::vector<std::string> points;
  std::stringstream list(*text);
  for (std::string point; std::getline(list, point);) points.push_back(point);
  if (points.size() != 4) FailUsage("--border needs four points X,Y");
  std::array<ImagePoint, 4> border{};
  for (size_t k = 0; k < 4; ++k)
    if (!ParsePoint(points[k], border[k])) FailUsage("bad border point '" + points[k] + "' (expected X,Y)");
  return border;
}

Request ReadRequest(const CommandLine& line) {
  Request request;
  request.border = BorderOption(line);
  const auto view = line.Value("--view");
  if (!line.Has("--camera") || !view) FailUsage("--camera and --view are required");
  if (!ParseInt(*view, request.view)) FailUsage("--camera and --view take whole numbers");
  request.camera = *line.camera;
  return request;
}

// Runs the clicks and the estimation; on failure returns the message.
std::string MarkView(CCalibrationData& data, const Request& request, std::array<ImagePoint, 4>& refined) {
  if (request.camera < 0 || request.camera >= data.GetCameraCount())
    return NoSuchCamera(request.camera, data.GetCameraCount());
  if (request.view < 0 || request.view >= data.GetViewCount(request.camera))
    return NoSuchView(request.camera, request.view, data.GetViewCount(request.camera));
  const GridStatus gridStatus = ValidateGrid(data.GetGrid(request.camera));
  if (gridStatus != GridStatus::Ok)
    return "camera " + std::to_string(request.camera + 1) + ": " + DescribeGridStatus(gridStatus);
  // A fresh marking, as after "Reset points" in the editor.
  data.GetBorderPoints(request.camera, request.view)->clear();
  for (int k = 0; k < 4; ++k) {
    // Clicks arrive in single precision, as from the editor's image area.
    const ImagePoint click{static_cast<float>(request.border[k].x), static_cast<float>(request.border[k].y)};
    const BorderClick result = AddBorderPoint(data, request.camera, request.view, click);
    if (result.status != GridStatus::Ok)
      return "border point " + std::to_string(k + 1) + ": " + DescribeGridStatus(result.status);
    refined[k] = result.refined;
  }
  const GridStatus status = EstimateGrid(data, request.camera, request.view);
  return status == GridStatus::Ok ? std::string() : DescribeGridStatus(status);
}

void PrintJson(const CCalibrationData& data, const Request& request, const std::array<ImagePoint, 4>& border) {
  const GridDescription grid = data.GetGrid(request.camera);
  JsonWriter json;
  json.BeginObject().Key("camera").Value(request.camera).Key("view").Value(request.view);
  json.Key("nx").Value(grid.nx).Key("ny").Value(grid.ny).Key("border").BeginArray();
  for (const ImagePoint& p : border) json.BeginArray().Value(p.x).Value(p.y).EndArray();
  json.EndArray().Key("points").BeginArray();
  for (int k = 0; k < data.GetPointCount(request.camera, request.view); ++k) {
    const ImagePoint p = data.GetPoint(request.camera, request.view, k);
    json.BeginArray().Value(p.x).Value(p.y).EndArray();
  }
  json.EndArray().EndObject();
  std::cout << json.str() << "\n";
}

void PrintText(const CCalibrationData& data, const Request& request, const std::array<ImagePoint, 4>& border) {
  const GridDescription grid = data.GetGrid(request.camera);
  std::printf("Camera %d view %d: %d x %d grid points\n", request.camera + 1, request.view + 1, grid.nx, grid.ny);
  std::printf("Border points (refined, in click order):");
  for (const ImagePoint& p : border) std::printf(" (%.4f, %.4f)", p.x, p.y);
  std::printf("\nrow column x y\n");
  for (int k = 0; k < data.GetPointCount(request.camera, request.view); ++k) {
    const ImagePoint p = data.GetPoint(request.camera, request.view, k);
    std::printf("%d %d %.4f %.4f\n", k / grid.nx, k % grid.nx, p.x, p.y);
  }
}

}  // namespace

int RunExtractGrid(const Arguments& args) {
  return RunCommand(kExtractGrid, args, [](const CommandLine& line) {
    const Request request = ReadRequest(line);
    const std::string& workspace = line.OnePositional("expected one WORKSPACE argument");
    CCalibrationData data;
    LoadWorkspaceFor(workspace, data);
    std::array<ImagePoint, 4> refined{};
    if (const std::string refusal = MarkView(data, request, refined); !refusal.empty()) FailInput(refusal);
    if (!line.saveTo.empty()) SaveWorkspaceFor(data, line.saveTo);
    if (line.json)
      PrintJson(data, request, refined);
    else
      PrintText(data, request, refined);
    return kExitOk;
  });
}

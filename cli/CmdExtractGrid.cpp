// lentora extract-grid: the editor's four clicks and grid estimation, headless.

#include <array>
#include <cstdio>
#include <iostream>

#include "cli/CliSupport.h"
#include "core/CalibrationData.h"
#include "core/Workspace.h"
#include "grid/GridExtraction.h"

namespace {

const char* kCommand = "extract-grid";

const char* kUsage =
    "usage: lentora extract-grid WORKSPACE --camera N --view V --border X,Y X,Y X,Y X,Y [--json] [--save OUT_INDEX]\n"
    "  Marks one view as the object editor does: each border point is refined to the nearest corner like a\n"
    "  click, then every grid corner is predicted and refined. The first border point is the grid's origin;\n"
    "  the others may come in any order. Cameras and views count from 0.\n"
    "  --json            print {\"camera\",\"view\",\"nx\",\"ny\",\"border\",\"points\"} instead of text\n"
    "  --save OUT_INDEX  save the workspace with the new grid points under a new index file\n";

struct Request {
  std::string workspace;
  int camera = -1;
  int view = -1;
  std::array<ImagePoint, 4> border{};
  bool json = false;
  std::string saveIndex;
};

bool ParsePoint(const std::string& text, ImagePoint& point) {
  std::vector<double> values;
  if (!ParseDoubleList(text, values) || values.size() != 2) return false;
  point = {values[0], values[1]};
  return true;
}

// --border takes four values, which the generic parser cannot express; it is
// taken out of the arguments first.
bool ExtractBorder(Arguments& args, Request& request, bool& found, std::string& error) {
  found = false;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] != "--border") continue;
    if (found) {
      error = "--border given twice";
      return false;
    }
    if (i + 4 >= args.size()) {
      error = "--border needs four points X,Y";
      return false;
    }
    for (int k = 0; k < 4; ++k) {
      if (!ParsePoint(args[i + 1 + k], request.border[k])) {
        error = "bad border point '" + args[i + 1 + k] + "' (expected X,Y)";
        return false;
      }
    }
    args.erase(args.begin() + i, args.begin() + i + 5);
    found = true;
    --i;
  }
  if (!found) error = "--border is required";
  return found;
}

bool ParseRequest(const Arguments& original, Request& request, std::string& error) {
  Arguments args = original;
  bool hasBorder = false;
  if (!ExtractBorder(args, request, hasBorder, error)) return false;
  ParsedArguments parsed;
  if (!ParseArguments(args, {"--camera", "--view", "--save"}, {"--json"}, parsed, error)) return false;
  if (parsed.positional.size() != 1) {
    error = "expected one WORKSPACE argument";
    return false;
  }
  request.workspace = parsed.positional[0];
  const auto camera = parsed.Value("--camera");
  const auto view = parsed.Value("--view");
  if (!camera || !view) {
    error = "--camera and --view are required";
    return false;
  }
  if (!ParseInt(*camera, request.camera) || !ParseInt(*view, request.view)) {
    error = "--camera and --view take whole numbers";
    return false;
  }
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

// Runs the clicks and the estimation; on failure returns the message.
std::string MarkView(CCalibrationData& data, const Request& request, std::array<ImagePoint, 4>& refined) {
  if (request.camera < 0 || request.camera >= data.GetCameraCount())
    return "no camera " + std::to_string(request.camera) + " in the workspace (it has " +
           std::to_string(data.GetCameraCount()) + ")";
  if (request.view < 0 || request.view >= data.GetViewCount(request.camera))
    return "camera " + std::to_string(request.camera) + " has no view " + std::to_string(request.view) + " (it has " +
           std::to_string(data.GetViewCount(request.camera)) + ")";
  const GridStatus gridStatus = ValidateGrid(data.GetGrid(request.camera));
  if (gridStatus != GridStatus::Ok)
    return "camera " + std::to_string(request.camera) + ": " + DescribeGridStatus(gridStatus);
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
  std::printf("Camera %d view %d: %d x %d grid points\n", request.camera, request.view, grid.nx, grid.ny);
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

  std::array<ImagePoint, 4> refined{};
  error = MarkView(data, request, refined);
  if (!error.empty()) return FailInput(kCommand, error);
  if (!request.saveIndex.empty()) {
    const WorkspaceResult saved = SaveWorkspaceTo(data, request.saveIndex);
    if (!saved.ok) return FailInput(kCommand, saved.error);
    for (const std::string& warning : saved.warnings) std::cerr << "warning: " << warning << "\n";
  }
  if (request.json)
    PrintJson(data, request, refined);
  else
    PrintText(data, request, refined);
  return kExitOk;
}

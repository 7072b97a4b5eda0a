// lentora new: a workspace from photographs of the board, one camera per
// --images list, ready for calibrate, stereo and export.

#include <glob.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "app/NewWorkspace.h"
#include "cli/Command.h"
#include "core/CalibrationData.h"
#include "core/Workspace.h"
#include "grid/DetectionRun.h"
#include "grid/GridDetection.h"
#include "grid/GridSizeSearch.h"

namespace {

const std::string kUsage = std::string(
    "usage: lentora new WORKSPACE --images FILE... [--images FILE...] --grid NXxNY --square D\n"
    "                   [--units mm|cm|m|in] [--detect] [--model NAME] [--fix-aspect-ratio]\n"
    "                   [--fix-principal-point] [--zero-tangential] [--fix COEFFICIENTS]\n"
    "  Makes a new workspace (index file WORKSPACE, its files beside it) from photographs of a\n"
    "  chequerboard. Each --images starts a camera; the files after it are its views, in the order\n"
    "  given. A quoted pattern ('left/*.jpg') is expanded here, its files sorted by name (byte by\n"
    "  byte). With several cameras, views pair by position (the first of each camera, then the\n"
    "  second, ...), so every camera needs as many images.\n"
    "  --grid NXxNY  the board's inner corners: where four squares meet, counted along X and Y.\n"
    "                A board of 10 x 7 squares has 9 x 6 inner corners (--grid 9x6).\n"
    "  --square D    the side of one square, in --units (default mm)\n"
    "  --detect      find the grid in every view and print \"k of n views detected\" per camera\n"
    "  Nothing is written when an image cannot be read, a camera's images differ in size, the\n"
    "  cameras have different numbers of images, or WORKSPACE (or a file it would write) exists.\n"
    "  The model options choose how every camera will be calibrated; they are kept in the workspace.\n") +
    kModelOptionsUsage;

struct Request {
  std::string workspace;
  std::vector<std::vector<std::string>> cameras;  // the arguments as given, patterns unexpanded
  GridDescription grid;
  bool detect = false;
};

bool IsPattern(const std::string& argument) { return argument.find_first_of("*?[") != std::string::npos; }

// The files a pattern names, sorted by name; empty when none.
std::vector<std::string> Expand(const std::string& pattern) {
  glob_t found{};
  std::vector<std::string> files;
  if (glob(pattern.c_str(), 0, nullptr, &found) == 0)
    for (size_t i = 0; i < found.gl_pathc; ++i) files.emplace_back(found.gl_pathv[i]);
  globfree(&found);
  std::sort(files.begin(), files.end());
  return files;
}

bool ParseGridSize(const std::string& text, GridDescription& grid) {
  const size_t x = text.find_first_of("xX");
  if (x == std::string::npos) return false;
  int nx = 0, ny = 0;
  if (!ParseInt(text.substr(0, x), nx) || !ParseInt(text.substr(x + 1), ny)) return false;
  if (nx < 2 || ny < 2 || nx > 1000 || ny > 1000) return false;
  grid.nx = nx;
  grid.ny = ny;
  return true;
}

std::vector<std::string> NewValueOptions() {
  std::vector<std::string> options = {"--grid", "--square", "--units"};
  options.insert(options.end(), ModelValueOptions().begin(), ModelValueOptions().end());
  return options;
}

const CommandSpec kNew{"new", kUsage.c_str(), kNoCommonOption, NewValueOptions(), WithModelFlags({"--detect"}), {},
                       {"--images"}};

// The lens model and fixed values the options give every camera.
void ApplyModelOptions(const CommandLine& line, CCalibrationData& data) {
  for (int camera = 0; camera < data.GetCameraCount(); ++camera) {
    std::optional<CalibrationSettings> settings;
    std::string error;
    if (!SettingsFromOptions(line.Parsed(), data.GetCalibrationSettings(camera), settings, error)) FailUsage(error);
    if (settings) data.SetCalibrationSettings(camera, *settings);
  }
}

GridDescription ReadGrid(const CommandLine& line) {
  GridDescription grid;
  const auto gridText = line.Value("--grid");
  if (!gridText || !ParseGridSize(*gridText, grid))
    FailUsage("--grid NXxNY is required: the board's inner corners, 2 to 1000 along each side (a 10 x 7 square board is 9x6)");
  double square = 0.0;
  const auto squareText = line.Value("--square");
  if (!squareText || !ParseDouble(*squareText, square) || !(square > 0.0))
    FailUsage("--square D is required: the side of one square, a number above 0");
  grid.dX = grid.dY = square;
  const std::optional<LengthUnit> unit = ParseLengthUnit(line.Value("--units").value_or("mm"));
  if (!unit) FailUsage("--units takes mm, cm, m or in");
  grid.unit = *unit;
  return grid;
}

Request ReadRequest(const CommandLine& line) {
  Request request;
  request.workspace = line.OnePositional("expected one WORKSPACE argument before the --images lists");
  request.cameras = line.Parsed().Groups("--images");
  if (request.cameras.empty()) FailUsage("--images FILE... is required (one --images per camera)");
  for (size_t c = 0; c < request.cameras.size(); ++c)
    if (request.cameras[c].empty()) FailUsage("--images number " + std::to_string(c + 1) + " names no file");
  request.grid = ReadGrid(line);
  request.detect = line.Has("--detect");
  return request;
}

// Patterns expanded; "" or the pattern that matched nothing.
std::string ExpandPatterns(std::vector<std::vector<std::string>>& cameras) {
  for (std::vector<std::string>& files : cameras) {
    std::vector<std::string> expanded;
    for (const std::string& argument : files) {
      if (!IsPattern(argument)) {
        expanded.push_back(argument);
        continue;
      }
      const std::vector<std::string> matches = Expand(argument);
      if (matches.empty()) return "no file matches \"" + argument + "\"";
      expanded.insert(expanded.end(), matches.begin(), matches.end());
    }
    files = std::move(expanded);
  }
  return "";
}

std::string SizeText(int nx, int ny) { return std::to_string(nx) + " x " + std::to_string(ny); }

// Finds the grid in every view (on every core), stores what is found and says how it went.
void DetectAndReport(CCalibrationData& data) {
  for (int camera = 0; camera < data.GetCameraCount(); ++camera) {
    int found = 0;
    const int views = data.GetViewCount(camera);
    std::vector<ViewToDetect> list;
    for (int view = 0; view < views; ++view) list.push_back({camera, view});
    for (const DetectedView& view : DetectViews(data, list))
      if (view.detection.status == GridStatus::Ok) ++found;
    std::printf("Camera %d: %d of %d views detected\n", camera + 1, found, views);
    if (found > 0) continue;
    // One picture decoded at a time: a large camera's views need not all fit in memory.
    const ViewSupply images{static_cast<size_t>(views), [&](size_t view) {
                              const ViewPixels pixels = data.GetViewImage(camera, static_cast<int>(view));
                              return pixels ? *pixels : cv::Mat();
                            }};
    const GridDescription grid = data.GetGrid(camera);
    if (const std::optional<GridSizeHint> hint = FindLikelyGridSize(images, grid))
      std::printf("Camera %d: %s; is the board %s (--grid %dx%d)?\n", camera + 1,
                  GridSizeHintText(*hint, grid).c_str(), SizeText(hint->grid.nx, hint->grid.ny).c_str(),
                  hint->grid.nx, hint->grid.ny);
  }
}

// A folder made for the new workspace, taken away again (while still empty)
// unless the save went through.
class FolderForSave {
 public:
  explicit FolderForSave(const std::filesystem::path& folder) : folder_(folder) {
    std::error_code ec;
    made_ = !folder_.empty() && std::filesystem::create_directories(folder_, ec);
    if (ec) FailInput("cannot make the folder \"" + folder_.string() + "\": " + ec.message());
  }
  ~FolderForSave() {
    std::error_code ec;
    if (made_) std::filesystem::remove(folder_, ec);  // only while empty
  }
  FolderForSave(const FolderForSave&) = delete;
  FolderForSave& operator=(const FolderForSave&) = delete;
  void Keep() { made_ = false; }

 private:
  std::filesystem::path folder_;
  bool made_ = false;
};

int New(const CommandLine& line) {
  Request request = ReadRequest(line);
  if (const std::string missing = ExpandPatterns(request.cameras); !missing.empty()) FailInput(missing);

  CCalibrationData data;
  const NewWorkspaceCheck filled = FillNewWorkspace(data, {request.cameras, request.grid});
  if (!filled.ok) FailInput(filled.error);
  ApplyModelOptions(line, data);
  const NewWorkspaceCheck target = CheckNewWorkspaceTarget(data, request.workspace);
  if (!target.ok) FailInput(target.error);
  if (request.detect) DetectAndReport(data);

  // The folder is made last, when everything checked out.
  FolderForSave folder(FolderOf(request.workspace));
  SaveWorkspaceFor(data, request.workspace);
  folder.Keep();
  const GridDescription& grid = request.grid;
  std::printf("wrote %s: %d camera%s, %d view%s each, %s grid of %g %s squares\n", request.workspace.c_str(),
              data.GetCameraCount(), data.GetCameraCount() == 1 ? "" : "s", data.GetViewCount(0),
              data.GetViewCount(0) == 1 ? "" : "s", SizeText(grid.nx, grid.ny).c_str(), grid.dX,
              LengthUnitName(grid.unit));
  return kExitOk;
}

}  // namespace

int RunNew(const Arguments& args) { return RunCommand(kNew, args, New); }

// lentora new: a workspace from photographs of the board, one camera per
// --images list, ready for calibrate, stereo and export.

#include <glob.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>

#include "app/NewWorkspace.h"
#include "cli/CliSupport.h"
#include "core/CalibrationData.h"
#include "core/Workspace.h"
#include "grid/GridDetection.h"
#include "grid/GridSizeSearch.h"

namespace {

const char* kCommand = "new";

const char* kUsage =
    "usage: lentora new WORKSPACE --images FILE... [--images FILE...] --grid NXxNY --square D\n"
    "                   [--units mm|cm|m|in] [--detect]\n"
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
    "  cameras have different numbers of images, or WORKSPACE (or a file it would write) exists.\n";

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

// Options with one value each; --images gathers the arguments up to the next option.
bool ParseRequest(const Arguments& args, Request& request, std::string& error) {
  std::optional<std::string> gridText, squareText, unitText;
  std::vector<std::string> positional;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool option = a.size() > 2 && a.compare(0, 2, "--") == 0;
    if (!option) {
      if (request.cameras.empty()) positional.push_back(a);
      else request.cameras.back().push_back(a);
      continue;
    }
    if (a == "--images") {
      request.cameras.emplace_back();
    } else if (a == "--detect") {
      request.detect = true;
    } else if (a == "--grid" || a == "--square" || a == "--units") {
      if (i + 1 >= args.size()) {
        error = "option " + a + " needs a value";
        return false;
      }
      (a == "--grid" ? gridText : a == "--square" ? squareText : unitText) = args[++i];
    } else {
      error = "unknown option " + a;
      return false;
    }
  }
  if (positional.size() != 1) {
    error = "expected one WORKSPACE argument before the --images lists";
    return false;
  }
  request.workspace = positional[0];
  if (request.cameras.empty()) {
    error = "--images FILE... is required (one --images per camera)";
    return false;
  }
  for (size_t c = 0; c < request.cameras.size(); ++c)
    if (request.cameras[c].empty()) {
      error = "--images number " + std::to_string(c + 1) + " names no file";
      return false;
    }
  if (!gridText || !ParseGridSize(*gridText, request.grid)) {
    error = "--grid NXxNY is required: the board's inner corners, 2 to 1000 along each side (a 10 x 7 square board is 9x6)";
    return false;
  }
  double square = 0.0;
  if (!squareText || !ParseDouble(*squareText, square) || !(square > 0.0)) {
    error = "--square D is required: the side of one square, a number above 0";
    return false;
  }
  request.grid.dX = request.grid.dY = square;
  const std::optional<LengthUnit> unit = ParseLengthUnit(unitText.value_or("mm"));
  if (!unit) {
    error = "--units takes mm, cm, m or in";
    return false;
  }
  request.grid.unit = *unit;
  return true;
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

// Finds the grid in every view, stores what is found and says how it went.
void DetectViews(CCalibrationData& data) {
  for (int camera = 0; camera < data.GetCameraCount(); ++camera) {
    int found = 0;
    const int views = data.GetViewCount(camera);
    for (int view = 0; view < views; ++view)
      if (DetectGrid(data, camera, view).status == GridStatus::Ok) ++found;
    std::printf("Camera %d: %d of %d views detected\n", camera + 1, found, views);
    if (found > 0) continue;
    std::vector<cv::Mat> images;
    for (int view = 0; view < views; ++view) images.push_back(*data.GetViewImage(camera, view));
    const GridDescription grid = data.GetGrid(camera);
    if (const std::optional<GridSizeHint> hint = FindLikelyGridSize(images, grid))
      std::printf("Camera %d: %s; is the board %s (--grid %dx%d)?\n", camera + 1,
                  GridSizeHintText(*hint, grid).c_str(), SizeText(hint->grid.nx, hint->grid.ny).c_str(),
                  hint->grid.nx, hint->grid.ny);
  }
}

}  // namespace

int RunNew(const Arguments& args) {
  if (WantsHelp(args)) {
    std::cout << kUsage;
    return kExitOk;
  }
  Request request;
  std::string error;
  if (!ParseRequest(args, request, error)) return FailUsage(kUsage, error);
  if (const std::string missing = ExpandPatterns(request.cameras); !missing.empty()) return FailInput(kCommand, missing);

  CCalibrationData data;
  const NewWorkspaceCheck filled = FillNewWorkspace(data, {request.cameras, request.grid});
  if (!filled.ok) return FailInput(kCommand, filled.error);
  const NewWorkspaceCheck target = CheckNewWorkspaceTarget(data, request.workspace);
  if (!target.ok) return FailInput(kCommand, target.error);
  if (request.detect) DetectViews(data);

  // The folder is made last, and taken away again when the save fails.
  const std::filesystem::path folder = FolderOf(request.workspace);
  std::error_code ec;
  const bool madeFolder = !folder.empty() && std::filesystem::create_directories(folder, ec);
  if (ec) return FailInput(kCommand, "cannot make the folder \"" + folder.string() + "\": " + ec.message());
  const WorkspaceResult saved = SaveWorkspaceTo(data, request.workspace);
  if (!saved.ok) {
    if (madeFolder) std::filesystem::remove(folder, ec);  // only while empty
    return FailInput(kCommand, saved.error);
  }
  for (const std::string& warning : saved.warnings) std::cerr << "warning: " << warning << "\n";
  const GridDescription& grid = request.grid;
  std::printf("wrote %s: %d camera%s, %d view%s each, %s grid of %g %s squares\n", request.workspace.c_str(),
              data.GetCameraCount(), data.GetCameraCount() == 1 ? "" : "s", data.GetViewCount(0),
              data.GetViewCount(0) == 1 ? "" : "s", SizeText(grid.nx, grid.ny).c_str(), grid.dX,
              LengthUnitName(grid.unit));
  return kExitOk;
}

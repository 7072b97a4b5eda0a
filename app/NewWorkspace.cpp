#include "app/NewWorkspace.h"

#include <filesystem>

#include "core/CalibrationData.h"
#include "core/Workspace.h"

namespace {

NewWorkspaceCheck Refused(std::string error) {
  NewWorkspaceCheck check;
  check.error = std::move(error);
  return check;
}

// Loads one camera's files as its views; "" or why not.
std::string AddCameraViews(CCalibrationData& store, int camera, const std::vector<std::string>& files) {
  const std::string name = "camera " + std::to_string(camera + 1);
  if (files.empty()) return name + " has no image files";
  // The store refuses unreadable and damaged images and images of another size than the camera's first.
  for (const std::string& file : files) {
    std::string problem;
    if (store.AddViewFromFile(camera, file, 1, 0, "", &problem) != 0)
      return name + ": " + (problem.empty() ? "\"" + file + "\" cannot be read" : problem);
  }
  return "";
}

std::string CheckPairs(const NewWorkspaceRequest& request) {
  const size_t first = request.cameras.front().size();
  for (size_t c = 1; c < request.cameras.size(); ++c)
    if (request.cameras[c].size() != first)
      return "camera 1 has " + std::to_string(first) + " images but camera " + std::to_string(c + 1) + " has " +
             std::to_string(request.cameras[c].size()) + "; views pair by position, so every camera needs as many";
  return "";
}

}  // namespace

NewWorkspaceCheck FillNewWorkspace(CCalibrationData& store, const NewWorkspaceRequest& request) {
  if (store.GetCameraCount() != 0) return Refused("a new workspace starts from an empty store");
  if (request.cameras.empty()) return Refused("a new workspace needs at least one camera's images");
  if (const std::string error = CheckPairs(request); !error.empty()) return Refused(error);
  for (size_t c = 0; c < request.cameras.size(); ++c) {
    const int camera = static_cast<int>(c);
    store.AddCamera();
    store.SetGrid(camera, request.grid);
    if (const std::string error = AddCameraViews(store, camera, request.cameras[c]); !error.empty()) {
      while (store.GetCameraCount() > 0) store.RemoveCamera(store.GetCameraCount() - 1);
      return Refused(error);
    }
  }
  NewWorkspaceCheck check;
  check.ok = true;
  return check;
}

NewWorkspaceCheck CheckNewWorkspaceTarget(const CCalibrationData& store, const std::string& indexPath) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (fs::exists(indexPath, ec)) return Refused("\"" + indexPath + "\" already exists; a new workspace replaces nothing");
  const std::string folder = FolderOf(indexPath);
  if (!folder.empty() && fs::exists(folder, ec) && !fs::is_directory(folder, ec))
    return Refused("\"" + folder + "\" is not a folder");
  std::vector<std::string> names;
  for (int camera = 0; camera < store.GetCameraCount(); ++camera) {
    names.insert(names.end(), {CameraDataFileName(camera), IntrinsicFileName(camera), ExtrinsicFileName(camera)});
    for (int view = 0; view < store.GetViewCount(camera); ++view)
      names.insert(names.end(), {ViewImageFileName(camera, view), PointsFileName(camera, view)});
  }
  for (const std::string& name : names)
    if (fs::exists(JoinPath(folder, name), ec))
      return Refused("the folder already holds \"" + name + "\" (another workspace?); a new workspace replaces nothing");
  NewWorkspaceCheck check;
  check.ok = true;
  return check;
}

#pragma once
// Workspace files: an index file naming one data file per camera, intrinsic,
// extrinsic and points files, and JPEG view images, all in the index file's
// folder. The file dialog of the workbench sits on top of SaveWorkspaceTo.

#include <functional>
#include <string>
#include <vector>

class CCalibrationData;

struct WorkspaceResult {
  bool ok = false;
  std::string error;                  // why the load or save failed (ok == false)
  std::vector<std::string> warnings;  // things skipped while the rest loaded
  int firstCamera = 0;                // store index of the first camera read
  int camerasRead = 0;
};

// Called once per camera read from the index, before the camera is added to
// the store, with the store index it will get.
using CameraAnnouncer = std::function<void(int cameraIndex)>;

// Writes the whole store beside indexPath. Fails (ok == false) as soon as any
// file cannot be created or written.
WorkspaceResult SaveWorkspaceTo(const CCalibrationData& data, const std::string& indexPath);

// Appends the workspace's cameras after those the store already holds.
WorkspaceResult LoadWorkspace(CCalibrationData& data, const std::string& indexPath,
                              const CameraAnnouncer& announce = {});

// Folder of a path (split at the last '/' or '\\'); "" when there is none.
std::string FolderOf(const std::string& path);
// folder + '/' + name, or name alone when folder is empty.
std::string JoinPath(const std::string& folder, const std::string& name);

// Companion file names.
std::string CameraDataFileName(int camera);
std::string IntrinsicFileName(int camera);
std::string ExtrinsicFileName(int camera);
std::string ViewImageFileName(int camera, int view);
std::string PointsFileName(int camera, int view);

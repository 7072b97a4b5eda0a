#pragma once
// Workspace files: an index file naming one data file per camera, intrinsic,
// extrinsic and points files, and JPEG view images, all in the index file's
// folder. The file dialog of the workbench sits on top of SaveWorkspaceTo.

#include <functional>
#include <string>
#include <vector>

#include "core/FileSet.h"

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

// Writes the whole store beside indexPath as one unit: either every file is
// replaced or (ok == false, with the reason) the folder is left as it was.
// Refuses an index name equal to a companion name the save writes. Views
// without their image write no image file (a warning says so). faultHook is
// the test seam of FileSetWriter.
WorkspaceResult SaveWorkspaceTo(const CCalibrationData& data, const std::string& indexPath,
                                const FileSetWriter::FaultHook& faultHook = {});

// Appends the workspace's cameras after those the store already holds.
WorkspaceResult LoadWorkspace(CCalibrationData& data, const std::string& indexPath,
                              const CameraAnnouncer& announce = {});

// Folder of a path (split at the last '/' or '\\'); "" when there is none.
std::string FolderOf(const std::string& path);
// The part of a path after its last '/' or '\\'.
std::string FileNameOf(const std::string& path);
// folder + '/' + name, or name alone when folder is empty.
std::string JoinPath(const std::string& folder, const std::string& name);

// Companion file names.
std::string CameraDataFileName(int camera);
std::string IntrinsicFileName(int camera);
std::string ExtrinsicFileName(int camera);
std::string ViewImageFileName(int camera, int view);
std::string PointsFileName(int camera, int view);

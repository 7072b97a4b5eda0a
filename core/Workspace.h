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
  std::vector<std::string> warnings;  // things skipped while the rest loaded, or left out of a save
  std::vector<std::string> removed;   // files of the target folder a save removed (with consent)
  int firstCamera = 0;                // store index of the first camera read
  int camerasRead = 0;
};

// Called once per camera read from the index, before the camera is added to
// the store, with the store index it will get.
using CameraAnnouncer = std::function<void(int cameraIndex)>;

// Asked, before anything is written, about files of the target folder that
// bear the image name of a view without its image: the save writes no image
// for such a view, so a reload would take that file for it. True lets the
// save remove them; false (or no function) refuses the save.
using RemovalConsent = std::function<bool(const std::vector<std::string>& fileNames)>;

struct WorkspaceSaveOptions {
  RemovalConsent mayRemove;
  FileSetWriter::FaultHook faultHook;  // the test seam of FileSetWriter
};

// Writes the whole store beside indexPath as one unit: either every file is
// replaced or (ok == false, with the reason) the folder is left as it was.
// Refuses an index name equal to a companion name the save writes. Views
// without their image write no image file (a warning names it); a file of
// that name already in the folder is removed only with consent (its name is
// then in `removed` and a warning), else the save is refused. A view whose
// picture's file changed or vanished since it was added fails the save,
// naming it. After a save every view written reads its picture from the
// saved file.
WorkspaceResult SaveWorkspaceTo(CCalibrationData& data, const std::string& indexPath,
                                const WorkspaceSaveOptions& options = {});

// Names of the files in indexPath's folder that a save of `data` there would
// have to remove (see RemovalConsent).
std::vector<std::string> StaleImageFiles(const CCalibrationData& data, const std::string& indexPath);

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

#pragma once
// A workspace made from photographs: one camera per list of image files, each
// file one view, in order. Everything is checked before anything is kept or
// written: images that cannot be read, images of another size than the
// camera's first, cameras of a rig with different numbers of views (views pair
// by position), and a target that would overwrite another workspace.

#include <string>
#include <vector>

#include "records/Records.h"

class CCalibrationData;

struct NewWorkspaceRequest {
  std::vector<std::vector<std::string>> cameras;  // image files per camera, in view order
  GridDescription grid;                           // every camera's grid
};

struct NewWorkspaceCheck {
  bool ok = false;
  std::string error;
};

// Adds the request's cameras and views to an empty store. On a refusal the
// store is left empty and `error` names the file and the reason.
NewWorkspaceCheck FillNewWorkspace(CCalibrationData& store, const NewWorkspaceRequest& request);

// Refuses an index path that exists, or a folder that holds a file the save
// of `store` would write (another workspace's companions): a new workspace
// never replaces anything. A missing folder is fine; the save makes it.
NewWorkspaceCheck CheckNewWorkspaceTarget(const CCalibrationData& store, const std::string& indexPath);

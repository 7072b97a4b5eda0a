// The workspace index and camera data reader. The input is the index text,
// a form feed, then the text of Camera_0_Data.txt (what the seeds name);
// companion files are absent, so every view goes the missing-image way.

#include <string>

#include "core/CalibrationData.h"
#include "core/Workspace.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input = AsText(data, size);
  const size_t split = input.find('\f');
  const std::string index = ScratchFile("ws.txt", input.substr(0, split));
  ScratchFile("Camera_0_Data.txt", split == std::string_view::npos ? std::string_view() : input.substr(split + 1));
  CCalibrationData store;
  store.AddCamera();
  const WorkspaceResult result = LoadWorkspace(store, index);
  if (!result.ok && store.GetCameraCount() != 1) __builtin_trap();  // a refused load leaves the store alone
  if (result.ok && store.GetCameraCount() != 1 + result.camerasRead) __builtin_trap();
  for (int camera = 0; camera < store.GetCameraCount(); ++camera)
    for (int view = 0; view < store.GetViewCount(camera); ++view)
      if (store.GetViewImage(camera, view) == nullptr) __builtin_trap();
  return 0;
}

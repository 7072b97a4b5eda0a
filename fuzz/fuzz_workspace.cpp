// The workspace index and camera data reader. The input is up to four texts
// split by form feeds: the index, Camera_0_Data.txt, Camera_0_Intrinsic.txt
// and Camera_0_Points_0.txt (the names the seeds use). A missing part is an
// absent file; view images are always absent, so every view goes the
// missing-image way and its placeholder takes its size from the intrinsic file.

#include <array>
#include <string>

#include "core/CalibrationData.h"
#include "core/Workspace.h"
#include "fuzz/FuzzSupport.h"

namespace {

constexpr std::array<const char*, 4> kParts = {"ws.txt", "Camera_0_Data.txt", "Camera_0_Intrinsic.txt",
                                               "Camera_0_Points_0.txt"};

// Writes each part to its file and removes the files of parts the input lacks.
std::string WriteParts(std::string_view input) {
  bool present = true;
  for (const char* name : kParts) {
    if (!present) {
      std::error_code ignored;
      std::filesystem::remove(ScratchFolder() / name, ignored);
      continue;
    }
    const size_t end = input.find('\f');
    ScratchFile(name, input.substr(0, end));
    present = end != std::string_view::npos;
    if (present) input.remove_prefix(end + 1);
  }
  return (ScratchFolder() / kParts[0]).string();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string index = WriteParts(AsText(data, size));
  CCalibrationData store;
  store.AddCamera();
  const WorkspaceResult result = LoadWorkspace(store, index);
  if (!result.ok && store.GetCameraCount() != 1) __builtin_trap();  // a refused load leaves the store alone
  if (result.ok && store.GetCameraCount() != 1 + result.camerasRead) __builtin_trap();
  for (int camera = 0; camera < store.GetCameraCount(); ++camera)
    for (int view = 0; view < store.GetViewCount(camera); ++view)
      if (store.GetViewSize(camera, view).area() == 0 || store.GetViewImage(camera, view) == nullptr) __builtin_trap();
  return 0;
}

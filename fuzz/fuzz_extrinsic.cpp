// The extrinsic parameter file reader. The first byte sets the camera's view
// count (0-31), the rest is the file.

#include "calib/CalibrationProblem.h"
#include "core/CalibrationData.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const int views = data[0] % 32;
  const std::string path = ScratchFile("Camera_0_Extrinsic.txt", AsText(data + 1, size - 1));
  CCalibrationData store;
  store.AddCamera();
  GridDescription grid;
  grid.nx = 3;
  grid.ny = 2;
  CalibrationProblem& problem = store.GetCalibrationProblem(0);
  problem.Allocate(views, grid);
  store.ReadExtrinsicFile(0, path);
  if (problem.viewCount != views || problem.translations.size() != 3u * static_cast<size_t>(views)) __builtin_trap();
  return 0;
}

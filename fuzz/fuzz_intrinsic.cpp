// The intrinsic parameter file reader: a file either replaces the camera's
// parameters whole or leaves them as they were.

#include "core/CalibrationData.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = ScratchFile("Camera_0_Intrinsic.txt", AsText(data, size));
  CCalibrationData store;
  store.AddCamera();
  CameraParameters before;
  before.K[0] = 123.0;
  store.SetCameraParameters(0, before);
  const bool read = store.ReadIntrinsicFile(0, path);
  const CameraParameters after = store.GetCameraParameters(0);
  if (!read && after.K != before.K) __builtin_trap();
  if (read && after.distortion[4] != 0.0) __builtin_trap();
  return 0;
}

#include "sources/SourceModel.h"

#include <algorithm>

int SubViewsOfSplit(int32_t split) {
  switch (split) {
    case kSplitNone:
      return 1;
    case kSplitStereo:
      return 2;
    case kSplitQuad:
      return 4;
    default:
      return 0;
  }
}

void DefaultSubViewCameras(SourceSettings& settings) {
  settings.subViewCamera.fill(kNoCamera);
  for (int i = 0; i < SubViewsOfSplit(settings.split); ++i) settings.subViewCamera[i] = i;
}

int CountSubViews(const SourceSettings& settings) {
  return static_cast<int>(std::count_if(settings.subViewCamera.begin(), settings.subViewCamera.end(),
                                        [](int32_t camera) { return camera != kNoCamera; }));
}

void ShiftSubViewCameras(SourceSettings& settings, int delta) {
  for (int32_t& camera : settings.subViewCamera)
    if (camera != kNoCamera) camera += delta;
}

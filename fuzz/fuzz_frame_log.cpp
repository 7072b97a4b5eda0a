// The frame-log reader and the frame matching built on it: the two tick
// lists stay aligned, and only frames of the log can be matched.

#include "fuzz/FuzzSupport.h"
#include "sources/FrameLogReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = ScratchFile("SampleAviSync.txt", AsText(data, size));
  FrameLogTicks ticks;
  const FrameLogReadResult result = ReadFrameLogTicks(path, ticks);
  if (!result.opened || ticks.local.size() != ticks.remote.size()) __builtin_trap();
  const int frames = static_cast<int>(ticks.local.size());
  for (int frame : {-1, 0, frames / 2, frames - 1, frames}) {
    SyncMatch match;
    const bool found = MatchServerFrame(ticks, ticks, frame, match);
    if (found != (frame >= 0 && frame < frames)) __builtin_trap();
  }
  return 0;
}

#pragma once
// Detection of many views of the store on every core. The pictures are decoded
// and searched on worker threads (each holds one picture at a time); the
// results are stored in the store (ApplyGridDetection) on the calling thread,
// in the order the views were listed, whatever order the searches end in.

#include <atomic>
#include <functional>
#include <vector>

#include "grid/GridDetection.h"

class CCalibrationData;

struct ViewToDetect {
  int camera = 0;
  int view = 0;
};

struct DetectedView {
  int camera = 0;
  int view = 0;
  GridDetection detection;  // as found; its status is what was stored (a refusal replaces Ok)
  bool cleared = false;     // a miss cleared points that could not pair with the grid
};

// Threads to search on when asked for 0: one per core.
int DetectionThreads(int requested);

// Searches the views on `threads` workers (0: one per core) and stores each
// result as ApplyGridDetection does; `each` (optional) is told of every view
// as it is stored. A set `cancel` stops the run: views not yet stored are
// left as they are and are missing from the result.
std::vector<DetectedView> DetectViews(CCalibrationData& store, const std::vector<ViewToDetect>& views, int threads = 0,
                                      const std::function<void(const DetectedView&)>& each = {},
                                      const std::atomic<bool>* cancel = nullptr);

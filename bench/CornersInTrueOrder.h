#pragma once
// Found corners matched to the true ones, for benchmarks that know where the
// corners really are.

#include <cmath>
#include <vector>

#include "records/Records.h"

// The found corners put in the true corners' order (the detector may start
// the grid at another corner); false unless each lies within 2 px of its own.
inline bool InTrueOrder(const PointList& found, const PointList& truth, PointList& ordered) {
  if (found.size() != truth.size()) return false;
  ordered.assign(truth.size(), ImagePoint{});
  std::vector<bool> taken(truth.size(), false);
  for (const ImagePoint& p : found) {
    size_t best = 0;
    double bestDistance = 1e9;
    for (size_t k = 0; k < truth.size(); ++k) {
      const double d = std::hypot(p.x - truth[k].x, p.y - truth[k].y);
      if (d < bestDistance) best = k, bestDistance = d;
    }
    if (bestDistance > 2.0 || taken[best]) return false;
    taken[best] = true;
    ordered[best] = p;
  }
  return true;
}

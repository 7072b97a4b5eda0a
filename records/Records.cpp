#include "records/Records.h"

#include <algorithm>

void MakeGridObjectPoints(ObjectPoint* dst, const GridDescription& grid, int viewCount) {
  if (viewCount <= 0 || grid.nx <= 0 || grid.ny <= 0) return;
  ObjectPoint* out = dst;
  for (int row = grid.ny - 1; row >= 0; --row)
    for (int col = 0; col < grid.nx; ++col)
      *out++ = ObjectPoint{col * grid.dX, row * grid.dY, 0.0};
  const int block = grid.nx * grid.ny;
  for (int v = 1; v < viewCount; ++v) std::copy(dst, dst + block, dst + v * block);
}

std::vector<ObjectPoint> MakeGridObjectPoints(const GridDescription& grid, int viewCount) {
  if (viewCount <= 0 || grid.nx <= 0 || grid.ny <= 0) return {};
  std::vector<ObjectPoint> points(static_cast<size_t>(grid.nx) * grid.ny * viewCount);
  MakeGridObjectPoints(points.data(), grid, viewCount);
  return points;
}

#pragma once
// When a camera's grid is found in none of its views, the board is often
// there but was counted differently: squares for inner corners, one side
// short, or the sides swapped. The search tries those sizes and reports the
// one that is found, in how many views, so the user can take it.

#include <atomic>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "records/Records.h"
#include "grid/GridDetection.h"

struct GridSizeHint {
  GridDescription grid;                 // the camera's grid with the board's nx and ny
  int found = 0;                        // views in which that board was found
  int views = 0;                        // views searched
  std::vector<GridDetection> detections;  // per view, for that board
};

// The sizes worth trying for a grid, most likely first: one corner fewer or
// more on each side, then the sides swapped (with the same changes). Sizes
// the detector cannot search (fewer than 3 corners a side) are left out.
std::vector<GridDescription> LikelyGridSizes(const GridDescription& grid);

// Looks for a board of another size in the views (CV_8UC3 view images). The
// first views decide which size it is: the library's detector is asked for a
// chequerboard of any size there, and each size it reports (in the camera
// grid's orientation first) is checked with the full detection; when it
// reports none, the likely sizes are tried on the first view. The size found
// is then searched in every view. Nothing when no size is found or `cancel`
// turns true.
std::optional<GridSizeHint> FindLikelyGridSize(const std::vector<cv::Mat>& views, const GridDescription& grid,
                                               const std::atomic<bool>* cancel = nullptr);

// The views one at a time, as the search comes to them: `count` views, and
// `view(i)` gives view i (CV_8UC3; empty when it cannot be had), so a large
// camera's pictures need not all be decoded at once.
struct ViewSupply {
  size_t count = 0;
  std::function<cv::Mat(size_t)> view;
};
std::optional<GridSizeHint> FindLikelyGridSize(const ViewSupply& views, const GridDescription& grid,
                                               const std::atomic<bool>* cancel = nullptr);

// The size of the board the first views show, checked by detection; nothing
// when none is found.
std::optional<GridDescription> IdentifyBoard(const ViewSupply& views, const GridDescription& grid,
                                             const std::atomic<bool>* cancel = nullptr);

// "found a 9 x 6 board in 12 of 13 views; this camera's grid is 10 x 7"
std::string GridSizeHintText(const GridSizeHint& hint, const GridDescription& current);

#include "grid/GridSizeSearch.h"

#include <algorithm>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "grid/DetectorRandomness.h"

namespace {

// The detectors need three corners a side.
constexpr int kMinSide = 3;
// Views a size is looked for in before the search gives up: a board that is
// in none of the first few views is no board of a likely size.
constexpr size_t kViewsToIdentify = 3;
// Guessing the size tries several sizes on several views; a steeply tilted
// board among them is not needed to tell the size, and its search would cost
// seconds a size.
constexpr SteepBoards kGuessSteep = SteepBoards::Skip;

bool Cancelled(const std::atomic<bool>* cancel) { return cancel && cancel->load(); }

std::string SizeText(int nx, int ny) { return std::to_string(nx) + " x " + std::to_string(ny); }

}  // namespace

std::vector<GridDescription> LikelyGridSizes(const GridDescription& grid) {
  // Counting squares for corners is the usual slip, so both sides one off come first.
  static const int kSteps[][2] = {{-1, -1}, {1, 1}, {-1, 0}, {0, -1}, {1, 0}, {0, 1}, {-1, 1}, {1, -1}};
  std::vector<GridDescription> sizes;
  auto add = [&](int nx, int ny) {
    if (nx < kMinSide || ny < kMinSide || (nx == grid.nx && ny == grid.ny)) return;
    for (const GridDescription& known : sizes)
      if (known.nx == nx && known.ny == ny) return;
    GridDescription size = grid;
    size.nx = nx;
    size.ny = ny;
    sizes.push_back(size);
  };
  for (const auto& step : kSteps) add(grid.nx + step[0], grid.ny + step[1]);
  add(grid.ny, grid.nx);
  for (const auto& step : kSteps) add(grid.ny + step[0], grid.nx + step[1]);
  return sizes;
}

namespace {

// The chequerboard sizes the library's detector sees in a view when any size
// larger than the smallest is allowed, in the grid's orientation and swapped.
std::vector<GridDescription> SeenSizes(const cv::Mat& view, const GridDescription& grid) {
  if (view.empty() || view.type() != CV_8UC3) return {};
  cv::Mat gray;
  cv::cvtColor(view, gray, cv::COLOR_BGR2GRAY);
  const int longest = std::max(gray.cols, gray.rows);
  if (longest > kDetectionSide) cv::resize(gray, gray, {}, double(kDetectionSide) / longest, double(kDetectionSide) / longest, cv::INTER_AREA);
  std::vector<cv::Point2f> corners;
  cv::Mat meta;
  try {
    if (!FindBoardFromFixedState(gray, cv::Size(kMinSide, kMinSide), corners, cv::CALIB_CB_LARGER, meta)) return {};
  } catch (const cv::Exception&) {
    return {};
  }
  int nx = meta.cols, ny = meta.rows;
  if ((nx >= ny) != (grid.nx >= grid.ny)) std::swap(nx, ny);
  std::vector<GridDescription> sizes;
  for (const auto& [x, y] : {std::pair{nx, ny}, std::pair{ny, nx}}) {
    if (x < kMinSide || y < kMinSide || (x == grid.nx && y == grid.ny)) continue;
    GridDescription size = grid;
    size.nx = x;
    size.ny = y;
    sizes.push_back(size);
  }
  return sizes;
}

}  // namespace

std::optional<GridDescription> IdentifyBoard(const ViewSupply& views, const GridDescription& grid,
                                             const std::atomic<bool>* cancel) {
  cv::Mat first;
  for (size_t v = 0; v < std::min(views.count, kViewsToIdentify); ++v) {
    const cv::Mat view = views.view(v);
    if (v == 0) first = view;
    for (const GridDescription& size : SeenSizes(view, grid)) {
      if (Cancelled(cancel)) return std::nullopt;
      if (DetectGridInImage(view, size, BoardSearch::QuickFirst, kGuessSteep).status == GridStatus::Ok) return size;
    }
  }
  if (first.empty()) return std::nullopt;
  for (const GridDescription& size : LikelyGridSizes(grid)) {
    if (Cancelled(cancel)) return std::nullopt;
    if (DetectGridInImage(first, size, BoardSearch::QuickFirst, kGuessSteep).status == GridStatus::Ok) return size;
  }
  return std::nullopt;
}

std::optional<GridSizeHint> FindLikelyGridSize(const ViewSupply& views, const GridDescription& grid,
                                               const std::atomic<bool>* cancel) {
  const std::optional<GridDescription> board = IdentifyBoard(views, grid, cancel);
  if (!board) return std::nullopt;
  GridSizeHint hint;
  hint.grid = *board;
  hint.views = static_cast<int>(views.count);
  for (size_t v = 0; v < views.count; ++v) {
    if (Cancelled(cancel)) return std::nullopt;
    hint.detections.push_back(DetectGridInImage(views.view(v), *board));
    if (hint.detections.back().status == GridStatus::Ok) ++hint.found;
  }
  return hint;
}

std::optional<GridSizeHint> FindLikelyGridSize(const std::vector<cv::Mat>& views, const GridDescription& grid,
                                               const std::atomic<bool>* cancel) {
  return FindLikelyGridSize(ViewSupply{views.size(), [&views](size_t v) { return views[v]; }}, grid, cancel);
}

std::string GridSizeHintText(const GridSizeHint& hint, const GridDescription& current) {
  return "found a " + SizeText(hint.grid.nx, hint.grid.ny) + " board in " + std::to_string(hint.found) + " of " +
         std::to_string(hint.views) + " views; this camera's grid is " + SizeText(current.nx, current.ny);
}

#pragma once
// Grid extraction: four clicked outer corners of a chequerboard become every
// grid corner of the view, ordered and refined to sub-pixel accuracy.
//
// Corner (i, j) - row i in [0, ny), column j in [0, nx) - is stored at i*nx + j.
// With the border points ordered s0..s3 (OrderBorderPoints), (0, 0) lies at
// s0, (0, nx-1) at s1, (ny-1, nx-1) at s2 and (ny-1, 0) at s3, the first
// click, which is the object origin of the calibration.
//
// Nothing here draws: the editor passes a callback to see each corner as
// soon as it is stored.

#include <array>
#include <functional>

#include <opencv2/core.hpp>

#include "records/Records.h"

class CCalibrationData;

enum class GridStatus {
  Ok,
  NoView,              // camera or view index out of range
  BorderIncomplete,    // estimation needs exactly four border points
  BorderComplete,      // a view takes no fifth border point
  GridTooSmall,        // nx < 2 or ny < 2
  GridTooLarge,        // more grid points than any image could hold
  BadWindow,           // negative refinement window half-size
  WindowTooLarge,      // refinement window larger than the image allows
  BadImage,            // empty view image or not 8-bit, 3 channels
  ImageSizeMismatch,   // view image size differs from the camera's
  PointOutsideImage,   // a point to refine is not finite or not in the image
  DegenerateBorder,    // border points not a convex quadrilateral
  HomographyFailed,    // no finite homography from the border points
  RefinementFailed,    // the library refused the refinement
  BoardNotFound,       // detection: no board of the camera's grid in the view
  ImageTooSmall,       // detection: the image cannot hold the grid
  OriginUnclear,       // detection: the square colours contradict each other
  BoardLarger,         // detection: the board continues beyond the camera's grid
  WrongPointCount,     // a point list that is not nx*ny points long
};

// One-line English description of a status ("" for Ok).
const char* DescribeGridStatus(GridStatus status);

// Largest number of grid points an estimation accepts.
inline constexpr long long kMaxGridPoints = 1000000;

struct CornerRefinement {
  GridStatus status = GridStatus::Ok;
  ImagePoint point;  // refined point; the input point unchanged on failure
};

// The 8-bit gray image that refinement works on, from a CV_8UC3 BGR view.
// Returns BadImage (and leaves gray empty) for anything else.
GridStatus MakeGrayImage(const cv::Mat& viewImage, cv::Mat& gray);

// Sub-pixel refinement of one corner in an 8-bit gray image. The search
// window handed to the library as its half-size is (2*wx+1, 2*wy+1), so
// wx = 3 searches a 15-pixel-wide patch. The point travels in single
// precision, as the library works in it.
CornerRefinement RefineCorner(const cv::Mat& gray, const ImagePoint& point, const GridDescription& grid);

// Puts four border points (p[0] the first clicked) into the cyclic order
// s0..s3: s3 is p[0], and s0, s1, s2 follow it clockwise on the screen.
std::array<ImagePoint, 4> OrderBorderPoints(const std::array<ImagePoint, 4>& points);

// Checks the grid description for estimation: point counts and window.
GridStatus ValidateGrid(const GridDescription& grid);

// Called for every corner right after it has been stored: its position in
// the grid order and the refined point.
using CornerCallback = std::function<void(int index, const ImagePoint& corner)>;

// The estimation on its own: orders the border points, predicts every corner
// through the homography of the unit square onto them and refines each one.
// Corners are refined outwards from the four outer corners, and each
// prediction is corrected by how far the corners already refined around it
// lay from theirs, so lens distortion does not lead the refinement astray.
// Everything is checked before `corners` is touched; on success it holds
// nx*ny points in the grid order.
GridStatus EstimateGridPoints(const cv::Mat& gray, const std::array<ImagePoint, 4>& border,
                              const GridDescription& grid, PointList& corners,
                              const CornerCallback& onCorner = {});

// One click of the editor at an image point: refines it to the nearest
// corner and appends it to the view's border-point list. The editor runs
// EstimateGrid when borderCount reaches four.
struct BorderClick {
  GridStatus status = GridStatus::Ok;
  ImagePoint refined;
  int borderCount = 0;  // border points of the view after the click
};
BorderClick AddBorderPoint(CCalibrationData& store, int camera, int view, const ImagePoint& imagePoint);

// Estimation of a whole view from its four border points: replaces the
// view's grid-point list and sets its has-points flag. On any refusal the
// view is left as it was. The border-point list is never changed.
GridStatus EstimateGrid(CCalibrationData& store, int camera, int view, const CornerCallback& onCorner = {});

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
#include "grid/CornerRefinement.h"
#include "grid/GridStatus.h"

class CCalibrationData;

// Puts four border points (p[0] the first clicked) into the cyclic order
// s0..s3: s3 is p[0], and s0, s1, s2 follow it clockwise on the screen.
std::array<ImagePoint, 4> OrderBorderPoints(const std::array<ImagePoint, 4>& points);

// Called for every corner right after it has been stored: its position in
// the grid order and the refined point.
using CornerCallback = std::function<void(int index, const ImagePoint& corner)>;

// Where the corners of an estimation came from.
enum class CornerSource {
  Detector,  // the library's detector found the clicked board
  Walk,      // predicted from the clicks and refined outwards from them
};

// The estimation on its own: orders the border points and looks for the board
// inside the quadrilateral they span with the detector; where it finds it with
// its outer corners at the clicked ones, its corners are taken in the clicked
// order. Otherwise every corner is predicted through the homography of the
// unit square onto the clicks and refined outwards from the four outer
// corners, each prediction corrected by how far the corners already refined
// around it lay from theirs, so lens distortion does not lead the refinement
// astray. Either way every corner is refined last in the window its squares
// allow (CornerRefinement.h), and the corners must fit the grid as a plane
// seen through a lens (PointsDoNotFit otherwise). Everything is checked
// before `corners` is touched; on success it holds nx*ny points in the grid
// order.
GridStatus EstimateGridPoints(const cv::Mat& gray, const std::array<ImagePoint, 4>& border,
                              const GridDescription& grid, PointList& corners,
                              const CornerCallback& onCorner = {}, CornerSource* source = nullptr);

// One click of the editor at an image point: refines it to the nearest
// corner and appends it to the view's border-point list. The squares are not
// known yet, so the window reaches as far as the click may be off
// (`uncertainty`, image pixels; RefineClick); the estimation refines the
// four again in windows fitted to the squares. The editor runs EstimateGrid
// when borderCount reaches four.
struct BorderClick {
  GridStatus status = GridStatus::Ok;
  ImagePoint refined;
  int borderCount = 0;  // border points of the view after the click
};
inline constexpr double kClickUncertainty = 2.0;
BorderClick AddBorderPoint(CCalibrationData& store, int camera, int view, const ImagePoint& imagePoint,
                           double uncertainty = kClickUncertainty);

// Estimation of a whole view from its four border points: replaces the
// view's grid-point list and sets its has-points flag. On any refusal the
// view is left as it was. The border-point list is never changed.
GridStatus EstimateGrid(CCalibrationData& store, int camera, int view, const CornerCallback& onCorner = {},
                        CornerSource* source = nullptr);

#pragma once
// What a grid operation (a click, an estimation, a detection) ended with, and
// the checks of a camera's grid description that all of them share.

#include "records/Records.h"

enum class GridStatus {
  Ok,
  NoView,              // camera or view index out of range
  BorderIncomplete,    // estimation needs exactly four border points
  BorderComplete,      // a view takes no fifth border point
  GridTooSmall,        // nx < 2 or ny < 2
  GridTooLarge,        // more grid points than any image could hold
  WindowTooLarge,      // the image is too small for the smallest refinement window
  BadImage,            // empty view image or not 8-bit, 3 channels
  ImageSizeMismatch,   // view image size differs from the camera's
  PointOutsideImage,   // a point to refine is not finite or not in the image
  DegenerateBorder,    // border points not a convex quadrilateral
  HomographyFailed,    // no finite homography from the border points
  RefinementFailed,    // the library refused the refinement, or a corner wandered off
  BoardNotFound,       // detection: no board of the camera's grid in the view
  ImageTooSmall,       // detection: the image cannot hold the grid
  OriginUnclear,       // detection: the square colours contradict each other
  BoardLarger,         // detection: the board continues beyond the camera's grid
  WrongPointCount,     // a point list that is not nx*ny points long
  PointsDoNotFit,      // the corners found do not lie on one plane's grid
  ImageUnreadable,     // the view's picture file changed or vanished since it was added
  CornerNotRefined,    // no corner near a point to refine: the refinement gave the point back unmoved
};

// One-line English description of a status ("" for Ok).
const char* DescribeGridStatus(GridStatus status);

// Largest number of grid points an estimation accepts.
inline constexpr long long kMaxGridPoints = 1000000;

// Checks the grid description for estimation: point counts. The window
// setting (wx, wy) is kept in the files but sizes no refinement: windows are
// fitted to the squares at every corner (CornerRefinement.h).
GridStatus ValidateGrid(const GridDescription& grid);

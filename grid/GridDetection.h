#pragma once
// Automatic chequerboard detection: finds the camera's grid (nx x ny inner
// corners) in one view with the library's detectors, refines every corner
// in the window its squares allow (CornerRefinement.h), pass after pass with
// windows from the corners of the pass before until the windows settle, so
// a clicked grid and a detected one give the same corners. It stores the
// grid in the grid order of the four-click extraction (GridExtraction.h),
// with the four border points the clicks would have given: the origin (row
// ny-1, column 0) first.
//
// Which outer corner is the origin: where the board's square colours decide
// it (nx + ny odd, so the board looks different turned by half a turn), the
// origin is the outer corner whose grid square is dark, read as a vote over
// every square inside the grid. Otherwise (and between the quarter turns of a
// square grid the colours leave open) the origin is the one whose X axis
// points most to the right in the image, so Y points up.

#include <array>

#include <opencv2/core.hpp>

#include "core/ViewImageCache.h"
#include "imaging/ViewImage.h"
#include "records/Records.h"
#include "grid/CornerRefinement.h"
#include "grid/GridStatus.h"

class CCalibrationData;

struct GridDetection {
  GridStatus status = GridStatus::Ok;
  PointList corners;                   // nx*ny refined corners in grid order; empty unless Ok
  std::array<ImagePoint, 4> border{};  // origin, then the other outer corners clockwise on the screen
  bool originFromColours = false;      // the square colours fixed the origin (else the stated rule)
};

// Longest image side the sector-based detector works on; larger views are
// searched at a reduced size and refined at full size.
inline constexpr int kDetectionSide = 2048;

// How the board is looked for: the quick search first (the classic detector
// on the picture reduced to 1024 pixels) and the sector-based detector only
// where it fails; or the sector-based detector alone, which takes a hundred
// times as long and is there to compare with. Either way every corner is
// refined at full size until its window settles, so both give the same
// corners.
enum class BoardSearch { QuickFirst, SectorsOnly };

// Whether a board the detectors miss is looked for again as a steeply tilted
// one: in copies of the picture stretched across the tilt (first the one the
// picture's gradients suggest, then four fixed directions, then two beside
// the suggested one), each searched only where it shows a saddle point for
// every grid corner. It costs a few filter passes on a picture without the
// board and up to seven searches where a board is there but not found;
// callers that look at many pictures quickly (the live preview, the board
// size guess) leave it out.
enum class SteepBoards { Search, Skip };
// Detection in an 8-bit gray image. Nothing but the result is written.
GridDetection DetectGridPoints(const cv::Mat& gray, const GridDescription& grid,
                               BoardSearch search = BoardSearch::QuickFirst, SteepBoards steep = SteepBoards::Search);

// Detection of a clicked board: the detectors search `area` of the gray image
// (then the picture warped so the clicks form a square grid, then stretched
// copies of the area as for steep boards above), and a board whose four outer
// corners lie at the ordered border points s0..s3 (OrderBorderPoints in
// GridExtraction.h; each nearer its corner than any other point of the grid)
// comes back in their grid order: s3 is the origin, whatever the colours say.
// Its corners are refined as detected ones are and must fit the grid as they
// must (PointsDoNotFit); `border` is s3, s0, s1, s2 as refined.
GridDetection DetectGridAtBorder(const cv::Mat& gray, const GridDescription& grid,
                                 const std::array<ImagePoint, 4>& ordered, const cv::Rect& area);

// Detection in a CV_8UC3 view image (converted to gray first).
GridDetection DetectGridInImage(const cv::Mat& viewImage, const GridDescription& grid,
                                BoardSearch search = BoardSearch::QuickFirst, SteepBoards steep = SteepBoards::Search);

// Where the board roughly is, for a preview that looks at many frames a
// second: the classic detector on a copy reduced to `side` pixels (on the
// picture reduced to the quick search's size when that finds nothing), the
// origin chosen as above, and no refinement and no thorough search. The
// corners are good to about a pixel of the reduced copy: enough to draw the
// board and tell boards apart, not to calibrate with.
inline constexpr int kRoughSearchSide = 320;
GridDetection LocateGridRoughly(const cv::Mat& viewImage, const GridDescription& grid, int side = kRoughSearchSide);

// Detection in a view's picture on any thread: `pixels` when at hand, else
// decoded from `source` (ImageUnreadable when that fails).
GridDetection DetectGridInPicture(const ViewImageSource& source, const ViewPixels& pixels, const GridDescription& grid);

// Detection in a view of the store; reads only, so it may run on a copy of the
// image elsewhere and be applied later.
GridDetection DetectGridInView(const CCalibrationData& store, int camera, int view);

// Stores a successful detection in the view: its grid points and border
// points are replaced, the has-points flag set and the view no longer stale.
// Anything but a complete list of nx*ny points for the camera's current grid
// is refused (NoView, GridTooSmall, or WrongPointCount) and leaves the view as
// it was. A miss (the detection's own status is returned) clears the view's
// points when they cannot pair with the camera's grid (stale after a grid
// change, another length, or not fitting the grid; `cleared` says so): a
// re-detection never leaves such points behind. Points that fit stay, so a
// view marked by hand that the detector cannot find keeps them.
GridStatus ApplyGridDetection(CCalibrationData& store, int camera, int view, const GridDetection& detection,
                              bool* cleared = nullptr);

// Both in one: detect in the view and store the result (or clear unfit points).
GridDetection DetectGrid(CCalibrationData& store, int camera, int view, bool* cleared = nullptr);

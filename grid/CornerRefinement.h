#pragma once
// Sub-pixel refinement of chequerboard corners, each in a window fitted to the
// squares that meet at it. Every refinement of the workbench goes through
// here: clicks, predicted corners of a clicked grid, detected corners.
//
// A corner is where the edges around it cross; an edge of a neighbouring
// square inside the window pulls it off the corner. A fixed pixel window is
// therefore wrong somewhere in most views (a steep view shows squares of 6 and
// of 40 pixels at once), so the window follows the squares.
//
// A grid corner, whose neighbours are known, is refined in its grid window:
// the parallelogram spanned by 0.6 of the grid's two steps at the corner each
// way (each step the shorter of its two sides; at the grid's border the step
// inside, shrunk as the squares shrink towards the border, and at the grid's
// four corners the step inside as it is), at most 40 px
// from the corner along either image axis, weighted down towards its rim and
// to pixels near the two grid lines through the corner. It reaches no edge but
// those two lines whatever the squares' shape, and is symmetric about the
// corner, so the crossing of two straight blurred edges stays where it is
// (the library's square pixel windows reach across the thin squares of a
// steep view, and resample the picture at fractional positions). At a corner
// on the grid's border, the pixels near the board's outer edge (one step out,
// on both sides at the grid's four corners) and near its mirror image one
// step in are weighted down, so
// that the edge beyond the ring of squares does not pull the corner. Where that
// gives nothing (window beyond the picture, a corner moving off), and for a
// single corner such as a click, the pixel window of the rule
//
//   half-size = clamp(floor(kWindowFraction * s), kMinHalfWindow, kMaxHalfWindow)
//
// is used, where s is the shortest image-space extent of the squares meeting
// at the corner: each one's four sides and the corner's distance to the two
// sides that do not pass through it. The camera's window setting (wx, wy)
// sizes nothing.

#include <array>
#include <optional>

#include <opencv2/core.hpp>

#include "records/Records.h"
#include "grid/GridStatus.h"

inline constexpr double kWindowFraction = 0.375;
// Smaller windows hold too few edge pixels to place a corner in noise; on
// squares under 9 px this minimum, not the fraction, sets the window.
inline constexpr int kMinHalfWindow = 3;
// Larger ones add time, not accuracy.
inline constexpr int kMaxHalfWindow = 40;

struct CornerRefinement {
  GridStatus status = GridStatus::Ok;
  ImagePoint point;  // refined point; the input point unchanged on failure
  int halfWindow = 0;
};

// The 8-bit gray image that refinement works on, from a CV_8UC3 BGR view.
// Returns BadImage (and leaves gray empty) for anything else.
GridStatus MakeGrayImage(const cv::Mat& viewImage, cv::Mat& gray);

// The 3x3 corners around one grid corner, row by row, the corner itself in the
// middle; corners beyond the grid are left empty.
using CornerNeighbourhood = std::array<std::optional<ImagePoint>, 9>;

// Shortest extent s of the squares meeting at the middle corner (see above);
// +infinity when no square is complete.
double ShortestSquareExtent(const CornerNeighbourhood& around);
// The same for corner (row, column) of nx x ny corners in grid order.
double ShortestSquareExtent(const PointList& corners, int nx, int ny, int row, int column);
// The half-size the rule gives for a shortest extent.
int FittingHalfWindow(double shortestExtent);
// Half-size for a click, whose squares are not known yet: wide enough to reach
// a corner from a click `uncertainty` image pixels off, within the bounds.
int ClickHalfWindow(double uncertainty);

// The image must be at least 2*halfWindow + 5 pixels along each side.
bool WindowFitsImage(const cv::Mat& gray, int halfWindow);
// The half-size cut down to what the image allows (at least 1).
int ClampHalfWindow(const cv::Mat& gray, int halfWindow);

// Refines one corner in an 8-bit gray image with the given half-size (the
// searched patch is 2*halfWindow + 1 pixels wide). The point travels in
// single precision, as the library works in it. CornerNotRefined when the
// library gives the point back unmoved and it is no corner (its steps ran out
// of the window, or the window shows no gradients).
CornerRefinement RefineCorner(const cv::Mat& gray, const ImagePoint& point, int halfWindow);

// A click, whose squares are not known yet, refined to place its mark: in
// the window its uncertainty gives (ClickHalfWindow, cut to the image); a
// point the refinement takes further than the half-size, or cannot refine,
// keeps its start. On a steep view's thin squares that window holds other
// squares' edges (clicks 2 px off were carried 4 to 5 px away, nearer the
// next corner than their own); where the refined click lies more than a
// pixel from the junction of squares nearest the click within `uncertainty`
// (a peak of the picture's saddle strength), the junction is refined instead,
// in the smallest window. The estimation refines the clicks again in the
// windows their squares allow.
CornerRefinement RefineClick(const cv::Mat& gray, const ImagePoint& click, double uncertainty);

enum class UnrefinedCorner { KeepsItsPlace, FailsTheGrid };

// Refines every corner of an nx x ny grid (grid order) from its position in
// `start`, each in the grid window (or pixel window) fitted to the squares
// `start` shows. A corner that cannot be refined keeps its position, or with
// FailsTheGrid fails the whole grid with its status (CornerNotRefined where
// nothing near it is a corner): a position only predicted is no corner. With
// maxShiftShare set, a corner that moves further than that share of the
// distance to its nearest neighbour fails the whole grid (RefinementFailed):
// it settled on something else. Everything is checked before `refined` is written.
// Corners the grid window refined are then moved back by the bow of their grid
// lines (GridLineBend.h), which the window takes as straight.
GridStatus RefineGridCorners(const cv::Mat& gray, const PointList& start, int nx, int ny, PointList& refined,
                             std::optional<double> maxShiftShare = std::nullopt,
                             UnrefinedCorner unrefined = UnrefinedCorner::KeepsItsPlace);

#pragma once
// The grid window's corner under lens distortion.
//
// The grid window (CornerRefinement) fits two straight edges through a corner.
// Through a distorting lens the board's lines bow: a line with curvature k at
// the corner meets the window's pixels at normal offsets k t^2 / 2, t the
// distance along it, and its gradients turn by k t. Weighted (1 - u^2) along
// the window (u = t / reach), the fitted crossing moves by k <t^2> / 2 =
// k reach^2 / 10 towards the line's convex side: outwards under barrel
// distortion, more towards the picture's edge where the lines bend most.
//
// The bend is not taken from a corner and its two neighbours: their second
// difference is mostly their noise on small squares. Each row and each column
// of refined corners is fitted as one smooth curve (its offset across the
// line a polynomial in the position along it), each corner's curvature read
// from the fit of the line's other corners (so that its own error cannot bend
// the line towards it), and shrunk towards zero as far as the corners' scatter
// about the fits (the whole grid's, or the line's own where that is larger)
// leaves it uncertain. A line of too few corners to show both
// a bend and a scatter is taken as straight.

#include <array>
#include <optional>
#include <vector>

#include "records/Records.h"

// How far the grid window that refined a corner reached each way along the
// grid line of its row and along the line of its column, in pixels; nothing
// for a corner refined some other way.
using GridWindowReach = std::optional<std::array<double, 2>>;

// Moves each corner of an nx x ny grid (grid order) that a grid window refined
// back by the shift its two lines' bends gave it. Corners without a reach, and
// lines too short to fit, are left alone.
void StraightenGridWindowCorners(PointList& corners, int nx, int ny, const std::vector<GridWindowReach>& reach);

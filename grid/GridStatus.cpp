#include "grid/GridStatus.h"

const char* DescribeGridStatus(GridStatus status) {
  switch (status) {
    case GridStatus::Ok: return "";
    case GridStatus::NoView: return "no such camera or view";
    case GridStatus::BorderIncomplete: return "the view does not hold exactly four border points";
    case GridStatus::BorderComplete: return "the view already holds four border points";
    case GridStatus::GridTooSmall: return "the grid needs at least 2 points along X and along Y";
    case GridStatus::GridTooLarge: return "the grid has too many points";
    case GridStatus::WindowTooLarge: return "the image is too small for the corner refinement";
    case GridStatus::BadImage: return "the view image is empty or not an 8-bit colour image";
    case GridStatus::ImageSizeMismatch: return "the view image size differs from the camera's image size";
    case GridStatus::PointOutsideImage: return "a point lies outside the image";
    case GridStatus::DegenerateBorder: return "the four border points do not form a convex quadrilateral";
    case GridStatus::HomographyFailed: return "no homography maps the grid onto the border points";
    case GridStatus::RefinementFailed: return "the corner refinement failed";
    case GridStatus::BoardNotFound: return "the board was not found in the view";
    case GridStatus::ImageTooSmall: return "the image is too small to show the grid";
    case GridStatus::OriginUnclear: return "the square colours do not show which corner is the origin";
    case GridStatus::BoardLarger: return "the board has more squares than the camera's grid";
    case GridStatus::WrongPointCount: return "the point list does not hold one point per grid corner";
    case GridStatus::PointsDoNotFit: return "the corners found do not fit the grid";
    case GridStatus::ImageUnreadable: return "the view's picture cannot be read (its file changed or vanished since it was added)";
    case GridStatus::CornerNotRefined: return "no corner was found near where a grid corner should be";
  }
  return "unknown grid status";
}

GridStatus ValidateGrid(const GridDescription& grid) {
  if (grid.nx < 2 || grid.ny < 2) return GridStatus::GridTooSmall;
  if (static_cast<long long>(grid.nx) * grid.ny > kMaxGridPoints) return GridStatus::GridTooLarge;
  return GridStatus::Ok;
}

#pragma once
// Automatic chequerboard detection: finds the camera's grid (nx x ny inner
// corners) in one view with the library's detectors, refines every corner
// exactly as a clicked grid is refined and stores it in the grid order of the
// four-click extraction (GridExtraction.h), with the four border points the
// clicks would have given: the origin (row ny-1, column 0) first.
//
// Which outer corner is the origin: where the board's square colours decide
// it (nx + ny odd, so the board looks different turned by half a turn), the
// origin is the outer corner whose grid square is dark, read as a vote over
// every square inside the grid. Otherwise (and between the quarter turns of a
// square grid the colours leave open) the origin is the one whose X axis
// points most to the right in the image, so Y points up.

#include <array>

#include <opencv2/core.hpp>

#include "records/Records.h"
#include "grid/GridExtraction.h"

class CCalibrationData;

struct GridDetection {
  GridStatus status = GridStatus::Ok;
  PointList corners;                   // nx*ny refined corners in grid order; empty unless Ok
  std::array<ImagePoint, 4> border{};  // origin, then the other outer corners clockwise on the screen
  bool originFromColours = false;      // the square colours fixed the origin (else the stated rule)
};

// Longest image side the detectors work on; larger views are searched at a
// reduced size and refined at full size.
inline constexpr int kDetectionSide = 2048;

// Detection in an 8-bit gray image. Nothing but the result is written.
GridDetection DetectGridPoints(const cv::Mat& gray, const GridDescription& grid);

// Detection in a CV_8UC3 view image (converted to gray first).
GridDetection DetectGridInImage(const cv::Mat& viewImage, const GridDescription& grid);

// Detection in a view of the store; reads only, so it may run on a copy of the
// image elsewhere and be applied later.
GridDetection DetectGridInView(const CCalibrationData& store, int camera, int view);

// Stores a successful detection in the view: its grid points and border
// points are replaced and the has-points flag set. Anything but a complete
// list of nx*ny points for the camera's current grid is refused (NoView,
// GridTooSmall, the detection's own status, or BadImage for a wrong count)
// and leaves the view as it was.
GridStatus ApplyGridDetection(CCalibrationData& store, int camera, int view, const GridDetection& detection);

// Both in one: detect in the view and store the result when found.
GridDetection DetectGrid(CCalibrationData& store, int camera, int view);

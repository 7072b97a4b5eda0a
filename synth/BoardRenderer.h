#pragma once
// Fast rendering of the printed chequerboard through a distorted camera.
//
// A camera's undistorted ray through a point of the image never changes, so the
// renderer solves the inverse distortion once, at every pixel corner, when it
// is made. A frame is then, per pixel, the board coordinates of its four corner
// rays (a plane intersection each). A pixel whose corners all fall on one
// square (or all beside the board) takes that square's shade; the others are
// sampled, each sample's ray interpolated from the corner rays. A sample that
// lands so close to a square's edge that the interpolation could put it on the
// wrong side is shaded through its exact ray instead, so the picture equals the
// one of the per-sample reference below.
//
// With kExactPixelArea a mixed pixel is not sampled: its footprint on the
// board, the quadrilateral of its corners' board points, is cut along the
// squares' edges and each piece weighs its square's shade by its area. Samples
// draw an edge that runs along their rows a fraction of a pixel off, the more
// so the nearer it is to a pixel axis; the area puts every edge at its place
// in any direction.
//
// A lens blurs the light before the pixels integrate it. Blurring the
// integrated pixels instead (a sampled kernel over pixel areas) leaves an
// edge's profile piecewise linear, and a detector that weighs pixels by their
// squared gradient then finds an edge along a pixel axis a few hundredths of a
// pixel off. RenderExposure keeps the lens's order: it shades each mixed pixel's
// four quarters by their exact areas, blurs that picture of half-pixel cells
// and lets each pixel sum its four.

#include <vector>

#include <opencv2/core.hpp>

#include "synth/SyntheticCamera.h"

class BoardRenderer {
 public:
  explicit BoardRenderer(const SyntheticCamera& camera);

  const SyntheticCamera& Camera() const { return camera_; }

  // 8-bit BGR image of the camera's size.
  cv::Mat Render(const SyntheticPose& pose, const GridDescription& grid, const RenderOptions& options) const;
  // The grey picture before blur and noise (CV_64FC1, 0..255); `supersampling`
  // as in RenderOptions.
  cv::Mat RenderGrey(const SyntheticPose& pose, const GridDescription& grid, int supersampling) const;
  // The picture a lens and sensor make before noise (CV_64FC1, 0..255): the
  // board blurred by `blurSigma` pixels, then each pixel's exact area. What
  // Render draws for kExactPixelArea with blur.
  cv::Mat RenderExposure(const SyntheticPose& pose, const GridDescription& grid, double blurSigma) const;

 private:
  const double* CornerRay(int column, int row) const;
  // Shades the picture (pixels, or half-pixel cells when the setting asks for
  // quarters) block by block; the shade of each block that has one, else -1.
  std::vector<double> ShadeBlocks(const void* setting, cv::Mat& picture) const;
  // Shades pixels [column0, column1) x [row0, row1) one by one.
  void ShadePixels(const void* setting, int column0, int row0, int column1, int row1, cv::Mat& picture) const;

  SyntheticCamera camera_;
  std::vector<double> cornerRays_;  // (height+1) x (width+1) rays (x, y, z), row by row; NaN where none
};

// Renders the board through the camera at the pose: 8-bit BGR image of the camera's size.
cv::Mat RenderBoard(const SyntheticCamera& camera, const SyntheticPose& pose, const GridDescription& grid,
                    const RenderOptions& options = {});

// The reference: every sample's ray solved on its own (slow; what the fast
// renderer is checked against).
cv::Mat RenderBoardPerSample(const SyntheticCamera& camera, const SyntheticPose& pose, const GridDescription& grid,
                             const RenderOptions& options = {});

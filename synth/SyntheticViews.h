#pragma once
// Synthetic calibration views: a printed chequerboard seen by a known camera
// (with distortion) at varied, well-conditioned poses. Gives exact grid points
// in the grid order of the workbench (point i*nx + j is row i, column j, object
// point (j*dX, (ny-1-i)*dY, 0)) and anti-aliased images that look like
// photographs. Used as the accuracy yardstick, by tests and for sample data.
//
// The printed board has (nx+1) x (ny+1) squares plus a white margin of one
// square, so every grid point, the outer ones included, is a corner where
// four squares meet.

#include <array>
#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

#include "records/Records.h"
#include "synth/SyntheticCamera.h"

struct SyntheticOptions {
  int views = 10;
  GridDescription grid{30.0, 30.0, 9, 6, 5, 5};
  SyntheticCamera camera;
  double pointNoise = 0.0;  // Gaussian noise on the grid points, pixels
  uint32_t seed = 1;
  bool renderImages = true;
  RenderOptions render;
  // Stereo: a second camera (same intrinsics unless changed) with
  // camera-1 coordinates = R(stereoRotation) * X0 + stereoTranslation.
  bool stereo = false;
  std::array<double, 3> stereoRotation{};
  std::array<double, 3> stereoTranslation{};
  SyntheticCamera secondCamera;
};

// Everything one camera saw: per view its pose, exact and noisy points, image.
struct SyntheticCameraViews {
  SyntheticCamera camera;
  std::vector<SyntheticPose> poses;
  std::vector<PointList> exactPoints;
  std::vector<PointList> points;  // exactPoints plus noise
  std::vector<cv::Mat> images;    // CV_8UC3, empty when not rendered
};

struct SyntheticRig {
  GridDescription grid;
  std::vector<SyntheticCameraViews> cameras;  // one, or two for a stereo rig
  int hiddenViews = 0;  // views whose board could not be kept wholly inside the image(s)
};

// Makes the whole set; poses are reproducible from the seed.
SyntheticRig MakeSyntheticRig(const SyntheticOptions& options);

// `count` poses that keep the board (margin included) inside the image of
// every listed camera, tilted 15 to 40 degrees in varying directions. The
// poses are those of the first camera; with `relative` (pose of the second
// camera relative to the first) and `second` given, the second camera must see
// the board too. Views that could not be placed so are counted in `hidden`.
std::vector<SyntheticPose> MakeSyntheticPoses(int count, const GridDescription& grid, const SyntheticCamera& camera,
                                              const SyntheticPose* relative, const SyntheticCamera* second,
                                              uint32_t seed, int* hidden = nullptr);

// Pose of the second camera for a grid pose of the first: (Rr*R, Rr*t + tr).
SyntheticPose ComposePose(const SyntheticPose& relative, const SyntheticPose& pose);
SyntheticPose PoseFromVectors(const std::array<double, 3>& r, const std::array<double, 3>& t);

// Exact image positions of all grid points, in grid order.
PointList ProjectGrid(const SyntheticCamera& camera, const SyntheticPose& pose, const GridDescription& grid);

#pragma once
// A camera of the synthetic rig, a board's pose in it, and how its pictures
// are made to look photographed.

#include <array>
#include <cstdint>

#include "records/Records.h"

// A camera of the synthetic rig: intrinsics, a lens model and its coefficients
// (k1 k2 p1 p2 for pinhole-radtan; see LensModel).
struct SyntheticCamera {
  double fx = 800.0, fy = 800.0, cx = 319.5, cy = 239.5;
  LensModel model = LensModel::PinholeRadtan;
  std::array<double, kMaxDistortionCoefficients> coefficients{};
  int width = 640, height = 480;

  CameraParameters ToParameters() const;
};

// The camera of the sample workspace, `lentora synth` and the virtual rig:
// fx = fy = 1.25 x width, centred, mild barrel distortion.
SyntheticCamera TypicalSyntheticCamera(int width = 640, int height = 480);
// A typical camera of the model for that image size: the one above for the
// pinhole family (with a small k3, and for rational a denominator that
// flattens the edges), and for the fisheye an equidistant-like lens that sees
// `fieldOfView` degrees across the image's width.
SyntheticCamera TypicalSyntheticCamera(LensModel model, int width = 640, int height = 480,
                                       double fieldOfView = 180.0);

// Grid pose in a camera: Xc = R*X + t, R row by row, r its rotation vector.
struct SyntheticPose {
  std::array<double, 9> R{1, 0, 0, 0, 1, 0, 0, 0, 1};
  std::array<double, 3> r{};
  std::array<double, 3> t{};
};

// The `supersampling` that shades each pixel by the exact share of its area
// every square covers, as a sensor integrates light, instead of by samples.
inline constexpr int kExactPixelArea = 0;

// How an image is made to look photographed.
struct RenderOptions {
  int supersampling = 4;      // samples per pixel along each axis (anti-aliasing), or kExactPixelArea
  double blurSigma = 0.0;     // Gaussian blur in pixels, 0 for none
  double imageNoise = 0.0;    // Gaussian grey-level noise (0..255 scale), 0 for none
  uint32_t seed = 1;          // noise generator seed
  // Draws the noise with OpenCV's generator, several times faster than the
  // standard one (other values for the same seed); for frames drawn live.
  bool fastNoise = false;
};

#pragma once
// Undistortion tables of the in-house imaging library.
//
// A table says, for every pixel of the undistorted frame, which 2 x 2 block of
// the distorted source frame it is made of and with what bilinear weights, so
// that undistorting a frame is a plain weighted sum (IP::WarpByWeightsIndex).
//
// The table undoes exactly the engine's lens model (calib/CameraModel.h): an
// undistorted pixel (u, v) is the ray (x, y, 1) with x = (u - cx) / fx,
// y = (v - cy) / fy of the output camera matrix, which the camera's model
// projects to the source position that is sampled. By default the output
// keeps the camera matrix K and the frame size; a fisheye may instead be
// given an output camera of a chosen field of view.
//
// R and T of a camera record are the camera's pose (from calibration or a
// stereo rig), not a rectifying rotation: they are ignored, so undistortion
// never turns the picture towards another viewing direction.

#include <array>
#include <cstddef>
#include <span>

#include "records/Records.h"

namespace MVG {

// Camera record of 28 floats: k1 k2 p1 p2, 0, K (9, row-major), R (9), T (3),
// width, height (the pinhole-radtan model; a record of another model's
// camera carries its first five coefficients).
constexpr int kCameraRecordSize = 28;
using CameraRecord = std::array<float, kCameraRecordSize>;
CameraRecord MakeCameraRecord(const CameraParameters& camera);

enum Interpolation { kNearest = 0, kBilinear = 1 };

// Table layout: 5 ints per undistorted pixel, pixels row by row.
//   [0] source row of the top taps (0 .. height - 2)
//   [1] byte column in that row where an 8-byte read window starts
//   [2] right shift in bits (0 or 16) that brings the left tap's first byte
//       to the front of that window read as a little-endian 64-bit value
//   [3] weights of the left taps:  top | bottom << 16
//   [4] weights of the right taps: top | bottom << 16
// The read window never leaves the source row, and the row below it is the
// bottom taps' row. The sampled position is rounded to 1/128 pixel and the
// weights are its bilinear products in fixed point with kWeightBits fraction
// bits, never negative, summing to 1 << kWeightBits where the whole block lies
// inside the source; taps outside the source weigh 0, so pixels seen from
// outside it come out black (partly outside: blended with black).
constexpr int kTableIntsPerPixel = 5;
constexpr int kWeightBits = 14;
// Frames from 3 x 2 up to this size in each direction are supported.
constexpr int kMaxFrameSide = 1 << 15;

// Number of ints a table for a frame of width x height needs; 0 for an
// unsupported size.
size_t UndistortionTableSize(int width, int height);

// Fills `table` for the camera record (or parameters) with `interpolation`
// kBilinear (the usual 1) or kNearest. Fails, leaving the table untouched,
// when the camera's focal lengths are zero or not finite, its size is
// unsupported, or the table does not hold exactly UndistortionTableSize ints.
bool ComputeUndistortionMapCoefficients(const float* camera, int interpolation, std::span<int> table);
bool ComputeUndistortionMapCoefficients(const CameraParameters& camera, int interpolation, std::span<int> table);
// The same with the output camera matrix given as fx, fy, cx, cy.
bool ComputeUndistortionMapCoefficients(const CameraParameters& camera, const std::array<double, 4>& output,
                                        int interpolation, std::span<int> table);
// The output camera of a pinhole picture `degrees` wide (0 < degrees < 180)
// centred on the frame, with the camera's aspect ratio; otherwise the camera's own.
std::array<double, 4> OutputCameraForFieldOfView(const CameraParameters& camera, double degrees);

}  // namespace MVG

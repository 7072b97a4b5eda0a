#pragma once
// The virtual stereo rig: two cameras of known intrinsics and distortion at a
// known relative pose, both looking at a chequerboard that moves along a known,
// smooth path. The board's pose is a function of the capture clock's tick
// alone, so the two sides rendering the same tick show the same physical
// moment. Frames are due on a fixed grid of the clock (multiples of the frame
// period), the same grid on both sides.
//
// One small description sets everything, as comma-separated key=value pairs
// (vectors separated by ':'), from the environment variable
// LENTORA_VIRTUAL_RIG or a command-line option:
//   size=640x480 fps=30 focal=800 focal-right=800 cx=319.5 cy=239.5
//   model=pinhole-radtan (or pinhole-radtan-k3, rational, fisheye: the typical
//   camera of that model, a fisheye seeing 180 degrees across the width)
//   distortion=-0.12:0.04:0.0005:-0.0003 (the model's coefficients) rotation=0.5:4:0 (degrees, rotation
//   vector of R) position=120:0:0 (the right camera's centre in left-camera
//   coordinates, mm) grid=9x6 square=30 distance=900 (mm, middle of the path)
//   noise=1 (the sensor's grey-level noise, standard deviation on 0..255,
//   drawn afresh for every frame of either camera)
// Unset keys keep their defaults.

#include <array>
#include <cstdint>
#include <string>

#include "synth/SyntheticViews.h"

inline constexpr const char* kVirtualLeftName = "Virtual rig (left)";
inline constexpr const char* kVirtualRightName = "Virtual rig (right)";
inline constexpr const char* kVirtualRigVariable = "LENTORA_VIRTUAL_RIG";

enum class RigSide { kLeft = 0, kRight = 1 };

struct VirtualRig {
  SyntheticCamera left;
  SyntheticCamera right;
  // Right-camera coordinates from left-camera ones: X1 = R X0 + T.
  std::array<double, 9> R{1, 0, 0, 0, 1, 0, 0, 0, 1};
  std::array<double, 3> T{};
  GridDescription grid{30.0, 30.0, 9, 6, 5, 5};
  int fpsNumerator = 30;
  int fpsDenominator = 1;
  double distance = 900.0;  // depth of the path's middle, left-camera coordinates
  // The board's path: the largest tilt about each of its axes (degrees), how
  // far its middle wanders across and up the image (mm at distance 900; the
  // defaults take the board to within about 14 pixels of the frames' edges,
  // where the views pin down the principal point and the distortion, and the
  // rig's rotation with them) and how fast it runs (1: the tilts swing in 7.3
  // and 5.9 s).
  double tiltDegrees = 30.0;
  std::array<double, 2> wander{110.0, 100.0};
  double pace = 1.0;
  RenderOptions render;

  const SyntheticCamera& Camera(RigSide side) const { return side == RigSide::kLeft ? left : right; }
  double FramePeriodMs() const { return 1000.0 * fpsDenominator / fpsNumerator; }
};

// The defaults with the description's keys applied; "" on success, else what is wrong.
std::string ParseVirtualRig(const std::string& description, VirtualRig& rig);
// The rig of LENTORA_VIRTUAL_RIG (defaults when unset); "" or what is wrong.
std::string VirtualRigFromEnvironment(VirtualRig& rig);

// The slot a device renders after pushing slot `pushed`, when the first slot
// still to come is `due`. On time, the next one. Behind, slots already gone are
// skipped, as a camera drops frames, and the device keeps to a coarser grid:
// the multiples of the smallest power of two that spans the gap. Two devices
// that fall behind by different amounts then still share the slots they keep,
// as two hardware-triggered cameras do, so their frames still pair.
int64_t NextFrameSlot(int64_t pushed, int64_t due);

// How the frame of `slot` on `side` is rendered: the rig's rendering with
// noise of its own, the same whenever that frame is rendered again.
RenderOptions FrameRenderOptions(const VirtualRig& rig, RigSide side, int64_t slot);

// Pose of the board (grid to camera: Xc = R X + t) seen from `side` at the
// clock tick `tickMs` (milliseconds, fractions allowed).
SyntheticPose BoardPoseAt(const VirtualRig& rig, RigSide side, double tickMs);

// {"side","camera":{"fx","fy","cx","cy","model","coefficients":[N],"distortion":[4] (pinhole-radtan only),"width","height"},"rig":{"R":[9],"T":[3]},"grid":{"nx","ny","dX","dY"}}
std::string VirtualRigTruthJson(const VirtualRig& rig, RigSide side);
// Writes the truth to `<videoPath>.truth.json`; false when the file cannot be written.
bool WriteVirtualRigTruth(const VirtualRig& rig, RigSide side, const std::string& videoPath);
// The grid of a truth file beside `videoPath` (refinement windows left at
// their defaults); false when there is none or it does not parse.
bool ReadVirtualRigTruthGrid(const std::string& videoPath, GridDescription& grid);

#pragma once
// The camera values a calibration refines: the lens model's intrinsic block
// (fx fy cx cy, then the model's coefficients) less the values that the
// camera's settings keep fixed. The run, the stereo rig and the diagnostics
// pack and unpack a camera through this one class.

#include <vector>

#include "calib/CameraModel.h"
#include "records/Records.h"

class IntrinsicBlock {
 public:
  // Every value of the pinhole-radtan block free: fx fy cx cy k1 k2 p1 p2.
  IntrinsicBlock();
  // The settings' model and fixed values; `kept` holds the values that stay
  // fixed (its fx / fy is the ratio kept with fixAspectRatio). Use
  // KeptValues() to make it.
  IntrinsicBlock(const CalibrationSettings& settings, const CameraParameters& kept);

  LensModel Model() const { return model_; }
  int BlockSize() const { return blockSize_; }
  int FreeCount() const { return freeCount_; }
  bool IsFree(int blockIndex) const { return freeIndex_[static_cast<size_t>(blockIndex)] >= 0; }

  // The free values of a camera of this model, in block order.
  void Pack(const CameraParameters& camera, double* free) const;
  // The whole block from the free values.
  void Expand(const double* free, double* block) const;
  // Writes the expanded block into the camera (model tag, the four camera
  // matrix entries and the coefficients); nothing else changes.
  void Unpack(const double* free, CameraParameters& camera) const;
  // d block / d free values: BlockSize() rows of FreeCount() values.
  std::vector<double> Expansion() const;

 private:
  LensModel model_ = LensModel::PinholeRadtan;
  int blockSize_ = 8;
  int freeCount_ = 8;
  double aspect_ = 0.0;  // fx = aspect_ * fy when fixed (> 0)
  std::array<double, camera_model::kMaxBlock> kept_{};
  std::array<int, camera_model::kMaxBlock> freeIndex_{};  // -1 where kept
};

// The values a run keeps fixed, for images of width x height: the principal
// point at the centre ((w - 1) / 2, (h - 1) / 2); fx / fy, the fixed
// coefficients and (refining poses only) every intrinsic value from
// `current` when it is a usable camera of the settings' model for that image
// size, else a ratio of 1 and zero coefficients. Tangential terms kept at 0
// when the settings zero them.
CameraParameters KeptValues(const CalibrationSettings& settings, const CameraParameters& current, int width,
                            int height);
// Whether `current` can serve as the kept values of a run of that model and image size.
bool IsUsableStart(const CameraParameters& current, LensModel model, int width, int height);

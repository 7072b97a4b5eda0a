#include "calib/IntrinsicBlock.h"

#include <algorithm>
#include <cmath>

IntrinsicBlock::IntrinsicBlock() {
  for (int i = 0; i < blockSize_; ++i) freeIndex_[static_cast<size_t>(i)] = i;
}

IntrinsicBlock::IntrinsicBlock(const CalibrationSettings& settings, const CameraParameters& kept)
    : model_(settings.model), blockSize_(camera_model::BlockSize(settings.model)) {
  CameraParameters asModel = kept;
  asModel.model = model_;
  kept_ = camera_model::BlockOf(asModel);
  std::array<bool, camera_model::kMaxBlock> fixed{};
  if (settings.posesOnly) fixed.fill(true);
  if (settings.fixAspectRatio && kept_[0] > 0.0 && kept_[1] > 0.0) {
    aspect_ = kept_[0] / kept_[1];
    fixed[0] = true;
  }
  if (settings.fixPrincipalPoint) fixed[2] = fixed[3] = true;
  if (settings.zeroTangential && HasTangential(model_)) {
    fixed[4 + 2] = fixed[4 + 3] = true;
    kept_[4 + 2] = kept_[4 + 3] = 0.0;
  }
  for (int i = 0; i < DistortionCount(model_); ++i)
    if (settings.fixedCoefficients & (1u << i)) fixed[4 + static_cast<size_t>(i)] = true;
  freeCount_ = 0;
  for (int i = 0; i < blockSize_; ++i)
    freeIndex_[static_cast<size_t>(i)] = fixed[static_cast<size_t>(i)] ? -1 : freeCount_++;
  std::fill(freeIndex_.begin() + blockSize_, freeIndex_.end(), -1);
}

void IntrinsicBlock::Pack(const CameraParameters& camera, double* free) const {
  CameraParameters asModel = camera;
  asModel.model = model_;
  const std::array<double, camera_model::kMaxBlock> block = camera_model::BlockOf(asModel);
  for (int i = 0; i < blockSize_; ++i)
    if (const int at = freeIndex_[static_cast<size_t>(i)]; at >= 0) free[at] = block[static_cast<size_t>(i)];
}

void IntrinsicBlock::Expand(const double* free, double* block) const {
  for (int i = 0; i < blockSize_; ++i) {
    const int at = freeIndex_[static_cast<size_t>(i)];
    block[i] = at >= 0 ? free[at] : kept_[static_cast<size_t>(i)];
  }
  if (aspect_ > 0.0) block[0] = aspect_ * block[1];
}

void IntrinsicBlock::Unpack(const double* free, CameraParameters& camera) const {
  double block[camera_model::kMaxBlock];
  Expand(free, block);
  camera_model::SetBlock(camera, model_, block);
}

std::vector<double> IntrinsicBlock::Expansion() const {
  std::vector<double> D(static_cast<size_t>(blockSize_) * static_cast<size_t>(freeCount_), 0.0);
  for (int i = 0; i < blockSize_; ++i)
    if (const int at = freeIndex_[static_cast<size_t>(i)]; at >= 0)
      D[static_cast<size_t>(i) * static_cast<size_t>(freeCount_) + static_cast<size_t>(at)] = 1.0;
  if (aspect_ > 0.0 && freeIndex_[1] >= 0) D[static_cast<size_t>(freeIndex_[1])] = aspect_;  // fx = aspect * fy
  return D;
}

bool IsUsableStart(const CameraParameters& current, LensModel model, int width, int height) {
  const auto finite = [](const auto& values) {
    return std::all_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); });
  };
  return current.model == model && current.width == width && current.height == height && current.K[0] > 0.0 &&
         current.K[4] > 0.0 && finite(current.K) && finite(current.distortion);
}

CameraParameters KeptValues(const CalibrationSettings& settings, const CameraParameters& current, int width,
                            int height) {
  CameraParameters kept;
  kept.model = settings.model;
  kept.width = width;
  kept.height = height;
  if (IsUsableStart(current, settings.model, width, height)) {
    kept.K = current.K;
    kept.distortion = current.distortion;
  } else {
    kept.K = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  }
  kept.K[2] = (width - 1) * 0.5;
  kept.K[5] = (height - 1) * 0.5;
  if (settings.posesOnly && IsUsableStart(current, settings.model, width, height)) kept.K = current.K;
  if (settings.zeroTangential && HasTangential(settings.model)) kept.distortion[2] = kept.distortion[3] = 0.0;
  return kept;
}

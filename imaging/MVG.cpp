#include "imaging/MVG.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include <opencv2/core.hpp>

#include "calib/CameraModel.h"

namespace MVG {

namespace {

// The distorted camera (its model and intrinsic block) and the pinhole
// camera matrix of the undistorted frame (fx, fy, cx, cy).
struct Lens {
  LensModel model;
  std::array<double, camera_model::kMaxBlock> block;
  double fx, fy, cx, cy;
  int width, height;
};

bool IsSupportedSize(int width, int height) {
  return width >= 3 && height >= 2 && width <= kMaxFrameSide && height <= kMaxFrameSide;
}

bool IsUsable(const Lens& lens) {
  const double values[] = {lens.fx, lens.fy, lens.cx, lens.cy};
  for (double v : values)
    if (!std::isfinite(v)) return false;
  for (double v : lens.block)
    if (!std::isfinite(v)) return false;
  return lens.fx != 0.0 && lens.fy != 0.0 && lens.block[0] != 0.0 && lens.block[1] != 0.0 &&
         IsSupportedSize(lens.width, lens.height);
}

// A float that must hold a whole pixel count; -1 when it does not.
int WholeSize(float value) {
  if (!std::isfinite(value) || value < 0.0f || value > static_cast<float>(kMaxFrameSide)) return -1;
  const double whole = std::floor(static_cast<double>(value));
  return whole == static_cast<double>(value) ? static_cast<int>(whole) : -1;
}


// A source position as the top-left tap of its 2 x 2 block and the position
// inside the block in fixed point: weights built from quantised fractions are
// never negative and always sum to exactly 1 << kWeightBits.
constexpr int kFractionBits = kWeightBits / 2;
constexpr int kFractionOne = 1 << kFractionBits;
static_assert(2 * kFractionBits == kWeightBits);

struct Sample {
  int64_t x, y;
  int fx, fy;  // 0 .. kFractionOne
};

// Positions are clamped to a little beyond the largest frame, which keeps
// them and their fixed-point forms well inside 64-bit integers.
constexpr double kPositionLimit = kMaxFrameSide + 4.0;

int64_t FloorOf(double value) {
  const int64_t truncated = static_cast<int64_t>(value);
  return truncated - (static_cast<double>(truncated) > value ? 1 : 0);
}

Sample SampleAt(double su, double sv, int interpolation) {
  // Far-away positions (or NaN from a wild model) are all outside anyway.
  su = std::isfinite(su) ? std::clamp(su, -4.0, kPositionLimit) : -4.0;
  sv = std::isfinite(sv) ? std::clamp(sv, -4.0, kPositionLimit) : -4.0;
  if (interpolation == kNearest) return {FloorOf(su + 0.5), FloorOf(sv + 0.5), 0, 0};
  // The position rounded to the fraction grid; the shift floors negatives too.
  const int64_t gu = FloorOf(su * kFractionOne + 0.5), gv = FloorOf(sv * kFractionOne + 0.5);
  return {gu >> kFractionBits, gv >> kFractionBits, static_cast<int>(gu & (kFractionOne - 1)),
          static_cast<int>(gv & (kFractionOne - 1))};
}

void WriteBlock(int64_t blockX, int64_t blockY, const int (&weights)[2][2], int* entry) {
  // The 8-byte window ends with the block's 6 bytes, or starts with them at
  // the row's first pixel; either way it stays inside the row.
  const bool atRowStart = blockX == 0;
  entry[0] = static_cast<int>(blockY);
  entry[1] = atRowStart ? 0 : static_cast<int>(3 * blockX - 2);
  entry[2] = atRowStart ? 0 : 16;
  entry[3] = weights[0][0] | (weights[1][0] << 16);
  entry[4] = weights[0][1] | (weights[1][1] << 16);
}

// Places the sample's taps on a 2 x 2 block that lies fully inside the
// source. Taps outside the source drop out; those inside always land on the
// block since the block only moves when a neighbour is outside.
void WriteEntry(const Sample& s, int width, int height, int* entry) {
  const int tapWeights[2][2] = {{(kFractionOne - s.fx) * (kFractionOne - s.fy), s.fx * (kFractionOne - s.fy)},
                                {(kFractionOne - s.fx) * s.fy, s.fx * s.fy}};
  const int64_t blockX = std::clamp<int64_t>(s.x, 0, width - 2);
  const int64_t blockY = std::clamp<int64_t>(s.y, 0, height - 2);
  int weights[2][2] = {{0, 0}, {0, 0}};  // [row][column] in the block
  for (int dy = 0; dy < 2; ++dy)
    for (int dx = 0; dx < 2; ++dx) {
      const int64_t x = s.x + dx, y = s.y + dy;
      if (x >= 0 && x < width && y >= 0 && y < height && tapWeights[dy][dx] != 0)
        weights[y - blockY][x - blockX] += tapWeights[dy][dx];
    }
  WriteBlock(blockX, blockY, weights, entry);
}

// Writes one pixel's entry. Most pixels see a block well inside the source
// and take the short way; the rest (near or beyond the border, or nearest
// sampling) go through the general placement.
void WritePixel(double su, double sv, int interpolation, int width, int height, int* entry) {
  const double gu = su * kFractionOne + 0.5, gv = sv * kFractionOne + 0.5;
  const bool inner = gu >= 0.0 && gv >= 0.0 && gu < (width - 1.0) * kFractionOne && gv < (height - 1.0) * kFractionOne;
  if (!inner || interpolation != kBilinear) {
    WriteEntry(SampleAt(su, sv, interpolation), width, height, entry);
    return;
  }
  const int iu = static_cast<int>(gu), iv = static_cast<int>(gv);  // non-negative: truncation floors
  const int fx = iu & (kFractionOne - 1), fy = iv & (kFractionOne - 1);
  const int weights[2][2] = {{(kFractionOne - fx) * (kFractionOne - fy), fx * (kFractionOne - fy)},
                             {(kFractionOne - fx) * fy, fx * fy}};
  WriteBlock(iu >> kFractionBits, iv >> kFractionBits, weights, entry);
}

// Each undistorted pixel is the ray (x, y, 1) of the output camera matrix,
// which the distorted camera's model projects to the source position.
void FillRow(const Lens& lens, int v, int interpolation, int* entry) {
  const double y = (v - lens.cy) / lens.fy;
  const double inverseFx = 1.0 / lens.fx;
  camera_model::Visit(lens.model, [&](auto model) {
    for (int u = 0; u < lens.width; ++u, entry += kTableIntsPerPixel) {
      const camera_model::Point2<double> source =
          decltype(model)::Project(lens.block.data(), (u - lens.cx) * inverseFx, y, 1.0);
      WritePixel(source.x, source.y, interpolation, lens.width, lens.height, entry);
    }
  });
}

bool FillTable(const Lens& lens, int interpolation, std::span<int> table) {
  if (!IsUsable(lens) || (interpolation != kNearest && interpolation != kBilinear)) return false;
  if (table.size() != UndistortionTableSize(lens.width, lens.height)) return false;
  const size_t entriesPerRow = static_cast<size_t>(lens.width) * kTableIntsPerPixel;
  // Rows are independent; bands of rows go to the library's worker threads.
  cv::parallel_for_(cv::Range(0, lens.height), [&](const cv::Range& rows) {
    for (int v = rows.start; v < rows.end; ++v) FillRow(lens, v, interpolation, table.data() + v * entriesPerRow);
  });
  return true;
}

}  // namespace

CameraRecord MakeCameraRecord(const CameraParameters& camera) {
  CameraRecord record{};
  size_t i = 0;
  for (size_t d = 0; d < 5; ++d) record[i++] = static_cast<float>(camera.distortion[d]);
  for (double k : camera.K) record[i++] = static_cast<float>(k);
  for (double r : camera.R) record[i++] = static_cast<float>(r);
  for (double t : camera.T) record[i++] = static_cast<float>(t);
  record[i++] = static_cast<float>(camera.width);
  record[i++] = static_cast<float>(camera.height);
  return record;
}

size_t UndistortionTableSize(int width, int height) {
  if (!IsSupportedSize(width, height)) return 0;
  return static_cast<size_t>(width) * static_cast<size_t>(height) * kTableIntsPerPixel;
}

bool ComputeUndistortionMapCoefficients(const float* camera, int interpolation, std::span<int> table) {
  if (camera == nullptr) return false;
  // Record offsets: distortion 0..4, K 5..13, R 14..22, T 23..25, size 26..27.
  const float* K = camera + 5;
  const Lens lens{LensModel::PinholeRadtan,
                  {K[0], K[4], K[2], K[5], camera[0], camera[1], camera[2], camera[3]},
                  K[0], K[4], K[2], K[5], WholeSize(camera[26]), WholeSize(camera[27])};
  return FillTable(lens, interpolation, table);
}

bool ComputeUndistortionMapCoefficients(const CameraParameters& camera, int interpolation, std::span<int> table) {
  return ComputeUndistortionMapCoefficients(camera, {camera.fx(), camera.fy(), camera.cx(), camera.cy()},
                                            interpolation, table);
}

bool ComputeUndistortionMapCoefficients(const CameraParameters& camera, const std::array<double, 4>& output,
                                        int interpolation, std::span<int> table) {
  const Lens lens{camera.model, camera_model::BlockOf(camera), output[0], output[1], output[2], output[3],
                  camera.width, camera.height};
  return FillTable(lens, interpolation, table);
}

std::array<double, 4> OutputCameraForFieldOfView(const CameraParameters& camera, double degrees) {
  if (!(degrees > 0.0 && degrees < 180.0)) return {camera.fx(), camera.fy(), camera.cx(), camera.cy()};
  const double f = 0.5 * camera.width / std::tan(0.5 * degrees * M_PI / 180.0);
  return {f, f * camera.fy() / camera.fx(), (camera.width - 1) * 0.5, (camera.height - 1) * 0.5};
}

}  // namespace MVG

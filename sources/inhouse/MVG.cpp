#include "sources/inhouse/MVG.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace MVG {

namespace {

struct Lens {
  double fx, fy, cx, cy;
  double k1, k2, p1, p2;
  int width, height;
};

bool IsSupportedSize(int width, int height) {
  return width >= 3 && height >= 2 && width <= kMaxFrameSide && height <= kMaxFrameSide;
}

bool IsUsable(const Lens& lens) {
  const double values[] = {lens.fx, lens.fy, lens.cx, lens.cy, lens.k1, lens.k2, lens.p1, lens.p2};
  for (double v : values)
    if (!std::isfinite(v)) return false;
  return lens.fx != 0.0 && lens.fy != 0.0 && IsSupportedSize(lens.width, lens.height);
}

// A float that must hold a whole pixel count; -1 when it does not.
int WholeSize(float value) {
  if (!std::isfinite(value) || value < 0.0f || value > static_cast<float>(kMaxFrameSide)) return -1;
  const double whole = std::floor(static_cast<double>(value));
  return whole == static_cast<double>(value) ? static_cast<int>(whole) : -1;
}

// Where the distorted camera sees the ideal pixel (u, v).
void DistortedSourcePosition(const Lens& lens, double u, double v, double& su, double& sv) {
  const double x = (u - lens.cx) / lens.fx;
  const double y = (v - lens.cy) / lens.fy;
  const double r2 = x * x + y * y;
  const double r4 = r2 * r2;
  const double a1 = 2.0 * x * y;
  const double a2 = r2 + 2.0 * x * x;
  const double a3 = r2 + 2.0 * y * y;
  const double cdist = 1.0 + lens.k1 * r2 + lens.k2 * r4;
  const double xd = x * cdist + lens.p1 * a1 + lens.p2 * a2;
  const double yd = y * cdist + lens.p1 * a3 + lens.p2 * a1;
  su = lens.fx * xd + lens.cx;
  sv = lens.fy * yd + lens.cy;
}

// One source tap: integer position and fixed-point weight.
struct Tap {
  int64_t x, y;
  int weight;
};

// The four taps of a position: bilinear, or one full-weight tap for nearest.
std::array<Tap, 4> TapsAt(double su, double sv, int interpolation) {
  constexpr int one = 1 << kWeightBits;
  // Far-away positions (or NaN from a wild model) are all outside anyway.
  su = std::isfinite(su) ? std::clamp(su, -4.0, static_cast<double>(kMaxFrameSide) + 4.0) : -4.0;
  sv = std::isfinite(sv) ? std::clamp(sv, -4.0, static_cast<double>(kMaxFrameSide) + 4.0) : -4.0;
  if (interpolation == kNearest) {
    const int64_t x = static_cast<int64_t>(std::floor(su + 0.5));
    const int64_t y = static_cast<int64_t>(std::floor(sv + 0.5));
    return {Tap{x, y, one}, Tap{x + 1, y, 0}, Tap{x, y + 1, 0}, Tap{x + 1, y + 1, 0}};
  }
  const double fx0 = std::floor(su), fy0 = std::floor(sv);
  const double ax = su - fx0, ay = sv - fy0;
  const int64_t x = static_cast<int64_t>(fx0), y = static_cast<int64_t>(fy0);
  const int w00 = static_cast<int>(std::lround((1.0 - ax) * (1.0 - ay) * one));
  const int w01 = static_cast<int>(std::lround(ax * (1.0 - ay) * one));
  const int w10 = static_cast<int>(std::lround((1.0 - ax) * ay * one));
  const int w11 = one - w00 - w01 - w10;  // rounding must not change the total
  return {Tap{x, y, w00}, Tap{x + 1, y, w01}, Tap{x, y + 1, w10}, Tap{x + 1, y + 1, w11}};
}

// Places the taps on a 2 x 2 block that lies fully inside the source. Taps
// outside the source drop out; those inside always land on the block since
// the block only moves when a neighbour is outside.
void WriteEntry(const std::array<Tap, 4>& taps, int width, int height, int* entry) {
  const int64_t blockX = std::clamp<int64_t>(taps[0].x, 0, width - 2);
  const int64_t blockY = std::clamp<int64_t>(taps[0].y, 0, height - 2);
  int weights[2][2] = {{0, 0}, {0, 0}};  // [row][column] in the block
  for (const Tap& tap : taps) {
    const bool inside = tap.x >= 0 && tap.x < width && tap.y >= 0 && tap.y < height;
    if (!inside || tap.weight == 0) continue;
    weights[tap.y - blockY][tap.x - blockX] += tap.weight;
  }
  // The 8-byte window ends with the block's 6 bytes, or starts with them at
  // the row's first pixel; either way it stays inside the row.
  const bool atRowStart = blockX == 0;
  entry[0] = static_cast<int>(blockY);
  entry[1] = atRowStart ? 0 : static_cast<int>(3 * blockX - 2);
  entry[2] = atRowStart ? 0 : 16;
  entry[3] = weights[0][0] | (weights[1][0] << 16);
  entry[4] = weights[0][1] | (weights[1][1] << 16);
}

bool FillTable(const Lens& lens, int interpolation, std::span<int> table) {
  if (!IsUsable(lens) || (interpolation != kNearest && interpolation != kBilinear)) return false;
  if (table.size() != UndistortionTableSize(lens.width, lens.height)) return false;
  int* entry = table.data();
  for (int v = 0; v < lens.height; ++v) {
    for (int u = 0; u < lens.width; ++u, entry += kTableIntsPerPixel) {
      double su = 0.0, sv = 0.0;
      DistortedSourcePosition(lens, u, v, su, sv);
      WriteEntry(TapsAt(su, sv, interpolation), lens.width, lens.height, entry);
    }
  }
  return true;
}

}  // namespace

CameraRecord MakeCameraRecord(const CameraParameters& camera) {
  CameraRecord record{};
  size_t i = 0;
  for (double d : camera.distortion) record[i++] = static_cast<float>(d);
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
  const Lens lens{K[0], K[4], K[2], K[5], camera[0], camera[1], camera[2], camera[3],
                  WholeSize(camera[26]), WholeSize(camera[27])};
  return FillTable(lens, interpolation, table);
}

bool ComputeUndistortionMapCoefficients(const CameraParameters& camera, int interpolation, std::span<int> table) {
  const Lens lens{camera.fx(), camera.fy(), camera.cx(), camera.cy(),
                  camera.distortion[0], camera.distortion[1], camera.distortion[2], camera.distortion[3],
                  camera.width, camera.height};
  return FillTable(lens, interpolation, table);
}

}  // namespace MVG

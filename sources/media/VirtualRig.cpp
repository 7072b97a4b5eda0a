#include "sources/media/VirtualRig.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <utility>
#include <vector>

#include "synth/SmallMatrix.h"

namespace {

using small_matrix::kDegree;
using small_matrix::kPi;
using small_matrix::Matrix3;
using small_matrix::Multiply;
using small_matrix::Vector3;

bool ParseNumber(const std::string& text, double& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  value = std::strtod(text.c_str(), &end);
  return end == text.c_str() + text.size() && std::isfinite(value);
}

bool ParseNumbers(const std::string& text, char separator, std::vector<double>& values) {
  values.clear();
  std::stringstream stream(text);
  std::string item;
  while (std::getline(stream, item, separator)) {
    double value = 0.0;
    if (!ParseNumber(item, value)) return false;
    values.push_back(value);
  }
  return !values.empty();
}

bool ParsePair(const std::string& text, int& a, int& b) {
  std::vector<double> v;
  if (!ParseNumbers(text, 'x', v) || v.size() != 2) return false;
  if (v[0] != std::floor(v[0]) || v[1] != std::floor(v[1])) return false;
  a = static_cast<int>(v[0]);
  b = static_cast<int>(v[1]);
  return true;
}

void SetFocal(SyntheticCamera& camera, double focal) { camera.fx = camera.fy = focal; }

// One key=value; "" or what is wrong.
std::string ApplyKey(const std::string& key, const std::string& value, VirtualRig& rig, Vector3& rotationDegrees,
                     Vector3& position, bool& centreSet) {
  std::vector<double> v;
  const bool numbers = ParseNumbers(value, ':', v);
  auto single = [&](double low, double high) { return numbers && v.size() == 1 && v[0] >= low && v[0] <= high; };
  if (key == "size") {
    int w = 0, h = 0;
    if (!ParsePair(value, w, h) || w < 32 || h < 32 || w > 4096 || h > 4096) return "size must be WxH from 32 to 4096";
    rig.left.width = rig.right.width = w;
    rig.left.height = rig.right.height = h;
  } else if (key == "fps") {
    if (!single(1, 120) || v[0] != std::floor(v[0])) return "fps must be a whole number from 1 to 120";
    rig.fpsNumerator = static_cast<int>(v[0]);
    rig.fpsDenominator = 1;
  } else if (key == "focal" || key == "focal-right") {
    if (!single(1, 1e5)) return key + " must be a focal length in pixels from 1 to 100000";
    if (key == "focal") SetFocal(rig.left, v[0]);
    SetFocal(rig.right, v[0]);
  } else if (key == "cx" || key == "cy") {
    if (!single(-1e5, 1e5)) return key + " must be a pixel position";
    double& left = key == "cx" ? rig.left.cx : rig.left.cy;
    double& right = key == "cx" ? rig.right.cx : rig.right.cy;
    left = right = v[0];
    centreSet = true;
  } else if (key == "distortion") {
    const LensModel model = rig.left.model;
    if (!numbers || v.size() != static_cast<size_t>(DistortionCount(model)))
      return "distortion must be the " + std::to_string(DistortionCount(model)) + " coefficients of the " +
             LensModelName(model) + " model, separated by ':'";
    for (SyntheticCamera* c : {&rig.left, &rig.right}) {
      c->coefficients.fill(0.0);
      std::copy(v.begin(), v.end(), c->coefficients.begin());
    }
  } else if (key == "rotation" || key == "position") {
    if (!numbers || v.size() != 3) return key + " must be three numbers a:b:c";
    Vector3& target = key == "rotation" ? rotationDegrees : position;
    target = {v[0], v[1], v[2]};
  } else if (key == "grid") {
    int nx = 0, ny = 0;
    if (!ParsePair(value, nx, ny) || nx < 2 || ny < 2 || nx > 40 || ny > 40) return "grid must be NXxNY from 2 to 40";
    rig.grid.nx = nx;
    rig.grid.ny = ny;
  } else if (key == "square") {
    if (!single(1, 1000)) return "square must be a size from 1 to 1000";
    rig.grid.dX = rig.grid.dY = v[0];
  } else if (key == "distance") {
    if (!single(10, 1e6)) return "distance must be from 10 to 1000000";
    rig.distance = v[0];
  } else if (key == "noise") {
    if (!single(0, 50)) return "noise must be a grey-level deviation from 0 to 50";
    rig.render.imageNoise = v[0];
  } else {
    return "unknown key '" + key + "'";
  }
  return "";
}

}  // namespace

std::string ParseVirtualRig(const std::string& description, VirtualRig& rig) {
  VirtualRig made;
  made.left = TypicalSyntheticCamera();
  made.right = made.left;
  made.render.supersampling = kExactPixelArea;  // a sensor's pixels integrate light over their area
  made.render.blurSigma = 0.6;
  made.render.imageNoise = 1.0;  // a camera's sensor is never quiet
  Vector3 rotationDegrees{0.5, 4.0, 0.0};  // turned a little towards the left camera
  Vector3 position{120.0, 0.0, 0.0};
  bool centreSet = false;
  std::vector<std::pair<std::string, std::string>> items;
  std::stringstream stream(description);
  std::string item;
  while (std::getline(stream, item, ',')) {
    if (item.empty()) continue;
    const size_t equals = item.find('=');
    if (equals == std::string::npos) return "'" + item + "' is not key=value";
    items.emplace_back(item.substr(0, equals), item.substr(equals + 1));
  }
  // The lens model first: the other keys (distortion, focal) are read in its terms.
  for (const auto& [key, value] : items) {
    if (key != "model") continue;
    const std::optional<LensModel> model = LensModelFromName(value);
    if (!model) return "model must be pinhole-radtan, pinhole-radtan-k3, rational or fisheye";
    made.left = made.right = TypicalSyntheticCamera(*model);
  }
  for (const auto& [key, value] : items) {
    if (key == "model") continue;
    const std::string problem = ApplyKey(key, value, made, rotationDegrees, position, centreSet);
    if (!problem.empty()) return problem;
  }
  if (!centreSet)
    for (SyntheticCamera* c : {&made.left, &made.right}) {
      c->cx = (c->width - 1) / 2.0;
      c->cy = (c->height - 1) / 2.0;
    }
  const SyntheticPose relative =
      PoseFromVectors({rotationDegrees[0] * kDegree, rotationDegrees[1] * kDegree, rotationDegrees[2] * kDegree}, {});
  made.R = relative.R;
  const Vector3 turned = Multiply(made.R, position);
  made.T = {-turned[0], -turned[1], -turned[2]};
  rig = made;
  return "";
}

std::string VirtualRigFromEnvironment(VirtualRig& rig) {
  const char* text = std::getenv(kVirtualRigVariable);
  const std::string problem = ParseVirtualRig(text ? text : "", rig);
  return problem.empty() ? "" : std::string(kVirtualRigVariable) + ": " + problem;
}

int64_t NextFrameSlot(int64_t pushed, int64_t due) {
  if (due <= pushed + 1) return pushed + 1;
  const auto stride = static_cast<int64_t>(std::bit_ceil(static_cast<uint64_t>(due - pushed)));
  return (due + stride - 1) / stride * stride;
}

RenderOptions FrameRenderOptions(const VirtualRig& rig, RigSide side, int64_t slot) {
  RenderOptions options = rig.render;
  options.fastNoise = true;
  options.seed = static_cast<uint32_t>(2 * static_cast<uint64_t>(slot) + static_cast<uint64_t>(side) + 1);
  return options;
}

SyntheticPose BoardPoseAt(const VirtualRig& rig, RigSide side, double tickMs) {
  const double s = rig.pace * tickMs / 1000.0;
  auto wave = [s](double periodSeconds, double phase) { return std::sin(2.0 * kPi * s / periodSeconds + phase); };
  // Tilts about two axes and a slow roll, on incommensurate periods, so that
  // any few seconds hold well-spread views; the board's middle wanders between
  // the two cameras towards the frames' edges, nearer and farther.
  const double tiltX = rig.tiltDegrees * kDegree * wave(7.3, 0.0);
  const double tiltY = rig.tiltDegrees * kDegree * wave(5.9, 0.9);
  const double roll = 12.0 * kDegree * wave(11.0, 0.3);
  const Vector3 rightCentre = Multiply(small_matrix::Transpose(rig.R), Vector3{-rig.T[0], -rig.T[1], -rig.T[2]});
  const double scale = rig.distance / 900.0;
  const Vector3 middle{rightCentre[0] / 2.0 + rig.wander[0] * scale * wave(6.7, 1.7),
                       rightCentre[1] / 2.0 + rig.wander[1] * scale * wave(8.3, 2.1),
                       rig.distance * (1.0 + 0.12 * wave(9.1, 0.5))};
  // Object Y points up the image and the board faces the camera.
  const Matrix3 facing{1, 0, 0, 0, -1, 0, 0, 0, -1};
  const Matrix3 turn = Multiply(PoseFromVectors({tiltX, 0, 0}, {}).R,
                                Multiply(PoseFromVectors({0, tiltY, 0}, {}).R, PoseFromVectors({0, 0, roll}, {}).R));
  SyntheticPose left;
  left.R = Multiply(turn, facing);
  const GridDescription& g = rig.grid;
  const Vector3 centre = Multiply(left.R, Vector3{(g.nx - 1) * g.dX / 2.0, (g.ny - 1) * g.dY / 2.0, 0.0});
  left.t = {middle[0] - centre[0], middle[1] - centre[1], middle[2] - centre[2]};
  const SyntheticPose withVector = ComposePose(SyntheticPose{}, left);  // fills in r
  if (side == RigSide::kLeft) return withVector;
  SyntheticPose relative;
  relative.R = rig.R;
  relative.t = rig.T;
  return ComposePose(relative, withVector);
}

namespace {

void AppendNumbers(std::ostringstream& out, const double* values, int count) {
  out << '[';
  for (int i = 0; i < count; ++i) {
    char text[40];
    std::snprintf(text, sizeof text, "%.12g", values[i]);
    out << (i ? "," : "") << text;
  }
  out << ']';
}

}  // namespace

std::string VirtualRigTruthJson(const VirtualRig& rig, RigSide side) {
  const SyntheticCamera& c = rig.Camera(side);
  const int count = DistortionCount(c.model);
  std::ostringstream out;
  out.precision(12);
  out << "{\"side\":\"" << (side == RigSide::kLeft ? "left" : "right") << "\",\"camera\":{\"fx\":" << c.fx
      << ",\"fy\":" << c.fy << ",\"cx\":" << c.cx << ",\"cy\":" << c.cy << ",\"model\":\"" << LensModelName(c.model)
      << "\",\"coefficients\":";
  AppendNumbers(out, c.coefficients.data(), count);
  if (c.model == LensModel::PinholeRadtan) {
    out << ",\"distortion\":";
    AppendNumbers(out, c.coefficients.data(), count);
  }
  out << ",\"width\":" << c.width << ",\"height\":" << c.height << "},\"rig\":{\"R\":";
  AppendNumbers(out, rig.R.data(), 9);
  out << ",\"T\":";
  AppendNumbers(out, rig.T.data(), 3);
  out << "},\"grid\":{\"nx\":" << rig.grid.nx << ",\"ny\":" << rig.grid.ny << ",\"dX\":" << rig.grid.dX
      << ",\"dY\":" << rig.grid.dY << "}}\n";
  return out.str();
}

bool WriteVirtualRigTruth(const VirtualRig& rig, RigSide side, const std::string& videoPath) {
  std::ofstream file(videoPath + ".truth.json", std::ios::binary | std::ios::trunc);
  file << VirtualRigTruthJson(rig, side);
  file.close();
  return static_cast<bool>(file);
}

namespace {

bool NumberAfter(const std::string& text, size_t from, const std::string& key, double& value) {
  const size_t at = text.find("\"" + key + "\":", from);
  if (at == std::string::npos) return false;
  const char* start = text.c_str() + at + key.size() + 3;
  char* end = nullptr;
  value = std::strtod(start, &end);
  return end != start && std::isfinite(value);
}

}  // namespace

bool ReadVirtualRigTruthGrid(const std::string& videoPath, GridDescription& grid) {
  std::ifstream file(videoPath + ".truth.json", std::ios::binary);
  if (!file) return false;
  const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const size_t at = text.find("\"grid\":");
  double nx = 0, ny = 0, dX = 0, dY = 0;
  if (at == std::string::npos || !NumberAfter(text, at, "nx", nx) || !NumberAfter(text, at, "ny", ny) ||
      !NumberAfter(text, at, "dX", dX) || !NumberAfter(text, at, "dY", dY))
    return false;
  if (nx < 2 || ny < 2 || nx > 1000 || ny > 1000 || nx != std::floor(nx) || ny != std::floor(ny) || !(dX > 0) || !(dY > 0))
    return false;
  GridDescription read;
  read.nx = static_cast<int>(nx);
  read.ny = static_cast<int>(ny);
  read.dX = dX;
  read.dY = dY;
  grid = read;
  return true;
}

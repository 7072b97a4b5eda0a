#include "app/WorkspaceState.h"

#include <cstring>
#include <type_traits>

#include "core/CalibrationData.h"

namespace {

// FNV-1a, 64 bits.
class Fingerprint {
 public:
  template <class T>
  void Add(const T& value) {
    static_assert(std::is_trivially_copyable_v<T>);
    unsigned char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    for (unsigned char byte : bytes) hash_ = (hash_ ^ byte) * 1099511628211ull;
  }
  uint64_t Value() const { return hash_; }

 private:
  uint64_t hash_ = 14695981039346656037ull;
};

// Field by field: the records have padding, whose bytes are not theirs.
void AddParameters(Fingerprint& print, const CameraParameters& p) {
  print.Add(p.distortion), print.Add(p.K), print.Add(p.R), print.Add(p.T);
  print.Add(p.width), print.Add(p.height), print.Add(p.model);
}

void AddSettings(Fingerprint& print, const CalibrationSettings& s) {
  print.Add(s.model), print.Add(s.fixAspectRatio), print.Add(s.fixPrincipalPoint), print.Add(s.zeroTangential);
  print.Add(s.fixedCoefficients), print.Add(s.posesOnly);
}

void AddCamera(Fingerprint& print, const CCalibrationData& data, int camera) {
  const GridDescription grid = data.GetGrid(camera);
  print.Add(grid.dX), print.Add(grid.dY), print.Add(grid.nx), print.Add(grid.ny), print.Add(grid.wx), print.Add(grid.wy);
  print.Add(grid.unit);
  AddParameters(print, data.GetCameraParameters(camera));
  AddSettings(print, data.GetCalibrationSettings(camera));
  const int views = data.GetViewCount(camera);
  print.Add(views);
  for (int view = 0; view < views; ++view) {
    const cv::Size size = data.GetViewSize(camera, view);
    print.Add(size.height), print.Add(size.width);
    print.Add(data.IsViewEnabled(camera, view)), print.Add(data.ViewHasPoints(camera, view));
    const int points = data.GetPointCount(camera, view);
    print.Add(points);
    for (int p = 0; p < points; ++p) print.Add(data.GetPoint(camera, view, p));
  }
}

}  // namespace

uint64_t WorkspaceFingerprint(const CCalibrationData& data) {
  Fingerprint print;
  print.Add(data.GetCameraCount());
  for (int camera = 0; camera < data.GetCameraCount(); ++camera) AddCamera(print, data, camera);
  return print.Value();
}

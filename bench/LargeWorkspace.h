#pragma once
// Large workspaces for the benchmarks, and the memory they cost: views
// rendered a few at a time and written as JPEG files (as photographs arrive),
// saved as a workspace of one camera with every view's points; and the
// resident memory an operation adds to the process at its peak.

#include <malloc.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "core/CalibrationData.h"
#include "core/Workspace.h"
#include "synth/SyntheticViews.h"

namespace bench {

// A field of /proc/self/status in kilobytes (0 when it cannot be read).
inline double StatusKilobytes(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.compare(0, field.size() + 1, field + ":") == 0) return std::stod(line.substr(field.size() + 1));
  return 0.0;
}

inline double ResidentMegabytes() { return StatusKilobytes("VmRSS") / 1024.0; }
inline double PeakResidentMegabytes() { return StatusKilobytes("VmHWM") / 1024.0; }

// The kernel's high-water mark of resident memory starts again from now, with
// the heap an earlier operation freed handed back first, so that it is not
// counted as room for the next one.
inline void RestartPeak() {
  malloc_trim(0);
  std::ofstream("/proc/self/clear_refs") << "5";
}

// The resident memory an operation adds to the process at its peak.
class PeakMeter {
 public:
  PeakMeter() {
    RestartPeak();
    base_ = ResidentMegabytes();
  }
  double AddedMegabytes() const { return PeakResidentMegabytes() - base_; }

 private:
  double base_ = 0.0;
};

struct RenderedViews {
  GridDescription grid;
  std::vector<std::string> files;
  std::vector<PointList> points;  // exact plus 0.2 px noise
};

// `count` views of a 9x6 board seen by the typical camera at width x height,
// rendered 20 at a time into `folder`.
inline RenderedViews RenderViews(const std::filesystem::path& folder, int count, int width, int height) {
  std::filesystem::create_directories(folder);
  SyntheticOptions options;
  options.camera = TypicalSyntheticCamera(width, height);
  options.pointNoise = 0.2;
  options.render.supersampling = 2;
  options.render.blurSigma = 0.6;
  options.render.imageNoise = 2.0;
  options.views = 20;
  RenderedViews views;
  for (uint32_t seed = 1; static_cast<int>(views.files.size()) < count; ++seed) {
    options.seed = options.render.seed = seed;
    const SyntheticRig rig = MakeSyntheticRig(options);
    views.grid = rig.grid;
    const SyntheticCameraViews& camera = rig.cameras[0];
    for (size_t v = 0; v < camera.images.size() && static_cast<int>(views.files.size()) < count; ++v) {
      const std::string path = (folder / ("view" + std::to_string(views.files.size()) + ".jpg")).string();
      if (!cv::imwrite(path, camera.images[v], {cv::IMWRITE_JPEG_QUALITY, 95}))
        throw std::runtime_error("cannot write " + path);
      views.files.push_back(path);
      views.points.push_back(camera.points[v]);
    }
  }
  return views;
}

// Saves the first `count` rendered views as a workspace in `folder`; returns its index file.
inline std::string SaveWorkspaceOfViews(const RenderedViews& views, int count, const std::filesystem::path& folder) {
  CCalibrationData data;
  data.AddCamera();
  data.SetGrid(0, views.grid);
  for (int v = 0; v < count; ++v) {
    if (data.AddViewFromFile(0, views.files.at(v), 1, 0, "") != 0)
      throw std::runtime_error("cannot add " + views.files[v]);
    *data.GetGridPoints(0, v) = views.points[v];
    data.SetViewHasPoints(0, v, 1);
  }
  std::filesystem::create_directories(folder);
  const std::string index = (folder / "workspace.txt").string();
  const WorkspaceResult saved = SaveWorkspaceTo(data, index);
  if (!saved.ok) throw std::runtime_error("cannot save the workspace: " + saved.error);
  return index;
}

}  // namespace bench

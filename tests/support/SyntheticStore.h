#pragma once
// A store filled from a synthetic rig as if its views had been captured and
// marked: each camera gets the rig's grid and, per view, the picture and the
// (noisy) grid points, flagged as marked.

#include <opencv2/core.hpp>

#include "core/CalibrationData.h"
#include "synth/SyntheticViews.h"

// Appends views [0, count) of `views` (all of them when count < 0) to
// `camera`: the rendered picture, or a flat picture of the camera's size in
// `grey` when the rig was not rendered. False when the store refuses a view.
inline bool AddSyntheticViews(CCalibrationData& store, int camera, const SyntheticCameraViews& views,
                              const GridDescription& grid, int count = -1, int grey = 40) {
  store.SetGrid(camera, grid);
  const size_t total = count < 0 ? views.points.size() : static_cast<size_t>(count);
  for (size_t v = 0; v < total; ++v) {
    cv::Mat image = views.images.empty()
                        ? cv::Mat(views.camera.height, views.camera.width, CV_8UC3, cv::Scalar::all(grey))
                        : views.images[v].clone();
    if (!store.AddViewFromFrame(camera, std::move(image))) return false;
    const int view = store.GetViewCount(camera) - 1;
    *store.GetGridPoints(camera, view) = views.points[v];
    store.SetViewHasPoints(camera, view, 1);
  }
  return true;
}

// One new camera per camera of the rig, with all its views.
inline bool AddSyntheticRig(CCalibrationData& store, const SyntheticRig& rig, int grey = 40) {
  for (const SyntheticCameraViews& views : rig.cameras) {
    if (!store.AddCamera()) return false;
    if (!AddSyntheticViews(store, store.GetCameraCount() - 1, views, rig.grid, -1, grey)) return false;
  }
  return true;
}

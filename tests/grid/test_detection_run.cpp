#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "core/CalibrationData.h"
#include "grid/DetectionRun.h"
#include "grid/GridDetection.h"
#include "synth/SyntheticViews.h"

namespace {

const GridDescription kGrid{30, 30, 9, 6, 5, 5};

// A camera of rendered views; every third one shows no board.
void FillRenderedStore(CCalibrationData& store, int views) {
  SyntheticOptions options;
  options.views = views;
  options.seed = 11;
  options.grid = kGrid;
  options.camera = TypicalSyntheticCamera(640, 480);
  options.render.blurSigma = 0.8;
  options.render.imageNoise = 2.0;
  const SyntheticRig rig = MakeSyntheticRig(options);
  store.AddCamera();
  store.SetGrid(0, kGrid);
  for (int v = 0; v < views; ++v) {
    const cv::Mat& image = rig.cameras[0].images[v];
    EXPECT_TRUE(store.AddViewFromFrame(0, v % 3 == 2 ? cv::Mat(image.size(), CV_8UC3, cv::Scalar::all(90)) : image));
  }
}

std::vector<ViewToDetect> AllViews(const CCalibrationData& store) {
  std::vector<ViewToDetect> views;
  for (int v = 0; v < store.GetViewCount(0); ++v) views.push_back({0, v});
  return views;
}

}  // namespace

// The workers may finish in any order; what is stored and reported is what
// one view after the other gives, in the order asked for.
TEST(DetectViews, ManyWorkersStoreWhatOneViewAfterTheOtherStoresInTheOrderAsked) {
  constexpr int kViews = 9;
  CCalibrationData serial;
  FillRenderedStore(serial, kViews);
  for (int v = 0; v < kViews; ++v) DetectGrid(serial, 0, v);

  CCalibrationData parallel;
  FillRenderedStore(parallel, kViews);
  std::vector<int> order;
  const std::vector<DetectedView> results =
      DetectViews(parallel, AllViews(parallel), 4, [&](const DetectedView& view) { order.push_back(view.view); });
  ASSERT_EQ(results.size(), static_cast<size_t>(kViews));
  for (int v = 0; v < kViews; ++v) {
    EXPECT_EQ(order[v], v);
    EXPECT_EQ(results[v].view, v);
    EXPECT_EQ(results[v].detection.status == GridStatus::Ok, v % 3 != 2) << "view " << v;
    EXPECT_EQ(parallel.ViewHasPoints(0, v), serial.ViewHasPoints(0, v)) << "view " << v;
    ASSERT_EQ(parallel.GetPointCount(0, v), serial.GetPointCount(0, v)) << "view " << v;
    for (int k = 0; k < serial.GetPointCount(0, v); ++k) {
      EXPECT_EQ(parallel.GetPoint(0, v, k).x, serial.GetPoint(0, v, k).x);
      EXPECT_EQ(parallel.GetPoint(0, v, k).y, serial.GetPoint(0, v, k).y);
    }
  }
}

TEST(DetectViews, RefusesViewsItCannotSearchAndStopsWhenCancelled) {
  CCalibrationData store;
  FillRenderedStore(store, 6);
  const std::vector<DetectedView> refused = DetectViews(store, {{0, 7}, {3, 0}, {0, 0}}, 2);
  ASSERT_EQ(refused.size(), 3u);
  EXPECT_EQ(refused[0].detection.status, GridStatus::NoView);
  EXPECT_EQ(refused[1].detection.status, GridStatus::NoView);
  EXPECT_EQ(refused[2].detection.status, GridStatus::Ok);

  std::atomic<bool> cancel{false};
  int stored = 0;
  const std::vector<DetectedView> partial = DetectViews(
      store, AllViews(store), 2,
      [&](const DetectedView&) {
        if (++stored == 2) cancel = true;
      },
      &cancel);
  EXPECT_EQ(partial.size(), 2u) << "nothing is stored after Cancel";
  EXPECT_TRUE(DetectViews(store, {}, 2).empty());
  EXPECT_GE(DetectionThreads(0), 1);
  EXPECT_EQ(DetectionThreads(3), 3);
}

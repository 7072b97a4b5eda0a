// The fast board renderer must give the pictures of the per-sample reference:
// same grey levels on views with strong distortion, steep tilts, a board cut by
// the image edge and a board plane whose horizon crosses the image.

#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include "synth/BoardRenderer.h"
#include "synth/SyntheticViews.h"

namespace {

SyntheticCamera StronglyDistorted() {
  SyntheticCamera camera;
  camera.width = 320;
  camera.height = 240;
  camera.fx = 300.0;
  camera.fy = 290.0;
  camera.cx = 158.0;
  camera.cy = 122.0;
  camera.coefficients[0] = -0.3;
  camera.coefficients[1] = 0.12;
  camera.coefficients[2] = 0.002;
  camera.coefficients[3] = -0.0015;
  return camera;
}

const GridDescription kGrid{10.0, 10.0, 7, 5, 4, 4};

struct Difference {
  double largest = 0.0;
  int pixelsOff = 0;  // pixels more than one grey level apart
};

Difference Compare(const cv::Mat& a, const cv::Mat& b) {
  Difference d;
  cv::Mat diff;
  cv::absdiff(a, b, diff);
  for (int row = 0; row < diff.rows; ++row)
    for (int column = 0; column < diff.cols; ++column) {
      const double value = diff.at<cv::Vec3b>(row, column)[0];
      d.largest = std::max(d.largest, value);
      if (value > 1.0) ++d.pixelsOff;
    }
  return d;
}

}  // namespace

TEST(BoardRenderer, GivesThePicturesOfThePerSampleReference) {
  const SyntheticCamera camera = StronglyDistorted();
  const BoardRenderer renderer(camera);
  const std::vector<SyntheticPose> poses = MakeSyntheticPoses(4, kGrid, camera, nullptr, nullptr, 7);
  // Plus the board close up and steeply tilted, running out of the image with its horizon inside.
  std::vector<SyntheticPose> all = poses;
  all.push_back(PoseFromVectors({1.35, 0.1, 0.05}, {-20.0, -10.0, 40.0}));
  RenderOptions options;
  options.blurSigma = 0.6;
  options.imageNoise = 2.0;
  for (size_t v = 0; v < all.size(); ++v) {
    options.seed = static_cast<uint32_t>(v + 1);
    const cv::Mat fast = renderer.Render(all[v], kGrid, options);
    const cv::Mat reference = RenderBoardPerSample(camera, all[v], kGrid, options);
    ASSERT_EQ(fast.size(), reference.size());
    ASSERT_EQ(fast.type(), CV_8UC3);
    const Difference d = Compare(fast, reference);
    EXPECT_LE(d.largest, 1.0) << "view " << v;
    EXPECT_EQ(d.pixelsOff, 0) << "view " << v;
  }
}

TEST(BoardRenderer, AnySupersamplingAndNoSampling) {
  const SyntheticCamera camera = StronglyDistorted();
  const BoardRenderer renderer(camera);
  const SyntheticPose pose = MakeSyntheticPoses(1, kGrid, camera, nullptr, nullptr, 3)[0];
  for (int samples : {1, 3}) {
    RenderOptions options;
    options.supersampling = samples;
    const Difference d = Compare(renderer.Render(pose, kGrid, options), RenderBoardPerSample(camera, pose, kGrid, options));
    EXPECT_EQ(d.largest, 0.0) << samples << " samples";
  }
}

TEST(BoardRenderer, BoardBehindTheCameraLeavesOnlyBackground) {
  const SyntheticCamera camera = StronglyDistorted();
  const SyntheticPose behind = PoseFromVectors({3.14159265358979, 0.0, 0.0}, {0.0, 0.0, -50.0});
  const cv::Mat image = BoardRenderer(camera).Render(behind, kGrid, RenderOptions{});
  double low = 0.0, high = 0.0;
  cv::minMaxLoc(image.reshape(1), &low, &high);
  EXPECT_EQ(low, high);
  EXPECT_EQ(RenderBoardPerSample(camera, behind, kGrid, RenderOptions{}).at<cv::Vec3b>(10, 10), image.at<cv::Vec3b>(10, 10));
}

// A fisheye sees a board beside it (beyond 90 degrees from its axis); the fast
// renderer's three-component rays give the reference's picture there, and
// pixels no ray reaches stay background.
TEST(BoardRenderer, FisheyeBeyondNinetyDegreesGivesTheReferencePicture) {
  const SyntheticCamera camera = TypicalSyntheticCamera(LensModel::Fisheye, 320, 240, 200.0);
  const BoardRenderer renderer(camera);
  // Turned 100 degrees about y, the board centre 200 units out along +x, slightly behind.
  std::vector<SyntheticPose> poses = MakeSyntheticPoses(2, kGrid, camera, nullptr, nullptr, 5);
  poses.push_back(PoseFromVectors({0.0, -1.745, 0.0}, {200.0, -20.0, -35.0}));
  for (size_t v = 0; v < poses.size(); ++v) {
    RenderOptions options;
    options.seed = static_cast<uint32_t>(v + 1);
    const cv::Mat fast = renderer.Render(poses[v], kGrid, options);
    const Difference d = Compare(fast, RenderBoardPerSample(camera, poses[v], kGrid, options));
    EXPECT_LE(d.largest, 1.0) << "view " << v;
    EXPECT_EQ(d.pixelsOff, 0) << "view " << v;
    double low = 0.0, high = 0.0;
    cv::minMaxLoc(fast.reshape(1), &low, &high);
    EXPECT_LT(low, 60.0) << "view " << v << " shows black squares";
  }
}

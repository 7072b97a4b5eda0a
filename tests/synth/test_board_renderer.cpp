// The fast board renderer must give the pictures of the per-sample reference:
// same grey levels on views with strong distortion, steep tilts, a board cut by
// the image edge and a board plane whose horizon crosses the image.

#include <algorithm>
#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

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

namespace {

// Where the grey picture draws a straight edge crossing line `line` of the
// picture (a row, or a column when `alongRows` is false) near `truth`: the
// pixels across it hold the share of each side, so their sum gives the place.
double DrawnEdge(const cv::Mat& grey, bool alongRows, int line, double truth) {
  const int first = static_cast<int>(std::lround(truth)) - 4, last = first + 8;
  const auto at = [&](int k) { return alongRows ? grey.at<double>(line, k) : grey.at<double>(k, line); };
  const double before = at(first), after = at(last);
  double share = 0.0;
  for (int k = first; k <= last; ++k) share += (at(k) - after) / (before - after);
  return first - 0.5 + share;
}

// Where the straight line through image points p and q crosses line `line`.
double TrueEdge(const ImagePoint& p, const ImagePoint& q, bool alongRows, int line) {
  if (alongRows) return p.x + (q.x - p.x) * (line - p.y) / (q.y - p.y);
  return p.y + (q.y - p.y) * (line - p.x) / (q.x - p.x);
}

// The worst distance (px, across the edge) at which the renderer draws the
// left and top edges of a frontal board's first square, turned by each angle
// and shifted by sub-pixel amounts.
double WorstEdgePlace(int supersampling, const std::vector<double>& degreesSet) {
  SyntheticCamera pinhole;  // no distortion: board edges stay straight
  pinhole.width = 160;
  pinhole.height = 120;
  pinhole.fx = pinhole.fy = 400.0;
  pinhole.cx = 80.0;
  pinhole.cy = 60.0;
  const BoardRenderer renderer(pinhole);
  const GridDescription grid{10.0, 10.0, 3, 3, 3, 3};  // squares 40 px wide at depth 100
  constexpr double kDegree = 3.14159265358979 / 180.0;
  double worst = 0.0;
  for (double degrees : degreesSet) {
    // A row crosses an edge at angle a from the vertical a factor 1 / cos(a) further along it.
    const double alongRow = 1.0 / std::cos(degrees * kDegree);
    for (double shift : {0.0, 0.13, 0.29, 0.5, 0.71}) {
      const SyntheticPose pose = PoseFromVectors({0.0, 0.0, degrees * kDegree}, {shift / 4.0, shift / 12.0, 100.0});
      const cv::Mat grey = renderer.RenderGrey(pose, grid, supersampling);
      const PointList corners = ProjectGrid(pinhole, pose, grid);
      // The grid's first corner is the last row's first point; the first square lies below and right of it.
      const ImagePoint origin = corners[static_cast<size_t>(grid.nx) * (grid.ny - 1)];
      const ImagePoint alongX = corners.back(), alongY = corners.front();
      for (int k = 6; k <= 22; ++k) {
        const int row = static_cast<int>(std::lround(origin.y)) + k;
        const int column = static_cast<int>(std::lround(origin.x)) + k;
        const double offX = DrawnEdge(grey, true, row, TrueEdge(origin, alongY, true, row)) -
                            TrueEdge(origin, alongY, true, row);
        const double offY = DrawnEdge(grey, false, column, TrueEdge(origin, alongX, false, column)) -
                            TrueEdge(origin, alongX, false, column);
        worst = std::max(worst, std::max(std::fabs(offX), std::fabs(offY)) / alongRow);
      }
    }
  }
  return worst;
}

}  // namespace

// A camera integrates light over each pixel, so an edge's pixels hold the
// share of each side and their sum puts the edge at its place, whatever its
// direction and wherever it crosses the pixels. Samples on a regular grid draw
// an edge along a pixel axis up to half a sample step off; the exact area
// draws every edge at its place.
TEST(BoardRenderer, ExactPixelAreaDrawsEdgesAtTheirPlaceInAnyDirectionAndPhase) {
  const std::vector<double> directions{0.0, 0.2, 0.5, 1.0, -0.7, 14.04, 26.57, 33.0, 45.0};
  EXPECT_LT(WorstEdgePlace(kExactPixelArea, directions), 1e-3);
  // What the test would see of sampled pictures: the axis edges' rounding.
  EXPECT_GT(WorstEdgePlace(4, {0.0, 0.2}), 0.05);
}

// The exact area is the limit of ever finer sampling: on distorted, steep and
// cut-off views it gives the grey levels of the per-sample reference at 32 x
// 32 samples, to within that reference's own rounding of an edge.
TEST(BoardRenderer, ExactPixelAreaIsTheLimitOfFineSampling) {
  const SyntheticCamera camera = StronglyDistorted();
  const BoardRenderer renderer(camera);
  std::vector<SyntheticPose> poses = MakeSyntheticPoses(2, kGrid, camera, nullptr, nullptr, 7);
  poses.push_back(PoseFromVectors({1.35, 0.1, 0.05}, {-20.0, -10.0, 40.0}));  // horizon inside the image
  for (size_t v = 0; v < poses.size(); ++v) {
    const cv::Mat exact = renderer.RenderGrey(poses[v], kGrid, kExactPixelArea);
    const cv::Mat fine = renderer.RenderGrey(poses[v], kGrid, 32);
    cv::Mat difference;
    cv::absdiff(exact, fine, difference);
    double largest = 0.0;
    cv::minMaxLoc(difference, nullptr, &largest);
    // An edge rounded by half a sample step (1/64 px) changes a pixel by 200/64 grey levels.
    EXPECT_LT(largest, 200.0 / 64.0 + 0.5) << "view " << v;
    EXPECT_LT(cv::mean(difference)[0], 0.05) << "view " << v;
  }
}

namespace {

// The camera that sees the same scene on half-pixel cells: pixel (u, v) of
// `camera` is the cells (2u, 2v) .. (2u + 1, 2v + 1) of this one.
SyntheticCamera HalfPixelCells(SyntheticCamera camera) {
  camera.width *= 2;
  camera.height *= 2;
  camera.fx *= 2.0;
  camera.fy *= 2.0;
  camera.cx = 2.0 * camera.cx + 0.5;
  camera.cy = 2.0 * camera.cy + 0.5;
  return camera;
}

// The lens's blur before the sensor's pixels, made the slow way: the exact
// areas of cells half a pixel wide, blurred over the whole picture, four cells
// summed into each pixel.
cv::Mat ExposureOfHalfPixelCells(const SyntheticCamera& camera, const SyntheticPose& pose,
                                 const GridDescription& grid, double blurSigma) {
  cv::Mat cells;
  BoardRenderer(HalfPixelCells(camera)).RenderGrey(pose, grid, kExactPixelArea).convertTo(cells, CV_32F);
  const int radius = static_cast<int>(std::ceil(6.0 * blurSigma));
  if (radius > 0) cv::GaussianBlur(cells, cells, cv::Size(2 * radius + 1, 2 * radius + 1), 2.0 * blurSigma);
  cv::Mat pixels;
  cv::resize(cells, pixels, cv::Size(camera.width, camera.height), 0.0, 0.0, cv::INTER_AREA);
  pixels.convertTo(pixels, CV_64F);
  return pixels;
}

}  // namespace

// The exposure equals the slow construction it stands for on distorted, steep
// and cut-off views and a view with the board's horizon inside the picture,
// for a blur that reaches into the next blocks of the picture as well.
TEST(BoardRenderer, ExposureIsTheBlurOfHalfPixelCellsSummedIntoPixels) {
  const SyntheticCamera camera = StronglyDistorted();
  const BoardRenderer renderer(camera);
  std::vector<SyntheticPose> poses = MakeSyntheticPoses(2, kGrid, camera, nullptr, nullptr, 7);
  poses.push_back(PoseFromVectors({1.35, 0.1, 0.05}, {-20.0, -10.0, 40.0}));
  for (double blur : {0.0, 0.6, 3.0}) {
    for (size_t v = 0; v < poses.size(); ++v) {
      const cv::Mat exposure = renderer.RenderExposure(poses[v], kGrid, blur);
      const cv::Mat reference = ExposureOfHalfPixelCells(camera, poses[v], kGrid, blur);
      cv::Mat difference;
      cv::absdiff(exposure, reference, difference);
      double largest = 0.0;
      cv::minMaxLoc(difference, nullptr, &largest);
      // Its quarters' corners are interpolated between the pixel's rays, a
      // thousandth of a pixel at most off: 0.2 grey levels on an edge.
      EXPECT_LT(largest, 0.2) << "blur " << blur << ", view " << v;
    }
  }
  // Blurred after its pixels instead, a picture differs from it by grey levels.
  cv::Mat after = renderer.RenderGrey(poses[0], kGrid, kExactPixelArea);
  cv::GaussianBlur(after, after, cv::Size(0, 0), 0.6);
  EXPECT_GT(cv::norm(after, ExposureOfHalfPixelCells(camera, poses[0], kGrid, 0.6), cv::NORM_INF), 1.0);
}

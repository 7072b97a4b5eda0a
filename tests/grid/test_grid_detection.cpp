#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "synth/BoardRenderer.h"
#include "synth/SyntheticViews.h"
#include "core/CalibrationData.h"
#include "grid/GridDetection.h"
#include "grid/GridExtraction.h"

namespace {

double Distance(const ImagePoint& a, const ImagePoint& b) { return std::hypot(a.x - b.x, a.y - b.y); }

struct ViewSet {
  std::string name;
  GridDescription grid;
  SyntheticCamera camera;
  int views;
  double blur;
  double noise;
  uint32_t seed;
};

// Light falling off across the picture, as from a lamp to one side.
cv::Mat UnevenlyLit(const cv::Mat& image, uint32_t seed) {
  cv::Mat lit = image.clone();
  const double angle = seed * 1.3;
  const double dx = std::cos(angle), dy = std::sin(angle);
  for (int y = 0; y < lit.rows; ++y)
    for (int x = 0; x < lit.cols; ++x) {
      const double along = (dx * (x - lit.cols / 2.0) + dy * (y - lit.rows / 2.0)) / std::max(lit.cols, lit.rows);
      const double gain = 0.85 + 0.7 * along;  // about 0.5 to 1.2 across the image
      cv::Vec3b& p = lit.at<cv::Vec3b>(y, x);
      for (int c = 0; c < 3; ++c) p[c] = cv::saturate_cast<uchar>(p[c] * gain);
    }
  return lit;
}

struct Tally {
  int views = 0;
  int detected = 0;
  std::vector<double> errors;

  void Add(const GridDetection& detection, const PointList& exact, const std::string& label) {
    ++views;
    if (detection.status != GridStatus::Ok) {
      ADD_FAILURE() << label << ": " << DescribeGridStatus(detection.status);
      return;
    }
    ++detected;
    ASSERT_EQ(detection.corners.size(), exact.size()) << label;
    for (size_t k = 0; k < exact.size(); ++k) errors.push_back(Distance(detection.corners[k], exact[k]));
  }
  double Median() {
    std::sort(errors.begin(), errors.end());
    return errors.empty() ? 1e9 : errors[errors.size() / 2];
  }
};

void DetectSet(const ViewSet& set, Tally& tally) {
  SyntheticOptions options;
  options.views = set.views;
  options.seed = set.seed;
  options.grid = set.grid;
  options.camera = set.camera;
  options.render.blurSigma = set.blur;
  options.render.imageNoise = set.noise;
  options.render.seed = set.seed + 5;
  const SyntheticRig rig = MakeSyntheticRig(options);
  const SyntheticCameraViews& views = rig.cameras[0];
  for (size_t v = 0; v < views.images.size(); ++v) {
    // Every other view is lit unevenly.
    const cv::Mat image = v % 2 == 1 ? UnevenlyLit(views.images[v], set.seed + v) : views.images[v];
    tally.Add(DetectGridInImage(image, set.grid), views.exactPoints[v], set.name + " view " + std::to_string(v));
  }
}

SyntheticCamera Camera(int width, int height, double f, double k1, double k2) {
  return SyntheticCamera{f, f, (width - 1) / 2.0, (height - 1) / 2.0, LensModel::PinholeRadtan, {k1, k2, 0.0005, -0.0008}, width, height};
}

}  // namespace

// Rendered views with perspective, lens distortion, blur, noise and uneven
// light, at both grid sizes and both image sizes: nearly every view found,
// every corner in the grid order with its physical origin (an error of a
// square otherwise) and at sub-pixel accuracy.
TEST(GridDetectionAccuracy, RenderedViewsAreFoundInGridOrderAtSubPixelAccuracy) {
  const GridDescription small{30, 30, 9, 6, 5, 5};
  const GridDescription fine{20, 20, 20, 15, 3, 3};
  const GridDescription fineLarge{20, 20, 20, 15, 5, 5};
  const std::vector<ViewSet> sets{
      {"9x6 VGA barrel", small, Camera(640, 480, 800, -0.28, 0.08), 6, 0.8, 2.0, 3},
      {"9x6 VGA mild", small, Camera(640, 480, 700, 0.05, 0.0), 4, 1.2, 3.0, 4},
      {"20x15 VGA", fine, Camera(640, 480, 800, -0.15, 0.02), 4, 0.7, 2.0, 5},
      {"9x6 1080p", small, Camera(1920, 1080, 1700, -0.25, 0.06), 1, 1.5, 2.5, 6},
      {"20x15 1080p", fineLarge, Camera(1920, 1080, 1700, -0.2, 0.04), 1, 1.2, 2.5, 7},
  };
  Tally tally;
  for (const ViewSet& set : sets) DetectSet(set, tally);
  EXPECT_GE(tally.detected, 0.98 * tally.views);
  const double median = tally.Median();
  EXPECT_LE(median, 0.05);
  EXPECT_LE(tally.errors.back(), 0.3);
  std::cout << "detected " << tally.detected << " of " << tally.views << ", median error " << median << " px, largest "
            << tally.errors.back() << " px\n";
}

// The quick search only starts the refinement: wherever the sector-based
// search finds the board, the quick one finds it too, at the same corners (or
// nearer the truth), whatever the view size, lens and light.
TEST(GridDetectionAccuracy, TheQuickSearchFindsWhatTheSectorBasedOneFindsAtTheSameCorners) {
  const GridDescription small{30, 30, 9, 6, 5, 5};
  const GridDescription fineLarge{20, 20, 20, 15, 5, 5};
  const std::vector<ViewSet> sets{
      {"9x6 VGA barrel", small, Camera(640, 480, 800, -0.28, 0.08), 4, 0.8, 2.0, 13},
      {"9x6 1080p", small, Camera(1920, 1080, 1700, -0.25, 0.06), 3, 1.5, 2.5, 16},
      {"20x15 1080p", fineLarge, Camera(1920, 1080, 1700, -0.2, 0.04), 2, 1.2, 2.5, 17},
      {"9x6 4000x3000", small, Camera(4000, 3000, 3500, -0.2, 0.05), 2, 1.5, 2.0, 18},
  };
  int compared = 0;
  for (const ViewSet& set : sets) {
    SyntheticOptions options;
    options.views = set.views;
    options.seed = set.seed;
    options.grid = set.grid;
    options.camera = set.camera;
    options.render.blurSigma = set.blur;
    options.render.imageNoise = set.noise;
    const SyntheticRig rig = MakeSyntheticRig(options);
    for (size_t v = 0; v < rig.cameras[0].images.size(); ++v) {
      const std::string label = set.name + " view " + std::to_string(v);
      const cv::Mat image = v % 2 == 1 ? UnevenlyLit(rig.cameras[0].images[v], set.seed + v) : rig.cameras[0].images[v];
      const PointList& exact = rig.cameras[0].exactPoints[v];
      const GridDetection sectors = DetectGridInImage(image, set.grid, BoardSearch::SectorsOnly);
      if (sectors.status != GridStatus::Ok) continue;
      const GridDetection quick = DetectGridInImage(image, set.grid);
      ASSERT_EQ(quick.status, GridStatus::Ok) << label << ": " << DescribeGridStatus(quick.status);
      EXPECT_EQ(quick.originFromColours, sectors.originFromColours) << label;
      ++compared;
      for (size_t k = 0; k < exact.size(); ++k) {
        const double apart = Distance(quick.corners[k], sectors.corners[k]);
        EXPECT_TRUE(apart <= 0.01 || Distance(quick.corners[k], exact[k]) <= Distance(sectors.corners[k], exact[k]))
            << label << " corner " << k << ": " << apart << " px from the sector-based search's";
      }
    }
  }
  EXPECT_GE(compared, 8);
}

namespace {

// One well-placed 640x480 view of a 9x6 grid with mild distortion.
struct OneView {
  GridDescription grid{30, 30, 9, 6, 5, 5};
  SyntheticCamera camera = Camera(640, 480, 800, -0.1, 0.0);
  SyntheticPose pose;
  cv::Mat image;
  PointList exact;
};

OneView RenderOne(const GridDescription& grid, const SyntheticPose* pose = nullptr, const GridDescription* printed = nullptr) {
  OneView view;
  view.grid = grid;
  view.pose = pose ? *pose : MakeSyntheticPoses(1, grid, view.camera, nullptr, nullptr, 21)[0];
  RenderOptions render;
  render.blurSigma = 0.8;
  render.imageNoise = 2.0;
  view.image = RenderBoard(view.camera, view.pose, printed ? *printed : grid, render);
  view.exact = ProjectGrid(view.camera, view.pose, grid);
  return view;
}

double LargestError(const PointList& corners, const PointList& exact) {
  double largest = 0.0;
  for (size_t k = 0; k < exact.size(); ++k) largest = std::max(largest, Distance(corners[k], exact[k]));
  return largest;
}

// The board turned by half a turn in its plane about its centre.
SyntheticPose TurnedHalfway(const SyntheticPose& pose, const GridDescription& grid) {
  SyntheticPose turned = pose;
  const double cx = (grid.nx - 1) * grid.dX, cy = (grid.ny - 1) * grid.dY;
  for (int row = 0; row < 3; ++row) {
    turned.R[3 * row] = -pose.R[3 * row];
    turned.R[3 * row + 1] = -pose.R[3 * row + 1];
    turned.t[row] = pose.t[row] + pose.R[3 * row] * cx + pose.R[3 * row + 1] * cy;
  }
  return turned;
}

}  // namespace

// The preview's rough look reads the board as the detection does (grid order
// and origin), each corner within a pixel or so, also where the squares are
// too small for its reduced copy; a picture without a board has none.
TEST(GridDetectionRough, TheRoughLookReadsTheBoardAsTheDetectionDoesWithinAPixel) {
  const GridDescription grid{30, 30, 9, 6, 5, 5};
  const OneView near = RenderOne(grid);
  // 13 px squares: 6.5 px in the reduced copy, too small for it.
  const SyntheticPose farPose = PoseFromVectors({M_PI, 0.0, 0.0}, {-120.0, 75.0, 1800.0});
  const OneView far = RenderOne(grid, &farPose);
  for (const OneView* view : {&near, &far}) {
    const GridDetection full = DetectGridInImage(view->image, grid);
    const GridDetection rough = LocateGridRoughly(view->image, grid);
    ASSERT_EQ(full.status, GridStatus::Ok);
    ASSERT_EQ(rough.status, GridStatus::Ok) << DescribeGridStatus(rough.status);
    EXPECT_EQ(rough.originFromColours, full.originFromColours);
    EXPECT_LT(LargestError(rough.corners, view->exact), 1.5);
    for (size_t k = 0; k < full.border.size(); ++k) EXPECT_LT(Distance(rough.border[k], full.border[k]), 1.5) << k;
  }
  // The look at full size takes one threshold; light falling off across the
  // picture from any side still leaves the far board readable.
  for (uint32_t light = 0; light < 5; ++light) {
    const GridDetection rough = LocateGridRoughly(UnevenlyLit(far.image, light), grid);
    ASSERT_EQ(rough.status, GridStatus::Ok) << "light " << light << ": " << DescribeGridStatus(rough.status);
    EXPECT_LT(LargestError(rough.corners, far.exact), 1.5) << "light " << light;
  }
  const cv::Mat blank(480, 640, CV_8UC3, cv::Scalar(90, 90, 90));
  EXPECT_EQ(LocateGridRoughly(blank, grid).status, GridStatus::BoardNotFound);
}

TEST(GridDetectionOrigin, SquareColoursFixTheOriginWhateverTheBoardsTurnAndDespiteOneSpoiltSquare) {
  const GridDescription grid{30, 30, 9, 6, 5, 5};
  const OneView upright = RenderOne(grid);
  const SyntheticPose turnedPose = TurnedHalfway(upright.pose, grid);
  OneView turned = RenderOne(grid, &turnedPose);
  for (const OneView* view : {&upright, static_cast<const OneView*>(&turned)}) {
    const GridDetection detection = DetectGridInImage(view->image, grid);
    ASSERT_EQ(detection.status, GridStatus::Ok) << DescribeGridStatus(detection.status);
    EXPECT_TRUE(detection.originFromColours);
    EXPECT_LT(LargestError(detection.corners, view->exact), 0.3);
  }
  // The turned board's X axis points left in the image: only the colours can tell.
  EXPECT_LT(turned.exact[grid.nx * grid.ny - 1].x, turned.exact[(grid.ny - 1) * grid.nx].x);

  // A glare washes out the square at the origin: the other squares outvote it.
  const ImagePoint o = turned.exact[(grid.ny - 1) * grid.nx], d = turned.exact[(grid.ny - 2) * grid.nx + 1];
  cv::circle(turned.image, cv::Point(int((o.x + d.x) / 2), int((o.y + d.y) / 2)), 8, cv::Scalar(230, 230, 230), -1);
  const GridDetection glared = DetectGridInImage(turned.image, grid);
  ASSERT_EQ(glared.status, GridStatus::Ok) << DescribeGridStatus(glared.status);
  EXPECT_TRUE(glared.originFromColours);
  EXPECT_LT(LargestError(glared.corners, turned.exact), 0.3);
  // The border points are those of clicks beginning at the origin.
  EXPECT_EQ(glared.border[0].x, glared.corners[(grid.ny - 1) * grid.nx].x);
  EXPECT_EQ(glared.border[1].x, glared.corners[0].x);
  EXPECT_EQ(glared.border[2].x, glared.corners[grid.nx - 1].x);
  EXPECT_EQ(glared.border[3].x, glared.corners[grid.nx * grid.ny - 1].x);
}

TEST(GridDetectionOrigin, BoardsThatLookAlikeTurnedHalfwayTakeTheOriginWithXPointingRight) {
  // 8 x 6 corners: 9 x 7 squares, the same picture after half a turn.
  const GridDescription grid{30, 30, 8, 6, 5, 5};
  const OneView upright = RenderOne(grid);
  const SyntheticPose turnedPose = TurnedHalfway(upright.pose, grid);
  const OneView turned = RenderOne(grid, &turnedPose);
  const GridDetection a = DetectGridInImage(upright.image, grid);
  const GridDetection b = DetectGridInImage(turned.image, grid);
  ASSERT_EQ(a.status, GridStatus::Ok);
  ASSERT_EQ(b.status, GridStatus::Ok);
  EXPECT_FALSE(a.originFromColours);
  EXPECT_FALSE(b.originFromColours);
  for (const GridDetection* d : {&a, &b}) EXPECT_GT(d->border[3].x, d->border[0].x);  // X end right of the origin
  // Both show the same picture, so both give the same corners.
  EXPECT_LT(LargestError(a.corners, b.corners), 0.05);
}

TEST(GridDetectionRefusals, ViewsWithoutTheWholeBoardAreNotFoundWithAReasonAndNoPoints) {
  const GridDescription grid{30, 30, 9, 6, 5, 5};
  const OneView view = RenderOne(grid);
  auto expectRefused = [&](const cv::Mat& image, const GridDescription& g, GridStatus status, const char* label) {
    const GridDetection detection = DetectGridInImage(image, g);
    EXPECT_EQ(detection.status, status) << label << ": " << DescribeGridStatus(detection.status);
    EXPECT_TRUE(detection.corners.empty()) << label;
    EXPECT_STRNE(DescribeGridStatus(detection.status), "") << label;
  };
  const cv::Mat blank(480, 640, CV_8UC3, cv::Scalar(128, 128, 128));
  expectRefused(blank, grid, GridStatus::BoardNotFound, "blank");
  cv::Mat noise(480, 640, CV_8UC3);
  cv::randu(noise, cv::Scalar::all(0), cv::Scalar::all(255));
  expectRefused(noise, grid, GridStatus::BoardNotFound, "noise");
  cv::Mat texture;
  cv::GaussianBlur(noise, texture, cv::Size(0, 0), 3.0);
  cv::normalize(texture, texture, 0, 255, cv::NORM_MINMAX);
  expectRefused(texture, grid, GridStatus::BoardNotFound, "texture");
  // The right half of the board hidden.
  cv::Mat part = view.image.clone();
  const double middle = (view.exact[0].x + view.exact[grid.nx - 1].x) / 2.0;
  cv::rectangle(part, cv::Point(int(middle), 0), cv::Point(part.cols, part.rows), cv::Scalar(95, 95, 95), -1);
  expectRefused(part, grid, GridStatus::BoardNotFound, "part");
  // A board of another size: fewer corners than the grid, and more.
  const GridDescription smaller{30, 30, 7, 5, 5, 5};
  expectRefused(RenderOne(smaller).image, grid, GridStatus::BoardNotFound, "smaller board");
  const GridDescription larger{30, 30, 10, 7, 5, 5};
  const GridDetection onLarger = DetectGridInImage(RenderOne(larger).image, grid);
  EXPECT_TRUE(onLarger.status == GridStatus::BoardNotFound || onLarger.status == GridStatus::BoardLarger)
      << DescribeGridStatus(onLarger.status);
  EXPECT_TRUE(onLarger.corners.empty());
  // Tiny images, a grid the detectors cannot take, images of the wrong kind.
  expectRefused(cv::Mat(12, 12, CV_8UC3, cv::Scalar::all(0)), grid, GridStatus::ImageTooSmall, "tiny");
  GridDescription two = grid;
  two.ny = 2;
  expectRefused(view.image, two, GridStatus::GridTooSmall, "two rows");
  // The window setting sizes nothing: a huge one finds the board all the same.
  GridDescription wide = grid;
  wide.wx = 400;
  EXPECT_EQ(DetectGridInImage(view.image, wide).status, GridStatus::Ok);
  expectRefused(cv::Mat(), grid, GridStatus::BadImage, "empty");
  expectRefused(cv::Mat(480, 640, CV_16UC3, cv::Scalar::all(0)), grid, GridStatus::BadImage, "16 bit");
}

TEST(GridDetectionRefusals, HugeViewsAreSearchedReducedAndRefinedAtFullSize) {
  const GridDescription grid{30, 30, 9, 6, 5, 5};
  const OneView view = RenderOne(grid);
  const double scale = 5.0;  // 3200 x 2400
  cv::Mat huge;
  cv::resize(view.image, huge, cv::Size(), scale, scale, cv::INTER_CUBIC);
  GridDescription hugeGrid = grid;
  hugeGrid.wx = hugeGrid.wy = 12;
  const GridDetection detection = DetectGridInImage(huge, hugeGrid);
  ASSERT_EQ(detection.status, GridStatus::Ok) << DescribeGridStatus(detection.status);
  PointList scaled;
  for (const ImagePoint& p : view.exact) scaled.push_back({(p.x + 0.5) * scale - 0.5, (p.y + 0.5) * scale - 0.5});
  EXPECT_LT(LargestError(detection.corners, scaled), 0.3 * scale);
}

class GridDetectionInStore : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(store.AddCamera());
    ASSERT_TRUE(store.AddViewFromFrame(0, view.image.clone()));
    ASSERT_TRUE(store.AddViewFromFrame(0, cv::Mat(480, 640, CV_8UC3, cv::Scalar::all(90))));
    store.SetGrid(0, view.grid);
  }
  OneView view = RenderOne(GridDescription{30, 30, 9, 6, 5, 5});
  CCalibrationData store;
};

TEST_F(GridDetectionInStore, FoundViewLooksClickedAndAMissLeavesTheViewAlone) {
  const GridDetection found = DetectGrid(store, 0, 0);
  ASSERT_EQ(found.status, GridStatus::Ok);
  EXPECT_TRUE(store.ViewHasPoints(0, 0));
  ASSERT_EQ(store.GetPointCount(0, 0), 54);
  ASSERT_EQ(store.GetBorderPoints(0, 0)->size(), 4u);
  // Estimating again from the stored border points, as after four clicks,
  // gives the same corners in the same order.
  const PointList detected = *store.GetGridPoints(0, 0);
  ASSERT_EQ(EstimateGrid(store, 0, 0), GridStatus::Ok);
  EXPECT_LT(LargestError(*store.GetGridPoints(0, 0), detected), 0.01);

  // A miss keeps points that fit the grid (a view marked by hand) ...
  *store.GetGridPoints(0, 1) = view.exact;
  store.GetBorderPoints(0, 1)->assign(2, ImagePoint{7, 7});
  bool cleared = true;
  EXPECT_EQ(DetectGrid(store, 0, 1, &cleared).status, GridStatus::BoardNotFound);
  EXPECT_FALSE(cleared);
  EXPECT_EQ(store.GetPointCount(0, 1), 54);
  EXPECT_EQ(store.GetBorderPoints(0, 1)->size(), 2u);
  // ... and clears points that cannot pair with it: none are left behind.
  store.GetGridPoints(0, 1)->assign(3, ImagePoint{5, 5});
  store.SetViewHasPoints(0, 1, 1);
  EXPECT_EQ(DetectGrid(store, 0, 1, &cleared).status, GridStatus::BoardNotFound);
  EXPECT_TRUE(cleared);
  EXPECT_EQ(store.GetPointCount(0, 1), 0);
  EXPECT_TRUE(store.GetBorderPoints(0, 1)->empty());
  EXPECT_FALSE(store.ViewHasPoints(0, 1));
  EXPECT_EQ(DetectGrid(store, 0, 2).status, GridStatus::NoView);
  EXPECT_EQ(DetectGrid(store, 3, 0).status, GridStatus::NoView);
}

TEST_F(GridDetectionInStore, ADetectionNoLongerFittingTheGridIsNotApplied) {
  const GridDetection found = DetectGridInView(store, 0, 0);
  ASSERT_EQ(found.status, GridStatus::Ok);
  EXPECT_EQ(store.GetPointCount(0, 0), 0);  // detecting alone stores nothing
  // The grid changed while the detection ran elsewhere.
  GridDescription other = view.grid;
  other.nx = 7;
  store.SetGrid(0, other);
  EXPECT_EQ(ApplyGridDetection(store, 0, 0, found), GridStatus::WrongPointCount);
  EXPECT_EQ(store.GetPointCount(0, 0), 0);
  EXPECT_FALSE(store.ViewHasPoints(0, 0));
  store.SetGrid(0, view.grid);
  EXPECT_EQ(ApplyGridDetection(store, 0, 0, found), GridStatus::Ok);
  EXPECT_EQ(store.GetPointCount(0, 0), 54);
}

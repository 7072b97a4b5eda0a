// The board-size search behind the size hint: on rendered views of a 9 x 6
// board it finds 9 x 6 whatever the camera's grid was mistyped as, finds
// nothing where there is no board, and says so in words.
#include <gtest/gtest.h>

#include <atomic>

#include "synth/SyntheticViews.h"
#include "grid/GridSizeSearch.h"

namespace {

const SyntheticRig& Board() {
  static const SyntheticRig rig = [] {
    SyntheticOptions options;
    options.views = 4;
    options.grid = GridDescription{25.0, 25.0, 9, 6, 5, 5};
    options.camera.coefficients[0] = -0.15;
    options.render.blurSigma = 0.8;
    options.render.imageNoise = 2.0;
    options.seed = 11;
    return MakeSyntheticRig(options);
  }();
  return rig;
}

GridDescription Grid(int nx, int ny) {
  GridDescription grid{25.0, 25.0, nx, ny, 5, 5};
  grid.unit = LengthUnit::Centimetre;
  return grid;
}

TEST(GridSizeSearch, LikelySizesComeOneOffOnBothSidesFirstThenSwapped) {
  const std::vector<GridDescription> sizes = LikelyGridSizes(Grid(10, 7));
  ASSERT_GE(sizes.size(), 10u);
  EXPECT_EQ(sizes[0].nx, 9);
  EXPECT_EQ(sizes[0].ny, 6);
  EXPECT_EQ(sizes[1].nx, 11);
  EXPECT_EQ(sizes[1].ny, 8);
  bool swapped = false;
  for (const GridDescription& size : sizes) {
    EXPECT_FALSE(size.nx == 10 && size.ny == 7) << "the grid itself is no other size";
    EXPECT_EQ(size.dX, 25.0) << "only the corner counts change";
    EXPECT_EQ(size.unit, LengthUnit::Centimetre);
    swapped = swapped || (size.nx == 7 && size.ny == 10);
  }
  EXPECT_TRUE(swapped);
  // The detector needs three corners a side: a 3 x 3 grid has no smaller neighbours.
  for (const GridDescription& size : LikelyGridSizes(Grid(3, 3))) EXPECT_TRUE(size.nx >= 3 && size.ny >= 3);
}

TEST(GridSizeSearch, FindsTheBoardWhateverTheGridWasMistypedAs) {
  const std::vector<cv::Mat>& views = Board().cameras[0].images;
  // Squares typed for inner corners, one side short, one side long, two too many.
  for (const GridDescription& typed : {Grid(10, 7), Grid(8, 5), Grid(9, 7), Grid(11, 8)}) {
    const std::optional<GridSizeHint> hint = FindLikelyGridSize(views, typed);
    ASSERT_TRUE(hint) << typed.nx << "x" << typed.ny;
    EXPECT_EQ(hint->grid.nx, 9) << typed.nx << "x" << typed.ny;
    EXPECT_EQ(hint->grid.ny, 6) << typed.nx << "x" << typed.ny;
    EXPECT_EQ(hint->found, 4);
    EXPECT_EQ(hint->views, 4);
    ASSERT_EQ(hint->detections.size(), 4u);
    for (const GridDetection& detection : hint->detections) EXPECT_EQ(detection.corners.size(), 54u);
  }
  EXPECT_EQ(GridSizeHintText(*FindLikelyGridSize(views, Grid(10, 7)), Grid(10, 7)),
            "found a 9 x 6 board in 4 of 4 views; this camera's grid is 10 x 7");
}

// The views come one at a time from a supply, as a large camera's decoded
// pictures do; one that cannot be had counts as not showing the board.
TEST(GridSizeSearch, CountsOnlyTheViewsThatShowTheBoard) {
  std::vector<cv::Mat> views = Board().cameras[0].images;
  views.insert(views.begin() + 1, cv::Mat(480, 640, CV_8UC3, cv::Scalar::all(120)));
  views.push_back(cv::Mat());  // a picture that could not be decoded
  std::vector<int> asked(views.size(), 0);
  const ViewSupply supply{views.size(), [&](size_t v) {
                            ++asked[v];
                            return views[v];
                          }};
  const std::optional<GridSizeHint> hint = FindLikelyGridSize(supply, Grid(10, 7));
  ASSERT_TRUE(hint);
  EXPECT_EQ(hint->found, 4);
  EXPECT_EQ(hint->views, 6);
  EXPECT_NE(hint->detections[1].status, GridStatus::Ok);
  EXPECT_NE(hint->detections[5].status, GridStatus::Ok);
  for (size_t v = 0; v < views.size(); ++v) EXPECT_LE(asked[v], 2) << "view " << v << " decoded again and again";
}

TEST(GridSizeSearch, NoBoardGivesNoHintAndCancelStopsTheSearch) {
  const std::vector<cv::Mat> blank(2, cv::Mat(480, 640, CV_8UC3, cv::Scalar::all(120)));
  EXPECT_FALSE(FindLikelyGridSize(blank, Grid(10, 7)));
  EXPECT_FALSE(FindLikelyGridSize(std::vector<cv::Mat>{}, Grid(10, 7)));
  const std::atomic<bool> cancelled{true};
  EXPECT_FALSE(FindLikelyGridSize(Board().cameras[0].images, Grid(10, 7), &cancelled));
}

}  // namespace

// Whether views are enough, judged on a real store of synthetic views: boards
// spread over the image are enough, boards clustered in its centre are not,
// and each failing condition is named with where the uncertainty is worst.
#include <gtest/gtest.h>

#include <cmath>
#include <iostream>
#include <limits>

#include "app/CalibrationService.h"
#include "app/ViewGuidance.h"
#include "calib/CalibrationDiagnostics.h"
#include "calib/FitCovariance.h"
#include "core/CalibrationData.h"
#include "grid/GridDetection.h"
#include "sources/media/VirtualRig.h"
#include "support/GuidanceViews.h"
#include "support/ProjectionAgainstTruth.h"
#include "support/SanitizedBuild.h"
#include "support/SweepingBoard.h"
#include "support/SyntheticStore.h"
#include "synth/BoardRenderer.h"
#include "synth/SyntheticViews.h"

namespace {

using namespace guidance_views;

// A store with one camera holding the views, calibrated.
void CalibratedStore(CCalibrationData& store, const SyntheticCameraViews& views) {
  store.AddCamera();
  ASSERT_TRUE(AddSyntheticViews(store, 0, views, kGrid));
  ASSERT_TRUE(CalibrateCamera(store, 0).ok);
}

// A coverage with every cell holding corners and every measure spread fully.
CoverageSummary FullCoverage() {
  CoverageSummary coverage;
  coverage.valid = true;
  coverage.corners.assign(100, 3);
  coverage.share = 1.0;
  coverage.x = coverage.y = coverage.size = coverage.skew = 1.0;
  return coverage;
}

// A 30 x 20 map over 640 x 480 of `base` px, with `high` in the cell at (column, row).
ProjectionUncertaintyMap FlatMap(double base, int column = -1, int row = -1, double high = 0.0) {
  ProjectionUncertaintyMap map;
  map.valid = true;
  map.columns = 30;
  map.rows = 20;
  map.width = 640;
  map.height = 480;
  map.sigma.assign(600, base);
  if (column >= 0) map.sigma[static_cast<size_t>(row * 30 + column)] = high;
  map.worst = std::max(base, high);
  map.centre90 = base;
  return map;
}

}  // namespace

TEST(ViewGuidance, SpreadBoardsAreEnoughAndCentredOnesAreNot) {
  CCalibrationData spread;
  CalibratedStore(spread, ViewsAt(SpreadPoses(20)));
  const CameraGuidance good = GuidanceOf(spread, 0);
  EXPECT_TRUE(good.hasRun);
  EXPECT_EQ(good.usableViews, 20);
  EXPECT_EQ(good.runViews, 20);
  EXPECT_TRUE(good.verdict.enough) << good.verdict.text;
  EXPECT_EQ(good.verdict.text.rfind("Enough views: worst projection uncertainty ", 0), 0u) << good.verdict.text;
  EXPECT_NE(good.verdict.text.find(" px in the central 90%"), std::string::npos) << good.verdict.text;

  CCalibrationData clustered;
  CalibratedStore(clustered, ViewsAt(ClusteredPoses(20)));
  const CameraGuidance poor = GuidanceOf(clustered, 0);
  EXPECT_TRUE(poor.hasRun);
  EXPECT_FALSE(poor.verdict.enough);
  EXPECT_EQ(poor.verdict.text.rfind("More views needed: corners of the image uncovered (uncertainty ", 0), 0u)
      << poor.verdict.text;
  // The corners the clustered boards leave out are far less certain than the spread set's.
  EXPECT_GT(poor.uncertainty.worst, 2.0 * good.uncertainty.worst);
}

TEST(ViewGuidance, WithoutACurrentRunMoreViewsAreNeeded) {
  CCalibrationData store;
  store.AddCamera();
  ASSERT_TRUE(AddSyntheticViews(store, 0, ViewsAt(SpreadPoses(6)), kGrid));
  store.DisableView(0, 2);
  const CameraGuidance guidance = GuidanceOf(store, 0);
  EXPECT_FALSE(guidance.hasRun);
  EXPECT_EQ(guidance.usableViews, 5);  // the disabled view is not counted
  EXPECT_TRUE(guidance.coverage.valid);
  EXPECT_EQ(guidance.verdict.text, "More views needed: not calibrated yet");
  EXPECT_FALSE(GuidanceOf(store, 3).coverage.valid);  // no such camera
}

TEST(ViewGuidance, EachConditionFailsWithItsReason) {
  const EnoughViewsThresholds thresholds;
  EXPECT_TRUE(JudgeViews(FullCoverage(), FlatMap(0.08), thresholds).enough);
  EXPECT_EQ(JudgeViews(FullCoverage(), FlatMap(0.08), thresholds).text,
            "Enough views: worst projection uncertainty 0.08 px in the central 90%");

  // The bottom-right corner's 2 x 2 cells are empty; the worst cell there names the place.
  CoverageSummary corner = FullCoverage();
  for (int row : {8, 9})
    for (int column : {8, 9}) corner.corners[static_cast<size_t>(row * 10 + column)] = 0;
  EXPECT_EQ(JudgeViews(corner, FlatMap(0.08, 29, 19, 0.9), thresholds).text,
            "More views needed: corners of the image uncovered (uncertainty 0.90 px at bottom right)");
  // A worse cell elsewhere does not move the place away from the uncovered corner.
  EXPECT_EQ(JudgeViews(corner, FlatMap(0.08, 0, 0, 2.0), thresholds).text,
            "More views needed: corners of the image uncovered (uncertainty 0.08 px at bottom right)");

  CoverageSummary sparse = FullCoverage();
  sparse.share = 0.42;
  EXPECT_EQ(JudgeViews(sparse, FlatMap(0.08, 15, 0, 0.3), thresholds).text,
            "More views needed: corners in 42% of the image (uncertainty 0.30 px at top)");

  CoverageSummary flat = FullCoverage();
  flat.skew = 0.2;
  EXPECT_EQ(JudgeViews(flat, FlatMap(0.08), thresholds).text,
            "More views needed: boards vary too little in skew (0.20, at least 0.50)");

  EXPECT_EQ(JudgeViews(FullCoverage(), FlatMap(0.4, 0, 10, 0.7), thresholds).text,
            "More views needed: projection uncertainty 0.40 px in the central 90% (at most 0.25 px) "
            "(uncertainty 0.70 px at left)");
  // The threshold is the caller's.
  EnoughViewsThresholds lenient;
  lenient.maxCentralUncertainty = 0.5;
  EXPECT_TRUE(JudgeViews(FullCoverage(), FlatMap(0.4), lenient).enough);
  // A map with a cell no ray reaches (infinite) still judges on its finite cells.
  ProjectionUncertaintyMap holed = FlatMap(0.08, 0, 0, std::numeric_limits<double>::infinity());
  EXPECT_TRUE(JudgeViews(FullCoverage(), holed, thresholds).enough);
  EXPECT_FALSE(JudgeViews(FullCoverage(), ProjectionUncertaintyMap{}, thresholds).enough);
  EXPECT_FALSE(JudgeViews(CoverageSummary{}, FlatMap(0.08), thresholds).enough);
}

TEST(ViewGuidance, RegionsOfTheImageAreNamed) {
  EXPECT_EQ(ImageRegionName(10, 10, 640, 480), "top left");
  EXPECT_EQ(ImageRegionName(320, 10, 640, 480), "top");
  EXPECT_EQ(ImageRegionName(320, 240, 640, 480), "centre");
  EXPECT_EQ(ImageRegionName(639, 240, 640, 480), "right");
  EXPECT_EQ(ImageRegionName(700, 900, 640, 480), "bottom right");
}

// The uncertainty map is borne out against the truth: over calibrations from
// fresh noise, each one's projection error at every cell is about the cell's
// predicted sigma. Sigma is the worst direction's, so where the spread is round
// the 2-D error's root mean square is up to 1.4 sigma; a wrong map or a wrong
// way of comparing with the truth lands far outside. A camera off by half a
// percent in focal length is told apart at once.
TEST(ViewGuidance, CalibrationsFromFreshNoiseProjectWithinThePredictedUncertaintyOfTheTruth) {
  const int runs = kSanitizedBuild ? 2 : 12;
  const std::vector<SyntheticPose> poses = SpreadPoses(kSanitizedBuild ? 10 : 20);
  const CameraParameters truth = Camera().ToParameters();
  double sumSquares = 0.0, worstRatio = 0.0, within3 = 0.0;
  int cells = 0;
  for (int run = 0; run < runs; ++run) {
    CCalibrationData store;
    CalibratedStore(store, ViewsAt(poses, 100u + static_cast<unsigned>(run)));
    const CameraGuidance guidance = GuidanceOf(store, 0);
    ASSERT_TRUE(guidance.uncertainty.valid);
    CameraFit fit = FitOf(store.GetCalibrationProblem(0));
    std::vector<SyntheticPose> truePoses;
    for (int view : fit.views) truePoses.push_back(poses[static_cast<size_t>(view)]);
    const auto compared = truth_comparison::CompareWithTruth(fit, truePoses, truth, kGrid, guidance.uncertainty);
    ASSERT_EQ(compared.cells, 600);
    sumSquares += compared.rmsRatio * compared.rmsRatio * compared.cells;
    within3 += compared.withinThreeSigma * compared.cells;
    cells += compared.cells;
    worstRatio = std::max(worstRatio, compared.worstRatio);
    if (run == 0) {
      fit.camera.K[0] *= 1.005;
      const auto off = truth_comparison::CompareWithTruth(fit, truePoses, truth, kGrid, guidance.uncertainty);
      EXPECT_GT(off.rmsRatio, 5.0);
    }
  }
  const double rms = std::sqrt(sumSquares / cells);
  std::cout << runs << " runs: error / predicted sigma rms " << rms << ", worst " << worstRatio << ", within 3 sigma "
            << within3 / cells << "\n";
  EXPECT_GT(rms, 0.6);
  EXPECT_LT(rms, 1.5);
  EXPECT_GT(within3 / cells, 0.95);
}

// The virtual rig's pictures are nearly perfect (each pixel's exact area,
// blurred before it, one grey level of noise), so what is left of a corner's
// error is mostly the detector's own, tied to how the board lies, and a
// calibration from many views keeps about that much. The map's floor stands
// for it: without the floor a calibration from these views lands 1.6 times as
// far from the truth as its map says (RMS over the cells); with it, within
// the map. Forty views, as a guided capture takes: a few corners only pixels
// from the picture's edge err up to 0.2 px, and in a set of sixteen one such
// corner outweighs the floor.
TEST(ViewGuidance, ACalibrationFromTheRigsPicturesLiesWithinItsMapOfTheTruth) {
  VirtualRig rig;
  ASSERT_EQ(ParseVirtualRig("size=640x480", rig), "");
  const BoardRenderer renderer(rig.left);
  constexpr int views = 40;
  CCalibrationData store;
  store.AddCamera();
  store.SetGrid(0, rig.grid);
  // As a capture takes them: frames along the path, those whose board is found whole.
  std::vector<SyntheticPose> poses;
  for (int frame = 0; static_cast<int>(poses.size()) < views && frame < 3 * views; ++frame) {
    const SyntheticPose pose = SweepingPoseAt(rig, 0.31 * frame);
    const cv::Mat picture = renderer.Render(pose, rig.grid, FrameRenderOptions(rig, RigSide::kLeft, frame));
    const GridDetection found = DetectGridInImage(picture, rig.grid);
    if (found.status != GridStatus::Ok) continue;
    ASSERT_TRUE(store.AddViewFromFrame(0, picture));
    ASSERT_EQ(ApplyGridDetection(store, 0, static_cast<int>(poses.size()), found), GridStatus::Ok);
    poses.push_back(pose);
  }
  ASSERT_EQ(static_cast<int>(poses.size()), views);
  ASSERT_TRUE(CalibrateCamera(store, 0).ok);
  const CameraGuidance guidance = GuidanceOf(store, 0);
  ASSERT_TRUE(guidance.uncertainty.valid);
  EXPECT_EQ(guidance.uncertainty.floor, kDetectorErrorFloor);
  const CameraFit fit = FitOf(store.GetCalibrationProblem(0));
  ASSERT_EQ(fit.views.size(), static_cast<size_t>(views));
  const CameraParameters truth = rig.left.ToParameters();
  const auto compared = truth_comparison::CompareWithTruth(fit, poses, truth, rig.grid, guidance.uncertainty);
  const ProjectionUncertaintyMap& map = guidance.uncertainty;
  const ProjectionUncertaintyMap spread = ProjectionUncertaintyOf(fit, MarginalisedCovarianceOf(fit), map.width,
                                                                  map.height, map.distance, map.columns, map.rows, 0.0);
  const auto noiseAlone = truth_comparison::CompareWithTruth(fit, poses, truth, rig.grid, spread);
  std::cout << views << " views: worst error " << compared.worstError << " px; error / sigma rms "
            << compared.rmsRatio << ", worst " << compared.worstRatio << ", within 2 sigma "
            << compared.withinTwoSigma << "; without the floor rms " << noiseAlone.rmsRatio << ", worst "
            << noiseAlone.worstRatio << "\n";
  ASSERT_EQ(compared.cells, 600);
  EXPECT_LT(compared.worstError, 0.02) << "the rig's corners are far off the truth";
  EXPECT_LT(compared.rmsRatio, 1.2);
  EXPECT_GT(compared.withinTwoSigma, 0.98);
}

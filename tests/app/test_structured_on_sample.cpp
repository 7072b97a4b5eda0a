// The block-structured and the dense minimiser on the bundled workspace's real
// photographs: the same minimum, the same views and the same results text.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "app/CalibrationReport.h"
#include "app/CalibrationService.h"
#include "calib/CalibrationProblem.h"
#include "core/CalibrationData.h"
#include "core/Workspace.h"
#include "support/TestPaths.h"

namespace {

struct SampleRun {
  CCalibrationData store;
  CameraCalibrationResult result;
};

void CalibrateSample(SampleRun& run, bool blocks) {
  const WorkspaceResult loaded = LoadWorkspace(run.store, std::string(TestSourceDir()) + "/samples/workspace.txt");
  ASSERT_TRUE(loaded.ok) << loaded.error;
  ASSERT_EQ(run.store.GetCameraCount(), 1);
  CalibrationOptions& options = run.store.GetCalibrationProblem(0).options;
  options.writePointDump = false;
  options.blockStructure = blocks;
  run.result = CalibrateCamera(run.store, 0);
  ASSERT_TRUE(run.result.ok) << run.result.message;
}

double RelativeDifference(double a, double b, double floor) {
  return std::abs(a - b) / std::max({std::abs(a), std::abs(b), floor});
}

TEST(StructuredMinimiserOnPhotographs, SampleWorkspaceReachesTheDenseMinimumWithTheSameText) {
  SampleRun blocks, dense;
  CalibrateSample(blocks, true);
  CalibrateSample(dense, false);
  const CalibrationProblem& b = blocks.store.GetCalibrationProblem(0);
  const CalibrationProblem& d = dense.store.GetCalibrationProblem(0);
  EXPECT_TRUE(b.blockStructureUsed);
  EXPECT_FALSE(d.blockStructureUsed);
  EXPECT_EQ(b.usedViews, d.usedViews);
  EXPECT_EQ(b.converged, d.converged);
  for (int i : {0, 2, 4, 5})
    EXPECT_LE(RelativeDifference(b.refined.K[static_cast<size_t>(i)], d.refined.K[static_cast<size_t>(i)], 1.0), 1e-7)
        << "K[" << i << "]";
  for (size_t i = 0; i < 4; ++i)
    EXPECT_LE(RelativeDifference(b.refined.distortion[i], d.refined.distortion[i], 1.0), 1e-7) << "distortion " << i;
  double bx, by, bd, dx, dy, dd;
  b.GetReprojectionError(bx, by, bd);
  d.GetReprojectionError(dx, dy, dd);
  EXPECT_LE(RelativeDifference(bd, dd, 0.0), 1e-9);
  EXPECT_EQ(CalibrationText(b), CalibrationText(d));
  EXPECT_EQ(ViewUsageText(b), ViewUsageText(d));
}

}  // namespace

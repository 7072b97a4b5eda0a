// The stereo rig: the median initial relative pose, refusals of rigs that
// cannot be formed, and recovery of a known rig from synthetic view pairs.

#include <gtest/gtest.h>

#include <cmath>

#include "calib/StereoProblem.h"
#include "synth/SyntheticViews.h"

namespace {

SyntheticOptions StereoOptions(int views, double noise) {
  SyntheticOptions options;
  options.views = views;
  options.grid = GridDescription{25.0, 25.0, 8, 6, 5, 5};
  options.camera.coefficients[0] = -0.15;
  options.camera.coefficients[1] = 0.05;
  options.secondCamera = options.camera;
  options.secondCamera.fx = 780.0;
  options.secondCamera.fy = 775.0;
  options.secondCamera.cx = 330.0;
  options.stereo = true;
  options.stereoRotation = {0.02, -0.12, 0.01};
  options.stereoTranslation = {-120.0, 3.0, 5.0};
  options.pointNoise = noise;
  options.renderImages = false;
  options.seed = 11;
  return options;
}

// Rotation about z by `angle` followed by translation t, as 9 + 3 doubles appended.
void AppendPose(std::vector<double>& R, std::vector<double>& t, double angle, double tx, double ty, double tz) {
  const double c = std::cos(angle), s = std::sin(angle);
  R.insert(R.end(), {c, -s, 0, s, c, 0, 0, 0, 1});
  t.insert(t.end(), {tx, ty, tz});
}

struct CalibratedPair {
  CalibrationProblem first, second;
};

void CalibrateBoth(CalibratedPair& pair, const SyntheticRig& rig, const std::vector<PointList>& firstLists,
                   const std::vector<PointList>& secondLists) {
  pair.first.Calibrate(firstLists, rig.grid, 640, 480);
  pair.second.Calibrate(secondLists, rig.grid, 640, 480);
}

}  // namespace

TEST(StereoMedian, TakesTheUpperMiddleOfEachDescendingComponent) {
  // Camera 0 at identity for every pair, so each pair's relative pose is camera 1's pose.
  std::vector<double> R0, t0, R1, t1;
  const double angles[6] = {0.05, 0.01, 0.03, 0.02, 0.04, 0.06};
  const double shifts[6] = {5, 1, 3, 2, 4, 6};
  for (int v = 0; v < 6; ++v) {
    AppendPose(R0, t0, 0.0, 0, 0, 0);
    AppendPose(R1, t1, angles[v], shifts[v], -shifts[v], 10);
  }
  double r[3], t[3];
  MedianRelativePose(5, R0.data(), t0.data(), R1.data(), t1.data(), r, t);  // 0.05 0.01 0.03 0.02 0.04
  EXPECT_NEAR(r[2], 0.03, 1e-12);
  EXPECT_NEAR(t[0], 3.0, 1e-12);
  EXPECT_NEAR(t[1], -3.0, 1e-12);
  MedianRelativePose(6, R0.data(), t0.data(), R1.data(), t1.data(), r, t);
  EXPECT_NEAR(r[2], 0.04, 1e-12);  // the larger of the two middle values
  EXPECT_NEAR(t[0], 4.0, 1e-12);
  EXPECT_NEAR(t[1], -3.0, 1e-12);
  EXPECT_NEAR(t[2], 10.0, 1e-12);
}

TEST(StereoMedian, ConstantRelativePoseIsReturnedAndCoincidentCamerasGiveIdentity) {
  std::vector<double> R0, t0, R1, t1;
  for (int v = 0; v < 5; ++v) AppendPose(R0, t0, 0.1 * v, 10.0 * v, 2.0, 500.0 + v);
  double r[3], t[3];
  MedianRelativePose(5, R0.data(), t0.data(), R0.data(), t0.data(), r, t);
  for (int i = 0; i < 3; ++i) {
    EXPECT_NEAR(r[i], 0.0, 1e-12);
    EXPECT_NEAR(t[i], 0.0, 1e-9);
  }
  // Camera 1 = camera 0 moved by a fixed rotation about z of 0.2 and a shift.
  R1.resize(45);
  t1.resize(15);
  for (int v = 0; v < 5; ++v) {
    const double c = std::cos(0.2), s = std::sin(0.2);
    const double Rr[9] = {c, -s, 0, s, c, 0, 0, 0, 1};
    double R[9], tv[3];
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j)
        R[3 * i + j] = Rr[3 * i] * R0[9 * v + j] + Rr[3 * i + 1] * R0[9 * v + 3 + j] + Rr[3 * i + 2] * R0[9 * v + 6 + j];
      tv[i] = Rr[3 * i] * t0[3 * v] + Rr[3 * i + 1] * t0[3 * v + 1] + Rr[3 * i + 2] * t0[3 * v + 2] + (i == 0 ? -100 : 0);
    }
    std::copy(R, R + 9, R1.begin() + 9 * v);
    std::copy(tv, tv + 3, t1.begin() + 3 * v);
  }
  MedianRelativePose(5, R0.data(), t0.data(), R1.data(), t1.data(), r, t);
  EXPECT_NEAR(r[2], 0.2, 1e-12);
  EXPECT_NEAR(t[0], -100.0, 1e-9);
  EXPECT_NEAR(t[1], 0.0, 1e-9);
}

TEST(Stereo, RecoversAKnownRigFromNoiseFreePairs) {
  const SyntheticRig rig = MakeSyntheticRig(StereoOptions(8, 0.0));
  CalibratedPair pair;
  CalibrateBoth(pair, rig, rig.cameras[0].points, rig.cameras[1].points);
  StereoProblem stereo;
  ASSERT_TRUE(stereo.CalibrateStereo(&pair.first, &pair.second)) << stereo.refusal;
  EXPECT_TRUE(stereo.converged);
  EXPECT_EQ(stereo.viewCount, 8);
  EXPECT_EQ(stereo.get_number_of_unknowns(), 6 * 8 + 22);
  EXPECT_EQ(stereo.get_number_of_residuals(), 4 * 8 * 48);
  const SyntheticPose truth = PoseFromVectors({0.02, -0.12, 0.01}, {-120.0, 3.0, 5.0});
  for (int i = 0; i < 9; ++i) EXPECT_NEAR(stereo.secondResult.R[i], truth.R[i], 1e-5);
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(stereo.secondResult.T[i], truth.t[i], 1e-2);
  EXPECT_NEAR(stereo.secondResult.fx(), 780.0, 0.1);
  EXPECT_NEAR(stereo.firstResult.cy(), 239.5, 0.1);
  EXPECT_LT(stereo.meanDistance, 1e-3);
}

TEST(Stereo, NoisyPairsStayCloseAndIncompletePairsAreLeftOut) {
  const SyntheticRig rig = MakeSyntheticRig(StereoOptions(9, 0.2));
  std::vector<PointList> second = rig.cameras[1].points;
  second[2].clear();  // unmarked in camera 1 only: that pair cannot take part
  CalibratedPair pair;
  CalibrateBoth(pair, rig, rig.cameras[0].points, second);
  StereoProblem stereo;
  ASSERT_TRUE(stereo.CalibrateStereo(&pair.first, &pair.second)) << stereo.refusal;
  EXPECT_EQ(stereo.pairedViews, (std::vector<int>{0, 1, 3, 4, 5, 6, 7, 8}));
  const double baseline = std::sqrt(stereo.secondResult.T[0] * stereo.secondResult.T[0] +
                                    stereo.secondResult.T[1] * stereo.secondResult.T[1] +
                                    stereo.secondResult.T[2] * stereo.secondResult.T[2]);
  EXPECT_NEAR(baseline, std::sqrt(120.0 * 120.0 + 9.0 + 25.0), 1.5);
  EXPECT_GT(stereo.meanDistance, 0.1);
  EXPECT_LT(stereo.meanDistance, 0.4);
}

TEST(Stereo, APairTakesPartOnlyWhenBothViewsDoAndFivePairsAreNeeded) {
  const SyntheticRig rig = MakeSyntheticRig(StereoOptions(8, 0.0));
  std::vector<RunView> first = RunViewsFromPoints(rig.cameras[0].points);
  std::vector<RunView> second = RunViewsFromPoints(rig.cameras[1].points);
  first[1].enabled = false;
  second[4].hasImage = false;
  CalibratedPair pair;
  pair.first.Calibrate(first, rig.grid, 640, 480);
  pair.second.Calibrate(second, rig.grid, 640, 480);
  StereoProblem stereo;
  ASSERT_TRUE(stereo.CalibrateStereo(&pair.first, &pair.second)) << stereo.refusal;
  EXPECT_EQ(stereo.pairedViews, (std::vector<int>{0, 2, 3, 5, 6, 7}));
  const SyntheticPose truth = PoseFromVectors({0.02, -0.12, 0.01}, {-120.0, 3.0, 5.0});
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(stereo.secondResult.T[i], truth.t[i], 1e-2);

  // Each camera keeps six views, but only four pairs have both.
  first[2].enabled = false;
  second[5].points.pop_back();
  pair.first.Calibrate(first, rig.grid, 640, 480);
  pair.second.Calibrate(second, rig.grid, 640, 480);
  EXPECT_FALSE(stereo.CalibrateStereo(&pair.first, &pair.second));
  EXPECT_NE(stereo.refusal.find("4 view pairs"), std::string::npos) << stereo.refusal;
}

TEST(Stereo, RefusesRigsThatCannotBeFormed) {
  const SyntheticRig rig = MakeSyntheticRig(StereoOptions(6, 0.0));
  {
    CalibratedPair pair;  // camera 1 below the five-view minimum
    std::vector<PointList> second = rig.cameras[1].points;
    second[0].clear();
    second[1].clear();
    CalibrateBoth(pair, rig, rig.cameras[0].points, second);
    StereoProblem stereo;
    EXPECT_FALSE(stereo.CalibrateStereo(&pair.first, &pair.second));
    EXPECT_NE(stereo.refusal.find(kTooFewViewsMessage), std::string::npos);
  }
  {
    CalibratedPair pair;  // camera 1 has fewer views
    std::vector<PointList> first = rig.cameras[0].points;
    first.push_back(first.back());
    CalibrateBoth(pair, rig, first, rig.cameras[1].points);
    StereoProblem stereo;
    EXPECT_FALSE(stereo.CalibrateStereo(&pair.first, &pair.second));
    EXPECT_NE(stereo.refusal.find("fewer views"), std::string::npos);
  }
  {
    CalibratedPair pair;  // the same corner count on a differently spaced board
    CalibrateBoth(pair, rig, rig.cameras[0].points, rig.cameras[1].points);
    pair.second.grid.dX = 30.0;
    StereoProblem stereo;
    EXPECT_FALSE(stereo.CalibrateStereo(&pair.first, &pair.second));
    EXPECT_NE(stereo.refusal.find("grids differ"), std::string::npos);
  }
  StereoProblem stereo;
  EXPECT_FALSE(stereo.CalibrateStereo(nullptr, nullptr));
}

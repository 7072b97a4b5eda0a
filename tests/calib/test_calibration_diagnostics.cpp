// Diagnostics of a finished calibration: per-view and per-pair errors checked
// against OpenCV's per-view errors and a direct evaluation, outlier marking,
// and the parameter standard deviations against calibrateCameraExtended and
// against the dense (JᵀJ)⁻¹ of the rig's own residual function.

#include <gtest/gtest.h>

#include <cmath>

#include <Eigen/Dense>
#include <opencv2/calib3d.hpp>

#include "calib/CalibrationDiagnostics.h"
#include "calib/CalibrationProblem.h"
#include "calib/StereoProblem.h"
#include "synth/SyntheticViews.h"

namespace {

SyntheticOptions CameraOptions(int views, double noise) {
  SyntheticOptions options;
  options.views = views;
  options.grid = GridDescription{25.0, 25.0, 9, 6, 5, 5};
  options.camera.fx = 810.0;
  options.camera.fy = 790.0;
  options.camera.cx = 322.0;
  options.camera.cy = 236.0;
  options.camera.coefficients[0] = -0.21;
  options.camera.coefficients[1] = 0.08;
  options.camera.coefficients[2] = 0.0012;
  options.camera.coefficients[3] = -0.0007;
  options.pointNoise = noise;
  options.renderImages = false;
  options.seed = 5;
  return options;
}

// OpenCV's calibration of the same points (held as floats there, so the fit
// takes the float-rounded points too): parameters, poses and its figures.
struct OpenCvCalibration {
  CameraFit fit;
  std::vector<double> perViewErrors;
  std::vector<double> stdDeviations;  // fx fy cx cy k1 k2 p1 p2 k3 ...
};

OpenCvCalibration CalibrateWithOpenCv(const SyntheticRig& rig) {
  std::vector<std::vector<cv::Point3f>> object;
  std::vector<std::vector<cv::Point2f>> image;
  OpenCvCalibration result;
  result.fit.grid = MakeGridObjectPoints(rig.grid, 1);
  for (const PointList& view : rig.cameras[0].points) {
    object.emplace_back();
    image.emplace_back();
    result.fit.points.emplace_back();
    for (size_t k = 0; k < view.size(); ++k) {
      const ObjectPoint& X = result.fit.grid[k];
      object.back().emplace_back(static_cast<float>(X.X), static_cast<float>(X.Y), 0.f);
      image.back().emplace_back(static_cast<float>(view[k].x), static_cast<float>(view[k].y));
      result.fit.points.back().push_back(ImagePoint{image.back().back().x, image.back().back().y});
    }
  }
  cv::Mat K, distortion, intrinsicDeviations, extrinsicDeviations, perView;
  std::vector<cv::Mat> r, t;
  const SyntheticCamera& truth = rig.cameras[0].camera;
  cv::calibrateCamera(object, image, cv::Size(truth.width, truth.height), K, distortion, r, t, intrinsicDeviations,
                      extrinsicDeviations, perView, cv::CALIB_FIX_K3,
                      cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 100, 1e-15));
  CameraParameters& camera = result.fit.camera;
  for (int i = 0; i < 9; ++i) camera.K[static_cast<size_t>(i)] = K.at<double>(i / 3, i % 3);
  for (int i = 0; i < 4; ++i) camera.distortion[static_cast<size_t>(i)] = distortion.at<double>(i);
  for (size_t v = 0; v < r.size(); ++v) {
    GridPose pose;
    for (int i = 0; i < 3; ++i) {
      pose.r[static_cast<size_t>(i)] = r[v].at<double>(i);
      pose.t[static_cast<size_t>(i)] = t[v].at<double>(i);
    }
    result.fit.poses.push_back(pose);
    result.fit.views.push_back(static_cast<int>(v));
    result.perViewErrors.push_back(perView.at<double>(static_cast<int>(v)));
  }
  for (int i = 0; i < 8; ++i) result.stdDeviations.push_back(intrinsicDeviations.at<double>(i));
  return result;
}

}  // namespace

TEST(Diagnostics, MedianOfOddEvenAndNoValues) {
  EXPECT_DOUBLE_EQ(Median({3.0, 1.0, 2.0}), 2.0);
  EXPECT_DOUBLE_EQ(Median({4.0, 1.0, 3.0, 2.0}), 2.5);
  EXPECT_DOUBLE_EQ(Median({7.0}), 7.0);
  EXPECT_DOUBLE_EQ(Median({}), 0.0);
}

TEST(Diagnostics, PerViewErrorsAgreeWithOpenCvOnTheSamePointsAndParameters) {
  const SyntheticRig rig = MakeSyntheticRig(CameraOptions(10, 0.3));
  const OpenCvCalibration reference = CalibrateWithOpenCv(rig);
  const std::vector<ViewError> errors = PerViewErrors(reference.fit);
  ASSERT_EQ(errors.size(), 10u);
  for (size_t v = 0; v < errors.size(); ++v) {
    EXPECT_EQ(errors[v].view, static_cast<int>(v));
    EXPECT_NEAR(errors[v].rms, reference.perViewErrors[v], 1e-6) << v;
    // The mean length never exceeds the root mean square; with Gaussian noise it is close to √(π/4) of it.
    EXPECT_LE(errors[v].meanDistance, errors[v].rms);
    EXPECT_GT(errors[v].meanDistance, 0.7 * errors[v].rms);
    EXPECT_FALSE(errors[v].outlier);
  }
}

TEST(Diagnostics, AViewWithDisplacedCornersIsMarkedAsOutlierAndTheResidualsShowIt) {
  const SyntheticRig rig = MakeSyntheticRig(CameraOptions(8, 0.0));
  std::vector<PointList> lists = rig.cameras[0].points;
  lists[1].clear();  // unmarked: left out of the run, so the fit skips it
  for (ImagePoint& p : lists[5]) p.x += 0.01 * p.y;  // a sheared view, pulling the fit
  CalibrationProblem problem;
  ASSERT_TRUE(problem.Calibrate(lists, rig.grid, 640, 480)) << problem.refusal;
  const CameraFit fit = FitOf(problem);
  EXPECT_EQ(fit.views, (std::vector<int>{0, 2, 3, 4, 5, 6, 7}));
  const std::vector<ViewError> errors = PerViewErrors(fit);
  ASSERT_EQ(errors.size(), 7u);
  for (const ViewError& e : errors) EXPECT_EQ(e.outlier, e.view == 5) << e.view << " rms " << e.rms;

  // Without the sheared view the exact points leave only rounding noise, which marks nothing.
  lists[5] = rig.cameras[0].points[5];
  ASSERT_TRUE(problem.Calibrate(lists, rig.grid, 640, 480));
  for (const ViewError& e : PerViewErrors(FitOf(problem))) EXPECT_FALSE(e.outlier) << e.view << " rms " << e.rms;

  const std::vector<CornerResidual> corners = CornerResiduals(fit);
  ASSERT_EQ(corners.size(), 7u * 54u);
  EXPECT_EQ(corners[54].view, 2);
  EXPECT_DOUBLE_EQ(corners[54].observed.x, lists[2][0].x);
  double sum = 0.0;
  for (size_t k = 4 * 54; k < 5 * 54; ++k) sum += corners[k].dx * corners[k].dx + corners[k].dy * corners[k].dy;
  EXPECT_NEAR(std::sqrt(sum / 54.0), errors[4].rms, 1e-12);
}

TEST(Diagnostics, SigmaAgreesWithCalibrateCameraExtendedAfterItsDivisorIsReplaced) {
  const SyntheticRig rig = MakeSyntheticRig(CameraOptions(12, 0.25));
  const OpenCvCalibration reference = CalibrateWithOpenCv(rig);
  const CameraUncertainty uncertainty = EstimateUncertainty(reference.fit);
  ASSERT_TRUE(uncertainty.valid);
  EXPECT_EQ(uncertainty.points, 12 * 54);
  EXPECT_EQ(uncertainty.unknowns, 8 + 6 * 12);
  // OpenCV divides the sum of squares by (points − unknowns), we by (2·points − unknowns).
  const double points = uncertainty.points, unknowns = uncertainty.unknowns;
  const double scale = std::sqrt((points - unknowns) / (2.0 * points - unknowns));
  for (size_t i = 0; i < 8; ++i) {
    const double expected = reference.stdDeviations[i] * scale;
    EXPECT_NEAR(uncertainty.sigma.values[i], expected, 0.02 * expected) << i;
  }
  // The residual variance estimates the noise put on the points.
  EXPECT_NEAR(std::sqrt(uncertainty.residualVariance), 0.25, 0.03);

  // Our own run reaches the same minimum, so its σ agrees as well.
  CalibrationProblem problem;
  ASSERT_TRUE(problem.Calibrate(reference.fit.points, rig.grid, 640, 480));
  const CameraUncertainty own = EstimateUncertainty(FitOf(problem));
  ASSERT_TRUE(own.valid);
  for (size_t i = 0; i < 8; ++i) EXPECT_NEAR(own.sigma.values[i], uncertainty.sigma.values[i], 0.02 * uncertainty.sigma.values[i]);
}

TEST(Diagnostics, SigmaIsRefusedWithoutEnoughPointsOrWhenTheProblemIsDegenerate) {
  EXPECT_FALSE(EstimateUncertainty(CameraFit{}).valid);
  CameraFit fit;
  fit.camera = SyntheticCamera{}.ToParameters();
  fit.grid = MakeGridObjectPoints(GridDescription{25.0, 25.0, 2, 2, 5, 5}, 1);
  fit.views = {0};
  fit.points = {PointList(4)};
  fit.poses = {GridPose{{0.1, 0.2, 0.0}, {0, 0, 500}}};
  const CameraUncertainty tooFew = EstimateUncertainty(fit);  // 8 residuals, 14 unknowns
  EXPECT_FALSE(tooFew.valid);
  EXPECT_EQ(tooFew.unknowns, 14);

  // One flat-on view through a lens without distortion cannot separate focal length from distance.
  const std::vector<ObjectPoint> grid = MakeGridObjectPoints(CameraOptions(1, 0.0).grid, 1);
  CameraFit flat;
  flat.camera = fit.camera;
  flat.grid = grid;
  flat.views = {0};
  flat.poses = {GridPose{{0, 0, 0}, {-100, -60, 600}}};
  flat.points.emplace_back();
  const double R[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  for (const ObjectPoint& X : grid) flat.points[0].push_back(ProjectGridPoint(X, R, flat.poses[0].t.data(), flat.camera));
  EXPECT_FALSE(EstimateUncertainty(flat).valid);
}

namespace {

SyntheticOptions RigOptions(int views, double noise) {
  SyntheticOptions options = CameraOptions(views, noise);
  options.grid = GridDescription{25.0, 25.0, 8, 6, 5, 5};
  options.camera = SyntheticCamera{};
  options.camera.coefficients[0] = -0.15;
  options.camera.coefficients[1] = 0.05;
  options.secondCamera = options.camera;
  options.secondCamera.fx = 780.0;
  options.secondCamera.fy = 775.0;
  options.stereo = true;
  options.stereoRotation = {0.02, -0.12, 0.01};
  options.stereoTranslation = {-120.0, 3.0, 5.0};
  options.seed = 11;
  return options;
}

struct CalibratedRig {
  CalibrationProblem first, second;
  StereoProblem rig;
};

// The rig's refinement vector at its result, laid out as StereoProblem::f expects it.
std::vector<double> RigVector(const RigFit& fit) {
  std::vector<double> x(22 + 6 * fit.poses.size());
  const CameraParameters* cameras[2] = {&fit.first, &fit.second};
  for (size_t c = 0; c < 2; ++c) {
    const CameraParameters& p = *cameras[c];
    const double values[8] = {p.K[0], p.K[4], p.K[2], p.K[5], p.distortion[0], p.distortion[1], p.distortion[2], p.distortion[3]};
    std::copy_n(values, 8, x.begin() + 8 * static_cast<ptrdiff_t>(c));
  }
  std::copy_n(fit.relativeRotation.begin(), 3, x.begin() + 16);
  std::copy_n(fit.relativeTranslation.begin(), 3, x.begin() + 19);
  const size_t n = fit.poses.size();
  for (size_t p = 0; p < n; ++p) {
    std::copy_n(fit.poses[p].r.begin(), 3, x.begin() + static_cast<ptrdiff_t>(22 + 3 * p));
    std::copy_n(fit.poses[p].t.begin(), 3, x.begin() + static_cast<ptrdiff_t>(22 + 3 * n + 3 * p));
  }
  return x;
}

Eigen::VectorXd RigResiduals(StereoProblem& rig, const std::vector<double>& values) {
  vnl_vector<double> x(values.size()), residuals(static_cast<size_t>(rig.get_number_of_residuals()));
  std::copy(values.begin(), values.end(), x.begin());
  rig.f(x, residuals);
  return Eigen::Map<const Eigen::VectorXd>(residuals.data_block(), static_cast<Eigen::Index>(residuals.size()));
}

}  // namespace

TEST(Diagnostics, RigSigmaEqualsTheDenseInverseOfTheRigsOwnNormalMatrix) {
  const SyntheticRig synthetic = MakeSyntheticRig(RigOptions(7, 0.2));
  CalibratedRig calibrated;
  ASSERT_TRUE(calibrated.first.Calibrate(synthetic.cameras[0].points, synthetic.grid, 640, 480));
  ASSERT_TRUE(calibrated.second.Calibrate(synthetic.cameras[1].points, synthetic.grid, 640, 480));
  ASSERT_TRUE(calibrated.rig.CalibrateStereo(&calibrated.first, &calibrated.second)) << calibrated.rig.refusal;
  const RigFit fit = FitOf(calibrated.rig);
  ASSERT_EQ(fit.views.size(), 7u);
  const RigUncertainty uncertainty = EstimateUncertainty(fit);
  ASSERT_TRUE(uncertainty.valid);
  EXPECT_EQ(uncertainty.points, 2 * 7 * 48);
  EXPECT_EQ(uncertainty.unknowns, 22 + 6 * 7);

  // Dense central-difference Jacobian of the engine's rig residuals.
  const std::vector<double> x = RigVector(fit);
  const Eigen::VectorXd at = RigResiduals(calibrated.rig, x);
  Eigen::MatrixXd J(at.size(), static_cast<Eigen::Index>(x.size()));
  for (size_t i = 0; i < x.size(); ++i) {
    const double h = 1e-6 * std::max(1.0, std::fabs(x[i]));
    std::vector<double> plus = x, minus = x;
    plus[i] += h;
    minus[i] -= h;
    J.col(static_cast<Eigen::Index>(i)) = (RigResiduals(calibrated.rig, plus) - RigResiduals(calibrated.rig, minus)) / (2 * h);
  }
  const Eigen::MatrixXd inverse = (J.transpose() * J).inverse();
  const double variance = at.squaredNorm() / static_cast<double>(at.size() - static_cast<Eigen::Index>(x.size()));
  EXPECT_NEAR(uncertainty.residualVariance, variance, 1e-9 * variance);
  auto expected = [&](int i) { return std::sqrt(variance * inverse(i, i)); };
  for (int i = 0; i < 8; ++i) {
    EXPECT_NEAR(uncertainty.first.values[static_cast<size_t>(i)], expected(i), 1e-3 * expected(i)) << i;
    EXPECT_NEAR(uncertainty.second.values[static_cast<size_t>(i)], expected(8 + i), 1e-3 * expected(8 + i)) << i;
  }
  for (int i = 0; i < 3; ++i) {
    EXPECT_NEAR(uncertainty.rotation[static_cast<size_t>(i)], expected(16 + i), 1e-3 * expected(16 + i)) << i;
    EXPECT_NEAR(uncertainty.translation[static_cast<size_t>(i)], expected(19 + i), 1e-3 * expected(19 + i)) << i;
  }
  // And the estimate lies within a few σ of the true rig.
  const double trueT[3] = {-120.0, 3.0, 5.0};
  for (int i = 0; i < 3; ++i)
    EXPECT_LT(std::fabs(fit.relativeTranslation[static_cast<size_t>(i)] - trueT[i]), 4.0 * uncertainty.translation[static_cast<size_t>(i)]);

  // Per-pair errors are those of the same residuals, pair by pair.
  const std::vector<PairError> pairs = PerPairErrors(fit);
  ASSERT_EQ(pairs.size(), 7u);
  const Eigen::Index perCamera = 2 * 48;
  for (size_t p = 0; p < pairs.size(); ++p) {
    const Eigen::VectorXd first = at.segment(static_cast<Eigen::Index>(2 * p) * perCamera, perCamera);
    const Eigen::VectorXd second = at.segment(static_cast<Eigen::Index>(2 * p + 1) * perCamera, perCamera);
    EXPECT_NEAR(pairs[p].firstRms, std::sqrt(first.squaredNorm() / 48), 1e-9);
    EXPECT_NEAR(pairs[p].secondRms, std::sqrt(second.squaredNorm() / 48), 1e-9);
    EXPECT_NEAR(pairs[p].rms, std::sqrt((first.squaredNorm() + second.squaredNorm()) / 96), 1e-9);
    EXPECT_FALSE(pairs[p].outlier);
  }
}

#pragma once
// How good a finished calibration is: reprojection errors view by view (pair
// by pair for a rig), the views that are likely outliers, the residual of
// every corner, and the standard deviations of the estimated parameters from
// the Jacobian at the minimum.
//
// Everything works on a fit: the observations of the views that took part
// together with the parameters and grid poses found for them. A fit can be
// taken from a finished run or put together from any other estimate of the
// same points.

#include <array>
#include <vector>

#include "calib/IntrinsicBlock.h"
#include "records/Records.h"

class CalibrationProblem;
class StereoProblem;

// A grid pose as the engine refines it: Xc = R(r) X + t.
struct GridPose {
  std::array<double, 3> r{};
  std::array<double, 3> t{};
};

// One camera's observations and the estimate of its parameters and poses.
struct CameraFit {
  CameraParameters camera;
  IntrinsicBlock intrinsics;      // which of the camera's values were estimated (all of pinhole-radtan's by default)
  std::vector<ObjectPoint> grid;  // one block of object points, the same for every view
  std::vector<int> views;         // store view of each fitted view
  std::vector<PointList> points;  // per fitted view, one image point per grid point
  std::vector<GridPose> poses;    // per fitted view
};

// Two cameras seeing the same boards, with the pose of camera 1 relative to camera 0.
struct RigFit {
  CameraParameters first;
  CameraParameters second;
  IntrinsicBlock firstIntrinsics;
  IntrinsicBlock secondIntrinsics;
  std::array<double, 3> relativeRotation{};     // rotation vector: X1 = R(r) X0 + T
  std::array<double, 3> relativeTranslation{};  // T
  std::vector<ObjectPoint> grid;
  std::vector<int> views;  // store view of each pair
  std::vector<PointList> firstPoints;
  std::vector<PointList> secondPoints;
  std::vector<GridPose> poses;  // grid pose of each pair in camera 0's frame
};

struct ViewError {
  int view = 0;               // store view
  double rms = 0.0;           // root of the mean squared residual length, pixels
  double meanDistance = 0.0;  // mean residual length, pixels
  bool outlier = false;       // rms above twice the median rms of the run (and above 0.01 px)
};

struct PairError {
  int view = 0;
  double rms = 0.0;           // over both cameras' points
  double meanDistance = 0.0;  // over both cameras' points
  double firstRms = 0.0;
  double secondRms = 0.0;
  bool outlier = false;  // rms above twice the median of the pairs
};

// Observed position of one corner and its residual (observed - projected).
struct CornerResidual {
  int view = 0;
  ImagePoint observed;
  double dx = 0.0;
  double dy = 0.0;
};

// Standard deviations of a camera's intrinsic block: fx, fy, cx, cy, then the
// lens model's coefficients (k1, k2, p1, p2 for pinhole-radtan). Values the
// run kept fixed have 0 (fx follows fy when the aspect ratio is fixed).
struct IntrinsicSigma {
  LensModel model = LensModel::PinholeRadtan;
  int count = 8;  // 4 + the model's coefficients
  std::array<double, camera_model::kMaxBlock> values{};
  std::array<bool, camera_model::kMaxBlock> fixed{};
  double coefficient(int i) const { return values[4 + static_cast<size_t>(i)]; }
  double fx() const { return values[0]; }
  double fy() const { return values[1]; }
  double cx() const { return values[2]; }
  double cy() const { return values[3]; }
};

struct CameraUncertainty {
  bool valid = false;  // false when there are too few points or JᵀJ is singular
  IntrinsicSigma sigma;
  // σ²·[(JᵀJ)⁻¹] of the whole intrinsic block (sigma.count values a side, row by row).
  std::vector<double> covariance;
  double residualVariance = 0.0;  // σ² = sum of squares / (2·points − unknowns)
  int points = 0;
  int unknowns = 0;
};

struct RigUncertainty {
  bool valid = false;
  IntrinsicSigma first;
  IntrinsicSigma second;
  std::array<double, 3> rotation{};     // of the relative rotation vector
  std::array<double, 3> translation{};  // of T
  double residualVariance = 0.0;
  int points = 0;
  int unknowns = 0;
};

// The views of a finished run (its usedViews) with the refined parameters and poses.
CameraFit FitOf(const CalibrationProblem& problem);
// The pairs of a finished rig with the rig-refined intrinsics and relative pose.
RigFit FitOf(const StereoProblem& rig);

std::vector<ViewError> PerViewErrors(const CameraFit& fit);
std::vector<PairError> PerPairErrors(const RigFit& fit);
std::vector<CornerResidual> CornerResiduals(const CameraFit& fit);

// Median of the values (mean of the two middle ones for an even count), 0 for none.
double Median(std::vector<double> values);

// σᵢ = √(σ²·[(JᵀJ)⁻¹]ᵢᵢ) with σ² = sum of squares / (2·points − unknowns); the
// unknowns are the free intrinsic values and six pose values per view (per
// pair for the rig, plus both cameras' free intrinsic values and the relative pose).
CameraUncertainty EstimateUncertainty(const CameraFit& fit);
RigUncertainty EstimateUncertainty(const RigFit& fit);

#pragma once
// Stereo rig of two calibrated cameras: the pose of camera 1 relative to
// camera 0, refined together with both cameras' intrinsics and distortion and
// the grid pose of every view pair (the object is its own least-squares function).

#include <array>
#include <string>
#include <vector>

#include "calib/CalibrationProblem.h"
#include "calib/vnl/vnl_least_squares_function.h"
#include "records/Records.h"

class StereoProblem : public vnl_least_squares_function {
 public:
  explicit StereoProblem(const CalibrationOptions& rigOptions = {});
  ~StereoProblem() override;
  StereoProblem(const StereoProblem&) = delete;
  StereoProblem& operator=(const StereoProblem&) = delete;

  // The whole rig calibration on two problems whose Calibrate has just run.
  // View v of one camera is paired with view v of the other; a pair takes part
  // when both views took part in their cameras' runs. Returns false, with the
  // reason in `refusal`, when the cameras cannot form a rig: one of them was
  // not calibrated, their grids differ (points per view, layout or spacing), camera 1 has fewer
  // views than camera 0, or fewer than five pairs take part in both; and when
  // the result is not finite.
  bool CalibrateStereo(CalibrationProblem* first, CalibrationProblem* second);

  void f(const vnl_vector<double>& x, vnl_vector<double>& residuals) override;
  // Every pair's residuals depend on both cameras, the relative pose and that pair's grid pose only.
  bool get_block_layout(vnl_block_layout& layout) const override;
  void trace(int iteration, const vnl_vector<double>& x, const vnl_vector<double>& residuals) override;

  int pointsPerView = 0;
  int viewCount = 0;  // view pairs in the rig
  int totalPoints = 0;
  const ObjectPoint* objectPoints = nullptr;  // camera 0's, first block only; not owned
  std::vector<double> rotationVectors;        // grid pose of each pair in camera 0's frame
  std::vector<double> rotationMatrices;
  std::vector<double> translations;
  std::array<double, 9> relativeRotation{1, 0, 0, 0, 1, 0, 0, 0, 1};
  std::array<double, 3> relativeTranslation{};
  std::array<double, 3> relativeRotationVector{};
  GridDescription grid;
  CalibrationOptions options;  // tolerances of the rig's refinement (the point dump is not used)
  CameraParameters firstResult;   // camera 0
  CameraParameters secondResult;  // camera 1; R, T: camera-1 coordinates = R * X0 + T
  CameraParameters firstInitial;
  CameraParameters secondInitial;
  CalibrationProblem* firstCamera = nullptr;
  CalibrationProblem* secondCamera = nullptr;
  // What the rig refines of each camera: the same values its own run refined.
  IntrinsicBlock firstIntrinsics;
  IntrinsicBlock secondIntrinsics;

  // Store views of the pairs in the rig, in order; the pose arrays follow it.
  std::vector<int> pairedViews;
  bool converged = false;
  std::string refusal;
  // Whether the last rig run was stopped through options.cancel (refusal is then kCancelledMessage).
  bool cancelled = false;
  // Mean reprojection distance over both cameras and all pairs at the result, pixels.
  double meanDistance = 0.0;

 private:
  // Refinement vector: camera 0's free intrinsic values, camera 1's, the
  // relative rotation vector and translation, then every pair's rotation
  // vector and every pair's translation.
  size_t SecondCameraAt() const { return static_cast<size_t>(firstIntrinsics.FreeCount()); }
  size_t RelativeRotationAt() const { return SecondCameraAt() + static_cast<size_t>(secondIntrinsics.FreeCount()); }
  size_t FirstPose() const { return RelativeRotationAt() + 6; }
  bool CheckCameras();
  bool ResultIsFinite() const;
  void CopyFirstCameraPoses();
  void EstimateRelativePose();
  void Pack(vnl_vector<double>& x) const;
  void Unpack(const vnl_vector<double>& x);
  // Evaluates the residuals at x (leaving its poses in the arrays) and sets meanDistance.
  void MeasureError(const vnl_vector<double>& x);
};

// Component-wise median of per-pair relative poses (R1 R0^T, t1 - R1 R0^T t0):
// each of the six rotation-vector and translation components sorted largest
// first, element (n-1)/2 taken. R0, R1 hold 9 doubles per pair, t0, t1 three.
void MedianRelativePose(int pairs, const double* R0, const double* t0, const double* R1, const double* t1,
                        double rotationVector[3], double translation[3]);

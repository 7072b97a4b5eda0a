#include "calib/StereoProblem.h"

#include <algorithm>
#include <cmath>
#include <functional>

#include "calib/Calibration.h"
#include "calib/CameraModel.h"
#include "calib/vnl/vnl_levenberg_marquardt.h"

namespace {


void MultiplyMatrices(const double* a, const double* b, double* c) {
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      c[3 * i + j] = a[3 * i] * b[j] + a[3 * i + 1] * b[3 + j] + a[3 * i + 2] * b[6 + j];
}

void MultiplyVector(const double* a, const double* v, double* out) {
  for (int i = 0; i < 3; ++i) out[i] = a[3 * i] * v[0] + a[3 * i + 1] * v[1] + a[3 * i + 2] * v[2];
}

// Residuals of one camera's view of the grid, x then y per point.
double* ViewResiduals(const ObjectPoint* object, const ImagePoint* observed, int points, const double* R,
                      const double* t, const CameraParameters& camera, double* out) {
  const std::array<double, camera_model::kMaxBlock> block = camera_model::BlockOf(camera);
  camera_model::Visit(camera.model, [&](auto model) {
    for (int k = 0; k < points; ++k, out += 2) {
      const std::array<double, 3> c = camera_model::ToCamera(R, t, object[k].X, object[k].Y, object[k].Z);
      const camera_model::Point2<double> p = decltype(model)::Project(block.data(), c[0], c[1], c[2]);
      out[0] = observed[k].x - p.x;
      out[1] = observed[k].y - p.y;
    }
  });
  return out;
}

}  // namespace

void MedianRelativePose(int pairs, const double* R0, const double* t0, const double* R1, const double* t1,
                        double rotationVector[3], double translation[3]) {
  if (pairs <= 0) {
    std::fill(rotationVector, rotationVector + 3, 0.0);
    std::fill(translation, translation + 3, 0.0);
    return;
  }
  std::vector<double> components[6];
  for (int v = 0; v < pairs; ++v) {
    const double* a = R0 + 9 * v;
    const double R0t[9] = {a[0], a[3], a[6], a[1], a[4], a[7], a[2], a[5], a[8]};
    double Rv[9], r[3], Rt0[3];
    MultiplyMatrices(R1 + 9 * v, R0t, Rv);
    MultiplyVector(Rv, t0 + 3 * v, Rt0);
    icvRodriguesArrays(Rv, r, 0);
    for (int i = 0; i < 3; ++i) {
      components[i].push_back(r[i]);
      components[3 + i].push_back(t1[3 * v + i] - Rt0[i]);
    }
  }
  const size_t middle = static_cast<size_t>(pairs - 1) / 2;
  for (int i = 0; i < 6; ++i) {
    std::sort(components[i].begin(), components[i].end(), std::greater<double>());
    (i < 3 ? rotationVector[i] : translation[i - 3]) = components[i][middle];
  }
}

StereoProblem::StereoProblem(const CalibrationOptions& rigOptions)
    : vnl_least_squares_function(1, 1, no_gradient), options(rigOptions) {}

StereoProblem::~StereoProblem() = default;

bool StereoProblem::CheckCameras() {
  const CalibrationProblem* cameras[2] = {firstCamera, secondCamera};
  for (int c = 0; c < 2; ++c) {
    const CalibrationProblem* camera = cameras[c];
    if (!camera) {
      refusal = "camera " + std::to_string(c + 1) + " is missing";
      return false;
    }
    if (!camera->refusal.empty() || static_cast<int>(camera->usedViews.size()) < kMinimumCalibrationViews ||
        camera->pointsPerView == 0) {
      refusal = "camera " + std::to_string(c + 1) + ": " +
                (camera->refusal.empty() ? std::string(kTooFewViewsMessage) : camera->refusal);
      return false;
    }
  }
  if (firstCamera->pointsPerView != secondCamera->pointsPerView) {
    refusal = "the cameras' grids differ: " + std::to_string(firstCamera->pointsPerView) + " and " +
              std::to_string(secondCamera->pointsPerView) + " points per view";
    return false;
  }
  // Both cameras saw the same board, and the first camera's object points serve both.
  const GridDescription& a = firstCamera->grid;
  const GridDescription& b = secondCamera->grid;
  if (a.nx != b.nx || a.ny != b.ny || a.dX != b.dX || a.dY != b.dY) {
    refusal = "the cameras' grids differ in layout or spacing";
    return false;
  }
  if (secondCamera->viewCount < firstCamera->viewCount) {
    refusal = "camera 2 has fewer views (" + std::to_string(secondCamera->viewCount) + ") than camera 1 (" +
              std::to_string(firstCamera->viewCount) + ")";
    return false;
  }
  pairedViews.clear();
  for (int v = 0; v < firstCamera->viewCount; ++v)
    if (firstCamera->pointCounts[static_cast<size_t>(v)] > 0 && secondCamera->pointCounts[static_cast<size_t>(v)] > 0)
      pairedViews.push_back(v);
  // The five-view minimum holds for the rig too: only pairs whose two views
  // both took part count.
  if (static_cast<int>(pairedViews.size()) < kMinimumCalibrationViews) {
    refusal = std::to_string(pairedViews.size()) + " view pairs take part in both cameras; a stereo rig needs at least " +
              std::to_string(kMinimumCalibrationViews);
    return false;
  }
  return true;
}

bool StereoProblem::ResultIsFinite() const {
  auto finite = [](const auto& values) {
    return std::all_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); });
  };
  const CameraParameters* results[2] = {&firstResult, &secondResult};
  for (const CameraParameters* p : results)
    if (!finite(p->K) || !finite(p->distortion) || !finite(p->R) || !finite(p->T)) return false;
  return finite(rotationMatrices) && finite(rotationVectors) && finite(translations) && std::isfinite(meanDistance);
}

void StereoProblem::CopyFirstCameraPoses() {
  const size_t n = pairedViews.size();
  rotationVectors.assign(3 * n, 0.0);
  rotationMatrices.assign(9 * n, 0.0);
  translations.assign(3 * n, 0.0);
  for (size_t p = 0; p < n; ++p) {
    const int v = pairedViews[p];
    std::copy_n(firstCamera->GetRotationVector(v), 3, rotationVectors.begin() + 3 * static_cast<ptrdiff_t>(p));
    std::copy_n(firstCamera->GetRotationMatrix(v), 9, rotationMatrices.begin() + 9 * static_cast<ptrdiff_t>(p));
    std::copy_n(firstCamera->GetTranslation(v), 3, translations.begin() + 3 * static_cast<ptrdiff_t>(p));
  }
}

void StereoProblem::EstimateRelativePose() {
  std::vector<double> R1(9 * pairedViews.size()), t1(3 * pairedViews.size());
  for (size_t p = 0; p < pairedViews.size(); ++p) {
    std::copy_n(secondCamera->GetRotationMatrix(pairedViews[p]), 9, R1.begin() + 9 * static_cast<ptrdiff_t>(p));
    std::copy_n(secondCamera->GetTranslation(pairedViews[p]), 3, t1.begin() + 3 * static_cast<ptrdiff_t>(p));
  }
  MedianRelativePose(viewCount, rotationMatrices.data(), translations.data(), R1.data(), t1.data(),
                     relativeRotationVector.data(), relativeTranslation.data());
  double r[3] = {relativeRotationVector[0], relativeRotationVector[1], relativeRotationVector[2]};
  icvRodriguesArrays(relativeRotation.data(), r, 1);
}

bool StereoProblem::CalibrateStereo(CalibrationProblem* first, CalibrationProblem* second) {
  firstCamera = first;
  secondCamera = second;
  converged = false;
  cancelled = false;
  refusal.clear();
  meanDistance = 0.0;
  if (!CheckCameras()) return false;

  viewCount = static_cast<int>(pairedViews.size());
  pointsPerView = secondCamera->pointsPerView;
  totalPoints = viewCount * pointsPerView;
  grid = firstCamera->grid;
  objectPoints = firstCamera->objectPoints.data();
  CopyFirstCameraPoses();
  EstimateRelativePose();

  firstInitial = firstCamera->GetParameters();
  secondInitial = secondCamera->GetParameters();
  secondInitial.R = relativeRotation;
  secondInitial.T = relativeTranslation;

  firstIntrinsics = firstCamera->intrinsics;
  secondIntrinsics = secondCamera->intrinsics;
  init(6 * viewCount + static_cast<int>(FirstPose()), 4 * totalPoints);
  vnl_vector<double> x;
  Pack(x);
  const vnl_vector<double> start = x;
  vnl_levenberg_marquardt minimiser(*this);
  // Both cameras pinhole-radtan: the usual tolerances; any other model tightens
  // them. The f tolerance is tightened a hundredfold rather than a single
  // camera's thousandfold: the rig starts from two refined cameras, and with a
  // rational camera its forward-difference steps crawl along the correlated
  // coefficients (the sum of squares falling by about 1e-7 of itself per
  // step), so a thousandfold never stops where a hundredfold ends at the same
  // baseline and rotation.
  const LensModel model =
      firstIntrinsics.Model() == LensModel::PinholeRadtan ? secondIntrinsics.Model() : firstIntrinsics.Model();
  options.ConfigureMinimiser(minimiser, model);
  if (model != LensModel::PinholeRadtan) minimiser.set_f_tolerance(options.fTolerance * 1e-2);
  converged = minimiser.minimize_without_gradient(x);
  if (options.Cancelled()) {
    cancelled = true;
    refusal = kCancelledMessage;
    return false;
  }

  firstResult = firstInitial;
  secondResult = secondInitial;
  if (converged) Unpack(x);
  // Without convergence the rig is its starting state; its poses and error go with it.
  MeasureError(converged ? x : start);
  if (!ResultIsFinite()) {
    refusal = "the stereo calibration gave non-finite parameters or poses";
    converged = false;
    return false;
  }
  for (const CameraParameters* camera : {&firstResult, &secondResult}) {
    const std::string reason = UnphysicalCameraReason(*camera, camera->width, camera->height, meanDistance);
    if (reason.empty()) continue;
    refusal = "the stereo calibration gave no physical camera: " + reason;
    converged = false;
    return false;
  }
  return true;
}

void StereoProblem::Pack(vnl_vector<double>& x) const {
  const size_t n = static_cast<size_t>(viewCount);
  const size_t firstPose = FirstPose();
  x.set_size(6 * n + firstPose);
  firstIntrinsics.Pack(firstInitial, x.data_block());
  secondIntrinsics.Pack(secondInitial, x.data_block() + SecondCameraAt());
  double R[9];
  std::copy(secondInitial.R.begin(), secondInitial.R.end(), R);
  icvRodriguesArrays(R, &x[RelativeRotationAt()], 0);
  for (size_t i = 0; i < 3; ++i) x[RelativeRotationAt() + 3 + i] = secondInitial.T[i];
  for (size_t v = 0; v < n; ++v) {
    std::copy(rotationMatrices.begin() + 9 * static_cast<ptrdiff_t>(v), rotationMatrices.begin() + 9 * static_cast<ptrdiff_t>(v) + 9, R);
    icvRodriguesArrays(R, &x[firstPose + 3 * v], 0);
    for (size_t i = 0; i < 3; ++i) x[firstPose + 3 * n + 3 * v + i] = translations[3 * v + i];
  }
}

void StereoProblem::Unpack(const vnl_vector<double>& x) {
  firstIntrinsics.Unpack(x.data_block(), firstResult);
  secondIntrinsics.Unpack(x.data_block() + SecondCameraAt(), secondResult);
  const size_t relative = RelativeRotationAt();
  double r[3] = {x[relative], x[relative + 1], x[relative + 2]};
  icvRodriguesArrays(secondResult.R.data(), r, 1);
  for (size_t i = 0; i < 3; ++i) secondResult.T[i] = x[relative + 3 + i];
  const size_t n = static_cast<size_t>(viewCount);
  const size_t firstPose = FirstPose();
  for (size_t v = 0; v < n; ++v) {
    for (size_t i = 0; i < 3; ++i) {
      rotationVectors[3 * v + i] = x[firstPose + 3 * v + i];
      translations[3 * v + i] = x[firstPose + 3 * n + 3 * v + i];
    }
    icvRodriguesArrays(&rotationMatrices[9 * v], &rotationVectors[3 * v], 1);
  }
}

void StereoProblem::trace(int iteration, const vnl_vector<double>&, const vnl_vector<double>& residuals) {
  options.ReportProgress(iteration, residuals.data_block(), residuals.size());
}

void StereoProblem::f(const vnl_vector<double>& x, vnl_vector<double>& residuals) {
  if (options.Cancelled()) {
    throw_failure();  // the minimiser stops at once
    return;
  }
  CameraParameters cameras[2];
  firstIntrinsics.Unpack(x.data_block(), cameras[0]);
  secondIntrinsics.Unpack(x.data_block() + SecondCameraAt(), cameras[1]);
  const size_t relative = RelativeRotationAt();
  const size_t firstPose = FirstPose();
  double Rr[9], rr[3] = {x[relative], x[relative + 1], x[relative + 2]};
  icvRodriguesArrays(Rr, rr, 1);
  const double* tr = &x[relative + 3];
  const size_t n = static_cast<size_t>(viewCount);
  const size_t ppv = static_cast<size_t>(pointsPerView);
  double* out = residuals.data_block();
  for (size_t v = 0; v < n; ++v) {
    double* r = &rotationVectors[3 * v];
    double* R = &rotationMatrices[9 * v];
    double* t = &translations[3 * v];
    for (size_t i = 0; i < 3; ++i) {
      r[i] = x[firstPose + 3 * v + i];
      t[i] = x[firstPose + 3 * n + 3 * v + i];
    }
    icvRodriguesArrays(R, r, 1);
    double R1[9], t1[3];
    MultiplyMatrices(Rr, R, R1);
    MultiplyVector(Rr, t, t1);
    for (int i = 0; i < 3; ++i) t1[i] += tr[i];
    const size_t store = static_cast<size_t>(pairedViews[v]) * ppv;
    out = ViewResiduals(objectPoints, &firstCamera->imagePoints[store], pointsPerView, R, t, cameras[0], out);
    out = ViewResiduals(objectPoints, &secondCamera->imagePoints[store], pointsPerView, R1, t1, cameras[1], out);
  }
}

bool StereoProblem::get_block_layout(vnl_block_layout& layout) const {
  layout.shared = static_cast<int>(FirstPose());
  layout.blocks = viewCount;
  layout.groups = 2;
  layout.groupSize = 3;
  layout.residualsPerBlock = 4 * pointsPerView;
  return viewCount > 0 && pointsPerView > 0;
}

void StereoProblem::MeasureError(const vnl_vector<double>& x) {
  vnl_vector<double> residuals(4 * static_cast<size_t>(totalPoints));
  f(x, residuals);
  double sum = 0.0;
  for (size_t i = 0; i + 1 < residuals.size(); i += 2) sum += std::hypot(residuals[i], residuals[i + 1]);
  meanDistance = totalPoints > 0 ? sum / (2.0 * totalPoints) : 0.0;
}

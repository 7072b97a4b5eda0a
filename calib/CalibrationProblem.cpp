// The calibration run of one camera: loading the marked views, the joint
// refinement of intrinsics, distortion and poses, and the result figures.

#include "calib/CalibrationProblem.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <numeric>

#include "calib/Calibration.h"
#include "calib/CameraModel.h"
#include "calib/GridFit.h"
#include "calib/ModelStart.h"
#include "calib/vnl/vnl_levenberg_marquardt.h"
#include "records/Paths.h"

namespace {

// Layout of the refinement vector: the free intrinsic values (see
// IntrinsicBlock), then every view's rotation vector, then every view's
// translation.
inline size_t RotationIndex(size_t cameraValues, int view) { return cameraValues + 3 * static_cast<size_t>(view); }
inline size_t TranslationIndex(size_t cameraValues, int viewCount, int view) {
  return cameraValues + 3 * static_cast<size_t>(viewCount) + 3 * static_cast<size_t>(view);
}

}  // namespace

ImagePoint ProjectGridPoint(const ObjectPoint& X, const double* R, const double* t, const CameraParameters& camera) {
  const std::array<double, 3> p = camera_model::ToCamera(R, t, X.X, X.Y, X.Z);
  const camera_model::Point2<double> q = camera_model::Project(camera, p[0], p[1], p[2]);
  return ImagePoint{q.x, q.y};
}

CalibrationProblem::CalibrationProblem(const CalibrationOptions& runOptions)
    : vnl_least_squares_function(1, 1, no_gradient), options(runOptions) {}

CalibrationProblem::~CalibrationProblem() = default;

void CalibrationProblem::Allocate(int views, const GridDescription& gridDescription) {
  viewCount = views > 0 ? views : 0;
  grid = gridDescription;
  pointsPerView = grid.nx > 0 && grid.ny > 0 ? grid.nx * grid.ny : 0;
  totalPoints = viewCount * pointsPerView;
  const size_t n = static_cast<size_t>(viewCount);
  imagePoints.assign(static_cast<size_t>(totalPoints), ImagePoint{});
  objectPoints.assign(static_cast<size_t>(totalPoints), ObjectPoint{});
  pointCounts.assign(n, pointsPerView);
  rotationVectors.assign(3 * n, 0.0);
  rotationMatrices.assign(9 * n, 0.0);
  translations.assign(3 * n, 0.0);
  MakeGridObjectPoints(objectPoints.data(), grid, viewCount);
}

bool IsCompleteView(const PointList& points, const GridDescription& grid) {
  return grid.nx > 0 && grid.ny > 0 && points.size() == static_cast<size_t>(grid.nx) * static_cast<size_t>(grid.ny);
}

std::optional<SkipReason> ReasonToSkip(const RunView& view, const GridDescription& grid, int width, int height,
                                       LensModel model) {
  if (!view.hasImage) return SkipReason::NoImage;
  if (!view.enabled) return SkipReason::Disabled;
  if (!IsCompleteView(view.points, grid)) return SkipReason::Incomplete;
  if (view.stale) return SkipReason::Stale;
  const GridFit fit = model == LensModel::PinholeRadtan
                          ? FitPointsToGrid(view.points, grid.nx, grid.ny, width, height)
                          : FitPointsToGridPiecewise(view.points, grid.nx, grid.ny, width, height);
  if (!fit.fits) return SkipReason::DoesNotFit;
  return std::nullopt;
}

const char* SkipReasonText(SkipReason reason) {
  switch (reason) {
    case SkipReason::Disabled:
      return "disabled";
    case SkipReason::NoImage:
      return "no image";
    case SkipReason::Stale:
      return "marked for another grid";
    case SkipReason::DoesNotFit:
      return "points do not fit the grid";
    case SkipReason::Incomplete:
      break;
  }
  return "incomplete";
}

std::vector<RunView> RunViewsFromPoints(const std::vector<PointList>& viewPointLists) {
  std::vector<RunView> views(viewPointLists.size());
  for (size_t v = 0; v < views.size(); ++v) views[v].points = viewPointLists[v];
  return views;
}

void CalibrationProblem::LoadPoints(const std::vector<RunView>& views, const GridDescription& gridDescription,
                                    int width, int height) {
  usedViews.clear();
  skippedViews.clear();
  for (size_t v = 0; v < views.size(); ++v) {
    if (const auto reason = ReasonToSkip(views[v], gridDescription, width, height, settings.model))
      skippedViews.push_back({static_cast<int>(v), *reason});
    else
      usedViews.push_back(static_cast<int>(v));
  }
  Allocate(static_cast<int>(usedViews.size()), gridDescription);
  SetIdentityPoses();
  for (int v = 0; v < viewCount; ++v) {
    const PointList& list = views[static_cast<size_t>(usedViews[static_cast<size_t>(v)])].points;
    std::copy(list.begin(), list.begin() + pointsPerView, imagePoints.begin() + static_cast<ptrdiff_t>(v) * pointsPerView);
    pointCounts[static_cast<size_t>(v)] = pointsPerView;
  }
}

void CalibrationProblem::LoadPoints(const std::vector<PointList>& viewPointLists, const GridDescription& gridDescription) {
  LoadPoints(RunViewsFromPoints(viewPointLists), gridDescription);
}

void CalibrationProblem::PackParameters(vnl_vector<double>& x, const CameraParameters& parameters,
                                        const double* rotations, const double* translationArray) const {
  const size_t free = static_cast<size_t>(intrinsics.FreeCount());
  x.set_size(6 * static_cast<size_t>(viewCount) + free);
  if (free > 0) intrinsics.Pack(parameters, &x[0]);
  for (int v = 0; v < viewCount; ++v) {
    // The conversion may orthonormalise the matrix it is given, so it works on a copy.
    double R[9];
    std::copy(rotations + 9 * static_cast<size_t>(v), rotations + 9 * static_cast<size_t>(v) + 9, R);
    icvRodriguesArrays(R, &x[RotationIndex(free, v)], 0);
    for (int i = 0; i < 3; ++i)
      x[TranslationIndex(free, viewCount, v) + static_cast<size_t>(i)] = translationArray[3 * static_cast<size_t>(v) + static_cast<size_t>(i)];
  }
}

void CalibrationProblem::UnpackParameters(const vnl_vector<double>& x, CameraParameters& parameters,
                                          double* rotations, double* translationArray,
                                          double* rotationVectorArray) const {
  const size_t free = static_cast<size_t>(intrinsics.FreeCount());
  intrinsics.Unpack(free > 0 ? &x[0] : nullptr, parameters);
  for (int v = 0; v < viewCount; ++v) {
    const size_t at = RotationIndex(free, v);
    double r[3] = {x[at], x[at + 1], x[at + 2]};
    icvRodriguesArrays(rotations + 9 * static_cast<size_t>(v), r, 1);
    for (int i = 0; i < 3; ++i) {
      translationArray[3 * static_cast<size_t>(v) + static_cast<size_t>(i)] = x[TranslationIndex(free, viewCount, v) + static_cast<size_t>(i)];
      if (rotationVectorArray) rotationVectorArray[3 * static_cast<size_t>(v) + static_cast<size_t>(i)] = r[i];
    }
  }
}

void CalibrationProblem::f(const vnl_vector<double>& x, vnl_vector<double>& residuals) {
  if (options.Cancelled()) {
    throw_failure();  // the minimiser stops at once
    return;
  }
  CameraParameters scratch;
  UnpackParameters(x, scratch, rotationMatrices.data(), translations.data());
  double block[camera_model::kMaxBlock];
  intrinsics.Expand(intrinsics.FreeCount() > 0 ? &x[0] : nullptr, block);
  camera_model::Visit(intrinsics.Model(), [&](auto model) {
    using Model = decltype(model);
    double* out = residuals.data_block();
    const ImagePoint* observed = imagePoints.data();
    for (int v = 0; v < viewCount; ++v) {
      const double* R = &rotationMatrices[9 * static_cast<size_t>(v)];
      const double* t = &translations[3 * static_cast<size_t>(v)];
      for (int k = 0; k < pointsPerView; ++k, ++observed, out += 2) {
        const ObjectPoint& X = objectPoints[static_cast<size_t>(k)];
        const std::array<double, 3> c = camera_model::ToCamera(R, t, X.X, X.Y, X.Z);
        const camera_model::Point2<double> p = Model::Project(block, c[0], c[1], c[2]);
        out[0] = observed->x - p.x;
        out[1] = observed->y - p.y;
      }
    }
  });
}

bool CalibrationProblem::get_block_layout(vnl_block_layout& layout) const {
  layout.shared = intrinsics.FreeCount();
  layout.blocks = viewCount;
  layout.groups = 2;
  layout.groupSize = 3;
  layout.residualsPerBlock = 2 * pointsPerView;
  return viewCount > 0 && pointsPerView > 0;
}

void CalibrationProblem::GetFieldOfView(double& fovX, double& fovY) const {
  // Degrees per radian as the workbench has always shown it (180 / 3.141592653).
  constexpr double kDegrees = 57.29577952383886;
  const double fx = refined.K[0], fy = refined.K[4], cx = refined.K[2], cy = refined.K[5];
  if (refined.model == LensModel::Fisheye) {
    // The angles of the rays at the image edges from the axis, which may add up past 180 degrees.
    const double* k = &refined.distortion[0];
    auto angle = [k](double thetaD) {
      double theta = 0.0;
      return camera_model::Fisheye::Angle(k, std::fabs(thetaD), theta) ? theta : NAN;
    };
    fovX = (angle((imageWidth - (cx + 0.5)) / fx) + angle((cx + 0.5) / fx)) * kDegrees;
    fovY = (angle((imageHeight - (cy + 0.5)) / fy) + angle((cy + 0.5) / fy)) * kDegrees;
    return;
  }
  fovX = (std::atan((imageWidth - (cx + 0.5)) / fx) + std::atan((cx + 0.5) / fx)) * kDegrees;
  fovY = (std::atan((imageHeight - (cy + 0.5)) / fy) + std::atan((cy + 0.5) / fy)) * kDegrees;
}

void CalibrationProblem::GetReprojectionError(double& meanAbsX, double& meanAbsY, double& meanDistance) const {
  double sumX = 0.0, sumY = 0.0, sumDistance = 0.0;
  long counted = 0;
  for (int v = 0; v < viewCount; ++v) {
    // Views left out of the run (no points) hold placeholder poses.
    if (pointCounts[static_cast<size_t>(v)] != pointsPerView || pointsPerView == 0) continue;
    const double* R = &rotationMatrices[9 * static_cast<size_t>(v)];
    const double* t = &translations[3 * static_cast<size_t>(v)];
    for (int k = 0; k < pointsPerView; ++k) {
      const ImagePoint p = ProjectGridPoint(objectPoints[static_cast<size_t>(k)], R, t, refined);
      const ImagePoint& o = imagePoints[static_cast<size_t>(v) * pointsPerView + static_cast<size_t>(k)];
      const double du = o.x - p.x, dv = o.y - p.y;
      sumX += std::fabs(du);
      sumY += std::fabs(dv);
      sumDistance += std::sqrt(du * du + dv * dv);
    }
    counted += pointsPerView;
  }
  const double n = counted > 0 ? static_cast<double>(counted) : 1.0;
  meanAbsX = sumX / n;
  meanAbsY = sumY / n;
  meanDistance = sumDistance / n;
}

void CalibrationProblem::WritePointDump() const {
  std::ofstream dump(OutputPath("debbg.txt"), std::ios::out | std::ios::trunc);
  if (!dump) return;  // an unwritable output folder must not stop the run
  for (const ObjectPoint& p : objectPoints) dump << p.X << ' ' << p.Y << ' ' << p.Z << '\n';
  dump.flush();
}

const char* const kCancelledMessage = "the run was cancelled";

void CalibrationProblem::trace(int iteration, const vnl_vector<double>&, const vnl_vector<double>& residuals) {
  options.ReportProgress(iteration, residuals.data_block(), residuals.size());
}

const char* const kTooFewViewsMessage =
    "The calibration problem is not constrained by less than 5 images!\nA restricted solver will be available soon...";

void CalibrationProblem::SetIdentityPoses() {
  static constexpr double kIdentity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  for (int v = 0; v < viewCount; ++v)
    std::copy(kIdentity, kIdentity + 9, rotationMatrices.begin() + 9 * static_cast<ptrdiff_t>(v));
}

void CalibrationProblem::SpreadToStoreViews(int storeViewCount) {
  const std::vector<ImagePoint> runPoints = std::move(imagePoints);
  const std::vector<double> runVectors = std::move(rotationVectors);
  const std::vector<double> runMatrices = std::move(rotationMatrices);
  const std::vector<double> runTranslations = std::move(translations);
  const int runViews = viewCount;
  Allocate(storeViewCount, grid);
  SetIdentityPoses();
  std::fill(pointCounts.begin(), pointCounts.end(), 0);
  for (int run = 0; run < runViews; ++run) {
    const size_t store = static_cast<size_t>(usedViews[static_cast<size_t>(run)]);
    const size_t r = static_cast<size_t>(run);
    const size_t ppv = static_cast<size_t>(pointsPerView);
    std::copy(runPoints.begin() + r * ppv, runPoints.begin() + (r + 1) * ppv, imagePoints.begin() + store * ppv);
    std::copy(runVectors.begin() + 3 * r, runVectors.begin() + 3 * r + 3, rotationVectors.begin() + 3 * store);
    std::copy(runMatrices.begin() + 9 * r, runMatrices.begin() + 9 * r + 9, rotationMatrices.begin() + 9 * store);
    std::copy(runTranslations.begin() + 3 * r, runTranslations.begin() + 3 * r + 3, translations.begin() + 3 * store);
    pointCounts[store] = pointsPerView;
  }
}

bool CalibrationProblem::Calibrate(const std::vector<PointList>& viewPointLists, const GridDescription& gridDescription,
                                   int width, int height) {
  return Calibrate(RunViewsFromPoints(viewPointLists), gridDescription, width, height);
}

bool CalibrationProblem::Calibrate(const std::vector<RunView>& views, const GridDescription& gridDescription, int width,
                                   int height) {
  converged = false;
  cancelled = false;
  blockStructureUsed = false;
  refinementEvaluations = refinementIterations = 0;
  refusal.clear();
  const int storeViews = static_cast<int>(views.size());
  LoadPoints(views, gridDescription, width, height);
  if (grid.nx < 2 || grid.ny < 2 || !(grid.dX > 0.0) || !(grid.dY > 0.0)) {
    refusal = "the camera has no usable grid description";
    SpreadToStoreViews(storeViews);
    return false;
  }
  if (viewCount < kMinimumCalibrationViews) {
    refusal = TooFewViewsRefusal(views, storeViews, width, height);
    SpreadToStoreViews(storeViews);
    return false;
  }
  imageWidth = width;
  imageHeight = height;
  if (options.writePointDump) WritePointDump();
  if (options.Cancelled() || !InitialCalibration()) {
    StopIfCancelled();
    SpreadToStoreViews(storeViews);
    return false;
  }
  const CameraParameters lastGood = refined;
  Refine();
  if (settings.model != LensModel::PinholeRadtan && !settings.posesOnly && converged) RetryStrayViews();
  if (StopIfCancelled()) {
    refined = lastGood;
    SpreadToStoreViews(storeViews);
    return false;
  }
  // A result with NaN or infinite values is no calibration, and neither is
  // one no lens can give; the last good one stays.
  if (!ResultIsFinite())
    return RefuseResult("the calibration gave non-finite parameters or poses", lastGood, storeViews);
  double meanX = 0.0, meanY = 0.0, meanDistance = 0.0;
  GetReprojectionError(meanX, meanY, meanDistance);
  const std::string unphysical = UnphysicalCameraReason(refined, imageWidth, imageHeight, meanDistance);
  if (!unphysical.empty())
    return RefuseResult("the calibration gave no physical camera: " + unphysical, lastGood, storeViews);
  SpreadToStoreViews(storeViews);
  return true;
}

bool CalibrationProblem::RefuseResult(const std::string& reason, const CameraParameters& lastGood, int storeViews) {
  refusal = reason;
  refined = lastGood;
  converged = false;
  SetIdentityPoses();
  std::fill(rotationVectors.begin(), rotationVectors.end(), 0.0);
  std::fill(translations.begin(), translations.end(), 0.0);
  SpreadToStoreViews(storeViews);
  return false;
}

std::string CalibrationProblem::TooFewViewsRefusal(const std::vector<RunView>& views, int storeViews, int width,
                                                   int height) const {
  std::string text = kTooFewViewsMessage;
  if (storeViews < kMinimumCalibrationViews) return text;
  // Appended piece by piece: GCC 12 at -O3 misreads `"\n" + std::to_string(...)`
  // as an overlapping copy (-Wrestrict).
  text.append("\n").append(std::to_string(viewCount)).append(" of ").append(std::to_string(storeViews));
  text += " views can take part:";
  for (const SkippedView& skipped : skippedViews)
    text += "\nview " + std::to_string(skipped.view + 1) + ": " + SkipReasonText(skipped.reason);
  // Lists that fit no view of this grid but fit another grid of the same size
  // were marked for that grid: say so, as it is the usual slip.
  std::optional<std::pair<int, int>> marked;
  int misfits = 0, sameOtherGrid = 0;
  for (const SkippedView& skipped : skippedViews) {
    if (skipped.reason != SkipReason::DoesNotFit && skipped.reason != SkipReason::Stale) continue;
    ++misfits;
    const auto other = GridThatFits(views[static_cast<size_t>(skipped.view)].points, grid.nx, grid.ny, width, height);
    if (!other) continue;
    if (!marked) marked = other;
    if (other == marked) ++sameOtherGrid;
  }
  if (marked && viewCount == 0 && sameOtherGrid * 2 > misfits)
    text += "\nThe points fit a " + GridSizeText(marked->first, marked->second) + " grid; the camera's grid is " +
            GridSizeText(grid.nx, grid.ny) + ".";
  return text;
}

std::string UnphysicalCameraReason(const CameraParameters& camera, int width, int height, double meanError) {
  const double fx = camera.fx(), fy = camera.fy(), cx = camera.cx(), cy = camera.cy();
  const auto number = [](double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.4g", value);
    return std::string(text);
  };
  if (!(fx > 0.0) || !(fy > 0.0)) return "the focal lengths fx " + number(fx) + " and fy " + number(fy) + " must be positive";
  const double aspect = fy / fx;
  if (aspect > kMaxAspect || aspect < 1.0 / kMaxAspect)
    return "fy/fx is " + number(aspect) + ", but pixels are square to within 25%";
  if (width > 0 && height > 0) {
    const double marginX = kPrincipalPointMargin * width, marginY = kPrincipalPointMargin * height;
    if (cx < -marginX || cx > width + marginX || cy < -marginY || cy > height + marginY)
      return "the principal point (" + number(cx) + ", " + number(cy) + ") lies far outside the " +
             std::to_string(width) + "x" + std::to_string(height) + " image";
  }
  if (meanError > kMaxMeanError)
    return "the mean reprojection error is " + number(meanError) + " px, where refined corners are good to tenths of a pixel";
  return {};
}

bool CalibrationProblem::StopIfCancelled() {
  if (!options.Cancelled()) return false;
  cancelled = true;
  converged = false;
  refusal = kCancelledMessage;
  return true;
}

bool CalibrationProblem::ResultIsFinite() const {
  auto finite = [](const auto& values) {
    return std::all_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); });
  };
  return finite(refined.K) && finite(refined.distortion) && finite(rotationMatrices) && finite(rotationVectors) &&
         finite(translations);
}

bool CalibrationProblem::InitialCalibration() {
  // `initial` starts empty so that a result left by an earlier run cannot pass for this one's.
  initial = CameraParameters{};
  const CameraParameters kept = KeptValues(settings, startParameters, imageWidth, imageHeight);
  intrinsics = IntrinsicBlock(settings, kept);
  if (settings.posesOnly) return PosesOnlyStart(kept);
  if (!(settings.model == LensModel::Fisheye ? FisheyeStart(kept) : PinholeStart(kept))) return false;
  // Coefficients start at zero, or at the values kept fixed; so does anything else kept.
  initial.model = settings.model;
  initial.distortion.fill(0.0);
  if (settings.model == LensModel::Rational) StartFromFiveCoefficients();
  double block[camera_model::kMaxBlock];
  std::vector<double> free(static_cast<size_t>(intrinsics.FreeCount()) + 1);
  intrinsics.Pack(initial, free.data());
  intrinsics.Expand(free.data(), block);
  camera_model::SetBlock(initial, settings.model, block);
  return true;
}

void CalibrationProblem::StartFromFiveCoefficients() {
  // From zero distortion the eight coefficients of a wide lens often wander
  // off (numerator and denominator can trade almost freely); the fit of the
  // five-coefficient model is close to theirs and a safe start.
  CalibrationOptions quiet = options;
  quiet.writePointDump = false;
  quiet.progress = nullptr;
  CalibrationProblem simpler(quiet);
  simpler.settings = settings;
  simpler.settings.model = LensModel::PinholeRadtanK3;
  simpler.settings.fixedCoefficients &= 0b11111u;
  simpler.startParameters = startParameters;
  if (simpler.startParameters.model == LensModel::Rational) simpler.startParameters.model = LensModel::PinholeRadtanK3;
  std::vector<PointList> lists(static_cast<size_t>(viewCount));
  for (int v = 0; v < viewCount; ++v)
    lists[static_cast<size_t>(v)].assign(imagePoints.begin() + static_cast<ptrdiff_t>(v) * pointsPerView,
                                         imagePoints.begin() + static_cast<ptrdiff_t>(v + 1) * pointsPerView);
  if (!simpler.Calibrate(lists, grid, imageWidth, imageHeight) || !simpler.converged) return;
  const CameraParameters& found = simpler.refined;
  initial.K = found.K;
  std::copy_n(found.distortion.begin(), 5, initial.distortion.begin());
  std::copy(simpler.rotationMatrices.begin(), simpler.rotationMatrices.end(), rotationMatrices.begin());
  std::copy(simpler.translations.begin(), simpler.translations.end(), translations.begin());
}

bool CalibrationProblem::PinholeStart(const CameraParameters& kept) {
  // Matrix headers over the problem's own arrays: the initial calibration
  // writes straight into `initial` and the pose arrays.
  int flags = 0;
  if (settings.fixAspectRatio) {
    initial.K[0] = kept.K[0];
    initial.K[4] = kept.K[4];
    flags |= ORVEL_CALIB_FIX_ASPECT_RATIO;
  }
  CvMat objectMat = cvMat(totalPoints, 1, CV_64FC3, objectPoints.data());
  CvMat imageMat = cvMat(totalPoints, 1, CV_64FC2, imagePoints.data());
  CvMat countMat = cvMat(viewCount, 1, CV_32SC1, pointCounts.data());
  CvMat cameraMat = cvMat(3, 3, CV_64FC1, initial.K.data());
  CvMat distortionMat = cvMat(4, 1, CV_64FC1, initial.distortion.data());
  CvMat rotationMat = cvMat(viewCount, 9, CV_64FC1, rotationMatrices.data());
  CvMat translationMat = cvMat(viewCount, 3, CV_64FC1, translations.data());
  Orvel_ClearError();
  Orvel_cvCalibrateCamera2(&objectMat, &imageMat, &countMat, cvSize(imageWidth, imageHeight), &cameraMat,
                           &distortionMat, &rotationMat, &translationMat, flags);
  initial.width = imageWidth;
  initial.height = imageHeight;
  // Without a usable camera matrix the minimiser would start from nothing and
  // its garbage would be reported as a calibration, so the run stops here. A
  // failure that still left a camera matrix (one view's pose, say) does not.
  const double fx = initial.K[0], fy = initial.K[4];
  const bool usable = fx > 0.0 && fy > 0.0 && std::isfinite(fx) && std::isfinite(fy) && std::isfinite(initial.K[2]) &&
                      std::isfinite(initial.K[5]);
  if (!usable) {
    refusal = "the initial calibration failed: " +
              (Orvel_GetErrStatus() < 0 ? Orvel_LastError().message : std::string("no camera matrix"));
    return false;
  }
  return true;
}

bool CalibrationProblem::FisheyeStart(const CameraParameters& kept) {
  const double aspect = settings.fixAspectRatio ? kept.K[0] / kept.K[4] : 1.0;
  if (!::FisheyeStart(objectPoints.data(), imagePoints.data(), viewCount, pointsPerView, imageWidth, imageHeight,
                      aspect, initial, rotationMatrices.data(), translations.data())) {
    refusal = "the initial calibration failed: no fisheye focal length poses the views";
    return false;
  }
  return true;
}

bool CalibrationProblem::PosesOnlyStart(const CameraParameters& kept) {
  if (!IsUsableStart(startParameters, settings.model, imageWidth, imageHeight)) {
    refusal = std::string("refining poses only needs the camera's own ") + LensModelName(settings.model) +
              " parameters for " + std::to_string(imageWidth) + "x" + std::to_string(imageHeight) +
              " images (load them first)";
    return false;
  }
  initial = kept;
  for (int v = 0; v < viewCount; ++v) {
    const size_t first = static_cast<size_t>(v) * static_cast<size_t>(pointsPerView);
    if (!ViewPose(initial, objectPoints.data(), &imagePoints[first], pointsPerView, &rotationMatrices[9 * static_cast<size_t>(v)],
                  &translations[3 * static_cast<size_t>(v)])) {
      refusal = "the pose of view " + std::to_string(usedViews[static_cast<size_t>(v)] + 1) +
                " could not be found through the camera's parameters";
      return false;
    }
  }
  return true;
}

void CalibrationProblem::Refine() {
  init(6 * viewCount + intrinsics.FreeCount(), 2 * totalPoints);
  vnl_vector<double> x;
  PackParameters(x, initial, rotationMatrices.data(), translations.data());
  vnl_levenberg_marquardt minimiser(*this);
  options.ConfigureMinimiser(minimiser, intrinsics.Model());
  const vnl_vector<double> start = x;
  converged = minimiser.minimize_without_gradient(x);
  blockStructureUsed = minimiser.used_block_structure();
  refinementEvaluations = minimiser.get_num_evaluations();
  refinementIterations = minimiser.get_num_iterations();
  refined = initial;
  // Without convergence the result is the initial calibration as a whole: its
  // intrinsics together with its own poses, not those of the last evaluation.
  CameraParameters poseOnly;
  if (converged)
    UnpackParameters(x, refined, rotationMatrices.data(), translations.data(), rotationVectors.data());
  else
    UnpackParameters(start, poseOnly, rotationMatrices.data(), translations.data(), rotationVectors.data());
}

double CalibrationProblem::ViewSumOfSquares(int v) const {
  const size_t first = static_cast<size_t>(v) * static_cast<size_t>(pointsPerView);
  const double* R = &rotationMatrices[9 * static_cast<size_t>(v)];
  const double* t = &translations[3 * static_cast<size_t>(v)];
  double sum = 0.0;
  for (size_t k = first; k < first + static_cast<size_t>(pointsPerView); ++k) {
    const ObjectPoint& X = objectPoints[k];
    const std::array<double, 3> c = camera_model::ToCamera(R, t, X.X, X.Y, X.Z);
    const camera_model::Point2<double> p = camera_model::Project(refined, c[0], c[1], c[2]);
    sum += (p.x - imagePoints[k].x) * (p.x - imagePoints[k].x) + (p.y - imagePoints[k].y) * (p.y - imagePoints[k].y);
  }
  return sum;
}

void CalibrationProblem::RetryStrayViews() {
  constexpr double kStrayShare = 4.0;  // a stray view's sum of squares against the median view's
  for (int attempt = 0; attempt < 2 && !options.Cancelled(); ++attempt) {
    std::vector<double> sums(static_cast<size_t>(viewCount));
    for (int v = 0; v < viewCount; ++v) sums[static_cast<size_t>(v)] = ViewSumOfSquares(v);
    std::vector<double> sorted = sums;
    std::nth_element(sorted.begin(), sorted.begin() + viewCount / 2, sorted.end());
    const double limit = kStrayShare * sorted[static_cast<size_t>(viewCount / 2)];
    const double before = std::accumulate(sums.begin(), sums.end(), 0.0);
    const CameraParameters keptCamera = refined, keptStart = initial;
    const std::vector<double> keptRotations = rotationMatrices, keptTranslations = translations,
                              keptVectors = rotationVectors;
    bool moved = false;
    for (int v = 0; v < viewCount; ++v) {
      if (!(sums[static_cast<size_t>(v)] > limit)) continue;
      const size_t first = static_cast<size_t>(v) * static_cast<size_t>(pointsPerView);
      moved = ViewPose(refined, &objectPoints[first], &imagePoints[first], pointsPerView,
                       &rotationMatrices[9 * static_cast<size_t>(v)], &translations[3 * static_cast<size_t>(v)]) ||
              moved;
    }
    if (!moved) return;
    initial = refined;
    Refine();
    double after = 0.0;
    for (int v = 0; v < viewCount; ++v) after += ViewSumOfSquares(v);
    if (converged && after < before) continue;
    refined = keptCamera;
    initial = keptStart;
    rotationMatrices = keptRotations;
    translations = keptTranslations;
    rotationVectors = keptVectors;
    converged = true;
    return;
  }
}

void CalibrationOptions::ConfigureMinimiser(vnl_levenberg_marquardt& minimiser, LensModel model) const {
  const double tighter = model == LensModel::PinholeRadtan ? 1.0 : 1e-3;
  minimiser.set_f_tolerance(fTolerance * tighter);
  minimiser.set_g_tolerance(gTolerance);
  minimiser.set_x_tolerance(xTolerance * tighter);
  minimiser.set_epsilon_function(xTolerance * 0.001);
  minimiser.set_use_block_structure(blockStructure);
  minimiser.set_trace(static_cast<bool>(progress));
}

void CalibrationOptions::ReportProgress(int iteration, const double* residuals, size_t count) const {
  if (!progress || count < 2) return;
  double sum = 0.0;
  for (size_t i = 0; i < count; ++i) sum += residuals[i] * residuals[i];
  progress(iteration, std::sqrt(sum / static_cast<double>(count / 2)));
}

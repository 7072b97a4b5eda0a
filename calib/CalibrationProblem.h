#pragma once
// One camera's calibration problem: the grid observations of all its views,
// the grid pose in every view, and the joint refinement of intrinsics,
// distortion and poses (the object is its own least-squares function).

#include <array>
#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "calib/IntrinsicBlock.h"
#include "calib/vnl/vnl_least_squares_function.h"
#include "records/Records.h"

// One store view as a run sees it: its grid points, whether the user left it
// in (enabled), whether its photograph is there and whether its points were
// marked for a grid the camera no longer has (stale).
struct RunView {
  PointList points;
  bool enabled = true;
  bool hasImage = true;
  bool stale = false;
};

// Why a store view takes no part in a run.
enum class SkipReason { Disabled, Incomplete, NoImage, Stale, DoesNotFit };

struct SkippedView {
  int view = 0;
  SkipReason reason = SkipReason::Incomplete;
};

class vnl_levenberg_marquardt;

// How a run refines: the minimiser's stopping tolerances and whether the
// object points are dumped to debbg.txt before the initial calibration.
struct CalibrationOptions {
  double xTolerance = 1e-4;
  double gTolerance = 1e-4;
  double fTolerance = 1e-4;
  bool writePointDump = true;
  // Refine through the block-structured minimiser (false: the dense one; same answer, for comparison).
  bool blockStructure = true;
  // Called by the refinement once per iteration (on the thread that runs it)
  // with the iteration number and the RMS reprojection error in pixels.
  std::function<void(int iteration, double rmsError)> progress;
  // When set and true, the refinement stops at its next evaluation and the
  // run ends as cancelled.
  const std::atomic<bool>* cancel = nullptr;

  bool Cancelled() const { return cancel && cancel->load(); }
  // Hands an iteration's residuals (x then y per point) to `progress`.
  void ReportProgress(int iteration, const double* residuals, size_t count) const;

  // Sets the tolerances, the forward-difference step (epsfcn = xTolerance / 1000) and the path.
  // Lens models other than pinhole-radtan refine with f and x tolerances a thousand times
  // smaller: their coefficients are strongly correlated, so the steps shrink long before the
  // minimum, and stopping at the first small step would leave the sum of squares 1e-4 above it.
  void ConfigureMinimiser(vnl_levenberg_marquardt& minimiser, LensModel model = LensModel::PinholeRadtan) const;
};

class CalibrationProblem : public vnl_least_squares_function {
 public:
  explicit CalibrationProblem(const CalibrationOptions& runOptions = {});
  ~CalibrationProblem() override;

  // Sizes every array for viewCount views of the grid and fills the object points.
  void Allocate(int viewCount, const GridDescription& grid);

  // Rebuilds the arrays from the camera's views (store order) over the views
  // that take part (see ReasonToSkip); width and height place the image
  // centre for the check that each view's points fit the grid.
  void LoadPoints(const std::vector<RunView>& views, const GridDescription& grid, int width = 0, int height = 0);
  // The same for point lists alone: every view enabled and with its image.
  void LoadPoints(const std::vector<PointList>& viewPointLists, const GridDescription& grid);
  // One calibration run; false, with the reason in `refusal`, when fewer than
  // five views take part or the run gives no usable result: non-finite, or
  // no physical camera (see UnphysicalCameraReason).
  bool Calibrate(const std::vector<RunView>& views, const GridDescription& grid, int imageWidth, int imageHeight);
  bool Calibrate(const std::vector<PointList>& viewPointLists, const GridDescription& grid,
                 int imageWidth, int imageHeight);

  void f(const vnl_vector<double>& x, vnl_vector<double>& residuals) override;
  // Every view's residuals depend on the camera values and that view's pose only.
  bool get_block_layout(vnl_block_layout& layout) const override;
  void trace(int iteration, const vnl_vector<double>& x, const vnl_vector<double>& residuals) override;

  void PackParameters(vnl_vector<double>& x, const CameraParameters& parameters,
                      const double* rotationMatrices, const double* translations) const;
  void UnpackParameters(const vnl_vector<double>& x, CameraParameters& parameters, double* rotationMatrices,
                        double* translations, double* rotationVectors = nullptr) const;

  CameraParameters GetParameters() const { return refined; }
  void GetFieldOfView(double& fovX, double& fovY) const;
  void GetReprojectionError(double& meanAbsX, double& meanAbsY, double& meanDistance) const;

  const double* GetRotationMatrix(int view) const { return &rotationMatrices[9 * static_cast<size_t>(view)]; }
  const double* GetTranslation(int view) const { return &translations[3 * static_cast<size_t>(view)]; }
  const double* GetRotationVector(int view) const { return &rotationVectors[3 * static_cast<size_t>(view)]; }

  int pointsPerView = 0;
  int viewCount = 0;
  int totalPoints = 0;
  std::vector<ImagePoint> imagePoints;    // totalPoints, view after view
  std::vector<ObjectPoint> objectPoints;  // totalPoints, same block per view
  std::vector<int32_t> pointCounts;       // viewCount
  std::vector<double> rotationVectors;    // 3 per view
  std::vector<double> rotationMatrices;   // 9 per view, row by row
  std::vector<double> translations;       // 3 per view
  int imageWidth = 0;
  int imageHeight = 0;
  GridDescription grid;
  CalibrationOptions options;
  CameraParameters refined;
  CameraParameters initial;
  // The lens model and fixed values of the next run (set by the caller), and
  // the camera's parameters before it: the start of the values the settings
  // keep fixed, and every intrinsic value when only poses are refined.
  CalibrationSettings settings;
  CameraParameters startParameters;
  // The intrinsic values the last run refined (its model and fixed values).
  IntrinsicBlock intrinsics;

  // Store views that took part in the last run (in store order) and those
  // that did not, with the reason. LoadPoints lays the arrays out over the
  // used views only; when a run ends (or is refused) they are spread back to
  // one entry per store view, where views left out carry no points
  // (pointCounts 0) and the identity rotation with zero translation.
  std::vector<int> usedViews;
  std::vector<SkippedView> skippedViews;
  // Whether the minimiser of the last run reported success.
  bool converged = false;
  // Whether the last refinement went through the block-structured minimiser,
  // and the residual evaluations and iterations it took.
  bool blockStructureUsed = false;
  int refinementEvaluations = 0;
  int refinementIterations = 0;
  // Why the last Calibrate returned false ("" after a run).
  std::string refusal;
  // Whether the last run was stopped through options.cancel (refusal is then kCancelledMessage).
  bool cancelled = false;

  // Writes every object point, one "X Y Z" line each, to debbg.txt in the output folder.
  void WritePointDump() const;

 private:
  // The start of the refinement in `initial` and the pose arrays, for the
  // settings' model; false (with `refusal` set) when it gives no usable camera.
  bool InitialCalibration();
  // Orvel_cvCalibrateCamera2: closed-form camera matrix, zero distortion.
  bool PinholeStart(const CameraParameters& kept);
  bool FisheyeStart(const CameraParameters& kept);
  // Replaces the rational model's start by a refined pinhole-radtan-k3 fit of the same views, when one converges.
  void StartFromFiveCoefficients();
  // The kept camera as it is, each view posed through it.
  bool PosesOnlyStart(const CameraParameters& kept);
  // The joint Levenberg-Marquardt refinement from `initial`; sets `refined` and `converged`.
  void Refine();
  // Wide lenses: a view whose pose settled in a local minimum (its error far
  // above the others') is posed again through the refined camera's rays and
  // the whole refinement repeated, kept when it lowers the sum of squares.
  void RetryStrayViews();
  // Sum of squared residuals of view v through `refined` and its stored pose.
  double ViewSumOfSquares(int v) const;
  // Poses not estimated (yet): identity rotations, zero vectors and translations.
  void SetIdentityPoses();
  // Re-lays the arrays over storeViewCount views after a run (see usedViews).
  void SpreadToStoreViews(int storeViewCount);
  // True when the refined intrinsics, distortion and every pose are finite numbers.
  bool ResultIsFinite() const;
  // Marks the run as cancelled when options.cancel has turned true.
  bool StopIfCancelled();
  // Ends a run whose result is no calibration: the last good parameters stay
  // and no pose of this run is kept.
  bool RefuseResult(const std::string& reason, const CameraParameters& lastGood, int storeViews);
  // The refusal of a run with too few views: which views were left out and why.
  std::string TooFewViewsRefusal(const std::vector<RunView>& views, int storeViews, int width, int height) const;
};

// Fewest complete views a run accepts.
constexpr int kMinimumCalibrationViews = 5;
// Message shown when a camera has fewer complete views than that.
extern const char* const kTooFewViewsMessage;
// Refusal of a run stopped through CalibrationOptions::cancel.
extern const char* const kCancelledMessage;

// Image position of object point X seen with pose (R row by row, t) through the
// camera's lens model, camera matrix and coefficients (pinhole models take Zc
// exactly 0 as 1).
ImagePoint ProjectGridPoint(const ObjectPoint& X, const double* R, const double* t, const CameraParameters& camera);
// A view's point list is complete when it holds exactly one point per grid
// corner: a list made for another grid (the grid changed after marking, or an
// index whose grid disagrees with its points files) pairs points with the
// wrong corners and is left out.
bool IsCompleteView(const PointList& points, const GridDescription& grid);
// Why a view is left out of a run, or nothing when it takes part. A view takes
// part when it has its image, is enabled, its point list is complete, was
// marked for the camera's current grid and fits it (FitPointsToGrid, with the
// image centre from width and height when given; patch by patch for lens
// models other than pinhole-radtan, whose distortion one radial term cannot
// follow); the first failing condition in that order is the reason.
std::optional<SkipReason> ReasonToSkip(const RunView& view, const GridDescription& grid, int width = 0,
                                       int height = 0, LensModel model = LensModel::PinholeRadtan);
// "disabled", "incomplete", "no image", "marked for another grid" or
// "points do not fit the grid".
const char* SkipReasonText(SkipReason reason);

// Limits of a physical camera. A calibration outside them came from points
// that do not belong together (a wrong grid, another camera's views), not
// from a lens:
//   fx and fy positive, fy/fx within [1/kMaxAspect, kMaxAspect] (pixels are
//   square to within 25%), the principal point inside the image widened by
//   kPrincipalPointMargin of its size on every side, and a mean reprojection
//   error of at most kMaxMeanError pixels (refined corners are good to a few
//   tenths of a pixel).
inline constexpr double kMaxAspect = 1.25;
inline constexpr double kPrincipalPointMargin = 0.25;
inline constexpr double kMaxMeanError = 10.0;
// Why the camera cannot be a physical one ("" when it can).
std::string UnphysicalCameraReason(const CameraParameters& camera, int width, int height, double meanError);
// Every list as an enabled view with its image.
std::vector<RunView> RunViewsFromPoints(const std::vector<PointList>& viewPointLists);

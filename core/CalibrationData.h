#pragma once
// The in-memory workspace: cameras, their views (the picture's file or
// encoded bytes), grid points, border points, per-view flags, grid
// descriptions, parameters and one calibration problem per camera. Used from
// one thread only; the pictures it hands out may go to any thread.
//
// A view's pixels are decoded only when asked for, and kept in one cache of a
// bounded size (SetImageCacheBudget): the least recently used go first. What
// is handed out (ViewPixels, a display bitmap) holds its pixels for as long
// as it lives, whatever the cache drops meanwhile.

#include <QImage>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "core/ViewImageCache.h"
#include "imaging/ViewImage.h"
#include "records/Records.h"

class CalibrationProblem;
struct RunView;

class CCalibrationData {
 public:
  CCalibrationData();
  ~CCalibrationData();
  CCalibrationData(const CCalibrationData&) = delete;
  CCalibrationData& operator=(const CCalibrationData&) = delete;

  // Cameras.
  int GetCameraCount() const { return static_cast<int>(cameras_.size()); }
  bool AddCamera();
  bool InsertCamera(int index);
  bool RemoveCamera(int index);
  void ClearCameraViews(int index);
  CameraParameters GetCameraParameters(int index) const;  // index must be valid
  void SetCameraParameters(int index, const CameraParameters& parameters);
  // How the camera is calibrated: its lens model and the values a run keeps fixed.
  CalibrationSettings GetCalibrationSettings(int index) const;
  void SetCalibrationSettings(int index, const CalibrationSettings& settings);
  GridDescription GetGrid(int index) const;
  // A grid with other point counts (nx or ny) makes every marked view's
  // points stale, whatever their number: they were marked for the old grid.
  void SetGrid(int index, const GridDescription& grid);
  bool HasGrid(int index) const;
  int GetImageWidth(int index) const;
  int GetImageHeight(int index) const;
  CalibrationProblem& GetCalibrationProblem(int index);  // index must be valid
  const CalibrationProblem& GetCalibrationProblem(int index) const;

  // Views.
  int GetViewCount(int camera) const;
  // Checks the image file and keeps its name (ViewImageSource::OpenFile: a
  // JPEG is not decoded here), and reads every point of the points file when
  // pointsPath is non-empty. Returns 0 on success; kViewUnreadable when the
  // image cannot be read or is damaged, kViewOtherSize when the camera
  // already has views of another size. Nothing is appended then, and
  // `problem` (when given) says why, naming the file. Throws
  // std::out_of_range for a camera beyond the lists.
  static constexpr int kViewUnreadable = -1;
  static constexpr int kViewOtherSize = -2;
  int AddViewFromFile(int camera, const std::string& imagePath, int enabled, int hasPoints,
                      const std::string& pointsPath, std::string* problem = nullptr);
  // A view whose photograph could not be read keeps its place: a neutral grey
  // image of width x height stands in for it, the view is disabled and marked
  // as missing its image; its points are read as AddViewFromFile reads them.
  // Throws std::out_of_range like AddViewFromFile.
  void AddPlaceholderView(int camera, int width, int height, int hasPoints, const std::string& pointsPath);
  // Keeps a copy of the frame (CV_8UC3) until a save writes it to a file,
  // which the view then reads as a reload would. False when
  // the camera does not exist, the image is not 8-bit BGR or the camera's
  // views have another size.
  bool AddViewFromFrame(int camera, const cv::Mat& image);
  // True when the camera has no views yet or its views are width x height.
  bool FitsImageSize(int camera, int width, int height) const;
  // Removes a view with its points. The camera's last run no longer matches
  // its views, so its calibration problem starts afresh (the parameters stay).
  bool RemoveView(int camera, int view);
  // The view's picture (CV_8UC3 BGR, rows 4-byte aligned), decoded now unless
  // the cache holds it. Null when either index is out of range or the file can
  // no longer be read (changed or removed since it was added; `problem` says
  // so, naming it). Nothing writes to a view's pixels.
  ViewPixels GetViewImage(int camera, int view, std::string* problem = nullptr) const;
  // A 24-bit display bitmap over the view's pixels (no copy) that holds them
  // while it or any copy of it lives; null when there is no picture.
  QImage GetViewBitmap(int camera, int view) const;
  // The picture if the cache holds it now; never decodes.
  ViewPixels PeekViewImage(int camera, int view) const;
  // The same for any picture the store handed out (null for none).
  static QImage BitmapOf(ViewPixels pixels);
  // A small picture of the view for display, at least `atLeast` along both
  // sides where the view is that large, decoded at a reduced size (a JPEG at
  // 1/2, 1/4 or 1/8) and kept in a cache of its own.
  ViewPixels GetViewThumbnail(int camera, int view, cv::Size atLeast) const;
  // A thumbnail already made, or null (never decodes), and one made elsewhere
  // from GetViewImageSource to keep (MakeViewThumbnail runs on any thread).
  ViewPixels FindViewThumbnail(int camera, int view, cv::Size atLeast) const;
  void KeepViewThumbnail(uint64_t imageId, cv::Size atLeast, ViewPixels thumbnail) const;
  static ViewPixels MakeViewThumbnail(const ViewImageSource& source, cv::Size atLeast);
  // Size of the view's picture, known without decoding it; 0x0 out of range.
  cv::Size GetViewSize(int camera, int view) const;
  // Names the view's picture: another picture (another view, a picture that
  // replaced it) never has the same id. 0 when out of range.
  uint64_t GetViewImageId(int camera, int view) const;
  // Where the view's picture comes from, for decoding it on another thread.
  ViewImageSource GetViewImageSource(int camera, int view) const;
  // Bytes of decoded pictures the cache keeps at most (not counting those
  // held by their users).
  static constexpr size_t kDefaultImageCacheBudget = size_t{256} << 20;
  void SetImageCacheBudget(size_t bytes);
  size_t ImageCacheBudget() const { return images_.Budget(); }
  size_t ImageCacheBytes() const { return images_.Bytes(); }
  // After a save wrote the view's picture to `path` as its bytes (a JPEG kept
  // as it is) or re-encoded: the view reads it from there from now on, as a
  // reload would. False (and nothing changes) when the file cannot be opened.
  bool RebindViewImage(int camera, int view, const std::string& path);
  int IsViewEnabled(int camera, int view) const;
  // Ignored for a view missing its image: there is nothing to calibrate from.
  void EnableView(int camera, int view);
  void DisableView(int camera, int view);
  void SetViewHasPoints(int camera, int view, int flag);
  bool ViewHasPoints(int camera, int view) const;
  int GetPointCount(int camera, int view) const;
  ImagePoint GetPoint(int camera, int view, int point) const;
  // True for a placeholder view (see AddPlaceholderView); false when out of range.
  bool ViewMissingImage(int camera, int view) const;

  // Views whose point list does not fit the camera's current grid: marked
  // before the grid changed, of another length, or the has-points flag set
  // over a short list.
  std::vector<int> StaleViews(int camera) const;
  bool IsViewStale(int camera, int view) const;
  // Empties the view's grid and border points and clears its has-points flag.
  void ClearViewPoints(int camera, int view);
  // The view's points were just marked for the camera's current grid: its
  // has-points flag is set and it is no longer stale.
  void MarkViewPointsCurrent(int camera, int view);

  // The camera's views as a calibration run takes them (points, enabled, has
  // its image), one per store view; empty for a camera out of range.
  std::vector<RunView> GetRunViews(int camera) const;

  // Direct access to one camera's lists (editor and calibration runs).
  std::vector<PointList>* GetGridPointLists(int camera);
  const std::vector<PointList>* GetGridPointLists(int camera) const;
  PointList* GetGridPoints(int camera, int view);
  PointList* GetBorderPoints(int camera, int view);

  // Files. Each returns false when the file cannot be opened or written.
  // The intrinsic file holds the pinhole part: for a lens model other than
  // pinhole-radtan its distortion row is zero (the model file carries the
  // coefficients), so an older reader sees an undistorted camera.
  bool WriteIntrinsicFile(int camera, const std::string& path) const;
  // Reads a pinhole-radtan camera (model files are read after it).
  bool ReadIntrinsicFile(int camera, const std::string& path);
  // Whether the camera needs a model file: parameters of another lens model
  // than pinhole-radtan, or settings other than the default.
  bool NeedsModelFile(int camera) const;
  // The model file: the parameters' model and coefficients, and the settings.
  bool WriteModelFile(int camera, const std::string& path) const;
  // False, changing nothing, when the file cannot be read or is not a model file.
  bool ReadModelFile(int camera, const std::string& path);
  bool WriteExtrinsicFile(int camera, const std::string& path) const;
  bool ReadExtrinsicFile(int camera, const std::string& path);
  bool WritePointsFile(int camera, int view, const std::string& path) const;
  // A view whose picture is a JPEG file is saved as
  // JPEG by writing those bytes unchanged; anything else is decoded and
  // encoded. False, with the reason in `problem`, when its file changed or
  // cannot be read any more, or the target cannot be written.
  bool SaveViewImage(int camera, int view, const std::string& path, const char* format,
                     std::string* problem = nullptr) const;

 private:
  // Per-view lists are parallel: entry j of each belongs to view j.
  struct Camera {
    // Out of line: the calibration problem is complete only in the store's source.
    Camera();
    ~Camera();
    Camera(Camera&&) noexcept;
    Camera& operator=(Camera&&) noexcept;

    std::vector<ViewImageSource> images;
    std::vector<uint64_t> imageIds;  // cache keys; a new picture gets a new id
    std::vector<PointList> gridPoints;
    std::vector<PointList> borderPoints;
    std::vector<int> enabled;
    std::vector<int> hasPoints;
    std::vector<int> missingImage;
    std::vector<int> stale;
    CameraParameters parameters;
    CalibrationSettings settings;
    GridDescription grid;
    std::unique_ptr<CalibrationProblem> problem;
    // The picture every placeholder view of the camera shares (nothing writes
    // to view images), so a workspace missing many images costs one buffer.
    ViewImageSource placeholder;
  };

  bool ValidCamera(int camera) const { return camera >= 0 && camera < GetCameraCount(); }
  bool ValidView(int camera, int view) const;
  void AppendView(Camera& camera, ViewImageSource image, int enabled, int hasPoints, PointList points,
                  bool missingImage = false);
  void ForgetPictures(const Camera& camera) const;

  std::vector<Camera> cameras_;
  static constexpr size_t kThumbnailCacheBudget = size_t{64} << 20;
  mutable ViewImageCache images_{kDefaultImageCacheBudget};
  mutable ViewImageCache thumbnails_{kThumbnailCacheBudget};
};

#pragma once
// The in-memory workspace: cameras, their views (image + display bitmap),
// grid points, border points, per-view flags, grid descriptions, parameters
// and one calibration problem per camera. Used from one thread only.

#include <QByteArray>
#include <QImage>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

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
  // Loads the image (and, when pointsPath is non-empty, every point of the
  // points file). Returns 0 on success; kViewUnreadable when the image cannot
  // be read or does not decode cleanly, kViewOtherSize when the camera
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
  // Takes the image over (CV_8UC3). False when the camera does not exist, the
  // image is not 8-bit BGR or the camera's views have another size.
  bool AddViewFromFrame(int camera, cv::Mat image);
  // True when the camera has no views yet or its views are width x height.
  bool FitsImageSize(int camera, int width, int height) const;
  // Removes a view with its points. The camera's last run no longer matches
  // its views, so its calibration problem starts afresh (the parameters stay).
  bool RemoveView(int camera, int view);
  // A view's pixels never change once it is added: nothing hands them out for writing.
  const cv::Mat* GetViewImage(int camera, int view) const;
  const QImage* GetViewBitmap(int camera, int view) const;
  // The JPEG file a view was read from, byte for byte; empty for views made
  // from frames, from other image formats, and for placeholders.
  QByteArray GetViewJpegBytes(int camera, int view) const;
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
  bool WriteIntrinsicFile(int camera, const std::string& path) const;
  bool ReadIntrinsicFile(int camera, const std::string& path);
  bool WriteExtrinsicFile(int camera, const std::string& path) const;
  bool ReadExtrinsicFile(int camera, const std::string& path);
  bool WritePointsFile(int camera, int view, const std::string& path) const;
  // A view read from a JPEG file is saved as JPEG by writing that file's
  // bytes again, so saving never re-encodes (and changes) a photograph.
  bool SaveViewImage(int camera, int view, const std::string& path, const char* format) const;

 private:
  // Per-view lists are parallel: entry j of each belongs to view j.
  struct Camera {
    // Out of line: the calibration problem is complete only in the store's source.
    Camera();
    ~Camera();
    Camera(Camera&&) noexcept;
    Camera& operator=(Camera&&) noexcept;

    std::vector<std::unique_ptr<cv::Mat>> images;  // heap-held so bitmap pixels never move
    std::vector<QImage> bitmaps;                   // each wraps images[j]->data
    std::vector<PointList> gridPoints;
    std::vector<PointList> borderPoints;
    std::vector<int> enabled;
    std::vector<int> hasPoints;
    std::vector<int> missingImage;
    std::vector<int> stale;
    std::vector<QByteArray> jpegBytes;  // the view's JPEG file, when it came from one
    CameraParameters parameters;
    GridDescription grid;
    std::unique_ptr<CalibrationProblem> problem;
    // Pixels every placeholder view of the camera shares (nothing writes to
    // view images), so a workspace missing many images costs one buffer.
    cv::Mat placeholder;
  };

  bool ValidCamera(int camera) const { return camera >= 0 && camera < GetCameraCount(); }
  bool ValidView(int camera, int view) const;
  void AppendView(Camera& camera, std::unique_ptr<cv::Mat> image, int enabled, int hasPoints, PointList points,
                  bool missingImage = false, QByteArray jpegBytes = {});

  std::vector<Camera> cameras_;
};

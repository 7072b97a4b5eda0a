#pragma once
// What the sources panel needs of a source's control (a video file player or
// a live capture control), and the one place the source windows show their
// message boxes, so that tests can take the texts instead of blocking.

#include <QString>
#include <QWidget>
#include <functional>
#include <string>
#include <vector>

#include "sources/SourceModel.h"
#include "sources/media/DShow.h"

class CCalibrationData;

// Shows a modal message box with an OK button, or hands the text to the
// function installed with SetSourceMessageHandler.
void ShowSourceMessage(QWidget* parent, const QString& text);
// An empty function restores the real message box.
// The fixed text a failed step of a recording branch shows.
QString RecordingFailureText(DShow::RecordingFailure failure);

void SetSourceMessageHandler(std::function<void(const QString&)> handler);

class CSourceFrameSampler;
class CLiveGuidance;
// Why "Capture" added no view: the source feeds no camera (its cameras were
// removed), or no frame has arrived yet.
QString CaptureRefusalText(const SourceSettings& settings, CSourceFrameSampler* sampler);

// "Remove Distortion" of a recording set-up: undistorts the source's frames
// with the parameters of the store's camera 0 ("Camera 1"). Returns why it
// cannot (no camera, not calibrated, frame size unknown, or calibrated for
// another picture size), or "" when the frames are undistorted from now on.
// `fieldOfView` (degrees, above 0 and below 180) makes the undistorted frame
// a pinhole picture that wide, centred on the frame; 0 keeps the camera's
// own matrix, which shows only the middle of a wide fisheye.
QString StartUndistortion(CSourceFrameSampler* sampler, const CCalibrationData* store, double fieldOfView = 0.0);

class CSourceControl : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kStatusTimerId = 1025;

  explicit CSourceControl(QWidget* parent = nullptr, int id = 0) : QWidget(parent), id_(id) {}
  int Id() const { return id_; }

  virtual bool IsLive() const = 0;
  virtual QString GetInfoText() const = 0;
  // A live control's graph for the set-up dialog's property buttons.
  virtual DShow::CDShowCaptureGraph* CaptureGraph() { return nullptr; }
  // The set-up dialog's "Capture Filter..." and "Capture Pin..." for a live source.
  virtual void ShowCaptureFilterSettings() {}
  virtual void ShowCapturePinSettings() {}
  // Called once the control is added, hidden: a control that has never been
  // shown gets no hide event, so a live one stops its device here when nobody
  // needs its frames.
  virtual void IdleIfHidden() {}

  SourceSettings GetSettings() const { return settings_; }
  void SetSettings(const SourceSettings& settings) { settings_ = settings; }
  void ShiftSubViewCameras(int delta) { ::ShiftSubViewCameras(settings_, delta); }
  void SetFirstCamera(int camera) { settings_.subViewCamera[0] = camera; }

  void SetApplicationFolder(const std::string& folder) { applicationFolder_ = folder; }
  void SetStore(CCalibrationData* store) { store_ = store; }
  // Called after a grab added views, so the calibration data panel repaints.
  void SetDataPanelRefresh(std::function<void()> refresh) { refreshDataPanel_ = std::move(refresh); }
  // Called after a grab added views, with every camera's view count from before.
  void SetViewsArrived(std::function<void(const std::vector<int>& before)> hook) { viewsArrived_ = std::move(hook); }
  // The board search, outline and coverage bars of the preview.
  CLiveGuidance* Guidance() const { return guidance_; }

 protected:
  void RefreshDataPanel() {
    if (refreshDataPanel_) refreshDataPanel_();
  }
  void AnnounceViews(const std::vector<int>& before) {
    if (viewsArrived_) viewsArrived_(before);
  }
  // Made once by the control, for its video view: reads the store and the
  // split as they are when a frame is searched.
  CLiveGuidance* MakeGuidance();

  int id_;
  SourceSettings settings_;
  std::string applicationFolder_;
  CCalibrationData* store_ = nullptr;
  std::function<void()> refreshDataPanel_;
  std::function<void(const std::vector<int>& before)> viewsArrived_;
  CLiveGuidance* guidance_ = nullptr;
};

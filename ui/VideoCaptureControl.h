#pragma once
// The control behind a live camera source: previews the capture device,
// grabs the current frame into camera views, and records the device to an
// AVI file through an optional compressor, optionally in step with a second
// capture machine over UDP.

#include <QImage>
#include <QMutex>
#include <QString>
#include <QWidget>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include <opencv2/core.hpp>

#include "sources/CaptureSession.h"
#include "sources/FrameSampler.h"
#include "sources/media/DShow.h"
#include "ui/SourceControl.h"

class CClientSocket;
class QPainter;
class CHoverButtonEx;
class CLiveGuidance;

// A widget the renderer hands its frames to; draws the newest one scaled
// into its video rectangle.
class CCaptureVideoView : public QWidget, public DShow::CVideoWindow {
  Q_OBJECT
 public:
  explicit CCaptureVideoView(QWidget* parent = nullptr);
  // Streaming thread: the frame is queued to the widget's own thread.
  void PresentFrame(const cv::Mat& frame) override;
  // The guidance pairs frames of two machines by the moment of capture.
  void PresentFrameAt(const cv::Mat& frame, double captureMs) override;
  bool WantsFrames() const override { return shown_.load(); }
  void SetVideoRect(const QRect& rect) { videoRect_ = rect; }
  QRect VideoRect() const { return videoRect_; }
  int FramesShown() const { return framesShown_; }
  cv::Mat LastFrame() const { return frame_; }
  // Offered every frame shown; draws its outline and bars over the video.
  void SetGuidance(CLiveGuidance* guidance) { guidance_ = guidance; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  std::atomic<bool> shown_{false};
  cv::Mat frame_;
  QRect videoRect_;
  int framesShown_ = 0;
  CLiveGuidance* guidance_ = nullptr;
};

// What the record set-up takes from the settings dialog.
struct CaptureRecordSettings {
  int compressorIndex = 0;
  std::string fileName;  // empty: the default recording file of the output folder
  bool networkSync = false;
  bool client = false;
  std::string serverAddress;  // the peer: the server's address on a client, the client's on the server
  uint16_t port = 4000;       // this machine's
  uint16_t peerPort = 0;      // the peer's; 0: the same as `port`
  bool removeDistortion = false;
  double fieldOfView = 0.0;  // of the undistorted picture, degrees; 0: the camera's own matrix
};

class CVideoCaptureControl : public CSourceControl {
  Q_OBJECT
 public:
  enum ControlId { kIdRun = 1030, kIdStop = 1031, kIdRecord = 1047, kIdCapture = 1035, kIdVideoView = 1036 };
  static constexpr int kIgnoredMessage = 0xBC19;
  static constexpr int kStatusIntervalMs = CCaptureSession::kStatusIntervalMs;
  static constexpr int kCommandRepeats = CCaptureSession::kCommandRepeats;

  explicit CVideoCaptureControl(QWidget* parent = nullptr, int id = 0);
  ~CVideoCaptureControl() override;

  bool IsLive() const override { return true; }
  QString GetInfoText() const override;
  DShow::CDShowCaptureGraph* CaptureGraph() override { return graph_.get(); }

  void Layout();
  // `device` is the 1-based number in device enumeration order. The preview
  // runs at once; false when the device could not be opened.
  bool Connect(int device);
  bool IsOpen() const { return open_; }
  // True while the preview is stopped because nobody can see it (the control
  // is hidden and no recording needs the frames); showing it runs it again.
  bool PreviewParked() const { return previewParked_; }
  // A control that has never been shown gets no hide event: the sources panel
  // calls this after adding it. Once the device's format is known (for the
  // information text), a still hidden preview is stopped.
  void IdleIfHidden() override;

  // Commands of the four buttons.
  void OnRun();
  void OnStop();
  void OnRecord();
  int OnCapture();  // number of views added

  // The record set-up after the settings dialog was accepted.
  void SetUpRecording(const CaptureRecordSettings& settings);
  // Tee, file writer and compressor behind the sample grabber; false when a
  // step failed (its message was shown).
  bool BuildRecordingBranch(bool networkSync, int compressorIndex);

  // Format choice of the capture device ("Capture Pin..." and "Capture Filter...").
  void ShowCapturePinSettings() override;
  void ShowCaptureFilterSettings() override;

  // Status line: refreshed by the timer. The elapsed time counts from Run
  // and stands still from Stop; the dropped count is the device's own, "n/a"
  // when the device cannot tell.
  QString StatusText() const { return statusText_; }
  void UpdateStatus();
  bool StatusTimerActive() const { return session_->StatusTimerActive(); }
  QRect StatusRect() const;
  // Milliseconds recorded: from Run, to Stop once stopped.
  uint32_t ElapsedMs() const { return session_->ElapsedMs(); }

  bool NetworkSync() const { return networkSync_; }
  bool IsServer() const { return isServer_; }
  CClientSocket* Socket() const { return session_->Socket(); }
  CCaptureSession* Session() const { return session_.get(); }
  CSamplingCaptureGraph* Graph() const { return graph_.get(); }
  CCaptureVideoView* VideoView() const { return videoView_; }
  CHoverButtonEx* Button(int id) const;
  // The file the recording goes to (the default until a set-up chose one)
  // and its frame log beside it: "<name>Sync.txt" for "<name>.avi".
  std::string RecordingPath() const;
  std::string FrameLogPath() const;
  static std::string DefaultRecordingPath();

 protected:
  // Shows the settings dialog; false on Cancel.
  virtual bool AskRecordSettings(CaptureRecordSettings& settings);
  // The format dialog; false on Cancel.
  virtual bool AskCaptureFormat(const QString& title, DShow::MediaType& chosen);
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  bool event(QEvent* event) override;

 private:
  // The state the status line reports before a recording has counts.
  QString IdleStatusText() const;
  void ParkPreview();
  void CreateButtons();
  void DrawBackground();
  void DrawStatus(QPainter& painter);
  bool OpenSocket(const CaptureRecordSettings& settings);
  void ApplyCaptureFormat(const QString& title);
  void Fail(const QString& text);

  std::unique_ptr<CSamplingCaptureGraph> graph_;
  std::unique_ptr<CCaptureSession> session_;  // after the graph: it refers to it
  CCaptureVideoView* videoView_ = nullptr;
  QImage image_;
  QString statusText_;
  bool open_ = false;
  bool networkSync_ = false;
  bool isServer_ = true;
  bool droppedFramesInfo_ = false;
  bool previewParked_ = false;
  int formatChecks_ = 0;
  mutable QString infoText_;  // the last one known: a stopped device has no format to read
  std::string recordingPath_;
};

#pragma once
// The control behind a video file source: shows the file's video, runs and
// stops it, seeks, grabs the current frame into camera views and records the
// played video through a compressor to an AVI file.

#include <QFont>
#include <QFrame>
#include <QImage>
#include <QRect>
#include <QString>
#include <QTimer>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "sources/FrameSampler.h"
#include "ui/SourceControl.h"

class CCaptureSettingsDlg;
class CHoverButtonEx;
class CLiveGuidance;

// The video view: draws the newest rendered frame scaled into its video
// rectangle (the client area inset by 2 pixels).
class CVideoView : public QFrame, public DShow::CVideoWindow {
  Q_OBJECT
 public:
  static constexpr int kId = 1036;
  explicit CVideoView(QWidget* parent = nullptr);
  // Streaming thread: the frame is copied and handed to the user-interface thread.
  void PresentFrame(const cv::Mat& frame) override;
  QRect VideoRect() const { return rect().adjusted(2, 2, -2, -2); }
  const QImage& ShownFrame() const { return shown_; }
  int FramesShown() const { return framesShown_; }
  // Offered every frame shown; draws its outline and bars over the video.
  void SetGuidance(CLiveGuidance* guidance) { guidance_ = guidance; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QImage shown_;
  int framesShown_ = 0;
  CLiveGuidance* guidance_ = nullptr;
};

class CVideoPlayerControl : public CSourceControl {
  Q_OBJECT
 public:
  enum ControlId {
    kIdBeginning = 1037,
    kIdRewind = 1033,
    kIdRun = 1030,
    kIdStop = 1031,
    kIdForward = 1032,
    kIdEnd = 1038,
    kIdRecord = 1047,
    kIdCapture = 1035,
  };
  static constexpr int kIdBase = 100123;
  static constexpr int kStatusPeriodMs = 33;
  static constexpr uint32_t kBackground = 0xFF414141;
  static constexpr uint32_t kStatusColour = 0xFFFFBF00;

  explicit CVideoPlayerControl(QWidget* parent = nullptr, int id = 0);
  ~CVideoPlayerControl() override;

  bool IsLive() const override { return false; }
  QString GetInfoText() const override;

  // Once after creation, when the control has its size.
  void Layout();
  // Opens the file and waits paused on its first frame; false when it cannot
  // be decoded as a video. Such a file leaves an empty view and the control
  // stays usable.
  bool Open(const std::string& path);
  bool IsOpen() const { return open_; }

  // Commands.
  void Run();
  void Stop();
  int Capture();  // views added
  void SeekBeginning();
  void SeekBack();
  void SeekForward();
  void SeekEnd();
  void RecordSetup();

  // How the record set-up shows its settings dialog; returns whether OK was
  // pressed. Unset: the dialog runs modally.
  void SetSettingsDialogRunner(std::function<bool(CCaptureSettingsDlg&)> runner) { runSettings_ = std::move(runner); }

  // Timer 1025 and its text.
  bool StatusTimerActive() const { return statusTimer_.isActive(); }
  void OnStatusTimer();
  QString PositionText() const { return positionText_; }
  // "frame K of N", with the numbering of seeks and `lentora grab`.
  QString FrameCounterText() const;
  static QString FormatPosition(int64_t position100ns);

  CSamplingFileGraph* Graph() const { return graph_.get(); }
  CVideoView* VideoView() const { return videoView_; }
  CHoverButtonEx* Button(int id) const;
  const QImage& BackBuffer() const { return image_; }
  // Frame the graph shows now (the k-th picture in presentation order), -1 when unknown.
  int64_t CurrentFrame() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void CreateButtons();
  void SeekTo(int64_t frame);
  // The frame one second of the file's own time before or after the shown one.
  int64_t FrameOneSecondAway(int64_t frame, bool forward) const;
  bool BuildRecordingBranch(const CCaptureSettingsDlg& settings);

  std::unique_ptr<CSamplingFileGraph> graph_;
  bool open_ = false;
  CVideoView* videoView_ = nullptr;
  QImage image_;
  QFont font_;
  std::map<int, CHoverButtonEx*> buttons_;
  QTimer statusTimer_;
  QString positionText_;
  std::function<bool(CCaptureSettingsDlg&)> runSettings_;
};

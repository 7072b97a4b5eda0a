#include "ui/VideoPlayerControl.h"

#include <QMetaObject>
#include <QPaintEvent>
#include <QPainter>
#include <algorithm>
#include <cmath>

#include "core/CalibrationData.h"
#include "ui/CaptureSettingsDlg.h"
#include "widgets/HoverButtonEx.h"
#include "ui/GridDetector.h"
#include "ui/LiveGuidance.h"

namespace {

struct PlayerButton {
  int id;
  const char* image;
  const char* tooltip;
  int x;
};
constexpr PlayerButton kPlayerButtons[] = {
    {CVideoPlayerControl::kIdBeginning, "\\Graphics\\button_start.png", "Beginning", 15},
    {CVideoPlayerControl::kIdRewind, "\\Graphics\\button_rw.png", "RW", 41},
    {CVideoPlayerControl::kIdRun, "\\Graphics\\button_run.png", "Run", 67},
    {CVideoPlayerControl::kIdStop, "\\Graphics\\button_stop.png", "Stop", 93},
    {CVideoPlayerControl::kIdForward, "\\Graphics\\button_ff.png", "FW", 119},
    {CVideoPlayerControl::kIdEnd, "\\Graphics\\button_end.png", "End", 145},
    {CVideoPlayerControl::kIdRecord, "\\Graphics\\button_record.png", "Record", 173},
    {CVideoPlayerControl::kIdCapture, "\\Graphics\\button_capture.png", "Capture", 205},
};

const QRect kStatusRect(10, 182, 200, 15);
}  // namespace

// ---- Video view ------------------------------------------------------------

CVideoView::CVideoView(QWidget* parent) : QFrame(parent) {
  setObjectName("Video View");
  setFrameStyle(QFrame::Box | QFrame::Plain);
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void CVideoView::PresentFrame(const cv::Mat& frame) {
  if (frame.empty() || frame.type() != CV_8UC3) return;
  QImage copy = QImage(frame.data, frame.cols, frame.rows, static_cast<int>(frame.step), QImage::Format_BGR888).copy();
  QMetaObject::invokeMethod(
      this,
      [this, copy = std::move(copy), frame]() mutable {
        shown_ = std::move(copy);
        ++framesShown_;
        if (guidance_) guidance_->OfferFrame(frame);
        update();
      },
      Qt::QueuedConnection);
}

void CVideoView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), Qt::black);
  if (!shown_.isNull()) {
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(VideoRect(), shown_);
    if (guidance_) guidance_->Paint(painter, VideoRect());
  }
}

// ---- Player control --------------------------------------------------------

CVideoPlayerControl::CVideoPlayerControl(QWidget* parent, int id)
    : CSourceControl(parent, id), graph_(std::make_unique<CSamplingFileGraph>(nullptr)) {
  font_ = QFont("Verdana", 8, QFont::Bold);
  setAttribute(Qt::WA_OpaquePaintEvent);
  statusTimer_.setInterval(kStatusPeriodMs);
  connect(&statusTimer_, &QTimer::timeout, this, &CVideoPlayerControl::OnStatusTimer);
}

CVideoPlayerControl::~CVideoPlayerControl() {
  statusTimer_.stop();
  // The graph goes first: its streaming thread presents frames to the view.
  graph_.reset();
}

void CVideoPlayerControl::Layout() {
  image_ = QImage(std::max(1, width()), std::max(1, height()), QImage::Format_ARGB32);
  image_.fill(QColor::fromRgba(kBackground));
  videoView_ = new CVideoView(this);
  videoView_->SetGuidance(Guidance() ? Guidance() : MakeGuidance());
  connect(Guidance(), &CLiveGuidance::updated, videoView_, qOverload<>(&QWidget::update));
  videoView_->setGeometry(QRect(QPoint(10, 10), QPoint(width() - 10 - 1, height() - 50 - 1)));
  videoView_->show();
  CreateButtons();
}

void CVideoPlayerControl::CreateButtons() {
  for (const PlayerButton& spec : kPlayerButtons) {
    ImageButtonSpec button;
    button.id = spec.id;
    button.text = spec.tooltip;
    button.position = QPoint(spec.x, height() - 35);
    button.regionSize = QSize(24, 24);
    button.graphicsPath = spec.image;
    button.tooltip = spec.tooltip;
    button.solidBackground = true;
    button.solidColour = 0x414141;
    buttons_[spec.id] = CreateImageButton(this, applicationFolder_, button);
  }
  auto wire = [this](int id, auto command) {
    connect(buttons_[id], &QPushButton::clicked, this, [this, command] { (this->*command)(); });
  };
  wire(kIdBeginning, &CVideoPlayerControl::SeekBeginning);
  wire(kIdRewind, &CVideoPlayerControl::SeekBack);
  wire(kIdRun, &CVideoPlayerControl::Run);
  wire(kIdStop, &CVideoPlayerControl::Stop);
  wire(kIdForward, &CVideoPlayerControl::SeekForward);
  wire(kIdEnd, &CVideoPlayerControl::SeekEnd);
  wire(kIdRecord, &CVideoPlayerControl::RecordSetup);
  connect(buttons_[kIdCapture], &QPushButton::clicked, this, [this] { Capture(); });
}

CHoverButtonEx* CVideoPlayerControl::Button(int id) const {
  const auto found = buttons_.find(id);
  return found == buttons_.end() ? nullptr : found->second;
}

bool CVideoPlayerControl::Open(const std::string& path) {
  graph_->InitVMR9(videoView_);
  graph_->InitialiseFrameSampler();
  if (DShow::Failed(graph_->OpenMediaFile(path))) {
    open_ = false;
    return false;
  }
  if (videoView_) {
    const QRect r = videoView_->VideoRect();
    const DShow::VideoRect destination{r.left(), r.top(), r.right() + 1, r.bottom() + 1};
    graph_->SetVideoPosition(nullptr, &destination);
    graph_->RepaintVideo(videoView_);
  }
  graph_->Pause();
  open_ = true;
  return true;
}

QString CVideoPlayerControl::GetInfoText() const {
  std::string duration;
  DShow::GetDurationString(*graph_, duration);
  return QString("Duration: %1\nSize: -\nEncoding: -\n").arg(QString::fromStdString(duration));
}

void CVideoPlayerControl::Run() { graph_->Run(); }

void CVideoPlayerControl::Stop() {
  graph_->Stop();
  statusTimer_.stop();
}

int CVideoPlayerControl::Capture() {
  CSourceFrameSampler* sampler = graph_->Sampler();
  if (!open_ || !sampler || !store_) return 0;
  const std::vector<int> before = ViewCounts(*store_);
  const int added = GrabFrameFromGraph(*graph_, *sampler, settings_, *store_);
  RefreshDataPanel();
  if (added > 0) AnnounceViews(before);
  if (added == 0) ShowSourceMessage(this, CaptureRefusalText(settings_, sampler));
  return added;
}

int64_t CVideoPlayerControl::CurrentFrame() const { return open_ ? graph_->GetCurrentFrame() : -1; }

QString CVideoPlayerControl::FrameCounterText() const {
  int64_t frames = 0;
  const int64_t now = CurrentFrame();
  if (now < 0 || DShow::Failed(graph_->GetFrameCount(&frames))) return {};
  return QString("frame %1 of %2").arg(now).arg(frames);
}

// Steps go by the stream's own times, so they stay one second long in files
// with a variable frame rate.
int64_t CVideoPlayerControl::FrameOneSecondAway(int64_t frame, bool forward) const {
  const DShow::CFrameIndex& index = graph_->FrameIndex();
  if (index.HasTimes()) {
    const GstClockTime now = index.TimeOf(frame);
    const GstClockTime target = forward ? now + GST_SECOND : now > GST_SECOND ? now - GST_SECOND : 0;
    return index.FrameAt(target);
  }
  double fps = 0;
  if (DShow::Failed(graph_->GetFrameRate(&fps)) || fps <= 0) return frame;
  return forward ? frame + std::llround(fps) : frame - std::llround(fps);
}

void CVideoPlayerControl::SeekTo(int64_t frame) {
  if (!open_) return;
  int64_t frames = 0;
  if (DShow::Succeeded(graph_->GetFrameCount(&frames)) && frames > 0) frame = std::min(frame, frames - 1);
  graph_->SeekToFrame(std::max<int64_t>(0, frame));
  if (videoView_) graph_->RepaintVideo(videoView_);
}

void CVideoPlayerControl::SeekBeginning() { SeekTo(0); }

void CVideoPlayerControl::SeekEnd() {
  int64_t frames = 0;
  if (open_ && DShow::Succeeded(graph_->GetFrameCount(&frames)) && frames > 0) SeekTo(frames - 1);
}

void CVideoPlayerControl::SeekBack() {
  const int64_t now = CurrentFrame();
  if (now >= 0) SeekTo(FrameOneSecondAway(now, false));
}

void CVideoPlayerControl::SeekForward() {
  const int64_t now = CurrentFrame();
  if (now >= 0) SeekTo(FrameOneSecondAway(now, true));
}

void CVideoPlayerControl::RecordSetup() {
  CCaptureSettingsDlg dialog(store_, this);
  const bool accepted = runSettings_ ? runSettings_(dialog) : dialog.exec() == QDialog::Accepted;
  if (!accepted) return;
  if (!BuildRecordingBranch(dialog)) return;
  if (dialog.RemoveDistortion()) {
    const QString refusal = StartUndistortion(graph_->Sampler(), store_, dialog.FieldOfView());
    if (!refusal.isEmpty()) ShowSourceMessage(this, refusal);
  }
  statusTimer_.start();
}

bool CVideoPlayerControl::BuildRecordingBranch(const CCaptureSettingsDlg& settings) {
  DShow::RecordingFailure failure = DShow::RecordingFailure::kNone;
  // No reference clock: the graph records as fast as it can once running.
  const DShow::HRESULT hr = graph_->SetUpRecording(settings.FileName(), settings.CompressorIndex(), true, &failure);
  if (DShow::Succeeded(hr)) return true;
  graph_->Stop();
  ShowSourceMessage(this, RecordingFailureText(failure));
  return false;
}

QString CVideoPlayerControl::FormatPosition(int64_t position100ns) {
  const int64_t milliseconds = std::max<int64_t>(0, position100ns) / 10000;
  char text[64];
  std::snprintf(text, sizeof text, "%02dm:%02d.%03ds", static_cast<int>(milliseconds / 60000),
                static_cast<int>((milliseconds / 1000) % 60), static_cast<int>(milliseconds % 1000));
  return QString::fromLatin1(text);
}

void CVideoPlayerControl::OnStatusTimer() {
  int64_t position = 0, duration = 0;
  graph_->GetDuration(&duration);
  // The shown picture's own time where the file's index has it, so that the
  // position and the frame counter name the same picture.
  if (DShow::Failed(graph_->GetFrameTime(CurrentFrame(), &position)) && DShow::Failed(graph_->GetCurrentPosition(&position)))
    return;
  positionText_ = FormatPosition(position);
  if (image_.isNull()) return;
  QPainter painter(&image_);
  painter.fillRect(kStatusRect, QColor::fromRgba(kBackground));
  painter.setFont(font_);
  painter.setPen(QColor::fromRgba(kStatusColour));
  painter.drawText(kStatusRect.adjusted(0, 0, 0, 5), Qt::AlignLeft | Qt::AlignTop, positionText_);
  painter.drawText(kStatusRect.adjusted(0, 0, 0, 5), Qt::AlignRight | Qt::AlignTop, FrameCounterText());
  update(kStatusRect);
}

void CVideoPlayerControl::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  if (!image_.isNull()) painter.drawImage(0, 0, image_);
  if (open_ && videoView_) videoView_->update();
}

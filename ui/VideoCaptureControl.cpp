#include "ui/VideoCaptureControl.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QListWidget>
#include <QPaintEvent>
#include <QPainter>
#include <QTimer>
#include <QVBoxLayout>
#include <cmath>

#include "core/CalibrationData.h"
#include "records/Paths.h"
#include "sources/ClientSocket.h"
#include "ui/CaptureSettingsDlg.h"
#include "widgets/HoverButtonEx.h"
#include "ui/GridDetector.h"
#include "ui/LiveGuidance.h"

namespace {

constexpr QRgb kBackground = 0xFF414141;
constexpr QRgb kStatusColour = 0xFFFFBF00;
// The status line starts at (10, 185), or higher in a control too short to
// hold it above the buttons, and is 15 pixels high; it reaches to the
// control's right margin so that the whole count fits.
constexpr int kStatusLeft = 10, kStatusTop = 185, kStatusHeight = 15, kStatusMinimumWidth = 200;
constexpr int kButtonRowOffset = 35, kStatusGap = 5;
constexpr int kStatusPointSize = 8, kStatusMinimumPointSize = 6;

QImage ToImage(const cv::Mat& frame) {
  return QImage(frame.data, frame.cols, frame.rows, static_cast<int>(frame.step), QImage::Format_BGR888);
}

QString FormatLabel(const DShow::MediaType& type) {
  QString text = QString("%1 x %2").arg(type.width).arg(type.height);
  if (type.fpsNumerator > 0 && type.fpsDenominator > 0)
    text += QString(", %1 fps").arg(double(type.fpsNumerator) / type.fpsDenominator, 0, 'f', 2);
  return text + ", BGR 24-bit";
}

}  // namespace

// ---- Video view ---------------------------------------------------------------

CCaptureVideoView::CCaptureVideoView(QWidget* parent) : QWidget(parent) {
  setObjectName("Video View");
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void CCaptureVideoView::PresentFrame(const cv::Mat& frame) { PresentFrameAt(frame, -1.0); }

void CCaptureVideoView::PresentFrameAt(const cv::Mat& frame, double captureMs) {
  // The renderer already hands us a copy; the queued call drops out on its
  // own if the widget is gone by then.
  const uint32_t moment = captureMs >= 0.0 ? static_cast<uint32_t>(std::llround(captureMs)) : MillisecondTick();
  QMetaObject::invokeMethod(
      this,
      [this, frame, moment] {
        frame_ = frame;
        ++framesShown_;
        if (guidance_) guidance_->OfferFrame(frame_, moment);
        update();
      },
      Qt::QueuedConnection);
}

void CCaptureVideoView::showEvent(QShowEvent*) { shown_ = true; }
void CCaptureVideoView::hideEvent(QHideEvent*) { shown_ = false; }

void CCaptureVideoView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), QColor::fromRgba(kBackground));
  if (frame_.empty() || frame_.type() != CV_8UC3) return;
  const QRect target = videoRect_.isValid() ? videoRect_ : rect().adjusted(2, 2, -2, -2);
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  painter.drawImage(target, ToImage(frame_));
  if (guidance_) guidance_->Paint(painter, target);
}

// ---- Control ------------------------------------------------------------------

CVideoCaptureControl::CVideoCaptureControl(QWidget* parent, int id)
    : CSourceControl(parent, id),
      graph_(std::make_unique<CSamplingCaptureGraph>()),
      session_(std::make_unique<CCaptureSession>(graph_.get())) {
  setWindowTitle("Camera");
  setAttribute(Qt::WA_OpaquePaintEvent);  // it paints its whole back buffer
  videoView_ = new CCaptureVideoView(this);
  videoView_->SetGuidance(MakeGuidance());
  connect(Guidance(), &CLiveGuidance::updated, videoView_, qOverload<>(&QWidget::update));
  Guidance()->SetLink(
      [this] {
        if (!session_ || !session_->Synchronised()) return LiveLinkRole::kNone;
        return session_->IsServer() ? LiveLinkRole::kServer : LiveLinkRole::kClient;
      },
      [this](const SyncDatagram& datagram) { return session_ && session_->SendToPeer(datagram); });
  session_->SetGuidanceAction([this](const SyncDatagram& datagram) { Guidance()->OnPeerDatagram(datagram); });
  graph_->InitialiseFrameSampler();
  session_->SetStatusAction([this] { UpdateStatus(); });
  session_->SetFaults(SyncLinkFaultsFromEnvironment());
}

CVideoCaptureControl::~CVideoCaptureControl() {
  session_.reset();
  // The graph's thread presents frames to the view: it must end first.
  if (graph_) graph_->Stop();
  graph_.reset();
}

CHoverButtonEx* CVideoCaptureControl::Button(int id) const {
  for (CHoverButtonEx* button : findChildren<CHoverButtonEx*>())
    if (button->Id() == id) return button;
  return nullptr;
}

void CVideoCaptureControl::Layout() {
  const int w = width(), h = height();
  videoView_->setGeometry(10, 10, std::max(0, w - 20), std::max(0, std::min(h - 50, StatusRect().top() - kStatusGap - 10)));
  videoView_->SetVideoRect(videoView_->rect().adjusted(2, 2, -2, -2));
  if (!Button(kIdRun)) CreateButtons();
  const int y = h - kButtonRowOffset;
  const std::pair<int, int> places[] = {{kIdRun, 67}, {kIdStop, 93}, {kIdRecord, 121}, {kIdCapture, 179}};
  for (const auto& [id, x] : places)
    if (CHoverButtonEx* button = Button(id)) button->move(x, y);
  DrawBackground();
}

void CVideoCaptureControl::CreateButtons() {
  struct Spec {
    int id;
    const char* image;
    const char* tooltip;
    void (CVideoCaptureControl::*command)();
  };
  const Spec specs[] = {{kIdRun, "\\Graphics\\button_run.png", "Run", &CVideoCaptureControl::OnRun},
                        {kIdStop, "\\Graphics\\button_stop.png", "Stop", &CVideoCaptureControl::OnStop},
                        {kIdRecord, "\\Graphics\\button_record.png", "Record", &CVideoCaptureControl::OnRecord}};
  for (const Spec& spec : specs) {
    ImageButtonSpec button;
    button.text = spec.tooltip;
    button.id = spec.id;
    button.graphicsPath = spec.image;
    button.tooltip = spec.tooltip;
    CHoverButtonEx* created = CreateImageButton(this, applicationFolder_, button);
    connect(created, &QPushButton::clicked, this, spec.command);
  }
  ImageButtonSpec capture;
  capture.text = "Capture";
  capture.id = kIdCapture;
  capture.graphicsPath = "\\Graphics\\button_capture.png";
  capture.tooltip = "Capture";
  connect(CreateImageButton(this, applicationFolder_, capture), &QPushButton::clicked, this, [this] { OnCapture(); });
}

void CVideoCaptureControl::DrawBackground() {
  if (width() <= 0 || height() <= 0) return;
  image_ = QImage(size(), QImage::Format_ARGB32);
  image_.fill(QColor::fromRgba(kBackground));
  QPainter painter(&image_);
  DrawStatus(painter);
  update();
}

QRect CVideoCaptureControl::StatusRect() const {
  const int top = std::min(kStatusTop, height() - kButtonRowOffset - kStatusGap - kStatusHeight);
  return QRect(kStatusLeft, top, std::max(kStatusMinimumWidth, width() - 2 * kStatusLeft), kStatusHeight);
}

// A long count in a narrow control takes a smaller font rather than losing
// its end; below the smallest size the end is elided.
void CVideoCaptureControl::DrawStatus(QPainter& painter) {
  const QRect area = StatusRect();
  painter.fillRect(area, QColor::fromRgba(kBackground));
  QFont font("Verdana", kStatusPointSize, QFont::Bold);
  for (int size = kStatusPointSize; size > kStatusMinimumPointSize; --size) {
    font.setPointSize(size);
    if (QFontMetrics(font).horizontalAdvance(statusText_) <= area.width()) break;
  }
  painter.setFont(font);
  painter.setPen(QColor::fromRgba(kStatusColour));
  const QString shown = painter.fontMetrics().elidedText(statusText_, Qt::ElideRight, area.width());
  painter.drawText(area, Qt::AlignLeft | Qt::AlignVCenter, shown);
}

void CVideoCaptureControl::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  if (image_.size() != size()) DrawBackground();
  painter.drawImage(0, 0, image_);
}

void CVideoCaptureControl::resizeEvent(QResizeEvent*) { Layout(); }

// A preview nobody sees is stopped: a live device (a virtual one renders
// every frame) would otherwise keep a core busy for nothing. A recording, or
// a set-up waiting for Run or the server's start, is left alone.
void CVideoCaptureControl::hideEvent(QHideEvent*) { ParkPreview(); }

void CVideoCaptureControl::ParkPreview() {
  if (!open_ || previewParked_ || droppedFramesInfo_ || graph_->IsStopped() || isVisible()) return;
  GetInfoText();  // kept for when the device is stopped
  graph_->Stop();
  previewParked_ = true;
}

void CVideoCaptureControl::IdleIfHidden() {
  constexpr int kCheckMs = 100, kChecks = 50;
  if (isVisible() || previewParked_) return;
  DShow::MediaType type;
  const bool formatKnown = DShow::Succeeded(graph_->GetCaptureFormat(&type)) && type.valid;
  if (formatKnown || ++formatChecks_ > kChecks) {
    ParkPreview();
    return;
  }
  QTimer::singleShot(kCheckMs, this, [this] { IdleIfHidden(); });
}

void CVideoCaptureControl::showEvent(QShowEvent*) {
  if (previewParked_) {
    previewParked_ = false;
    graph_->Run();
  }
  UpdateStatus();
}

bool CVideoCaptureControl::event(QEvent* event) {
  if (static_cast<int>(event->type()) == kIgnoredMessage) return true;
  return CSourceControl::event(event);
}

bool CVideoCaptureControl::Connect(int device) {
  graph_->InitVMR9(videoView_);
  const bool connected = DShow::Succeeded(graph_->ConnectToLiveSource(device));
  const QRect r = videoView_->VideoRect();
  const DShow::VideoRect destination{r.left(), r.top(), r.right() + 1, r.bottom() + 1};
  graph_->SetVideoPosition(nullptr, &destination);
  graph_->RepaintVideo(videoView_);
  graph_->Run();
  open_ = connected;
  return connected;
}

QString CVideoCaptureControl::GetInfoText() const {
  DShow::MediaType type;
  if (DShow::Failed(graph_->GetCaptureFormat(&type)) || !type.valid) return infoText_;
  const double rate = type.fpsNumerator > 0 && type.fpsDenominator > 0
                          ? double(type.fpsNumerator) / type.fpsDenominator
                          : 0.0;
  infoText_ = QString::asprintf("Video Size: %d x %d\nFrame Rate: %.2f\n", type.width, type.height, rate);
  return infoText_;
}

void CVideoCaptureControl::Fail(const QString& text) { ShowSourceMessage(this, text); }

// ---- Commands -------------------------------------------------------------------

void CVideoCaptureControl::OnRun() {
  previewParked_ = false;
  session_->Run();
  UpdateStatus();
}

void CVideoCaptureControl::OnStop() {
  previewParked_ = false;
  session_->Stop();
  UpdateStatus();
}

int CVideoCaptureControl::OnCapture() {
  CSourceFrameSampler* sampler = graph_->Sampler();
  if (!sampler || !store_) return 0;
  const std::vector<int> before = ViewCounts(*store_);
  const int added = GrabFrameFromGraph(*graph_, *sampler, settings_, *store_);
  if (added > 0) RefreshDataPanel();
  if (added > 0) AnnounceViews(before);
  if (added == 0) ShowSourceMessage(this, CaptureRefusalText(settings_, sampler));
  return added;
}

void CVideoCaptureControl::OnRecord() {
  CaptureRecordSettings settings;
  if (!AskRecordSettings(settings)) return;
  SetUpRecording(settings);
}

bool CVideoCaptureControl::AskRecordSettings(CaptureRecordSettings& settings) {
  CCaptureSettingsDlg dialog(store_, this);
  dialog.SetFileName(RecordingPath());
  if (dialog.exec() != QDialog::Accepted) return false;
  settings.compressorIndex = dialog.CompressorIndex();
  settings.fileName = dialog.FileName();
  settings.networkSync = dialog.NetworkSync();
  settings.client = dialog.Client();
  settings.serverAddress = dialog.ServerAddress();
  settings.port = dialog.Port();
  settings.peerPort = dialog.PeerPort();
  settings.removeDistortion = dialog.RemoveDistortion();
  settings.fieldOfView = dialog.FieldOfView();
  return true;
}

void CVideoCaptureControl::SetUpRecording(const CaptureRecordSettings& settings) {
  networkSync_ = settings.networkSync;
  isServer_ = !settings.client;
  recordingPath_ = settings.fileName;
  BuildRecordingBranch(networkSync_, settings.compressorIndex);
  if (!networkSync_) session_->CloseLink();
  if (networkSync_ && !OpenSocket(settings)) return;
  if (settings.removeDistortion) {
    const QString refusal = StartUndistortion(graph_->Sampler(), store_, settings.fieldOfView);
    if (!refusal.isEmpty()) Fail(refusal);
  }
  if (settings.client) session_->StartStatusTimer();
}

bool CVideoCaptureControl::OpenSocket(const CaptureRecordSettings& settings) {
  // Each machine binds its port and listens to the other alone. On two
  // machines both ports are usually the same; two programs on one machine
  // need two, each naming the other's as its peer port.
  const QString peer = QString::fromStdString(settings.serverAddress);
  const uint16_t peerPort = settings.peerPort ? settings.peerPort : settings.port;
  if (QHostAddress(peer).isNull()) {
    Fail(QString("Failed to create UDP socket: \"%1\" is not an IP address of the other machine.").arg(peer));
    return false;
  }
  if (session_->OpenLink(!settings.client, peer, settings.port, peerPort)) return true;
  Fail(QString("Failed to create UDP socket: port %1 cannot be used (is another program listening on it?).")
           .arg(settings.port));
  return false;
}

bool CVideoCaptureControl::BuildRecordingBranch(bool networkSync, int compressorIndex) {
  droppedFramesInfo_ = false;
  DShow::RecordingFailure failure = DShow::RecordingFailure::kNone;
  if (!session_->SetUpRecording(RecordingPath(), networkSync ? FrameLogPath() : "", compressorIndex, &failure)) {
    Fail(RecordingFailureText(failure));
    return false;
  }
  droppedFramesInfo_ = true;
  return true;
}

std::string CVideoCaptureControl::DefaultRecordingPath() { return OutputPath("SampleAvi.avi"); }

std::string CVideoCaptureControl::RecordingPath() const {
  return recordingPath_.empty() ? DefaultRecordingPath() : recordingPath_;
}

std::string CVideoCaptureControl::FrameLogPath() const {
  std::string path = RecordingPath();
  const std::string extension = ".avi";
  if (path.size() > extension.size() &&
      QString::fromStdString(path.substr(path.size() - extension.size())).compare(".avi", Qt::CaseInsensitive) == 0)
    path.resize(path.size() - extension.size());
  return path + "Sync.txt";
}

// ---- Status ---------------------------------------------------------------------

QString CVideoCaptureControl::IdleStatusText() const {
  if (!droppedFramesInfo_)
    return graph_->IsStopped() && !previewParked_ ? QStringLiteral("Stopped (not recording)")
                                                  : QStringLiteral("Previewing (not recording)");
  if (networkSync_ && !isServer_) return QStringLiteral("Recording set up: waiting for the server's start");
  return QStringLiteral("Recording set up: Run starts it");
}

void CVideoCaptureControl::UpdateStatus() {
  const QString before = statusText_;
  if (!droppedFramesInfo_ || !session_->Started()) {
    statusText_ = IdleStatusText();
  } else {
    // The recording branch's queues block rather than drop, so every frame
    // the grabber passed reached the file; what the device itself dropped
    // shows as gaps in its frame numbers.
    uint64_t dropped = 0;
    const QString droppedText = DShow::Succeeded(graph_->GetDroppedFrames(&dropped))
                                    ? QString::number(dropped)
                                    : QStringLiteral("n/a");
    const uint32_t e = session_->ElapsedMs();
    statusText_ = QString("Captured %1 frames (%2 dropped) %3.%4sec")
                      .arg(session_->FramesSinceRun())
                      .arg(droppedText)
                      .arg(e / 1000)
                      .arg(e / 100 - (e / 1000) * 10);
    if (graph_->IsStopped()) statusText_ += " - stopped";
  }
  // Only a changed text is drawn, and only its own strip: the video above
  // it is not repainted ten times a second.
  if (statusText_ == before || image_.size() != size()) return;
  QPainter painter(&image_);
  DrawStatus(painter);
  update(StatusRect());
}

// ---- Capture format -------------------------------------------------------------

void CVideoCaptureControl::ShowCapturePinSettings() { ApplyCaptureFormat("Capture Pin Properties"); }
void CVideoCaptureControl::ShowCaptureFilterSettings() { ApplyCaptureFormat("Capture Filter Properties"); }

void CVideoCaptureControl::ApplyCaptureFormat(const QString& title) {
  DShow::MediaType chosen;
  if (!AskCaptureFormat(title, chosen)) return;
  // The chain after the device is rebuilt with a fresh grabber and sampler
  // (no undistortion, no log); the preview then runs again.
  if (DShow::Failed(graph_->SetCaptureFormat(chosen))) {
    Fail("No preview available!");
    return;
  }
  droppedFramesInfo_ = false;
  graph_->Run();
}

bool CVideoCaptureControl::AskCaptureFormat(const QString& title, DShow::MediaType& chosen) {
  std::vector<DShow::MediaType> formats;
  graph_->Stop();
  if (DShow::Failed(graph_->GetCaptureFormats(formats)) || formats.empty()) {
    graph_->Run();
    return false;
  }
  QDialog dialog;  // shown without a parent, like the device's own pages
  dialog.setWindowTitle(title);
  auto* layout = new QVBoxLayout(&dialog);
  auto* list = new QListWidget(&dialog);
  for (const DShow::MediaType& format : formats) list->addItem(FormatLabel(format));
  list->setCurrentRow(0);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
  connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  layout->addWidget(list);
  layout->addWidget(buttons);
  if (dialog.exec() != QDialog::Accepted || list->currentRow() < 0) {
    graph_->Run();
    return false;
  }
  chosen = formats[static_cast<size_t>(list->currentRow())];
  return true;
}

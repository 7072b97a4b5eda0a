#include "ui/SyncPlayerDlg.h"

#include <QDialogButtonBox>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <cmath>

#include "ui/SourceControl.h"
#include "ui/VideoCaptureControl.h"

namespace {
constexpr int kViewWidth = 320;
constexpr int kViewHeight = 240;

QLineEdit* AddField(QGridLayout* grid, int row, const QString& label, int id) {
  auto* edit = new QLineEdit;
  edit->setObjectName(QString("edit%1").arg(id));
  grid->addWidget(new QLabel(label), row, 0);
  grid->addWidget(edit, row, 1);
  return edit;
}
}  // namespace

CSyncPlayerDlg::CSyncPlayerDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle("Synchronised Playback");
  CreateControls();
}

CSyncPlayerDlg::~CSyncPlayerDlg() {
  // The graphs present frames to the views: they end first.
  serverGraph_.reset();
  clientGraph_.reset();
}

void CSyncPlayerDlg::CreateControls() {
  auto* layout = new QVBoxLayout(this);
  auto* views = new QHBoxLayout;
  left_ = new CCaptureVideoView(this);
  right_ = new CCaptureVideoView(this);
  for (CCaptureVideoView* view : {left_, right_}) {
    view->setFixedSize(kViewWidth, kViewHeight);
    view->SetVideoRect(QRect(0, 0, kViewWidth, kViewHeight));
    views->addWidget(view);
  }
  layout->addLayout(views);

  auto* grid = new QGridLayout;
  serverVideo_ = AddField(grid, 0, "Server video", kIdServerVideo);
  serverLog_ = AddField(grid, 1, "Server frame log", kIdServerLog);
  clientVideo_ = AddField(grid, 2, "Client video", kIdClientVideo);
  clientLog_ = AddField(grid, 3, "Client frame log", kIdClientLog);
  frame_ = AddField(grid, 4, "Server frame", kIdFrame);
  frame_->setValidator(new QIntValidator(frame_));
  frame_->setText("0");
  layout->addLayout(grid);

  auto* commands = new QHBoxLayout;
  auto* open = new QPushButton("Open Files");
  auto* go = new QPushButton("Go");
  connect(open, &QPushButton::clicked, this, &CSyncPlayerDlg::OnOpenFiles);
  connect(go, &QPushButton::clicked, this, [this] { OnGo(); });
  commands->addWidget(open);
  commands->addWidget(go);
  result_ = new QPlainTextEdit;
  result_->setObjectName(QString("edit%1").arg(kIdResult));
  result_->setReadOnly(true);
  result_->setFixedHeight(48);
  commands->addWidget(result_, 1);
  layout->addLayout(commands);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);
}

void CSyncPlayerDlg::SetFiles(const std::string& serverVideo, const std::string& serverLog,
                              const std::string& clientVideo, const std::string& clientLog) {
  serverVideo_->setText(QString::fromStdString(serverVideo));
  serverLog_->setText(QString::fromStdString(serverLog));
  clientVideo_->setText(QString::fromStdString(clientVideo));
  clientLog_->setText(QString::fromStdString(clientLog));
}

void CSyncPlayerDlg::SetFrame(int frame) { frame_->setText(QString::number(frame)); }

QString CSyncPlayerDlg::ResultText() const { return result_->toPlainText(); }

QString CSyncPlayerDlg::OpenGraph(std::unique_ptr<CSamplingFileGraph>& graph, CCaptureVideoView* view,
                                  const QString& path) {
  graph.reset();
  if (path.trimmed().isEmpty()) return "no file was named";
  if (!QFileInfo(path).isFile()) return QString("%1 does not exist").arg(path);
  graph = std::make_unique<CSamplingFileGraph>();
  graph->InitVMR9(view);
  graph->InitialiseFrameSampler();
  if (DShow::Failed(graph->OpenMediaFile(path.toStdString()))) {
    const std::string why = graph->LastError();
    graph.reset();
    return QString("%1 could not be opened as a video%2").arg(path, why.empty() ? QString() : ": " + QString::fromStdString(why));
  }
  const DShow::VideoRect destination{0, 0, view->width(), view->height()};
  graph->SetVideoPosition(nullptr, &destination);
  graph->RepaintVideo(view);
  return {};
}

QString CSyncPlayerDlg::ReadLog(const QString& path, FrameLogTicks& ticks) {
  ticks = FrameLogTicks{};
  if (path.trimmed().isEmpty()) return "no file was named";
  const FrameLogReadResult read = ReadFrameLogTicks(path.toStdString(), ticks);
  if (!read.opened) return QString("%1 could not be read").arg(path);
  if (read.badLine > 0) return QString("%1 is damaged at line %2; later frames are not used").arg(path).arg(read.badLine);
  if (ticks.local.empty()) return QString("%1 holds no frames").arg(path);
  return {};
}

void CSyncPlayerDlg::OnOpenFiles() {
  const QString problems[] = {OpenGraph(serverGraph_, left_, serverVideo_->text()),
                              ReadLog(serverLog_->text(), server_),
                              OpenGraph(clientGraph_, right_, clientVideo_->text()),
                              ReadLog(clientLog_->text(), client_)};
  const char* const names[] = {"Server video", "Server frame log", "Client video", "Client frame log"};
  if (serverGraph_) serverGraph_->Pause();
  if (clientGraph_) clientGraph_->Pause();
  open_ = true;
  update();
  QStringList lines;
  for (int i = 0; i < 4; ++i)
    if (!problems[i].isEmpty()) lines << QString("%1: %2.").arg(names[i], problems[i]);
  if (!lines.isEmpty()) ShowSourceMessage(this, "Not every file could be opened:\n" + lines.join('\n'));
}

bool CSyncPlayerDlg::SeekTo(CSamplingFileGraph* graph, int frame) {
  if (!graph || !graph->GetFilterGraph()) {
    ShowSourceMessage(this, "Unable to get the stream capibilities!");
    return false;
  }
  if (DShow::Failed(graph->SeekToFrame(frame))) {
    ShowSourceMessage(this, "Failed to set frame position!");
    return false;
  }
  return true;
}

QString CSyncPlayerDlg::GoRefusal(bool numeric, int frame) const {
  if (server_.local.empty() || client_.local.empty())
    return "Open the two recordings and their frame logs first (\"Open Files\"): there are no frames to match.";
  if (!numeric) return QString("\"%1\" is not a frame number.").arg(frame_->text());
  if (frame < 0 || static_cast<size_t>(frame) >= server_.local.size())
    return QString("Server frame %1 is not in the server frame log, which holds frames 0 to %2.")
        .arg(frame)
        .arg(server_.local.size() - 1);
  return {};
}

bool CSyncPlayerDlg::OnGo() {
  bool numeric = false;
  const int frame = frame_->text().toInt(&numeric);
  SyncMatch searches;
  const QString refusal = GoRefusal(numeric, frame);
  if (!refusal.isEmpty() || !MatchServerFrame(server_, client_, frame, searches)) {
    ShowSourceMessage(this, refusal.isEmpty() ? QString("Server frame %1 cannot be matched.").arg(frame) : refusal);
    return false;
  }
  // The clocks' offset from both logs' heartbeats picks the client frame; the
  // two heartbeat searches alone can be a few frames off, so they only stand
  // in (and say so) when the logs cannot be matched that way.
  const ClientFrameMatch match = MatchClientFrame(server_, client_, frame);
  const int clientFrame = match.matched ? match.clientFrame : searches.chosen.frame;
  const int difference =
      match.matched ? static_cast<int>(std::lround(match.tickDifference)) : static_cast<int>(searches.chosen.difference);
  const bool seeked = SeekTo(serverGraph_.get(), frame) && SeekTo(clientGraph_.get(), clientFrame);
  // The text names the client frame actually shown, with its own difference.
  shownClientFrame_ = clientFrame;
  QString text = QString::asprintf("Server fame: %d Client Frame: %d\nTick Difference: %d\n", frame, clientFrame, difference);
  if (!match.matched) text += QString::fromStdString(match.reason) + "; shown: the heartbeat searches' frame.\n";
  result_->setPlainText(text);
  return seeked;
}

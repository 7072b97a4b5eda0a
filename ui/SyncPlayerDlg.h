#pragma once
// Plays back two synchronised recordings side by side: for a frame of the
// server's recording it finds the client frame taken at the same moment,
// using both machines' frame logs, and shows the two.

#include <QDialog>
#include <QString>
#include <memory>
#include <string>

#include "sources/FrameLogReader.h"
#include "sources/FrameSampler.h"

class CCaptureVideoView;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

class CSyncPlayerDlg : public QDialog {
  Q_OBJECT
 public:
  enum ControlId {
    kIdLeftView = 1050,
    kIdRightView = 1051,
    kIdServerVideo = 1052,
    kIdServerLog = 1053,
    kIdClientVideo = 1054,
    kIdClientLog = 1055,
    kIdFrame = 1056,
    kIdGo = 1057,
    kIdOpenFiles = 1058,
    kIdResult = 1014,
  };

  explicit CSyncPlayerDlg(QWidget* parent = nullptr);
  ~CSyncPlayerDlg() override;

  void SetFiles(const std::string& serverVideo, const std::string& serverLog, const std::string& clientVideo,
                const std::string& clientLog);
  void SetFrame(int frame);

  // Opens both videos and reads both logs; a file that cannot be used is
  // named in a message.
  void OnOpenFiles();
  // False (with a message saying why) when the frame is not in the server
  // log or a seek failed.
  bool OnGo();

  bool IsOpen() const { return open_; }
  QString ResultText() const;
  int ShownClientFrame() const { return shownClientFrame_; }
  const FrameLogTicks& ServerTicks() const { return server_; }
  const FrameLogTicks& ClientTicks() const { return client_; }
  CCaptureVideoView* LeftView() const { return left_; }
  CCaptureVideoView* RightView() const { return right_; }
  CSamplingFileGraph* ServerGraph() const { return serverGraph_.get(); }
  CSamplingFileGraph* ClientGraph() const { return clientGraph_.get(); }

 private:
  void CreateControls();
  // "" when opened, else why not.
  QString OpenGraph(std::unique_ptr<CSamplingFileGraph>& graph, CCaptureVideoView* view, const QString& path);
  bool SeekTo(CSamplingFileGraph* graph, int frame);
  // "" when read, else why not.
  QString ReadLog(const QString& path, FrameLogTicks& ticks);
  // Why Go cannot show server frame `frame` ("" when it can).
  QString GoRefusal(bool numeric, int frame) const;

  CCaptureVideoView* left_ = nullptr;
  CCaptureVideoView* right_ = nullptr;
  QLineEdit* serverVideo_ = nullptr;
  QLineEdit* serverLog_ = nullptr;
  QLineEdit* clientVideo_ = nullptr;
  QLineEdit* clientLog_ = nullptr;
  QLineEdit* frame_ = nullptr;
  QPlainTextEdit* result_ = nullptr;
  std::unique_ptr<CSamplingFileGraph> serverGraph_;
  std::unique_ptr<CSamplingFileGraph> clientGraph_;
  FrameLogTicks server_;
  FrameLogTicks client_;
  bool open_ = false;
  int shownClientFrame_ = -1;
};

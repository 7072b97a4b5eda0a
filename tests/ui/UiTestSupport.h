#pragma once
// A QApplication for the widget tests (offscreen unless a platform is named)
// and a main window whose dialogs and message boxes are scripted.

#include <QAbstractButton>
#include <QApplication>
#include <QImage>
#include <QScreen>
#include <QTest>
#include <QMessageBox>
#include <QTimer>
#include <functional>
#include <QString>
#include <QStringList>
#include <string>

#include "support/TestApplication.h"
#include "ui/OptionsDlg.h"
#include "ui/WorkbenchDlg.h"

// Runs `answer` on the next modal window of type W once it is up; arm it
// before the call that opens the window with a blocking exec().
template <class W>
void AnswerModal(std::function<void(W*)> answer) {
  auto* poll = new QTimer();
  poll->setInterval(20);
  QObject::connect(poll, &QTimer::timeout, [poll, answer] {
    if (auto* modal = qobject_cast<W*>(QApplication::activeModalWidget())) {
      poll->stop();
      poll->deleteLater();
      answer(modal);
    }
  });
  poll->start();
}

// Answers the next message box with one of its standard buttons and keeps
// its text.
inline void AnswerMessageBox(QMessageBox::StandardButton button, QString* text = nullptr) {
  AnswerModal<QMessageBox>([button, text](QMessageBox* box) {
    if (text) *text = box->text();
    box->button(button)->click();
  });
}

// Inherit first so the application exists before any widget member is built.
struct WithApplication {
  WithApplication() { TestApplication(); }
};

class ScriptedWorkbench : public CWorkbenchDlg {
 public:
  explicit ScriptedWorkbench(const std::string& folder = "", ResultsWindowFactory resultsWindow = {})
      : CWorkbenchDlg(folder, std::move(resultsWindow)) {}
  QString nextOpenPath;
  QString nextSavePath;
  QStringList messages;
  int aboutBoxes = 0;
  // Questions asked, and the answer each gets.
  QStringList questions;
  QMessageBox::StandardButton nextAnswer = QMessageBox::No;
  // Plays the options dialog; unset: cancelled.
  std::function<bool(COptionsDlg&)> optionsRunner;

 protected:
  QString AskOpenPath() override { return nextOpenPath; }
  QString AskSavePath() override { return nextSavePath; }
  void ShowMessage(const QString& text) override { messages << text; }
  void RunAboutBox() override { ++aboutBoxes; }
  QMessageBox::StandardButton AskQuestion(const QString& text, QMessageBox::StandardButtons) override {
    questions << text;
    return nextAnswer;
  }
  bool RunOptionsDialog(COptionsDlg& dialog) override { return optionsRunner && optionsRunner(dialog); }
};

// The window as a person sees it once it has settled: the X server's picture
// under Xvfb (what the screen really shows, OpenGL included), the window's own
// rendering where there is no real screen.
inline QImage ScreenPicture(QWidget& window, int settleMs = 150) {
  window.raise();
  QTest::qWait(settleMs);
  QApplication::processEvents();
  if (QGuiApplication::platformName() == "xcb" && window.screen())
    return window.screen()->grabWindow(window.winId()).toImage();
  return window.grab().toImage();
}

#pragma once
// A QApplication for the widget tests (offscreen unless a platform is named)
// and a main window whose dialogs and message boxes are scripted.

#include <QApplication>
#include <QString>
#include <QStringList>
#include <string>

#include "support/TestApplication.h"
#include "ui/OptionsDlg.h"
#include "ui/WorkbenchDlg.h"

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

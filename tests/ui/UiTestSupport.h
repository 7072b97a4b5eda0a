#pragma once
// A QApplication for the widget tests (offscreen unless a platform is named)
// and a main window whose dialogs and message boxes are scripted.

#include <QApplication>
#include <QString>
#include <QStringList>
#include <string>

#include "support/TestApplication.h"
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

 protected:
  QString AskOpenPath() override { return nextOpenPath; }
  QString AskSavePath() override { return nextSavePath; }
  void ShowMessage(const QString& text) override { messages << text; }
  void RunAboutBox() override { ++aboutBoxes; }
};

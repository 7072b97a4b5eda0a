#include "ui/WorkbenchApp.h"

#include <QApplication>
#include <QPixmap>
#include <QString>
#include <QTimer>
#include <cstdlib>

#include "records/Paths.h"
#include "widgets/GraphicsArt.h"
#include "ui/ApplicationSettings.h"
#include "ui/OptionsDlg.h"
#include "ui/WorkbenchDlg.h"

bool WorkbenchDisplayAvailable() {
  for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value && *value) return true;
  }
  return false;
}

namespace {

// Time for the start-up work queued behind the first paint (the first camera's
// selection, thumbnails) before the picture is taken.
constexpr int kSnapshotDelayMs = 500;

void ScheduleSnapshot(CWorkbenchDlg& window, const QString& path, int& exitCode) {
  QTimer::singleShot(kSnapshotDelayMs, &window, [&window, path, &exitCode] {
    exitCode = window.grab().save(path, "PNG") ? 0 : 1;
    window.done(0);
  });
}

}  // namespace

int CWorkbenchApp::Run(int argc, char** argv, const std::string& workspacePath, ResultsWindowFactory resultsWindow,
                       const std::string& snapshotPath) {
  QApplication application(argc, argv);
  QApplication::setOrganizationName(kSettingsOrganisation);
  QApplication::setApplicationName(kSettingsApplication);
  ApplyApplicationOptions(LoadApplicationOptions());
  QApplication::setWindowIcon(ApplicationIcon());
  CWorkbenchDlg window(ApplicationFolder(), std::move(resultsWindow));
  if (!workspacePath.empty()) window.OpenStartupWorkspace(QString::fromStdString(workspacePath));
  int exitCode = 0;
  if (!snapshotPath.empty()) ScheduleSnapshot(window, QString::fromStdString(snapshotPath), exitCode);
  window.exec();
  return exitCode;
}
